#include "pclgenerator.h"

#include "cutorder.h"
#include "settingslookup.h"
#include "vexlorlog.h"

#include <QDebug>
#include <QImage>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

const char Esc = '\x1b';
const int TailBytes = 4096;
// PackBits runs never exceed this many bytes.
const int MaxRun = 128;
// Rows of a tile in an unusual pixel format are converted to 32-bit colour in
// bands of this many rows, so that no full-size copy of a tile is ever made.
const int ConversionBand = 64;

std::atomic<bool> g_twoThreadRows { true };
// Below this many rows a second thread does not pay.
const int TwoThreadRows = 2048;

// The part of a row (its padding bits cleared) from its first byte with ink
// to its last: false for a blank row, which is not sent.
bool inkedSpan(const uchar *row, int bytes, int *start, int *end)
{
    *end = bytes;
    while (*end > 0 && row[*end - 1] == 0)
        --*end;
    if (*end == 0)
        return false;
    *start = 0;
    while (row[*start] == 0)
        ++*start;
    return true;
}

// ESC, the command text, the number in decimal, the terminator.
void appendCommand(QByteArray &buffer, const char *command, qint64 value, char terminator)
{
    // Written out in place: the raster rows take four commands each.
    const size_t length = std::strlen(command);
    char text[48];
    if (length > 16) {
        buffer += Esc;
        buffer += command;
        buffer += QByteArray::number(value);
        buffer += terminator;
        return;
    }
    char *end = text;
    *end++ = Esc;
    std::memcpy(end, command, length);
    end += length;
    // room for the 20 characters of any 64-bit number
    end = std::to_chars(end, text + sizeof text - 1, value).ptr;
    *end++ = terminator;
    buffer.append(text, int(end - text));
}

