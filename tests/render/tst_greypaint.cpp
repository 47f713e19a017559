// Bands of scaled pictures sampled straight into grey against the painter:
// the grey band must hold, pixel for pixel, the blue channel of what the
// painter paints on white, whatever the scale, offset, flip or overlap.

#include "renderingthread.h"
#include "vexlortypes.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QImage noisePicture(int width, int height, quint32 seed)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int g = int(random.bounded(256));
            picture.setPixel(x, y, qRgb(g, g, g));
        }
    }
    return picture;
}

LaserOp::LaserOp pictureItem(const QImage &picture, const QTransform &transform)
{
    LaserOp::LaserOp item;
    item.type = LaserOp::Image;
    item.pixmap = QPixmap::fromImage(picture);
    item.transform = transform;
    return item;
}

// What the band pipeline made of the painter's band before: paint on white,
// keep the blue channel.
QImage paintedGrey(const QRect &rect, const Vexlor::LaserItemList &items)
{
    QImage canvas(rect.size(), QImage::Format_RGB32);
    canvas.fill(Qt::white);
    renderingThread::paint(canvas, rect, items, nullptr);
    QImage grey(rect.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < rect.height(); ++y) {
        const quint32 *in = reinterpret_cast<const quint32 *>(canvas.constScanLine(y));
        uchar *out = grey.scanLine(y);
        for (int x = 0; x < rect.width(); ++x)
            out[x] = uchar(in[x] & 0xff);
    }
    return grey;
}

// First differing pixel, for the failure message.
QString firstDifference(const QImage &a, const QImage &b)
{
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.constScanLine(y)[x] != b.constScanLine(y)[x])
                return QStringLiteral("(%1, %2): %3 against %4")
                    .arg(x)
                    .arg(y)
                    .arg(a.constScanLine(y)[x])
                    .arg(b.constScanLine(y)[x]);
        }
    }
    return QString();
}

} // namespace

class tst_GreyPaint : public QObject
{
    Q_OBJECT
private slots:
    void equalsThePainter_data();
    void equalsThePainter();
    void randomPlacementsEqualThePainter();
    void othersAreLeftToThePainter_data();
    void othersAreLeftToThePainter();
    void stopSwitchEndsThePaint();
};

void tst_GreyPaint::equalsThePainter_data()
{
    QTest::addColumn<QRect>("band");
    QTest::addColumn<QSize>("pictureSize");
    QTest::addColumn<QTransform>("transform");

    // A photo over a whole table (the picture as the interpreter hands it over).
    QTest::newRow("table photo, first band") << QRect(0, 0, 6000, 300) << QSize(1494, 1046)
                                             << QTransform(6000.0 / 1494, 0, 0, 4200.0 / 1046, 0, 0);
    QTest::newRow("table photo, inner band") << QRect(0, 2400, 6000, 300) << QSize(1494, 1046)
                                             << QTransform(6000.0 / 1494, 0, 0, 4200.0 / 1046, 0, 0);
    QTest::newRow("table photo, last short band") << QRect(0, 3900, 6000, 300) << QSize(1494, 1046)
                                                  << QTransform(6000.0 / 1494, 0, 0, 4200.0 / 1046, 0, 0);
    QTest::newRow("reduced, fractional offset") << QRect(0, 100, 900, 250) << QSize(1200, 700)
                                                << QTransform(0.37, 0, 0, 0.41, 13.3, 97.6);
    QTest::newRow("flipped vertically") << QRect(0, 0, 800, 400) << QSize(90, 70)
                                        << QTransform(7.1, 0, 0, -5.3, 20.5, 390.25);
    QTest::newRow("flipped horizontally") << QRect(0, 0, 800, 400) << QSize(90, 70)
                                          << QTransform(-7.1, 0, 0, 5.3, 700.5, 10.75);
    QTest::newRow("sticking out on every side") << QRect(0, 1200, 500, 300) << QSize(64, 48)
                                                << QTransform(11.3, 0, 0, 9.9, -120.4, 1050.2);
    QTest::newRow("band not at the left edge") << QRect(37, 50, 400, 200) << QSize(40, 30)
                                               << QTransform(6.6, 0, 0, 6.6, 11.1, 40.9);
    QTest::newRow("ends half a pixel inside") << QRect(0, 0, 300, 120) << QSize(10, 10)
                                              << QTransform(20.05, 0, 0, 10.05, 0.5, 0.5);
    QTest::newRow("enlarged only across") << QRect(0, 0, 600, 100) << QSize(50, 100)
                                          << QTransform(11.0, 0, 0, 1.0, 3.0, 0.0);
}

void tst_GreyPaint::equalsThePainter()
{
    QFETCH(QRect, band);
    QFETCH(QSize, pictureSize);
    QFETCH(QTransform, transform);
    const Vexlor::LaserItemList items {
        pictureItem(noisePicture(pictureSize.width(), pictureSize.height(), 11), transform)
    };
    QImage grey(band.size(), QImage::Format_Grayscale8);
    QCOMPARE(renderingThread::paintGrey(grey, band, items, nullptr), renderingThread::GreyPaint::Painted);
    const QImage expected = paintedGrey(band, items);
    QVERIFY2(grey == expected, qPrintable(firstDifference(grey, expected)));

    // The same picture held in eight bits, as the scene's reader keeps grey
    // pictures, gives the same band.
    LaserOp::LaserOp eightBits = items.first();
    eightBits.pixmap = QPixmap::fromImage(
        items.first().pixmap.toImage().convertToFormat(QImage::Format_Grayscale8), Qt::NoFormatConversion);
    QCOMPARE(eightBits.pixmap.toImage().format(), QImage::Format_Grayscale8);
    QImage fromEightBits(band.size(), QImage::Format_Grayscale8);
    QCOMPARE(renderingThread::paintGrey(fromEightBits, band, { eightBits }, nullptr),
        renderingThread::GreyPaint::Painted);
    QVERIFY2(fromEightBits == expected, qPrintable(firstDifference(fromEightBits, expected)));
}

