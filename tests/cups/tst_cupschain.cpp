// The whole print path on this machine: Debian's CUPS filter writes the job for
// the engraver queue's PPD with the chosen options, the vexlor backend sends it
// to 127.0.0.1:55000, and the application's printListener and psOptionParser
// spool it and read the options back. PDF documents, as most programs print,
// go through the queue set up as the guide says and reach the engraver device
// with their lines as vectors, where they are on their page.

#include "printlistener.h"
#include "psoptionparser.h"
#include "vexlorsettings.h"
#include "vexlortypes.h"

#include <QPolygonF>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cups/backend.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString backendPath = QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor");
const QString ppdPath = QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");
const QString samplePath = QStringLiteral(VEXLOR_SOURCE_DIR "/samples/sample.ps");
const QString vexlorGsPath = QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs");
const QString cupsGuide = QStringLiteral(VEXLOR_SOURCE_DIR "/docs/cups.md");

using Strokes = QList<QPolygonF>;

// The queue settings of the lpadmin command that the guide gives for a new
// queue ("name-default=value"), so that the tests set up the queue exactly as
// a user following it does.
QStringList documentedQueueSettings()
{
    QFile guide(cupsGuide);
    if (!guide.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QString command;
    bool inCommand = false;
    while (!guide.atEnd()) {
        const QString line = QString::fromUtf8(guide.readLine()).trimmed();
        if (line.startsWith(QLatin1String("lpadmin -p engraver -E")))
            inCommand = true;
        if (!inCommand)
            continue;
        command += line + QLatin1Char(' ');
        if (!line.endsWith(QLatin1Char('\\')))
            break;
    }
    QStringList settings;
    auto it = QRegularExpression(QStringLiteral("-o (\\S+-default=\\S+)")).globalMatch(command);
    while (it.hasNext())
        settings << it.next().captured(1);
    return settings;
}

// The same settings as options of one job (for cupsfilter).
QStringList asJobOptions(const QStringList &queueSettings)
{
    QStringList options;
    for (QString s : queueSettings)
        options << s.replace(QLatin1String("-default="), QLatin1String("="));
    return options;
}

// What the engraver device makes of a job: the page size and every stroke as
// its points (a final point equal to the first one left out), in device
// pixels from the page's top left corner.
struct Scene
{
    QSize page;
    Strokes strokes;
    int images = 0;
};

QPolygonF readPoints(QXmlStreamReader &xml)
{
    QPolygonF points;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("moveto") || xml.name() == QLatin1String("lineto")) {
            const QStringList xy = xml.readElementText().split(QLatin1Char(','));
            points << QPointF(xy.value(0).toDouble(), xy.value(1).toDouble());
        } else {
            xml.skipCurrentElement();
        }
    }
    if (points.size() > 2 && points.first() == points.last())
        points.removeLast();
    return points;
}

bool drawScene(const QString &job, int dpi, const QString &folder, Scene &scene, QString &why)
{
    QDir().mkpath(folder);
    const QString out = folder + QStringLiteral("/o.xml");
    QFile::remove(out);
    QProcess gs;
    gs.setProcessChannelMode(QProcess::MergedChannels);
    gs.start(vexlorGsPath,
        { "-dDOINTERPOLATE", "-dBATCH", "-dSAFER", "-dNOPAUSE", "-sDEVICE=vexlor",
            QStringLiteral("-r%1").arg(dpi), "-sDitheringType=standard", "-sJobType=mono",
            "-sOutputFile=" + out, job });
    if (!gs.waitForFinished(120000) || gs.exitCode() != 0) {
        why = "vexlor-gs failed: " + QString::fromLocal8Bit(gs.readAll());
        return false;
    }
    QFile file(out);
    if (!file.open(QIODevice::ReadOnly)) {
        why = "no scene file";
        return false;
    }
    scene = Scene();
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("BoundingBox")) {
            while (xml.readNextStartElement()) {
                const int value = xml.readElementText().toInt();
                if (xml.name() == QLatin1String("width"))
                    scene.page.setWidth(value);
                else if (xml.name() == QLatin1String("height"))
                    scene.page.setHeight(value);
            }
        } else if (xml.name() == QLatin1String("stroke_path")) {
            while (xml.readNextStartElement()) {
                if (xml.name() == QLatin1String("path"))
                    scene.strokes << readPoints(xml);
                else
                    xml.skipCurrentElement();
            }
        } else if (xml.name() == QLatin1String("image")) {
            ++scene.images;
        }
    }
    if (xml.hasError()) {
        why = "scene file: " + xml.errorString();
        return false;
    }
    return true;
}

