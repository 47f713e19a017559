// The real application, run as the user runs it, with everything around it
// real too: jobs filtered with the queue's PPD and sent by its backend, pages
// flattened by vexlor-gs, jobs sent over LPD to a virtual engraver.
#include "e2ehelpers.h"
#include "imageprocessor.h"
#include "jobdecoder.h"
#include "vexlortypes.h"
#include "xml2gfxlist.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

namespace {

const QByteArray drawing = R"(
/inch { 72 mul } def
0.2 setgray 1 inch 1 inch 2 inch 1 inch rectfill
1 0 0 setrgbcolor 0.72 setlinewidth
newpath 1 inch 3 inch moveto 4 inch 3 inch lineto 4 inch 5 inch 2 inch 5 inch 1 inch 4 inch curveto closepath stroke
0 setgray 6 setlinewidth newpath 5 inch 1 inch moveto 7 inch 2 inch lineto stroke
gsave 5 inch 4 inch translate 2 inch 1 inch scale
8 4 8 [8 0 0 4 0 0] {<00204060 80a0c0e0 ffe0c0a0 80604020 10305070 90b0d0f0 f0d0b090 70503010>} image
grestore
)";

// The application with a home folder of its own whose engraver list selects
// the virtual engraver.
class RunningApp
{
public:
    RunningApp(const QString &home, int engraverPort, const QString &gsLog)
    {
        QDir().mkpath(home + "/Library/Vexlor");
        QFile list(home + "/Library/Vexlor/settings.xml");
        list.open(QIODevice::WriteOnly);
        list.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListStart default=\"0\">\n"
                   "    <Machine name=\"Virtual\" addr=\"127.0.0.1\" type=\"0\"/>\n</ListStart>\n");
        list.close();

        // Ghostscript through a wrapper that records its arguments.
        const QString wrapper = home + "/gs-wrapper.sh";
        QFile script(wrapper);
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + gsLog.toUtf8() + "'\nexec '"
            + binary("vexlor-gs").toUtf8() + "' \"$@\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VEXLOR_GS", wrapper);
        env.insert("VEXLOR_ENGRAVER_PORT", QString::number(engraverPort));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(binary("VexlorApp"), QStringList());
    }

    ~RunningApp() { stop(); }

    bool waitListening()
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            if (log().contains("Unable to start the PrintListener"))
                return false;
            if (log().contains("INFO: \"PrintListener Started!\""))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
        return false;
    }

    QString log()
    {
        m_log += QString::fromLocal8Bit(m_process.readAll());
        return m_log;
    }

    bool running() const { return m_process.state() == QProcess::Running; }

    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitCode();
        m_process.terminate();
        if (!m_process.waitForFinished(30000))
            m_process.kill();
        log();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    ChildProcess m_process;
    QString m_log;
};

// The final preview of the scene left in /tmp/GSTemp, built with the same
// workers as the application: strokes no wider than the thinnest one are cut,
// the rest is desaturated and dithered.
struct FinalPreview
{
    QImage raster;
    QPainterPath cut;
};

FinalPreview finalPreviewOf(int resolution, const QString &jobType)
{
    FinalPreview preview;
    xml2gfxList reader(QDir(QStringLiteral("/tmp/GSTemp")));
    QSignalSpy items(&reader, SIGNAL(sendItems(Vexlor::LaserItemList)));
    QSignalSpy widths(&reader, SIGNAL(sendWidths(Vexlor::WidthList)));
    reader.setTableRect(QRect(QPoint(0, 0), QPoint(40 * resolution, 28 * resolution)));
    reader.processGSOutput();
    if (items.isEmpty())
        return preview;
    Vexlor::LaserItemList list = items.at(0).at(0).value<Vexlor::LaserItemList>();
    Vexlor::WidthList strokeWidths = widths.at(0).at(0).value<Vexlor::WidthList>();
    double thinnest = std::numeric_limits<double>::infinity();
    for (double w : strokeWidths)
        thinnest = qMin(thinnest, w * 72 / resolution);
    if (strokeWidths.isEmpty())
        thinnest = 0;
    const double threshold = QString::number(thinnest + 0.01, 'f', 2).toDouble() * resolution / 72;

    VectorList rasters;
    for (LaserOp::LaserOp &item : list) {
        if ((item.type == 0 || item.type == 1) && item.pen.style() != Qt::NoPen)
            item.type = item.pen.widthF() > threshold ? 1 : 0;
        if (item.type == 0 && jobType != "raster")
            preview.cut.addPath(item.path);
        if ((item.type == 1 || item.type == 4) && jobType != "vector")
            rasters.items << item;
    }

    imageProcessor processor;
    QSignalSpy tiles(&processor, SIGNAL(sendDitheredTiles(Vexlor::SceneTile)));
    processor.getRasters(rasters);
    processor.setDithering(0);
    processor.process();
    if (!tiles.wait(120000) && tiles.isEmpty())
        return preview;
    const Vexlor::SceneTile dithered = tiles.at(0).at(0).value<Vexlor::SceneTile>();
    QRect extent;
    for (const auto &tile : dithered)
        extent = extent.united(tile.first);
    if (extent.isEmpty())
        return preview;
    preview.raster = QImage(extent.right() + 1, extent.bottom() + 1, QImage::Format_RGB32);
    preview.raster.fill(Qt::white);
    QPainter painter(&preview.raster);
    for (const auto &tile : dithered)
        painter.drawPixmap(tile.first.topLeft(), tile.second);
    return preview;
}

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void printedJobIsEngraved_data();
    void printedJobIsEngraved();
    void itemsOffTheTableAreDropped();
    void newJobWhileRendering();
    void malformedPostScriptLeavesAppUsable();

