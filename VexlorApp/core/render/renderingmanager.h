#ifndef RENDERINGMANAGER_H
#define RENDERINGMANAGER_H

#include "vexlortypes.h"

#include <QObject>
#include <QSemaphore>
#include <QThreadPool>
#include <QVector>

#include <atomic>

// Renders a list of graphic items into bands of 1200 rows, full width, top to
// bottom, painted in parallel on a pool of its own, and hands them over as one
// Vexlor::SceneTile. Lives on a thread of its own; its slots arrive queued.
//
// A stopped render never emits. A startRender() that arrives while a render
// runs (the owner sends kill(), getList() and startRender() in a row) stops
// the running one, which then emits nothing, and the new one runs to its end
// once the old one has returned.
class renderingManager : public QObject
{
    Q_OBJECT
public:
    static constexpr quint32 defaultTileHeight = 1200;

    explicit renderingManager(QObject *parent = nullptr);
    ~renderingManager() override;

    // The bands of a render of items: full width of the drawing's bounds,
    // tileHeight rows each, top to bottom, in page pixels. With a divisor
    // above 1 each band stands for divisor times as many page rows and
    // columns (its picture keeps tileHeight rows). Empty for an empty
    // drawing, or one too large to render (then tooLarge is set).
    static QVector<QRect> tileRects(
        const Vexlor::LaserItemList &items, quint32 tileHeight, int divisor = 1, bool *tooLarge = nullptr);
    // A copy of the items with data of their own and the caches that
    // painting reads filled in, which several threads may paint at once.
    static Vexlor::LaserItemList threadSafeCopy(const Vexlor::LaserItemList &items);
    // The smallest whole divisor that keeps the pixels of the bands within the
    // budget; 1 for a budget of 0 (no limit).
    static int divisorFor(const QVector<QRect> &rects, qint64 pixelBudget);

    // Pictures larger than this many pixels are painted reduced by a whole
    // divisor, to a picture of at most that many pixels; each tile's
    // rectangle is still the page area it covers. 0 (the default): always
    // at full resolution.
    void setPixelBudget(qint64 pixels);
    // The memory of the tiles of a render of a page of the given size in
    // pixels, items all over it, within the pixel budget.
    qint64 memoryFor(const QSize &page) const;

public slots:
    void getList(Vexlor::LaserItemList list);
    void kill();
    void startRender();

signals:
    void finished(Vexlor::SceneTile);

private:
    // Returns false when the render was stopped.
    bool render();
    void processOwnEvents();

    const quint32 m_tileHeight;
    QThreadPool m_pool;
    Vexlor::LaserItemList m_items;
    std::atomic<bool> m_stop;

    QSemaphore m_freeSlots;
    bool m_rendering = false;
    bool m_restartPending = false;
    qint64 m_pixelBudget = 0;
};

#endif // RENDERINGMANAGER_H
