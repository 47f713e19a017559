#ifndef XML2GFXLIST_H
#define XML2GFXLIST_H

#include "vexlortypes.h"

#include <QBrush>
#include <QColor>
#include <QDir>
#include <QMap>
#include <QObject>
#include <QPainterPath>
#include <QPen>
#include <QRect>
#include <QRectF>
#include <QRegularExpression>
#include <QString>
#include <QTransform>

class QImage;
class QXmlStreamReader;

// Reads the scene that the Ghostscript engraver device leaves in the scratch
// folder ("o.xml" and the image and raster side files it names) into the
// graphic items of the page, and drops the items that do not fit the table.
//
// Lives on a worker thread of its own; both slots arrive queued and the
// results leave as copies in queued signals.
class xml2gfxList : public QObject
{
    Q_OBJECT
public:
    // Pixel count above which a raw raster is refused before anything is
    // allocated for it; a QImage cannot hold more than 2 GiB anyway.
    static constexpr qint64 maxRasterPixels = (qint64(1) << 29) - 1;

    // The engraver's coordinate range, in device pixels either side of the
    // origin: far beyond any table at any resolution (2^28 pixels), yet small
    // enough that sums of coordinates and sizes never wrap an int further
    // down the job. An item reaching beyond it is treated like an item off
    // the table, even when a clip on the table would hide the excess.
    static constexpr double coordinateRange = double(1 << 28);

    explicit xml2gfxList(QDir scratchDir, QObject *parent = nullptr);

signals:
    void info(QString);
    void error(QString);
    void width(QString);
    void height(QString);
    void sendBoundingRect(QRectF);
    void sendItems(Vexlor::LaserItemList);
    void sendWidths(Vexlor::WidthList);
    void itemOutOfBounds();

public slots:
    void setTableRect(QRect rect);
    void processGSOutput();

private:
    typedef void (xml2gfxList::*Handler)(QXmlStreamReader &);

    void handleBoundingBox(QXmlStreamReader &xml);
    void handlePath(QXmlStreamReader &xml);
    void handleMoveTo(QXmlStreamReader &xml);
    void handleLineTo(QXmlStreamReader &xml);
    void handleCurveTo(QXmlStreamReader &xml);
    void handleClosePath(QXmlStreamReader &xml);
    void handleClipPath(QXmlStreamReader &xml);
    void handleNewClipPath(QXmlStreamReader &xml);
    void handleFillPath(QXmlStreamReader &xml);
    void handleStrokePath(QXmlStreamReader &xml);
    void handleRect(QXmlStreamReader &xml);
    void handleImage(QXmlStreamReader &xml);
    void handleImFile(QXmlStreamReader &xml);
    void handleRaster(QXmlStreamReader &xml);
    void handlePathImage(QXmlStreamReader &xml);

    // Completion of the item whose outline is in itemPath.
    void savePathObject();
    // Appends an image item when its rectangle lies on the table.
    void saveImageObject(
        QImage image, const QTransform &transform, const QRectF &testRect, const QPainterPath &clip);
    bool loadRaster(const QString &fileName, QImage *image, QPoint *origin);
    bool liesOnTable(const QRectF &rect) const;
    static bool withinRange(const QRectF &rect);

    QDir scratchDir;
    QMap<QString, Handler> handlers;
    QTransform imageTransform;
    QRect tableRect;
    QPainterPath currentPath;
    QPainterPath itemPath;
    QPainterPath clipAccumulator;
    int currentFillRule;
    QColor currentColor;
    QBrush currentBrush;
    QPen currentPen;
    Vexlor::WidthList widths;
    Vexlor::LaserItemList items;
    bool outOfBounds;

    const QRegularExpression m_curveSplit;
};

#endif // XML2GFXLIST_H
