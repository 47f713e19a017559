// The vexlor backend: the shaping of the job's end, its arguments, and the
// program itself against a TCP server of the test (discovery, file and standard
// input, the print system's argument list, retries while nothing listens, the
// refusal after the retry period, lost connections and a large job streamed).

#include "backendoptions.h"
#include "jobsender.h"
#include "jobstream.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cups/backend.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const QString backendPath = QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor");

// What the application sees: the bytes of each connection, complete when the
// sender closed it.
class jobServer : public QObject
{
    Q_OBJECT
public:
    explicit jobServer(QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &jobServer::accept);
    }

    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return m_server.serverPort(); }
    // Drop every connection as soon as it is made.
    void setRefuseData(bool refuse) { m_refuseData = refuse; }
    // Keep only a hash and a count of what arrives, for large jobs.
    void setHashOnly(bool hashOnly) { m_hashOnly = hashOnly; }

    QList<QByteArray> jobs;
    QList<QByteArray> hashes;
    qint64 received = 0;
    int connections = 0;

private slots:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++connections;
            if (m_refuseData) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            auto state = std::make_shared<connectionState>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, state]() { take(socket, *state); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket, state]() {
                take(socket, *state);
                if (m_hashOnly)
                    hashes << state->hash.result();
                else
                    jobs << state->data;
                socket->deleteLater();
            });
        }
    }

private:
    struct connectionState
    {
        QByteArray data;
        QCryptographicHash hash { QCryptographicHash::Sha256 };
    };

    void take(QTcpSocket *socket, connectionState &state)
    {
        const QByteArray chunk = socket->readAll();
        received += chunk.size();
        if (m_hashOnly)
            state.hash.addData(chunk);
        else
            state.data += chunk;
    }

    QTcpServer m_server;
    bool m_refuseData = false;
    bool m_hashOnly = false;
};

QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "DEVICE_URI", "VEXLOR_HOST", "VEXLOR_PORT", "VEXLOR_RETRY_SECONDS" })
        env.remove(name);
    return env;
}

// A port on which nothing listens at the moment.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray shape(const QByteArray &input, int chunk)
{
    jobStream stream;
    std::string out;
    for (int at = 0; at < input.size(); at += chunk)
        stream.feed(input.constData() + at, static_cast<std::size_t>(qMin(chunk, input.size() - at)), out);
    stream.finish(out);
    return QByteArray(out.data(), static_cast<int>(out.size()));
}

bool waitForExit(QProcess &p, int ms)
{
    // Not waitForFinished(): the test's server needs the event loop meanwhile.
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < ms)
        QTest::qWait(10);
    return p.state() == QProcess::NotRunning;
}

const QByteArray smallJob = "%!PS-Adobe-3.0\n%%Title: (Small)\n%%BoundingBox: 0 0 72 72\n%%EndComments\n"
                            "newpath 0 0 moveto 72 72 lineto stroke\nshowpage\n%%EOF\n";

} // namespace

class tst_vexlorbackend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void shaping_data();
    void shaping();
    void longRunAfterMarker();

    void arguments_data();
    void arguments();

    void discovery();
    void sends_data();
    void sends();
    void appendsMissingMarker();
    void recognisesBitmapPages_data();
    void recognisesBitmapPages();
    void warnsOfBitmapPages();
    void retriesUntilServerAppears();
    void givesUpAfterRetryPeriod_data();
    void givesUpAfterRetryPeriod();
    void refusesBadInput_data();
    void refusesBadInput();
    void reportsLostConnection();
    void streamsLargeJob();

private:
    QString writeFile(const QString &name, const QByteArray &data);
    QTemporaryDir m_dir;
};

void tst_vexlorbackend::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFileInfo(backendPath).isExecutable(), qPrintable(backendPath));
}

QString tst_vexlorbackend::writeFile(const QString &name, const QByteArray &data)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return QString();
    return path;
}

