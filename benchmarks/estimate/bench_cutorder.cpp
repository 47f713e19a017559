// Time to put 100 000 cut paths in order, for each cutting order. The paths
// are like a sheet of parts: squares, each with a round hole, and small
// open marks, spread over the 40 x 28 inch table at 600 dots per inch in
// a fixed pseudo-random layout; and squares inside one outline of many corners.
#include "cutorder.h"

#include <QPolygonF>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>
#include <cmath>

namespace {

QList<QPainterPath> sheetOfParts(int count)
{
    QRandomGenerator random(20261208);
    QList<QPainterPath> paths;
    paths.reserve(count);
    while (paths.size() < count) {
        const double x = random.bounded(40 * 600 - 400), y = random.bounded(28 * 600 - 400);
        const double side = 60 + random.bounded(300);
        QPainterPath hole;
        hole.addEllipse(QPointF(x + side / 2, y + side / 2), side / 5, side / 5);
        paths.append(hole);
        if (paths.size() < count)
            paths.append([&] {
                QPainterPath part;
                part.addRect(x, y, side, side);
                return part;
            }());
        if (paths.size() < count) {
            QPainterPath mark(QPointF(x + side + 10, y));
            mark.lineTo(x + side + 40, y + 20);
            paths.append(mark);
        }
    }
    return paths;
}

// One round outline of 20 000 corners around count - 1 small squares: every
// square lies in it.
QList<QPainterPath> partsInOneOutline(int count)
{
    QList<QPainterPath> paths;
    QPolygonF round;
    for (int k = 0; k <= 20000; ++k)
        round << QPointF(8400 + 8000 * std::cos(k * M_PI / 10000), 8400 + 8000 * std::sin(k * M_PI / 10000));
    QPainterPath outline;
    outline.addPolygon(round);
    paths.append(outline);
    QRandomGenerator random(99);
    while (paths.size() < count) {
        QPainterPath part;
        part.addRect(3000 + random.bounded(10000), 3000 + random.bounded(10000), 50, 50);
        paths.append(part);
    }
    return paths;
}

void orderCuts(benchmark::State &state, Vexlor::CutOrder order, bool oneOutline = false)
{
    const QList<QPainterPath> paths
        = oneOutline ? partsInOneOutline(int(state.range(0))) : sheetOfParts(int(state.range(0)));
    double travel = 0;
    for (auto _ : state) {
        const QList<Vexlor::PathElements> runs = Vexlor::orderCuts(paths, order);
        benchmark::DoNotOptimize(runs.size());
        state.PauseTiming();
        travel = Vexlor::travelLength(runs) / 600;
        state.ResumeTiming();
    }
    state.counters["paths"] = double(paths.size());
    state.counters["travel_in"] = travel;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_OrderNone(benchmark::State &state)
{
    orderCuts(state, Vexlor::CutOrder::None);
}

void BM_OrderInner(benchmark::State &state)
{
    orderCuts(state, Vexlor::CutOrder::Inner);
}

void BM_OrderNearest(benchmark::State &state)
{
    orderCuts(state, Vexlor::CutOrder::Nearest);
}

void BM_OrderInnerOneOutline(benchmark::State &state)
{
    orderCuts(state, Vexlor::CutOrder::Inner, true);
}

} // namespace

BENCHMARK(BM_OrderInnerOneOutline)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderNone)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderInner)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderNearest)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
