// The cutting orders and the time estimate on real drawings: each PostScript
// file goes through vexlor-gs and the scene reader; its strokes are cut (as a
// vector job with every stroke cut), its fills and images engraved (rendered,
// the generator takes each pixel to the nearer of black and white). For each
// cutting order the program prints the pen-up travel, the time the sorting
// took, and the estimate of the stream with the default machine figures,
// with the time the estimate took (decoding included).
//
// Usage: corpus_cutorder [-o FOLDER] [-r DPI] [FILE...]
//   -o  also write each file's stream in document order to FOLDER/NAME.prn
//       (and, sorted by the nearest order, to FOLDER/NAME.nearest.prn)
//   -r  resolution (default 600)
//   FILE...  PostScript files (default: tests/fidelity/corpus)
// Run with QT_QPA_PLATFORM=offscreen.
#include "jobestimate.h"
#include "pclgenerator.h"
#include "renderingmanager.h"
#include "vexlortypes.h"
#include "xml2gfxlist.h"
#ifndef VEXLOR_REFERENCE_GENERATOR
#include "cutorder.h"
#endif

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

bool runDevice(const QString &file, const QString &folder, int dpi)
{
    QProcess device;
    device.setProcessChannelMode(QProcess::MergedChannels);
    device.start(QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs"),
        { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
            QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"), QStringLiteral("-r%1").arg(dpi),
            QStringLiteral("-sDitheringType=standard"), QStringLiteral("-sJobType=mono"),
            QStringLiteral("-sOutputFile=") + folder + QStringLiteral("/o.xml"), file });
    return device.waitForFinished(600000) && device.exitStatus() == QProcess::NormalExit
        && device.exitCode() == 0;
}

QByteArray generate(const vexlorSettings &settings, const VectorList &vectors, const QRect &bounds,
    const Vexlor::SceneTile &tiles)
{
    pclGenerator generator;
    QSignalSpy done(&generator, &pclGenerator::done);
    generator.setSettings(settings);
    generator.getVectors(vectors);
    generator.getBoundingRect(bounds);
    generator.setPixTiles(tiles);
    generator.process();
    return done.isEmpty() ? QByteArray() : done.first().first().toByteArray();
}

[[maybe_unused]] QString seconds(double s)
{
    return Vexlor::jobEstimate::formatDuration(s);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    Vexlor::registerMetaTypes();
    QStringList files;
    QString outFolder;
    int dpi = 600;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("-o") && i + 1 < args.size())
            outFolder = args.at(++i);
        else if (args.at(i) == QLatin1String("-r") && i + 1 < args.size())
            dpi = args.at(++i).toInt();
        else
            files << args.at(i);
    }
    if (files.isEmpty()) {
        const QDir corpus(QStringLiteral(VEXLOR_SOURCE_DIR "/tests/fidelity/corpus"));
        for (const QString &name : corpus.entryList(QDir::Files, QDir::Name))
            files << corpus.filePath(name);
    }
    if (!outFolder.isEmpty())
        QDir().mkpath(outFolder);

    QTextStream out(stdout);
#ifndef VEXLOR_REFERENCE_GENERATOR
    out << "| File | Cut paths | Cut (in) | Travel none (in) | inner (in) | nearest (in) | Saved | Sort "
           "inner / "
           "nearest (ms) | Rows | Stream (MB) | Estimate none | nearest | Estimating (ms) |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