bool samePoints(const Strokes &a, const Strokes &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).size() != b.at(i).size())
            return false;
        for (int j = 0; j < a.at(i).size(); ++j) {
            const QPointF d = a.at(i).at(j) - b.at(i).at(j);
            if (qAbs(d.x()) > 0.6 || qAbs(d.y()) > 0.6)
                return false;
        }
    }
    return true;
}

QString describe(const Strokes &strokes)
{
    QStringList parts;
    for (const QPolygonF &p : strokes) {
        QStringList points;
        for (const QPointF &pt : p)
            points << QStringLiteral("%1,%2").arg(pt.x()).arg(pt.y());
        parts << points.join(' ');
    }
    return parts.join(" | ");
}

// Drawings in points from the page's top left corner, as SVG: the engraved
// strokes must come out at these coordinates at 72 dpi.
const char kSign[]
    = "<svg xmlns='http://www.w3.org/2000/svg' width='8in' height='4in' viewBox='0 0 576 288'>"
      "<rect x='36' y='36' width='504' height='216' fill='none' stroke='black' stroke-width='0.5'/>"
      "<path d='M72 72 L200 200 L300 72' fill='none' stroke='red' stroke-width='0.25'/></svg>";
const Strokes kSignStrokes
    = { QPolygonF(QVector<QPointF> { { 36, 36 }, { 540, 36 }, { 540, 252 }, { 36, 252 } }),
          QPolygonF(QVector<QPointF> { { 72, 72 }, { 200, 200 }, { 300, 72 } }) };
const char kLetter[]
    = "<svg xmlns='http://www.w3.org/2000/svg' width='8.5in' height='11in' viewBox='0 0 612 792'>"
      "<path d='M72 72 L144 72 L144 144 Z' fill='none' stroke='black' stroke-width='0.5'/>"
      "<path d='M500 700 L560 760' fill='none' stroke='black' stroke-width='0.5'/></svg>";
const Strokes kLetterStrokes = { QPolygonF(QVector<QPointF> { { 72, 72 }, { 144, 72 }, { 144, 144 } }),
    QPolygonF(QVector<QPointF> { { 500, 700 }, { 560, 760 } }) };
const char kLandscape[]
    = "<svg xmlns='http://www.w3.org/2000/svg' width='11in' height='8.5in' viewBox='0 0 792 612'>"
      "<path d='M700 500 L760 560 L700 560' fill='none' stroke='black' stroke-width='1'/></svg>";
const Strokes kLandscapeStrokes
    = { QPolygonF(QVector<QPointF> { { 700, 500 }, { 760, 560 }, { 700, 560 } }) };
// A poster of 48 x 36 inches: what lies beyond the table is not engraved.
const char kPoster[]
    = "<svg xmlns='http://www.w3.org/2000/svg' width='48in' height='36in' viewBox='0 0 3456 2592'>"
      "<path d='M36 36 L100 36 L100 100' fill='none' stroke='black' stroke-width='1'/>"
      "<path d='M3000 2400 L3100 2400' fill='none' stroke='black' stroke-width='1'/></svg>";
const Strokes kPosterStrokes = { QPolygonF(QVector<QPointF> { { 36, 36 }, { 100, 36 }, { 100, 100 } }) };
// The Letter drawing as a PostScript program (y upwards from the bottom).
const char kLetterPs[]
    = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n"
      "<</PageSize[612 792]>>setpagedevice 0.5 setlinewidth\n"
      "newpath 72 720 moveto 144 720 lineto 144 648 lineto closepath stroke\n"
      "newpath 500 92 moveto 560 32 lineto stroke\nshowpage\n%%EOF\n";

using Settings = QMap<QString, QString>;

// The options every job of the queue carries when nothing was chosen.
Settings queueDefaults()
{
    return {
        { "JobType", "combo" },
        { "CenterEngraving", "none" },
        { "EngravingDirection", "top" },
        { "dithering", "standard" },
        { "vectorSort", "none" },
        { "autoFocus", "disabled" },
        { "vectorGrid", "disabled" },
        { "directPrint", "disabled" },
        { "vectorSpeedComp", "disabled" },
        { "vectorPowerComp", "enabled" },
        { "cResolution", "600" },
        { "rasterSpeed", "50" },
        { "rasterPower", "50" },
        { "vectorSpeed", "50" },
        { "vectorPower", "50" },
        { "vectorFreq", "50" },
        { "materialThickness", "0" },
    };
}

Settings readOptionsFile(const QString &path)
{
    Settings found;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return found;
    QXmlStreamReader xml(&f);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("InitialSettings"))
        return found;
    while (xml.readNextStartElement()) {
        const QString key = xml.name().toString();
        found.insert(key, xml.readElementText());
    }
    return found;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A scheduler of our own, with every folder in a temporary folder, the system's
