#include "renderingthread.h"

#include "largeimage.h"
#include "vexlorlog.h"

#include <QPainter>
#include <QSemaphore>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// A copy of a path that shares nothing mutable with the original. Paths cache
// their bounds and their vector form lazily inside the shared data; two
// threads painting implicitly shared copies would both write those caches.
QPainterPath privatePath(const QPainterPath &path)
{
    QPainterPath copy = path;
    if (copy.elementCount() > 0) {
        const Qt::FillRule rule = copy.fillRule();
        copy.setFillRule(rule == Qt::WindingFill ? Qt::OddEvenFill : Qt::WindingFill);
        copy.setFillRule(rule);
    }
    return copy;
}

// How far the paint of an outline can reach beyond its control points: half
// the pen, stretched by mitred joins and square caps, plus the antialiasing.
qreal paintMargin(const QPen &pen)
{
    if (pen.style() == Qt::NoPen)
        return 2;
    qreal reach = std::max<qreal>(pen.widthF(), 1) / 2;
    if (pen.joinStyle() == Qt::MiterJoin || pen.joinStyle() == Qt::SvgMiterJoin)
        reach *= std::max<qreal>(pen.miterLimit(), 1);
    return reach * M_SQRT2 + 2;
}

// True when the item may leave paint inside the tile. Skipping the others
// changes no pixel and spares each tile the rasterising of the whole page.
bool mayTouch(const LaserOp::LaserOp &item, const QRectF &tile)
{
    if (item.clipPath.elementCount() >= 3
        && !item.clipPath.controlPointRect().adjusted(-2, -2, 2, 2).intersects(tile))
        return false;
    QRectF reach;
    if (item.type == LaserOp::Image) {
        reach = item.transform.mapRect(QRectF(item.pixmap.rect())).adjusted(-2, -2, 2, 2);
    } else {
        const qreal margin = paintMargin(item.pen);
        reach = item.path.controlPointRect().adjusted(-margin, -margin, margin, margin);
    }
    return reach.intersects(tile);
}

} // namespace

renderingThread::renderingThread(QPair<QRect, QImage> *tile, const Vexlor::LaserItemList &items,
    const std::atomic<bool> *stopFlag, QSemaphore *freeSlot, int divisor)
    : m_tile(tile)
    , m_items(items)
    , m_stop(stopFlag)
    , m_freeSlot(freeSlot)
    , m_divisor(std::max(1, divisor))
{
}

renderingThread::~renderingThread()
{
    if (m_freeSlot)
        m_freeSlot->release();
}

void renderingThread::run()
{
    const QRect rect = m_tile->first;
    qCDebug(lcRender) << "Working on rect:" << rect;
    qCDebug(lcRender) << "Number of Items:" << m_items.size();

    QImage &image = m_tile->second;
    image = Vexlor::makeLargeImage(rect.size() / m_divisor, QImage::Format_RGB32);
    if (image.isNull()) {
        qWarning() << "Not enough memory for the tile" << rect;
        return;
    }
    image.fill(Qt::white);
    paint(image, rect, m_items, m_stop, m_divisor);
}

bool renderingThread::paint(QImage &image, const QRect &rect, const Vexlor::LaserItemList &items,
    const std::atomic<bool> *stopFlag, int divisor)
{
    const QRectF tileArea(rect.left(), rect.top(), rect.width(), rect.height());
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    if (divisor > 1)
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    for (const LaserOp::LaserOp &item : items) {
        if (stopFlag && stopFlag->load(std::memory_order_relaxed)) {
            painter.end();
            return false;
        }
        if (item.type == LaserOp::Hidden || !mayTouch(item, tileArea))
            continue;
        painter.setClipping(false);
        painter.resetTransform();
        if (divisor > 1)
            painter.scale(1.0 / divisor, 1.0 / divisor);
        painter.translate(-rect.left(), -rect.top());
        if (item.clipPath.elementCount() >= 3)
            painter.setClipPath(privatePath(item.clipPath));
        if (item.type == LaserOp::Image) {
            painter.setTransform(item.transform, true);
            painter.drawPixmap(0, 0, item.pixmap);
        } else {
            painter.setPen(item.pen);
            painter.setBrush(item.brush);
            painter.drawPath(privatePath(item.path));
        }
    }
    painter.end();
    return true;
}

