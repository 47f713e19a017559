// Tile rendering of a full engraver table at 600 dots per inch (24000 x 16800
// pixels, fourteen tiles of 1200 rows) with thousands of fills, strokes and
// curves and a few large images, on the renderer's own pool (all cores).
// Reports the throughput in megapixels per second and the peak resident
// memory of the process (VmHWM) against the size of the tiles themselves.

#include "renderingmanager.h"
#include "vexlortypes.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QThread>

#include <benchmark/benchmark.h>
#include <ctime>

namespace {

constexpr int tableWidth = 40 * 600;
constexpr int tableHeight = 28 * 600;

// Peak resident set of the process so far, in MiB.
double peakResidentMiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// CPU time of the whole process (all threads), in seconds.
double processCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

QColor randomColor(QRandomGenerator &random)
{
    return QColor::fromRgb(random.bounded(256), random.bounded(256), random.bounded(256));
}

QPointF randomPoint(QRandomGenerator &random, double margin = 0)
{
    return QPointF(
        margin + random.bounded(tableWidth - 2 * margin), margin + random.bounded(tableHeight - 2 * margin));
}

// A scene like a busy job: engraved artwork, cut outlines, text-like curves
// and photographs.
Vexlor::LaserItemList tableScene(int fills, int strokes, int curves, int images)
{
    QRandomGenerator random(20240601);
    Vexlor::LaserItemList list;

    // Marks in two corners make the drawing the whole table.
    for (const QRectF &corner : { QRectF(0, 0, 40, 40), QRectF(tableWidth - 40, tableHeight - 40, 40, 40) }) {
        LaserOp::LaserOp mark;
        mark.type = LaserOp::EngravedPath;
        mark.path.addRect(corner);
        mark.pen = QPen(Qt::NoPen);
        mark.brush = QBrush(Qt::black);
        list.append(mark);
    }

    for (int i = 0; i < fills; ++i) {
        LaserOp::LaserOp item;
        item.type = LaserOp::EngravedPath;
        const QPointF at = randomPoint(random, 900);
        if (i % 3 == 0) {
            item.path.addRect(QRectF(at, QSizeF(50 + random.bounded(800), 50 + random.bounded(800))));
        } else {
            // A star-like polygon, even-odd filled.
            item.path.setFillRule(i % 2 ? Qt::OddEvenFill : Qt::WindingFill);
            const int points = 5 + random.bounded(20);
            const double radius = 40 + random.bounded(400);
            for (int k = 0; k < points; ++k) {
                const double angle = 2 * M_PI * k * 2 / points;
                const QPointF p = at + QPointF(std::cos(angle), std::sin(angle)) * radius;
                k == 0 ? item.path.moveTo(p) : item.path.lineTo(p);
            }
            item.path.closeSubpath();
        }
        item.pen = QPen(Qt::NoPen);
        item.brush = QBrush(randomColor(random));
        if (i % 10 == 0) {
            QPainterPath clip;
            clip.addRect(QRectF(at - QPointF(100, 100), QSizeF(400, 400)));
            item.clipPath = clip;
        }
        list.append(item);
    }

    for (int i = 0; i < strokes; ++i) {
        LaserOp::LaserOp item;
        item.type = LaserOp::CutLine;
        QPointF p = randomPoint(random, 900);
        item.path.moveTo(p);
        const int segments = 2 + random.bounded(30);
        for (int k = 0; k < segments; ++k) {
            p += QPointF(random.bounded(600) - 300, random.bounded(600) - 300);
            p = QPointF(qBound(100.0, p.x(), tableWidth - 100.0), qBound(100.0, p.y(), tableHeight - 100.0));
            item.path.lineTo(p);
        }
        item.pen = QPen(QBrush(randomColor(random)), 1 + random.bounded(20), Qt::SolidLine,
            Qt::PenCapStyle(0x10 * random.bounded(3)), Qt::PenJoinStyle(0x40 * random.bounded(3)));
        item.brush = QBrush(Qt::NoBrush);
        list.append(item);
    }

    for (int i = 0; i < curves; ++i) {
        LaserOp::LaserOp item;
        item.type = i % 2 ? LaserOp::EngravedPath : LaserOp::CutLine;
        const QPointF at = randomPoint(random, 900);
        // Glyph-like outlines: a ring of cubic segments.
        const int arcs = 4 + random.bounded(12);
        const double radius = 20 + random.bounded(300);
        for (int k = 0; k <= arcs; ++k) {
            const double a0 = 2 * M_PI * k / arcs;
            const double a1 = 2 * M_PI * (k + 1) / arcs;
            const QPointF end = at + QPointF(std::cos(a1), std::sin(a1)) * radius;
            if (k == 0)
                item.path.moveTo(at + QPointF(std::cos(a0), std::sin(a0)) * radius);
            item.path.cubicTo(at + QPointF(std::cos(a0 + 0.3), std::sin(a0 + 0.3)) * radius * 1.4,
                at + QPointF(std::cos(a1 - 0.3), std::sin(a1 - 0.3)) * radius * 0.6, end);
        }
        item.path.closeSubpath();
        if (item.type == LaserOp::EngravedPath) {
            item.pen = QPen(Qt::NoPen);
            item.brush = QBrush(randomColor(random));
        } else {
            item.pen = QPen(QBrush(randomColor(random)), 2);
            item.brush = QBrush(Qt::NoBrush);
        }
        list.append(item);
    }

    for (int i = 0; i < images; ++i) {
        // A 1500 x 1000 photograph shown about 2.5 inches wide, some turned.
        QImage photo(1500, 1000, QImage::Format_RGB32);
        QPainter painter(&photo);
        QLinearGradient gradient(0, 0, 1500, 1000);
        gradient.setColorAt(0, randomColor(random));
        gradient.setColorAt(1, randomColor(random));
        painter.fillRect(photo.rect(), gradient);
        painter.end();
        LaserOp::LaserOp item;
        item.type = LaserOp::Image;
        item.pixmap = QPixmap::fromImage(photo);
        const QPointF at = randomPoint(random, 3000);
        item.transform = QTransform().rotate(i % 2 ? 0 : 15 * i) * QTransform::fromTranslate(at.x(), at.y());
        list.append(item);
    }
    return list;
}

void BM_RenderFullTable(benchmark::State &state)
{
    const Vexlor::LaserItemList scene
        = tableScene(int(state.range(0)), int(state.range(1)), int(state.range(2)), int(state.range(3)));
    const double beforeMiB = peakResidentMiB();

    renderingManager manager;
    QObject receiver;
    Vexlor::SceneTile tiles;
    QObject::connect(&manager, &renderingManager::finished, &receiver,
        [&tiles](const Vexlor::SceneTile &result) { tiles = result; });
    manager.getList(scene);

    qint64 pixels = 0;
    double tileMiB = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        // The renderer lives on this thread here, so the render runs to its
        // end inside the call, its tiles painted on the pool.
        manager.startRender();
        cpuSeconds += processCpuSeconds() - cpuBefore;
        state.PauseTiming();
        if (tiles.size() != 14) {
            state.SkipWithError(
                qPrintable(QString("the drawing made %1 tiles, not fourteen").arg(tiles.size())));
            break;
        }
        pixels = 0;
        for (const auto &tile : qAsConst(tiles))
            pixels += qint64(tile.second.width()) * tile.second.height();
        tileMiB = pixels * 4 / 1048576.0;
        tiles.clear();
        state.ResumeTiming();
    }
    state.counters["items"] = scene.size();
    state.counters["Mpx"] = pixels / 1e6;
    state.counters["Mpx/s"] = benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    // Throughput per second of processor time: what the render gets out of
    // each core, independent of whatever else the machine is running.
    state.counters["Mpx/cpu_s"] = cpuSeconds > 0 ? pixels / 1e6 * state.iterations() / cpuSeconds : 0;
    state.counters["threads"] = QThread::idealThreadCount();
    state.counters["tiles_MiB"] = tileMiB;
    state.counters["scene_peak_MiB"] = beforeMiB;
    state.counters["render_peak_MiB"] = peakResidentMiB();
}

BENCHMARK(BM_RenderFullTable)
    ->ArgNames({ "fills", "strokes", "curves", "images" })
    ->Args({ 3000, 2000, 1000, 6 })
    ->Args({ 0, 0, 0, 0 })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The per-tile debug lines would drown the report.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
