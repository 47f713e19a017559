// The enlargement of grey pictures in eight bits against the painter's own
// smooth scaling of the same picture in 32 bits.
#include "greyscaling.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

QImage randomGrey(int width, int height, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage grey(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        uchar *line = grey.scanLine(y);
        for (int x = 0; x < width; ++x) {
            // whole black and white areas as well as noise
            const int kind = (x / 5 + y / 3) % 4;
            line[x] = kind == 0 ? 0 : kind == 1 ? 255 : uchar(random.bounded(256));
        }
    }
    return grey;
}

// What the painter makes of the picture: scaled in 32 bits, one channel kept.
QImage paintersEnlargement(const QImage &grey, int width, int height, int *unevenPixels)
{
    *unevenPixels = 0;
    const QImage scaled = grey.convertToFormat(QImage::Format_RGB32)
                              .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage out(scaled.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < scaled.height(); ++y) {
        const QRgb *in = reinterpret_cast<const QRgb *>(scaled.constScanLine(y));
        uchar *line = out.scanLine(y);
        for (int x = 0; x < scaled.width(); ++x) {
            if (qRed(in[x]) != qBlue(in[x]) || qGreen(in[x]) != qBlue(in[x]))
                ++*unevenPixels;
            line[x] = uchar(qBlue(in[x]));
        }
    }
    return out;
}

} // namespace

class tst_GreyScaling : public QObject
{
    Q_OBJECT

private slots:
    void samePixelsAsThePainter_data();
    void samePixelsAsThePainter();
    void onlyGreyPicturesThatGrow();
};

void tst_GreyScaling::samePixelsAsThePainter_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");

    QTest::newRow("one pixel") << QSize(1, 1) << QSize(9, 4);
    QTest::newRow("one row") << QSize(17, 1) << QSize(40, 3);
    QTest::newRow("one column") << QSize(1, 13) << QSize(2, 100);
    QTest::newRow("two by two, doubled") << QSize(2, 2) << QSize(4, 4);
    QTest::newRow("same width, taller") << QSize(31, 7) << QSize(31, 22);
    QTest::newRow("same height, wider") << QSize(7, 31) << QSize(23, 31);
    QTest::newRow("same size") << QSize(19, 11) << QSize(19, 11);
    QTest::newRow("one more each way") << QSize(33, 21) << QSize(34, 22);
    QTest::newRow("odd ratios") << QSize(13, 17) << QSize(101, 53);
    QTest::newRow("three and a bit") << QSize(120, 84) << QSize(373, 263);
    QTest::newRow("twelvefold") << QSize(25, 14) << QSize(300, 168);
    QTest::newRow("photo to table share, two threads") << QSize(400, 280) << QSize(1195, 837);
    QTest::newRow("line lengths not a multiple of four") << QSize(201, 141) << QSize(603, 425);
}

void tst_GreyScaling::samePixelsAsThePainter()
{
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    const QImage grey = randomGrey(source.width(), source.height(), quint32(source.width() * 131 + target.width()));
    int uneven = 0;
    const QImage expected = paintersEnlargement(grey, target.width(), target.height(), &uneven);
    QCOMPARE(uneven, 0);
    const QImage enlarged = enlargeGreyPicture(grey, target.width(), target.height());
    QCOMPARE(enlarged.format(), QImage::Format_Grayscale8);
    QCOMPARE(enlarged.size(), target);
    QCOMPARE(expected.size(), target);
    int differing = 0;
    QPoint first(-1, -1);
    for (int y = 0; y < target.height(); ++y) {
        for (int x = 0; x < target.width(); ++x) {
            if (enlarged.constScanLine(y)[x] != expected.constScanLine(y)[x]) {
                if (differing++ == 0)
                    first = QPoint(x, y);
            }
        }
    }
    if (differing)
        qWarning() << "first difference at" << first << "enlarged"
                   << enlarged.constScanLine(first.y())[first.x()] << "painter"
                   << expected.constScanLine(first.y())[first.x()];
    QCOMPARE(differing, 0);
}

void tst_GreyScaling::onlyGreyPicturesThatGrow()
{
    const QImage grey = randomGrey(40, 30, 7);
    QVERIFY(enlargeGreyPicture(grey, 39, 60).isNull());
    QVERIFY(enlargeGreyPicture(grey, 80, 29).isNull());
    QVERIFY(enlargeGreyPicture(grey.convertToFormat(QImage::Format_RGB32), 80, 60).isNull());
    QVERIFY(enlargeGreyPicture(QImage(), 80, 60).isNull());
    QVERIFY(!enlargeGreyPicture(grey, 40, 30).isNull());
}

QTEST_GUILESS_MAIN(tst_GreyScaling)
#include "tst_greyscaling.moc"
