#include "vexlordevice.h"

#include "colorconverter.h"
#include "commandline.h"
#include "scenebuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

volatile sig_atomic_t vexlorDevice::receivedSignal = 0;
volatile pid_t vexlorDevice::interpreterPid = 0;

void vexlorDevice::onSignal(int signal)
{
    receivedSignal = signal;
    const pid_t child = interpreterPid;
    if (child > 0)
        ::kill(child, SIGKILL);
}

void vexlorDevice::installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = &vexlorDevice::onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signal, &action, nullptr);
    // When the program that started this one ends, so does this one (and
    // with it the interpreter, which is killed when its parent goes).
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        onSignal(SIGTERM);
}

namespace {

// true when the file holds nothing but blanks
bool isBlank(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(65536);
        for (char c : chunk)
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != '\0')
                return false;
    }
    return true;
}

} // namespace

vexlorDevice::vexlorDevice(const QString &procedureSet, QTextStream &messages)
    : m_procedureSet(procedureSet)
    , m_messages(messages)
{
}

QString vexlorDevice::interpreter()
{
    const QString fromEnvironment = qEnvironmentVariable("VEXLOR_GS_INTERPRETER");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStandardPaths::findExecutable(QStringLiteral("gs"));
}

int vexlorDevice::endedBySignal()
{
    const int signal = receivedSignal;
    m_messages << "vexlor-gs: ended by signal " << signal << "; no scene was written.\n";
    m_messages.flush();
    return 128 + signal;
}