// filters, and the vexlor backend as the only backend.
class privateScheduler
{
public:
    ~privateScheduler()
    {
        if (m_cupsd.state() != QProcess::NotRunning) {
            m_cupsd.terminate();
            if (!m_cupsd.waitForFinished(10000))
                m_cupsd.kill();
            m_cupsd.waitForFinished(5000);
        }
    }

    bool start(QString &why)
    {
        if (!m_dir.isValid()) {
            why = "no temporary folder";
            return false;
        }
        const QString d = m_dir.path();
        // Backends run as user lp, which must reach the backend through here.
        QFile::setPermissions(d,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
        for (const char *sub :
            { "spool", "cache", "state", "tmp", "ppd", "log", "serverbin", "serverbin/backend" })
            QDir().mkpath(d + "/" + sub);
        // The filters run as user lp and keep their temporary files here.
        ::chmod(QFile::encodeName(d + "/tmp").constData(), 01777);
        for (const char *sub : { "filter", "daemon", "cgi-bin", "monitor", "notifier", "driver" }) {
            const QString system = QString("/usr/lib/cups/") + sub;
            if (QFileInfo::exists(system))
                QFile::link(system, d + "/serverbin/" + sub);
        }
        QFile::link(backendPath, d + "/serverbin/backend/vexlor");

        QFile conf(d + "/cupsd.conf");
        QFile files(d + "/cups-files.conf");
        if (!conf.open(QIODevice::WriteOnly) || !files.open(QIODevice::WriteOnly)) {
            why = "cannot write the configuration";
            return false;
        }
        conf.write(
            QString("Listen %1/cups.sock\nLogLevel debug\nWebInterface No\nBrowsing No\n"
                    "DefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
                .arg(d)
                .toLocal8Bit());
        files.write(
            QString("ServerRoot %1\nRequestRoot %1/spool\nCacheDir %1/cache\nStateDir %1/state\n"
                    "TempDir %1/tmp\nServerBin %1/serverbin\nDataDir /usr/share/cups\n"
                    "AccessLog %1/log/access_log\nErrorLog %1/log/error_log\nPageLog %1/log/page_log\n"
                    "User lp\nGroup lp\nSystemGroup root\nFileDevice No\n")
                .arg(d)
                .toLocal8Bit());
        conf.close();
        files.close();

        m_cupsd.setProcessChannelMode(QProcess::MergedChannels);
        m_cupsd.start(QStandardPaths::findExecutable("cupsd", { "/usr/sbin" }),
            { "-f", "-c", d + "/cupsd.conf", "-s", d + "/cups-files.conf" });
        if (!m_cupsd.waitForStarted(10000)) {
            why = "cupsd did not start";
            return false;
        }
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(socket()) && t.elapsed() < 20000 && m_cupsd.state() == QProcess::Running)
            QTest::qWait(20);
        if (!QFileInfo::exists(socket())) {
            why = "cupsd did not open its socket: " + QString::fromLocal8Bit(m_cupsd.readAll());
            return false;
        }
        return true;
    }

    QString socket() const { return m_dir.path() + "/cups.sock"; }
    QString errorLog() const { return QString::fromLocal8Bit(readAll(m_dir.path() + "/log/error_log")); }

    // Runs a client program of the print system against this scheduler.
    bool client(const QString &program, const QStringList &args, QByteArray &output)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CUPS_SERVER", socket());
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStandardPaths::findExecutable(program, { "/usr/sbin", "/usr/bin" }), args);
        const bool ok
            = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        output = p.readAll();
        return ok;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_cupsd;
};

} // namespace

class tst_cupschain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void filteredJobs_data();
    void filteredJobs();
    void jobsSentByHand_data();
    void jobsSentByHand();
    void jobsOneAfterAnother();
    void jobThroughQueue();
    void pdfPlacement_data();
    void pdfPlacement();
    void pdfThroughQueue();

private:
    bool makeDocument(const QString &maker, const QByteArray &source, const QString &path, QString &why);
    QString filter(const QString &input, const QStringList &options, QString &why);
    bool runBackend(const QStringList &args, const QString &stdinFile, QByteArray &log);
    bool makeGroffJob(const QString &path);

    QTemporaryDir m_dir;
    QString m_spool;
    QString m_options;
    printListener *m_listener = nullptr;
    psOptionParser *m_parser = nullptr;
    std::unique_ptr<QSignalSpy> m_recived;
    std::unique_ptr<QSignalSpy> m_done;
    std::unique_ptr<QSignalSpy> m_settings;
    std::unique_ptr<QSignalSpy> m_errors;
    std::unique_ptr<QSignalSpy> m_listenerErrors;
};