namespace {

// The painter copies a scaled opaque picture pixel for pixel: every device
// pixel of the covered area takes one picture pixel, the column chosen by the
// device column alone and the row by the device row alone. Which ones it
// chooses (its rounding at the edges and along the way) is learnt from the
// painter itself, by painting pictures whose pixels hold their own index: a
// one-row picture with the item's horizontal scale gives the column of every
// device column, a one-column picture with its vertical scale the row of every
// device row.
constexpr quint32 kUnpainted = 0xffffffffu;
// Pictures as large as this, or as large on the device, are painted another
// way by the painter (and their indexes would not fit a pixel).
constexpr qreal kLargestScaledSide = 32000;

// Picture index of each device pixel along one axis, -1 where the picture is not
// painted; false when the painted part is not one run of valid indexes.
bool probeAxis(bool horizontal, const QTransform &t, const QRect &rect, int pictureSide, std::vector<int> *map,
    int *first, int *last)
{
    const int deviceSide = horizontal ? rect.width() : rect.height();
    QImage probe(horizontal ? pictureSide : 1, horizontal ? 1 : pictureSide, QImage::Format_RGB32);
    QImage canvas(horizontal ? deviceSide : 2, horizontal ? 2 : deviceSide, QImage::Format_RGB32);
    if (probe.isNull() || canvas.isNull())
        return false;
    for (int i = 0; i < pictureSide; ++i)
        probe.setPixel(horizontal ? i : 0, horizontal ? 0 : i, 0xff000000u | quint32(i));
    canvas.fill(kUnpainted);
    {
        // The same state as paint(): antialiased, the rectangle's offset, then
        // the item's transform along this axis and a scale of 2 across it
        // (so the probe covers the first two device pixels across).
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.translate(-rect.left(), -rect.top());
        painter.setTransform(horizontal ? QTransform(t.m11(), 0, 0, 2, t.dx(), rect.top())
                                        : QTransform(2, 0, 0, t.m22(), rect.left(), t.dy()),
            true);
        painter.drawImage(QPointF(0, 0), probe);
    }
    map->assign(size_t(deviceSide), -1);
    *first = -1;
    *last = -2;
    for (int d = 0; d < deviceSide; ++d) {
        const quint32 v = horizontal ? reinterpret_cast<const quint32 *>(canvas.constScanLine(0))[d]
                                     : reinterpret_cast<const quint32 *>(canvas.constScanLine(d))[0];
        if (v == kUnpainted)
            continue;
        const int index = int(v & 0xffffffu);
        if ((v >> 24) != 0xffu || index >= pictureSide || (*first >= 0 && *last != d - 1))
            return false;
        (*map)[size_t(d)] = index;
        if (*first < 0)
            *first = d;
        *last = d;
    }
    return true;
}

// Whether paint() copies this item's pixels as they are, and its picture.
bool copiesPixels(const LaserOp::LaserOp &item, QImage *picture)
{
    if (item.type != LaserOp::Image || item.clipPath.elementCount() >= 3
        || item.transform.type() != QTransform::TxScale)
        return false;
    *picture = item.pixmap.toImage();
    if ((picture->format() != QImage::Format_RGB32 && picture->format() != QImage::Format_Grayscale8)
        || picture->width() >= kLargestScaledSide
        || picture->height() >= kLargestScaledSide)
        return false;
    const QRectF placed = item.transform.mapRect(QRectF(picture->rect()));
    return std::isfinite(placed.width()) && std::isfinite(placed.height()) && placed.width() < kLargestScaledSide
        && placed.height() < kLargestScaledSide && placed.left() > -1e6 && placed.top() > -1e6
        && placed.right() < 1e6 && placed.bottom() < 1e6;
}

} // namespace

renderingThread::GreyPaint renderingThread::paintGrey(QImage &grey, const QRect &rect,
    const Vexlor::LaserItemList &items, const std::atomic<bool> *stopFlag)
{
    if (grey.format() != QImage::Format_Grayscale8 || grey.size() != rect.size())
        return GreyPaint::Unsupported;
    const QRectF tileArea(rect.left(), rect.top(), rect.width(), rect.height());
    QVector<const LaserOp::LaserOp *> drawn;
    QVector<QImage> pictures;
    for (const LaserOp::LaserOp &item : items) {
        if (item.type == LaserOp::Hidden || !mayTouch(item, tileArea))
            continue;
        QImage picture;
        if (!copiesPixels(item, &picture))
            return GreyPaint::Unsupported;
        drawn << &item;
        pictures << picture;
    }

    grey.fill(255);
    std::vector<int> columns;
    std::vector<int> rows;
    for (int i = 0; i < drawn.size(); ++i) {
        if (stopFlag && stopFlag->load(std::memory_order_relaxed))
            return GreyPaint::Stopped;
        const QImage &picture = pictures.at(i);
        int left = 0;
        int right = 0;
        int top = 0;
        int bottom = 0;
        if (!probeAxis(true, drawn.at(i)->transform, rect, picture.width(), &columns, &left, &right)
            || !probeAxis(false, drawn.at(i)->transform, rect, picture.height(), &rows, &top, &bottom))
            return GreyPaint::Unsupported;
        if (left < 0 || top < 0)
            continue;
        const int *column = columns.data();
        int previousRow = -1;
        uchar *previousLine = nullptr;
        for (int y = top; y <= bottom; ++y) {
            uchar *line = grey.scanLine(y);
            const int row = rows[size_t(y)];
            if (row == previousRow) {
                // Device rows that take the same picture row are equal.
                std::memcpy(line + left, previousLine + left, size_t(right - left + 1));
                continue;
            }
            if (stopFlag && (y & 63) == 0 && stopFlag->load(std::memory_order_relaxed))
                return GreyPaint::Stopped;
            if (picture.format() == QImage::Format_Grayscale8) {
                const uchar *source = picture.constScanLine(row);
                for (int x = left; x <= right; ++x)
                    line[x] = source[column[x]];
            } else {
                const quint32 *source = reinterpret_cast<const quint32 *>(picture.constScanLine(row));
                for (int x = left; x <= right; ++x)
                    line[x] = uchar(source[column[x]]);
            }
            previousRow = row;
            previousLine = line;
        }
    }
    return GreyPaint::Painted;
}
