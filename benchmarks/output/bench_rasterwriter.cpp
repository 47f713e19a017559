// Raster writer on a full table at 600 dpi (24000 x 16800 pixels in tiles of
// 1200 rows) of a dithered photograph-like picture, against a plain memory
// copy of the same input bytes: time and peak memory, with their ratios.
#include "jobdecoder.h"
#include "pclgenerator.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

const int Width = 24000;
const int Height = 16800;
const int TileRows = 1200;

struct Measure
{
    double bestSeconds = 0;
    qint64 peakBytes = 0;
    qint64 outputBytes = 0;
};

Measure g_writer;
Measure g_copy;
Measure g_decoder;
QByteArray g_stream;
bool g_decodedMatches = false;
qint64 g_inputBytes = 0;

// The peak resident size since the last reset, from the kernel.
qint64 peakResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// A grey picture with the large smooth areas and fine texture of a photograph,
// dithered against random thresholds.
Vexlor::SceneTile &tiles()
{
    static Vexlor::SceneTile result = [] {
        Vexlor::SceneTile list;
        quint64 state = 0x9e3779b97f4a7c15ULL;
        auto next = [&state]() {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return state;
        };
        std::vector<float> columnShade(Width);
        for (int x = 0; x < Width; ++x)
            columnShade[x] = float(40.0 * x / Width + 30.0 * std::sin(x / 900.0));
        for (int top = 0; top < Height; top += TileRows) {
            QImage image(Width, TileRows, QImage::Format_RGB32);
            for (int row = 0; row < TileRows; ++row) {
                const int y = top + row;
                const float rowShade = float(70.0 * std::cos(y / 1300.0) * std::sin(y / 410.0));
                QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(row));
                for (int x = 0; x < Width; ++x) {
                    const quint64 r = next();
                    // A bright sky at the top and a white border make blank
                    // margins and blank rows, as real pictures have.
                    float grey = 110.0f + columnShade[x] + rowShade + float(r & 31) - 16.0f;
                    if (y < 600 || x < 300 || x >= Width - 300)
                        grey = 255.0f;
                    const bool black = grey < float((r >> 8) & 255);
                    line[x] = black ? 0xff000000u : 0xffffffffu;
                }
            }
            list.append({ QRect(0, top, Width, TileRows), QPixmap::fromImage(std::move(image)) });
        }
        return list;
    }();
    return result;
}

void BM_RasterWriter(benchmark::State &state)
{
    Vexlor::SceneTile &input = tiles();
    g_inputBytes = 0;
    for (const auto &tile : input)
        g_inputBytes += tile.second.toImage().sizeInBytes();
    resetPeakResident();
    double best = 1e9;
    for (auto _ : state) {
        pclGenerator generator;
        QByteArray job;
        QObject::connect(
            &generator, &pclGenerator::done, &generator, [&job](const QByteArray &j) { job = j; });
        const auto start = std::chrono::steady_clock::now();
        generator.getBoundingRect(QRect(0, 0, Width, Height));
        generator.setPixTiles(input);
        generator.process();
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
        g_writer.outputBytes = job.size();
        g_stream = job;
        benchmark::DoNotOptimize(job.constData());
    }
    g_writer.bestSeconds = best;
    g_writer.peakBytes = peakResidentBytes();
    state.SetBytesProcessed(state.iterations() * g_inputBytes);
    state.counters["stream_MiB"] = double(g_writer.outputBytes) / (1 << 20);
    state.counters["peak_MiB"] = double(g_writer.peakBytes) / (1 << 20);
}

void BM_MemoryCopy(benchmark::State &state)
{
    Vexlor::SceneTile &input = tiles();
    resetPeakResident();
    std::unique_ptr<char[]> copy(new char[size_t(g_inputBytes)]);
    std::memset(copy.get(), 1, size_t(g_inputBytes)); // touch every page before timing
    double best = 1e9;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        qint64 at = 0;
        for (const auto &tile : input) {
            const QImage image = tile.second.toImage();
            std::memcpy(copy.get() + at, image.constBits(), size_t(image.sizeInBytes()));
            at += image.sizeInBytes();
        }
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
        benchmark::DoNotOptimize(copy.get());
        benchmark::ClobberMemory();
    }
    g_copy.bestSeconds = best;
    g_copy.peakBytes = peakResidentBytes();
    state.SetBytesProcessed(state.iterations() * g_inputBytes);
    state.counters["peak_MiB"] = double(g_copy.peakBytes) / (1 << 20);
}

// The job decoder on the same stream, and a check that it gives back every
// pixel of the input.
void BM_Decoder(benchmark::State &state)
{
    if (g_stream.isEmpty()) {
        state.SkipWithError("the raster writer did not run");
        return;
    }
    resetPeakResident();
    JobDecoder::DecodedJob job;
    double best = 1e9;
    for (auto _ : state) {
        QString error;
        const auto start = std::chrono::steady_clock::now();
        if (!JobDecoder::decodeJob(g_stream, &job, &error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        best
            = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_decoder.bestSeconds = best;
    g_decoder.peakBytes = peakResidentBytes();
    state.SetBytesProcessed(state.iterations() * g_stream.size());

    g_decodedMatches = job.bitmap.width() == Width && job.bitmap.height() == Height;
    for (const auto &tile : tiles()) {
        const QImage image = tile.second.toImage();
        for (int row = 0; row < image.height() && g_decodedMatches; ++row) {
            const QRgb *in = reinterpret_cast<const QRgb *>(image.constScanLine(row));
            const uchar *out = job.bitmap.constScanLine(tile.first.top() + row);
            for (int x = 0; x < Width; ++x) {
                const bool black = in[x] == 0xff000000u;
                if (black != bool(out[x >> 3] & (0x80 >> (x & 7)))) {
                    g_decodedMatches = false;
                    break;
                }
            }
        }
    }
    state.counters["matches"] = g_decodedMatches ? 1 : 0;
}

} // namespace

BENCHMARK(BM_RasterWriter)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_MemoryCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Decoder)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_writer.bestSeconds > 0 && g_copy.bestSeconds > 0) {
        std::printf("\nInput: %d x %d pixels, %.0f MiB of tile pixels; stream %.1f MiB\n", Width, Height,
            double(g_inputBytes) / (1 << 20), double(g_writer.outputBytes) / (1 << 20));
        std::printf(
            "Raster writer: best %.3f s, %.0f MiB/s; copy: best %.3f s; time ratio %.2f (target below 10)\n",
            g_writer.bestSeconds, double(g_inputBytes) / (1 << 20) / g_writer.bestSeconds, g_copy.bestSeconds,
            g_writer.bestSeconds / g_copy.bestSeconds);
        std::printf(
            "Peak resident: writer path %.0f MiB, copy path %.0f MiB; ratio %.2f (target: writer path "
            "below 3072 MiB)\n",
            double(g_writer.peakBytes) / (1 << 20), double(g_copy.peakBytes) / (1 << 20),
            double(g_writer.peakBytes) / double(g_copy.peakBytes));
    }
    if (g_decoder.bestSeconds > 0)
        std::printf(
            "Decoder: best %.3f s for the %.1f MiB stream, peak resident %.0f MiB; bitmap %s the input\n",
            g_decoder.bestSeconds, double(g_stream.size()) / (1 << 20),
            double(g_decoder.peakBytes) / (1 << 20), g_decodedMatches ? "matches" : "DIFFERS FROM");
    return 0;
}