void tst_cupschain::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFileInfo(backendPath).isExecutable(), qPrintable(backendPath));
    if (QStandardPaths::findExecutable("cupsfilter", { "/usr/sbin", "/usr/bin" }).isEmpty())
        QSKIP("cupsfilter is not installed (package cups)");

    m_spool = m_dir.filePath("PSLib");
    m_options = m_dir.filePath("XMLLib");
    QVERIFY(QDir().mkdir(m_spool));
    QVERIFY(QDir().mkdir(m_options));
    QFile::setPermissions(m_spool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(
        m_options, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    m_listener = new printListener(QDir(m_spool), this);
    m_parser = new psOptionParser(QDir(m_options), this);
    connect(m_listener, &printListener::recived, m_parser, &psOptionParser::name2Parse);
    m_recived = std::make_unique<QSignalSpy>(m_listener, &printListener::recived);
    m_done = std::make_unique<QSignalSpy>(m_parser, QOverload<QString>::of(&psOptionParser::done));
    m_settings = std::make_unique<QSignalSpy>(m_parser, QOverload<vexlorSettings>::of(&psOptionParser::done));
    m_errors = std::make_unique<QSignalSpy>(m_parser, &psOptionParser::error);
    m_listenerErrors = std::make_unique<QSignalSpy>(m_listener, &printListener::error);
    QSignalSpy listenFailed(m_listener, &printListener::listenFailed);
    QVERIFY(QMetaObject::invokeMethod(m_listener, "start", Qt::DirectConnection));
    QVERIFY2(listenFailed.isEmpty(),
        listenFailed.isEmpty() ? ""
                               : qPrintable("Cannot listen on 127.0.0.1:55000 (is VexlorApp running?): "
                                   + listenFailed.at(0).at(0).toString()));
}

void tst_cupschain::init()
{
    m_recived->clear();
    m_done->clear();
    m_settings->clear();
    m_errors->clear();
    m_listenerErrors->clear();
}

QString tst_cupschain::filter(const QString &input, const QStringList &options, QString &why)
{
    QStringList args = { "-p", ppdPath, "-m", "application/vnd.cups-postscript" };
    for (const QString &o : options)
        args << "-o" << o;
    args << input;
    QProcess p;
    const QString out = m_dir.filePath(QFileInfo(input).completeBaseName() + ".filtered");
    p.setStandardOutputFile(out);
    p.start(QStandardPaths::findExecutable("cupsfilter", { "/usr/sbin", "/usr/bin" }), args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        why = QString::fromLocal8Bit(p.readAllStandardError());
        return QString();
    }
    return out;
}

bool tst_cupschain::runBackend(const QStringList &args, const QString &stdinFile, QByteArray &log)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VEXLOR_HOST");
    env.remove("VEXLOR_PORT");
    env.insert("DEVICE_URI", "vexlor://127.0.0.1:55000");
    env.insert("VEXLOR_RETRY_SECONDS", "5");
    p.setProcessEnvironment(env);
    if (!stdinFile.isEmpty())
        p.setStandardInputFile(stdinFile);
    p.start(backendPath, args);
    // The listener runs on this thread: keep the event loop going meanwhile.
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 60000)
        QTest::qWait(10);
    log = p.readAllStandardError();
    return p.state() == QProcess::NotRunning && p.exitStatus() == QProcess::NormalExit
        && p.exitCode() == CUPS_BACKEND_OK;
}

bool tst_cupschain::makeGroffJob(const QString &path)
{
    const QString groff = QStandardPaths::findExecutable("groff");
    if (groff.isEmpty())
        return false;
    QProcess p;
    p.setStandardOutputFile(path);
    p.start(groff, { "-ms", "-Tps" });
    p.write(".TL\nEngraving notes\n.PP\nCut the outline last, after every engraved part.\n");
    p.closeWriteChannel();
    return p.waitForFinished(30000) && p.exitCode() == 0;
}

