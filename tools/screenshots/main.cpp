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

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vexlor-screenshots"));
    Vexlor::registerMetaTypes();

    const QString here = QCoreApplication::applicationDirPath();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Pictures of the main window and its dialogs with a sample job."));
    parser.addHelpOption();
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