private:
    QTemporaryDir m_work;
};

void tst_EndToEnd::initTestCase()
{
    Vexlor::registerMetaTypes();
    for (const char *tool : { "VexlorApp", "vexlor-gs", "vexlor", "vexlor-engraver" })
        QVERIFY2(QFileInfo::exists(binary(tool)), tool);
    QVERIFY(QFileInfo::exists(ppdFile()));
}

void tst_EndToEnd::printedJobIsEngraved_data()
{
    QTest::addColumn<QString>("jobType");
    QTest::addColumn<bool>("raster");
    QTest::addColumn<bool>("vectors");
    QTest::newRow("vector") << "vector" << false << true;
    QTest::newRow("raster") << "raster" << true << false;
    QTest::newRow("combined") << "combo" << true << true;
}

void tst_EndToEnd::printedJobIsEngraved()
{
    QFETCH(QString, jobType);
    QFETCH(bool, raster);
    QFETCH(bool, vectors);

    QTemporaryDir work;
    VirtualEngraver engraver;
    QVERIFY2(engraver.isListening(), qPrintable(engraver.log()));
    const QString gsLog = work.filePath("gs-arguments.txt");
    RunningApp app(work.filePath("home"), engraver.port(), gsLog);
    QVERIFY2(app.waitListening(), qPrintable(app.log()));

    const QString title = "Sign " + jobType;
    const QString ps = writePostScript(work.path(), "job.ps", drawing, title.toUtf8());
    QString backendLog;
    QCOMPARE(printThroughQueue(ps,
                 { "JobType=" + jobType, "directPrint=enabled", "cResolution=300", "rasterPower=Custom.42",
                     "vectorSpeed=Custom.17" },
                 work.path(), &backendLog),
        0);

    QTRY_VERIFY_WITH_TIMEOUT(engraver.jobs().size() == 1, 180000);
    QVERIFY(app.running());

    // The spool file and the options file of the job.
    const QString spool = newestFile("/tmp/PSLib", "*.txt");
    QVERIFY(!spool.isEmpty());
    QFile spoolFile(spool);
    QVERIFY(spoolFile.open(QIODevice::ReadOnly));
    const QByteArray spooled = spoolFile.readAll();
    QVERIFY(spooled.contains("%%BeginFeature: *JobType " + jobType.toUtf8()));
    QVERIFY(spooled.endsWith("%%EOF\n"));
    const QString options = "/tmp/XMLLib/" + QFileInfo(spool).completeBaseName() + ".xml";
    QFile optionsFile(options);
    QVERIFY2(optionsFile.open(QIODevice::ReadOnly), qPrintable(options));
    const QByteArray optionsXml = optionsFile.readAll();
    QVERIFY(optionsXml.contains("<JobType>" + jobType.toUtf8() + "</JobType>"));
    QVERIFY(optionsXml.contains("<Title>" + title.toUtf8() + "</Title>"));

    // Ghostscript got the ten arguments.
    QFile args(gsLog);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()).split('\n', Qt::SkipEmptyParts),
        QStringList({ "-dDOINTERPOLATE", "-dBATCH", "-dSAFER", "-dNOPAUSE", "-sDEVICE=vexlor", "-r300",
            "-sDitheringType=standard", "-sJobType=mono", "-sOutputFile=/tmp/GSTemp/o.xml", spool }));

    // out.prn and what the engraver received are the same bytes.
    QFile out("/tmp/GSTemp/out.prn");
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray job = out.readAll();
    QVERIFY(job.size() > 4096);
    QCOMPARE(engraver.jobData(engraver.jobs().first()), job);

    JobDecoder::DecodedJob decoded;
    QString error;
    QVERIFY2(JobDecoder::decodeJob(job, &decoded, &error), qPrintable(error));
    QCOMPARE(decoded.settings.jobName.value_or(QString()), title);
    QCOMPARE(decoded.settings.unitsPerInch.value_or(0), 300);
    QCOMPARE(decoded.settings.rasterPower.value_or(0), 42.0);
    QCOMPARE(decoded.settings.vectorSpeed.value_or(QByteArray()), QByteArray("17"));
    QCOMPARE(!decoded.bitmap.isNull(), raster);
    QCOMPARE(!decoded.vectors.isEmpty(), vectors);

    // What the engraver would do agrees with the final preview.
    const FinalPreview preview = finalPreviewOf(300, jobType);
    if (raster) {
        QVERIFY(!preview.raster.isNull());
        const double agree = agreement(decoded.bitmap, preview.raster);
        QVERIFY2(agree >= 0.999, qPrintable(QString::number(agree)));
    }
    if (vectors) {
        const QRectF expected = preview.cut.boundingRect();
        const QRectF got = decoded.vectors.boundingRect();
        QVERIFY(!expected.isEmpty());
        QVERIFY2(qAbs(expected.left() - got.left()) <= 1 && qAbs(expected.top() - got.top()) <= 1
                && qAbs(expected.right() - got.right()) <= 1 && qAbs(expected.bottom() - got.bottom()) <= 1,
            qPrintable(QString("%1 %2 %3 %4 vs %5 %6 %7 %8")
                           .arg(expected.left())
                           .arg(expected.top())
                           .arg(expected.right())
                           .arg(expected.bottom())
                           .arg(got.left())
                           .arg(got.top())
                           .arg(got.right())
                           .arg(got.bottom())));
    }

    const QString log = app.log();
    QVERIFY(log.contains("INFO: \"Finished PCL Generation.\""));
    QVERIFY(log.contains("INFO: \"End of print job\""));
    QVERIFY2(!log.contains("ERROR:"), qPrintable(log));
    QCOMPARE(app.stop(), 0);
}