void tst_cupschain::filteredJobs_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Settings>("expected");

    Settings sample = queueDefaults();
    sample.insert("Title", "Vexlor Sample Job");
    sample.insert("BoundingBox", "36 36 468 324");
    sample.insert("PageCount", "1");
    Settings chosen = sample;
    chosen["JobType"] = "vector";
    chosen.remove("rasterSpeed");
    chosen["CustomrasterSpeed"] = "37";
    chosen.remove("materialThickness");
    chosen["CustommaterialThickness"] = "3.174999952316";
    chosen["autoFocus"] = "enabled";
    chosen["vectorGrid"] = "enabled";
    chosen["cResolution"] = "1200";
    chosen["dithering"] = "floyd";
    chosen.remove("vectorPower");
    chosen["CustomvectorPower"] = "80";
    chosen["directPrint"] = "enabled";
    QTest::newRow("sample, options of a vector job")
        << samplePath
        << QStringList { "JobType=vector", "rasterSpeed=Custom.37", "materialThickness=Custom.3.175",
               "autoFocus=enabled", "vectorGrid=enabled", "cResolution=1200", "dithering=floyd",
               "vectorPower=Custom.80", "directPrint=enabled" }
        << chosen;
    QTest::newRow("sample, queue defaults") << samplePath << QStringList() << sample;

    Settings notes = queueDefaults();
    notes.insert("Title", "notes.ps");
    notes.insert("PageCount", "1");
    // Without a bounding box of its own the job gets the page's.
    notes.insert("BoundingBox", "0 0 2880 2016");
    notes["JobType"] = "raster";
    notes["CenterEngraving"] = "center";
    notes["EngravingDirection"] = "bottom";
    notes.remove("cResolution");
    notes["CustomcResolution"] = "333";
    notes.remove("vectorFreq");
    notes["CustomvectorFreq"] = "12";
    notes["vectorSpeedComp"] = "enabled";
    notes["vectorPowerComp"] = "disabled";
    notes["rasterPower"] = "75";
    QTest::newRow("groff document, raster job")
        << "@groff"
        << QStringList { "JobType=raster", "CenterEngraving=center", "EngravingDirection=bottom",
               "cResolution=Custom.333", "vectorFreq=Custom.12", "vectorSpeedComp=enabled",
               "vectorPowerComp=disabled", "rasterPower=75" }
        << notes;
}

void tst_cupschain::filteredJobs()
{
    QFETCH(QString, input);
    QFETCH(QStringList, options);
    QFETCH(Settings, expected);

    if (input == "@groff") {
        input = m_dir.filePath("notes.ps");
        if (!makeGroffJob(input))
            QSKIP("groff is not installed");
    }
    QString why;
    const QString filtered = filter(input, options, why);
    QVERIFY2(!filtered.isEmpty(), qPrintable(why));
    const QByteArray job = readAll(filtered);
    QVERIFY(job.endsWith("%%EOF\n\x04"));

    // As the scheduler runs it: job id, user, title, copies, options, job on stdin.
    QByteArray log;
    QVERIFY2(
        runBackend({ "17", "anna", "Engraving", "1", options.join(' ') }, filtered, log), log.constData());

    QTRY_COMPARE_WITH_TIMEOUT(m_settings->count(), 1, 20000);
    QCOMPARE(m_recived->count(), 1);
    QCOMPARE(m_done->count(), 1);
    QVERIFY(m_errors->isEmpty());
    QVERIFY(m_listenerErrors->isEmpty());

    const QString spoolFile = m_recived->at(0).at(0).toString();
    QCOMPARE(QFileInfo(spoolFile).absolutePath(), QDir(m_spool).absolutePath());
    // The spooled job is the filter's output without the end-of-job byte.
    QCOMPARE(readAll(spoolFile), job.left(job.size() - 1));

    expected.insert("PostScriptFile", QFileInfo(spoolFile).absoluteFilePath());
    const vexlorSettings settings = m_settings->at(0).at(0).value<vexlorSettings>();
    QCOMPARE(settings.settings, expected);
    QCOMPARE(readOptionsFile(m_done->at(0).at(0).toString()), expected);
}

void tst_cupschain::jobsSentByHand_data()
{
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<QByteArray>("spooled");
    QTest::addColumn<Settings>("expected");

    QTest::newRow("sample as it is") << readAll(samplePath) << readAll(samplePath)
                                     << Settings { { "Title", "Vexlor Sample Job" },
                                            { "BoundingBox", "36 36 468 324" }, { "PageCount", "1" } };

    const QByteArray noMarker = "%!PS-Adobe-3.0\n%%Title: (No Marker)\n%%BoundingBox: 0 0 100 50\n"
                                "%%EndComments\nnewpath 0 0 moveto 100 50 lineto stroke\nshowpage\n";
    QTest::newRow("job without its end marker")
        << noMarker << noMarker + "%%EOF\n"
        << Settings { { "Title", "No Marker" }, { "BoundingBox", "0 0 100 50" } };

    // A figure embedded with its own %%EOF must not end the job early.
    const QByteArray head
        = "%!PS-Adobe-3.0\n%%Title: (With Figure)\n%%BoundingBox: 0 0 200 200\n%%EndComments\n"
          "%%BeginDocument: logo.eps\n%!PS-Adobe-3.0 EPSF-3.0\n"
          "0 0 10 10 rectfill\n%%EOF";
    const QByteArray tail = "%%EndDocument\n%%BeginFeature: *JobType raster\n%%EndFeature\n"
                            "newpath 0 0 moveto 200 200 lineto stroke\nshowpage\n%%Trailer\n%%EOF\n";
    QTest::newRow("embedded figure") << head + "\n" + tail << head + " \n" + tail
                                     << Settings { { "Title", "With Figure" },
                                            { "BoundingBox", "0 0 200 200" }, { "JobType", "raster" } };
}

