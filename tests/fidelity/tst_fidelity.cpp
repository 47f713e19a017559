// Fidelity of the engraver device: each file of the corpus (PostScript
// written by real programs) goes through vexlor-gs, the scene reader and
// the tile renderer at 600 dpi (150 dpi for pages larger than 17 x 17
// inches), and the page is compared with Ghostscript's own anti-aliased
// rendering of the same file: pixel by pixel, by the weight of its ink,
// after dithering as the engraving is, and by its cut lines.

#include "ditherer.h"
#include "laserop.h"
#include "pagecomparison.h"
#include "renderingmanager.h"
#include "vexlortypes.h"
#include "xml2gfxlist.h"

#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// VEXLOR_FIDELITY_DPI measures at another resolution (large pages at a
// quarter of it)
const int resolution = qEnvironmentVariableIsSet("VEXLOR_FIDELITY_DPI")
    ? std::clamp(qEnvironmentVariableIntValue("VEXLOR_FIDELITY_DPI"), 72, 1200)
    : 600;
const int largePageResolution = resolution / 4;
constexpr double target = 0.985;
constexpr double weightTolerance = 0.10;

// Files that miss a target for a known cause, with the figures they reach
// (the test still fails when they fall below these). Measured at 300 dpi.
struct KnownShortfall
{
    const char *file;
    double ink;
    double blocks;
    double dithered;
    double weightLow;
    double weightHigh;
    const char *cause;
};
const char smallGlyphs[] = "small glyphs: the tile renderer's anti-aliased outlines and Ghostscript's hinted ones "
                           "weigh more than 10 % apart in some 32-pixel squares, the page within 6 %";
const char thinLines[] = "lines under two pixels wide (frames, hatching of tiling patterns, table rules): the tile "
                         "renderer's anti-aliased coverage against Ghostscript's";
const KnownShortfall knownShortfalls[] = {
    { "cairo-text.ps", 0.985, 0.955, 0.97, 0.9, 1.1, smallGlyphs },
    { "cups-groff-man.ps", 0.985, 0.97, 0.985, 0.9, 1.1, smallGlyphs },
    { "enscript-code.ps", 0.985, 0.96, 0.985, 0.9, 1.1, smallGlyphs },
    { "gnuplot-cairo.eps", 0.945, 0.76, 0.69, 0.9, 1.1, thinLines },
    { "gnuplot-lines.eps", 0.915, 0.835, 0.955, 0.9, 1.1, thinLines },
    { "groff-report.ps", 0.915, 0.81, 0.985, 0.9, 1.1, thinLines },
    { "pdf-gradients.ps", 0.71, 0.635, 0.715, 0.86, 1.1,
        "Poppler writes each gradient as hundreds of abutting bands; the tile renderer anti-aliases "
        "the edges of each, so paper shows through the seams" },
    { "pdf-segments.ps", 0.78, 0.13, 0.325, 0.9, 1.22,
        "50,000 hairlines of a quarter of a pixel (the table's page is measured at a quarter of the "
        "resolution): drawn a pixel wide, as the interpreter paints them, against Ghostscript's "
        "anti-aliased reference, which paints them lighter" },
};

const KnownShortfall *shortfallOf(const QString &name)
{
    for (const KnownShortfall &known : knownShortfalls)
        if (known.file && name == QLatin1String(known.file))
            return &known;
    return nullptr;
}

// the resolution at which a file is measured: pages larger than 17 x 17
// inches (the table's pages) would need gigabytes at 600 dpi
int resolutionFor(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return resolution;
    QRegularExpression box(QStringLiteral(
        "^%%(?:HiRes)?BoundingBox:\\s*(-?[0-9.]+)\\s+(-?[0-9.]+)\\s+(-?[0-9.]+)\\s+(-?[0-9.]+)"));
    QRegularExpression media(QStringLiteral("^%%DocumentMedia:\\s*\\S+\\s+([0-9.]+)\\s+([0-9.]+)"));
    QRegularExpression pageSize(QStringLiteral("/PageSize\\s*\\[\\s*([0-9.]+)\\s+([0-9.]+)\\s*\\]"));
    double area = 0;
    for (int lines = 0; !in.atEnd() && lines < 2000; ++lines) {
        const QString line = QString::fromLatin1(in.readLine(4096));
        QRegularExpressionMatch m = media.match(line);
        if (!m.hasMatch())
            m = pageSize.match(line);
        if (m.hasMatch())
            area = std::max(area, m.captured(1).toDouble() * m.captured(2).toDouble());
        m = box.match(line);
        if (m.hasMatch())
            area = std::max(area,
                (m.captured(3).toDouble() - m.captured(1).toDouble())
                    * (m.captured(4).toDouble() - m.captured(2).toDouble()));
    }
    return area > 17.0 * 72 * 17 * 72 ? largePageResolution : resolution;
}

