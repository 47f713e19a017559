// vexlor-engraver: a virtual laser engraver on the network. It speaks LPD like
// the real machine, stores every job it is sent and draws what it would have
// engraved and cut.

#include "engraverlog.h"
#include "engraveroptions.h"
#include "lpdserver.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexlor-engraver"));

    engraverOptions options;
    QString error;
    bool helpShown = false;
    if (!engraverOptions::parse(QCoreApplication::arguments(), &options, &error, &helpShown)) {
        std::fprintf(stderr, "vexlor-engraver: %s\nTry --help.\n", qPrintable(error));
        return 2;
    }
    if (helpShown)
        return 0;

    // Stop cleanly on Ctrl-C and kill, so that jobs under way leave nothing
    // behind in the spool.
    if (::pipe(signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&app] {
        engraverLog::line(QStringLiteral("stopping"));
        app.exit(0);
    });

    lpdServer server(options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "vexlor-engraver: %s\n", qPrintable(error));
        return 1;
    }
    QObject::connect(&server, &lpdServer::onceDone, &app, [&app](bool stored) {
        engraverLog::line(stored ? QStringLiteral("one job done; exiting")
                                 : QStringLiteral("the job connection stored no job; exiting"));
        app.exit(stored ? 0 : 1);
    });
    const int code = app.exec();
    server.stop();
    return code;
}