void tst_cupschain::jobsSentByHand()
{
    QFETCH(QByteArray, job);
    QFETCH(QByteArray, spooled);
    QFETCH(Settings, expected);

    const QString path = m_dir.filePath("byhand.ps");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(job), qint64(job.size()));
    }
    QByteArray log;
    QVERIFY2(runBackend({ path }, QString(), log), log.constData());
    QTRY_COMPARE_WITH_TIMEOUT(m_settings->count(), 1, 20000);
    QCOMPARE(m_recived->count(), 1);
    const QString spoolFile = m_recived->at(0).at(0).toString();
    QCOMPARE(readAll(spoolFile), spooled);
    expected.insert("PostScriptFile", QFileInfo(spoolFile).absoluteFilePath());
    QCOMPARE(m_settings->at(0).at(0).value<vexlorSettings>().settings, expected);
    // Nothing more arrives: the job was one job.
    QTest::qWait(200);
    QCOMPARE(m_recived->count(), 1);
}

void tst_cupschain::jobsOneAfterAnother()
{
    QString why;
    const QString first = filter(samplePath, { "JobType=raster" }, why);
    QVERIFY2(!first.isEmpty(), qPrintable(why));
    QByteArray log;
    QVERIFY2(runBackend({ "21", "anna", "First", "1", "" }, first, log), log.constData());
    const QString second = filter(samplePath, { "JobType=vector" }, why);
    QVERIFY2(!second.isEmpty(), qPrintable(why));
    QVERIFY2(runBackend({ "22", "anna", "Second", "1", "", second }, QString(), log), log.constData());

    QTRY_COMPARE_WITH_TIMEOUT(m_settings->count(), 2, 20000);
    QCOMPARE(m_recived->count(), 2);
    QVERIFY(m_recived->at(0).at(0).toString() != m_recived->at(1).at(0).toString());
    QCOMPARE(m_settings->at(0).at(0).value<vexlorSettings>().settings.value("JobType"), QString("raster"));
    QCOMPARE(m_settings->at(1).at(0).value<vexlorSettings>().settings.value("JobType"), QString("vector"));
}

