#include "ditherer.h"

#include <algorithm>
#include <cstring>

namespace {

// Threshold matrix of the ordered method, first index x mod 4, second y mod 4:
// 15 times one more than the 4 by 4 Bayer index.
constexpr int kThreshold[4][4] = {
    { 15, 135, 45, 165 },
    { 195, 75, 225, 105 },
    { 60, 180, 30, 150 },
    { 240, 120, 210, 90 },
};

// Error-distribution kernels: weights of the targets (dx, dy) over a divisor.
// Row 1 and row 2 list dx = -2 .. 2; a weight of 0 means "no target".
struct FloydSteinbergKernel
{
    static constexpr bool threeRows = false;
    static constexpr int divisor = 16;
    static constexpr int w10 = 7;
    static constexpr int w20 = 0;
    static constexpr int w1[5] = { 0, 3, 5, 1, 0 };
    static constexpr int w2[5] = { 0, 0, 0, 0, 0 };
};

struct JarvisJudiceNinkeKernel
{
    static constexpr bool threeRows = true;
    static constexpr int divisor = 48;
    static constexpr int w10 = 7;
    static constexpr int w20 = 5;
    static constexpr int w1[5] = { 3, 5, 7, 5, 3 };
    static constexpr int w2[5] = { 1, 3, 5, 3, 1 };
};

struct StuckiKernel
{
    static constexpr bool threeRows = true;
    static constexpr int divisor = 42;
    static constexpr int w10 = 8;
    static constexpr int w20 = 4;
    static constexpr int w1[5] = { 2, 4, 8, 4, 2 };
    static constexpr int w2[5] = { 1, 2, 4, 2, 1 };
};

// Grey of pixel x of a source line: the blue channel, or the byte of a Grayscale8 line.
template <int Bpp> inline int greyAt(const uchar *line, int x)
{
    if constexpr (Bpp == 4)
        return static_cast<int>(reinterpret_cast<const quint32 *>(line)[x] & 0xffu);
    else
        return line[x];
}

inline bool isBlackOrWhite(int grey)
{
    return grey == 0 || grey == 255;
}

// The shares of one error for every target of the kernel, each truncated toward zero.
template <typename K> struct Shares
{
    explicit Shares(int e)
        : r0x1(K::w10 * e / K::divisor)
        , r0x2(K::w20 * e / K::divisor)
    {
        for (int i = 0; i < 5; ++i) {
            r1[i] = K::w1[i] * e / K::divisor;
            r2[i] = K::w2[i] * e / K::divisor;
        }
    }
    int r0x1; // s(1,0)
    int r0x2; // s(2,0)
    int r1[5]; // s(dx,1), index dx + 2
    int r2[5]; // s(dx,2), index dx + 2
};

// One tile of error distribution. R0 holds the error of the current row, R1 of
// the next and R2 of the one after; finished columns are moved down as the scan
// goes, and error meant for the next tile goes to the carry rows A and B.
template <typename K, int Bpp>
void diffuseTile(const QImage &src, QImage &dst, int *R0, int *R1, int *R2, int *A, int *B)
{
    const int W = src.width();
    const int H = src.height();
    const int lineBytes = (W + 7) / 8;
    const int padBytes = dst.bytesPerLine() - lineBytes;

    for (int y = 0; y < H; ++y) {
        const uchar *cur = src.constScanLine(y);
        const uchar *above = y > 0 ? src.constScanLine(y - 1) : nullptr;
        const uchar *below = y + 1 < H ? src.constScanLine(y + 1) : nullptr;
        uchar *out = dst.scanLine(y);

        const bool hasNext = y + 1 < H;
        const bool hasNext2 = y + 2 < H;
        const bool edgeRow = y >= 1 && y < H - 1;
        const bool lastRow = y == H - 1;
        const bool secondLastRow = y == H - 2;

        uint acc = 0;
        for (int x = 0; x < W; ++x) {
            const int g = greyAt<Bpp>(cur, x);
            uint black;
            if (g == 0) {
                black = 1;
            } else if (g == 255) {
                black = 0;
            } else {
                const bool edge = edgeRow && x >= 1 && x < W - 1
                    && (isBlackOrWhite(greyAt<Bpp>(above, x + 1))
                        || isBlackOrWhite(greyAt<Bpp>(below, x + 1)));
                const int v = g + R0[x];
                R0[x] = 0;
                const bool white = v >= 128;
                black = white ? 0 : 1;
                const int e = white ? v - 255 : v;
                if (e != 0) {
                    const Shares<K> s(e);
                    const bool hasRight = x + 1 < W;
                    const bool hasRight2 = x + 2 < W;

                    // Right-hand targets.
                    if (hasRight && !edge) {
                        R0[x + 1] += s.r0x1;
                        if (hasNext)
                            R1[x + 1] += s.r1[3];
                        if constexpr (K::threeRows) {
                            if (hasNext2)
                                R2[x + 1] += s.r2[3];
                            if (hasRight2) {
                                R0[x + 2] += s.r0x2;
                                if (hasNext)
                                    R1[x + 2] += s.r1[4];
                                if (hasNext2)
                                    R2[x + 2] += s.r2[4];
                            }
                        }
                    }

                    if (hasNext && !edge) {
                        // Lower targets.
                        R1[x] += s.r1[2];
                        if constexpr (K::threeRows) {
                            if (hasNext2)
                                R2[x] += s.r2[2];
                            if (x > 0) {
                                R1[x - 1] += s.r1[1];
                                if (hasNext2)
                                    R2[x - 1] += s.r2[1];
                            }
                        }
                        // Columns the kernel has left for good move down one row.
                        if constexpr (K::threeRows) {
                            if (x >= 2) {
                                R0[x - 2] = R1[x - 2] + s.r1[0];
                                if (hasNext2) {
                                    R1[x - 2] = R2[x - 2] + s.r2[0];
                                    R2[x - 2] = 0;
                                }
                            }
                        } else {
                            if (x > 0) {
                                R0[x - 1] = R1[x - 1] + s.r1[1];
                                R1[x - 1] = 0;
                            }
                        }
                    }

                    // Error for the next tile.
                    if constexpr (K::threeRows) {
                        if (secondLastRow) {
                            A[x] += s.r2[2];
                            if (hasRight && !edge) {
                                A[x + 1] += s.r2[3];
                                if (hasRight2)
                                    A[x + 2] += s.r2[4];
                            }
                            if (x > 0) {
                                A[x - 1] += s.r2[1];
                                if (x >= 2)
                                    A[x - 2] += s.r2[0];
                            }
                        } else if (lastRow) {
                            A[x] += s.r1[2];
                            B[x] += s.r2[2];
                            if (hasRight) {
                                A[x + 1] += s.r1[3];
                                B[x + 1] += s.r2[3];
                                if (hasRight2) {
                                    A[x + 2] += s.r1[4];
                                    B[x + 2] += s.r2[4];
                                }
                            }
                            if (x > 0) {
                                A[x - 1] += s.r1[1];
                                B[x - 1] += s.r2[1];
                                if (x >= 2) {
                                    A[x - 2] += s.r1[0];
                                    B[x - 2] += s.r2[0];
                                }
                            }
                        }
                    } else if (lastRow) {
                        if (hasRight)
                            A[x + 1] += s.r1[3];
                        A[x] += s.r1[2];
                        if (x > 0)
                            A[x - 1] += s.r1[1];
                    }
                }
            }
            acc |= black << (7 - (x & 7));
            if ((x & 7) == 7) {
                out[x >> 3] = static_cast<uchar>(acc);
                acc = 0;
            }
        }
        if (W & 7)
            out[W >> 3] = static_cast<uchar>(acc);
        if (padBytes > 0)
            std::memset(out + lineBytes, 0, static_cast<size_t>(padBytes));

        // End of the row: the last columns, which no later pixel moves, move down now.
        if constexpr (K::threeRows) {
            for (int c = std::max(0, W - 2); c < W; ++c) {
                R0[c] = R1[c];
                R1[c] = R2[c];
                R2[c] = 0;
            }
        } else if (W > 0) {
            R0[W - 1] = R1[W - 1];
            R1[W - 1] = 0;
        }
    }
}

template <int Bpp> void orderedTile(const QImage &src, QImage &dst)
{
    const int W = src.width();
    const int H = src.height();
    const int fullBytes = W / 8;
    const int lineBytes = (W + 7) / 8;
    const int padBytes = dst.bytesPerLine() - lineBytes;

    for (int y = 0; y < H; ++y) {
        const uchar *in = src.constScanLine(y);
        uchar *out = dst.scanLine(y);
        // Thresholds of this row for x mod 4 = 0..3, twice, so one byte of output
        // (eight pixels) reads them in order.
        int t[8];
        for (int i = 0; i < 8; ++i)
            t[i] = kThreshold[i & 3][y & 3];

        // White when grey + T >= 256. Grey and T stay below 256 each, so bit 8 of
        // the sum is the answer; greys 0 and 255 need no special case as 0 + T
        // never reaches 256 and 255 + T always does.
        for (int b = 0; b < fullBytes; ++b) {
            uint byte = 0;
            for (int i = 0; i < 8; ++i) {
                const uint white = static_cast<uint>(greyAt<Bpp>(in, b * 8 + i) + t[i]) >> 8;
                byte |= (white ^ 1u) << (7 - i);
            }
            out[b] = static_cast<uchar>(byte);
        }
        if (fullBytes < lineBytes) {
            uint byte = 0;
            for (int x = fullBytes * 8; x < W; ++x) {
                const uint white = static_cast<uint>(greyAt<Bpp>(in, x) + t[x & 7]) >> 8;
                byte |= (white ^ 1u) << (7 - (x & 7));
            }
            out[fullBytes] = static_cast<uchar>(byte);
        }
        if (padBytes > 0)
            std::memset(out + lineBytes, 0, static_cast<size_t>(padBytes));
    }
}

// The tile in a format whose grey can be read directly.
QImage readableSource(const QImage &tile)
{
    switch (tile.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_Grayscale8:
        return tile;
    default:
        return tile.convertToFormat(QImage::Format_RGB32);
    }
}

} // namespace

