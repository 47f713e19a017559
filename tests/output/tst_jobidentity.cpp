// The engraver jobs of real print files stay the same bytes from one version
// of the raster chain to the next.
//
// Each case takes a PostScript file of the fidelity corpus or the samples
// through vexlor-gs and the scene reader, sorts the items the way the main
// window does with its default stroke-width threshold, and makes the engraver
// job with the image processor (rendering, grey, dithering) and the job
// generator. The SHA-256 digest and the size of each job are compared with
// data/jobidentity.txt, which holds the jobs of a version known to be right.
//
// VEXLOR_JOBIDENTITY_RECORD=FILE writes the digests of the version under test
// to FILE instead of comparing them (to record new references, build the
// version whose output is to be kept).

#include "imageprocessor.h"
#include "pclgenerator.h"
#include "settingslookup.h"
#include "vexlortypes.h"
#include "xml2gfxlist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

QString devicePath()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs");
}

QString referencePath()
{
    return QStringLiteral(VEXLOR_SOURCE_DIR "/tests/output/data/jobidentity.txt");
}

QString sourceFile(const QString &name)
{
    if (name == QLatin1String("sample.ps"))
        return QStringLiteral(VEXLOR_SOURCE_DIR "/samples/") + name;
    return QStringLiteral(VEXLOR_SOURCE_DIR "/tests/fidelity/corpus/") + name;
}

struct Case
{
    QString file;
    int dpi;
    QString dithering; // the job's "dithering" option, as the queue writes it
    QString jobType;
    QString direction;
    QString centre;

    QString key() const
    {
        return QStringLiteral("%1 %2 %3 %4 %5 %6")
            .arg(file)
            .arg(dpi)
            .arg(dithering, jobType, direction, centre);
    }
};

QList<Case> cases()
{
    QList<Case> list;
    QStringList files
        = QDir(QStringLiteral(VEXLOR_SOURCE_DIR "/tests/fidelity/corpus"))
              .entryList({ QStringLiteral("*.ps"), QStringLiteral("*.eps") }, QDir::Files, QDir::Name);
    files.append(QStringLiteral("sample.ps"));
    const QString top = QStringLiteral("top");
    const QString none = QStringLiteral("none");
    const QString combo = QStringLiteral("combo");
    for (const QString &file : files)
        list.append({ file, 600, QStringLiteral("floyd"), combo, top, none });
    for (const char *method : { "ordered", "brighten", "lowres", "jarvis", "stucki" }) {
        list.append({ QStringLiteral("sample.ps"), 600, QLatin1String(method), combo, top, none });
        list.append({ QStringLiteral("cairo-images.ps"), 300, QLatin1String(method), combo, top, none });
    }
    list.append(
        { QStringLiteral("sample.ps"), 600, QStringLiteral("floyd"), QStringLiteral("raster"), top, none });
    list.append(
        { QStringLiteral("sample.ps"), 600, QStringLiteral("floyd"), QStringLiteral("vector"), top, none });
    list.append(
        { QStringLiteral("sample.ps"), 600, QStringLiteral("floyd"), combo, QStringLiteral("bottom"), none });
    list.append({ QStringLiteral("sample.ps"), 600, QStringLiteral("ordered"), combo,
        QStringLiteral("bottom"), QStringLiteral("center-center") });
    list.append(
        { QStringLiteral("sample.ps"), 600, QStringLiteral("floyd"), combo, top, QStringLiteral("page") });
    list.append({ QStringLiteral("cairo-images.ps"), 150, QStringLiteral("floyd"), combo, top, none });
    list.append({ QStringLiteral("cairo-images.ps"), 1200, QStringLiteral("floyd"), combo, top, none });
    list.append({ QStringLiteral("im-gray.eps"), 1200, QStringLiteral("ordered"), combo, top, none });
    list.append({ QStringLiteral("im-rgb.eps"), 300, QStringLiteral("stucki"), combo,
        QStringLiteral("bottom"), none });
    list.append({ QStringLiteral("gnuplot-map.ps"), 300, QStringLiteral("ordered"), combo, top, none });
    list.append({ QStringLiteral("enscript-code.ps"), 1200, QStringLiteral("floyd"), combo, top, none });
    return list;
}

int roundHalfUp(double value)
{
    return static_cast<int>(std::floor(value + 0.5));
}

} // namespace