void tst_vexlorbackend::shaping_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("appended");
    QTest::addColumn<int>("escaped");

    const QByteArray body = "%!PS\nshowpage\n";
    QTest::newRow("marker and line feed") << body + "%%EOF\n" << body + "%%EOF\n" << false << 0;
    QTest::newRow("filter's 0x04 after it") << body + "%%EOF\n\x04" << body + "%%EOF\n" << false << 0;
    QTest::newRow("marker without line feed") << body + "%%EOF" << body + "%%EOF\n" << false << 0;
    QTest::newRow("carriage return") << body + "%%EOF\r\n" << body + "%%EOF\n" << false << 0;
    QTest::newRow("blanks and 0x04") << body + "%%EOF\n \t\n\x04\x04" << body + "%%EOF\n" << false << 0;
    QTest::newRow("zero bytes after it") << body + "%%EOF\n" + QByteArray(3, '\0') << body + "%%EOF\n"
                                         << false << 0;
    QTest::newRow("no marker, line end") << body << body + "%%EOF\n" << true << 0;
    QTest::newRow("no marker, no line end")
        << QByteArray("%!PS\nshowpage") << QByteArray("%!PS\nshowpage\n%%EOF\n") << true << 0;
    QTest::newRow("half a marker") << QByteArray("%!PS\n%%EO") << QByteArray("%!PS\n%%EO\n%%EOF\n") << true
                                   << 0;
    QTest::newRow("marker with text after it")
        << QByteArray("%!PS\n%%EOFX\n") << QByteArray("%!PS\n%%EOFX\n%%EOF\n") << true << 0;
    QTest::newRow("marker then more job") << QByteArray("%!PS\n%%EOF\n \nshowpage\n")
                                          << QByteArray("%!PS\n%%EOF \n \nshowpage\n%%EOF\n") << true << 1;
    QTest::newRow("embedded figure") << QByteArray(
        "%!PS\n%%BeginDocument: a.eps\n%!PS-Adobe-3.0 EPSF-3.0\n%%EOF\n"
        "%%EndDocument\nshowpage\n%%EOF\n\x04")
                                     << QByteArray(
                                            "%!PS\n%%BeginDocument: a.eps\n%!PS-Adobe-3.0 EPSF-3.0\n%%EOF \n"
                                            "%%EndDocument\nshowpage\n%%EOF\n")
                                     << false << 1;
    QTest::newRow("two figures back to back")
        << QByteArray("%%EOF\n%%EOF\nx\n%%EOF\n") << QByteArray("%%EOF \n%%EOF \nx\n%%EOF\n") << false << 2;
    QTest::newRow("extra percent") << QByteArray("%!PS\n%%%EOF\n") << QByteArray("%!PS\n%%%EOF\n") << false
                                   << 0;
    QTest::newRow("zero bytes in the job") << QByteArray("%!PS\n\0\0\x04x\n%%EOF\n", 16)
                                           << QByteArray("%!PS\n\0\0\x04x\n%%EOF\n", 16) << false << 0;
    QTest::newRow("only the marker") << QByteArray("%%EOF") << QByteArray("%%EOF\n") << false << 0;
    QTest::newRow("one byte") << QByteArray("x") << QByteArray("x\n%%EOF\n") << true << 0;
}

void tst_vexlorbackend::shaping()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, wire);
    QFETCH(bool, appended);
    QFETCH(int, escaped);

    // Chunk borders anywhere must not change the result.
    for (int chunk : { 1, 2, 3, 5, 7, 64, input.size() }) {
        jobStream stream;
        std::string out;
        for (int at = 0; at < input.size(); at += chunk)
            stream.feed(
                input.constData() + at, static_cast<std::size_t>(qMin(chunk, input.size() - at)), out);
        stream.finish(out);
        const QByteArray got(out.data(), static_cast<int>(out.size()));
        QVERIFY2(got == wire,
            qPrintable(QString("chunk %1: %2").arg(chunk).arg(QString::fromLatin1(got.toPercentEncoding()))));
        QCOMPARE(stream.markerAppended(), appended);
        QCOMPARE(int(stream.markersEscaped()), escaped);
        QCOMPARE(stream.bytesIn(), std::uint64_t(input.size()));
        // What the application needs: exactly one end marker, at the very end.
        QCOMPARE(got.count("%%EOF\n"), 1);
        QVERIFY(got.endsWith("%%EOF\n"));
    }
}