// A coordinate in device pixels as the engraver takes it: truncated toward
// zero. Values that no 32-bit integer holds are clamped, not left undefined.
int truncateCoordinate(qreal value)
{
    if (std::isnan(value))
        return 0;
    if (value >= qreal(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= qreal(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(value);
}

// The nearer of white and black by the sum of the absolute differences of
// the four channels, white winning a tie. Both targets are opaque, so alpha
// adds the same to either distance and only the colour sum decides.
inline bool isBlack(QRgb pixel)
{
    return qRed(pixel) + qGreen(pixel) + qBlue(pixel) <= 382;
}

// The material thickness in thousandths, formatted as %g does: at most six
// significant digits, exponent notation only for very small or large values.
QString formatThickness(float thicknessTimesThousand)
{
    if (!std::isfinite(thicknessTimesThousand))
        thicknessTimesThousand = 0.0f;
    return QString::asprintf("%g", double(thicknessTimesThousand));
}

// A PJL job name ends at the line end, and an ESC would start a printer
// command: control characters of a title must not reach the stream.
QString safeJobName(QString title)
{
    for (QChar &c : title) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return title;
}

uchar reverseBits(uchar b)
{
    b = uchar((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = uchar((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = uchar((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

// Fills out with the one-bit pixels of 32-bit colour pixels, most
// significant bit first, 1 for black.
template <bool Premultiplied> void packColourRow(const QRgb *line, int width, uchar *out)
{
    const int whole = width / 8;
    for (int byte = 0; byte < whole; ++byte, line += 8) {
        uint bits = 0;
        for (int k = 0; k < 8; ++k) {
            QRgb p = line[k];
            if (Premultiplied && qAlpha(p) != 255 && qAlpha(p) != 0)
                p = qUnpremultiply(p);
            bits = (bits << 1) | uint(isBlack(p));
        }
        out[byte] = uchar(bits);
    }
    const int rest = width % 8;
    if (rest) {
        uint bits = 0;
        for (int k = 0; k < rest; ++k) {
            QRgb p = line[k];
            if (Premultiplied && qAlpha(p) != 255 && qAlpha(p) != 0)
                p = qUnpremultiply(p);
            bits = (bits << 1) | uint(isBlack(p));
        }
        out[whole] = uchar(bits << (8 - rest));
    }
}

void packColourRow(const QRgb *line, int width, bool premultiplied, uchar *out)
{
    if (premultiplied)
        packColourRow<true>(line, width, out);
    else
        packColourRow<false>(line, width, out);
}

} // namespace

pclGenerator::pclGenerator(QObject *parent)
    : QObject(parent)
{
}

pclGenerator::~pclGenerator() = default;

void pclGenerator::setSettings(const vexlorSettings &settings)
{
    m_settings.copySettings(settings);
}

void pclGenerator::getVectors(const VectorList &vectors)
{
    m_vectors = vectors.items;
}

void pclGenerator::getBoundingRect(const QRect &rect)
{
    m_boundingRect = rect;
}

void pclGenerator::setPixTiles(const Vexlor::SceneTile &tiles)
{
    m_tiles = tiles;
}

void pclGenerator::process()
{
    writeHeader();
    writeSettings();
    writeRaster();
    writeVectors();
    m_job.append(TailBytes, '\0');

    emit done(m_job);

    m_job = QByteArray();
    m_tiles.clear();
    m_vectors.clear();
}

QString pclGenerator::getValue(const QString &key, const QString &defaultValue, const QString &altKey) const
{
    return Vexlor::lookupSetting(m_settings.settings, key, defaultValue, altKey);
}

void pclGenerator::writeHeader()
{
    const QString title
        = safeJobName(getValue(QStringLiteral("Title"), QStringLiteral("Untitled"), QString()));
    m_job += Esc;
    m_job += QStringLiteral("%-12345X@PJL JOB NAME=%1\r\n").arg(title).toUtf8();
    m_job += Esc;
    m_job += "E@PJL ENTER LANGUAGE=PCL \r\n";
}

void pclGenerator::writeSettings()
{
    const float thickness = getValue(
        QStringLiteral("materialThickness"), QStringLiteral("0"), QStringLiteral("CustommaterialThickness"))
                                .toFloat();
    const float thousandths = thickness * 1000.0f;
    const QString focusValue = formatThickness(thousandths);
    qCDebug(lcOutput) << focusValue;

    const bool focusOff = getValue(QStringLiteral("autoFocus"), QStringLiteral("disabled"), QString())
                              .contains(QLatin1String("disabled"));
    const bool gridOff = getValue(QStringLiteral("vectorGrid"), QStringLiteral("disabled"), QString())
                             .contains(QLatin1String("disabled"));
    const QString centring = getValue(QStringLiteral("CenterEngraving"), QStringLiteral("none"), QString());
    const bool centre = !centring.contains(QLatin1String("none"));
    const QByteArray resolution
        = getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
              .toUtf8();
    const QByteArray power
        = getValue(QStringLiteral("rasterPower"), QStringLiteral("50"), QStringLiteral("CustomrasterPower"))
              .toUtf8();
    const QByteArray speed
        = getValue(QStringLiteral("rasterSpeed"), QStringLiteral("50"), QStringLiteral("CustomrasterSpeed"))
              .toUtf8();
    const QByteArray height
        = getValue(QStringLiteral("height"), QString::number(m_boundingRect.bottom()), QString()).toUtf8();
    const QByteArray width
        = getValue(QStringLiteral("width"), QString::number(m_boundingRect.right()), QString()).toUtf8();

    auto text = [this](const char *command, const QByteArray &value, char terminator) {
        m_job += Esc;
        m_job += command;
        m_job += value;
        m_job += terminator;
    };

    text("&y", focusOff ? QByteArray("-1") : focusValue.toUtf8(), 'A');
    appendCommand(m_job, "&y", gridOff ? 0 : 1, 'V');
    appendCommand(m_job, "&y", 0, 'L');
    appendCommand(m_job, "&y", 0, 'T');
    appendCommand(m_job, "&y", 0, 'C');
    appendCommand(m_job, "&y", centre ? 1 : 0, 'Z');
    appendCommand(m_job, "&l", 0, 'U');
    appendCommand(m_job, "&l", 0, 'Z');
    text("&u", resolution, 'D');
    appendCommand(m_job, "*p", 0, 'X');
    appendCommand(m_job, "*p", 0, 'Y');
    text("*t", resolution, 'R');
    appendCommand(m_job, "*r", 0, 'F');
    text("&y", power, 'P');
    text("&z", speed, 'S');
    appendCommand(m_job, "&y", 50, 'R');
    appendCommand(m_job, "&z", 2, 'A');
    text("*r", height, 'T');
    text("*r", width, 'S');
    appendCommand(m_job, "*b", 2, 'M');

    if (centre) {
        const QRect &r = m_boundingRect;
        // Halves truncate toward zero, as C++ integer division does.
        const qint64 x
            = centring.contains(QLatin1String("left")) ? r.left() : (qint64(r.left()) + r.right()) / 2;
        const qint64 y
            = centring.contains(QLatin1String("top")) ? r.top() : (qint64(r.top()) + r.bottom()) / 2;
        appendCommand(m_job, "&l", x, 'U');
        appendCommand(m_job, "&l", y, 'Z');
        appendCommand(m_job, "&l", r.top(), 'V');
        appendCommand(m_job, "&l", r.left(), 'W');
    }
}

QByteArray pclGenerator::reverse(const QByteArray &bytes)
{
    QByteArray out(bytes.size(), Qt::Uninitialized);
    std::reverse_copy(bytes.cbegin(), bytes.cend(), out.begin());
    return out;
}

QByteArray pclGenerator::tiffEncode(const QByteArray &bytes)
{
    const int n = bytes.size();
    // Worst case: a lone literal byte between two repeat pairs, two bytes out
    // for each in; the encoder may store sixteen bytes past its output.
    QByteArray out(2 * n + 18, Qt::Uninitialized);
    const int m = packBits(
        reinterpret_cast<const uchar *>(bytes.constData()), n, reinterpret_cast<uchar *>(out.data()));
    out.truncate(m);
    return out;
}

int pclGenerator::packBits(const uchar *d, int n, uchar *out)
{
    uchar *o = out;
    int i = 0;
    while (i < n) {
        const int rest = n - i;
#ifdef __SSE2__
        // Most runs of a dithered picture are short: the pairs among the next
        // seventeen bytes (bit k set when byte i + k equals byte i + k + 1)
        // decide a run or a literal that ends within them at once.
        if (rest > 16) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
            const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + 1));
            const unsigned pairs = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(here, after)));
            if (pairs & 1) {
                const int equal = __builtin_ctz(~pairs);
                if (equal < 16) {
                    *o++ = uchar(257 - (equal + 1));
                    *o++ = d[i];
                    i += equal + 1;
                    continue;
                }
            } else if (pairs) {
                // The literal's bytes are among the sixteen loaded: all are
                // stored, those past its end are overwritten next.
                const int length = __builtin_ctz(pairs);
                *o++ = uchar(length - 1);
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o), here);
                o += length;
                i += length;
                continue;
            }
        }
#endif
        const int limit = std::min(MaxRun, rest);
        // The run of d[i]: how many bytes from i equal it, at most limit.
        int run = 1;
#ifdef __SSE2__
        const __m128i first = _mm_set1_epi8(char(d[i]));
        while (run + 16 <= limit) {
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + run));
            const int other = ~_mm_movemask_epi8(_mm_cmpeq_epi8(next, first)) & 0xffff;
            if (other) {
                run += __builtin_ctz(unsigned(other));
                break;
            }
            run += 16;
        }
#endif
        while (run < limit && d[i + run] == d[i])
            ++run;
        if (run >= 2) {
            *o++ = uchar(257 - run);
            *o++ = d[i];
            i += run;
            continue;
        }
        // A literal run: up to the first byte that equals the one after it.
        int length = 0;
        bool pairFound = false;
#ifdef __SSE2__
        // Sixteen neighbours compared at a time, while the byte after them exists.
        while (!pairFound && length + 16 <= limit && length + 16 < rest) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + length));
            const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + length + 1));
            const int pairs = _mm_movemask_epi8(_mm_cmpeq_epi8(here, after));
            pairFound = pairs != 0;
            length += pairFound ? __builtin_ctz(unsigned(pairs)) : 16;
        }
