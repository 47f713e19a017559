#include "ditherer.h"

#include "largeimage.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
    static constexpr int distinct[4] = { 7, 5, 3, 1 };
};

struct JarvisJudiceNinkeKernel
{
    static constexpr bool threeRows = true;
    static constexpr int divisor = 48;
    static constexpr int w10 = 7;
    static constexpr int w20 = 5;
    static constexpr int w1[5] = { 3, 5, 7, 5, 3 };
    static constexpr int w2[5] = { 1, 3, 5, 3, 1 };
    static constexpr int distinct[4] = { 7, 5, 3, 1 };
};

struct StuckiKernel
{
    static constexpr bool threeRows = true;
    static constexpr int divisor = 42;
    static constexpr int w10 = 8;
    static constexpr int w20 = 4;
    static constexpr int w1[5] = { 2, 4, 8, 4, 2 };
    static constexpr int w2[5] = { 1, 2, 4, 2, 1 };
    static constexpr int distinct[4] = { 8, 4, 2, 1 };
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
    return static_cast<unsigned>(grey - 1) >= 254u;
}

// Shares of an error are trunc(w * e / D). A kernel has four distinct weights,
// so one error needs four divisions; for the usual range of values they come
// from a table indexed by the value before thresholding, which also keeps the
// divisions off the chain from one pixel to the next.
template <typename K> constexpr int weightSlot(int w)
{
    for (int i = 0; i < 4; ++i) {
        if (K::distinct[i] == w)
            return i;
    }
    return -1;
}

template <typename K> struct ShareTable
{
    static constexpr int minValue = -2048;
    static constexpr int maxValue = 2047 + 255;
    struct Entry
    {
        qint16 share[4];
    };

    ShareTable()
        : entries(static_cast<size_t>(maxValue - minValue + 1))
    {
        for (int v = minValue; v <= maxValue; ++v) {
            const int e = v >= 128 ? v - 255 : v;
            for (int i = 0; i < 4; ++i)
                entries[static_cast<size_t>(v - minValue)].share[i]
                    = static_cast<qint16>(K::distinct[i] * e / K::divisor);
        }
    }

    static const ShareTable &instance()
    {
        static const ShareTable table;
        return table;
    }

    std::vector<Entry> entries;
};

// The shares of one pixel's error, looked up by weight.
template <typename K> struct Shares
{
    Q_ALWAYS_INLINE Shares(const typename ShareTable<K>::Entry *table, int v)
    {
        if (Q_LIKELY(v >= ShareTable<K>::minValue && v <= ShareTable<K>::maxValue)) {
            const auto &entry = table[v - ShareTable<K>::minValue];
            s0 = entry.share[0];
            s1 = entry.share[1];
            s2 = entry.share[2];
            s3 = entry.share[3];
        } else {
            const int e = v >= 128 ? v - 255 : v;
            s0 = K::distinct[0] * e / K::divisor;
            s1 = K::distinct[1] * e / K::divisor;
            s2 = K::distinct[2] * e / K::divisor;
            s3 = K::distinct[3] * e / K::divisor;
        }
    }
    template <int W> int of() const
    {
        constexpr int slot = weightSlot<K>(W);
        static_assert(slot >= 0, "weight of the kernel");
        if constexpr (slot == 0)
            return s0;
        else if constexpr (slot == 1)
            return s1;
        else if constexpr (slot == 2)
            return s2;
        else
            return s3;
    }
    int s0, s1, s2, s3;
};

// What one row of a tile allows: which targets below exist and whether the
// row is one of the last two, whose error partly goes to the next tile.
struct RowInfo
{
    // The row's pixels: grey in the low byte, 1 in the high byte for an edge pixel.
    const quint16 *pixels;
    int width;
    bool hasNext;
    bool hasNext2;
    bool lastRow;
    bool secondLastRow;
    int *A;
    int *B;
};

// One column of the error rows R0 and R1. R2, the row two below, is not on the
// path from one pixel to the next and stays in memory, which leaves registers
// for the rest.
struct Column
{
    int r0;
    int r1;
};

// Columns x-2 .. x+2 of the error rows around the pixel being scanned.
struct Window
{
    Column c[5];
};

// One pixel of error distribution, the steps of the method in order. Interior
// is true for pixels at least two columns from both sides on a row with two
// rows below it in the tile (one for Floyd-Steinberg), where every target
// exists: then the checks fall away at compile time.
template <typename K, bool Interior>
Q_ALWAYS_INLINE uint diffusePixel(const RowInfo &row, int x, const typename ShareTable<K>::Entry *table,
    Column &m2, Column &m1, Column &c0, Column &p1, Column &p2, int *__restrict r2)
{
    constexpr bool three = K::threeRows;
    constexpr int w10 = K::w10, w20 = K::w20;
    constexpr int wm21 = K::w1[0], wm11 = K::w1[1], w01 = K::w1[2], w11 = K::w1[3], w21 = K::w1[4];
    constexpr int wm22 = K::w2[0], wm12 = K::w2[1], w02 = K::w2[2], w12 = K::w2[3], w22 = K::w2[4];
    const uint pixel = row.pixels[x];
    const int g = static_cast<int>(pixel & 0xffu);
    if (g == 0)
        return 1;
    if (g == 255)
        return 0;

    const bool hasRight = Interior || x + 1 < row.width;
    const bool hasRight2 = Interior || x + 2 < row.width;
    const bool hasLeft = Interior || x > 0;
    const bool hasLeft2 = Interior || x >= 2;
    const bool hasNext = Interior || row.hasNext;
    const bool hasNext2 = Interior || row.hasNext2;
    const bool lastRow = !Interior && row.lastRow;
    const bool secondLastRow = !Interior && row.secondLastRow;

    // Edge pixels pass no error on inside the tile.
    const bool edge = pixel > 0xffu;
    const int v = g + c0.r0;
    c0.r0 = 0;
    const uint black = v >= 128 ? 0 : 1;
    // The error is 0 exactly for 0 and 255.
    if (v == 0 || v == 255)
        return black;
    const Shares<K> s(table, v);

    if (Q_LIKELY(hasRight && !edge)) {
        p1.r0 += s.template of<w10>();
        if (hasNext)
            p1.r1 += s.template of<w11>();
        if constexpr (three) {
            if (hasNext2)
                r2[1] += s.template of<w12>();
            if (hasRight2) {
                p2.r0 += s.template of<w20>();
                if (hasNext)
                    p2.r1 += s.template of<w21>();
                if (hasNext2)
                    r2[2] += s.template of<w22>();
            }
        }
    }

    if (Q_LIKELY(hasNext && !edge)) {
        c0.r1 += s.template of<w01>();
        if constexpr (three) {
            if (hasNext2)
                r2[0] += s.template of<w02>();
            if (hasLeft) {
                m1.r1 += s.template of<wm11>();
                if (hasNext2)
                    r2[-1] += s.template of<wm12>();
            }
            // Column x-2 is finished: it moves down one row.
            if (hasLeft2) {
                m2.r0 = m2.r1 + s.template of<wm21>();
                if (hasNext2) {
                    m2.r1 = r2[-2] + s.template of<wm22>();
                    r2[-2] = 0;
                }
            }
        } else if (hasLeft) {
            m1.r0 = m1.r1 + s.template of<wm11>();
            m1.r1 = 0;
        }
    }

    if (Interior)
        return black;

    // Error for the next tile.
    int *A = row.A;
    int *B = row.B;
    if constexpr (three) {
        if (secondLastRow) {
            A[x] += s.template of<w02>();
            if (hasRight && !edge) {
                A[x + 1] += s.template of<w12>();
                if (hasRight2)
                    A[x + 2] += s.template of<w22>();
            }
            if (hasLeft) {
                A[x - 1] += s.template of<wm12>();
                if (hasLeft2)
                    A[x - 2] += s.template of<wm22>();
            }
        } else if (lastRow) {
            A[x] += s.template of<w01>();
            B[x] += s.template of<w02>();
            if (hasRight) {
                A[x + 1] += s.template of<w11>();
                B[x + 1] += s.template of<w12>();
                if (hasRight2) {
                    A[x + 2] += s.template of<w21>();
                    B[x + 2] += s.template of<w22>();
                }
            }
            if (hasLeft) {
                A[x - 1] += s.template of<wm11>();
                B[x - 1] += s.template of<wm12>();
                if (hasLeft2) {
                    A[x - 2] += s.template of<wm21>();
                    B[x - 2] += s.template of<wm22>();
                }
            }
        }
    } else if (lastRow) {
        if (hasRight)
            A[x + 1] += s.template of<w11>();
        A[x] += s.template of<w01>();
        if (hasLeft)
            A[x - 1] += s.template of<wm11>();
    }
    return black;
}

