// Dithering of grey tiles to one bit, checked against pixels worked out by hand
// from the methods: 'B' is a black (engraved) pixel, 'W' a white one.

#include "ditherer.h"
#include "referencediffusion.h"

#include <QtTest>

#include <cstring>

#include <random>
#include <vector>

namespace {

using Rows = std::vector<std::vector<int>>;

QImage greyImage(const Rows &rows, QImage::Format format)
{
    const int h = static_cast<int>(rows.size());
    const int w = h ? static_cast<int>(rows.front().size()) : 0;
    QImage image(w, h, format);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int g = rows[y][x];
            if (format == QImage::Format_Grayscale8)
                image.scanLine(y)[x] = static_cast<uchar>(g);
            else
                image.setPixel(x, y, qRgb(g, g, g));
        }
    }
    return image;
}

QImage uniform(int w, int h, int grey, QImage::Format format = QImage::Format_RGB32)
{
    return greyImage(Rows(static_cast<size_t>(h), std::vector<int>(static_cast<size_t>(w), grey)), format);
}

// The picture as rows of 'B' and 'W'; fails on a pixel that is neither.
QStringList picture(const QImage &image)
{
    QStringList rows;
    for (int y = 0; y < image.height(); ++y) {
        QString row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y) | 0xff000000u;
            row += c == qRgb(0, 0, 0)      ? QLatin1Char('B')
                : c == qRgb(255, 255, 255) ? QLatin1Char('W')
                                           : QLatin1Char('?');
        }
        rows << row;
    }
    return rows;
}

std::vector<int> zeros(int n)
{
    return std::vector<int>(static_cast<size_t>(n), 0);
}

} // namespace

class tst_Ditherer : public QObject
{
    Q_OBJECT
private slots:
    void outputIsOneBit_data();
    void outputIsOneBit();
    void orderedThresholds_data();
    void orderedThresholds();
    void orderedUsesTileCoordinatesAndBlueChannel();
    void orderedFollowsTheRuleAtEveryWidth();
    void floydSteinbergTwoPixels();
    void floydSteinbergMovesAndCarry();
    void floydSteinbergCarryIntoNextTile();
    void floydSteinbergEdgePixelKeepsItsError();
    void jarvisCarriesThroughBothRows();
    void stuckiEdgeOnSecondLastRow();
    void solidTilesStaySolid_data();
    void solidTilesStaySolid();
    void greyMethodsLeaveTilesUntouched();
    void tileOfOtherWidthIsSafe();
    void grey8AndRgb32Agree();
    void matchesStepByStepMethod_data();
    void matchesStepByStepMethod();

private:
    void compareWithStepByStep(int method, int width, int height);

private slots:
    void inkIsFoundInTheBits_data();
    void inkIsFoundInTheBits();
};

void tst_Ditherer::outputIsOneBit_data()
{
    QTest::addColumn<int>("method");
    QTest::newRow("ordered") << 0;
    QTest::newRow("floyd") << 3;
    QTest::newRow("jarvis") << 4;
    QTest::newRow("stucki") << 5;
    QTest::newRow("unknown index") << 17;
}

void tst_Ditherer::outputIsOneBit()
{
    QFETCH(int, method);
    // 13 wide: the last byte of each line is partly used; bits past the width must be clear.
    ditherer d(method, 13);
    const QImage out = d.ditherTile(uniform(13, 5, 128));
    QVERIFY(out.format() == QImage::Format_Mono || out.format() == QImage::Format_MonoLSB);
    QCOMPARE(out.size(), QSize(13, 5));
    for (const QString &row : picture(out))
        QVERIFY2(!row.contains(QLatin1Char('?')), qPrintable(row));
    for (int y = 0; y < out.height(); ++y)
        QCOMPARE(out.constScanLine(y)[1] & 0x07, 0); // pixels 13..15 of the second byte
}