void tst_GreyPaint::randomPlacementsEqualThePainter()
{
    // Several pictures at once, overlapping, each at a scale and offset of
    // its own: the later ones cover the earlier ones, as painted.
    QRandomGenerator random(2024);
    const QImage pictures[3]
        = { noisePicture(37, 23, 1), noisePicture(160, 90, 2), noisePicture(5, 300, 3) };
    for (int round = 0; round < 60; ++round) {
        const QRect band(int(random.bounded(50)), int(random.bounded(400)), 200 + int(random.bounded(500)),
            1 + int(random.bounded(240)));
        Vexlor::LaserItemList items;
        const int count = 1 + int(random.bounded(3));
        for (int i = 0; i < count; ++i) {
            const QImage &picture = pictures[random.bounded(3)];
            qreal sx = 0.2 + random.generateDouble() * 12;
            qreal sy = 0.2 + random.generateDouble() * 12;
            if (random.bounded(5) == 0)
                sx = -sx;
            if (random.bounded(5) == 0)
                sy = -sy;
            const qreal dx = band.left() - 100 + random.generateDouble() * (band.width() + 200);
            const qreal dy = band.top() - 150 + random.generateDouble() * (band.height() + 300);
            items.append(pictureItem(picture, QTransform(sx, 0, 0, sy, dx, dy)));
        }
        QImage grey(band.size(), QImage::Format_Grayscale8);
        QCOMPARE(renderingThread::paintGrey(grey, band, items, nullptr), renderingThread::GreyPaint::Painted);
        const QImage expected = paintedGrey(band, items);
        QVERIFY2(grey == expected,
            qPrintable(QStringLiteral("round %1: %2").arg(round).arg(firstDifference(grey, expected))));
    }
}

void tst_GreyPaint::othersAreLeftToThePainter_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("rotated picture") << 0;
    QTest::newRow("clipped picture") << 1;
    QTest::newRow("picture with transparency") << 2;
    QTest::newRow("filled shape") << 3;
    QTest::newRow("unscaled picture") << 4;
    QTest::newRow("picture wider than the painter copies") << 5;
    QTest::newRow("picture of more columns than the painter copies") << 6;
}

void tst_GreyPaint::othersAreLeftToThePainter()
{
    QFETCH(int, kind);
    const QRect band(0, 0, 400, 200);
    LaserOp::LaserOp item = pictureItem(noisePicture(40, 20, 5), QTransform(5, 0, 0, 5, 10, 10));
    switch (kind) {
    case 0:
        item.transform = QTransform().rotate(10) * QTransform::fromTranslate(50, 0);
        break;
    case 1:
        item.clipPath.addEllipse(QRectF(0, 0, 200, 100));
        break;
    case 2: {
        QImage alpha(40, 20, QImage::Format_ARGB32_Premultiplied);
        alpha.fill(qRgba(0, 0, 0, 128));
        item.pixmap = QPixmap::fromImage(alpha);
        break;
    }
    case 3:
        item.type = LaserOp::EngravedPath;
        item.path.addRect(QRectF(10, 10, 100, 50));
        item.brush = QBrush(Qt::gray);
        break;
    case 4:
        item.transform = QTransform::fromTranslate(3, 4);
        break;
    case 5:
        item.transform = QTransform(1000, 0, 0, 5, -30000, 0);
        break;
    case 6:
        item.pixmap = QPixmap::fromImage(noisePicture(33000, 1, 6));
        item.transform = QTransform(0.01, 0, 0, 5, 0, 0);
        break;
    }
    // A picture that could be sampled, beside it, does not change the answer.
    const Vexlor::LaserItemList items { pictureItem(noisePicture(8, 8, 9), QTransform(3, 0, 0, 3, 0, 0)), item };
    QImage grey(band.size(), QImage::Format_Grayscale8);
    QCOMPARE(renderingThread::paintGrey(grey, band, items, nullptr), renderingThread::GreyPaint::Unsupported);
}

void tst_GreyPaint::stopSwitchEndsThePaint()
{
    const QRect band(0, 0, 300, 300);
    const Vexlor::LaserItemList items { pictureItem(noisePicture(30, 30, 4), QTransform(10, 0, 0, 10, 0, 0)) };
    std::atomic<bool> stop(true);
    QImage grey(band.size(), QImage::Format_Grayscale8);
    QCOMPARE(renderingThread::paintGrey(grey, band, items, &stop), renderingThread::GreyPaint::Stopped);
    // Items outside the band leave it white.
    const Vexlor::LaserItemList away { pictureItem(noisePicture(30, 30, 4), QTransform(2, 0, 0, 2, 0, 5000)) };
    QCOMPARE(renderingThread::paintGrey(grey, band, away, nullptr), renderingThread::GreyPaint::Painted);
    QImage white(band.size(), QImage::Format_Grayscale8);
    white.fill(255);
    QCOMPARE(grey, white);
}

QTEST_MAIN(tst_GreyPaint)
#include "tst_greypaint.moc"
