#include "previewtile.h"

#include <QPainter>
#include <QStyleOptionGraphicsItem>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

#ifdef __SSE2__
// The number of set bits of each of sixteen bytes.
inline __m128i bytePopcount(__m128i v)
{
    const __m128i pairs = _mm_set1_epi8(0x55);
    const __m128i nibbles = _mm_set1_epi8(0x33);
    const __m128i low = _mm_set1_epi8(0x0f);
    v = _mm_sub_epi8(v, _mm_and_si128(_mm_srli_epi16(v, 1), pairs));
    v = _mm_add_epi8(_mm_and_si128(v, nibbles), _mm_and_si128(_mm_srli_epi16(v, 2), nibbles));
    return _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), low);
}
#endif

} // namespace

previewTile::previewTile(
    const QRect &area, const QImage &picture, const QImage &overview, const Vexlor::LaserItemList &items)
    : m_area(area)
    , m_picture(picture)
    , m_overview(overview)
    , m_items(items)
{
    setShapeMode(QGraphicsPixmapItem::BoundingRectShape);
    // Only the exposed part is drawn: a full-resolution tile is never
    // converted or scaled as a whole.
    setFlag(QGraphicsItem::ItemUsesExtendedStyleOption, true);
}

QRectF previewTile::boundingRect() const
{
    return QRectF(m_area);
}

QPainterPath previewTile::shape() const
{
    QPainterPath path;
    path.addRect(boundingRect());
    return path;
}

bool previewTile::contains(const QPointF &point) const
{
    return boundingRect().contains(point);
}

void previewTile::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *)
{
    const QTransform toDevice = painter->worldTransform();
    const double lod = QStyleOptionGraphicsItem::levelOfDetailFromTransform(toDevice);
    const QRectF exposed = option->exposedRect.intersected(boundingRect());
    if (exposed.isEmpty() || m_picture.isNull())
        return;
    const double pictureDensity = double(m_picture.width()) / m_area.width();
    const double overviewDensity = m_overview.isNull() ? 0 : double(m_overview.width()) / m_area.width();

    if (!m_items.isEmpty() && lod > pictureDensity * 1.25) {
        paintItems(painter, exposed);
        return;
    }
    if (!m_overview.isNull() && lod <= overviewDensity * 2)
        drawPart(painter, toDevice, m_overview, exposed, true);
    else
        drawPart(painter, toDevice, m_picture, exposed, lod < pictureDensity);
}