void tst_Ditherer::orderedThresholds_data()
{
    QTest::addColumn<int>("grey");
    QTest::addColumn<QStringList>("expected");
    // White where grey + T >= 256, with T by x (across) and y (down):
    //   y=0: 15 195 60 240 / y=1: 135 75 180 120 / y=2: 45 225 30 210 / y=3: 165 105 150 90
    // Grey 128: T >= 128 is white, 8 of every 16 pixels.
    QTest::newRow("128") << 128 << QStringList { "BWBWBWBW", "WBWBWBWB", "BWBWBWBW", "WBWBWBWB" };
    // Grey 100: T >= 156.
    QTest::newRow("100") << 100 << QStringList { "BWBWBWBW", "BBWBBBWB", "BWBWBWBW", "WBBBWBBB" };
    // Grey 16: only T = 240.
    QTest::newRow("16") << 16 << QStringList { "BBBWBBBW", "BBBBBBBB", "BBBBBBBB", "BBBBBBBB" };
    // Grey 1 never reaches 256, grey 254 always does (T is at least 15).
    QTest::newRow("1") << 1 << QStringList { "BBBBBBBB", "BBBBBBBB", "BBBBBBBB", "BBBBBBBB" };
    QTest::newRow("254") << 254 << QStringList { "WWWWWWWW", "WWWWWWWW", "WWWWWWWW", "WWWWWWWW" };
    QTest::newRow("0") << 0 << QStringList { "BBBBBBBB", "BBBBBBBB", "BBBBBBBB", "BBBBBBBB" };
    QTest::newRow("255") << 255 << QStringList { "WWWWWWWW", "WWWWWWWW", "WWWWWWWW", "WWWWWWWW" };
}

void tst_Ditherer::orderedThresholds()
{
    QFETCH(int, grey);
    QFETCH(QStringList, expected);
    const QStringList got = picture(ditherer::orderedDither(uniform(8, 4, grey)));
    QCOMPARE(got, expected);
    // The pattern repeats every four rows.
    QCOMPARE(picture(ditherer::orderedDither(uniform(8, 8, grey))), expected + expected);
}

void tst_Ditherer::orderedUsesTileCoordinatesAndBlueChannel()
{
    // Blue 128 under red and green 255: the grey is the blue channel only.
    QImage tile(5, 2, QImage::Format_RGB32);
    tile.fill(qRgb(255, 255, 128));
    QCOMPARE(picture(ditherer::orderedDither(tile)), (QStringList { "BWBWB", "WBWBW" }));

    // Every tile of a pass starts the matrix again at its own (0, 0).
    ditherer d(0, 5);
    QCOMPARE(picture(d.ditherTile(tile)), picture(d.ditherTile(tile)));
}

void tst_Ditherer::orderedFollowsTheRuleAtEveryWidth()
{
    // The threshold matrix, first index x mod 4, second y mod 4; white where
    // grey + T >= 256. Random greys with 0, 255 and the values around each
    // threshold over-represented, on widths that end anywhere in a byte.
    const int T[4][4] = { { 15, 135, 45, 165 }, { 195, 75, 225, 105 }, { 60, 180, 30, 150 }, { 240, 120, 210, 90 } };
    std::mt19937 random(4242);
    const QVector<int> widths = { 1, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47, 48, 63, 64, 65, 1001 };
    for (const int w : widths) {
        Rows rows(6, std::vector<int>(size_t(w)));
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < w; ++x) {
                const int t = T[x & 3][y & 3];
                const int kind = int(random() % 6);
                rows[size_t(y)][size_t(x)] = kind == 0 ? 0
                    : kind == 1                        ? 255
                    : kind == 2                        ? 256 - t
                    : kind == 3                        ? 255 - t
                                                       : int(random() % 256);
            }
        }
        QStringList expected;
        for (int y = 0; y < 6; ++y) {
            QString row;
            for (int x = 0; x < w; ++x)
                row += rows[size_t(y)][size_t(x)] + T[x & 3][y & 3] >= 256 ? QLatin1Char('W') : QLatin1Char('B');
            expected << row;
        }
        for (const QImage::Format format : { QImage::Format_Grayscale8, QImage::Format_RGB32 }) {
            const QImage out = ditherer::orderedDither(greyImage(rows, format));
            QCOMPARE(picture(out), expected);
            // bits past the width stay clear
            if (w & 7) {
                for (int y = 0; y < 6; ++y)
                    QCOMPARE(out.constScanLine(y)[w / 8] & (0xff >> (w & 7)), 0);
            }
        }
    }
}