int vexlorDevice::runInterpreter(const QString &program, const QStringList &arguments, const QString &workDir)
{
    QVector<QByteArray> storage;
    storage.append(QFile::encodeName(program));
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &entry : storage)
        argv.append(entry.data());
    argv.append(nullptr);
    // -dSAFER lets a job write to the temporary folder; that is the working
    // folder here, so the job can write nowhere else.
    const QByteArray tmp = QFile::encodeName(workDir);

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return NotStarted;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        ::close(output[0]);
        ::close(output[1]);
        return NotStarted;
    }
    if (child == 0) {
        // the interpreter goes when this program goes, however it ends
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        setenv("TMPDIR", tmp.constData(), 1);
        setenv("TEMP", tmp.constData(), 1);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        execv(argv.at(0), argv.data());
        _exit(127);
    }
    ::close(output[1]);
    interpreterPid = child;
    // a signal that came before the child was known ends it now
    if (receivedSignal != 0)
        ::kill(child, SIGKILL);

    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(output[0], buffer, sizeof buffer);
        if (n > 0) {
            m_messages << QString::fromLocal8Bit(buffer, int(n));
            m_messages.flush();
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(output[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    interpreterPid = 0;
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 127 && !QFileInfo(program).isExecutable() ? NotStarted
                                                                                : WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void vexlorDevice::removeStaleWorkFolders(const QString &folder)
{
    static const QRegularExpression name(QStringLiteral("^\\.vexlor-gs-([0-9]+)-"));
    QDir dir(folder);
    const QStringList entries = dir.entryList({ QStringLiteral(".vexlor-gs-*") }, QDir::Dirs | QDir::Hidden);
    for (const QString &entry : entries) {
        const QRegularExpressionMatch match = name.match(entry);
        if (!match.hasMatch())
            continue;
        const pid_t owner = pid_t(match.captured(1).toLongLong());
        if (owner == getpid() || owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        // only folders of this user: a folder shared with others keeps theirs
        if (QFileInfo(dir.filePath(entry)).ownerId() != geteuid())
            continue;
        QDir(dir.filePath(entry)).removeRecursively();
    }
}

int vexlorDevice::documentPages(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    int declared = -1;
    int counted = 0;
    int embedded = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(4096);
        if (!line.startsWith("%%"))
            continue;
        if (line.startsWith("%%BeginDocument"))
            ++embedded;
        else if (line.startsWith("%%EndDocument"))
            embedded = std::max(0, embedded - 1);
        else if (embedded > 0)
            continue;
        else if (line.startsWith("%%Pages:")) {
            bool ok = false;
            const int value = line.mid(8).trimmed().split(' ').value(0).toInt(&ok);
            // the header's figure counts; "(atend)" defers to the trailer
            if (ok && value >= 0 && declared < 0)
                declared = value;
        } else if (line.startsWith("%%Page:"))
            ++counted;
    }
    return declared >= 0 ? declared : counted;
}

int vexlorDevice::fail(const QString &message)
{
    m_messages << "vexlor-gs: " << message << '\n';
    m_messages.flush();
    return JobFailed;
}

int vexlorDevice::run(const commandLine &arguments)
{
    // Whatever happens next, the scene of an earlier job must not be taken
    // for this one's.
    const QString sceneFile
        = arguments.outputFile().isEmpty() ? QString() : QFileInfo(arguments.outputFile()).absoluteFilePath();
    if (!sceneFile.isEmpty()) {
        if (QFileInfo::exists(sceneFile) && !QFile::remove(sceneFile))
            return fail(QStringLiteral("cannot remove the earlier scene file %1").arg(sceneFile));
        // and the image files that the earlier scene named
        const QFileInfo scene(sceneFile);
        QDir folder = scene.absoluteDir();
        const QString prefix = sceneBuilder::imageFilePrefix(sceneFile);
        const QStringList patterns = { prefix + QStringLiteral("*.png"), prefix + QStringLiteral("*.pgm"),
            prefix + QStringLiteral("*.ppm") };
        for (const QString &name : folder.entryList(patterns, QDir::Files))
            folder.remove(name);
    }
    if (!arguments.isValid()) {
        m_messages << "vexlor-gs: " << arguments.errorText() << '\n' << commandLine::usage();
        m_messages.flush();
        return UsageError;
    }

    const QFileInfo input(arguments.inputFile());
    if (input.exists() && input.isFile() && isBlank(input.absoluteFilePath()))
        return fail(QStringLiteral("Error: the PostScript file %1 is empty; no scene was written.")
                        .arg(arguments.inputFile()));

    const QString folder = QFileInfo(sceneFile).absolutePath();
    if (!QFileInfo(folder).isDir())
        return fail(QStringLiteral("the folder of the scene file does not exist: %1").arg(folder));
    removeStaleWorkFolders(folder);
    QTemporaryDir work(folder + QStringLiteral("/.vexlor-gs-%1-XXXXXX").arg(getpid()));
    if (!work.isValid())
        return fail(QStringLiteral("cannot make a working folder in %1: %2").arg(folder, work.errorString()));
    const QString workDir = work.path() + QLatin1Char('/');
    QFile procedureFile(workDir + QStringLiteral("vexlor.ps"));
    if (!procedureFile.open(QIODevice::WriteOnly) || procedureFile.write(m_procedureSet.toUtf8()) < 0)
        return fail(QStringLiteral("cannot write the procedure set to %1").arg(workDir));
    procedureFile.close();

    const QString gs = interpreter();
    if (gs.isEmpty())
        return fail(QStringLiteral("Ghostscript (gs) was not found on the path"));

    // A job file whose name starts with "-" would be read as a switch.
    QString job = arguments.inputFile();
    if (job.startsWith(QLatin1Char('-')))
        job.prepend(QStringLiteral("./"));

    QStringList gsArguments = {
        QStringLiteral("-q"),
        QStringLiteral("-dBATCH"),
        QStringLiteral("-dNOPAUSE"),
        QStringLiteral("-dSAFER"),
        // what the interpreter paints itself (shadings, masked images) is
        // painted as the job asks
        QStringLiteral("-dDOINTERPOLATE"),
        // glyphs of Type 3 fonts must reach the procedure set every time
        QStringLiteral("-dNOCACHE"),
        QStringLiteral("-sDEVICE=nullpage"),
        QStringLiteral("-r%1").arg(arguments.resolution()),
        QStringLiteral("-sVXDIR=") + workDir,
        QStringLiteral("--permit-file-write=") + workDir,
        workDir + QStringLiteral("vexlor.ps"),
        job,
        QStringLiteral("-c"),
        QStringLiteral("vexlorfinish"),
    };
    // the number of painting items a scene may hold (a million unless set)
    bool limited = false;
    const int maxItems = qEnvironmentVariableIntValue("VEXLOR_GS_MAX_ITEMS", &limited);
    if (limited && maxItems > 0)
        gsArguments.insert(gsArguments.indexOf(QStringLiteral("-sVXDIR=") + workDir),
            QStringLiteral("-dVXMAXITEMS=%1").arg(maxItems));
    const int status = runInterpreter(gs, gsArguments, work.path());
    if (status == NotStarted)
        return fail(
            QStringLiteral("cannot start %1: %2").arg(gs, QString::fromLocal8Bit(std::strerror(errno))));
    if (interrupted())
        return endedBySignal();
    if (status != 0)
        return fail(QStringLiteral("Ghostscript could not interpret %1 (exit code %2); no scene was written.")
                        .arg(arguments.inputFile())
                        .arg(status));

    colorConverter colors;
    sceneBuilder builder(workDir, colors);
    QString error;
    if (!builder.read(&error))
        return fail(error + QStringLiteral("; no scene was written."));
    if (interrupted())
        return endedBySignal();
    if (!builder.write(sceneFile, arguments.ditheringType(), arguments.jobType(), &error, &interrupted))
        return interrupted() ? endedBySignal() : fail(error + QStringLiteral("; no scene was written."));
    if (builder.skippedRecords() > 0)
        m_messages << "vexlor-gs: " << builder.skippedRecords()
                   << " malformed painting records were left out.\n";
    const QStringList leftOut = builder.leftOut();
    if (!leftOut.isEmpty())
        m_messages << "Not drawn: " << leftOut.join(QStringLiteral(", ")) << '\n';
    const int pages = documentPages(arguments.inputFile());
    if (pages > 1)
        m_messages << "vexlor-gs: the document has " << pages << " pages; only the first page was drawn.\n";
    m_messages.flush();
    return Success;
}
