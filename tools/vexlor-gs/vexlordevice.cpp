#include "vexlordevice.h"

#include "colorconverter.h"
#include "commandline.h"
#include "scenebuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

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
        const QString pattern = sceneBuilder::imageFilePrefix(sceneFile) + QStringLiteral("*.png");
        for (const QString &name : folder.entryList({ pattern }, QDir::Files))
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
    QTemporaryDir work(folder + QStringLiteral("/.vexlor-gs-XXXXXX"));
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

    const QStringList gsArguments = {
        QStringLiteral("-q"),
        QStringLiteral("-dBATCH"),
        QStringLiteral("-dNOPAUSE"),
        QStringLiteral("-dSAFER"),
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
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    // -dSAFER lets a job write to the temporary folder; that is the working
    // folder here, so the job can write nowhere else.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), work.path());
    environment.insert(QStringLiteral("TEMP"), work.path());
    process.setProcessEnvironment(environment);
    process.start(gs, gsArguments);
    if (!process.waitForStarted(-1))
        return fail(QStringLiteral("cannot start %1: %2").arg(gs, process.errorString()));
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(-1);
        const QByteArray output = process.readAll();
        if (!output.isEmpty()) {
            m_messages << QString::fromLocal8Bit(output);
            m_messages.flush();
        }
    }
    const QByteArray rest = process.readAll();
    if (!rest.isEmpty())
        m_messages << QString::fromLocal8Bit(rest);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(QStringLiteral("Ghostscript could not interpret %1 (exit code %2); no scene was written.")
                        .arg(arguments.inputFile())
                        .arg(process.exitCode()));

    colorConverter colors;
    sceneBuilder builder(workDir, colors);
    QString error;
    if (!builder.read(&error)
        || !builder.write(sceneFile, arguments.ditheringType(), arguments.jobType(), &error))
        return fail(error + QStringLiteral("; no scene was written."));
    if (builder.skippedRecords() > 0)
        m_messages << "vexlor-gs: " << builder.skippedRecords()
                   << " malformed painting records were left out.\n";
    for (const QString &line : builder.leftOut())
        m_messages << "vexlor-gs: not drawn: " << line << '\n';
    if (builder.pageCount() > 1)
        m_messages << "vexlor-gs: the document has " << builder.pageCount()
                   << " pages; only the first page was drawn.\n";
    m_messages.flush();
    return Success;
}
