// End to end on a scheduler of our own: a queue with the engraver PPD and the
// vexlor backend, options set with vexlor-options as a user sets them, a
// document printed with lp, and the job received on 127.0.0.1:55000 by the
// application's own listener and option parser with exactly those options.

#include "printlistener.h"
#include "psoptionparser.h"
#include "securefs.h"
#include "vexlorsettings.h"
#include "vexlortypes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kCupsd[] = "/usr/sbin/cupsd";
const QString kQueue = QStringLiteral("Engraver");

// The private scheduler: started in a process group of its own and stopped,
// with everything it started, when the guard goes, whatever the test did.
class CupsdGuard
{
public:
    CupsdGuard() = default;
    CupsdGuard(const CupsdGuard &) = delete;
    CupsdGuard &operator=(const CupsdGuard &) = delete;
    ~CupsdGuard() { stop(); }

    bool start(const QString &dir)
    {
        const QByteArray conf = QFile::encodeName(dir + "/cupsd.conf");
        const QByteArray files = QFile::encodeName(dir + "/cups-files.conf");
        const QByteArray out = QFile::encodeName(dir + "/log/cupsd.out");
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();
            // Should this test be killed, the scheduler goes with it.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int fd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                ::dup2(fd, STDOUT_FILENO);
                ::dup2(fd, STDERR_FILENO);
            }
            ::execl(kCupsd, "cupsd", "-f", "-c", conf.constData(), "-s", files.constData(),
                static_cast<char *>(nullptr));
            ::_exit(127);
        }
        return m_pid > 0;
    }

    bool running()
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    void stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGTERM);
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                break;
            QThread::msleep(50);
        }
        // Whatever is left of the group (a filter or backend still running).
        ::kill(-m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QString tail(const QString &path, int lines = 40)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("(no %1)").arg(path);
    const QStringList all = QString::fromUtf8(file.readAll()).split('\n');
    return all.mid(qMax(0, all.size() - lines)).join('\n');
}

} // namespace

class tst_PdePrint : public QObject
{
    Q_OBJECT

private slots:
    void optionsReachTheApplication();

private:
    bool run(const QString &program, const QStringList &arguments, QString *output = nullptr);
    bool setUpScheduler();

    QTemporaryDir m_dir { QDir::tempPath() + "/vexlor-pde-XXXXXX" };
    QProcessEnvironment m_env;
};

bool tst_PdePrint::run(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000);
    const QString text = QString::fromUtf8(process.readAll());
    if (output)
        *output = text;
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s %s failed (%d): %s", qPrintable(program), qPrintable(arguments.join(' ')),
            process.exitCode(), qPrintable(text));
        return false;
    }
    return true;
}

