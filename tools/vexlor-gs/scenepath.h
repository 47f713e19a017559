#ifndef SCENEPATH_H
#define SCENEPATH_H

#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QVector>

// A path in device pixels as the interpreter built it, closepath kept
// apart from a line back to the start (a stroke treats them differently).
class scenePath
{
public:
    enum Kind { Move, Line, Curve, Close };
    struct Segment
    {
        Kind kind;
        QPointF points[3];
    };

    void moveTo(const QPointF &p) { m_segments.append({ Move, { p, {}, {} } }); }
    void lineTo(const QPointF &p) { m_segments.append({ Line, { p, {}, {} } }); }
    void curveTo(const QPointF &c1, const QPointF &c2, const QPointF &p)
    {
        m_segments.append({ Curve, { c1, c2, p } });
    }
    void close() { m_segments.append({ Close, { {}, {}, {} } }); }

    const QVector<Segment> &segments() const { return m_segments; }
    bool isEmpty() const { return m_segments.isEmpty(); }
    // true when something is drawn: a segment beyond the first moveto
    bool hasExtent() const;
    int subpathCount() const;
    QRectF boundingRect() const;

    QPainterPath toPainterPath(Qt::FillRule rule) const;
    static scenePath fromPainterPath(const QPainterPath &path);
    static scenePath fromRect(const QRectF &rect);

private:
    QVector<Segment> m_segments;
};

#endif // SCENEPATH_H
