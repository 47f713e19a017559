#include "e2ehelpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

QString binary(const QString &name)
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/") + name;
}

QString ppdFile()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/share/vexlor.ppd");
}

QString sourceFile(const QString &relative)
{
    return QStringLiteral(VEXLOR_SOURCE_DIR "/") + relative;
}

VirtualEngraver::VirtualEngraver(const QStringList &extraArguments)
{
    m_process = std::make_unique<ChildProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(binary(QStringLiteral("vexlor-engraver")),
        QStringList { QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
            QStringLiteral("0"), QStringLiteral("--spool"), m_dir.path() }
            + extraArguments);
    if (!m_process->waitForStarted(10000))
        return;
    QElapsedTimer timer;
    timer.start();
    const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1:(\\d+)"));
    while (timer.elapsed() < 20000) {
        m_process->waitForReadyRead(200);
        m_output += m_process->readAll();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(m_output));
        if (match.hasMatch()) {
            m_port = match.captured(1).toInt();
            return;
        }
        if (m_process->state() == QProcess::NotRunning)
            return;
    }
}

VirtualEngraver::~VirtualEngraver()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000))
            m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QStringList VirtualEngraver::jobs() const
{
    QDir dir(m_dir.path());
    QStringList stored;
    for (const QFileInfo &info : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QFileInfo::exists(info.filePath() + QStringLiteral("/summary.txt")))
            stored << info.filePath();
    }
    return stored;
}

QByteArray VirtualEngraver::jobData(const QString &jobFolder) const
{
    QFile f(jobFolder + QStringLiteral("/job.prn"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString VirtualEngraver::log() const
{
    if (m_process)
        m_output += m_process->readAll();
    return QString::fromUtf8(m_output);
}

QString filterForQueue(
    const QString &postScript, const QStringList &options, const QString &workDir, QString *log)
{
    QStringList filterArguments { QStringLiteral("-p"), ppdFile(), QStringLiteral("-m"),
        QStringLiteral("application/vnd.cups-postscript") };
    for (const QString &option : options)
        filterArguments << QStringLiteral("-o") << option;
    filterArguments << postScript;

    static int serial = 0;
    const QString filtered = workDir + QStringLiteral("/filtered-")
        + QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('-') + QString::number(++serial)
        + QStringLiteral(".ps");
    QProcess filter;
    filter.setStandardOutputFile(filtered);
    filter.start(QStringLiteral("cupsfilter"), filterArguments);
    if (!filter.waitForFinished(60000) || filter.exitCode() != 0) {
        if (log)
            *log = QString::fromLocal8Bit(filter.readAllStandardError());
        return QString();
    }
    return filtered;
}

QProcess *startBackend(const QString &filtered, const QString &jobName, QObject *parent)
{
    auto *backend = new QProcess(parent);
    backend->start(binary(QStringLiteral("vexlor")),
        QStringList { QStringLiteral("1"), QStringLiteral("tester"), jobName, QStringLiteral("1"), QString(),
            filtered });
    return backend;
}

bool waitForBackends(const QList<QProcess *> &backends, int timeoutMs)
{
    // The listener may live in this very process, so its events keep flowing
    // while the backends run.
    QElapsedTimer timer;
    timer.start();
    auto running = [&backends]() {
        for (QProcess *backend : backends) {
            if (backend->state() != QProcess::NotRunning)
                return true;
        }
        return false;
    };
    while (running() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        for (QProcess *backend : backends)
            backend->waitForFinished(5);
    }
    for (QProcess *backend : backends) {
        if (backend->state() != QProcess::NotRunning || backend->exitStatus() != QProcess::NormalExit
            || backend->exitCode() != 0)
            return false;
    }
    return true;
}

int printThroughQueue(
    const QString &postScript, const QStringList &options, const QString &workDir, QString *log)
{
    const QString filtered = filterForQueue(postScript, options, workDir, log);
    if (filtered.isEmpty())
        return -1;

    // The backend returns once the listener has taken the whole job.
    QProcess backend;
    backend.start(binary(QStringLiteral("vexlor")),
        QStringList { QStringLiteral("1"), QStringLiteral("tester"), QFileInfo(postScript).fileName(),
            QStringLiteral("1"), QString(), filtered });
    QElapsedTimer timer;
    timer.start();
    while (backend.state() != QProcess::NotRunning && timer.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        backend.waitForFinished(20);
    }
    if (log)
        *log = QString::fromLocal8Bit(backend.readAllStandardError());
    return backend.exitStatus() == QProcess::NormalExit ? backend.exitCode() : -1;
}

QString writePostScript(
    const QString &dir, const QString &name, const QByteArray &body, const QByteArray &title)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write("%!PS-Adobe-3.0\n%%Title: " + title
        + "\n%%BoundingBox: 0 0 612 792\n%%Pages: 1\n%%EndComments\n"
          "%%Page: 1 1\n");
    f.write(body);
    f.write("\nshowpage\n%%EOF\n");
    return path;
}

QString newestFile(const QString &dir, const QString &filter)
{
    const QFileInfoList files = QDir(dir).entryInfoList(QStringList { filter }, QDir::Files, QDir::Time);
    return files.isEmpty() ? QString() : files.first().filePath();
}

double agreement(const QImage &a, const QImage &b)
{
    const int width = qMax(a.width(), b.width());
    const int height = qMax(a.height(), b.height());
    if (width == 0 || height == 0)
        return 1.0;
    auto black = [](const QImage &image, int x, int y) {
        return x >= 0 && y >= 0 && x < image.width() && y < image.height() && qGray(image.pixel(x, y)) < 128;
    };
    auto near = [&black](const QImage &image, int x, int y, bool value) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (black(image, x + dx, y + dy) == value)
                    return true;
        return false;
    };
    qint64 agreeing = 0;
    qint64 counted = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool inA = black(a, x, y);
            const bool inB = black(b, x, y);
            if (!inA && !inB)
                continue; // blank in both: says nothing
            ++counted;
            if (inA == inB || near(b, x, y, inA))
                ++agreeing;
        }
    }
    return counted == 0 ? 1.0 : double(agreeing) / double(counted);
}

QString writeEngraverList(const QString &dir)
{
    const QString support = dir + QStringLiteral("/support");
    QDir().mkpath(support);
    QFile list(support + QStringLiteral("/settings.xml"));
    if (!list.open(QIODevice::WriteOnly))
        return QString();
    list.write(
        "<ListStart default=\"0\"><Machine name=\"Virtual\" addr=\"127.0.0.1\" type=\"0\"/></ListStart>");
    return list.flush() ? support : QString();
}