// The page as the engraver burns it: grey, then Floyd-Steinberg dithered
// by the application's own ditherer, then each 8 x 8 block's share of
// black as a grey level, so that two ditherings of the same tones agree.
QImage ditheredTones(const QImage &page)
{
    const QImage grey = page.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32);
    ditherer pass(ditherer::FloydSteinberg, grey.width());
    const QImage mono = pass.ditherTile(grey).convertToFormat(QImage::Format_Grayscale8);
    constexpr int block = 8;
    QImage tones(
        (mono.width() + block - 1) / block, (mono.height() + block - 1) / block, QImage::Format_Grayscale8);
    QVector<int> sums(tones.width());
    for (int by = 0; by < tones.height(); ++by) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int y = by * block; y < std::min(mono.height(), (by + 1) * block); ++y) {
            const uchar *line = mono.constScanLine(y);
            for (int x = 0; x < mono.width(); ++x)
                sums[x / block] += line[x];
        }
        uchar *out = tones.scanLine(by);
        for (int bx = 0; bx < tones.width(); ++bx)
            out[bx] = uchar(sums[bx] / (block * block));
    }
    return tones.convertToFormat(QImage::Format_RGB32);
}

QString devicePath()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs");
}

// VEXLOR_FIDELITY_CORPUS measures the files of another folder instead
QString corpusDir()
{
    const QString other = qEnvironmentVariable("VEXLOR_FIDELITY_CORPUS");
    return other.isEmpty() ? QStringLiteral(VEXLOR_SOURCE_DIR "/tests/fidelity/corpus") : other;
}
} // namespace

class tst_fidelity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void corpus_data();
    void corpus();
    void cleanupTestCase();

private:
    bool runDevice(const QString &file, const QString &folder, int dpi, QString *output);
    QImage readAndRender(const QString &folder, int dpi, Vexlor::LaserItemList *items);
    QImage reference(const QString &file, const QString &folder, int dpi);

    QStringList m_rows;
};

void tst_fidelity::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY2(QFileInfo(devicePath()).isExecutable(), qPrintable(devicePath() + " is not built"));
    QVERIFY2(
        !QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty(), "Ghostscript (gs) is not installed");
}

bool tst_fidelity::runDevice(const QString &file, const QString &folder, int dpi, QString *output)
{
    QProcess device;
    device.setProcessChannelMode(QProcess::MergedChannels);
    device.start(devicePath(),
        { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
            QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"), QStringLiteral("-r%1").arg(dpi),
            QStringLiteral("-sDitheringType=floyd"), QStringLiteral("-sJobType=mono"),
            QStringLiteral("-sOutputFile=") + folder + QStringLiteral("/o.xml"), file });
    const bool finished = device.waitForFinished(240000);
    *output = QString::fromLocal8Bit(device.readAll());
    return finished && device.exitStatus() == QProcess::NormalExit && device.exitCode() == 0;
}

QImage tst_fidelity::readAndRender(const QString &folder, int dpi, Vexlor::LaserItemList *itemList)
{
    xml2gfxList reader { QDir(folder) };
    QSignalSpy items(&reader, &xml2gfxList::sendItems);
    QSignalSpy widths(&reader, &xml2gfxList::width);
    QSignalSpy heights(&reader, &xml2gfxList::height);
    reader.setTableRect(QRect(0, 0, 40 * dpi, 28 * dpi));
    reader.processGSOutput();
    if (items.count() != 1 || widths.count() != 1 || heights.count() != 1)
        return QImage();
    const auto list = items.first().first().value<Vexlor::LaserItemList>();
    *itemList = list;
    const QSize page(widths.first().first().toString().toInt(), heights.first().first().toString().toInt());

    QImage image(page, QImage::Format_RGB32);
    image.fill(Qt::white);
    renderingManager renderer;
    QSignalSpy finished(&renderer, &renderingManager::finished);
    renderer.getList(list);
    renderer.startRender();
    if (finished.isEmpty() && !finished.wait(120000))
        return QImage();
    const auto tiles = finished.first().first().value<Vexlor::SceneTile>();
    QPainter painter(&image);
    for (const auto &tile : tiles)
        painter.drawPixmap(tile.first.topLeft(), tile.second);
    painter.end();
    return image;
}

