#include "cutorder.h"

#include <queue>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace Vexlor {

namespace {

// Pieces of a cubic Bézier in the outline used for containment and area.
const int CurvePieces = 8;
// A point this close to an edge lies on it (device pixels): shapes that touch
// along an edge still count as one inside the other.
const double OnEdge = 1e-3;
// Most cells along a side of the grids that find the shapes inside a shape
// and the shape nearest the head.
const int MaxGridSide = 1024;

QPointF finitePoint(double x, double y)
{
    return QPointF(std::isfinite(x) ? x : 0.0, std::isfinite(y) ? y : 0.0);
}

double squaredDistance(const QPointF &a, const QPointF &b)
{
    const double dx = a.x() - b.x();
    const double dy = a.y() - b.y();
    return dx * dx + dy * dy;
}

struct Shape
{
    PathElements elements;
    // Where each segment starts in elements (the move-to is element 0).
    std::vector<int> segmentStarts;
    bool closed = false;
    // An open path of plain segments may be cut from either end.
    bool reversible = false;
    // Outline with the curves flattened, for containment and area.
    std::vector<QPointF> outline;
    QRectF bounds;
    double area = 0;
    // Shapes that contain this one, and how many shapes this one still waits for.
    std::vector<int> containers;
    int pending = 0;
    bool done = false;