#endif
        while (!pairFound && length < limit && !(length + 1 < rest && d[i + length] == d[i + length + 1]))
            ++length;
        *o++ = uchar(length - 1);
        std::memcpy(o, d + i, size_t(length));
        o += length;
        i += length;
    }
    return int(o - out);
}

void pclGenerator::writeRaster()
{
    if (m_tiles.isEmpty())
        return;

    const bool bottomUp = getValue(QStringLiteral("EngravingDirection"), QStringLiteral("top"), QString())
                              .contains(QLatin1String("bottom"));
    appendCommand(m_job, "&y", bottomUp ? 1 : 0, 'O');
    appendCommand(m_job, "&r", 1, 'A');

    const QRect &first = m_tiles.first().first;
    emit setLabelTextProgBar(QStringLiteral("Generating Raster."));
    emit setRangeProgBar(0, (first.bottom() - first.top() + 1) * m_tiles.size());

    // Room for the rows as they come at most (raw bytes, PackBits headers and
    // the commands of each row), so the job grows without copying itself.
    qint64 room = 0;
    for (const auto &tile : qAsConst(m_tiles))
        room += qint64(tile.first.width() + 7) / 8 * tile.first.height() * 130 / 128
            + tile.first.height() * 40;
    if (m_job.size() + room < qint64(std::numeric_limits<int>::max()) / 2)
        m_job.reserve(int(m_job.size() + room));

    bool reverseRow = false;
    if (writeUsualRowsOnTwoThreads(bottomUp)) {
        m_job += Esc;
        m_job += "*rC";
        return;
    }
    for (int t = 0; t < m_tiles.size(); ++t) {
        const auto &tile = m_tiles.at(bottomUp ? m_tiles.size() - 1 - t : t);
        if (tile.second.isNull())
            continue;
        // The pixmap's own image is shared, not copied, by the raster back end.
        writeTileRows(tile.second.toImage(), tile.first, bottomUp, &reverseRow);
    }

    m_job += Esc;
    m_job += "*rC";
}