QImage tst_fidelity::reference(const QString &file, const QString &folder, int dpi)
{
    const QString png = folder + QStringLiteral("/reference.png");
    QProcess gs;
    gs.setProcessChannelMode(QProcess::MergedChannels);
    gs.start(QStringLiteral("gs"),
        { QStringLiteral("-q"), QStringLiteral("-dBATCH"), QStringLiteral("-dNOPAUSE"),
            QStringLiteral("-dSAFER"), QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-sDEVICE=png16m"),
            QStringLiteral("-r%1").arg(dpi), QStringLiteral("-dTextAlphaBits=4"),
            QStringLiteral("-dGraphicsAlphaBits=4"), QStringLiteral("-dFirstPage=1"),
            QStringLiteral("-dLastPage=1"), QStringLiteral("-sOutputFile=") + png, file });
    if (!gs.waitForFinished(240000) || gs.exitCode() != 0)
        return QImage();
    return QImage(png);
}

void tst_fidelity::corpus_data()
{
    QTest::addColumn<QString>("file");
    const QFileInfoList files = QDir(corpusDir()).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &file : files)
        if (file.suffix() == QLatin1String("ps") || file.suffix() == QLatin1String("eps"))
            QTest::newRow(qPrintable(file.fileName())) << file.absoluteFilePath();
    QVERIFY(!files.isEmpty());
}

