#include "renderingmanager.h"

#include "largeimage.h"
#include "renderingthread.h"
#include "vexlorlog.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QThread>
#include <QVector>
#include <QtDebug>

#include <climits>
#include <cmath>

namespace {

// A render whose tiles would take more than this is refused: no machine this
// runs on has the memory, and the attempt would only end the program.
constexpr qint64 maxRenderBytes = qint64(16) << 30;

QPainterPath detached(const QPainterPath &path)
{
    QPainterPath copy = path;
    if (copy.elementCount() > 0) {
        const Qt::FillRule rule = copy.fillRule();
        copy.setFillRule(rule == Qt::WindingFill ? Qt::OddEvenFill : Qt::WindingFill);
        copy.setFillRule(rule);
    }
    return copy;
}

// A pen that shares nothing with the original; its dash pattern, which pens
// work out lazily, is worked out here, before the pool threads read it.
QPen detached(const QPen &pen)
{
    if (pen.style() == Qt::SolidLine || pen.style() == Qt::NoPen)
        return pen;
    QPen copy(pen.brush(), pen.widthF(), pen.style(), pen.capStyle(), pen.joinStyle());
    copy.setMiterLimit(pen.miterLimit());
    copy.setCosmetic(pen.isCosmetic());
    copy.setDashOffset(pen.dashOffset());
    if (pen.style() == Qt::CustomDashLine)
        copy.setDashPattern(pen.dashPattern());
    copy.dashPattern();
    return copy;
}

// The render's own copy of the items. The caller's copies share their paths'
// data with the owner's thread, and paths fill their caches lazily; this copy
// has data of its own, with the caches the pool threads read filled in now.
Vexlor::LaserItemList privateCopy(const Vexlor::LaserItemList &list)
{
    Vexlor::LaserItemList copy;
    copy.reserve(list.size());
    for (const LaserOp::LaserOp &item : list) {
        LaserOp::LaserOp own = item;
        own.path = detached(item.path);
        own.clipPath = detached(item.clipPath);
        own.pen = detached(item.pen);
        own.path.boundingRect();
        own.path.controlPointRect();
        own.clipPath.boundingRect();
        own.clipPath.controlPointRect();
        copy.append(own);
    }
    return copy;
}

double nearestPixel(double value)
{
    return std::floor(value + 0.5);
}

// The pixmap's corners mapped to the page and taken to whole pixels, both
// corner coordinates counted as inside.
QRectF imageRect(const LaserOp::LaserOp &item)
{
    const qreal w = item.pixmap.width();
    const qreal h = item.pixmap.height();
    const QPointF corners[] = { item.transform.map(QPointF(0, 0)), item.transform.map(QPointF(w, 0)),
        item.transform.map(QPointF(w, h)), item.transform.map(QPointF(0, h)) };
    double left = nearestPixel(corners[0].x()), right = left;
    double top = nearestPixel(corners[0].y()), bottom = top;
    for (const QPointF &corner : corners) {
        const double x = nearestPixel(corner.x());
        const double y = nearestPixel(corner.y());
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
    }
    return QRectF(left, top, right - left + 1, bottom - top + 1);
}

bool isFinite(const QRectF &rect)
{
    return std::isfinite(rect.x()) && std::isfinite(rect.y()) && std::isfinite(rect.width())
        && std::isfinite(rect.height());
}

} // namespace

renderingManager::renderingManager(QObject *parent)
    : QObject(parent)
    , m_tileHeight(defaultTileHeight)
    , m_stop(false)
{
    m_pool.setMaxThreadCount(QThread::idealThreadCount());
    m_freeSlots.release(m_pool.maxThreadCount());
}

renderingManager::~renderingManager()
{
    m_stop = true;
    m_pool.waitForDone();
}

void renderingManager::getList(Vexlor::LaserItemList list)
{
    if (!m_items.isSharedWith(list))
        m_items = list;
}

void renderingManager::kill()
{
    m_stop = true;
    m_restartPending = false;
}

void renderingManager::startRender()
{
    if (m_rendering) {
        // Arrived while a render waits for its pool: that render is stale now.
        // It stops and emits nothing; the loop below then starts this one.
        m_stop = true;
        m_restartPending = true;
        return;
    }
    m_rendering = true;
    do {
        m_restartPending = false;
        m_stop = false;
        render();
    } while (m_restartPending);
    m_rendering = false;
}

void renderingManager::processOwnEvents()
{
    QCoreApplication::sendPostedEvents(this, 0);
}

