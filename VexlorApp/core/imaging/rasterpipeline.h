#ifndef RASTERPIPELINE_H
#define RASTERPIPELINE_H

#include "vexlortypes.h"

#include <QImage>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QVector>

#include <atomic>
#include <vector>

// Turns grey raster items into one-bit tiles, a band at a time: each band of
// 1200 rows (the bands of a full-resolution render) is painted on a pool
// thread, reduced at once to what the dithering needs, and dithered in band
// order, so that the error diffusion runs over the bands exactly as over one
// picture while the pool paints the next bands. Ordered dithering and the
// methods that keep the grey are finished on the pool threads themselves.
//
// Memory stays bounded by a few bands whatever the size of the picture: only
// as many 32-bit bands exist as the pool has threads, a band waits for its
// turn in eight bits per pixel at most, and the buffers of both are used
// again from band to band (fresh memory costs the kernel's clearing of it). The result holds one bit per
// pixel.
//
// Lives on a thread of its own; its slots arrive queued. A startRender()
// that arrives while a pass runs stops that pass, which emits nothing, and
// the new one runs once the old one has returned. kill() stops the pass.
// The stop switch, set from any thread, stops the pass at its next band or
// item too, but the pass then answers with no bands.
class rasterPipeline : public QObject
{
    Q_OBJECT
public:
    static constexpr quint32 bandHeight = 1200;

    explicit rasterPipeline(QObject *parent = nullptr);
    ~rasterPipeline() override;

    // The memory a pass takes at most over a page of the given size in
    // pixels whose raster items are scaled pictures: its one-bit bands and the
    // bands it works on at once with the method.
    static qint64 memoryFor(const QSize &page, int method);

    // The one-bit band of a painted 32-bit band for the methods that keep the
    // grey: black where r + g + b <= 382, as the job generator takes colour
    // pixels. Colour index 0 is white, 1 black.
    static QImage thresholdBand(const QImage &band);
    // The blue channel of a 32-bit band (the grey of a desaturated picture),
    // eight bits per pixel; written into buffer when it has the band's size
    // and format.
    static QImage greyBand(const QImage &band, QImage buffer = QImage());

    // Set before the pipeline moves to its thread; the switch outlives it.
    void setStopSwitch(const std::atomic<bool> *stopSwitch) { m_stopSwitch = stopSwitch; }

public slots:
    void getList(Vexlor::LaserItemList list);
    void setMethod(int method);
    void startRender();
    void kill();

signals:
    // Bands done so far (0 when the pass starts) out of all bands.
    void progress(int done, int total);
    // A failure the user must hear of; the pass goes on where it can.
    void failed(QString message);
    // The one-bit bands, top to bottom.
    void finished(Vexlor::SceneTile tiles);

private:
    struct Band;
    struct PainterItems;

    // Returns false when the pass was stopped.
    bool run();
    // Whether the pass must end: killed, restarted or switched off.
    bool stopped();
    void paintBand(
        Band *band, const QRect &rect, const Vexlor::LaserItemList *items, PainterItems *painterItems, int method);
    // Ordered dithering of a band of pictures alone, a part of the band at a time.
    enum class PictureBand { Painted, Unsupported, Stopped, OutOfMemory };
    static constexpr int kOrderedPartRows = 400;
    PictureBand orderedPictureBand(Band *band, const QRect &rect, const Vexlor::LaserItemList *items);
    // A picture of this size and format from the buffers of earlier bands, or a new one.
    QImage takeBuffer(const QSize &size, QImage::Format format);
    void giveBuffer(QImage buffer);

    QThreadPool m_pool;
    Vexlor::LaserItemList m_items;
    int m_method = 0;
    std::atomic<bool> m_stop;
    const std::atomic<bool> *m_stopSwitch = nullptr;
    bool m_running = false;
    bool m_restartPending = false;

    QMutex m_bufferLock;
    std::vector<QImage> m_buffers;
};

#endif // RASTERPIPELINE_H
