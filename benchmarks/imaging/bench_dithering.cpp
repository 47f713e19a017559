// Dithering throughput on a full engraver table at 600 dpi (24000 x 16800 pixels,
// tiles of 1200 rows, 32-bit grey pixels as the renderer hands them over), compared
// with a plain memory copy of the same input bytes in the same run.
//
// After the benchmarks the program prints, per method, the processor time
// relative to the copy (processor time, so that other load on the machine
// weighs less) and the peak resident memory of the process (VmHWM).

#include "ditherer.h"

#include <QFile>
#include <QImage>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 24000;
constexpr int kHeight = 16800;
constexpr int kTileRows = 1200;

// A photographic-like grey picture: smooth gradients and waves with noise, with
// some areas saturated to pure black and white, as photographs have.
const std::vector<QImage> &tiles()
{
    static const std::vector<QImage> result = [] {
        std::vector<float> column(kWidth);
        for (int x = 0; x < kWidth; ++x)
            column[x] = 70.0f * std::sin(x / 900.0f) + 40.0f * std::sin(x / 97.0f) + x * (60.0f / kWidth);
        std::vector<QImage> out;
        quint32 seed = 0x9e3779b9u;
        for (int top = 0; top < kHeight; top += kTileRows) {
            QImage tile(kWidth, kTileRows, QImage::Format_RGB32);
            for (int r = 0; r < kTileRows; ++r) {
                const int y = top + r;
                const float row
                    = 120.0f + 75.0f * std::cos(y / 1300.0f) * std::sin(y / 210.0f) - y * (40.0f / kHeight);
                quint32 *line = reinterpret_cast<quint32 *>(tile.scanLine(r));
                for (int x = 0; x < kWidth; ++x) {
                    seed ^= seed << 13;
                    seed ^= seed >> 17;
                    seed ^= seed << 5;
                    const int noise = static_cast<int>(seed & 31u) - 16;
                    const int g = std::clamp(static_cast<int>(row + column[x]) + noise, 0, 255);
                    line[x] = 0xff000000u | (static_cast<quint32>(g) * 0x010101u);
                }
            }
            out.push_back(std::move(tile));
        }
        return out;
    }();
    return result;
}

qint64 inputBytes()
{
    qint64 bytes = 0;
    for (const QImage &t : tiles())
        bytes += t.sizeInBytes();
    return bytes;
}

void BM_Copy(benchmark::State &state)
{
    const std::vector<QImage> &in = tiles();
    std::vector<uchar> target(static_cast<size_t>(in.front().sizeInBytes()));
    std::memset(target.data(), 1, target.size());
    for (auto _ : state) {
        for (const QImage &t : in) {
            std::memcpy(target.data(), t.constBits(), static_cast<size_t>(t.sizeInBytes()));
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * inputBytes());
}

void BM_Dither(benchmark::State &state)
{
    const int method = static_cast<int>(state.range(0));
    const std::vector<QImage> &in = tiles();
    for (auto _ : state) {
        ditherer d(method, kWidth);
        std::vector<QImage> out;
        out.reserve(in.size());
        for (const QImage &t : in)
            out.push_back(d.ditherTile(t));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * inputBytes());
    state.counters["Mpixel/s"] = benchmark::Counter(
        double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

const char *methodName(int method)
{
    switch (method) {
    case ditherer::Ordered:
        return "ordered";
    case ditherer::FloydSteinberg:
        return "floyd";
    case ditherer::JarvisJudiceNinke:
        return "jarvis";
    default:
        return "stucki";
    }
}

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, double> &times() const { return m_times; }

private:
    std::map<std::string, double> m_times;
};

long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    }
    return -1;
}

} // namespace

// Floyd-Steinberg on the eight-bit grey bands the final rendering hands over,
// with vector steps of sixteen rows (AVX-512), eight rows (AVX2) and none.
void BM_FloydSteinbergGrey(benchmark::State &state)
{
    static const std::vector<QImage> grey = [] {
        std::vector<QImage> out;
        for (const QImage &t : tiles())
            out.push_back(t.convertToFormat(QImage::Format_Grayscale8));
        return out;
    }();
    ditherer::setVectorStepsAllowed(int(state.range(0)));
    state.counters["rows"] = ditherer::vectorStepRows();
    for (auto _ : state) {
        ditherer d(ditherer::FloydSteinberg, kWidth);
        std::vector<QImage> out;
        out.reserve(grey.size());
        for (const QImage &t : grey)
            out.push_back(d.ditherTile(t));
        benchmark::DoNotOptimize(out.data());
    }
    ditherer::setVectorStepsAllowed(16);
    state.counters["Mpixel/s"] = benchmark::Counter(
        double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloydSteinbergGrey)->ArgName("vector")->Arg(0)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Dither)
    ->ArgName("method")
    ->Arg(ditherer::Ordered)
    ->Arg(ditherer::FloydSteinberg)
    ->Arg(ditherer::JarvisJudiceNinke)
    ->Arg(ditherer::Stucki)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    tiles(); // build the picture before any timing starts
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto &times = reporter.times();
    const auto copy = times.find("BM_Copy");
    if (copy != times.end() && copy->second > 0) {
        std::printf("\nTime relative to a memory copy of the same %lld input bytes (%d x %d, %d tiles):\n",
            static_cast<long long>(inputBytes()), kWidth, kHeight, int(tiles().size()));
        for (int method : { 0, 3, 4, 5 }) {
            const std::string name = "BM_Dither/method:" + std::to_string(method) + "";
            const auto it = times.find(name);
            if (it != times.end())
                std::printf("  %-8s %6.2fx\n", methodName(method), it->second / copy->second);
        }
    }
    std::printf("Peak resident memory (VmHWM): %.1f MiB\n", peakResidentKiB() / 1024.0);
    return 0;
}