QVector<QRect> renderingManager::tileRects(
    const Vexlor::LaserItemList &items, quint32 tileHeight, int divisor, bool *tooLarge)
{
    if (tooLarge)
        *tooLarge = false;
    QRectF bounds(0, 0, 0, 0);
    for (const LaserOp::LaserOp &item : items) {
        if (item.type == LaserOp::Hidden)
            continue;
        QRectF rect;
        if (item.type == LaserOp::Image) {
            rect = imageRect(item);
        } else {
            rect = item.path.boundingRect();
            if (item.pen != QPen(Qt::NoPen)) {
                const qreal w = item.pen.widthF();
                rect.adjust(-w, -w, w, w);
            }
        }
        if (item.clipPath.elementCount() >= 3)
            rect = rect.intersected(item.clipPath.boundingRect());
        if (!isFinite(rect)) {
            qWarning() << "An item without a finite place on the page is left out of the rendering";
            continue;
        }
        bounds = bounds.united(rect);
    }

    QVector<QRect> rects;
    divisor = std::max(1, divisor);
    // A reduced picture has tiles of tileHeight rows of its own pixels, each
    // standing for divisor times as many rows of the page.
    const double pageTileHeight = double(tileHeight) * divisor;
    const double tileCount = std::ceil(bounds.height() / pageTileHeight);
    if (tileCount <= 0)
        return rects;
    const double left = std::trunc(bounds.left());
    const double width = std::ceil(std::ceil(bounds.width()) / divisor) * divisor;
    const double lastTop = std::trunc(pageTileHeight * (tileCount - 1) + bounds.top());
    const double imageWidth = width / divisor;
    if (left < INT_MIN || left + width > INT_MAX || bounds.top() < INT_MIN
        || lastTop + pageTileHeight > INT_MAX || imageWidth * 4 * tileHeight > INT_MAX) {
        qWarning() << "The drawing" << bounds << "is too large to render";
        if (tooLarge)
            *tooLarge = true;
        return rects;
    }
    rects.reserve(int(tileCount));
    for (int i = 0; i < int(tileCount); ++i) {
        const int top = int(std::trunc(pageTileHeight * i + bounds.top()));
        rects.append(QRect(int(left), top, int(width), int(pageTileHeight)));
    }
    return rects;
}

Vexlor::LaserItemList renderingManager::threadSafeCopy(const Vexlor::LaserItemList &items)
{
    return privateCopy(items);
}

int renderingManager::divisorFor(const QVector<QRect> &rects, qint64 pixelBudget)
{
    if (pixelBudget <= 0 || rects.isEmpty())
        return 1;
    const double pixels = double(rects.first().width()) * rects.first().height() * rects.size();
    if (pixels <= double(pixelBudget))
        return 1;
    return int(std::ceil(std::sqrt(pixels / double(pixelBudget))));
}

void renderingManager::setPixelBudget(qint64 pixels)
{
    m_pixelBudget = pixels;
}

qint64 renderingManager::memoryFor(const QSize &page) const
{
    if (page.isEmpty())
        return 0;
    const int count = int((qint64(page.height()) + m_tileHeight - 1) / m_tileHeight);
    const QVector<QRect> rects(count, QRect(0, 0, page.width(), int(m_tileHeight)));
    const int divisor = divisorFor(rects, m_pixelBudget);
    const qint64 pageRows = qint64(m_tileHeight) * divisor;
    const qint64 tiles = (page.height() + pageRows - 1) / pageRows;
    const int width = (page.width() + divisor - 1) / divisor;
    return tiles * Vexlor::largeImageBytes(QSize(width, int(m_tileHeight)), QImage::Format_RGB32);
}

bool renderingManager::render()
{
    const Vexlor::LaserItemList items = privateCopy(m_items);

    int divisor = 1;
    QVector<QRect> rects = tileRects(items, m_tileHeight, 1);
    if (m_pixelBudget > 0) {
        divisor = divisorFor(rects, m_pixelBudget);
        if (divisor > 1)
            rects = tileRects(items, m_tileHeight, divisor);
    } else if (!rects.isEmpty()
        && double(rects.first().width()) * 4 * rects.first().height() * rects.size() > maxRenderBytes) {
        qWarning() << "The drawing" << rects.first() << "is too large to render";
        rects.clear();
    }
    QVector<QPair<QRect, QImage>> tiles;
    tiles.reserve(rects.size());
    for (const QRect &rect : qAsConst(rects))
        tiles.append(qMakePair(rect, QImage()));

    m_stop = false;
    for (QPair<QRect, QImage> &tile : tiles) {
        if (m_stop)
            break;
        qCDebug(lcRender) << "Sending rect:" << tile.first;
        qCDebug(lcRender) << "Sending" << items.size() << "items";
        // Never more tasks than the pool has threads; each finished task
        // frees a slot. The own events keep flowing while we wait.
        bool haveSlot = m_freeSlots.tryAcquire();
        while (!haveSlot && !m_stop) {
            processOwnEvents();
            haveSlot = !m_stop && m_freeSlots.tryAcquire(1, 100);
        }
        if (!haveSlot) {
            break;
        }
        m_pool.start(new renderingThread(&tile, items, &m_stop, &m_freeSlots, divisor));
    }
    if (m_stop) {
        m_pool.waitForDone();
        return false;
    }

    while (!m_pool.waitForDone(100))
        processOwnEvents();
    // Tiles of a stopped render are partly painted; they are never handed
    // over as if they were the picture.
    if (m_stop)
        return false;

    Vexlor::SceneTile result;
    result.reserve(tiles.size());
    for (QPair<QRect, QImage> &tile : tiles) {
        if (tile.second.isNull())
            qWarning() << "The tile" << tile.first << "could not be painted";
        result.append(qMakePair(tile.first, QPixmap::fromImage(std::move(tile.second))));
    }
    tiles.clear();
    emit finished(result);
    return true;
}