void tst_fidelity::corpus()
{
    QFETCH(QString, file);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const int dpi = resolutionFor(file);

    QElapsedTimer clock;
    clock.start();
    QString output;
    QVERIFY2(runDevice(file, folder.path(), dpi, &output), qPrintable(output));
    const qint64 deviceMs = clock.elapsed();
    Vexlor::LaserItemList items;
    const QImage ours = readAndRender(folder.path(), dpi, &items);
    QVERIFY2(!ours.isNull(), "the scene could not be read or rendered");
    const QImage theirs = reference(file, folder.path(), dpi);
    QVERIFY2(!theirs.isNull(), "Ghostscript could not render the reference");

    const pageComparison::Result result = pageComparison::compare(ours, theirs);
    QVERIFY2(result.sameSize,
        qPrintable(QStringLiteral("page sizes differ: %1x%2 against %3x%4")
                       .arg(ours.width())
                       .arg(ours.height())
                       .arg(theirs.width())
                       .arg(theirs.height())));
    // the weight of the ink, over the page and place by place
    const double weight = pageComparison::darkness(ours) / std::max(1.0, pageComparison::darkness(theirs));
    const double blocks = pageComparison::blockWeightAgreement(ours, theirs);
    // the engraving: both pages dithered as the job is
    const QImage ourTones = ditheredTones(ours);
    const QImage theirTones = ditheredTones(theirs);
    const double dithered = pageComparison::blockWeightAgreement(ourTones, theirTones, 8);
    // the cut: every stroked line of the scene is a cut line, and lies on
    // the reference's ink
    int cutLines = 0;
    QImage cut(ours.size(), QImage::Format_RGB32);
    cut.fill(Qt::white);
    {
        QPainter painter(&cut);
        for (const LaserOp::LaserOp &item : items) {
            if (item.type != LaserOp::CutLine)
                continue;
            ++cutLines;
            painter.save();
            if (item.clipPath.elementCount() >= 3)
                painter.setClipPath(item.clipPath);
            QPen pen = item.pen;
            pen.setColor(Qt::black);
            painter.setPen(pen);
            painter.drawPath(item.path);
            painter.restore();
        }
    }
    qint64 cutPixels = 0, cutOnInk = 0;
    const QImage theirGrey = theirs.convertToFormat(QImage::Format_Grayscale8);
    for (int y = 0; y < cut.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(cut.constScanLine(y));
        for (int x = 0; x < cut.width(); ++x) {
            if (qBlue(line[x]) > 128)
                continue;
            ++cutPixels;
            // within a pixel of ink in the reference
            bool ink = false;
            for (int dy = -1; dy <= 1 && !ink; ++dy)
                for (int dx = -1; dx <= 1 && !ink; ++dx) {
                    const int u = x + dx, v = y + dy;
                    ink = u >= 0 && v >= 0 && u < cut.width() && v < cut.height()
                        && theirGrey.constScanLine(v)[u] < 250;
                }
            cutOnInk += ink;
        }
    }
    const double cutAgreement = cutPixels ? double(cutOnInk) / cutPixels : 1.0;

    const QString name = QFileInfo(file).fileName();
    m_rows << QStringLiteral("| %1 | %2 | %3 x %4 | %5 | %6 | %7 % | %8 | %9 % | %10 % | %11 % | %12 |")
                  .arg(name)
                  .arg(dpi)
                  .arg(ours.width())
                  .arg(ours.height())
                  .arg(items.size())
                  .arg(cutLines)
                  .arg(100.0 * result.inkAgreement(), 0, 'f', 2)
                  .arg(weight, 0, 'f', 3)
                  .arg(100.0 * blocks, 0, 'f', 2)
                  .arg(100.0 * dithered, 0, 'f', 2)
                  .arg(100.0 * cutAgreement, 0, 'f', 2)
                  .arg(deviceMs);
    const QString keep = qEnvironmentVariable("VEXLOR_FIDELITY_KEEP");
    if (!keep.isEmpty()) {
        QDir().mkpath(keep);
        const QString stem = QDir(keep).filePath(QFileInfo(file).completeBaseName());
        ours.save(stem + QStringLiteral("-scene.png"));
        theirs.save(stem + QStringLiteral("-gs.png"));
        result.differences.save(stem + QStringLiteral("-diff.png"));
        ourTones.save(stem + QStringLiteral("-scene-dithered.png"));
        theirTones.save(stem + QStringLiteral("-gs-dithered.png"));
    }
    QStringList faults;
    const KnownShortfall *known = shortfallOf(name);
    const double inkTarget = known ? known->ink : target;
    const double blockTarget = known ? known->blocks : target;
    const double ditheredTarget = known ? known->dithered : target;
    const double weightLow = known ? known->weightLow : 1.0 - weightTolerance;
    const double weightHigh = known ? known->weightHigh : 1.0 + weightTolerance;
    if (known)
        qInfo().noquote() << name << "misses a target for a known cause:" << known->cause;
    if (result.inkAgreement() < inkTarget)
        faults
            << QStringLiteral("%1 % of the ink pixels agree").arg(100.0 * result.inkAgreement(), 0, 'f', 2);
    if (weight < weightLow || weight > weightHigh)
        faults << QStringLiteral("the ink weighs %1 of Ghostscript's").arg(weight, 0, 'f', 3);
    if (blocks < blockTarget)
        faults
            << QStringLiteral("%1 % of the ink weight agrees block by block").arg(100.0 * blocks, 0, 'f', 2);
    if (dithered < ditheredTarget)
        faults << QStringLiteral("%1 % of the dithered tones agree").arg(100.0 * dithered, 0, 'f', 2);
    if (cutAgreement < target)
        faults << QStringLiteral("%1 % of the cut lines lie on Ghostscript's ink")
                      .arg(100.0 * cutAgreement, 0, 'f', 2);
    // files drawn with lines keep them as cut lines (a page that reached the
    // device as one picture has none)
    if (name.contains(QLatin1String("lines")) || name.contains(QLatin1String("shapes"))
        || name.contains(QLatin1String("segments")))
        if (cutLines == 0)
            faults << QStringLiteral("no cut lines");
    QVERIFY2(faults.isEmpty(), qPrintable(name + QStringLiteral(": ") + faults.join(QStringLiteral("; "))));
}

void tst_fidelity::cleanupTestCase()
{
    QStringList table;
    table << QStringLiteral("| File | dpi | Page (px) | Items | Cut lines | Ink agreeing | Ink weight | "
                            "Weight by block | Dithered | Cut on ink | vexlor-gs (ms) |")
          << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|---|") << m_rows;
    for (const QString &row : table)
        qInfo().noquote() << row;
    const QString report = qEnvironmentVariable("VEXLOR_FIDELITY_REPORT");
    if (!report.isEmpty()) {
        QFile file(report);
        if (file.open(QIODevice::WriteOnly | QIODevice::Text))
            file.write(table.join(QLatin1Char('\n')).toUtf8() + '\n');
    }
}

QTEST_MAIN(tst_fidelity)
#include "tst_fidelity.moc"
