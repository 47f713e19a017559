// Large images in memory of their own: laid out as QImage lays out its own,
// aligned to huge pages, writable in place, released with their last copy.
#include "largeimage.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Whether the address lies in memory mapped by this process.
bool isMapped(const void *address)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const quintptr at = quintptr(address);
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QList<QByteArray> range = line.split(' ').value(0).split('-');
        if (range.size() == 2 && range[0].toULongLong(nullptr, 16) <= at && at < range[1].toULongLong(nullptr, 16))
            return true;
    }
    return false;
}

} // namespace

class tst_LargeImage : public QObject
{
    Q_OBJECT

private slots:
    void laidOutAsQImage_data();
    void laidOutAsQImage();
    void writableInPlaceAndSharedLikeAnyImage();
    void releasedWithTheLastCopy();
    void smallAndImpossibleImages();
    void greyPicturesWidenedAndRead();
};

void tst_LargeImage::laidOutAsQImage_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    QTest::newRow("one-bit band") << QSize(24003, 1200) << int(QImage::Format_Mono);
    QTest::newRow("grey band") << QSize(24001, 1200) << int(QImage::Format_Grayscale8);
    QTest::newRow("32-bit tile") << QSize(4001, 1200) << int(QImage::Format_RGB32);
    QTest::newRow("exactly one huge page") << QSize(2048, 1024) << int(QImage::Format_Grayscale8);
}

void tst_LargeImage::laidOutAsQImage()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    const QImage image = Vexlor::makeLargeImage(size, QImage::Format(format));
    const QImage usual(size, QImage::Format(format));
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QCOMPARE(image.format(), QImage::Format(format));
    QCOMPARE(image.bytesPerLine(), usual.bytesPerLine());
    QCOMPARE(image.sizeInBytes(), usual.sizeInBytes());
    QCOMPARE(quintptr(image.constBits()) % (quintptr(2) << 20), quintptr(0));
}

void tst_LargeImage::writableInPlaceAndSharedLikeAnyImage()
{
    QImage image = Vexlor::makeLargeImage(3000, 1000, QImage::Format_Grayscale8);
    const uchar *pixels = image.constBits();
    image.fill(200);
    image.scanLine(999)[2999] = 7;
    // written where it lies, not copied first
    QCOMPARE(image.constBits(), pixels);
    QCOMPARE(int(image.constScanLine(999)[2999]), 7);

    // A copy shares the pixels until one of the two is written.
    QImage copy = image;
    QCOMPARE(copy.constBits(), pixels);
    copy.scanLine(0)[0] = 1;
    QVERIFY(copy.constBits() != pixels);
    QCOMPARE(int(image.constScanLine(0)[0]), 200);
    QCOMPARE(int(copy.constScanLine(999)[2999]), 7);

    // A one-bit image takes its colour table in place as well.
    QImage bits = Vexlor::makeLargeImage(24000, 1200, QImage::Format_Mono);
    const uchar *bitPixels = bits.constBits();
    bits.setColorCount(2);
    bits.setColor(0, qRgb(255, 255, 255));
    bits.setColor(1, qRgb(0, 0, 0));
    QCOMPARE(bits.constBits(), bitPixels);
    QCOMPARE(bits.color(1), qRgb(0, 0, 0));
}

void tst_LargeImage::releasedWithTheLastCopy()
{
    const void *pixels = nullptr;
    {
        QImage image = Vexlor::makeLargeImage(4000, 1200, QImage::Format_RGB32);
        pixels = image.constBits();
        QVERIFY(isMapped(pixels));
        const QImage copy = image;
        image = QImage();
        QVERIFY(isMapped(pixels));
        QCOMPARE(copy.constBits(), pixels);
    }
    QVERIFY(!isMapped(pixels));
}

void tst_LargeImage::smallAndImpossibleImages()
{
    const QImage small = Vexlor::makeLargeImage(100, 100, QImage::Format_RGB32);
    QCOMPARE(small.size(), QSize(100, 100));
    QCOMPARE(small.bytesPerLine(), 400);
    QVERIFY(Vexlor::makeLargeImage(0, 100, QImage::Format_RGB32).isNull());
    QVERIFY(Vexlor::makeLargeImage(100, -1, QImage::Format_RGB32).isNull());
    QVERIFY(Vexlor::makeLargeImage(100, 100, QImage::Format_Invalid).isNull());
    // more than a line can hold
    QVERIFY(Vexlor::makeLargeImage(1 << 30, 2, QImage::Format_RGB32).isNull());
}

void tst_LargeImage::greyPicturesWidenedAndRead()
{
    // Every grey value, on a large picture and a small one of odd widths.
    for (const QSize &size : { QSize(2003, 1101), QSize(7, 3) }) {
        QImage grey(size, QImage::Format_Grayscale8);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                grey.scanLine(y)[x] = uchar((x * 7 + y * 13) & 0xff);
        const QImage wide = Vexlor::widenGreyPicture(grey);
        QCOMPARE(wide.format(), QImage::Format_RGB32);
        QCOMPARE(wide, grey.convertToFormat(QImage::Format_RGB32));

        // read back from a file into memory of its own, pixel for pixel
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("grey.pgm"));
        QVERIFY(grey.save(path, "PGM"));
        const QImage read = Vexlor::readLargeImage(path);
        QCOMPARE(read.format(), QImage::Format_Grayscale8);
        QCOMPARE(read, grey);
        if (qint64(size.width() + 3) / 4 * 4 * size.height() >= (qint64(2) << 20))
            QCOMPARE(quintptr(read.constBits()) % (quintptr(2) << 20), quintptr(0));
    }
    QVERIFY(Vexlor::readLargeImage(QStringLiteral("/nonexistent/picture.pgm")).isNull());
}

QTEST_GUILESS_MAIN(tst_LargeImage)
#include "tst_largeimage.moc"
