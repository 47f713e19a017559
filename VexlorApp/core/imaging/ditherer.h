#ifndef DITHERER_H
#define DITHERER_H

#include <QImage>

#include <vector>

// Turns grey tiles into one-bit black-and-white tiles.
//
// A ditherer is made for one pass over the tiles of one picture, top to bottom.
// The error-distribution methods keep two carry rows between tiles, so the
// error left at the bottom of one tile reaches the first two rows of the next;
// ordered dithering keeps no state.
//
// The grey of a pixel is its blue channel (after desaturation all channels are
// equal). Accepted sources are 32-bit images (RGB32, ARGB32, premultiplied
// ARGB32) and Grayscale8; any other format is converted to RGB32 first.
//
// The result is a Format_Mono image of the tile's size whose colour index 0 is
// white and 1 is black, so a set bit means "engrave", most significant bit first.
// Bits beyond the width inside each line are 0.
class ditherer
{
public:
    enum Method : int {
        Ordered = 0,
        Brighten = 1,
        LowResolution = 2,
        FloydSteinberg = 3,
        JarvisJudiceNinke = 4,
        Stucki = 5,
    };

    ditherer(int method, int width);

    // The two indexes that leave tiles grey; every unknown index means ordered dithering.
    // Whether a one-bit picture (Format_Mono or Format_MonoLSB) has a pixel
    // of a colour other than white; the bits beyond its width do not count.
    static bool hasInk(const QImage &image);
    static bool leavesGrey(int method) { return method == Brighten || method == LowResolution; }

    int method() const { return m_method; }
    int width() const { return m_width; }

    // Dithers the next tile of the pass. For the indexes that leave tiles grey
    // this returns the tile unchanged.
    QImage ditherTile(const QImage &tile);

    // Error carried into the first (A) and second (B) row of the next tile.
    const std::vector<int> &carryA() const { return m_carryA; }
    const std::vector<int> &carryB() const { return m_carryB; }

    // Ordered 4 by 4 threshold dithering of one image; coordinates are those inside the image.
    static QImage orderedDither(const QImage &tile);
    // The same for rows firstRow .. firstRow + part.height() - 1 of a tile, of
    // which part holds those rows: they are dithered into the same rows of
    // tile, a one-bit image of the tile's width as makeMonoImage() gives it.
    static void orderedDitherRows(const QImage &part, int firstRow, QImage &tile);

    // How many rows Floyd-Steinberg may scan at once in vector steps where the
    // processor has them: 16 (AVX-512, the default), 8 (AVX2) or 0 (none).
    // The result is the same either way; fewer serve comparisons and
    // measurements. vectorStepRows() tells how many it takes now.
    static void setVectorStepsAllowed(int rows);
    static int vectorStepRows();

    // An empty one-bit image with the colour table described above.
    static QImage makeMonoImage(int width, int height);

private:
    void fitCarryRows(int width);

    int m_method;
    int m_width;
    std::vector<int> m_carryA;
    std::vector<int> m_carryB;
    std::vector<int> m_row0;
    std::vector<int> m_row1;
    std::vector<int> m_row2;
};

#endif // DITHERER_H