void tst_vexlorbackend::longRunAfterMarker()
{
    // More white space after a marker than is ever held back: the marker is then
    // one inside the job, and the end still comes out right without the run in
    // memory.
    QByteArray input = "%!PS\n%%EOF\n";
    input += QByteArray(int(jobStream::maxHeldBack) + 4096, ' ');
    const QByteArray wire = shape(input, 65536);
    QCOMPARE(wire.count("%%EOF\n"), 1);
    QVERIFY(wire.startsWith("%!PS\n%%EOF \n   "));
    QVERIFY(wire.endsWith(" \n%%EOF\n"));
    QCOMPARE(wire.size(), input.size() + 1 + 7);
}

void tst_vexlorbackend::arguments_data()
{
    using Mode = backendOptions::Mode;
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QVariantMap>("env");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("retry");
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("configurationError");

    const QVariantMap none;
    QTest::newRow("discovery") << QStringList() << none << int(Mode::Discovery) << "127.0.0.1" << 55000 << 60
                               << "" << false;
    QTest::newRow("file by hand") << QStringList { "job.ps" } << none << int(Mode::ByHand) << "127.0.0.1"
                                  << 55000 << 60 << "job.ps" << false;
    QTest::newRow("stdin by hand") << QStringList { "-" } << none << int(Mode::ByHand) << "127.0.0.1" << 55000
                                   << 60 << "" << false;
    QTest::newRow("options only") << QStringList { "--port", "6000" } << none << int(Mode::ByHand)
                                  << "127.0.0.1" << 6000 << 60 << "" << false;
    QTest::newRow("host and port") << QStringList { "--host", "localhost", "--port", "123", "f.ps" } << none
                                   << int(Mode::ByHand) << "localhost" << 123 << 60 << "f.ps" << false;
    QTest::newRow("with equals") << QStringList { "--port=1234", "--retry=5", "f.ps" } << none
                                 << int(Mode::ByHand) << "127.0.0.1" << 1234 << 5 << "f.ps" << false;
    const QVariantMap vexlorEnv { { "VEXLOR_HOST", "::1" }, { "VEXLOR_PORT", "7000" },
        { "VEXLOR_RETRY_SECONDS", "3" } };
    QTest::newRow("environment") << QStringList { "f.ps" } << vexlorEnv << int(Mode::ByHand) << "::1" << 7000
                                 << 3 << "f.ps" << false;
    QTest::newRow("options beat environment")
        << QStringList { "--port", "7001", "--retry", "0", "f.ps" } << vexlorEnv << int(Mode::ByHand) << "::1"
        << 7001 << 0 << "f.ps" << false;
    QTest::newRow("print system, stdin")
        << QStringList { "12", "anna", "Sign", "1", "JobType=vector" } << none << int(Mode::PrintSystem)
        << "127.0.0.1" << 55000 << 60 << "" << false;
    QTest::newRow("print system, file")
        << QStringList { "12", "anna", "Sign", "1", "", "/var/spool/d12" } << none << int(Mode::PrintSystem)
        << "127.0.0.1" << 55000 << 60 << "/var/spool/d12" << false;
    QTest::newRow("device uri") << QStringList { "7", "u", "t", "1", "" }
                                << QVariantMap { { "DEVICE_URI", "vexlor://127.0.0.2:56000" } }
                                << int(Mode::PrintSystem) << "127.0.0.2" << 56000 << 60 << "" << false;
    QTest::newRow("device uri without port")
        << QStringList { "7", "u", "t", "1", "" } << QVariantMap { { "DEVICE_URI", "vexlor://localhost/" } }
        << int(Mode::PrintSystem) << "localhost" << 55000 << 60 << "" << false;
    QTest::newRow("device uri v6") << QStringList { "7", "u", "t", "1", "" }
                                   << QVariantMap { { "DEVICE_URI", "vexlor://[::1]:56001/queue" } }
                                   << int(Mode::PrintSystem) << "::1" << 56001 << 60 << "" << false;
    QTest::newRow("environment beats device uri")
        << QStringList { "7", "u", "t", "1", "" }
        << QVariantMap { { "DEVICE_URI", "vexlor://127.0.0.1:56000" }, { "VEXLOR_PORT", "56002" } }
        << int(Mode::PrintSystem) << "127.0.0.1" << 56002 << 60 << "" << false;
    QTest::newRow("by hand ignores device uri")
        << QStringList { "f.ps" } << QVariantMap { { "DEVICE_URI", "vexlor://10.0.0.9:1" } }
        << int(Mode::ByHand) << "127.0.0.1" << 55000 << 60 << "f.ps" << false;
    QTest::newRow("five by-hand words") << QStringList { "--host", "h", "--port", "9", "f.ps" } << none
                                        << int(Mode::ByHand) << "h" << 9 << 60 << "f.ps" << false;
    QTest::newRow("help") << QStringList { "--help" } << none << int(Mode::Help) << "127.0.0.1" << 55000 << 60
                          << "" << false;

    QTest::newRow("foreign device uri") << QStringList { "7", "u", "t", "1", "" }
                                        << QVariantMap { { "DEVICE_URI", "socket://127.0.0.1:9100" } }
                                        << int(Mode::Invalid) << "" << 0 << 0 << "" << true;
    QTest::newRow("device uri port too big") << QStringList { "7", "u", "t", "1", "" }
                                             << QVariantMap { { "DEVICE_URI", "vexlor://127.0.0.1:99999" } }
                                             << int(Mode::Invalid) << "" << 0 << 0 << "" << true;
    QTest::newRow("device uri without host")
        << QStringList { "7", "u", "t", "1", "" } << QVariantMap { { "DEVICE_URI", "vexlor://:55000" } }
        << int(Mode::Invalid) << "" << 0 << 0 << "" << true;
    QTest::newRow("bad port variable") << QStringList { "f.ps" } << QVariantMap { { "VEXLOR_PORT", "http" } }
                                       << int(Mode::Invalid) << "" << 0 << 0 << "" << true;
    QTest::newRow("bad retry variable")
        << QStringList { "f.ps" } << QVariantMap { { "VEXLOR_RETRY_SECONDS", "-1" } } << int(Mode::Invalid)
        << "" << 0 << 0 << "" << true;
    QTest::newRow("port zero") << QStringList { "--port", "0", "f.ps" } << none << int(Mode::Invalid) << ""
                               << 0 << 0 << "" << false;
    QTest::newRow("port missing") << QStringList { "f.ps", "--port" } << none << int(Mode::Invalid) << "" << 0
                                  << 0 << "" << false;
    QTest::newRow("retry too long") << QStringList { "--retry", "86401", "f.ps" } << none
                                    << int(Mode::Invalid) << "" << 0 << 0 << "" << false;
    QTest::newRow("unknown option") << QStringList { "--fast", "f.ps" } << none << int(Mode::Invalid) << ""
                                    << 0 << 0 << "" << false;
    QTest::newRow("two files") << QStringList { "a.ps", "b.ps" } << none << int(Mode::Invalid) << "" << 0 << 0
                               << "" << false;
}