class tst_JobIdentity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void jobs_data();
    void jobs();
    void cleanupTestCase();

private:
    bool scene(const QString &file, int dpi, QString *folder);
    QByteArray makeJob(const Case &c, const QString &folder);

    QTemporaryDir m_work;
    QMap<QString, QString> m_scenes;
    QMap<QString, QPair<qint64, QByteArray>> m_expected;
    QStringList m_recorded;
};

void tst_JobIdentity::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY(m_work.isValid());
    QVERIFY2(QFileInfo(devicePath()).isExecutable(), qPrintable(devicePath() + " is not built"));
    if (!qEnvironmentVariableIsEmpty("VEXLOR_JOBIDENTITY_RECORD"))
        return;
    QFile file(referencePath());
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.errorString()));
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        // key (six words), size, digest
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(words.size(), 8);
        m_expected.insert(
            words.mid(0, 6).join(QLatin1Char(' ')), { words.at(6).toLongLong(), words.at(7).toLatin1() });
    }
    QVERIFY(!m_expected.isEmpty());
}

bool tst_JobIdentity::scene(const QString &file, int dpi, QString *folder)
{
    const QString key = QStringLiteral("%1.%2").arg(file).arg(dpi);
    if (m_scenes.contains(key)) {
        *folder = m_scenes.value(key);
        return true;
    }
    *folder = m_work.filePath(key);
    QDir().mkpath(*folder);
    QProcess device;
    device.setProcessChannelMode(QProcess::MergedChannels);
    device.start(devicePath(),
        { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
            QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"), QStringLiteral("-r%1").arg(dpi),
            QStringLiteral("-sDitheringType=floyd"), QStringLiteral("-sJobType=mono"),
            QStringLiteral("-sOutputFile=") + *folder + QStringLiteral("/o.xml"), sourceFile(file) });
    if (!device.waitForFinished(240000) || device.exitStatus() != QProcess::NormalExit
        || device.exitCode() != 0) {
        qWarning().noquote() << device.readAll();
        return false;
    }
    m_scenes.insert(key, *folder);
    return true;
}