    QPointF pointAt(int element) const
    {
        const QPainterPath::Element &e = elements.at(element);
        return finitePoint(e.x, e.y);
    }
    // Where the shape may be started: for a closed shape the corner where
    // segment k starts (k = 0 is the move-to); for an open one its start
    // (0) or its end (1).
    QPointF corner(int k) const
    {
        if (k == 0)
            return pointAt(0);
        return closed ? pointAt(segmentStarts[size_t(k)] - 1) : pointAt(elements.size() - 1);
    }
    int cornerCount() const { return closed ? int(segmentStarts.size()) : reversible ? 2 : 1; }
};

// Splits out the segments of one subpath: a line-to, or a curve-to with its
// two data points. Returns false when the elements do not form such segments
// (then the subpath is never started elsewhere than at its move-to).
bool findSegments(Shape &shape)
{
    const PathElements &e = shape.elements;
    shape.segmentStarts.reserve(size_t(e.size()));
    int i = 1;
    while (i < e.size()) {
        shape.segmentStarts.push_back(i);
        if (e.at(i).type == QPainterPath::LineToElement) {
            ++i;
        } else if (e.at(i).type == QPainterPath::CurveToElement && i + 2 < e.size()
            && e.at(i + 1).type == QPainterPath::CurveToDataElement
            && e.at(i + 2).type == QPainterPath::CurveToDataElement) {
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

void buildOutline(Shape &shape)
{
    const PathElements &e = shape.elements;
    shape.outline.reserve(size_t(e.size()) * 2);
    shape.outline.push_back(shape.pointAt(0));
    for (int i = 1; i < e.size(); ++i) {
        if (e.at(i).type == QPainterPath::CurveToElement && i + 2 < e.size()
            && e.at(i + 1).type == QPainterPath::CurveToDataElement
            && e.at(i + 2).type == QPainterPath::CurveToDataElement) {
            const QPointF p0 = shape.outline.back();
            const QPointF c1 = shape.pointAt(i), c2 = shape.pointAt(i + 1), p3 = shape.pointAt(i + 2);
            for (int k = 1; k <= CurvePieces; ++k) {
                const double t = double(k) / CurvePieces, u = 1 - t;
                shape.outline.push_back(
                    u * u * u * p0 + 3 * u * u * t * c1 + 3 * u * t * t * c2 + t * t * t * p3);
            }
            i += 2;
        } else {
            shape.outline.push_back(shape.pointAt(i));
        }
    }
    double left = shape.outline.front().x(), right = left;
    double top = shape.outline.front().y(), bottom = top;
    for (const QPointF &p : shape.outline) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    shape.bounds = QRectF(QPointF(left, top), QPointF(right, bottom));
    if (shape.closed) {
        double twice = 0;
        for (size_t k = 0; k + 1 < shape.outline.size(); ++k) {
            const QPointF &a = shape.outline[k], &b = shape.outline[k + 1];
            twice += a.x() * b.y() - b.x() * a.y();
        }
        shape.area = std::abs(twice) / 2;
    }
}

bool onSegment(const QPointF &p, const QPointF &a, const QPointF &b)
{
    const QPointF d = b - a;
    const double length2 = d.x() * d.x() + d.y() * d.y();
    double t = length2 > 0 ? QPointF::dotProduct(p - a, d) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return squaredDistance(p, a + t * d) <= OnEdge * OnEdge;
}

// The edges of a long outline (edge k from corner k to k + 1) by horizontal
// band, so that a point is only tested against the edges near its height.
struct EdgeBands
{
    double top = 0;
    double bandHeight = 1;
    std::vector<std::vector<int>> bands;

    explicit EdgeBands(const std::vector<QPointF> &outline, const QRectF &bounds)
        : top(bounds.top() - OnEdge)
    {
        const int count = std::clamp(int(outline.size() / 4), 1, 4096);
        bandHeight = std::max((bounds.height() + 2 * OnEdge) / count, 1e-9);
        bands.resize(size_t(count));
        for (size_t k = 0; k + 1 < outline.size(); ++k) {
            const double low = std::min(outline[k].y(), outline[k + 1].y()) - OnEdge;
            const double high = std::max(outline[k].y(), outline[k + 1].y()) + OnEdge;
            for (int b = band(low); b <= band(high); ++b)
                bands[size_t(b)].push_back(int(k));
        }
    }
    int band(double y) const
    {
        const double b = (y - top) / bandHeight;
        if (!(b > 0))
            return 0;
        return b >= double(bands.size() - 1) ? int(bands.size() - 1) : int(b);
    }
};

// Outlines with more corners than this get their edges sorted into bands.
const size_t BandedOutline = 64;

// Inside or on the closed outline (even-odd rule).
bool insideOrOn(const QPointF &p, const std::vector<QPointF> &outline, const EdgeBands *bands)
{
    bool inside = false;
    auto edge = [&](size_t k) {
        const QPointF &a = outline[k], &b = outline[k + 1];
        if (onSegment(p, a, b))
            return true;
        if ((a.y() > p.y()) != (b.y() > p.y())) {
            const double x = a.x() + (p.y() - a.y()) * (b.x() - a.x()) / (b.y() - a.y());
            if (p.x() < x)
                inside = !inside;
        }
        return false;
    };
    if (bands) {
        // Every edge that crosses the point's height or passes within reach
        // of the point is in its band.
        for (int k : bands->bands[size_t(bands->band(p.y()))]) {
            if (edge(size_t(k)))
                return true;
        }
        return inside;
    }
    for (size_t k = 0; k + 1 < outline.size(); ++k) {
        if (edge(k))
            return true;
    }
    return inside;
}

// Inner lies in outer: a strictly smaller area (so that two shapes never lie
// in each other, and identical shapes in neither), every corner of it and
// the mean of its corners inside outer or on its edge.
bool liesIn(const Shape &inner, const Shape &outer, const EdgeBands *bands)
{
    if (!outer.closed || !(inner.area < outer.area))
        return false;
    QPointF sum;
    for (const QPointF &p : inner.outline) {
        if (!insideOrOn(p, outer.outline, bands))
            return false;
        sum += p;
    }
    return insideOrOn(sum / double(inner.outline.size()), outer.outline, bands);
}

void findContainment(std::vector<Shape> &shapes)
{
    if (shapes.empty())
        return;
    // Shapes by the cell of a grid over the page that holds the top left
    // corner of their bounds: the candidates for lying in a shape are those
    // of the cells its bounds cover.
    double left = shapes.front().bounds.left(), right = left;
    double top = shapes.front().bounds.top(), bottom = top;
    for (const Shape &s : shapes) {
        left = std::min(left, s.bounds.left());
        right = std::max(right, s.bounds.left());
        top = std::min(top, s.bounds.top());
        bottom = std::max(bottom, s.bounds.top());
    }
    const int side = std::clamp(int(std::sqrt(double(shapes.size()))), 1, MaxGridSide);
    const double cellWidth = std::max((right - left) / side, 1e-9);
    const double cellHeight = std::max((bottom - top) / side, 1e-9);
    auto cell = [side](double v) {
        if (!(v > 0))
            return 0;
        return v >= side - 1 ? side - 1 : int(v);
    };
    std::vector<std::vector<int>> cells(size_t(side) * size_t(side));
    for (size_t i = 0; i < shapes.size(); ++i) {
        const QRectF &b = shapes[i].bounds;
        cells[size_t(cell((b.top() - top) / cellHeight)) * size_t(side)
            + size_t(cell((b.left() - left) / cellWidth))]
            .push_back(int(i));
    }
    for (size_t o = 0; o < shapes.size(); ++o) {
        Shape &outer = shapes[o];
        if (!outer.closed || !(outer.area > 0))
            continue;
        const QRectF &b = outer.bounds;
        const int x0 = cell((b.left() - left) / cellWidth), x1 = cell((b.right() - left) / cellWidth);
        const int y0 = cell((b.top() - top) / cellHeight), y1 = cell((b.bottom() - top) / cellHeight);
        std::unique_ptr<EdgeBands> bands;
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                for (int i : cells[size_t(y) * size_t(side) + size_t(x)]) {
                    if (size_t(i) == o)
                        continue;
                    Shape &inner = shapes[size_t(i)];
                    const QRectF &ib = inner.bounds;
                    if (ib.left() < b.left() || ib.right() > b.right() || ib.top() < b.top()
                        || ib.bottom() > b.bottom())
                        continue;
                    if (!bands && outer.outline.size() > BandedOutline)
                        bands = std::make_unique<EdgeBands>(outer.outline, outer.bounds);
                    if (liesIn(inner, outer, bands.get())) {
                        inner.containers.push_back(int(o));
                        ++outer.pending;
                    }
                }
            }
        }
    }
}

// The corners of the shapes that may be cut next, in a grid, for the search
// of the one nearest the head.
class CornerGrid
{
public:
    explicit CornerGrid(const std::vector<Shape> &shapes)
        : m_shapes(shapes)
    {
        size_t corners = 0;
        bool any = false;
        double left = 0, right = 0, top = 0, bottom = 0;
        for (const Shape &s : shapes) {
            for (int k = 0; k < s.cornerCount(); ++k) {
                const QPointF p = s.corner(k);
                if (!any) {
                    left = right = p.x();
                    top = bottom = p.y();
                    any = true;
                }
                left = std::min(left, p.x());
                right = std::max(right, p.x());
                top = std::min(top, p.y());
                bottom = std::max(bottom, p.y());
                ++corners;
            }
        }
        m_side = std::clamp(int(std::sqrt(double(corners) / 2)), 1, MaxGridSide);
        m_left = left;
        m_top = top;
        m_cellWidth = std::max((right - left) / m_side, 1e-9);
        m_cellHeight = std::max((bottom - top) / m_side, 1e-9);
        m_cells.resize(size_t(m_side) * size_t(m_side));
    }

    void insert(int shape)
    {
        const Shape &s = m_shapes[size_t(shape)];
        for (int k = 0; k < s.cornerCount(); ++k) {
            const QPointF p = s.corner(k);
            m_cells[cellIndex(column(p.x()), row(p.y()))].push_back({ shape, k });
        }
    }

    // The corner nearest to head among the shapes not yet done: the nearest
    // first, then the lower shape index, then the lower corner.
    bool nearest(const QPointF &head, int *shape, int *corner)
    {
        const int hx = column(head.x());
        const int hy = row(head.y());
        double best = std::numeric_limits<double>::infinity();
        int bestShape = -1, bestCorner = -1;
        for (int r = 0;; ++r) {
            const int x0 = hx - r, x1 = hx + r, y0 = hy - r, y1 = hy + r;
            for (int y = std::max(y0, 0); y <= std::min(y1, m_side - 1); ++y) {
                const bool edgeRow = y == y0 || y == y1;
                for (int x = std::max(x0, 0); x <= std::min(x1, m_side - 1); ++x) {
                    if (!edgeRow && x != x0 && x != x1) {
                        x = std::max(x, x1 - 1);
                        continue;
                    }
                    scan(cellIndex(x, y), head, &best, &bestShape, &bestCorner);
                }
            }
            const bool all = x0 <= 0 && y0 <= 0 && x1 >= m_side - 1 && y1 >= m_side - 1;
            if (all)
                break;
            if (bestShape >= 0) {
                // Nothing beyond the rings searched can be as near as this.
                const double margin = std::min(
                    { head.x() - (m_left + x0 * m_cellWidth), m_left + (x1 + 1) * m_cellWidth - head.x(),
                        head.y() - (m_top + y0 * m_cellHeight), m_top + (y1 + 1) * m_cellHeight - head.y() });
                if (margin > 0 && best < margin * margin)
                    break;
            }
        }
        *shape = bestShape;
        *corner = bestCorner;
        return bestShape >= 0;
    }

private:
    struct Entry
    {
        int shape;
        int corner;
    };

    int column(double x) const { return clampCell((x - m_left) / m_cellWidth); }
    int row(double y) const { return clampCell((y - m_top) / m_cellHeight); }
    int clampCell(double v) const
    {
        if (!(v > 0))
            return 0;
        return v >= m_side - 1 ? m_side - 1 : int(v);
    }
    size_t cellIndex(int x, int y) const { return size_t(y) * size_t(m_side) + size_t(x); }

    void scan(size_t cell, const QPointF &head, double *best, int *bestShape, int *bestCorner)
    {
        std::vector<Entry> &entries = m_cells[cell];
        for (size_t i = 0; i < entries.size();) {
            const Entry e = entries[i];
            const Shape &s = m_shapes[size_t(e.shape)];
            if (s.done) {
                // Cut already: forget its corners as they turn up.
                entries[i] = entries.back();
                entries.pop_back();
                continue;
            }
            const double d = squaredDistance(head, s.corner(e.corner));
            if (d < *best
                || (d == *best
                    && (e.shape < *bestShape || (e.shape == *bestShape && e.corner < *bestCorner)))) {
                *best = d;
                *bestShape = e.shape;
                *bestCorner = e.corner;
            }
            ++i;
        }
    }

    const std::vector<Shape> &m_shapes;
    int m_side = 1;
    double m_left = 0, m_top = 0, m_cellWidth = 1, m_cellHeight = 1;
    std::vector<std::vector<Entry>> m_cells;
};

// The open shape's segments from its end back to its start; a curve keeps
// its control points, taken in the opposite order.
PathElements reversed(const Shape &shape)
{
    const PathElements &e = shape.elements;
    PathElements out;
    out.reserve(e.size());
    QPainterPath::Element move = e.constLast();
    move.type = QPainterPath::MoveToElement;
    out.append(move);
    for (size_t k = shape.segmentStarts.size(); k-- > 0;) {
        const int first = shape.segmentStarts[k];
        QPainterPath::Element start = e.at(first - 1);
        if (e.at(first).type == QPainterPath::CurveToElement) {
            QPainterPath::Element c1 = e.at(first + 1), c2 = e.at(first);
            c1.type = QPainterPath::CurveToElement;
            c2.type = QPainterPath::CurveToDataElement;
            start.type = QPainterPath::CurveToDataElement;
            out << c1 << c2 << start;
        } else {
            start.type = QPainterPath::LineToElement;
            out << start;
        }
    }
    return out;
}

// The shape's elements, started at corner k: a closed shape goes round from
// there and ends where it started, an open one runs from its end back, each
// with the same segments.
PathElements startedAt(const Shape &shape, int k)
{
    if (k == 0)
        return shape.elements;
    if (!shape.closed)
        return reversed(shape);
    const PathElements &e = shape.elements;
    PathElements out;
    out.reserve(e.size());
    QPainterPath::Element move = e.at(shape.segmentStarts[size_t(k)] - 1);
    move.type = QPainterPath::MoveToElement;
    out.append(move);
    for (int i = shape.segmentStarts[size_t(k)]; i < e.size(); ++i)
        out.append(e.at(i));
    for (int i = 1; i < shape.segmentStarts[size_t(k)]; ++i)
        out.append(e.at(i));
    return out;
}

QPointF endOf(const PathElements &elements)
{
    const QPainterPath::Element &e = elements.constLast();
    return finitePoint(e.x, e.y);
}

std::vector<Shape> splitShapes(const QList<QPainterPath> &paths)
{
    std::vector<Shape> shapes;
    shapes.reserve(size_t(paths.size()));
    for (const QPainterPath &path : paths) {
        const int count = path.elementCount();
        for (int i = 0; i < count;) {
            int j = i + 1;
            while (j < count && path.elementAt(j).type != QPainterPath::MoveToElement)
                ++j;
            Shape s;
            s.elements.reserve(j - i);
            for (int k = i; k < j; ++k)
                s.elements.append(path.elementAt(k));
            i = j;
            const bool segments = findSegments(s);
            if (!segments)
                s.segmentStarts.clear();
            // Closed: back at its start after at least two segments. A shape
            // whose elements are no plain segments is only ever entered at its start.
            s.closed = segments && s.segmentStarts.size() >= 2 && s.pointAt(0) == endOf(s.elements);
            s.reversible = segments && !s.closed && !s.segmentStarts.empty();
            buildOutline(s);
            shapes.push_back(std::move(s));
        }
    }
    return shapes;
}

} // namespace

CutOrder cutOrderFromSetting(const QString &value)
{
    if (value == QLatin1String("inner") || value == QLatin1String("inside"))
        return CutOrder::Inner;
    if (value == QLatin1String("nearest"))
        return CutOrder::Nearest;
    return CutOrder::None;
}

QList<PathElements> orderCuts(const QList<QPainterPath> &paths, CutOrder order, QPointF start)
{
    QList<PathElements> out;
    if (order == CutOrder::None) {
        out.reserve(paths.size());
        for (const QPainterPath &path : paths) {
            PathElements elements;
            elements.reserve(path.elementCount());
            for (int i = 0; i < path.elementCount(); ++i)
                elements.append(path.elementAt(i));
            out.append(elements);
        }
        return out;
    }

    std::vector<Shape> shapes = splitShapes(paths);
    findContainment(shapes);
    out.reserve(int(shapes.size()));

    auto release = [&shapes](int taken, auto &&ready) {
        shapes[size_t(taken)].done = true;
        for (int c : shapes[size_t(taken)].containers) {
            if (--shapes[size_t(c)].pending == 0)
                ready(c);
        }
    };

    if (order == CutOrder::Inner) {
        // Document order among the shapes whose inner shapes are all cut.
        std::priority_queue<int, std::vector<int>, std::greater<int>> ready;
        for (size_t i = 0; i < shapes.size(); ++i) {
            if (shapes[i].pending == 0)
                ready.push(int(i));
        }
        while (!ready.empty()) {
            const int s = ready.top();
            ready.pop();
            out.append(shapes[size_t(s)].elements);
            release(s, [&ready](int c) { ready.push(c); });
        }
        return out;
    }

    CornerGrid grid(shapes);
    for (size_t i = 0; i < shapes.size(); ++i) {
        if (shapes[i].pending == 0)
            grid.insert(int(i));
    }
    QPointF head = finitePoint(start.x(), start.y());
    int s = -1, corner = -1;
    while (grid.nearest(head, &s, &corner)) {
        PathElements elements = startedAt(shapes[size_t(s)], corner);
        head = endOf(elements);
        out.append(std::move(elements));
        release(s, [&grid](int c) { grid.insert(c); });
    }
    return out;
}

double travelLength(const QList<PathElements> &runs, QPointF start)
{
    QPointF head = finitePoint(start.x(), start.y());
    double length = 0;
    for (const PathElements &run : runs) {
        for (const QPainterPath::Element &e : run) {
            const QPointF p = finitePoint(e.x, e.y);
            if (e.type == QPainterPath::MoveToElement)
                length += std::sqrt(squaredDistance(head, p));
            // Control points of a curve are not where the head goes; the
            // curve's last data point is.
            if (e.type != QPainterPath::CurveToElement)
                head = p;
        }
    }
    return length;
}

} // namespace Vexlor
