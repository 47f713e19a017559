#ifndef RENDERINGTHREAD_H
#define RENDERINGTHREAD_H

#include "vexlortypes.h"

#include <QImage>
#include <QPair>
#include <QRect>
#include <QRunnable>

#include <atomic>

class QSemaphore;

// Paints one tile of a render on a pool thread. The tile is a QImage, which
// may be painted off the GUI thread; the manager turns it into a pixmap when
// it hands the tiles over. Deleted by the pool after it has run.
class renderingThread : public QRunnable
{
public:
    // The tile's rectangle (page pixels, inclusive) is set by the manager; the
    // task makes the white image of that size itself, so that the tiles are
    // allocated and cleared in parallel and only when they are painted.
    // freeSlot, when given, is released once the task has finished.
    renderingThread(QPair<QRect, QImage> *tile, const Vexlor::LaserItemList &items,
        const std::atomic<bool> *stopFlag, QSemaphore *freeSlot = nullptr);
    ~renderingThread() override;

    void run() override;

private:
    QPair<QRect, QImage> *m_tile;
    Vexlor::LaserItemList m_items;
    const std::atomic<bool> *m_stop;
    QSemaphore *m_freeSlot;
};

#endif // RENDERINGTHREAD_H
