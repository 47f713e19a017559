#include "locations.h"
#include "mainwindow.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// A terminal's Ctrl+C or a service manager's SIGTERM ends the event loop, so
// the window shuts down in order: rendering stopped, engraver list saved,
// threads joined.
void quitOnTerminationSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app]() {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Vexlor::registerMetaTypes();
    quitOnTerminationSignals(&app);

    const QString ghostscript = Vexlor::ghostscriptProgram();
    const QString spoolDir = QStringLiteral("/tmp/PSLib");
    const QString optionsDir = QStringLiteral("/tmp/XMLLib");
    const QString gsOutputDir = QStringLiteral("/tmp/GSTemp");
    const QString supportDir = QDir::homePath() + QStringLiteral("/Library/Vexlor");

    // One level each. A folder that cannot be made, or one that is not ours,
    // is refused later by the worker that would write into it, with a reason.
    for (const QString &dir : { spoolDir, optionsDir, gsOutputDir })
        Vexlor::makePrivateDir(dir);
    QDir().mkdir(supportDir);

    int result = 0;
    {
        MainWindow window(ghostscript, spoolDir, optionsDir, gsOutputDir, supportDir);
        window.show();
        result = app.exec();
    }
    return result;
}