void tst_vexlorbackend::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(QVariantMap, env);
    QFETCH(int, mode);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, retry);
    QFETCH(QString, input);
    QFETCH(bool, configurationError);

    std::vector<std::string> argv;
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    std::map<std::string, std::string> environment;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        environment[it.key().toStdString()] = it.value().toString().toStdString();

    const backendOptions o = backendOptions::parse(argv, environment);
    QCOMPARE(int(o.mode), mode);
    if (o.mode == backendOptions::Mode::Invalid) {
        QVERIFY(!o.error.empty());
        QCOMPARE(o.configurationError, configurationError);
        return;
    }
    QVERIFY(o.error.empty());
    QCOMPARE(QString::fromStdString(o.host), host);
    QCOMPARE(o.port, port);
    QCOMPARE(o.retrySeconds, retry);
    QCOMPARE(QString::fromStdString(o.inputPath), input);
    if (o.mode == backendOptions::Mode::PrintSystem) {
        QCOMPARE(QString::fromStdString(o.jobId), args.at(0));
        QCOMPARE(QString::fromStdString(o.user), args.at(1));
        QCOMPARE(QString::fromStdString(o.title), args.at(2));
    }
}

void tst_vexlorbackend::discovery()
{
    QProcess p;
    p.setProcessEnvironment(cleanEnvironment());
    p.start(backendPath, QStringList());
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), int(CUPS_BACKEND_OK));
    QCOMPARE(p.readAllStandardOutput(),
        QByteArray("network vexlor://127.0.0.1 \"Vexlor Engraver\" \"Vexlor Engraver (local VexlorApp)\"\n"));
}