// Pixel x of a span: column x+2 enters the window before the pixel, column
// x-2 leaves it after. The columns are passed in their roles for this pixel
// (x-2, x-1, x, x+1, x+2); the caller rotates the roles from pixel to pixel.
template <typename K, bool Interior>
Q_ALWAYS_INLINE void diffuseStep(const RowInfo &row, int x, int *__restrict R0, int *__restrict R1,
    int *__restrict R2, const typename ShareTable<K>::Entry *table, uchar *out, uint &bits, Column &m2,
    Column &m1, Column &c0, Column &p1, Column &p2)
{
    if (Interior || x + 2 < row.width)
        p2 = Column { R0[x + 2], R1[x + 2] };
    else
        p2 = Column { 0, 0 };

    // Pixels enter at the low end, so after eight of them the first is the
    // most significant bit.
    bits = (bits << 1) | diffusePixel<K, Interior>(row, x, table, m2, m1, c0, p1, p2, R2 + x);
    if ((x & 7) == 7)
        out[x >> 3] = static_cast<uchar>(bits);

    if (Interior || x >= 2) {
        R0[x - 2] = m2.r0;
        R1[x - 2] = m2.r1;
    }
}

// Pixels from..to-1 of one row. The window lives in local variables while the
// span runs, so that it can stay in registers; five pixels at a time the
// columns change roles by name rather than by copying.
template <typename K, bool Interior>
Q_ALWAYS_INLINE void diffuseSpan(const RowInfo &row, Window &w, int from, int to, int *__restrict R0,
    int *__restrict R1, int *__restrict R2, const typename ShareTable<K>::Entry *table, uchar *out, uint &acc)
{
    Column a = w.c[0], b = w.c[1], c = w.c[2], d = w.c[3], e = w.c[4];
    uint bits = acc;
    int x = from;
    for (; x + 5 <= to; x += 5) {
        diffuseStep<K, Interior>(row, x, R0, R1, R2, table, out, bits, a, b, c, d, e);
        diffuseStep<K, Interior>(row, x + 1, R0, R1, R2, table, out, bits, b, c, d, e, a);
        diffuseStep<K, Interior>(row, x + 2, R0, R1, R2, table, out, bits, c, d, e, a, b);
        diffuseStep<K, Interior>(row, x + 3, R0, R1, R2, table, out, bits, d, e, a, b, c);
        diffuseStep<K, Interior>(row, x + 4, R0, R1, R2, table, out, bits, e, a, b, c, d);
    }
    for (; x < to; ++x) {
        diffuseStep<K, Interior>(row, x, R0, R1, R2, table, out, bits, a, b, c, d, e);
        const Column left = a;
        a = b;
        b = c;
        c = d;
        d = e;
        e = left;
    }
    w = Window { { a, b, c, d, e } };
    acc = bits;
}

// Grey and edge test of one row in one pass, ahead of the scan: a pixel
// (x, y) with 1 <= x < W-1 and 1 <= y < H-1 is an edge pixel when its upper or
// lower right-hand neighbour, (x+1, y-1) or (x+1, y+1), is black or white.
template <int Bpp> void packRow(const QImage &src, int y, quint16 *pixels)
{
    const int W = src.width();
    const int H = src.height();
    const uchar *cur = src.constScanLine(y);
    int first = 0;
#ifdef __SSE2__
    if constexpr (Bpp == 1) {
        // Sixteen greys at a time, widened to sixteen bits.
        const __m128i zero = _mm_setzero_si128();
        for (; first + 16 <= W; first += 16) {
            const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cur + first));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + first), _mm_unpacklo_epi8(g, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + first + 8), _mm_unpackhi_epi8(g, zero));
        }
    }
#endif
    for (int x = first; x < W; ++x)
        pixels[x] = static_cast<quint16>(greyAt<Bpp>(cur, x));
    if (y < 1 || y >= H - 1)
        return;
    const uchar *above = src.constScanLine(y - 1);
    const uchar *below = src.constScanLine(y + 1);
    int x = 1;
#ifdef __SSE2__
    if constexpr (Bpp == 1) {
        // Sixteen pixels at a time: a byte of 0xff where a neighbour is 0 or
        // 255, its lowest bit becomes the high byte of the pixel.
        const __m128i zero = _mm_setzero_si128();
        const __m128i full = _mm_set1_epi8(char(0xff));
        const __m128i one = _mm_set1_epi8(1);
        for (; x + 16 <= W - 1; x += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + x + 1));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(below + x + 1));
            const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cur + x));
            const __m128i edge
                = _mm_and_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(a, full)),
                                    _mm_or_si128(_mm_cmpeq_epi8(b, zero), _mm_cmpeq_epi8(b, full))),
                    one);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + x), _mm_unpacklo_epi8(g, edge));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + x + 8), _mm_unpackhi_epi8(g, edge));
        }
    }
#endif
    for (; x < W - 1; ++x) {
        const bool edge
            = isBlackOrWhite(greyAt<Bpp>(above, x + 1)) | isBlackOrWhite(greyAt<Bpp>(below, x + 1));
        pixels[x] = static_cast<quint16>(pixels[x] | (edge ? 0x100u : 0u));
    }
}

// Two neighbouring rows scanned together (below): the lower row runs this many
// columns behind the upper one. A pixel touches columns x-2 .. x+2 of the
// error rows, so once the upper row is four columns ahead the two never touch
// a column out of the order of a row-by-row scan; the results are the same.
constexpr int kRowLag = 5;

