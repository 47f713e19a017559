// vexlor-screenshots [--gs PROGRAM] [--sample FILE] [--ppd FILE] [--backend PROGRAM]
//                    [--timeout SECONDS] [OUTPUT_DIR]
// Prints a sample job to a real main window and saves pictures of the window
// and its dialogs as PNG files. Needs a display (screenshots.sh starts a
// virtual one) and the print port 55000.
#include "screenshotrunner.h"
#include "vexlortypes.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

// The options that Qt's application object takes for itself: accepted on the
// command line, left for it, and not listed in the help.
void addQtOptions(QCommandLineParser *parser)
{
    for (const char *name : { "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
             "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style", "stylesheet" }) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser->addOption(option);
    }
    for (const char *name : { "reverse", "widgetcount" }) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser->addOption(option);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // The defaults are found beside the program; the application object that
    // knows its folder comes later, so read it from argv[0] here.
    const QString here = QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Pictures of the main window and its dialogs with a sample job."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("output"), QStringLiteral("Folder for the PNG files (default: screenshots)."));
    const QCommandLineOption gs(QStringLiteral("gs"), QStringLiteral("Engraver device program."),
        QStringLiteral("program"), here + QStringLiteral("/vexlor-gs"));
    const QCommandLineOption sample(QStringLiteral("sample"), QStringLiteral("PostScript job to print."),
        QStringLiteral("file"), QStringLiteral(VEXLOR_SOURCE_DIR "/samples/sample.ps"));
    const QCommandLineOption ppd(QStringLiteral("ppd"), QStringLiteral("The engraver queue's PPD file."),
        QStringLiteral("file"), here + QStringLiteral("/../share/vexlor.ppd"));
    const QCommandLineOption backend(QStringLiteral("backend"),
        QStringLiteral("The engraver queue's backend."), QStringLiteral("program"),
        here + QStringLiteral("/vexlor"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait for the job (default 300)."), QStringLiteral("seconds"),
        QStringLiteral("300"));
    parser.addOptions({ gs, sample, ppd, backend, timeout });
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addQtOptions(&parser);

    // The help, the version and mistakes in the command line are answered
    // before the window system is opened, so they work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments) || parser.isSet(QStringLiteral("help"))
        || parser.isSet(QStringLiteral("version"))) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("vexlor-screenshots"));
        QCoreApplication::setApplicationVersion(QStringLiteral(VEXLOR_VERSION));
        parser.process(core); // prints and ends the program
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vexlor-screenshots"));
    QApplication::setApplicationVersion(QStringLiteral(VEXLOR_VERSION));
    Vexlor::registerMetaTypes();
    parser.process(app);

    ScreenshotRunner::Options options;
    const QStringList positional = parser.positionalArguments();
    options.outputDir = positional.isEmpty() ? QStringLiteral("screenshots") : positional.first();
    options.gsProgram = QDir::cleanPath(parser.value(gs));
    options.sample = QDir::cleanPath(parser.value(sample));
    options.ppd = QDir::cleanPath(parser.value(ppd));
    options.backend = QDir::cleanPath(parser.value(backend));
    bool ok = false;
    options.timeoutSeconds = parser.value(timeout).toInt(&ok);
    if (!ok || options.timeoutSeconds <= 0)
        parser.showHelp(2);

    ScreenshotRunner runner(options);
    return runner.run();
}
