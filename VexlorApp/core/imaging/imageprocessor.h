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

class renderingManager;

// Turns the raster items of a job into black-and-white tiles for the raster
// encoder: converts their colours to grey, has its own tile renderer paint them
// into bands of 1200 rows on a thread of its own, dithers every band with the
// chosen method, top to bottom, and hands the bands back.
//
// Per job: getRasters() (new items), setDithering() (only before processing),
// process(), then, asynchronously, sendDitheredTiles().
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

public slots:
    void setDithering(int type);
    void getRasters(VectorList list);
    void process();
    void getRenderedTiles(Vexlor::SceneTile tiles);

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
    qint32 m_dithering = 0;
    QList<LaserOp::LaserOp> m_rasterItems;
    QThread m_renderThread;
    renderingManager *m_renderer = nullptr;
};

#endif // IMAGEPROCESSOR_H
