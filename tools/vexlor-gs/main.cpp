// vexlor-gs: the engraver device. Takes the argument list that VexlorApp
// builds for Ghostscript and writes the first page of the job as a scene.

#include "commandline.h"
#include "hugepages.h"
#include "vexlordevice.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>

int main(int argc, char *argv[])
{
    Vexlor::restartWithHugePages(argv);
    // A reader that goes away must not keep the working folder from being
    // cleaned up.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();

    QTextStream out(stdout);
    if (arguments.size() == 1
        && (arguments.first() == QLatin1String("--help") || arguments.first() == QLatin1String("-h"))) {
        out << commandLine::usage();
        return vexlorDevice::Success;
    }
    if (arguments.size() == 1 && arguments.first() == QLatin1String("--version")) {
        out << "vexlor-gs " << VEXLOR_VERSION << '\n';
        return vexlorDevice::Success;
    }
    vexlorDevice::installSignalHandlers();
    QFile procedureSet(QStringLiteral(":/vexlor-gs/vexlor.ps"));
    if (!procedureSet.open(QIODevice::ReadOnly)) {
        out << "vexlor-gs: the procedure set is missing from the program\n";
        return vexlorDevice::JobFailed;
    }
    vexlorDevice device(QString::fromUtf8(procedureSet.readAll()), out);
    return device.run(commandLine(arguments));
}
