// Time to estimate a job from its stream (decoding included), against the
// number of raster rows: rows of 3000 bytes (the width of the table at
// 600 dots per inch) of varied data, sent as PackBits literal runs, and a
// vector block of 10 000 short cuts.
#include "jobestimate.h"

#include <QRandomGenerator>

#include <benchmark/benchmark.h>

namespace {

QByteArray esc(const char *text)
{
    return QByteArray(1, '\x1b') + text;
}

QByteArray rasterJob(int rows)
{
    QRandomGenerator random(7);
    const int rowBytes = 3000;
    QByteArray job = esc("%-12345X@PJL JOB NAME=bench\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n")
        + esc("&u600D") + esc("*t600R") + esc("&z50S") + esc("*b2M") + esc("&y0O") + esc("&r1A");
    QByteArray data;
    for (int y = 0; y < rows; ++y) {
        data.clear();
        for (int i = 0; i < rowBytes; i += 100) {
            // Literal runs of 100 bytes, no two neighbours equal.
            data += char(99);
            for (int k = 0; k < 100; ++k)
                data += char(0x10 + (k % 2) * 0x20 + int(random.bounded(16)));
        }
        const int padded = (data.size() + 7) / 8 * 8;
        data.append(padded - data.size(), '\x80');
        job += esc("*p") + QByteArray::number(y) + "Y" + esc("*p0X") + esc("*b")
            + QByteArray::number(y % 2 ? -rowBytes : rowBytes) + "A" + esc("*b") + QByteArray::number(padded)
            + "W" + data;
    }
    job += esc("*rC") + esc("%1BIN;ZS50;LT");
    for (int i = 0; i < 10000; ++i)
        job += "PU" + QByteArray::number(i % 2000 * 10) + "," + QByteArray::number(i / 2000 * 100) + ";PD"
            + QByteArray::number(i % 2000 * 10 + 5) + "," + QByteArray::number(i / 2000 * 100 + 50) + ";";
    job += esc("%0B") + esc("%1BPU") + esc("E") + esc("%-12345X@PJL EOJ \r\n") + QByteArray(4096, '\0');
    return job;
}

void BM_EstimateFromStream(benchmark::State &state)
{
    const QByteArray job = rasterJob(int(state.range(0)));
    double seconds = 0;
    for (auto _ : state) {
        const Vexlor::jobEstimate e = Vexlor::jobEstimate::fromStream(job, Vexlor::machineTiming());
        if (!e.valid)
            state.SkipWithError("the stream was not read");
        seconds = e.totalSeconds();
    }
    state.counters["stream_MB"] = job.size() / 1048576.0;
    state.counters["estimate_s"] = seconds;
    state.SetBytesProcessed(state.iterations() * job.size());
}

} // namespace

BENCHMARK(BM_EstimateFromStream)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