// One row of a tile while it is scanned.
template <typename K> struct RowScan
{
    RowInfo row;
    Window w;
    uint acc;
    uchar *out;
    std::vector<quint16> pixels;

    void begin(const QImage &src, QImage &dst, int y, const int *R0, const int *R1, int *A, int *B)
    {
        const int W = src.width();
        const int H = src.height();
        pixels.resize(static_cast<size_t>(W));
        if (src.format() == QImage::Format_Grayscale8)
            packRow<1>(src, y, pixels.data());
        else
            packRow<4>(src, y, pixels.data());
        row.pixels = pixels.data();
        row.width = W;
        row.hasNext = y + 1 < H;
        row.hasNext2 = y + 2 < H;
        row.lastRow = y == H - 1;
        row.secondLastRow = y == H - 2;
        row.A = A;
        row.B = B;
        out = dst.scanLine(y);
        acc = 0;
        w = Window {};
        if (W > 0)
            w.c[2] = Column { R0[0], R1[0] };
        if (W > 1)
            w.c[3] = Column { R0[1], R1[1] };
    }

    // Every target of the kernel lies inside the tile for the pixels of this row
    // that are two columns or more from both sides.
    bool isMiddleRow() const { return K::threeRows ? row.hasNext2 : row.hasNext; }

    template <bool Interior>
    void span(int from, int to, int *R0, int *R1, int *R2, const typename ShareTable<K>::Entry *table)
    {
        diffuseSpan<K, Interior>(row, w, from, to, R0, R1, R2, table, out, acc);
    }

    // The whole row on its own, from its first pixel to its end.
    void scanAlone(int padBytes, int *R0, int *R1, int *R2, const typename ShareTable<K>::Entry *table)
    {
        const int W = row.width;
        const int interiorFrom = std::min(2, W);
        const int interiorTo = std::max(interiorFrom, W - 2);
        span<false>(0, interiorFrom, R0, R1, R2, table);
        if (isMiddleRow())
            span<true>(interiorFrom, interiorTo, R0, R1, R2, table);
        else
            span<false>(interiorFrom, interiorTo, R0, R1, R2, table);
        span<false>(interiorTo, W, R0, R1, R2, table);
        finish(padBytes, R0, R1, R2);
    }

    void finish(int padBytes, int *R0, int *R1, int *R2)
    {
        const int W = row.width;
        if (W & 7)
            out[W >> 3] = static_cast<uchar>(acc << (8 - (W & 7)));
        if (padBytes > 0)
            std::memset(out + (W + 7) / 8, 0, static_cast<size_t>(padBytes));

        // End of the row: the window now holds columns W-2 and W-1 at x-2 and
        // x-1. No later pixel moves them, so they move down here.
        const Column &lastButOne = w.c[0];
        const Column &last = w.c[1];
        if constexpr (K::threeRows) {
            if (W >= 2) {
                R0[W - 2] = lastButOne.r1;
                R1[W - 2] = R2[W - 2];
                R2[W - 2] = 0;
            }
            if (W >= 1) {
                R0[W - 1] = last.r1;
                R1[W - 1] = R2[W - 1];
                R2[W - 1] = 0;
            }
        } else {
            if (W >= 2) {
                R0[W - 2] = lastButOne.r0;
                R1[W - 2] = lastButOne.r1;
            }
            if (W >= 1) {
                R0[W - 1] = last.r1;
                R1[W - 1] = 0;
            }
        }
    }
};

// Interior pixels of two rows at once: the upper row at t, the lower at t - kRowLag.
// The two chains of error from pixel to pixel are independent, so the processor
// can work on both at the same time.
template <typename K>
Q_ALWAYS_INLINE void diffusePairSpan(RowScan<K> &upper, RowScan<K> &lower, int from, int to, int *R0, int *R1,
    int *R2, const typename ShareTable<K>::Entry *table)
{
    Column a = upper.w.c[0], b = upper.w.c[1], c = upper.w.c[2], d = upper.w.c[3], e = upper.w.c[4];
    Column f = lower.w.c[0], g = lower.w.c[1], h = lower.w.c[2], i = lower.w.c[3], j = lower.w.c[4];
    uint upperBits = upper.acc;
    uint lowerBits = lower.acc;
    const RowInfo &ur = upper.row;
    const RowInfo &lr = lower.row;
    uchar *uo = upper.out;
    uchar *lo = lower.out;
    int t = from;
    for (; t + 5 <= to; t += 5) {
        diffuseStep<K, true>(ur, t, R0, R1, R2, table, uo, upperBits, a, b, c, d, e);
        diffuseStep<K, true>(lr, t - kRowLag, R0, R1, R2, table, lo, lowerBits, f, g, h, i, j);
        diffuseStep<K, true>(ur, t + 1, R0, R1, R2, table, uo, upperBits, b, c, d, e, a);
        diffuseStep<K, true>(lr, t + 1 - kRowLag, R0, R1, R2, table, lo, lowerBits, g, h, i, j, f);
        diffuseStep<K, true>(ur, t + 2, R0, R1, R2, table, uo, upperBits, c, d, e, a, b);
        diffuseStep<K, true>(lr, t + 2 - kRowLag, R0, R1, R2, table, lo, lowerBits, h, i, j, f, g);
        diffuseStep<K, true>(ur, t + 3, R0, R1, R2, table, uo, upperBits, d, e, a, b, c);
        diffuseStep<K, true>(lr, t + 3 - kRowLag, R0, R1, R2, table, lo, lowerBits, i, j, f, g, h);
        diffuseStep<K, true>(ur, t + 4, R0, R1, R2, table, uo, upperBits, e, a, b, c, d);
        diffuseStep<K, true>(lr, t + 4 - kRowLag, R0, R1, R2, table, lo, lowerBits, j, f, g, h, i);
    }
    for (; t < to; ++t) {
        diffuseStep<K, true>(ur, t, R0, R1, R2, table, uo, upperBits, a, b, c, d, e);
        diffuseStep<K, true>(lr, t - kRowLag, R0, R1, R2, table, lo, lowerBits, f, g, h, i, j);
        const Column upperLeft = a;
        a = b, b = c, c = d, d = e, e = upperLeft;
        const Column lowerLeft = f;
        f = g, g = h, h = i, i = j, j = lowerLeft;
    }
    upper.w = Window { { a, b, c, d, e } };
    lower.w = Window { { f, g, h, i, j } };
    upper.acc = upperBits;
    lower.acc = lowerBits;
}

// Eight rows of Floyd-Steinberg at once, one in each lane of a vector.
//
// Row k of a block of eight runs kRowLag * k columns behind row 0, so each
// row follows the row above exactly as in the scan of two rows together, and
// the result is that of one row after the other. What a row hands to the row
// below through the error rows - the column it leaves (x - 2) once it has
// moved it down - is what the row below takes in (its x + 2) at the very next
// step: inside a block it passes from lane to lane, shifted by one lane;
// only row 0 reads the error rows and only row 7 writes them. The start and
// the end of each row, where the window reaches beyond the tile or the rows
// are not yet (or no longer) all inside it, are scanned one row at a time.
//
// The vector steps need AVX2; without it (or when switched off for a
// comparison) the rows go in pairs as before.
#if defined(__GNUC__) && defined(__x86_64__)
#define VEXLOR_DIFFUSION_LANES 1
#include <immintrin.h>
#endif

