#ifndef LASEROP_H
#define LASEROP_H

#include <QBrush>
#include <QMetaType>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QTransform>

namespace LaserOp {

// Kinds of graphic item, the values of LaserOp::type.
enum ItemType : qint32 {
    CutLine = 0,
    EngravedPath = 1,
    Hidden = 2,
    EngravedAndCut = 3,
    Image = 4,
};

// One graphic item of the page, in device pixels at the job resolution.
class LaserOp
{
public:
    // Producers always set the kind; an item nobody classified stays hidden
    // rather than being engraved or cut by accident.
    qint32 type = Hidden;
    QPainterPath path;
    QPainterPath clipPath;
    QPen pen;
    QBrush brush;
    QPixmap pixmap;
    QTransform transform;
};

} // namespace LaserOp

Q_DECLARE_METATYPE(LaserOp::LaserOp)

#endif // LASEROP_H
