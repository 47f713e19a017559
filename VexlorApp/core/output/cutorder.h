#ifndef CUTORDER_H
#define CUTORDER_H

#include <QList>
#include <QPainterPath>
#include <QPointF>
#include <QString>
#include <QVector>

namespace Vexlor {

// The order in which the vector block cuts the job's shapes (setting
// "vectorSort").
enum class CutOrder {
    // Every path as the document draws it; the stream is the same as without
    // any sorting.
    None,
    // A shape that lies inside a closed shape is cut before it, so that a part
    // is never cut free before its holes are; otherwise document order.
    Inner,
    // Inner-first, and among the shapes allowed next the one nearest the head;
    // a closed shape is started at its corner nearest the head, an open one
    // at its end nearest the head (cut backwards when that is its end).
    Nearest,
};

// "inner" (or "inside", the name older queue descriptions used) and
// "nearest"; anything else, an absent value included, is document order.
CutOrder cutOrderFromSetting(const QString &value);

// Puts the subpaths of paths (each starting with a move-to) in cutting order,
// the head starting at start. Every subpath of the input comes out exactly
// once, with the same segments; only a closed one may be started at another
// of its corners, and an open one cut from its end back to its start. The result depends on nothing but the
// input: ties go to the shape that comes first in the document.
//
// The result is a list of element runs, written as they stand: with None one
// run per path, all its elements in document order (nothing is rebuilt, so a
// zero-length segment stays); with the other orders one run per subpath.
using PathElements = QVector<QPainterPath::Element>;
QList<PathElements> orderCuts(const QList<QPainterPath> &paths, CutOrder order, QPointF start = QPointF());

// Length of the head's moves with the pen up, from start through the runs in
// the given order, in device pixels.
double travelLength(const QList<PathElements> &runs, QPointF start = QPointF());

} // namespace Vexlor

#endif // CUTORDER_H