constexpr int kLanes = 8;
// With AVX-512, sixteen rows at once.
constexpr int kWideLanes = 16;
// Columns scanned between two looks at how far the rows above have gone, and
// what a finished row tells the rows below.
constexpr int kStretch = 512;
constexpr int kRowDone = std::numeric_limits<int>::max();
// Row 0 of a block of L rows starts its vector steps here; row L - 1 then
// starts at column 5.
template <int L> constexpr int laneStart()
{
    return L * kRowLag;
}
// Narrower tiles leave too few columns for the vector steps to pay.
template <int L> constexpr int laneMinWidth()
{
    return laneStart<L>() + 64;
}

// The widest vector steps allowed: 16, 8 or 0 (none).
std::atomic<int> g_lanesAllowed { kWideLanes };

// The number of rows the vector steps of this processor take at once, 0 for none.
int lanesAvailable()
{
#ifdef VEXLOR_DIFFUSION_LANES
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    const int allowed = g_lanesAllowed.load(std::memory_order_relaxed);
    if (avx512 && avx2 && allowed >= kWideLanes)
        return kWideLanes;
    if (avx2 && allowed >= kLanes)
        return kLanes;
#endif
    return 0;
}

#ifdef VEXLOR_DIFFUSION_LANES
#define VEXLOR_AVX2 __attribute__((target("avx2")))

VEXLOR_AVX2 inline __m256i truncatedSixteenths(__m256i x)
{
    // x / 16 rounded towards zero, as C++ divides
    return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(15))), 4);
}

VEXLOR_AVX2 inline __m256i laneColumn(RowScan<FloydSteinbergKernel> *rows, int slot, bool second)
{
    alignas(32) int v[kLanes];
    for (int k = 0; k < kLanes; ++k)
        v[k] = second ? rows[k].w.c[slot].r1 : rows[k].w.c[slot].r0;
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(v));
}

VEXLOR_AVX2 inline void storeLaneColumn(RowScan<FloydSteinbergKernel> *rows, int slot, __m256i r0, __m256i r1)
{
    alignas(32) int v0[kLanes];
    alignas(32) int v1[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i *>(v0), r0);
    _mm256_store_si256(reinterpret_cast<__m256i *>(v1), r1);
    for (int k = 0; k < kLanes; ++k)
        rows[k].w.c[slot] = Column { v0[k], v1[k] };
}

// Eight rows' next eight pixels, turned so that vector j holds step j.
VEXLOR_AVX2 inline void turnEightRows(
    RowScan<FloydSteinbergKernel> *rows, int firstRow, int at, __m128i *q)
{
    __m128i p[8];
    for (int k = 0; k < 8; ++k) {
        const int row = firstRow + k;
        p[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[row].row.pixels + at - kRowLag * row));
    }
    const __m128i a0 = _mm_unpacklo_epi16(p[0], p[1]), a1 = _mm_unpackhi_epi16(p[0], p[1]);
    const __m128i a2 = _mm_unpacklo_epi16(p[2], p[3]), a3 = _mm_unpackhi_epi16(p[2], p[3]);
    const __m128i a4 = _mm_unpacklo_epi16(p[4], p[5]), a5 = _mm_unpackhi_epi16(p[4], p[5]);
    const __m128i a6 = _mm_unpacklo_epi16(p[6], p[7]), a7 = _mm_unpackhi_epi16(p[6], p[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    q[0] = _mm_unpacklo_epi64(b0, b4);
    q[1] = _mm_unpackhi_epi64(b0, b4);
    q[2] = _mm_unpacklo_epi64(b1, b5);
    q[3] = _mm_unpackhi_epi64(b1, b5);
    q[4] = _mm_unpacklo_epi64(b2, b6);
    q[5] = _mm_unpackhi_epi64(b2, b6);
    q[6] = _mm_unpacklo_epi64(b3, b7);
    q[7] = _mm_unpackhi_epi64(b3, b7);
}

// Steps from .. from + steps - 1 of a block (steps a multiple of 8): row k
// takes pixel x - kRowLag * k at step x, every one of them an interior pixel.
// Whether each pixel is black goes to marks, one byte per step, bit k for row k.
VEXLOR_AVX2 Q_NEVER_INLINE void diffuseLaneSteps(
    RowScan<FloydSteinbergKernel> *rows, int from, int steps, int *R0, int *R1, uchar *marks, uchar *)
{
    __m256i m2r0 = laneColumn(rows, 0, false), m2r1 = laneColumn(rows, 0, true);
    __m256i m1r0 = laneColumn(rows, 1, false), m1r1 = laneColumn(rows, 1, true);
    __m256i c0r0 = laneColumn(rows, 2, false), c0r1 = laneColumn(rows, 2, true);
    __m256i p1r0 = laneColumn(rows, 3, false), p1r1 = laneColumn(rows, 3, true);
    // The first column each row takes in comes from the error rows.
    alignas(32) int in0[kLanes];
    alignas(32) int in1[kLanes];
    for (int k = 0; k < kLanes; ++k) {
        in0[k] = R0[from - kRowLag * k + 2];
        in1[k] = R1[from - kRowLag * k + 2];
    }
    __m256i inR0 = _mm256_load_si256(reinterpret_cast<const __m256i *>(in0));
    __m256i inR1 = _mm256_load_si256(reinterpret_cast<const __m256i *>(in1));
    __m256i leftR0 = m2r0, leftR1 = m2r1;

    const __m256i lowByte = _mm256_set1_epi32(0xff);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi32(128);
    const __m256i full = _mm256_set1_epi32(255);
    const __m256i downOneLane = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);

    for (int i = 0; i < steps; i += 8) {
        // The eight rows' next eight pixels, turned so that each vector holds
        // one step: lane k the pixel of row k.
        __m128i q[8];
        turnEightRows(rows, 0, from + i, q);

        for (int j = 0; j < 8; ++j) {
            const int x = from + i + j;
            const __m256i p2r0 = inR0, p2r1 = inR1;

            const __m256i pixel = _mm256_cvtepu16_epi32(q[j]);
            const __m256i g = _mm256_and_si256(pixel, lowByte);
            const __m256i edge = _mm256_cmpgt_epi32(pixel, lowByte);
            const __m256i pureBlack = _mm256_cmpeq_epi32(g, zero);
            // 0 and 255 are taken as they are, and their error stays where it is
            const __m256i pure = _mm256_or_si256(pureBlack, _mm256_cmpeq_epi32(g, full));
            const __m256i v = _mm256_add_epi32(g, c0r0);
            c0r0 = _mm256_and_si256(c0r0, pure);
            const __m256i dark = _mm256_cmpgt_epi32(half, v);
            const __m256i black = _mm256_blendv_epi8(dark, pureBlack, pure);
            const __m256i still = _mm256_or_si256(_mm256_or_si256(pure, edge),
                _mm256_or_si256(_mm256_cmpeq_epi32(v, zero), _mm256_cmpeq_epi32(v, full)));
            const __m256i e = _mm256_sub_epi32(v, _mm256_andnot_si256(dark, full));
            const __m256i s7 = _mm256_andnot_si256(still, truncatedSixteenths(_mm256_sub_epi32(_mm256_slli_epi32(e, 3), e)));
            const __m256i s5 = _mm256_andnot_si256(still, truncatedSixteenths(_mm256_add_epi32(_mm256_slli_epi32(e, 2), e)));
            const __m256i s3 = truncatedSixteenths(_mm256_add_epi32(_mm256_slli_epi32(e, 1), e));
            const __m256i s1 = _mm256_andnot_si256(still, truncatedSixteenths(e));
            p1r0 = _mm256_add_epi32(p1r0, s7);
            p1r1 = _mm256_add_epi32(p1r1, s1);
            c0r1 = _mm256_add_epi32(c0r1, s5);
            // column x - 1 moves down a row when the pixel passes its error on
            m1r0 = _mm256_blendv_epi8(_mm256_add_epi32(m1r1, s3), m1r0, still);
            m1r1 = _mm256_and_si256(m1r1, still);
            marks[i + j] = uchar(_mm256_movemask_ps(_mm256_castsi256_ps(black)));

            // Column x - 2 leaves: row 7 writes it, the others hand it to the row below.
            leftR0 = m2r0;
            leftR1 = m2r1;
            R0[x - kRowLag * (kLanes - 1) - 2] = _mm256_extract_epi32(m2r0, 7);
            R1[x - kRowLag * (kLanes - 1) - 2] = _mm256_extract_epi32(m2r1, 7);
            if (i + j + 1 < steps) {
                inR0 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(m2r0, downOneLane), _mm256_set1_epi32(R0[x + 3]), 1);
                inR1 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(m2r1, downOneLane), _mm256_set1_epi32(R1[x + 3]), 1);
            }
            m2r0 = m1r0, m2r1 = m1r1;
            m1r0 = c0r0, m1r1 = c0r1;
            c0r0 = p1r0, c0r1 = p1r1;
            p1r0 = p2r0, p1r1 = p2r1;
        }
    }

    // The columns the upper rows left at the last step go to the error rows,
    // where the rows below find them when they go on one by one.
    alignas(32) int left0[kLanes];
    alignas(32) int left1[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i *>(left0), leftR0);
    _mm256_store_si256(reinterpret_cast<__m256i *>(left1), leftR1);
    for (int k = 0; k < kLanes - 1; ++k) {
        R0[from + steps - 1 - kRowLag * k - 2] = left0[k];
        R1[from + steps - 1 - kRowLag * k - 2] = left1[k];
    }
    storeLaneColumn(rows, 0, m2r0, m2r1);
    storeLaneColumn(rows, 1, m1r0, m1r1);
    storeLaneColumn(rows, 2, c0r0, c0r1);
    storeLaneColumn(rows, 3, p1r0, p1r1);
}
#define VEXLOR_AVX512 __attribute__((target("avx512f,avx2")))