// The job as the main window makes it from the scene with the default
// stroke-width threshold: the thinnest strokes are cut, the others engraved.
QByteArray tst_JobIdentity::makeJob(const Case &c, const QString &folder)
{
    xml2gfxList reader { QDir(folder) };
    QSignalSpy items(&reader, &xml2gfxList::sendItems);
    QSignalSpy widths(&reader, &xml2gfxList::sendWidths);
    QSignalSpy pageWidth(&reader, &xml2gfxList::width);
    QSignalSpy pageHeight(&reader, &xml2gfxList::height);
    reader.setTableRect(QRect(QPoint(0, 0), QPoint(40 * c.dpi, 28 * c.dpi)));
    reader.processGSOutput();
    if (items.count() != 1 || pageWidth.count() != 1 || pageHeight.count() != 1)
        return QByteArray();
    Vexlor::LaserItemList list = items.first().first().value<Vexlor::LaserItemList>();
    QRect page;
    page.setRight(pageWidth.first().first().toString().toInt());
    page.setBottom(pageHeight.first().first().toString().toInt());

    // Bounds of the job.
    QRect bounds;
    if (c.centre == QLatin1String("page")) {
        bounds = page;
    } else {
        QRectF area;
        for (const LaserOp::LaserOp &item : qAsConst(list)) {
            if (item.type == LaserOp::Hidden)
                continue;
            QRectF rect;
            if (item.type == LaserOp::Image) {
                if (c.jobType == QLatin1String("vector"))
                    continue;
                rect = QRectF(item.transform.mapRect(item.pixmap.rect()));
            } else {
                if (c.jobType == QLatin1String("raster"))
                    continue;
                rect = item.path.boundingRect();
                if (item.pen.style() != Qt::NoPen) {
                    const double w = item.pen.widthF();
                    rect.adjust(-w, -w, w, w);
                }
            }
            if (item.clipPath.elementCount() >= 3)
                rect = rect.intersected(item.clipPath.boundingRect());
            area = area.united(rect);
        }
        bounds = QRect(roundHalfUp(area.x()), roundHalfUp(area.y()), roundHalfUp(area.width()),
            roundHalfUp(area.height()));
    }

    // The default threshold: just above the thinnest stroke, in points with two decimals.
    double smallest = 0;
    if (!widths.isEmpty()) {
        QList<double> all = widths.first().first().value<Vexlor::WidthList>();
        if (!all.isEmpty())
            smallest = *std::min_element(all.begin(), all.end()) * 72 / c.dpi;
    }
    const double threshold = QString::number(smallest + 0.01, 'f', 2).toDouble() * c.dpi / 72.0;
    VectorList vectors;
    VectorList rasters;
    for (LaserOp::LaserOp &item : list) {
        if ((item.type == LaserOp::CutLine || item.type == LaserOp::EngravedPath)
            && item.pen.style() != Qt::NoPen)
            item.type = item.pen.widthF() > threshold ? LaserOp::EngravedPath : LaserOp::CutLine;
        if (item.type == LaserOp::CutLine || item.type == LaserOp::EngravedAndCut)
            vectors.items.append(item);
        if (item.type == LaserOp::EngravedPath || item.type == LaserOp::EngravedAndCut
            || item.type == LaserOp::Image)
            rasters.items.append(item);
    }
    if (c.jobType == QLatin1String("vector"))
        rasters = VectorList();
    if (c.jobType == QLatin1String("raster"))
        vectors = VectorList();

    imageProcessor processor;
    QSignalSpy dithered(&processor, &imageProcessor::sendDitheredTiles);
    processor.getRasters(rasters);
    processor.setDithering(Vexlor::ditheringIndex(c.dithering));
    processor.process();
    if (dithered.isEmpty() && !dithered.wait(600000))
        return QByteArray();

    vexlorSettings settings;
    settings.settings.insert(QStringLiteral("Title"), c.file);
    settings.settings.insert(QStringLiteral("CustomcResolution"), QString::number(c.dpi));
    settings.settings.insert(QStringLiteral("JobType"), c.jobType);
    settings.settings.insert(QStringLiteral("dithering"), c.dithering);
    settings.settings.insert(QStringLiteral("EngravingDirection"), c.direction);
    settings.settings.insert(QStringLiteral("CenterEngraving"), c.centre);
    pclGenerator generator;
    QSignalSpy done(&generator, &pclGenerator::done);
    generator.setSettings(settings);
    generator.getVectors(vectors);
    generator.getBoundingRect(bounds);
    generator.setPixTiles(dithered.first().first().value<Vexlor::SceneTile>());
    generator.process();
    if (done.count() != 1)
        return QByteArray();
    return done.first().first().toByteArray();
}

void tst_JobIdentity::jobs_data()
{
    QTest::addColumn<int>("index");
    const QList<Case> all = cases();
    for (int i = 0; i < all.size(); ++i)
        QTest::newRow(qPrintable(all.at(i).key())) << i;
}

void tst_JobIdentity::jobs()
{
    QFETCH(int, index);
    const Case c = cases().at(index);
    QString folder;
    QVERIFY2(scene(c.file, c.dpi, &folder), "vexlor-gs failed");
    const QByteArray job = makeJob(c, folder);
    // Every job has its header, settings, vector block and tail.
    QVERIFY2(job.size() > 4096, "no job was made");
    QVERIFY(job.endsWith(QByteArray(4096, '\0')));
    const QByteArray digest = QCryptographicHash::hash(job, QCryptographicHash::Sha256).toHex();

    if (!qEnvironmentVariableIsEmpty("VEXLOR_JOBIDENTITY_RECORD")) {
        m_recorded.append(
            QStringLiteral("%1 %2 %3").arg(c.key()).arg(job.size()).arg(QString::fromLatin1(digest)));
        return;
    }
    QVERIFY2(m_expected.contains(c.key()), qPrintable(QStringLiteral("no reference for ") + c.key()));
    const auto expected = m_expected.value(c.key());
    QCOMPARE(qint64(job.size()), expected.first);
    QCOMPARE(digest, expected.second);
}

void tst_JobIdentity::cleanupTestCase()
{
    const QString path = qEnvironmentVariable("VEXLOR_JOBIDENTITY_RECORD");
    if (path.isEmpty())
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Text));
    file.write("# Engraver jobs of the corpus: file, dpi, dithering, job type, engraving direction,\n"
               "# centring, job size in bytes, SHA-256 of the job.\n");
    file.write(m_recorded.join(QLatin1Char('\n')).toUtf8() + '\n');
}

QTEST_MAIN(tst_JobIdentity)
#include "tst_jobidentity.moc"