void tst_Ditherer::floydSteinbergTwoPixels()
{
    // 100 is black with error 100 and gives trunc(700/16) = 43 to the right; 143 is
    // white with error -112. On a one-row tile the lower shares go to the carry row:
    // pixel 0: A[1] += trunc(100/16) = 6, A[0] += trunc(500/16) = 31;
    // pixel 1: A[1] += trunc(-560/16) = -35, A[0] += trunc(-336/16) = -21.
    ditherer d(3, 2);
    QCOMPARE(picture(d.ditherTile(uniform(2, 1, 100))), QStringList { "BW" });
    QCOMPARE(d.carryA(), (std::vector<int> { 10, -29 }));
    QCOMPARE(d.carryB(), zeros(2));

    // The next tile starts with that error: 110 is black (error 110, +48 to the
    // right), 100 - 29 + 48 = 119 is black too, where a fresh start gives white.
    QCOMPARE(picture(d.ditherTile(uniform(2, 1, 100))), QStringList { "BB" });
    QCOMPARE(d.carryA(), (std::vector<int> { 34 + 22, 6 + 37 }));
}

void tst_Ditherer::floydSteinbergMovesAndCarry()
{
    // 3 by 3 of grey 100, worked out by hand. Row 0: 100 B (e 100), 143 W (e -112),
    // 51 B (e 51); finished columns move down, so row 1 starts with error 10, -20, 8.
    // Row 1: 110 B, 128 W (e -127), 53 B; row 2 starts with 11, -24, 9.
    // Row 2: 111 B, 124 B, 163 W, whose lower shares fill the carry row.
    ditherer d(3, 3);
    const QImage out = d.ditherTile(uniform(3, 3, 100));
    QCOMPARE(picture(out), (QStringList { "BWB", "BWB", "BBW" }));
    QCOMPARE(d.carryA(), (std::vector<int> { 57, 27, -21 }));
    QCOMPARE(d.carryB(), zeros(3));
}

void tst_Ditherer::floydSteinbergCarryIntoNextTile()
{
    // Same as above, then a one-row tile that starts with A = 57, 27, -21:
    // 157 W (e -98: -42 right), 127 + 27 - 42 = 112 B (e 112: +49 right),
    // 79 - 21 + 49 = 107 B. Without the carry the first pixel, 100, is black.
    // Its own lower shares go to A again: -30 + 21, -6 + 35 + 20, 7 + 33.
    ditherer d(3, 3);
    d.ditherTile(uniform(3, 3, 100));
    const QImage second = d.ditherTile(greyImage({ { 100, 127, 79 } }, QImage::Format_RGB32));
    QCOMPARE(picture(second), QStringList { "WBB" });
    QCOMPARE(d.carryA(), (std::vector<int> { -9, 49, 40 }));

    ditherer fresh(3, 3);
    QCOMPARE(picture(fresh.ditherTile(greyImage({ { 100, 127, 79 } }, QImage::Format_RGB32))).front().at(0),
        QLatin1Char('B'));
}