VEXLOR_AVX512 inline __m512i truncatedSixteenths16(__m512i x)
{
    return _mm512_srai_epi32(
        _mm512_add_epi32(x, _mm512_and_si512(_mm512_srai_epi32(x, 31), _mm512_set1_epi32(15))), 4);
}

VEXLOR_AVX512 inline __m512i laneColumn16(RowScan<FloydSteinbergKernel> *rows, int slot, bool second)
{
    alignas(64) int v[kWideLanes];
    for (int k = 0; k < kWideLanes; ++k)
        v[k] = second ? rows[k].w.c[slot].r1 : rows[k].w.c[slot].r0;
    return _mm512_load_si512(v);
}

VEXLOR_AVX512 inline void storeLaneColumn16(RowScan<FloydSteinbergKernel> *rows, int slot, __m512i r0, __m512i r1)
{
    alignas(64) int v0[kWideLanes];
    alignas(64) int v1[kWideLanes];
    _mm512_store_si512(v0, r0);
    _mm512_store_si512(v1, r1);
    for (int k = 0; k < kWideLanes; ++k)
        rows[k].w.c[slot] = Column { v0[k], v1[k] };
}

// The steps of diffuseLaneSteps() for sixteen rows at once; the marks of rows
// 0 to 7 go to marksLow, those of rows 8 to 15 to marksHigh.
VEXLOR_AVX512 Q_NEVER_INLINE void diffuseWideLaneSteps(
    RowScan<FloydSteinbergKernel> *rows, int from, int steps, int *R0, int *R1, uchar *marksLow, uchar *marksHigh)
{
    constexpr int L = kWideLanes;
    __m512i m2r0 = laneColumn16(rows, 0, false), m2r1 = laneColumn16(rows, 0, true);
    __m512i m1r0 = laneColumn16(rows, 1, false), m1r1 = laneColumn16(rows, 1, true);
    __m512i c0r0 = laneColumn16(rows, 2, false), c0r1 = laneColumn16(rows, 2, true);
    __m512i p1r0 = laneColumn16(rows, 3, false), p1r1 = laneColumn16(rows, 3, true);
    alignas(64) int in0[L];
    alignas(64) int in1[L];
    for (int k = 0; k < L; ++k) {
        in0[k] = R0[from - kRowLag * k + 2];
        in1[k] = R1[from - kRowLag * k + 2];
    }
    __m512i inR0 = _mm512_load_si512(in0);
    __m512i inR1 = _mm512_load_si512(in1);
    __m512i leftR0 = m2r0, leftR1 = m2r1;

    const __m512i lowByte = _mm512_set1_epi32(0xff);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i half = _mm512_set1_epi32(128);
    const __m512i full = _mm512_set1_epi32(255);
    const __m512i downOneLane = _mm512_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14);

    for (int i = 0; i < steps; i += 8) {
        __m128i upper[8];
        __m128i lower[8];
        turnEightRows(rows, 0, from + i, upper);
        turnEightRows(rows, 8, from + i, lower);
        for (int j = 0; j < 8; ++j) {
            const int x = from + i + j;
            const __m512i p2r0 = inR0, p2r1 = inR1;

            const __m512i pixel
                = _mm512_cvtepu16_epi32(_mm256_inserti128_si256(_mm256_castsi128_si256(upper[j]), lower[j], 1));
            const __m512i g = _mm512_and_si512(pixel, lowByte);
            const __mmask16 edge = _mm512_cmpgt_epi32_mask(pixel, lowByte);
            const __mmask16 pureBlack = _mm512_cmpeq_epi32_mask(g, zero);
            // 0 and 255 are taken as they are, and their error stays where it is
            const __mmask16 pure = _mm512_kor(pureBlack, _mm512_cmpeq_epi32_mask(g, full));
            const __m512i v = _mm512_add_epi32(g, c0r0);
            c0r0 = _mm512_maskz_mov_epi32(pure, c0r0);
            const __mmask16 dark = _mm512_cmplt_epi32_mask(v, half);
            const __mmask16 black = _mm512_kor(_mm512_kand(pure, pureBlack), _mm512_kandn(pure, dark));
            const __mmask16 still = _mm512_kor(_mm512_kor(pure, edge),
                _mm512_kor(_mm512_cmpeq_epi32_mask(v, zero), _mm512_cmpeq_epi32_mask(v, full)));
            const __mmask16 active = _mm512_knot(still);
            const __m512i e = _mm512_mask_sub_epi32(v, _mm512_knot(dark), v, full);
            const __m512i s7 = truncatedSixteenths16(_mm512_sub_epi32(_mm512_slli_epi32(e, 3), e));
            const __m512i s5 = truncatedSixteenths16(_mm512_add_epi32(_mm512_slli_epi32(e, 2), e));
            const __m512i s3 = truncatedSixteenths16(_mm512_add_epi32(_mm512_slli_epi32(e, 1), e));
            const __m512i s1 = truncatedSixteenths16(e);
            p1r0 = _mm512_mask_add_epi32(p1r0, active, p1r0, s7);
            p1r1 = _mm512_mask_add_epi32(p1r1, active, p1r1, s1);
            c0r1 = _mm512_mask_add_epi32(c0r1, active, c0r1, s5);
            // column x - 1 moves down a row when the pixel passes its error on
            m1r0 = _mm512_mask_add_epi32(m1r0, active, m1r1, s3);
            m1r1 = _mm512_maskz_mov_epi32(still, m1r1);
            marksLow[i + j] = uchar(black & 0xff);
            marksHigh[i + j] = uchar(black >> 8);

            // Column x - 2 leaves: row 15 writes it, the others hand it to the row below.
            leftR0 = m2r0;
            leftR1 = m2r1;
            R0[x - kRowLag * (L - 1) - 2] = _mm_extract_epi32(_mm512_extracti32x4_epi32(m2r0, 3), 3);
            R1[x - kRowLag * (L - 1) - 2] = _mm_extract_epi32(_mm512_extracti32x4_epi32(m2r1, 3), 3);
            if (i + j + 1 < steps) {
                inR0 = _mm512_mask_set1_epi32(_mm512_permutexvar_epi32(downOneLane, m2r0), 1, R0[x + 3]);
                inR1 = _mm512_mask_set1_epi32(_mm512_permutexvar_epi32(downOneLane, m2r1), 1, R1[x + 3]);
            }
            m2r0 = m1r0, m2r1 = m1r1;
            m1r0 = c0r0, m1r1 = c0r1;
            c0r0 = p1r0, c0r1 = p1r1;
            p1r0 = p2r0, p1r1 = p2r1;
        }
    }

    alignas(64) int left0[L];
    alignas(64) int left1[L];
    _mm512_store_si512(left0, leftR0);
    _mm512_store_si512(left1, leftR1);
    for (int k = 0; k < L - 1; ++k) {
        R0[from + steps - 1 - kRowLag * k - 2] = left0[k];
        R1[from + steps - 1 - kRowLag * k - 2] = left1[k];
    }
    storeLaneColumn16(rows, 0, m2r0, m2r1);
    storeLaneColumn16(rows, 1, m1r0, m1r1);
    storeLaneColumn16(rows, 2, c0r0, c0r1);
    storeLaneColumn16(rows, 3, p1r0, p1r1);
}
#undef VEXLOR_AVX512
#undef VEXLOR_AVX2
#endif

