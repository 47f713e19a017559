// Large images in memory of their own: laid out as QImage lays out its own,
// aligned to huge pages, writable in place, released with their last copy.
#include "largeimage.h"

#include <QFile>
#include <QThread>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

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
    void reserveServesImagesAndTakesThemBack();
    void reserveReleasedAndReplaced();
    void memoryOfAnImage();
    void moreMemoryOnlyWhenWanted();
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

void tst_LargeImage::reserveServesImagesAndTakesThemBack()
{
    constexpr qint64 MiB = qint64(1) << 20;
    Vexlor::reserveLargeMemory(60 * MiB);
    // touched on a thread of its own, in parts
    QTRY_COMPARE_WITH_TIMEOUT(Vexlor::reservedLargeMemory(), 60 * MiB, 30000);

    // 19.2 MB each, 20 MiB of the reserve
    QImage first = Vexlor::makeLargeImage(4000, 1200, QImage::Format_RGB32);
    QImage second = Vexlor::makeLargeImage(4000, 1200, QImage::Format_RGB32);
    QCOMPARE(Vexlor::reservedLargeMemory(), 20 * MiB);
    QCOMPARE(quintptr(first.constBits()) % (quintptr(2) << 20), quintptr(0));
    QCOMPARE(quintptr(second.constBits()) % (quintptr(2) << 20), quintptr(0));
    // apart: what one holds is not the other's
    first.fill(qRgb(1, 2, 3));
    second.fill(qRgb(4, 5, 6));
    QCOMPARE(first.pixel(3999, 1199), qRgb(1, 2, 3));
    QCOMPARE(first.pixel(0, 0), qRgb(1, 2, 3));
    QCOMPARE(second.pixel(0, 0), qRgb(4, 5, 6));

    // larger than what is left: fresh memory, the reserve untouched
    const QImage large = Vexlor::makeLargeImage(24000, 1200, QImage::Format_Grayscale8);
    QVERIFY(!large.isNull());
    QCOMPARE(Vexlor::reservedLargeMemory(), 20 * MiB);

    // images that go give their memory back to the reserve, the next image
    // takes it again
    const uchar *firstPixels = first.constBits();
    first = QImage();
    QVERIFY(isMapped(firstPixels));
    QCOMPARE(Vexlor::reservedLargeMemory(), 40 * MiB);
    QImage again = Vexlor::makeLargeImage(4000, 1200, QImage::Format_RGB32);
    QCOMPARE(Vexlor::reservedLargeMemory(), 20 * MiB);
    again.fill(qRgb(7, 8, 9));
    QCOMPARE(second.pixel(3999, 1199), qRgb(4, 5, 6));

    // Small images never come from it.
    const QImage small = Vexlor::makeLargeImage(100, 100, QImage::Format_RGB32);
    QCOMPARE(Vexlor::reservedLargeMemory(), 20 * MiB);

    // Released: the memory no image holds goes at once, the rest with its
    // image.
    const uchar *secondPixels = second.constBits();
    Vexlor::releaseLargeMemory();
    QCOMPARE(Vexlor::reservedLargeMemory(), qint64(0));
    QVERIFY(isMapped(secondPixels));
    second.fill(qRgb(10, 11, 12));
    QCOMPARE(second.pixel(10, 10), qRgb(10, 11, 12));
    second = QImage();
    QVERIFY(!isMapped(secondPixels));
    QCOMPARE(Vexlor::reservedLargeMemory(), qint64(0));
}

void tst_LargeImage::reserveReleasedAndReplaced()
{
    constexpr qint64 MiB = qint64(1) << 20;
    // A second reserve replaces the first, even one still being touched.
    Vexlor::reserveLargeMemory(512 * MiB);
    Vexlor::reserveLargeMemory(10 * MiB);
    QTRY_COMPARE_WITH_TIMEOUT(Vexlor::reservedLargeMemory(), 10 * MiB, 30000);
    // whole huge pages
    Vexlor::reserveLargeMemory(3 * MiB);
    QTRY_COMPARE_WITH_TIMEOUT(Vexlor::reservedLargeMemory(), 4 * MiB, 30000);
    // A release while it is being touched stops the touching.
    Vexlor::reserveLargeMemory(1024 * MiB);
    Vexlor::releaseLargeMemory();
    QCOMPARE(Vexlor::reservedLargeMemory(), qint64(0));
    // Nothing reserved: images come and go as before.
    QImage image = Vexlor::makeLargeImage(4000, 1200, QImage::Format_RGB32);
    const uchar *pixels = image.constBits();
    image = QImage();
    QVERIFY(!isMapped(pixels));
    QCOMPARE(Vexlor::reservedLargeMemory(), qint64(0));
}

void tst_LargeImage::moreMemoryOnlyWhenWanted()
{
    constexpr qint64 MiB = qint64(1) << 20;
    for (const bool wanted : { true, false }) {
        std::atomic<bool> asked { false };
        std::atomic<bool> elsewhere { false };
        const Qt::HANDLE here = QThread::currentThreadId();
        Vexlor::reserveLargeMemory(4 * MiB, 6 * MiB, [&] {
            elsewhere = QThread::currentThreadId() != here;
            asked = true;
            return wanted;
        });
        QTRY_VERIFY_WITH_TIMEOUT(asked, 30000);
        QVERIFY(elsewhere);
        QTRY_COMPARE_WITH_TIMEOUT(Vexlor::reservedLargeMemory(), (wanted ? 10 : 4) * MiB, 30000);
        // the two parts serve images apart
        QImage first = Vexlor::makeLargeImage(1024, 1024, QImage::Format_RGB32);
        QVERIFY(!first.isNull());
        QCOMPARE(Vexlor::reservedLargeMemory(), (wanted ? 6 : 0) * MiB);
        Vexlor::releaseLargeMemory();
    }
    // nothing asked for nothing more
    bool asked = false;
    Vexlor::reserveLargeMemory(2 * MiB, 0, [&] { return asked = true; });
    QTRY_COMPARE_WITH_TIMEOUT(Vexlor::reservedLargeMemory(), 2 * MiB, 30000);
    Vexlor::releaseLargeMemory();
    QVERIFY(!asked);
}

void tst_LargeImage::memoryOfAnImage()
{
    constexpr qint64 MiB = qint64(1) << 20;
    // what makeLargeImage() maps: whole huge pages for large images
    QCOMPARE(Vexlor::largeImageBytes(QSize(24001, 1200), QImage::Format_Mono), 4 * MiB);
    QCOMPARE(Vexlor::largeImageBytes(QSize(4001, 1200), QImage::Format_RGB32), 20 * MiB);
    QCOMPARE(Vexlor::largeImageBytes(QSize(2048, 1024), QImage::Format_Grayscale8), 2 * MiB);
    // small ones as QImage lays them out
    QCOMPARE(Vexlor::largeImageBytes(QSize(3, 5), QImage::Format_Grayscale8), qint64(20));
    QCOMPARE(Vexlor::largeImageBytes(QSize(0, 5), QImage::Format_Grayscale8), qint64(0));
}

QTEST_GUILESS_MAIN(tst_LargeImage)
#include "tst_largeimage.moc"