void pclGenerator::setTwoThreadRows(bool allowed)
{
    g_twoThreadRows.store(allowed, std::memory_order_relaxed);
}

// The rows of tiles that are all one-bit pictures in the usual form (most
// significant bit first, index 1 black, 0 white), as writeTileRows() writes
// them, on two threads: the rows are listed in the order they are sent, each
// row that is sent takes the direction that alternates over them, and the two
// halves are encoded side by side and joined. False, with nothing written,
// for other tiles or too few rows.
bool pclGenerator::writeUsualRowsOnTwoThreads(bool bottomUp)
{
    if (!g_twoThreadRows.load(std::memory_order_relaxed) || std::thread::hardware_concurrency() < 2)
        return false;
    struct Row
    {
        const uchar *bits;
        int bytes;
        uchar lastMask;
        int x;
        int y;
        // 0 forward, 1 reversed, -1 blank (not sent)
        int direction;
    };
    std::vector<QImage> images;
    images.reserve(size_t(m_tiles.size()));
    qint64 rowCount = 0;
    for (const auto &tile : qAsConst(m_tiles)) {
        if (tile.second.isNull())
            continue;
        const QImage image = tile.second.toImage();
        if (image.format() != QImage::Format_Mono || image.colorCount() < 2 || !isBlack(image.color(1))
            || isBlack(image.color(0)))
            return false;
        rowCount += image.height();
    }
    if (rowCount < TwoThreadRows || rowCount > std::numeric_limits<int>::max())
        return false;

    std::vector<Row> rows;
    rows.reserve(size_t(rowCount));
    bool reverse = false;
    for (int t = 0; t < m_tiles.size(); ++t) {
        const auto &tile = m_tiles.at(bottomUp ? m_tiles.size() - 1 - t : t);
        if (tile.second.isNull())
            continue;
        images.push_back(tile.second.toImage());
        const QImage &image = images.back();
        const int width = image.width();
        const int bytes = (width + 7) / 8;
        if (bytes == 0)
            continue;
        const uchar lastMask = (width % 8) ? uchar(0xFF << (8 - width % 8)) : uchar(0xFF);
        for (int i = 0; i < image.height(); ++i) {
            const int line = bottomUp ? image.height() - 1 - i : i;
            const uchar *bits = image.constScanLine(line);
            bool blank = (bits[bytes - 1] & lastMask) == 0;
            for (int b = bytes - 2; blank && b >= 0; --b)
                blank = bits[b] == 0;
            rows.push_back(Row { bits, bytes, lastMask, tile.first.left(), tile.first.top() + line,
                blank ? -1 : int(reverse) });
            if (!blank)
                reverse = !reverse;
        }
    }

    // Each half into a buffer of its own, with room for its rows at most.
    const auto encode = [](const Row *from, const Row *to, QByteArray &job) {
        qint64 room = 0;
        for (const Row *row = from; row != to; ++row)
            room += qint64(row->bytes) * 130 / 128 + 40;
        if (room < qint64(std::numeric_limits<int>::max()) / 2)
            job.reserve(job.size() + int(room));
        std::vector<uchar> out;
        std::vector<uchar> reversed;
        std::vector<uchar> encoded;
        for (const Row *row = from; row != to; ++row) {
            if (row->direction < 0)
                continue;
            out.assign(row->bits, row->bits + row->bytes);
            out[size_t(row->bytes - 1)] &= row->lastMask;
            int start = 0;
            int end = 0;
            if (!inkedSpan(out.data(), row->bytes, &start, &end))
                continue;
            encodeRow(job, reversed, encoded, out.data() + start, end - start, row->x + 8 * start, row->y,
                row->direction == 1);
        }
    };
    const Row *first = rows.data();
    const Row *middle = first + rows.size() / 2;
    const Row *last = first + rows.size();
    QByteArray secondHalf;
    std::thread helper;
    try {
        helper = std::thread([&]() { encode(middle, last, secondHalf); });
    } catch (const std::system_error &) {
        return false;
    }
    encode(first, middle, m_job);
    helper.join();
    m_job.append(secondHalf);
    if (!rows.empty())
        emit setValueProgBar(rows.back().y);
    return true;
}