ditherer::ditherer(int method, int width)
    : m_method(method)
    , m_width(std::max(0, width))
    , m_carryA(static_cast<size_t>(m_width), 0)
    , m_carryB(static_cast<size_t>(m_width), 0)
{
}

QImage ditherer::makeMonoImage(int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    QImage image(width, height, QImage::Format_Mono);
    image.setColorCount(2);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    return image;
}

QImage ditherer::orderedDither(const QImage &tile)
{
    const QImage src = readableSource(tile);
    QImage dst = makeMonoImage(src.width(), src.height());
    if (src.isNull())
        return dst;
    if (src.format() == QImage::Format_Grayscale8)
        orderedTile<1>(src, dst);
    else
        orderedTile<4>(src, dst);
    return dst;
}

void ditherer::fitCarryRows(int width)
{
    // Tiles of one pass share their width; should one differ, the carry rows
    // follow it (new columns carry nothing) rather than being read past their end.
    if (width == m_width)
        return;
    m_width = width;
    m_carryA.resize(static_cast<size_t>(width), 0);
    m_carryB.resize(static_cast<size_t>(width), 0);
}

QImage ditherer::ditherTile(const QImage &tile)
{
    if (leavesGrey(m_method))
        return tile;
    if (m_method != FloydSteinberg && m_method != JarvisJudiceNinke && m_method != Stucki)
        return orderedDither(tile);

    const QImage src = readableSource(tile);
    QImage dst = makeMonoImage(src.width(), src.height());
    if (src.isNull())
        return dst;

    const int W = src.width();
    fitCarryRows(W);

    // Each tile starts with the carried error: A for its first row, B for its
    // second (Floyd-Steinberg reaches only one row down and needs no B).
    m_row0 = m_carryA;
    if (m_method == FloydSteinberg)
        m_row1.assign(static_cast<size_t>(W), 0);
    else
        m_row1 = m_carryB;
    m_row2.assign(static_cast<size_t>(W), 0);
    std::fill(m_carryA.begin(), m_carryA.end(), 0);
    std::fill(m_carryB.begin(), m_carryB.end(), 0);

    int *R0 = m_row0.data();
    int *R1 = m_row1.data();
    int *R2 = m_row2.data();
    int *A = m_carryA.data();
    int *B = m_carryB.data();
    const bool grey8 = src.format() == QImage::Format_Grayscale8;

    switch (m_method) {
    case FloydSteinberg:
        grey8 ? diffuseTile<FloydSteinbergKernel, 1>(src, dst, R0, R1, R2, A, B)
              : diffuseTile<FloydSteinbergKernel, 4>(src, dst, R0, R1, R2, A, B);
        break;
    case JarvisJudiceNinke:
        grey8 ? diffuseTile<JarvisJudiceNinkeKernel, 1>(src, dst, R0, R1, R2, A, B)
              : diffuseTile<JarvisJudiceNinkeKernel, 4>(src, dst, R0, R1, R2, A, B);
        break;
    default:
        grey8 ? diffuseTile<StuckiKernel, 1>(src, dst, R0, R1, R2, A, B)
              : diffuseTile<StuckiKernel, 4>(src, dst, R0, R1, R2, A, B);
        break;
    }
    return dst;
}