void tst_Ditherer::floydSteinbergEdgePixelKeepsItsError()
{
    // Pixel (1,1) has white at its upper right diagonal (2,0): an edge pixel, which
    // passes nothing on. Its left neighbour's column is then not moved, so row 2
    // starts with 0 in column 0 while 34 stays behind in the lower row.
    //   row 0: 100 B, 143 W, 255 W (the -49 it was given is dropped at the row end)
    //   row 1: 110 B, 148 W (edge), 93 B
    //   row 2: 100 B, 137 W, 78 B
    ditherer d(3, 3);
    const QImage out = d.ditherTile(
        greyImage({ { 100, 100, 255 }, { 100, 100, 100 }, { 100, 100, 100 } }, QImage::Format_RGB32));
    QCOMPARE(picture(out), (QStringList { "BWW", "BWB", "BWB" }));
    QCOMPARE(d.carryA(), (std::vector<int> { 9, -16, 17 }));
}

void tst_Ditherer::jarvisCarriesThroughBothRows()
{
    // First tile, 3 by 3 of grey 100 (shares of 7, 5, 3 and 1 forty-eighths).
    //   row 0: 100 B, 114 B, 126 B
    //   row 1 (second last, its two-rows-down shares go to A): 132 W, 122 B, 140 W
    //   row 2 (last: one row down to A, two rows down to B): 107 B, 133 W, 105 B
    ditherer d(4, 3);
    QCOMPARE(picture(d.ditherTile(uniform(3, 3, 100))), (QStringList { "BBB", "WBW", "BWB" }));
    QCOMPARE(d.carryA(), (std::vector<int> { 2, 2, 3 }));
    QCOMPARE(d.carryB(), (std::vector<int> { 6, 0, 5 }));

    // Second tile: row 0 starts with A (126 + 2 = 128, white), row 1 with B plus
    // what row 0 gave it: column 0 ends at -8, so 136 - 8 = 128 is white again.
    const QImage second
        = d.ditherTile(greyImage({ { 126, 126, 126 }, { 136, 126, 126 } }, QImage::Format_RGB32));
    QCOMPARE(picture(second), (QStringList { "WBW", "WBB" }));
    QCOMPARE(d.carryA(), (std::vector<int> { -10, 10, 12 }));
    QCOMPARE(d.carryB(), (std::vector<int> { -5, 10, 16 }));
}

void tst_Ditherer::stuckiEdgeOnSecondLastRow()
{
    // 4 by 3 of grey 100 with black at (2,2), which makes (1,1) an edge pixel on the
    // second last row: it gives its own and its left columns' share to A only.
    //   row 0: 100 B, 119 B, 131 W, 88 B
    //   row 1: 125 B, 147 W (edge), 111 B, 131 W
    //   row 2: 140 W, 107 B, 0 B, 102 B
    ditherer d(5, 4);
    const QImage out = d.ditherTile(greyImage(
        { { 100, 100, 100, 100 }, { 100, 100, 100, 100 }, { 100, 100, 0, 100 } }, QImage::Format_RGB32));
    QCOMPARE(picture(out), (QStringList { "BBWB", "BWBW", "WBBB" }));
    QCOMPARE(d.carryA(), (std::vector<int> { -3, 12, 21, 18 }));
    QCOMPARE(d.carryB(), (std::vector<int> { -5, 7, 7, 11 }));
}

void tst_Ditherer::solidTilesStaySolid_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("grey");
    for (int method : { 0, 3, 4, 5 }) {
        QTest::addRow("method %d white", method) << method << 255;
        QTest::addRow("method %d black", method) << method << 0;
    }
}

void tst_Ditherer::solidTilesStaySolid()
{
    QFETCH(int, method);
    QFETCH(int, grey);
    ditherer d(method, 9);
    // A grey tile first, so that error waits in the carry rows.
    d.ditherTile(uniform(9, 4, 77));
    const QImage out = d.ditherTile(uniform(9, 6, grey));
    const QString row = QString(9, grey ? QLatin1Char('W') : QLatin1Char('B'));
    QStringList expected;
    for (int y = 0; y < 6; ++y)
        expected << row;
    QCOMPARE(picture(out), expected);
    QCOMPARE(d.carryA(), zeros(9));
    QCOMPARE(d.carryB(), zeros(9));
}

