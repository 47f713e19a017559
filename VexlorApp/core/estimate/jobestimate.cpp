#include "jobestimate.h"

#include "jobdecoder.h"

#include <QLineF>

#include <cmath>

namespace Vexlor {

namespace {

// The job's percentage of a top speed: the value the stream carries, the
// writer's default when it carries none or no number, at most 100 and never
// so small that the head would stand still.
double percentOf(double value)
{
    if (!std::isfinite(value) || value <= 0)
        return 1;
    return std::min(value, 100.0);
}

double percentOf(const std::optional<QByteArray> &value)
{
    bool ok = false;
    const double v = value ? value->trimmed().toDouble(&ok) : 0;
    return ok ? percentOf(v) : 50;
}

// Arc length of a cubic Bézier: the polyline through 64 points of it is
// within a fraction of a per cent for the curves a page holds.
double curveLength(const QPointF &p0, const QPointF &c1, const QPointF &c2, const QPointF &p3)
{
    const int pieces = 64;
    double length = 0;
    QPointF previous = p0;
    for (int k = 1; k <= pieces; ++k) {
        const double t = double(k) / pieces, u = 1 - t;
        const QPointF p = u * u * u * p0 + 3 * u * u * t * c1 + 3 * u * t * t * c2 + t * t * t * p3;
        length += QLineF(previous, p).length();
        previous = p;
    }
    return length;
}

} // namespace

double jobEstimate::moveSeconds(double inches, double topSpeed, double acceleration)
{
    if (!(inches > 0) || !(topSpeed > 0))
        return 0;
    if (!(acceleration > 0) || !std::isfinite(acceleration))
        return inches / topSpeed;
    // Speeding up to the top speed and braking from it take v / a each and
    // cover v^2 / a together.
    if (inches >= topSpeed * topSpeed / acceleration)
        return inches / topSpeed + topSpeed / acceleration;
    return 2 * std::sqrt(inches / acceleration);
}

jobEstimate jobEstimate::fromJob(const JobDecoder::DecodedJob &job, const machineTiming &timing)
{
    jobEstimate e;
    e.valid = true;
    const double dpi = job.resolution > 0 ? job.resolution : JobDecoder::DefaultResolution;
    const JobDecoder::JobSettings &s = job.settings;
    e.rasterSpeed = timing.rasterSpeed * percentOf(s.rasterSpeed ? *s.rasterSpeed : 50.0) / 100;
    e.vectorSpeed = timing.vectorSpeed * percentOf(s.vectorSpeed) / 100;

    QPointF head; // inches
    for (const JobDecoder::RasterRow &row : job.rows) {
        const double bytes = std::abs(double(row.byteCount));
        const double left = row.x / dpi - timing.turnaround;
        const double right = (row.x + 8 * bytes) / dpi + timing.turnaround;
        const double y = row.y / dpi;
        const bool reverse = row.byteCount < 0;
        const QPointF begin(reverse ? right : left, y);
        const double move = QLineF(head, begin).length();
        e.rasterMoveInches += move;
        e.rasterSeconds += moveSeconds(move, timing.vectorSpeed, timing.acceleration);
        const double pass = right - left;
        e.rasterPassInches += pass;
        e.rasterSeconds += pass / e.rasterSpeed;
        head = QPointF(reverse ? left : right, y);
        ++e.rasterRows;
    }

    // The vector block starts again from home.
    QPointF pen;
    bool penDown = false;
    const auto &points = job.vectorPoints;
    for (int i = 0; i < points.size(); ++i) {
        const JobDecoder::VectorPoint &v = points.at(i);
        const QPointF p = v.point / dpi;
        double length = 0;
        if (v.type == QPainterPath::CurveToElement && i + 2 < points.size()) {
            length = curveLength(pen, p, points.at(i + 1).point / dpi, points.at(i + 2).point / dpi);
            i += 2;
        } else {
            length = QLineF(pen, p).length();
        }
        const bool cut = v.type != QPainterPath::MoveToElement;
        if (cut) {
            if (!penDown)
                ++e.cuts;
            e.cutInches += length;
        } else {
            e.travelInches += length;
        }
        penDown = cut;
        e.vectorSeconds += moveSeconds(length, e.vectorSpeed, timing.acceleration);
        pen = points.at(i).point / dpi;
    }
    return e;
}

jobEstimate jobEstimate::fromStream(const QByteArray &stream, const machineTiming &timing, QString *error)
{
    JobDecoder::DecodedJob job;
    QString message;
    if (!JobDecoder::decodeJobStructure(stream, &job, &message)) {
        if (error)
            *error = message;
        return jobEstimate();
    }
    return fromJob(job, timing);
}

jobEstimate jobEstimate::forEngraver(
    const QByteArray &stream, const QString &engraverName, QStringList *problems)
{
    machineTimingTable table;
    QString error;
    QStringList warnings;
    if (!table.read(machineTimingTable::defaultPath(), &error, &warnings))
        warnings.append(error + QStringLiteral("; the default engraver figures are used"));
    const jobEstimate e = fromStream(stream, table.timingFor(engraverName), &error);
    if (!e.valid)
        warnings.append(QStringLiteral("no time estimate: ") + error);
    if (problems)
        *problems = warnings;
    return e;
}

QString jobEstimate::formatDuration(double seconds)
{
    if (!std::isfinite(seconds))
        return QStringLiteral("unknown");
    if (seconds < 0.5)
        return QStringLiteral("under 1 s");
    const qint64 whole = qint64(std::llround(seconds));
    if (whole >= 3600) {
        // Past an hour the seconds mean nothing: whole minutes.
        const qint64 minutes = qint64(std::llround(seconds / 60));
        return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
    }
    const qint64 min = whole / 60, s = whole % 60;
    if (min > 0)
        return QStringLiteral("%1 min %2 s").arg(min).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 s").arg(s);
}

QString jobEstimate::describe() const
{
    if (!valid)
        return QStringLiteral("no estimate");
    return QStringLiteral("about %1 (raster %2, vector %3)")
        .arg(formatDuration(totalSeconds()), formatDuration(rasterSeconds), formatDuration(vectorSeconds));
}

} // namespace Vexlor
