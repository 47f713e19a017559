#include "clipstore.h"

#include <QPolygonF>

namespace {

double signedArea(const QPolygonF &polygon)
{
    double area = 0;
    for (int i = 0, n = polygon.size(); i < n; ++i) {
        const QPointF &a = polygon[i];
        const QPointF &b = polygon[(i + 1) % n];
        area += a.x() * b.y() - b.x() * a.y();
    }
    return area / 2;
}

// Polygons beyond this count are written as the boolean operation left
// them; checking their nesting would cost more than it brings.
constexpr int maxOrientedPolygons = 400;

} // namespace

void clipStore::setPage(const QRectF &page)
{
    m_page = page;
    m_resolved.clear();
}

void clipStore::define(int id, int parent, bool evenOdd, const scenePath &path)
{
    m_entries.insert(id, Entry { parent, evenOdd, path });
    m_resolved.remove(id);
}

scenePath clipStore::orientForAnyRule(const QPainterPath &path)
{
    QList<QPolygonF> polygons = path.toSubpathPolygons();
    if (polygons.size() <= maxOrientedPolygons) {
        for (int i = 0; i < polygons.size(); ++i) {
            if (polygons[i].isEmpty())
                continue;
            int depth = 0;
            const QPointF probe = polygons[i].first();
            for (int j = 0; j < polygons.size(); ++j)
                if (j != i && polygons[j].containsPoint(probe, Qt::OddEvenFill))
                    ++depth;
            const bool outer = depth % 2 == 0;
            const double area = signedArea(polygons[i]);
            if ((outer && area < 0) || (!outer && area > 0))
                std::reverse(polygons[i].begin(), polygons[i].end());
        }
    }
    scenePath result;
    for (const QPolygonF &polygon : polygons) {
        if (polygon.size() < 3)
            continue;
        result.moveTo(polygon.first());
        for (int i = 1; i < polygon.size(); ++i)
            if (polygon[i] != polygon.first() || i + 1 < polygon.size())
                result.lineTo(polygon[i]);
        result.close();
    }
    return result;
}

const clipStore::Resolved &clipStore::resolve(int id)
{
    auto found = m_resolved.constFind(id);
    if (found != m_resolved.constEnd())
        return *found;

    Resolved resolved;
    QVector<const Entry *> chain;
    for (int at = id; at != 0 && m_entries.contains(at) && chain.size() < 100000;) {
        const Entry &entry = m_entries[at];
        chain.append(&entry);
        at = entry.parent;
    }
    if (chain.isEmpty()) {
        resolved.path = scenePath::fromRect(m_page);
        resolved.bounds = m_page;
    } else {
        bool simple = chain.size() == 1 && chain.first()->path.subpathCount() == 1;
        if (simple) {
            const QRectF bounds = chain.first()->path.boundingRect();
            simple = m_page.adjusted(-0.5, -0.5, 0.5, 0.5).contains(bounds);
        }
        if (simple) {
            resolved.path = chain.first()->path;
        } else {
            QPainterPath area;
            area.addRect(m_page);
            for (const Entry *entry : chain) {
                area = area.intersected(
                    entry->path.toPainterPath(entry->evenOdd ? Qt::OddEvenFill : Qt::WindingFill));
                if (area.isEmpty())
                    break;
            }
            resolved.path = orientForAnyRule(area);
        }
        resolved.bounds = resolved.path.boundingRect();
        resolved.empty
            = !resolved.path.hasExtent() || resolved.bounds.width() <= 0 || resolved.bounds.height() <= 0;
    }
    return *m_resolved.insert(id, resolved);
}