void tst_vexlorbackend::sends_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("file by hand") << "file";
    QTest::newRow("standard input by hand") << "stdin";
    QTest::newRow("print system, standard input") << "cups-stdin";
    QTest::newRow("print system, file") << "cups-file";
}

void tst_vexlorbackend::sends()
{
    QFETCH(QString, how);
    jobServer server;
    QVERIFY(server.listen());
    const QString file = writeFile("small.ps", smallJob);
    QVERIFY(!file.isEmpty());

    QProcess p;
    QProcessEnvironment env = cleanEnvironment();
    QStringList args;
    if (how == "file") {
        args << "--port" << QString::number(server.port()) << file;
    } else if (how == "stdin") {
        args << "--host"
             << "127.0.0.1"
             << "--port" << QString::number(server.port()) << "-";
        p.setStandardInputFile(file);
    } else {
        env.insert("DEVICE_URI", QString("vexlor://127.0.0.1:%1").arg(server.port()));
        args << "42"
             << "anna"
             << "Small"
             << "1"
             << "JobType=vector";
        if (how == "cups-file")
            args << file;
        else
            p.setStandardInputFile(file);
    }
    p.setProcessEnvironment(env);
    p.start(backendPath, args);
    QVERIFY(waitForExit(p, 20000));
    const QByteArray log = p.readAllStandardError();
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == CUPS_BACKEND_OK, log.constData());
    QTRY_COMPARE(server.jobs.size(), 1);
    QCOMPARE(server.connections, 1);
    QCOMPARE(server.jobs.at(0), smallJob);
    QVERIFY2(log.contains("INFO: Sent the job to VexlorApp on 127.0.0.1:"), log.constData());
    // Every line is one the scheduler understands.
    for (const QByteArray &line : log.split('\n')) {
        if (!line.isEmpty())
            QVERIFY2(
                QRegularExpression("^(INFO|ERROR|STATE|DEBUG): ").match(QString::fromLatin1(line)).hasMatch(),
                line.constData());
    }
}

void tst_vexlorbackend::appendsMissingMarker()
{
    jobServer server;
    QVERIFY(server.listen());
    const QByteArray job = "%!PS\nnewpath 0 0 moveto 10 10 lineto stroke\nshowpage";
    const QString file = writeFile("nomarker.ps", job);
    QProcess p;
    p.setProcessEnvironment(cleanEnvironment());
    p.start(backendPath, { "--port", QString::number(server.port()), file });
    QVERIFY(waitForExit(p, 20000));
    const QByteArray log = p.readAllStandardError();
    QCOMPARE(p.exitCode(), int(CUPS_BACKEND_OK));
    QTRY_COMPARE(server.jobs.size(), 1);
    QCOMPARE(server.jobs.at(0), job + "\n%%EOF\n");
    QVERIFY2(log.contains("INFO: The job had no %%EOF at its end; one was added"), log.constData());
}

