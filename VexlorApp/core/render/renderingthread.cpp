#include "renderingthread.h"

#include "vexlorlog.h"

#include <QPainter>
#include <QSemaphore>
#include <QtDebug>

#include <algorithm>
#include <cmath>

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
    image = QImage(rect.size() / m_divisor, QImage::Format_RGB32);
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