void tst_EndToEnd::itemsOffTheTableAreDropped()
{
    QTemporaryDir work;
    VirtualEngraver engraver;
    QVERIFY(engraver.isListening());
    RunningApp app(work.filePath("home"), engraver.port(), work.filePath("gs.txt"));
    QVERIFY(app.waitListening());

    // A page wider than the table with one square on it and one beyond it.
    const QByteArray body = "<< /PageSize [3600 1440] >> setpagedevice\n"
                            "0 setgray 72 72 144 144 rectfill 3240 72 144 144 rectfill\n";
    const QString ps = writePostScript(work.path(), "wide.ps", body);
    QFile raw(ps);
    QCOMPARE(
        printThroughQueue(ps, { "JobType=raster", "directPrint=enabled", "cResolution=75" }, work.path()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(engraver.jobs().size() == 1, 120000);
    QVERIFY(app.log().contains("Item Out Of Bounds"));

    JobDecoder::DecodedJob decoded;
    QVERIFY(JobDecoder::decodeJob(engraver.jobData(engraver.jobs().first()), &decoded));
    // Only the square on the table is engraved.
    QVERIFY(!decoded.bitmap.isNull());
    QVERIFY(decoded.bitmap.width() <= 40 * 75 + 1);
}

void tst_EndToEnd::newJobWhileRendering()
{
    QTemporaryDir work;
    VirtualEngraver engraver;
    QVERIFY(engraver.isListening());
    RunningApp app(work.filePath("home"), engraver.port(), work.filePath("gs.txt"));
    QVERIFY(app.waitListening());

    // A heavy first job, then a light one right behind it.
    QByteArray heavy = "0.5 setgray\n";
    for (int i = 0; i < 400; ++i)
        heavy += QByteArray::number(36 + (i % 20) * 27) + " " + QByteArray::number(36 + (i / 20) * 36)
            + " 20 30 rectfill\n";
    const QString first = writePostScript(work.path(), "heavy.ps", heavy, "Heavy");
    const QString second
        = writePostScript(work.path(), "light.ps", "0 setgray 72 72 72 72 rectfill\n", "Light");
    QCOMPARE(printThroughQueue(first, { "JobType=raster", "cResolution=600" }, work.path()), 0);
    QCOMPARE(printThroughQueue(
                 second, { "JobType=raster", "directPrint=enabled", "cResolution=150" }, work.path()),
        0);

    QTRY_VERIFY_WITH_TIMEOUT(!engraver.jobs().isEmpty(), 180000);
    JobDecoder::DecodedJob decoded;
    QVERIFY(JobDecoder::decodeJob(engraver.jobData(engraver.jobs().last()), &decoded));
    QCOMPARE(decoded.settings.jobName.value_or(QString()), QStringLiteral("Light"));
    QVERIFY(app.running());
    QCOMPARE(app.stop(), 0);
}

void tst_EndToEnd::malformedPostScriptLeavesAppUsable()
{
    QTemporaryDir work;
    VirtualEngraver engraver;
    QVERIFY(engraver.isListening());
    RunningApp app(work.filePath("home"), engraver.port(), work.filePath("gs.txt"));
    QVERIFY(app.waitListening());

    const QString bad = writePostScript(work.path(), "bad.ps", "1 2 3 nosuchoperator\n", "Broken");
    QCOMPARE(printThroughQueue(bad, { "directPrint=enabled" }, work.path()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        app.log().contains("Job Failed") || app.log().contains("could not read the print job"), 120000);
    QVERIFY(engraver.jobs().isEmpty());

    // The next good job goes through.
    const QString good = writePostScript(work.path(), "good.ps", "0 setgray 72 72 72 72 rectfill\n", "Good");
    QCOMPARE(
        printThroughQueue(good, { "JobType=raster", "directPrint=enabled", "cResolution=150" }, work.path()),
        0);
    QTRY_VERIFY_WITH_TIMEOUT(engraver.jobs().size() == 1, 120000);
    QCOMPARE(app.stop(), 0);
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