void tst_vexlorbackend::recognisesBitmapPages_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("bitmaps");
    // The first lines of jobs as Debian's PDF filter writes them with each of
    // its renderers.
    QTest::newRow("Ghostscript's writer") << QByteArray("%!PS-Adobe-3.0\n%%Invocation: gs -q -dNOPAUSE "
                                                        "-sDEVICE=ps2write\n%%Creator: GPL Ghostscript 10000 "
                                                        "(ps2write)\n%%LanguageLevel: 2\n%%EndComments\n")
                                          << true;
    QTest::newRow("Ghostscript's writer, Windows line ends")
        << QByteArray("%!PS-Adobe-3.0\r\n%%Creator: GPL Ghostscript 10000 (ps2write)\r\n") << true;
    QTest::newRow("Poppler") << QByteArray("%!PS-Adobe-3.0\n%Produced by poppler pdftops version: 22.12.0\n"
                                           "%%LanguageLevel: 3\n%%EndComments\n")
                             << false;
    QTest::newRow("another creator") << QByteArray(
        "%!PS-Adobe-3.0\n%%Creator: groff version 1.22.4\n%%EndComments\n")
                                     << false;
    QTest::newRow("only in the body") << QByteArray(
        "%!PS-Adobe-3.0\n%%EndComments\n%%Creator: GPL Ghostscript "
        "10000 (ps2write)\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_vexlorbackend::recognisesBitmapPages()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, bitmaps);
    QCOMPARE(convertedByPageRasteriser(head.constData(), static_cast<std::size_t>(head.size())), bitmaps);
}

// A job whose pages the print system made bitmaps is still sent whole, and the
// queue's state tells why nothing can be cut.
void tst_vexlorbackend::warnsOfBitmapPages()
{
    jobServer server;
    QVERIFY(server.listen());
    const QByteArray job = "%!PS-Adobe-3.0\n%%Creator: GPL Ghostscript 10000 (ps2write)\n%%EndComments\n"
                           "showpage\n%%EOF\n";
    QProcess p;
    QProcessEnvironment env = cleanEnvironment();
    env.insert("DEVICE_URI", QString("vexlor://127.0.0.1:%1").arg(server.port()));
    p.setProcessEnvironment(env);
    p.start(backendPath, { "43", "anna", "drawing.pdf", "1", "", writeFile("bitmaps.ps", job) });
    QVERIFY(waitForExit(p, 20000));
    const QByteArray log = p.readAllStandardError();
    QCOMPARE(p.exitCode(), int(CUPS_BACKEND_OK));
    QTRY_COMPARE(server.jobs.size(), 1);
    QCOMPARE(server.jobs.at(0), job);
    QVERIFY2(log.contains("WARNING: The print system converted this PDF with Ghostscript"), log.constData());
    QVERIFY2(log.contains("pdftops-renderer-default=pdftops"), log.constData());

    // A job of the queue as set up: no warning.
    p.start(backendPath, { "44", "anna", "drawing.pdf", "1", "", writeFile("small.ps", smallJob) });
    QVERIFY(waitForExit(p, 20000));
    QVERIFY(!p.readAllStandardError().contains("WARNING"));
}

void tst_vexlorbackend::retriesUntilServerAppears()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QString file = writeFile("retry.ps", smallJob);
    QProcess p;
    QProcessEnvironment env = cleanEnvironment();
    env.insert("VEXLOR_PORT", QString::number(port));
    env.insert("VEXLOR_RETRY_SECONDS", "60");
    p.setProcessEnvironment(env);
    p.start(backendPath, { file });
    QByteArray log;
    // Wait until it has been refused at least twice, then start listening.
    QTRY_VERIFY_WITH_TIMEOUT((log += p.readAllStandardError()).count("trying again") >= 2, 20000);
    QVERIFY2(
        log.contains(QString("INFO: VexlorApp is not accepting jobs on 127.0.0.1:%1 (Connection refused)")
                         .arg(port)
                         .toLatin1()),
        log.constData());
    QVERIFY(log.contains("STATE: +connecting-to-device"));
    QCOMPARE(p.state(), QProcess::Running);
    jobServer server;
    QVERIFY(server.listen(port));
    QVERIFY(waitForExit(p, 30000));
    log += p.readAllStandardError();
    QVERIFY2(p.exitCode() == CUPS_BACKEND_OK, log.constData());
    QTRY_COMPARE(server.jobs.size(), 1);
    QCOMPARE(server.jobs.at(0), smallJob);
    QVERIFY(log.contains("STATE: -connecting-to-device"));
    QVERIFY(log.contains("is accepting the job now"));
}