void pclGenerator::writeTileRows(const QImage &image, const QRect &rect, bool bottomUp, bool *reverseRow)
{
    const int width = image.width();
    const int height = image.height();
    const int rowBytes = (width + 7) / 8;
    if (rowBytes == 0)
        return;
    const uchar lastMask = (width % 8) ? uchar(0xFF << (8 - width % 8)) : uchar(0xFF);

    enum Kind { MonoMsb, MonoLsb, Colour, Converted };
    Kind kind = Converted;
    const QImage::Format format = image.format();
    bool premultiplied = false;
    // For one-bit images: what the two colour indexes become.
    bool indexBlack[2] = { false, true };
    if ((format == QImage::Format_Mono || format == QImage::Format_MonoLSB) && image.colorCount() >= 2) {
        kind = format == QImage::Format_Mono ? MonoMsb : MonoLsb;
        indexBlack[0] = isBlack(image.color(0));
        indexBlack[1] = isBlack(image.color(1));
    } else if (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32) {
        kind = Colour;
    } else if (format == QImage::Format_ARGB32_Premultiplied) {
        kind = Colour;
        premultiplied = true;
    }

    QByteArray row(rowBytes, '\0');
    uchar *out = reinterpret_cast<uchar *>(row.data());
    QImage band;
    int bandTop = -1;

    for (int i = 0; i < height; ++i) {
        const int line = bottomUp ? height - 1 - i : i;
        switch (kind) {
        case MonoMsb:
        case MonoLsb: {
            const uchar *src = image.constScanLine(line);
            if (kind == MonoMsb && indexBlack[1] && !indexBlack[0]) {
                // The usual case: the bits are the row as it is sent.
                std::memcpy(out, src, size_t(rowBytes));
                break;
            }
            for (int b = 0; b < rowBytes; ++b) {
                const uchar bits = kind == MonoLsb ? reverseBits(src[b]) : src[b];
                // Index 1 where the bit is set: each bit becomes black when its
                // index's colour is the darker one.
                out[b] = uchar((indexBlack[1] ? bits : 0) | (indexBlack[0] ? uchar(~bits) : 0));
            }
            break;
        }
        case Colour:
            packColourRow(
                reinterpret_cast<const QRgb *>(image.constScanLine(line)), width, premultiplied, out);
            break;
        case Converted:
            if (bandTop < 0 || line < bandTop || line >= bandTop + band.height()) {
                bandTop = line / ConversionBand * ConversionBand;
                band = image.copy(0, bandTop, width, qMin(ConversionBand, height - bandTop))
                           .convertToFormat(QImage::Format_ARGB32);
            }
            packColourRow(
                reinterpret_cast<const QRgb *>(band.constScanLine(line - bandTop)), width, false, out);
            break;
        }
        out[rowBytes - 1] &= lastMask;

        const int y = rect.top() + line;
        // A blank row is not sent and does not flip the direction.
        int start = 0;
        int end = 0;
        if (inkedSpan(out, rowBytes, &start, &end)) {
            writeRow(out + start, end - start, rect.left() + 8 * start, y, *reverseRow);
            *reverseRow = !*reverseRow;
        }
        // Every row's step would flood the receiver with events; every 64th and
        // the last one keep the bar moving.
        if ((i & 63) == 0 || i == height - 1)
            emit setValueProgBar(y);
    }
}