#endif
    out.flush();
    int failures = 0;
    for (const QString &file : files) {
        const QString name = QFileInfo(file).completeBaseName();
        QTemporaryDir scratch;
        if (!runDevice(file, scratch.path(), dpi)) {
            std::fprintf(stderr, "%s: vexlor-gs failed\n", qPrintable(file));
            ++failures;
            continue;
        }
        xml2gfxList reader { QDir(scratch.path()) };
        QSignalSpy items(&reader, &xml2gfxList::sendItems);
        QSignalSpy bounds(&reader, &xml2gfxList::sendBoundingRect);
        reader.setTableRect(QRect(0, 0, 40 * dpi, 28 * dpi));
        reader.processGSOutput();
        if (items.count() != 1) {
            std::fprintf(stderr, "%s: the scene could not be read\n", qPrintable(file));
            ++failures;
            continue;
        }
        const auto list = items.first().first().value<Vexlor::LaserItemList>();
        const QRect rect = bounds.isEmpty() ? QRect() : bounds.first().first().toRectF().toAlignedRect();
        VectorList vectors;
        Vexlor::LaserItemList raster;
        for (const LaserOp::LaserOp &item : list) {
            if (item.type == LaserOp::CutLine)
                vectors.items.append(item);
            else if (item.type == LaserOp::EngravedPath || item.type == LaserOp::Image)
                raster.append(item);
        }
        Vexlor::SceneTile tiles;
        if (!raster.isEmpty()) {
            renderingManager renderer;
            QSignalSpy finished(&renderer, &renderingManager::finished);
            renderer.getList(raster);
            renderer.startRender();
            if (finished.isEmpty() && !finished.wait(600000)) {
                std::fprintf(stderr, "%s: rendering did not finish\n", qPrintable(file));
                ++failures;
                continue;
            }
            tiles = finished.first().first().value<Vexlor::SceneTile>();
        }

        vexlorSettings settings;
        settings.settings.insert(QStringLiteral("cResolution"), QString::number(dpi));
        settings.settings.insert(QStringLiteral("vectorSort"), QStringLiteral("none"));
        const QByteArray none = generate(settings, vectors, rect, tiles);
        if (!outFolder.isEmpty()) {
            QFile prn(outFolder + QLatin1Char('/') + name + QStringLiteral(".prn"));
            if (!prn.open(QIODevice::WriteOnly) || prn.write(none) != none.size())
                ++failures;
        }
#ifndef VEXLOR_REFERENCE_GENERATOR
        QList<QPainterPath> paths;
        for (const LaserOp::LaserOp &item : qAsConst(vectors.items))
            paths.append(item.path);
        QElapsedTimer timer;
        timer.start();
        const QList<Vexlor::PathElements> inner = Vexlor::orderCuts(paths, Vexlor::CutOrder::Inner);
        const qint64 innerMs = timer.restart();
        const QList<Vexlor::PathElements> nearest = Vexlor::orderCuts(paths, Vexlor::CutOrder::Nearest);
        const qint64 nearestMs = timer.elapsed();
        const double travelNone
            = Vexlor::travelLength(Vexlor::orderCuts(paths, Vexlor::CutOrder::None)) / dpi;
        const double travelInner = Vexlor::travelLength(inner) / dpi;
        const double travelNearest = Vexlor::travelLength(nearest) / dpi;

        settings.settings.insert(QStringLiteral("vectorSort"), QStringLiteral("nearest"));
        const QByteArray sorted = generate(settings, vectors, rect, tiles);
        if (!outFolder.isEmpty()) {
            QFile prn(outFolder + QLatin1Char('/') + name + QStringLiteral(".nearest.prn"));
            if (!prn.open(QIODevice::WriteOnly) || prn.write(sorted) != sorted.size())
                ++failures;
        }
        const Vexlor::machineTiming timing;
        timer.restart();
        const Vexlor::jobEstimate estimateNone = Vexlor::jobEstimate::fromStream(none, timing);
        const qint64 estimateMs = timer.elapsed();
        const Vexlor::jobEstimate estimateNearest = Vexlor::jobEstimate::fromStream(sorted, timing);
        if (!estimateNone.valid || !estimateNearest.valid)
            ++failures;
        out << "| " << name << " | " << inner.size() << " | "
            << QString::number(estimateNone.cutInches, 'f', 0) << " | " << QString::number(travelNone, 'f', 0)
            << " | " << QString::number(travelInner, 'f', 0) << " | "
            << QString::number(travelNearest, 'f', 0) << " | "
            << (travelNone > 0
                       ? QString::number(100 * (1 - travelNearest / travelNone), 'f', 0) + QLatin1Char('%')
                       : QStringLiteral("-"))
            << " | " << innerMs << " / " << nearestMs << " | " << estimateNone.rasterRows << " | "
            << QString::number(none.size() / 1048576.0, 'f', 1) << " | "
            << seconds(estimateNone.totalSeconds()) << " | " << seconds(estimateNearest.totalSeconds())
            << " | " << estimateMs << " |\n";
        out.flush();
#endif
    }
    return failures ? 1 : 0;
}
