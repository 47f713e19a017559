#ifndef PREVIEWTILE_H
#define PREVIEWTILE_H

#include "vexlortypes.h"

#include <QGraphicsPixmapItem>
#include <QImage>

// The picture of one tile in the view. The tile's own picture may hold fewer
// pixels than the page area it covers (a reduced preview), or a full-
// resolution one-bit picture (the dithered tiles) together with a reduced
// grey overview of it. Whatever the zoom, it draws no coarser than the view
// shows: from the overview while that has the detail, else from the full
// tile, else (a reduced preview zoomed in beyond its pixels) by painting the
// job's items themselves into the exposed area.
//
// Tile edges are taken to whole device pixels the same way on both sides of
// an edge, so neighbouring tiles neither overlap nor leave a light seam.
class previewTile : public QGraphicsPixmapItem
{
public:
    // area: the page rectangle the tile covers; picture: its picture, of any
    // size (reduced or full); overview: a reduced picture of the same area
    // or none; items: the job's items for views zoomed in beyond the
    // picture, or none.
    previewTile(
        const QRect &area, const QImage &picture, const QImage &overview, const Vexlor::LaserItemList &items);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    bool contains(const QPointF &point) const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

    // A grey picture of a one-bit picture reduced by a whole factor: each
    // pixel the share of white among the factor x factor pixels it stands for.
    // Factors that are multiples of 8 count whole bytes and are much faster.
    static QImage greyOverview(const QImage &bits, int factor);

private:
    static QRect deviceRect(const QTransform &toDevice, const QRectF &page);
    void drawPart(QPainter *painter, const QTransform &toDevice, const QImage &picture, const QRectF &exposed,
        bool smooth) const;
    void paintItems(QPainter *painter, const QRectF &exposed) const;

    QRect m_area;
    QImage m_picture;
    QImage m_overview;
    Vexlor::LaserItemList m_items;
};

#endif // PREVIEWTILE_H