// The bits of columns from .. from + count - 1 of row k of a block, from the
// marks of the vector steps, into the row's output as its own scan writes them.
void takeLaneMarks(RowScan<FloydSteinbergKernel> &row, int k, int from, int count, const uchar *marks)
{
    int x = from;
    const int end = from + count;
    uint bits = row.acc;
    for (; x < end && (x & 7) != 0; ++x) {
        bits = (bits << 1) | ((marks[x - from] >> k) & 1u);
        if ((x & 7) == 7)
            row.out[x >> 3] = static_cast<uchar>(bits);
    }
    // Eight steps at a time: bit k of eight marks, the first as the highest bit.
    for (; x + 8 <= end; x += 8) {
        quint64 eight;
        std::memcpy(&eight, marks + (x - from), sizeof eight);
        const quint64 ones = (eight >> k) & 0x0101010101010101ull;
        bits = static_cast<uint>((ones * 0x8040201008040201ull) >> 56);
        row.out[x >> 3] = static_cast<uchar>(bits);
    }
    for (; x < end; ++x) {
        bits = (bits << 1) | ((marks[x - from] >> k) & 1u);
        if ((x & 7) == 7)
            row.out[x >> 3] = static_cast<uchar>(bits);
    }
    row.acc = bits;
}

// Rows y .. y + L - 1 of a tile, all with a row below them in the tile, as a
// block. waitFor(columns) holds row 0 until the rows above have gone that
// far (see diffuseUnits); publish(columns) tells how far the last row has gone.
template <int L, typename Wait, typename Publish>
void diffuseBlock(RowScan<FloydSteinbergKernel> *rows, const QImage &src, QImage &dst, int y, int *R0, int *R1,
    int *R2, int *A, int *B, std::vector<uchar> &marks, Wait waitFor, Publish publish)
{
    using K = FloydSteinbergKernel;
    const typename ShareTable<K>::Entry *table = ShareTable<K>::instance().entries.data();
    const int W = src.width();
    const int padBytes = dst.bytesPerLine() - (W + 7) / 8;
    constexpr int start = laneStart<L>();
    const auto needed = [W](int to) { return to + 4 <= W - 2 ? to + 4 : kRowDone; };

    waitFor(needed(start));
    for (int k = 0; k < L; ++k) {
        rows[k].begin(src, dst, y + k, R0, R1, A, B);
        rows[k].template span<false>(0, 2, R0, R1, R2, table);
        rows[k].template span<true>(2, start - kRowLag * k, R0, R1, R2, table);
    }
    publish(start - kRowLag * (L - 1));

    const int steps = (W - 2 - start) / 8 * 8;
    // the marks of rows 0 to 7, then those of rows 8 to 15
    const size_t half = size_t(steps) + 8;
    marks.resize(2 * half);
    uchar *marksLow = marks.data();
    uchar *marksHigh = marks.data() + half;
#ifdef VEXLOR_DIFFUSION_LANES
    for (int done = 0; done < steps;) {
        const int stretch = std::min(kStretch, steps - done);
        waitFor(needed(start + done + stretch));
        if constexpr (L == kWideLanes)
            diffuseWideLaneSteps(rows, start + done, stretch, R0, R1, marksLow + done, marksHigh + done);
        else
            diffuseLaneSteps(rows, start + done, stretch, R0, R1, marksLow + done, marksHigh + done);
        done += stretch;
        publish(start + done - kRowLag * (L - 1));
    }
#endif

    for (int k = 0; k < L; ++k) {
        const int next = start - kRowLag * k;
        takeLaneMarks(rows[k], k & 7, next, steps, k < 8 ? marksLow : marksHigh);
        if (k == 0)
            waitFor(kRowDone);
        rows[k].template span<true>(next + steps, W - 2, R0, R1, R2, table);
        rows[k].template span<false>(W - 2, W, R0, R1, R2, table);
        rows[k].finish(padBytes, R0, R1, R2);
    }
    publish(kRowDone);
}

