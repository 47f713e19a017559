#include "hugepages.h"
#include "locations.h"
#include "mainwindow.h"
#include "securefs.h"
#include "vexlorlog.h"
#include "vexlortypes.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
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

const char helpText[] = "Usage: VexlorApp [--verbose] [Qt options]\n"
                        "\n"
                        "Receives jobs from the engraver queue on 127.0.0.1, port 55000, shows each job's\n"
                        "preview on the 40 x 28 inch engraver table and sends it to the selected engraver.\n"
                        "\n"
                        "Options:\n"
                        "  --verbose    write the workers' traces to the log as well\n"
                        "  -h, --help   show this help and exit\n"
                        "  --version    show the version and exit\n"
                        "\n"
                        "The window takes Qt's own options too (-platform offscreen, -style NAME, ...).\n"
                        "\n"
                        "Environment:\n"
                        "  VEXLOR_GS              the Ghostscript program with the engraver device\n"
                        "  VEXLOR_GS_TIME_LIMIT   seconds a Ghostscript run may take (600)\n"
                        "  VEXLOR_ENGRAVER_PORT   the engravers' LPD port (515)\n"
                        "  QT_LOGGING_RULES       traces of single workers, e.g. vexlor.parser.debug=true\n"
                        "\n"
                        "The log goes to standard error, one line per message with its time.\n";

enum class Action { Run, Help, Version, Refuse };

struct Options
{
    Action action = Action::Run;
    bool verbose = false;
    QString error;
};

// Read before the application object exists, so that --help and --version
// work without a display. The options that Qt's application object takes for
// itself are accepted here and left in place for it.
Options readOptions(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    parser.addOptions({ help, version, verbose });
    for (const char *name :
        { "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
            "qwindowtitle", "session", "display", "geometry", "style", "stylesheet", "name", "title" })
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char *name : { "reverse", "widgetcount", "nograb", "dograb", "sync" })
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    Options options;
    if (!parser.parse(arguments)) {
        options.action = Action::Refuse;
        options.error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        options.action = Action::Refuse;
        options.error = QStringLiteral("Unexpected argument '%1': VexlorApp takes its jobs from the engraver "
                                       "queue, not from the command line.")
                            .arg(parser.positionalArguments().constFirst());
    } else if (parser.isSet(help)) {
        options.action = Action::Help;
    } else if (parser.isSet(version)) {
        options.action = Action::Version;
    }
    options.verbose = parser.isSet(verbose);
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    Vexlor::restartWithHugePages(argv);
    const Options options = readOptions(argc, argv);
    switch (options.action) {
    case Action::Help:
        std::fputs(helpText, stdout);
        return 0;
    case Action::Version:
        std::printf("VexlorApp %s\n", VEXLOR_VERSION);
        return 0;
    case Action::Refuse:
        std::fprintf(
            stderr, "VexlorApp: %s\nTry 'VexlorApp --help' for the options.\n", qPrintable(options.error));
        return 2;
    case Action::Run:
        break;
    }

    Vexlor::setUpLogging(options.verbose);
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(VEXLOR_VERSION));
    // The menu entry's name and icon, for the task bar and the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("vexlorapp"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vexlorapp")));
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
