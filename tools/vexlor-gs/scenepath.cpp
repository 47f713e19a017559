#include "scenepath.h"

bool scenePath::hasExtent() const
{
    for (const Segment &segment : m_segments)
        if (segment.kind == Line || segment.kind == Curve)
            return true;
    return false;
}

int scenePath::subpathCount() const
{
    int count = 0;
    for (const Segment &segment : m_segments)
        if (segment.kind == Move)
            ++count;
    return count;
}

QRectF scenePath::boundingRect() const
{
    bool first = true;
    qreal left = 0, top = 0, right = 0, bottom = 0;
    auto add = [&](const QPointF &p) {
        if (first) {
            left = right = p.x();
            top = bottom = p.y();
            first = false;
            return;
        }
        left = qMin(left, p.x());
        right = qMax(right, p.x());
        top = qMin(top, p.y());
        bottom = qMax(bottom, p.y());
    };
    for (const Segment &segment : m_segments) {
        if (segment.kind == Close)
            continue;
        add(segment.points[0]);
        if (segment.kind == Curve) {
            add(segment.points[1]);
            add(segment.points[2]);
        }
    }
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

QPainterPath scenePath::toPainterPath(Qt::FillRule rule) const
{
    QPainterPath path;
    path.setFillRule(rule);
    for (const Segment &segment : m_segments) {
        switch (segment.kind) {
        case Move:
            path.moveTo(segment.points[0]);
            break;
        case Line:
            path.lineTo(segment.points[0]);
            break;
        case Curve:
            path.cubicTo(segment.points[0], segment.points[1], segment.points[2]);
            break;
        case Close:
            path.closeSubpath();
            break;
        }
    }
    return path;
}

scenePath scenePath::fromPainterPath(const QPainterPath &path)
{
    scenePath result;
    QPointF start;
    QPointF last;
    bool open = false;
    auto finish = [&]() {
        if (open && last == start)
            result.close();
        open = false;
    };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            finish();
            start = last = QPointF(e.x, e.y);
            result.moveTo(start);
            open = true;
            break;
        case QPainterPath::LineToElement:
            last = QPointF(e.x, e.y);
            result.lineTo(last);
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < path.elementCount()) {
                const QPainterPath::Element c2 = path.elementAt(i + 1);
                const QPainterPath::Element end = path.elementAt(i + 2);
                last = QPointF(end.x, end.y);
                result.curveTo(QPointF(e.x, e.y), QPointF(c2.x, c2.y), last);
                i += 2;
            }
            break;
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    finish();
    return result;
}

scenePath scenePath::fromRect(const QRectF &rect)
{
    scenePath result;
    result.moveTo(rect.topLeft());
    result.lineTo(rect.topRight());
    result.lineTo(rect.bottomRight());
    result.lineTo(rect.bottomLeft());
    result.close();
    return result;
}
