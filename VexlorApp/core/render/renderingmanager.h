#ifndef RENDERINGMANAGER_H
#define RENDERINGMANAGER_H

#include "vexlortypes.h"

#include <QObject>
#include <QSemaphore>
#include <QThreadPool>

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
};

#endif // RENDERINGMANAGER_H
