#ifndef CLIPSTORE_H
#define CLIPSTORE_H

#include "scenepath.h"

#include <QHash>
#include <QRectF>

// The clip paths of a page. Each clip operation of the job is one entry
// that refers to the clip it narrowed (0: the page itself); the clip in
// force for an item is the intersection along that chain, computed once
// per entry. Results are written so that even-odd and nonzero filling
// agree on them, since a reader may fill a clip path by either rule.
class clipStore
{
public:
    struct Resolved
    {
        scenePath path;
        QRectF bounds;
        bool empty = false;
    };

    void setPage(const QRectF &page);
    void define(int id, int parent, bool evenOdd, const scenePath &path);
    bool contains(int id) const { return id == 0 || m_entries.contains(id); }
    const Resolved &resolve(int id);

private:
    struct Entry
    {
        int parent = 0;
        bool evenOdd = false;
        scenePath path;
    };
    static scenePath orientForAnyRule(const QPainterPath &path);

    QRectF m_page;
    QHash<int, Entry> m_entries;
    QHash<int, Resolved> m_resolved;
};

#endif // CLIPSTORE_H