// Floyd-Steinberg over a wide tile on two threads. The rows are taken in
// units (a pair of rows scanned together as below, or a single row), and
// units alternate between the two threads. A unit may follow the unit above it
// at any distance of five columns or more behind its last row, which gives the
// same result as one row after the other (see kRowLag); each unit publishes
// how far its last row has gone, and the unit below waits for that before
// every stretch of columns it scans.
constexpr int kParallelWidth = 2048;

struct UnitProgress
{
    std::atomic<int> columns { 0 };
};

inline void waitForColumns(const UnitProgress *above, int columns)
{
    if (!above)
        return;
    int spins = 0;
    while (above->columns.load(std::memory_order_acquire) < columns) {
        if (++spins < 128) {
#ifdef __SSE2__
            _mm_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
}

// The units of a tile, by their first row and their number of rows: blocks of
// eight rows where the vector steps can take them, else pairs of rows that
// both have a row below them, as in the scan on one thread, else single rows.
struct Unit
{
    int y;
    int rows;
};

template <typename K> std::vector<Unit> tileUnits(int W, int H)
{
    int lanes = 0;
    if constexpr (!K::threeRows) {
        lanes = lanesAvailable();
        // (a processor with AVX-512 has AVX2 as well)
        if (lanes == kWideLanes && W < laneMinWidth<kWideLanes>())
            lanes = kLanes;
        if (lanes == kLanes && W < laneMinWidth<kLanes>())
            lanes = 0;
    }
    std::vector<Unit> units;
    for (int y = 0; y < H;) {
        int rows = 1;
        if (lanes > 0 && y + lanes < H)
            rows = lanes;
        else if (lanes == kWideLanes && y + kLanes < H)
            rows = kLanes;
        else if (W >= kRowLag + 4 && y + 2 < H)
            rows = 2;
        units.push_back(Unit { y, rows });
        y += rows;
    }
    return units;
}

template <typename K>
void diffuseUnits(const QImage &src, QImage &dst, int *R0, int *R1, int *R2, int *A, int *B,
    const std::vector<Unit> &units, std::vector<UnitProgress> &progress, size_t first, size_t every)
{
    const typename ShareTable<K>::Entry *table = ShareTable<K>::instance().entries.data();
    const int W = src.width();
    const int padBytes = dst.bytesPerLine() - (W + 7) / 8;
    RowScan<K> upper;
    RowScan<K> lower;
    std::vector<RowScan<K>> block;
    std::vector<uchar> marks;
    // Pixels up to 'to' of a row read columns up to to + 1, which the row above
    // moves down at its pixel to + 3; its last two columns move when it ends.
    const auto needed = [W](int to) { return to + 4 <= W - 2 ? to + 4 : kRowDone; };

    for (size_t u = first; u < units.size(); u += every) {
        const int y = units[u].y;
        const UnitProgress *above = u > 0 ? &progress[u - 1] : nullptr;
        std::atomic<int> &mine = progress[u].columns;
        if (units[u].rows == kLanes || units[u].rows == kWideLanes) {
            if constexpr (!K::threeRows) {
                if (block.size() < size_t(units[u].rows))
                    block.resize(size_t(units[u].rows));
                const auto wait = [above](int columns) { waitForColumns(above, columns); };
                const auto publish = [&mine](int columns) { mine.store(columns, std::memory_order_release); };
                if (units[u].rows == kWideLanes)
                    diffuseBlock<kWideLanes>(block.data(), src, dst, y, R0, R1, R2, A, B, marks, wait, publish);
                else
                    diffuseBlock<kLanes>(block.data(), src, dst, y, R0, R1, R2, A, B, marks, wait, publish);
            }
            continue;
        }
        if (units[u].rows == 1) {
            waitForColumns(above, kRowDone);
            upper.begin(src, dst, y, R0, R1, A, B);
            upper.scanAlone(padBytes, R0, R1, R2, table);
            mine.store(kRowDone, std::memory_order_release);
            continue;
        }
        waitForColumns(above, needed(2 + kRowLag));
        upper.begin(src, dst, y, R0, R1, A, B);
        upper.template span<false>(0, 2, R0, R1, R2, table);
        upper.template span<true>(2, 2 + kRowLag, R0, R1, R2, table);
        lower.begin(src, dst, y + 1, R0, R1, A, B);
        lower.template span<false>(0, 2, R0, R1, R2, table);
        for (int from = 2 + kRowLag; from < W - 2;) {
            const int to = std::min(from + kStretch, W - 2);
            waitForColumns(above, needed(to));
            diffusePairSpan(upper, lower, from, to, R0, R1, R2, table);
            mine.store(to - kRowLag, std::memory_order_release);
            from = to;
        }
        waitForColumns(above, kRowDone);
        upper.template span<false>(W - 2, W, R0, R1, R2, table);
        upper.finish(padBytes, R0, R1, R2);
        lower.template span<true>(W - 2 - kRowLag, W - 2, R0, R1, R2, table);
        mine.store(W - 2, std::memory_order_release);
        lower.template span<false>(W - 2, W, R0, R1, R2, table);
        lower.finish(padBytes, R0, R1, R2);
        mine.store(kRowDone, std::memory_order_release);
    }
}

// False when no second thread could be had; the tile is then untouched.
template <typename K>
bool diffuseTileOnTwoThreads(const QImage &src, QImage &dst, int *R0, int *R1, int *R2, int *A, int *B)
{
    const std::vector<Unit> units = tileUnits<K>(src.width(), src.height());
    std::vector<UnitProgress> progress(units.size());
    std::thread helper;
    try {
        helper = std::thread([&]() { diffuseUnits<K>(src, dst, R0, R1, R2, A, B, units, progress, 1, 2); });
    } catch (const std::system_error &) {
        return false;
    }
    diffuseUnits<K>(src, dst, R0, R1, R2, A, B, units, progress, 0, 2);
    helper.join();
    return true;
}

// One tile of error distribution.
//
// R0 holds the error of the current row, R1 of the next and R2 of the one after.
// A pixel reaches columns x-2 .. x+2 of these rows, and column x-2 is finished
// (moved down) at pixel x, so the scan keeps the columns around x of R0 and R1
// in registers: each column is read once when it enters and written once when
// it leaves. Error meant for the next tile goes to the carry rows A and B.
//
// Rows are scanned one after the other, as the method defines; where two
// neighbouring rows both lie clear of the tile's bottom, the lower one may
// follow the upper one a few columns behind, which gives the same result.
template <typename K>
Q_NEVER_INLINE void diffuseTile(const QImage &src, QImage &dst, int *R0, int *R1, int *R2, int *A, int *B)
{
    const int W = src.width();
    const int H = src.height();
    if constexpr (!K::threeRows) {
        if (W >= kParallelWidth && H >= 3 && std::thread::hardware_concurrency() >= 2
            && diffuseTileOnTwoThreads<K>(src, dst, R0, R1, R2, A, B))
            return;
        // Floyd-Steinberg is bound by the chain of error along the row and
        // gains from several rows at once: the units of the two-thread scan,
        // one after the other.
        const std::vector<Unit> units = tileUnits<K>(W, H);
        std::vector<UnitProgress> progress(units.size());
        diffuseUnits<K>(src, dst, R0, R1, R2, A, B, units, progress, 0, 1);
    } else {
        // The three-row kernels do more work per pixel and run out of
        // registers when paired, so they go row by row.
        const typename ShareTable<K>::Entry *table = ShareTable<K>::instance().entries.data();
        const int padBytes = dst.bytesPerLine() - (W + 7) / 8;
        RowScan<K> row;
        for (int y = 0; y < H; ++y) {
            row.begin(src, dst, y, R0, R1, A, B);
            row.scanAlone(padBytes, R0, R1, R2, table);
        }
    }
}

#ifdef __SSE2__
// The byte with its bits in the opposite order, for each byte.
struct BitReversal
{
    constexpr BitReversal()
        : of()
    {
        for (int v = 0; v < 256; ++v) {
            int r = 0;
            for (int i = 0; i < 8; ++i)
                r |= ((v >> i) & 1) << (7 - i);
            of[v] = static_cast<uchar>(r);
        }
    }
    uchar of[256];
};
constexpr BitReversal kBitReversal;

// Sixteen greys of a source line from pixel x on.
template <int Bpp> Q_ALWAYS_INLINE __m128i sixteenGreys(const uchar *line, int x)
{
    if constexpr (Bpp == 1) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + x));
    } else {
        // The low (blue) byte of each pixel, narrowed twice.
        const __m128i low = _mm_set1_epi32(0xff);
        const __m128i *src = reinterpret_cast<const __m128i *>(line + 4 * x);
        const __m128i a = _mm_and_si128(_mm_loadu_si128(src), low);
        const __m128i b = _mm_and_si128(_mm_loadu_si128(src + 1), low);
        const __m128i c = _mm_and_si128(_mm_loadu_si128(src + 2), low);
        const __m128i d = _mm_and_si128(_mm_loadu_si128(src + 3), low);
        return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    }
}
#endif

