// The error-distribution methods written out step by step, one pixel at a time,
// with whole error rows in memory: the yardstick for the optimised scan of the
// library on large pictures. Works on Grayscale8 sources.
#ifndef REFERENCEDIFFUSION_H
#define REFERENCEDIFFUSION_H

#include <QImage>

#include <algorithm>
#include <cstring>
#include <vector>

namespace reference {

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
template <typename K, int Bpp = 1>
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

// Dithers tiles of one pass in order, keeping the carry rows.
class Diffusion
{
public:
    Diffusion(int method, int width)
        : m_method(method)
        , A(static_cast<size_t>(width), 0)
        , B(static_cast<size_t>(width), 0)
    {
    }
    QImage dither(const QImage &grey8)
    {
        const int W = grey8.width();
        QImage out(W, grey8.height(), QImage::Format_Mono);
        out.setColorCount(2);
        out.setColor(0, qRgb(255, 255, 255));
        out.setColor(1, qRgb(0, 0, 0));
        std::vector<int> R0 = A, R1 = m_method == 3 ? std::vector<int>(W, 0) : B, R2(W, 0);
        std::fill(A.begin(), A.end(), 0);
        std::fill(B.begin(), B.end(), 0);
        if (m_method == 3)
            diffuseTile<FloydSteinbergKernel>(
                grey8, out, R0.data(), R1.data(), R2.data(), A.data(), B.data());
        else if (m_method == 4)
            diffuseTile<JarvisJudiceNinkeKernel>(
                grey8, out, R0.data(), R1.data(), R2.data(), A.data(), B.data());
        else
            diffuseTile<StuckiKernel>(grey8, out, R0.data(), R1.data(), R2.data(), A.data(), B.data());
        return out;
    }
    int m_method;
    std::vector<int> A, B;
};

} // namespace reference

#endif // REFERENCEDIFFUSION_H