void tst_Ditherer::greyMethodsLeaveTilesUntouched()
{
    const QImage tile = greyImage({ { 10, 128, 250 }, { 0, 255, 77 } }, QImage::Format_RGB32);
    for (int method : { 1, 2 }) {
        QVERIFY(ditherer::leavesGrey(method));
        ditherer d(method, 3);
        const QImage out = d.ditherTile(tile);
        QCOMPARE(out, tile);
        QCOMPARE(out.format(), QImage::Format_RGB32);
    }
    QVERIFY(!ditherer::leavesGrey(0));
    QVERIFY(!ditherer::leavesGrey(3));
}

void tst_Ditherer::tileOfOtherWidthIsSafe()
{
    // Tiles of one pass share their width; one that does not must neither read nor
    // write past the error rows (the sanitizer build watches this).
    for (int method : { 3, 4, 5 }) {
        ditherer d(method, 6);
        d.ditherTile(uniform(6, 5, 90));
        const QImage wider = d.ditherTile(uniform(11, 5, 90));
        QCOMPARE(wider.size(), QSize(11, 5));
        QCOMPARE(int(d.carryA().size()), 11);
        const QImage narrower = d.ditherTile(uniform(2, 3, 90));
        QCOMPARE(narrower.size(), QSize(2, 3));
        QCOMPARE(int(d.carryB().size()), 2);
        QCOMPARE(d.ditherTile(QImage()).isNull(), true);
    }
}

void tst_Ditherer::grey8AndRgb32Agree()
{
    Rows rows;
    for (int y = 0; y < 7; ++y) {
        rows.emplace_back();
        for (int x = 0; x < 19; ++x)
            rows.back().push_back((x * 37 + y * 59) % 256);
    }
    for (int method : { 0, 3, 4, 5 }) {
        ditherer a(method, 19);
        ditherer b(method, 19);
        QCOMPARE(picture(a.ditherTile(greyImage(rows, QImage::Format_Grayscale8))),
            picture(b.ditherTile(greyImage(rows, QImage::Format_RGB32))));
        QCOMPARE(a.carryA(), b.carryA());
        QCOMPARE(a.carryB(), b.carryB());
    }
}

void tst_Ditherer::matchesStepByStepMethod_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    for (int method : { 3, 4, 5 }) {
        for (int width : { 1, 2, 3, 4, 5, 8, 61 }) {
            for (int height : { 1, 2, 3, 7 })
                QTest::addRow("method %d, %d x %d", method, width, height) << method << width << height;
        }
        QTest::addRow("method %d, wide", method) << method << 517 << 40;
    }
    // Wide enough for Floyd-Steinberg to share the rows between two threads,
    // with stretches of columns that end anywhere.
    for (const QSize &size : { QSize(2048, 3), QSize(2051, 4), QSize(4099, 41), QSize(6000, 9), QSize(3000, 2),
             QSize(2100, 70) })
        QTest::addRow("method 3, %d x %d", size.width(), size.height()) << 3 << size.width() << size.height();
    // Floyd-Steinberg in blocks of sixteen or eight rows: tiles just wide
    // enough for the vector steps or not, with a few steps over a multiple of
    // eight, and heights around whole blocks (a block needs a row below its
    // last row).
    for (const int width : { 103, 104, 105, 111, 112, 113, 120, 127, 143, 144, 145, 151, 160 }) {
        for (const int height : { 8, 9, 10, 16, 17, 25, 33, 40 })
            QTest::addRow("method 3, %d x %d", width, height) << 3 << width << height;
    }
}