// Rows of src into rows firstRow.. of dst, whose row y takes the thresholds of y.
template <int Bpp> void orderedTile(const QImage &src, QImage &dst, int firstRow = 0)
{
    const int W = src.width();
    const int H = src.height();
    const int fullBytes = W / 8;
    const int lineBytes = (W + 7) / 8;
    const int padBytes = dst.bytesPerLine() - lineBytes;

    for (int row = 0; row < H; ++row) {
        const int y = firstRow + row;
        const uchar *in = src.constScanLine(row);
        uchar *out = dst.scanLine(y);
        // Thresholds of this row for x mod 4 = 0..3, twice, so one byte of output
        // (eight pixels) reads them in order.
        int t[8];
        for (int i = 0; i < 8; ++i)
            t[i] = kThreshold[i & 3][y & 3];

        // White when grey + T >= 256. Grey and T stay below 256 each, so bit 8 of
        // the sum is the answer; greys 0 and 255 need no special case as 0 + T
        // never reaches 256 and 255 + T always does.
        int b = 0;
#ifdef __SSE2__
        // Sixteen pixels at a time: white where grey >= 256 - T (between 16
        // and 241, so a byte), compared unsigned as max(grey, 256 - T) == grey.
        // The comparison gives pixel i in bit i; the engraver's bytes hold the
        // first pixel in their highest bit.
        const __m128i least = _mm_setr_epi8(char(256 - t[0]), char(256 - t[1]), char(256 - t[2]),
            char(256 - t[3]), char(256 - t[0]), char(256 - t[1]), char(256 - t[2]), char(256 - t[3]),
            char(256 - t[0]), char(256 - t[1]), char(256 - t[2]), char(256 - t[3]), char(256 - t[0]),
            char(256 - t[1]), char(256 - t[2]), char(256 - t[3]));
        for (; b + 2 <= fullBytes; b += 2) {
            const __m128i g = sixteenGreys<Bpp>(in, b * 8);
            const __m128i white = _mm_cmpeq_epi8(_mm_max_epu8(g, least), g);
            const uint black = ~static_cast<uint>(_mm_movemask_epi8(white));
            out[b] = kBitReversal.of[black & 0xffu];
            out[b + 1] = kBitReversal.of[(black >> 8) & 0xffu];
        }
#endif
        for (; b < fullBytes; ++b) {
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

void ditherer::setVectorStepsAllowed(int rows)
{
    g_lanesAllowed.store(rows, std::memory_order_relaxed);
}

int ditherer::vectorStepRows()
{
    return lanesAvailable();
}

QImage ditherer::makeMonoImage(int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    QImage image = Vexlor::makeLargeImage(width, height, QImage::Format_Mono);
    if (image.isNull())
        return image;
    image.setColorCount(2);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    return image;
}

bool ditherer::hasInk(const QImage &image)
{
    const QRgb white = qRgb(255, 255, 255);
    const bool inkAt0 = image.colorCount() > 0 && (image.color(0) | 0xff000000u) != white;
    const bool inkAt1 = image.colorCount() > 1 && (image.color(1) | 0xff000000u) != white;
    if (!inkAt0 && !inkAt1)
        return false;
    if (inkAt0 && inkAt1)
        return !image.isNull();
    const int w = image.width();
    const int fullBytes = w / 8;
    const int rest = w % 8;
    // The bits of the last, partly used byte that hold pixels.
    const uchar restMask = image.format() == QImage::Format_Mono ? uchar(0xff00u >> rest) : uchar((1u << rest) - 1);
    // Ink is a set bit where index 1 is ink, a clear bit where index 0 is.
    const uchar flip = inkAt1 ? 0x00 : 0xff;
    for (int y = 0; y < image.height(); ++y) {
        const uchar *line = image.constScanLine(y);
        for (int b = 0; b < fullBytes; ++b) {
            if (line[b] ^ flip)
                return true;
        }
        if (rest > 0 && ((line[fullBytes] ^ flip) & restMask))
            return true;
    }
    return false;
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

void ditherer::orderedDitherRows(const QImage &part, int firstRow, QImage &tile)
{
    const QImage src = readableSource(part);
    if (src.isNull() || tile.format() != QImage::Format_Mono || tile.width() != src.width() || firstRow < 0
        || firstRow + src.height() > tile.height())
        return;
    if (src.format() == QImage::Format_Grayscale8)
        orderedTile<1>(src, tile, firstRow);
    else
        orderedTile<4>(src, tile, firstRow);
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

    switch (m_method) {
    case FloydSteinberg:
        diffuseTile<FloydSteinbergKernel>(src, dst, R0, R1, R2, A, B);
        break;
    case JarvisJudiceNinke:
        diffuseTile<JarvisJudiceNinkeKernel>(src, dst, R0, R1, R2, A, B);
        break;
    default:
        diffuseTile<StuckiKernel>(src, dst, R0, R1, R2, A, B);
        break;
    }
    return dst;
}