void tst_cupschain::jobThroughQueue()
{
    // The queue as a user sets it up: lpadmin with the PPD and the backend's
    // URI, then lp with the engraving options.
    if (::geteuid() != 0)
        QSKIP("a scheduler of our own needs root (its backends run as user lp)");
    for (const char *tool : { "cupsd", "lpadmin", "lp", "lpinfo", "lpstat" }) {
        if (QStandardPaths::findExecutable(tool, { "/usr/sbin", "/usr/bin" }).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
    }
    privateScheduler cups;
    QString why;
    QVERIFY2(cups.start(why), qPrintable(why));

    QByteArray out;
    QVERIFY2(cups.client("lpinfo", { "-v" }, out), out.constData());
    QVERIFY2(out.contains("network vexlor://127.0.0.1\n"), out.constData());
    QVERIFY2(cups.client(
                 "lpadmin", { "-p", "engraver", "-E", "-v", "vexlor://127.0.0.1:55000", "-P", ppdPath }, out),
        out.constData());
    QVERIFY2(cups.client("lp",
                 { "-d", "engraver", "-t", "Nameplate", "-o", "JobType=vector", "-o", "rasterSpeed=Custom.37",
                     "-o", "materialThickness=Custom.3.175", "-o", "autoFocus=enabled", "-o",
                     "cResolution=300", samplePath },
                 out),
        out.constData());

    QTRY_COMPARE_WITH_TIMEOUT(m_settings->count(), 1, 60000);
    const QString spoolFile = m_recived->at(0).at(0).toString();
    Settings expected = queueDefaults();
    expected.insert("PostScriptFile", QFileInfo(spoolFile).absoluteFilePath());
    expected.insert("Title", "Vexlor Sample Job");
    expected.insert("BoundingBox", "36 36 468 324");
    expected.insert("PageCount", "1");
    expected["JobType"] = "vector";
    expected.remove("rasterSpeed");
    expected["CustomrasterSpeed"] = "37";
    expected.remove("materialThickness");
    expected["CustommaterialThickness"] = "3.174999952316";
    expected["autoFocus"] = "enabled";
    expected["cResolution"] = "300";
    QCOMPARE(m_settings->at(0).at(0).value<vexlorSettings>().settings, expected);
    QVERIFY(readAll(spoolFile).endsWith("%%EOF\n"));

    // The scheduler saw the backend finish the job.
    QTRY_VERIFY_WITH_TIMEOUT(
        cups.client("lpstat", { "-W", "completed", "-o", "engraver" }, out) && out.contains("engraver-1"),
        20000);
    QVERIFY2(cups.errorLog().contains("Sent the job to VexlorApp on 127.0.0.1:55000"),
        qPrintable(cups.errorLog()));
}

// Makes a document with a program of the desktop: "cairo" (an SVG drawn by
// librsvg into a PDF by cairo), "poppler" (that PDF twice, joined into one of
// two pages by Poppler's pdfunite), "ghostscript" (a PostScript program made
// a PDF by Ghostscript).
bool tst_cupschain::makeDocument(
    const QString &maker, const QByteArray &source, const QString &path, QString &why)
{
    auto run = [&why](const QString &tool, const QStringList &args) {
        const QString program = QStandardPaths::findExecutable(tool);
        if (program.isEmpty()) {
            why = tool + " is not installed";
            return false;
        }
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            why = tool + ": " + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    };
    const QString input = path + (maker == "ghostscript" ? ".ps" : ".svg");
    QFile f(input);
    if (!f.open(QIODevice::WriteOnly) || f.write(source) != source.size()) {
        why = "cannot write " + input;
        return false;
    }
    f.close();
    if (maker == "cairo")
        return run("rsvg-convert", { "-f", "pdf", "-o", path, input });
    if (maker == "poppler") {
        const QString page = path + ".page.pdf";
        return run("rsvg-convert", { "-f", "pdf", "-o", page, input })
            && run("pdfunite", { page, page, path });
    }
    return run("ps2pdf", { input, path });
}

void tst_cupschain::pdfPlacement_data()
{
    QTest::addColumn<QString>("maker");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QSize>("page");
    QTest::addColumn<Strokes>("strokes");

    const QSize table(2880, 2016);
    QTest::newRow("cairo, 8 x 4 in sign on the table")
        << "cairo" << QByteArray(kSign) << QStringList() << table << kSignStrokes;
    QTest::newRow("cairo, Letter portrait on the table, not turned")
        << "cairo" << QByteArray(kLetter) << QStringList() << table << kLetterStrokes;
    QTest::newRow("cairo, Letter landscape on the table")
        << "cairo" << QByteArray(kLandscape) << QStringList() << table << kLandscapeStrokes;
    QTest::newRow("Poppler, two pages, the first engraved")
        << "poppler" << QByteArray(kSign) << QStringList() << table << kSignStrokes;
    QTest::newRow("Ghostscript, Letter portrait on the table")
        << "ghostscript" << QByteArray(kLetterPs) << QStringList() << table << kLetterStrokes;
    QTest::newRow("Letter page on Letter size")
        << "cairo" << QByteArray(kLetter) << QStringList { "PageSize=Letter.Fullbleed" } << QSize(612, 792)
        << kLetterStrokes;
    QTest::newRow("landscape page on landscape A4")
        << "cairo" << QByteArray(kLandscape) << QStringList { "PageSize=A4Rotated.Fullbleed" }
        << QSize(842, 595) << kLandscapeStrokes;
    QTest::newRow("custom page size") << "cairo" << QByteArray(kSign) << QStringList { "media=Custom.10x5in" }
                                      << QSize(720, 360) << kSignStrokes;
    QTest::newRow("poster larger than the table")
        << "cairo" << QByteArray(kPoster) << QStringList() << table << kPosterStrokes;
}

// A PDF filtered for the queue as the documented queue settings have it
// reaches the engraver device with its strokes as vectors, at the place they
// have on their page, measured from the table's top left corner.
void tst_cupschain::pdfPlacement()
{
    QFETCH(QString, maker);
    QFETCH(QByteArray, source);
    QFETCH(QStringList, options);
    QFETCH(QSize, page);
    QFETCH(Strokes, strokes);

    QVERIFY2(QFileInfo(vexlorGsPath).isExecutable(), qPrintable(vexlorGsPath));
    const QStringList settings = documentedQueueSettings();
    QVERIFY2(settings.contains("pdftops-renderer-default=pdftops"), qPrintable(settings.join(' ')));

    QString why;
    const QString pdf = m_dir.filePath(
        QStringLiteral("%1-%2.pdf").arg(maker).arg(QTest::currentDataTag()).replace(' ', '_'));
    if (!makeDocument(maker, source, pdf, why))
        QSKIP(qPrintable(why));
    const QString filtered = filter(pdf, asJobOptions(settings) + options, why);
    QVERIFY2(!filtered.isEmpty(), qPrintable(why));
    Scene scene;
    QVERIFY2(drawScene(filtered, 72, m_dir.filePath("gs"), scene, why), qPrintable(why));
    QCOMPARE(scene.page, page);
    QCOMPARE(scene.images, 0);
    QVERIFY2(samePoints(scene.strokes, strokes), qPrintable(describe(scene.strokes)));
}

// The queue made with the guide's lpadmin command: PDFs from three makers,
// printed with lp, reach the application with their cut lines as vectors and
// in place, with their title and page count.
void tst_cupschain::pdfThroughQueue()
{
    if (::geteuid() != 0)
        QSKIP("a scheduler of our own needs root (its backends run as user lp)");
    for (const char *tool : { "cupsd", "lpadmin", "lp" }) {
        if (QStandardPaths::findExecutable(tool, { "/usr/sbin", "/usr/bin" }).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
    }
    struct Document
    {
        const char *maker;
        QByteArray source;
        Strokes strokes;
        int pages;
    };
    const QList<Document> documents = { { "cairo", kSign, kSignStrokes, 1 },
        { "poppler", kLetter, kLetterStrokes, 2 }, { "ghostscript", kLetterPs, kLetterStrokes, 1 } };
    QStringList files;
    QString why;
    for (const Document &d : documents) {
        const QString pdf = m_dir.filePath(QStringLiteral("queued-%1.pdf").arg(d.maker));
        if (!makeDocument(d.maker, d.source, pdf, why))
            QSKIP(qPrintable(why));
        files << pdf;
    }

    privateScheduler cups;
    QVERIFY2(cups.start(why), qPrintable(why));
    QStringList args = { "-p", "engraver", "-E", "-v", "vexlor://127.0.0.1:55000", "-P", ppdPath };
    for (const QString &s : documentedQueueSettings())
        args << "-o" << s;
    QByteArray out;
    QVERIFY2(cups.client("lpadmin", args, out), out.constData());
    for (const QString &file : files)
        QVERIFY2(cups.client("lp", { "-d", "engraver", file }, out), out.constData());
    // A PostScript document goes its own way (pstops): the queue's settings
    // leave it as it would be without them.
    QVERIFY2(cups.client("lp", { "-d", "engraver", samplePath }, out), out.constData());

    QTRY_COMPARE_WITH_TIMEOUT(m_settings->count(), documents.size() + 1, 120000);
    const QString plainFilter = filter(samplePath, {}, why);
    QVERIFY2(!plainFilter.isEmpty(), qPrintable(why));
    Scene expectedSample;
    Scene sample;
    QVERIFY2(drawScene(plainFilter, 72, m_dir.filePath("gs"), expectedSample, why), qPrintable(why));
    QVERIFY2(
        drawScene(
            m_settings->at(documents.size()).at(0).value<vexlorSettings>().settings.value("PostScriptFile"),
            72, m_dir.filePath("gs"), sample, why),
        qPrintable(why));
    QVERIFY(!expectedSample.strokes.isEmpty());
    QCOMPARE(sample.page, expectedSample.page);
    QCOMPARE(sample.images, expectedSample.images);
    QVERIFY2(samePoints(sample.strokes, expectedSample.strokes), qPrintable(describe(sample.strokes)));

    for (int i = 0; i < documents.size(); ++i) {
        const Settings settings = m_settings->at(i).at(0).value<vexlorSettings>().settings;
        const QString spoolFile = settings.value("PostScriptFile");
        QCOMPARE(settings.value("Title"), QFileInfo(files.at(i)).fileName());
        QCOMPARE(settings.value("PageCount"), QString::number(documents.at(i).pages));
        Scene scene;
        QVERIFY2(drawScene(spoolFile, 72, m_dir.filePath("gs"), scene, why), qPrintable(why));
        QCOMPARE(scene.page, QSize(2880, 2016));
        QCOMPARE(scene.images, 0);
        QVERIFY2(samePoints(scene.strokes, documents.at(i).strokes), qPrintable(describe(scene.strokes)));
        // The same at the engraver's resolution: vectors scale, a bitmap would not.
        QVERIFY2(drawScene(spoolFile, 600, m_dir.filePath("gs"), scene, why), qPrintable(why));
        QCOMPARE(scene.images, 0);
        Strokes at600;
        for (QPolygonF p : documents.at(i).strokes) {
            for (QPointF &pt : p)
                pt *= 600.0 / 72.0;
            at600 << p;
        }
        QVERIFY2(samePoints(scene.strokes, at600), qPrintable(describe(scene.strokes)));
    }
    QVERIFY2(cups.errorLog().contains("pdftops-renderer=pdftops"),
        "the queue's settings did not reach the filters");
}

QTEST_GUILESS_MAIN(tst_cupschain)
#include "tst_cupschain.moc"