void tst_Ditherer::matchesStepByStepMethod()
{
    // Pictures with many pure black and white pixels (edges, untouched error) and
    // greys of every kind, over four tiles of a pass, against the method written
    // out step by step with whole error rows.
    QFETCH(int, method);
    QFETCH(int, width);
    QFETCH(int, height);
    // Floyd-Steinberg with vector steps of sixteen rows, eight rows and none
    // (as far as this processor has them).
    for (const int vectorRows : { 16, 8, 0 }) {
        if (vectorRows != 16 && method != ditherer::FloydSteinberg)
            continue;
        ditherer::setVectorStepsAllowed(vectorRows);
        if (vectorRows > 0 && ditherer::vectorStepRows() != vectorRows)
            continue;
        compareWithStepByStep(method, width, height);
        ditherer::setVectorStepsAllowed(16);
        if (QTest::currentTestFailed())
            return;
    }
}

void tst_Ditherer::compareWithStepByStep(int method, int width, int height)
{
    std::mt19937 random(uint(method * 1000003 + width * 101 + height));
    ditherer fast(method, width);
    reference::Diffusion slow(method, width);
    for (int tile = 0; tile < 4; ++tile) {
        QImage grey(width, height, QImage::Format_Grayscale8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint r = random();
                grey.scanLine(y)[x] = r % 5 == 0 ? ((r >> 8) & 1 ? 255 : 0)
                    : r % 5 == 1                 ? uchar((x * 7 + y * 3) & 0xff)
                                                 : uchar((r >> 8) % 254 + 1);
            }
        }
        const QImage expected = slow.dither(grey);
        const QImage got = fast.ditherTile(grey);
        QCOMPARE(picture(got), picture(expected));
        QCOMPARE(fast.carryA(), slow.A);
        QCOMPARE(fast.carryB(), slow.B);
    }
}

void tst_Ditherer::inkIsFoundInTheBits_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("blackIsOne");
    for (const int width : { 1, 7, 8, 13, 64, 100 }) {
        for (const bool blackIsOne : { true, false }) {
            QTest::addRow("Mono, %d wide, black at %d", width, blackIsOne ? 1 : 0)
                << int(QImage::Format_Mono) << width << blackIsOne;
            QTest::addRow("MonoLSB, %d wide, black at %d", width, blackIsOne ? 1 : 0)
                << int(QImage::Format_MonoLSB) << width << blackIsOne;
        }
    }
}

void tst_Ditherer::inkIsFoundInTheBits()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(bool, blackIsOne);
    const uint white = blackIsOne ? 0 : 1;
    QImage bits(width, 5, QImage::Format(format));
    bits.setColorCount(2);
    bits.setColor(blackIsOne ? 0 : 1, qRgb(255, 255, 255));
    bits.setColor(blackIsOne ? 1 : 0, qRgb(0, 0, 0));
    // The unused bits of every line hold the ink value: they are no pixels,
    // so the picture is still empty.
    for (int y = 0; y < bits.height(); ++y)
        std::memset(bits.scanLine(y), white ? 0x00 : 0xff, size_t(bits.bytesPerLine()));
    for (int y = 0; y < bits.height(); ++y)
        for (int x = 0; x < width; ++x)
            bits.setPixel(x, y, white);
    QVERIFY(!ditherer::hasInk(bits));
    // One black pixel, in the last column of the last line, then in the first.
    QImage last = bits;
    last.setPixel(width - 1, 4, 1 - white);
    QVERIFY(ditherer::hasInk(last));
    QImage first = bits;
    first.setPixel(0, 0, 1 - white);
    QVERIFY(ditherer::hasInk(first));
    // A light grey counts as ink, as it does in the picture.
    QImage grey = bits;
    grey.setColor(int(1 - white), qRgb(250, 250, 250));
    grey.setPixel(width / 2, 2, 1 - white);
    QVERIFY(ditherer::hasInk(grey));
}

QTEST_GUILESS_MAIN(tst_Ditherer)
#include "tst_ditherer.moc"
