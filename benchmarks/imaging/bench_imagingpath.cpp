// The whole raster path of the image processor on a full engraver table at
// 600 dpi (24000 x 16800 pixels): a photographic grey image of 12000 x 8400
// pixels (a 300 dpi scan) scaled to the table goes through grey conversion,
// the processor's own tile renderer (tiles of 1200 rows) and dithering, and
// comes back as one-bit tiles. Prints the time of each stage and the peak
// resident memory of the process (VmHWM).
//
// Usage: bench_imagingpath [--method N] [--tiles-only]
//   --method N    dithering index (default 0, ordered; 3, 4, 5 error distribution)
//   --tiles-only  skip the image and the rendering: hand 14 rendered grey tiles
//                 of 24000 x 1200 straight to the dithering pass

#include "imageprocessor.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kTableWidth = 24000;
constexpr int kTableHeight = 16800;

// Smooth gradients and waves with noise, saturated to black and white in places.
void paintPhotograph(QImage &image, double scale)
{
    quint32 seed = 0x2545f491u;
    const int w = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const double ty = y * scale;
        const double row
            = 120.0 + 75.0 * std::cos(ty / 1300.0) * std::sin(ty / 210.0) - ty * (40.0 / kTableHeight);
        quint32 *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double tx = x * scale;
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const int noise = static_cast<int>(seed & 31u) - 16;
            const double column
                = 70.0 * std::sin(tx / 900.0) + 40.0 * std::sin(tx / 97.0) + tx * (60.0 / kTableWidth);
            const int g = std::clamp(static_cast<int>(row + column) + noise, 0, 255);
            // A little colour, so that the grey conversion has work to do.
            const int r = std::min(255, g + 8), b = std::max(0, g - 8);
            line[x] = qRgb(r, g, b);
        }
    }
}

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

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Vexlor::registerMetaTypes();
    // The renderer logs every tile; that is not what is measured here.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ "method", "Dithering index.", "N", "0" });
    parser.addOption({ "tiles-only", "Dither 14 grey tiles without rendering." });
    parser.process(app);
    const int method = parser.value("method").toInt();
    const bool tilesOnly = parser.isSet("tiles-only");

    imageProcessor processor;
    processor.setDithering(method);

    QElapsedTimer clock;
    qint64 renderedAt = -1;
    qint64 doneAt = -1;
    int tileCount = 0;
    qint64 blackPixels = 0;
    QObject::connect(&processor, &imageProcessor::setLabelTextProgBar, &app, [&](const QString &label) {
        if (label == QLatin1String("Dithering Graphics."))
            renderedAt = clock.elapsed();
    });
    QObject::connect(
        &processor, &imageProcessor::sendDitheredTiles, &app, [&](const Vexlor::SceneTile &tiles) {
            doneAt = clock.elapsed();
            tileCount = tiles.size();
            for (const auto &tile : tiles) {
                const QImage bits = tile.second.toImage();
                if (bits.depth() != 1)
                    continue;
                for (int y = 0; y < bits.height(); ++y) {
                    const uchar *line = bits.constScanLine(y);
                    for (int i = 0; i < (bits.width() + 7) / 8; ++i)
                        blackPixels += __builtin_popcount(line[i]);
                }
            }
            app.quit();
        });

    if (tilesOnly) {
        Vexlor::SceneTile tiles;
        for (int top = 0; top < kTableHeight; top += 1200) {
            QImage tile(kTableWidth, 1200, QImage::Format_RGB32);
            paintPhotograph(tile, 1.0);
            tiles.append(qMakePair(QRect(0, top, kTableWidth, 1200), QPixmap::fromImage(std::move(tile))));
        }
        std::printf("Grey tiles made: %.1f MiB resident\n", peakResidentKiB() / 1024.0);
        std::fflush(stdout);
        clock.start();
        // Queued, as the renderer's tiles arrive, so that the event loop runs.
        QMetaObject::invokeMethod(
            &processor, [&processor, tiles]() { processor.getRenderedTiles(tiles); }, Qt::QueuedConnection);
        tiles.clear();
    } else {
        LaserOp::LaserOp photo;
        photo.type = LaserOp::Image;
        {
            QImage scan(kTableWidth / 2, kTableHeight / 2, QImage::Format_RGB32);
            paintPhotograph(scan, 2.0);
            photo.pixmap = QPixmap::fromImage(std::move(scan));
        }
        // Mapped corners (0,0) and (12000,8400) land on (0,0) and (24000,16800);
        // one pixel less keeps the drawing at exactly 14 tiles.
        photo.transform = QTransform::fromScale(
            (kTableWidth - 1.0) / (kTableWidth / 2), (kTableHeight - 1.0) / (kTableHeight / 2));
        VectorList list;
        list.items.append(photo);
        photo = LaserOp::LaserOp();
        processor.getRasters(list);
        list.items.clear();
        clock.start();
        processor.process();
    }
    app.exec();

    if (doneAt < 0) {
        std::printf("No tiles came back\n");
        return 1;
    }
    const double pixels = double(kTableWidth) * kTableHeight;
    std::printf("Method %d, %s, %d tiles, %.1f%% black\n", method,
        tilesOnly ? "tiles only" : "image rendered", tileCount, 100.0 * blackPixels / pixels);
    if (!tilesOnly)
        std::printf("  grey conversion and rendering: %lld ms\n", static_cast<long long>(renderedAt));
    std::printf("  dithering: %lld ms (%.1f Mpixel/s)\n",
        static_cast<long long>(doneAt - std::max<qint64>(0, renderedAt)),
        pixels / 1e3 / std::max<qint64>(1, doneAt - std::max<qint64>(0, renderedAt)));
    std::printf("  whole path: %lld ms\n", static_cast<long long>(doneAt));
    std::printf("Peak resident memory (VmHWM): %.1f MiB\n", peakResidentKiB() / 1024.0);
    return 0;
}
