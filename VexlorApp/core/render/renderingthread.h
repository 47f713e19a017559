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
    // task makes the white image of that size (divided by divisor) itself, so that the tiles are
    // allocated and cleared in parallel and only when they are painted.
    // freeSlot, when given, is released once the task has finished.
    renderingThread(QPair<QRect, QImage> *tile, const Vexlor::LaserItemList &items,
        const std::atomic<bool> *stopFlag, QSemaphore *freeSlot = nullptr, int divisor = 1);
    ~renderingThread() override;

    void run() override;

    // Paints the items that reach the page rectangle rect (page pixels) into
    // image, which must have the rectangle's size divided by divisor and be
    // filled with white; divisor > 1 paints a reduced picture of the same
    // area. Returns false when stopFlag was set before the end.
    static bool paint(QImage &image, const QRect &rect, const Vexlor::LaserItemList &items,
        const std::atomic<bool> *stopFlag, int divisor = 1);

    enum class GreyPaint { Painted, Unsupported, Stopped };
    // Paints the rectangle straight into eight-bit grey (grey must be a
    // Grayscale8 image of the rectangle's size) when the items that reach it
    // are all opaque 32-bit pictures drawn at a scale, without rotation or
    // clip: each pixel gets the blue channel of the picture pixel that paint()
    // copies there, so the result equals paint() on white followed by taking
    // the blue channel, without the 32-bit picture. Unsupported leaves grey
    // unspecified; paint() is then the way.
    static GreyPaint paintGrey(QImage &grey, const QRect &rect, const Vexlor::LaserItemList &items,
        const std::atomic<bool> *stopFlag);

private:
    QPair<QRect, QImage> *m_tile;
    Vexlor::LaserItemList m_items;
    const std::atomic<bool> *m_stop;
    QSemaphore *m_freeSlot;
    int m_divisor;
};

#endif // RENDERINGTHREAD_H
