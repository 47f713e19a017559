#ifndef IMAGEPROCESSOR_H
#define IMAGEPROCESSOR_H

#include "laserop.h"
#include "vectorlist.h"
#include "vexlortypes.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QThread>

#include <atomic>

class rasterPipeline;

// Turns the raster items of a job into black-and-white tiles for the raster
// encoder: converts their colours to grey and has its band pipeline, on a
// thread of its own, paint them into bands of 1200 rows and dither each band
// with the chosen method as soon as it is painted, top to bottom; then hands
// the one-bit bands back. The methods that keep the grey (brighten, low
// resolution) come back as one-bit bands too, black where the grey is at most
// 127, which is how the raster encoder takes them.
//
// Per job: getRasters() (new items), setDithering(), process(), then,
// asynchronously, sendDitheredTiles(). A dithering method that arrives while
// a run is under way cannot change that run: it is reported and kept for
// the next one.
class imageProcessor : public QObject
{
    Q_OBJECT
public:
    explicit imageProcessor(QObject *parent = nullptr);
    ~imageProcessor() override;

    // Grey of a colour: (11 r + 16 g + 5 b) / 32 on all three channels, opaque.
    static QColor desaturate(const QColor &color);
    // Every pixel whose 32-bit value is 0 (fully transparent black) stays as it
    // is; every other pixel becomes its grey, opaque.
    static QPixmap desaturate(const QPixmap &pixmap);

    // Called directly from another thread, since this one may be busy:
    // stopRun() ends the run under way, or the one already asked for, at its
    // next item or band; the run answers with an empty tile list, so that
    // every process() still gets its one answer. allowRuns() lifts the stop;
    // the caller does so before it asks for the next run, when none is
    // outstanding.
    void stopRun() { m_stopRun.store(true); }
    void allowRuns() { m_stopRun.store(false); }

public slots:
    void setDithering(int type);
    void getRasters(VectorList list);
    void process();
    // Dithers already painted 32-bit tiles, top to bottom, and hands them on.
    void getRenderedTiles(Vexlor::SceneTile tiles);

private slots:
    void pipelineProgress(int done, int total);
    void getDitheredBands(Vexlor::SceneTile tiles);

signals:
    void error(QString);
    void setRangeProgBar(int, int);
    void setValueProgBar(int);
    void setLabelTextProgBar(QString);
    void renderList(Vexlor::LaserItemList);
    void startRender();
    void sendDitheredTiles(Vexlor::SceneTile);

private:
    bool m_processed = false;
    bool m_running = false;
    qint32 m_dithering = 0;
    qint32 m_runDithering = 0;
    QList<LaserOp::LaserOp> m_rasterItems;
    std::atomic<bool> m_stopRun { false };
    QThread m_renderThread;
    rasterPipeline *m_renderer = nullptr;
};

#endif // IMAGEPROCESSOR_H