// The device rectangle of a page rectangle, its edges taken to the nearest
// whole device pixel.
QRect previewTile::deviceRect(const QTransform &toDevice, const QRectF &page)
{
    const QRectF r = toDevice.mapRect(page);
    const int left = int(std::lround(r.left()));
    const int top = int(std::lround(r.top()));
    const int right = int(std::lround(r.right()));
    const int bottom = int(std::lround(r.bottom()));
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

// The part of picture (which covers the tile's area) under the exposed page
// rectangle, drawn with the tile's edges on whole device pixels.
void previewTile::drawPart(QPainter *painter, const QTransform &toDevice, const QImage &picture,
    const QRectF &exposed, bool smooth) const
{
    const double sx = double(picture.width()) / m_area.width();
    const double sy = double(picture.height()) / m_area.height();
    const QRectF local = exposed.translated(-m_area.topLeft());
    QRect source(QPoint(int(std::floor(local.left() * sx)), int(std::floor(local.top() * sy))),
        QPoint(int(std::ceil(local.right() * sx)) - 1, int(std::ceil(local.bottom() * sy)) - 1));
    source = source.intersected(picture.rect());
    if (source.isEmpty())
        return;
    const QRectF page(m_area.left() + source.left() / sx, m_area.top() + source.top() / sy,
        source.width() / sx, source.height() / sy);
    const QRect target = deviceRect(toDevice, page);
    if (target.isEmpty())
        return;
    QImage part = picture.copy(source);
    if (part.depth() == 1)
        part = part.convertToFormat(QImage::Format_RGB32);
    painter->save();
    painter->setWorldTransform(QTransform());
    painter->setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->drawImage(target, part);
    painter->restore();
}

// The job's items, painted at the view's own resolution.
void previewTile::paintItems(QPainter *painter, const QRectF &exposed) const
{
    painter->save();
    painter->setClipRect(exposed, Qt::IntersectClip);
    painter->fillRect(exposed, Qt::white);
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    const QTransform base = painter->transform();
    const QPainterPath exposedClip = [&] {
        QPainterPath p;
        p.addRect(exposed);
        return p;
    }();
    for (const LaserOp::LaserOp &item : m_items) {
        if (item.type == LaserOp::Hidden)
            continue;
        QRectF reach = item.type == LaserOp::Image
            ? item.transform.mapRect(QRectF(item.pixmap.rect()))
            : item.path.controlPointRect().adjusted(-item.pen.widthF() * 2 - 2, -item.pen.widthF() * 2 - 2,
                item.pen.widthF() * 2 + 2, item.pen.widthF() * 2 + 2);
        if (!reach.intersects(exposed))
            continue;
        painter->setTransform(base);
        if (item.clipPath.elementCount() >= 3)
            painter->setClipPath(item.clipPath.intersected(exposedClip));
        else
            painter->setClipRect(exposed);
        if (item.type == LaserOp::Image) {
            painter->setTransform(item.transform, true);
            painter->drawPixmap(0, 0, item.pixmap);
        } else {
            painter->setPen(item.pen);
            painter->setBrush(item.brush);
            painter->drawPath(item.path);
        }
    }
    painter->restore();
}

QImage previewTile::greyOverview(const QImage &bits, int factor)
{
    const int w = (bits.width() + factor - 1) / factor;
    const int h = (bits.height() + factor - 1) / factor;
    QImage out(w, h, QImage::Format_Grayscale8);
    if (out.isNull())
        return out;
    const uint black = bits.colorCount() > 1 && qGray(bits.color(1)) < qGray(bits.color(0)) ? 1 : 0;
    static const auto bitCount = [] {
        std::array<uchar, 256> table {};
        for (int i = 0; i < 256; ++i)
            table[size_t(i)] = uchar((i & 1) + (i >> 1 & 1) + (i >> 2 & 1) + (i >> 3 & 1) + (i >> 4 & 1)
                + (i >> 5 & 1) + (i >> 6 & 1) + (i >> 7 & 1));
        return table;
    }();
    std::vector<int> counts(size_t(w), 0);
    for (int oy = 0; oy < h; ++oy) {
        std::fill(counts.begin(), counts.end(), 0);
        const int rows = std::min(factor, bits.height() - oy * factor);
        for (int r = 0; r < rows; ++r) {
            const uchar *line = bits.constScanLine(oy * factor + r);
            const int lineBytes = (bits.width() + 7) / 8;
            if (factor % 8 == 0) {
                // Whole bytes per block: count them by table (the order of
                // the bits within a byte does not matter then).
                const int blockBytes = factor / 8;
                const int wholeBytes = bits.width() / 8;
                const uchar flip = black ? 0 : 0xff;
                int b = 0;
                if (blockBytes == 1) {
#ifdef __SSE2__
                    const __m128i flips = _mm_set1_epi8(char(flip));
                    const __m128i zero = _mm_setzero_si128();
                    for (; b + 16 <= wholeBytes; b += 16) {
                        const __m128i ones = bytePopcount(
                            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(line + b)), flips));
                        const __m128i low = _mm_unpacklo_epi8(ones, zero);
                        const __m128i high = _mm_unpackhi_epi8(ones, zero);
                        auto *sums = reinterpret_cast<__m128i *>(counts.data() + b);
                        _mm_storeu_si128(sums, _mm_add_epi32(_mm_loadu_si128(sums), _mm_unpacklo_epi16(low, zero)));
                        _mm_storeu_si128(
                            sums + 1, _mm_add_epi32(_mm_loadu_si128(sums + 1), _mm_unpackhi_epi16(low, zero)));
                        _mm_storeu_si128(
                            sums + 2, _mm_add_epi32(_mm_loadu_si128(sums + 2), _mm_unpacklo_epi16(high, zero)));
                        _mm_storeu_si128(
                            sums + 3, _mm_add_epi32(_mm_loadu_si128(sums + 3), _mm_unpackhi_epi16(high, zero)));
                    }
#endif
                    for (; b < wholeBytes; ++b)
                        counts[size_t(b)] += bitCount[uchar(line[b] ^ flip)];
                } else {
                    for (int block = 0; b + blockBytes <= wholeBytes; ++block) {
                        int sum = 0;
                        for (const int end = b + blockBytes; b < end; ++b)
                            sum += bitCount[uchar(line[b] ^ flip)];
                        counts[size_t(block)] += sum;
                    }
                    for (; b < wholeBytes; ++b)
                        counts[size_t(b / blockBytes)] += bitCount[uchar(line[b] ^ flip)];
                }
                if (wholeBytes < lineBytes) {
                    // the partial last byte, without its padding
                    const int valid = bits.width() & 7;
                    const uchar mask = bits.format() == QImage::Format_MonoLSB ? uchar((1u << valid) - 1)
                                                                                : uchar(0xffu << (8 - valid));
                    counts[size_t(wholeBytes / blockBytes)] += bitCount[uchar((line[wholeBytes] ^ flip) & mask)];
                }
                continue;
            }
            for (int b = 0; b < lineBytes; ++b) {
                uchar byte = line[b];
                if (bits.format() == QImage::Format_MonoLSB) {
                    // Most significant bit first below.
                    byte = uchar((byte * 0x0202020202ULL & 0x010884422010ULL) % 1023);
                }
                if (!black)
                    byte = uchar(~byte);
                for (; byte; byte &= uchar(byte - 1)) {
                    const int x = b * 8 + 7 - __builtin_ctz(byte);
                    if (x < bits.width())
                        ++counts[size_t(x / factor)];
                }
            }
        }
        uchar *grey = out.scanLine(oy);
        for (int ox = 0; ox < w; ++ox) {
            const int columns = std::min(factor, bits.width() - ox * factor);
            const int area = columns * rows;
            grey[ox] = uchar(255 - (counts[size_t(ox)] * 255 + area / 2) / area);
        }
    }
    return out;
}