void pclGenerator::encodeRow(QByteArray &job, std::vector<uchar> &reversed, std::vector<uchar> &encoded,
    const uchar *row, int n, int x, int y, bool reverseRow)
{
    appendCommand(job, "*p", y, 'Y');
    appendCommand(job, "*p", x, 'X');
    appendCommand(job, "*b", reverseRow ? -n : n, 'A');
    const uchar *source = row;
    if (reverseRow) {
        reversed.resize(size_t(n));
        std::reverse_copy(row, row + n, reversed.begin());
        source = reversed.data();
    }
    encoded.resize(size_t(2 * n + 18));
    const int m = packBits(source, n, encoded.data());
    const int c = (m + 7) / 8 * 8;
    appendCommand(job, "*b", c, 'W');
    job.append(reinterpret_cast<const char *>(encoded.data()), m);
    job.append(c - m, '\x80');
}

void pclGenerator::writeRow(const uchar *row, int n, int x, int y, bool reverseRow)
{
    encodeRow(m_job, m_reversed, m_encoded, row, n, x, y, reverseRow);
}

void pclGenerator::addHPGLCommand(const QString &command)
{
    m_job += command.toUtf8();
    m_job += ';';
}

void pclGenerator::writeVectors()
{
    m_job += Esc;
    m_job += "%1BIN;";
    addHPGLCommand(QStringLiteral("YP")
        + getValue(
            QStringLiteral("vectorPower"), QStringLiteral("050"), QStringLiteral("CustomvectorPower")));
    addHPGLCommand(QStringLiteral("ZS")
        + getValue(
            QStringLiteral("vectorSpeed"), QStringLiteral("050"), QStringLiteral("CustomvectorSpeed")));
    addHPGLCommand(QStringLiteral("XR")
        + getValue(QStringLiteral("vectorFreq"), QStringLiteral("050"), QStringLiteral("CustomvectorFreq")));
    const bool speedCompOff
        = getValue(QStringLiteral("vectorSpeedComp"), QStringLiteral("disabled"), QString())
              .contains(QLatin1String("disabled"));
    const bool powerCompOff
        = getValue(QStringLiteral("vectorPowerComp"), QStringLiteral("enabled"), QString())
              .contains(QLatin1String("disabled"));
    addHPGLCommand(speedCompOff ? QStringLiteral("XS0") : QStringLiteral("XS1"));
    addHPGLCommand(powerCompOff ? QStringLiteral("XP0") : QStringLiteral("XP1"));
    m_job += "LT";

    QList<QPainterPath> paths;
    paths.reserve(m_vectors.size());
    for (const LaserOp::LaserOp &item : qAsConst(m_vectors))
        paths.append(item.path);
    const Vexlor::CutOrder order = Vexlor::cutOrderFromSetting(
        getValue(QStringLiteral("vectorSort"), QStringLiteral("none"), QString()));
    writePathCommands(Vexlor::orderCuts(paths, order));

    m_job += ';';
    m_job += Esc;
    m_job += "%0B";
    m_job += Esc;
    m_job += "%1BPU";
    m_job += Esc;
    m_job += 'E';
    m_job += Esc;
    m_job += "%-12345X@PJL EOJ \r\n";
}

void pclGenerator::writePathCommands(const QList<Vexlor::PathElements> &runs)
{
    // The previous element's type carries over from one run to the next, so
    // a run that goes on the way the last one ended continues its command.
    int previous = -1;
    for (const Vexlor::PathElements &run : runs) {
        for (const QPainterPath::Element &e : run) {
            const int type = int(e.type);
            if (type != previous && previous != -1
                && !(type == QPainterPath::CurveToDataElement && previous == QPainterPath::CurveToElement))
                m_job += ';';
            switch (type) {
            case QPainterPath::MoveToElement:
                m_job += previous == type ? "," : "PU";
                break;
            case QPainterPath::LineToElement:
                m_job += previous == type ? "," : "PD";
                break;
            case QPainterPath::CurveToElement:
                m_job += previous == type ? "," : "PDBZ";
                break;
            default:
                m_job += ',';
                break;
            }
            m_job += QByteArray::number(truncateCoordinate(e.x));
            m_job += ',';
            m_job += QByteArray::number(truncateCoordinate(e.y));
            previous = type;
        }
    }
}