void tst_vexlorbackend::givesUpAfterRetryPeriod_data()
{
    QTest::addColumn<int>("seconds");
    QTest::newRow("one attempt") << 0;
    QTest::newRow("two seconds") << 2;
}

void tst_vexlorbackend::givesUpAfterRetryPeriod()
{
    QFETCH(int, seconds);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QString file = writeFile("refused.ps", smallJob);
    QProcess p;
    p.setProcessEnvironment(cleanEnvironment());
    QElapsedTimer elapsed;
    elapsed.start();
    p.start(backendPath, { "--port", QString::number(port), "--retry", QString::number(seconds), file });
    QVERIFY(waitForExit(p, 30000));
    const qint64 ms = elapsed.elapsed();
    const QByteArray log = p.readAllStandardError();
    QCOMPARE(p.exitCode(), int(CUPS_BACKEND_RETRY));
    QVERIFY2(log.contains(QString("ERROR: VexlorApp did not accept the job on 127.0.0.1:%1 within %2 s "
                                  "(Connection refused); is VexlorApp running?")
                              .arg(port)
                              .arg(seconds)
                              .toLatin1()),
        log.constData());
    // It kept trying for the whole period, and not much longer.
    QVERIFY2(ms >= seconds * 1000 - 100, qPrintable(QString::number(ms)));
    QVERIFY2(ms < seconds * 1000 + 5000, qPrintable(QString::number(ms)));
    QCOMPARE(log.count("trying again") > 0, seconds > 0);
    QVERIFY(log.trimmed().endsWith("is VexlorApp running?"));
}

void tst_vexlorbackend::refusesBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("deviceUri");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing file")
        << QStringList { "@dir/none.ps" } << "" << int(CUPS_BACKEND_FAILED)
        << "ERROR: Unable to open the print file \"@dir/none.ps\": No such file or directory";
    QTest::newRow("empty job") << QStringList { "@dir/empty.ps" } << "" << int(CUPS_BACKEND_FAILED)
                               << "ERROR: The job is empty; nothing was sent to VexlorApp";
    QTest::newRow("empty job from the print system")
        << QStringList { "3", "u", "t", "1", "", "@dir/empty.ps" } << "vexlor://127.0.0.1:@port"
        << int(CUPS_BACKEND_FAILED) << "ERROR: The job is empty";
    QTest::newRow("foreign device uri")
        << QStringList { "3", "u", "t", "1", "", "@dir/small.ps" } << "lpd://127.0.0.1/q"
        << int(CUPS_BACKEND_STOP) << "ERROR: The device URI \"lpd://127.0.0.1/q\" is not a vexlor:// URI";
    QTest::newRow("bad port") << QStringList { "--port", "70000", "@dir/small.ps" } << ""
                              << int(CUPS_BACKEND_FAILED)
                              << "ERROR: The port \"70000\" is not a number from 1 to 65535";
    QTest::newRow("unknown option") << QStringList { "-x", "@dir/small.ps" } << "" << int(CUPS_BACKEND_FAILED)
                                    << "ERROR: Unknown option \"-x\"";
}

void tst_vexlorbackend::refusesBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, deviceUri);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    jobServer server;
    QVERIFY(server.listen());
    QVERIFY(!writeFile("empty.ps", QByteArray()).isEmpty());
    QVERIFY(!writeFile("small.ps", smallJob).isEmpty());
    for (QString &a : args)
        a.replace("@dir", m_dir.path());
    message.replace("@dir", m_dir.path());
    deviceUri.replace("@port", QString::number(server.port()));

    QProcess p;
    QProcessEnvironment env = cleanEnvironment();
    if (!deviceUri.isEmpty())
        env.insert("DEVICE_URI", deviceUri);
    env.insert("VEXLOR_PORT", QString::number(server.port()));
    p.setProcessEnvironment(env);
    p.start(backendPath, args);
    QVERIFY(waitForExit(p, 20000));
    const QByteArray log = p.readAllStandardError();
    QCOMPARE(p.exitCode(), exitCode);
    QVERIFY2(log.contains(message.toLatin1()), log.constData());
    QTest::qWait(50);
    QCOMPARE(server.connections, 0);
}

