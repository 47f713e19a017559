#include "dashsplitter.h"

#include <QLineF>

#include <algorithm>
#include <cmath>

namespace {

struct Polyline
{
    QVector<QPointF> points;
    bool closed = false;
};

QVector<Polyline> flatten(const scenePath &path)
{
    QVector<Polyline> lines;
    QPointF current;
    for (const scenePath::Segment &segment : path.segments()) {
        switch (segment.kind) {
        case scenePath::Move:
            lines.append(Polyline());
            current = segment.points[0];
            lines.last().points.append(current);
            break;
        case scenePath::Line:
            if (lines.isEmpty())
                lines.append(Polyline { { current }, false });
            current = segment.points[0];
            lines.last().points.append(current);
            break;
        case scenePath::Curve: {
            if (lines.isEmpty())
                lines.append(Polyline { { current }, false });
            const QPointF p0 = current;
            const QPointF &p1 = segment.points[0];
            const QPointF &p2 = segment.points[1];
            const QPointF &p3 = segment.points[2];
            const double hull = QLineF(p0, p1).length() + QLineF(p1, p2).length() + QLineF(p2, p3).length();
            const int steps = std::clamp(int(std::ceil(hull / 1.5)), 4, 2000);
            for (int i = 1; i <= steps; ++i) {
                const double t = double(i) / steps;
                const double u = 1.0 - t;
                lines.last().points.append(
                    u * u * u * p0 + 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t * p3);
            }
            current = p3;
            break;
        }
        case scenePath::Close:
            if (!lines.isEmpty()) {
                lines.last().closed = true;
                current = lines.last().points.first();
                // a segment after closepath starts a new subpath here
                lines.append(Polyline { { current }, false });
            }
            break;
        }
    }
    return lines;
}

} // namespace

qint64 dashSplitter::pieceCount(const scenePath &path, const QVector<double> &dashes)
{
    if (!isDashed(dashes))
        return 0;
    double period = 0;
    for (double d : dashes)
        period += d;
    if (dashes.size() % 2 == 1)
        period *= 2;
    const int dashesPerPeriod = dashes.size() % 2 == 1 ? int(dashes.size()) : int(dashes.size() / 2);
    constexpr double huge = 9e15;
    double pieces = 0;
    for (const Polyline &line : flatten(path)) {
        double length = 0;
        for (int i = 1; i < line.points.size(); ++i)
            length += QLineF(line.points[i - 1], line.points[i]).length();
        if (line.closed && line.points.size() > 1)
            length += QLineF(line.points.last(), line.points.first()).length();
        pieces += (std::ceil(length / period) + 1) * dashesPerPeriod;
        if (pieces > huge)
            return qint64(huge);
    }
    return qint64(pieces);
}

bool dashSplitter::isDashed(const QVector<double> &dashes)
{
    if (dashes.isEmpty())
        return false;
    double total = 0;
    for (double d : dashes) {
        if (d < 0)
            return false;
        total += d;
    }
    return total > 0;
}

scenePath dashSplitter::apply(const scenePath &path, QVector<double> dashes, double offset)
{
    if (!isDashed(dashes))
        return path;
    if (dashes.size() % 2 == 1)
        dashes += dashes;
    double total = 0;
    for (double d : dashes)
        total += d;

    scenePath result;
    for (const Polyline &line : flatten(path)) {
        QVector<QPointF> points = line.points;
        if (line.closed && points.size() > 1)
            points.append(points.first());
        if (points.size() < 2)
            continue;

        int index = 0;
        double position = std::fmod(offset, total);
        if (position < 0)
            position += total;
        // an offset at the very end of a dash starts in the gap after it;
        // a dash of zero length at the start is still drawn
        while (position > dashes[index] || (position == dashes[index] && dashes[index] > 0)) {
            position -= dashes[index];
            index = (index + 1) % dashes.size();
        }
        double remaining = dashes[index] - position;
        bool on = index % 2 == 0;
        bool drawing = false;
        auto startDash = [&](const QPointF &p) {
            result.moveTo(p);
            drawing = true;
        };
        auto endDash = [&](const QPointF &p) {
            result.lineTo(p);
            drawing = false;
        };
        if (on)
            startDash(points.first());

        for (int i = 1; i < points.size(); ++i) {
            QPointF from = points[i - 1];
            const QPointF to = points[i];
            double length = QLineF(from, to).length();
            while (length > 0 && remaining <= length) {
                const QPointF at = from + (to - from) * (remaining / length);
                if (on)
                    endDash(at);
                length -= remaining;
                from = at;
                index = (index + 1) % dashes.size();
                remaining = dashes[index];
                on = !on;
                if (on) {
                    startDash(at);
                    // a dash of zero length is a dot, drawn by the caps
                    if (remaining == 0)
                        endDash(at);
                }
                if (remaining == 0 && on) {
                    index = (index + 1) % dashes.size();
                    remaining = dashes[index];
                    on = false;
                }
            }
            remaining -= length;
            if (on && drawing)
                result.lineTo(to);
        }
    }
    // a dash that starts exactly where its subpath ends has no length; it
    // is kept only when the pattern itself asks for dots
    bool dots = false;
    for (int i = 0; i < dashes.size(); i += 2)
        dots = dots || dashes[i] == 0;
    scenePath kept;
    const QVector<scenePath::Segment> &segments = result.segments();
    for (int i = 0; i < segments.size();) {
        int end = i + 1;
        double length = 0;
        while (end < segments.size() && segments.at(end).kind != scenePath::Move) {
            length += QLineF(segments.at(end - 1).points[0], segments.at(end).points[0]).length();
            ++end;
        }
        if (end > i + 1 && (length > 0 || dots)) {
            kept.moveTo(segments.at(i).points[0]);
            for (int k = i + 1; k < end; ++k)
                kept.lineTo(segments.at(k).points[0]);
        }
        i = end;
    }
    return kept;
}
