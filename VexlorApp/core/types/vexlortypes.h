#ifndef VEXLORTYPES_H
#define VEXLORTYPES_H

#include "laserop.h"
#include "vectorlist.h"
#include "vexlorsettings.h"

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QPixmap>
#include <QRect>
#include <QString>

namespace Vexlor {

// All items of one page, in document order.
class LaserItemList : public QList<LaserOp::LaserOp>
{
public:
    using QList<LaserOp::LaserOp>::QList;
    LaserItemList() = default;
    LaserItemList(const QList<LaserOp::LaserOp> &other)
        : QList<LaserOp::LaserOp>(other)
    {
    }
};

// Stroke widths of a scene, one per stroke, in document order.
class WidthList : public QList<double>
{
public:
    using QList<double>::QList;
    WidthList() = default;
    WidthList(const QList<double> &other)
        : QList<double>(other)
    {
    }
};

// Horizontal bands of a picture, top to bottom: the place of each band in
// device pixels of the page and its picture.
class SceneTile : public QList<QPair<QRect, QPixmap>>
{
public:
    using QList<QPair<QRect, QPixmap>>::QList;
    SceneTile() = default;
    SceneTile(const QList<QPair<QRect, QPixmap>> &other)
        : QList<QPair<QRect, QPixmap>>(other)
    {
    }
};

enum vexlorMachineType {
    Ostrel = 0,
};

// One engraver of the engraver list.
class vexlorMachine
{
public:
    QString name;
    QHostAddress addr;
    vexlorMachineType type = Ostrel;
};

// Registers the seven job types with the meta-type system, in their fixed
// order and under their fixed names. Call before any worker is created.
void registerMetaTypes();

} // namespace Vexlor

Q_DECLARE_METATYPE(Vexlor::vexlorMachine)
Q_DECLARE_METATYPE(Vexlor::LaserItemList)
Q_DECLARE_METATYPE(Vexlor::WidthList)
Q_DECLARE_METATYPE(Vexlor::SceneTile)

#endif // VEXLORTYPES_H