void tst_vexlorbackend::reportsLostConnection()
{
    // The application takes the connection and drops it at once: the job did
    // not arrive, so the print system must try it again later.
    jobServer server;
    server.setRefuseData(true);
    QVERIFY(server.listen());
    QByteArray big = "%!PS\n";
    big += QByteArray(16 << 20, 'a');
    big += "\n%%EOF\n";
    const QString file = writeFile("lost.ps", big);
    QVERIFY(!file.isEmpty());
    QProcess p;
    p.setProcessEnvironment(cleanEnvironment());
    p.start(backendPath, { "--port", QString::number(server.port()), file });
    QVERIFY(waitForExit(p, 30000));
    const QByteArray log = p.readAllStandardError();
    QVERIFY2(p.exitCode() == CUPS_BACKEND_RETRY, log.constData());
    QVERIFY2(log.contains("ERROR: The connection to VexlorApp on 127.0.0.1:"), log.constData());
    QVERIFY(!log.contains("INFO: Sent the job"));
    QVERIFY(server.connections >= 1);
}

void tst_vexlorbackend::streamsLargeJob()
{
    // 50 MB through standard input: the bytes must reach the server while the
    // input is still open, and the backend must not grow with the job.
    jobServer server;
    server.setHashOnly(true);
    QVERIFY(server.listen());

    QProcess p;
    p.setProcessEnvironment(cleanEnvironment());
    p.start(backendPath, { "--port", QString::number(server.port()), "-" });
    QVERIFY(p.waitForStarted(10000));

    QCryptographicHash expected(QCryptographicHash::Sha256);
    const int pieceSize = 1 << 20;
    const int pieces = 50;
    QByteArray piece(pieceSize, '\0');
    quint32 seed = 12345;
    qint64 written = 0;
    auto send = [&](const QByteArray &data) {
        expected.addData(data);
        p.write(data);
        written += data.size();
    };
    send("%!PS-Adobe-3.0\n%%Title: (Large)\n%%EndComments\n");
    for (int i = 0; i < pieces; ++i) {
        for (int j = 0; j < pieceSize; ++j) {
            seed = seed * 1103515245u + 12345u;
            piece[j] = "0123456789abcdef\n"[(seed >> 16) % 17];
        }
        send(piece);
        // Keep only a little in flight, as a filter writing into a pipe does.
        QTRY_VERIFY_WITH_TIMEOUT(p.bytesToWrite() < 2 * pieceSize, 30000);
        if (i == 10)
            QTRY_VERIFY_WITH_TIMEOUT(server.received >= 5 * pieceSize, 30000);
    }
    send("\n%%EOF\n");
    QTRY_VERIFY_WITH_TIMEOUT(p.bytesToWrite() == 0, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(server.received >= written - 2 * qint64(jobSender::chunkSize), 60000);

    // Peak memory of the backend while it has nearly the whole job behind it.
    QFile status(QString("/proc/%1/status").arg(p.processId()));
    qint64 peakKiB = -1;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peakKiB = line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    p.closeWriteChannel();
    QVERIFY(waitForExit(p, 60000));
    const QByteArray log = p.readAllStandardError();
    QVERIFY2(p.exitCode() == CUPS_BACKEND_OK, log.constData());
    QTRY_COMPARE(server.hashes.size(), 1);
    QCOMPARE(server.received, written);
    QCOMPARE(server.hashes.at(0), expected.result());
    QVERIFY2(log.contains(QString("(%1 bytes)").arg(written).toLatin1()), log.constData());
    qInfo("backend peak resident memory: %lld KiB", peakKiB);
    if (peakKiB >= 0)
        QVERIFY2(peakKiB < 40 * 1024, qPrintable(QString("peak %1 KiB").arg(peakKiB)));
}

QTEST_GUILESS_MAIN(tst_vexlorbackend)
#include "tst_vexlorbackend.moc"