bool tst_PdePrint::setUpScheduler()
{
    const QString d = m_dir.path();
    // The scheduler's user lp runs the backend from here: the folders must be open to it.
    ::chmod(QFile::encodeName(d).constData(), 0755);
    for (const char *sub :
        { "spool", "cache", "state", "tmp", "log", "serverbin", "serverbin/backend", "client", "home" }) {
        if (!QDir().mkpath(d + '/' + sub))
            return false;
        ::chmod(QFile::encodeName(d + '/' + sub).constData(), 0755);
    }
    for (const char *sub : { "filter", "daemon", "cgi-bin", "notifier", "monitor", "driver" }) {
        if (!QFile::link(QStringLiteral("/usr/lib/cups/") + sub, d + "/serverbin/" + sub))
            return false;
    }
    // The application's working folders are private to it.
    if (!Vexlor::makePrivateDir(d + "/received") || !Vexlor::makePrivateDir(d + "/options"))
        return false;
    const QDir systemBackends(QStringLiteral("/usr/lib/cups/backend"));
    for (const QString &name : systemBackends.entryList(QDir::Files))
        QFile::link(systemBackends.filePath(name), d + "/serverbin/backend/" + name);
    const QString backend = d + "/serverbin/backend/vexlor";
    if (!QFile::copy(QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor"), backend))
        return false;
    ::chmod(QFile::encodeName(backend).constData(), 0755);

    const QByteArray dir = QFile::encodeName(d);
    return writeFile(d + "/cupsd.conf",
               "Listen " + dir
                   + "/cups.sock\n"
                     "LogLevel debug\n"
                     "WebInterface No\n"
                     "Browsing Off\n"
                     "DefaultAuthType None\n"
                     "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                     "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
        && writeFile(d + "/cups-files.conf",
            "ServerRoot " + dir + "\nRequestRoot " + dir + "/spool\nCacheDir " + dir + "/cache\nStateDir "
                + dir + "/state\nTempDir " + dir + "/tmp\nServerBin " + dir
                + "/serverbin\nDataDir /usr/share/cups\nAccessLog " + dir + "/log/access_log\nErrorLog " + dir
                + "/log/error_log\nPageLog " + dir + "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\n");
}

void tst_PdePrint::optionsReachTheApplication()
{
    if (!QFile::exists(kCupsd))
        QSKIP("Debian's CUPS scheduler (/usr/sbin/cupsd) is not installed");
    if (::geteuid() != 0)
        QSKIP("A private cupsd runs its backends as user lp, which needs root");
    QVERIFY(m_dir.isValid());
    QVERIFY(setUpScheduler());
    const QString d = m_dir.path();

    // Clients talk to our scheduler only; lpoptions and the panel's settings stay in here.
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert("CUPS_SERVER", d + "/cups.sock");
    m_env.insert("CUPS_SERVERROOT", d + "/client");
    m_env.insert("HOME", d + "/home");
    m_env.insert("XDG_CONFIG_HOME", d + "/home/.config");
    m_env.insert("QT_QPA_PLATFORM", "offscreen");

    CupsdGuard cupsd;
    QVERIFY(cupsd.start(d));
    QTRY_VERIFY2_WITH_TIMEOUT(
        QFile::exists(d + "/cups.sock") || !cupsd.running(), qPrintable(tail(d + "/log/cupsd.out")), 20000);
    QVERIFY2(cupsd.running(), qPrintable(tail(d + "/log/cupsd.out") + tail(d + "/log/error_log")));
    QTRY_VERIFY_WITH_TIMEOUT(run("lpstat", { "-r" }), 20000);

    QVERIFY(run("lpadmin",
        { "-p", kQueue, "-E", "-v", "vexlor://127.0.0.1:55000", "-P",
            VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd" }));

    // The application's side: listener and option parser on 127.0.0.1:55000.
    Vexlor::registerMetaTypes();
    printListener listener(QDir(d + "/received"));
    psOptionParser parser(QDir(d + "/options"));
    connect(&listener, SIGNAL(recived(QString)), &parser, SLOT(name2Parse(QString)));
    QSignalSpy started(&listener, SIGNAL(info(QString)));
    QSignalSpy failed(&listener, SIGNAL(error(QString)));
    QSignalSpy parsed(&parser, SIGNAL(done(vexlorSettings)));
    QVERIFY(QMetaObject::invokeMethod(&listener, "start"));
    QTRY_VERIFY(failed.count() > 0
        || std::any_of(started.cbegin(), started.cend(),
            [](const QList<QVariant> &a) { return a.at(0).toString() == "PrintListener Started!"; }));
    QVERIFY2(failed.isEmpty(), "port 55000 is taken");

    // The user's choices, made on the panel.
    const QStringList choices = { "JobType=vector", "dithering=floyd", "vectorSort=nearest",
        "EngravingDirection=bottom", "rasterSpeed=37", "rasterPower=64", "vectorFreq=12", "cResolution=300",
        "autoFocus=enabled", "materialThickness=2.5", "vectorGrid=enabled", "vectorSpeedComp=enabled" };
    QStringList arguments { kQueue, "--accept" };
    for (const QString &c : choices)
        arguments << "--set" << c;
    QVERIFY(run(VEXLOR_BINARY_DIR "/bin/vexlor-options", arguments));

    QString lpoptions;
    QVERIFY(run("lpoptions", { "-p", kQueue }, &lpoptions));
    QVERIFY2(lpoptions.contains("JobType=vector") && lpoptions.contains("rasterSpeed=Custom.37"),
        qPrintable(lpoptions));
    // lpoptions keeps a user's options in ~/.cups/lpoptions.
    QVERIFY2(QFile::exists(d + "/home/.cups/lpoptions"), "the options were not stored as lpoptions does");
    QSettings printSettings(
        d + "/home/.config/com.vexlor.print.pde.vexlorKind/printsettings.ini", QSettings::IniFormat);
    QCOMPARE(printSettings.value(kQueue + "/com.vexlor.print.pde.vexlorKind.rasterSpeed").toString(),
        QStringLiteral("37"));
    QCOMPARE(printSettings.value(kQueue + "/com.vexlor.print.pde.vexlorKind.resolution").toString(),
        QStringLiteral("300"));

    // A document printed from another program.
    QVERIFY(writeFile(d + "/job.ps",
        "%!PS-Adobe-3.0\n"
        "%%Title: (PanelJob)\n"
        "%%BoundingBox: 0 0 144 144\n"
        "%%Pages: 1\n"
        "%%EndComments\n"
        "%%Page: 1 1\n"
        "newpath 10 10 moveto 134 134 lineto 0.01 setlinewidth stroke\n"
        "showpage\n"
        "%%EOF\n"));
    QVERIFY(run("lp", { "-d", kQueue, d + "/job.ps" }));

    QTRY_VERIFY2_WITH_TIMEOUT(parsed.count() == 1,
        qPrintable(tail(d + "/log/error_log")
            + "\nreceived: " + QDir(d + "/received").entryList(QDir::Files).join(' ')),
        60000);
    const QMap<QString, QString> job = parsed.at(0).at(0).value<vexlorSettings>().settings;

    // Every engraving option of the PPD: the user's choices, the panel's numeric
    // values, and the PPD's defaults for the rest.
    const QMap<QString, QString> expected = {
        { "JobType", "vector" },
        { "CenterEngraving", "none" },
        { "EngravingDirection", "bottom" },
        { "directPrint", "disabled" },
        { "dithering", "floyd" },
        { "vectorSort", "nearest" },
        { "vectorSpeedComp", "enabled" },
        { "vectorPowerComp", "enabled" },
        { "autoFocus", "enabled" },
        { "vectorGrid", "enabled" },
        { "CustomcResolution", "300" },
        { "CustomrasterSpeed", "37" },
        { "CustomrasterPower", "64" },
        { "CustomvectorSpeed", "50" },
        { "CustomvectorPower", "50" },
        { "CustomvectorFreq", "12" },
    };
    QMap<QString, QString> received = job;
    for (const char *key : { "PostScriptFile", "Title", "BoundingBox", "PageCount" })
        received.remove(key);
    QVERIFY2(received.contains("CustommaterialThickness"), qPrintable(QStringList(job.keys()).join(' ')));
    QCOMPARE(received.take("CustommaterialThickness").toDouble(), 2.5);
    QCOMPARE(received, expected);
    QCOMPARE(job.value("Title"), QStringLiteral("PanelJob"));
    QVERIFY(QFile::exists(job.value("PostScriptFile")));

    cupsd.stop();
    QVERIFY(!cupsd.running());
}

QTEST_MAIN(tst_PdePrint)
#include "tst_pdeprint.moc"
