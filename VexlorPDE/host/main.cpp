// vexlor-options: the engraving options of a CUPS queue, set on the engraver's
// print dialog panel and stored as the user's default options of the queue.

#include "vexlorcupshost.h"
#include "vexloroptionsdialog.h"
#include "vexlorpaneldriver.h"
#include "vexlorpde.h"
#include "vexlorpdeplugin.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QTextStream>

#include <cstdio>

namespace {

bool g_verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The panel's diagnostic lines only on request.
    if (type == QtDebugMsg && !g_verbose)
        return;
    std::fprintf(stderr, "%s\n", qUtf8Printable(message));
}

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
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the engraving options of an engraver queue and stores them as your default options of the "
        "queue, so that every job you print to it carries them."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("queue"), QStringLiteral("The CUPS queue of the engraver."));
    const QCommandLineOption ppdOption(QStringLiteral("ppd"),
        QStringLiteral("Read the options from this PPD file instead of the queue's."),
        QStringLiteral("file"));
    const QCommandLineOption setOption(QStringLiteral("set"),
        QStringLiteral("Set an option on the panel, e.g. JobType=vector, rasterSpeed=37, cResolution=300, "
                       "autoFocus=enabled, materialThickness=3.2 (repeatable). Runs without a window."),
        QStringLiteral("key=value"));
    const QCommandLineOption acceptOption(
        QStringLiteral("accept"), QStringLiteral("Press OK: store the options. Runs without a window."));
    const QCommandLineOption summaryOption(
        QStringLiteral("summary"), QStringLiteral("Print the panel's summary. Runs without a window."));
    const QCommandLineOption printOption(QStringLiteral("print-options"),
        QStringLiteral("Print the choices as lp options (-o words). Runs without a window."));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
        QStringLiteral("Save a picture of the window, after the --set options, as a PNG file."),
        QStringLiteral("file"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Log what the panel does on standard error."));
    parser.addOptions(
        { ppdOption, setOption, acceptOption, summaryOption, printOption, screenshotOption, verboseOption });
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
        QCoreApplication::setApplicationName(QStringLiteral("vexlor-options"));
        QCoreApplication::setApplicationVersion(QStringLiteral(VEXLOR_VERSION));
        parser.process(core); // prints and ends the program
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vexlor-options"));
    QApplication::setApplicationVersion(QStringLiteral(VEXLOR_VERSION));
    qInstallMessageHandler(messageHandler);
    parser.process(app);
    g_verbose = parser.isSet(verboseOption);

    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList positional = parser.positionalArguments();
    const QString queue = positional.value(0);
    if (positional.size() > 1 || (queue.isEmpty() && !parser.isSet(ppdOption))) {
        err << "vexlor-options: give one queue name, or a PPD file with --ppd\n";
        return 1;
    }

    QString error;
    std::unique_ptr<VexlorCupsHost> host = parser.isSet(ppdOption)
        ? VexlorCupsHost::forPPDFile(parser.value(ppdOption), queue, &error)
        : VexlorCupsHost::forQueue(queue, &error);
    if (!host) {
        err << "vexlor-options: " << error << "\n";
        return 1;
    }

    VexlorPDEPlugIn plugIn;
    plugIn.initWithBundle(VexlorPDEBundle::bundleForClass());
    auto panels
        = plugIn.PDEPanelsForType(QString::fromLatin1(VexlorPDEPlugIn::kPrinterPanelsType), host.get());
    if (!panels || panels->empty()) {
        err << "vexlor-options: " << (queue.isEmpty() ? parser.value(ppdOption) : queue)
            << " is not an engraver queue: its PPD lacks the engraving options\n";
        return 1;
    }
    VexlorPDE *panel = panels->front().get();
    panel->panelView();
    panel->restoreValuesAndReturnError();
    panel->willShow();

    VexlorOptionsDialog dialog(panel, host.get());
    const bool batch = parser.isSet(setOption) || parser.isSet(acceptOption) || parser.isSet(summaryOption)
        || parser.isSet(printOption) || parser.isSet(screenshotOption);
    if (!batch) {
        dialog.exec();
        return 0;
    }

    bool refused = false;
    for (const QString &setting : parser.values(setOption)) {
        const int eq = setting.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            err << "vexlor-options: --set takes KEY=VALUE, not \"" << setting << "\"\n";
            refused = true;
            continue;
        }
        const QString key = setting.left(eq);
        const QString value = setting.mid(eq + 1);
        if (!VexlorPanelDriver::applySetting(panel, host.get(), key, value, &error)) {
            err << "vexlor-options: " << setting << " refused: " << error << "\n";
            refused = true;
        }
    }
    dialog.updateSummary();
    if (parser.isSet(summaryOption))
        out << dialog.summaryText() << "\n";
    if (parser.isSet(printOption)) {
        for (const QString &word : host->acceptedOptionArguments())
            out << "-o " << word << "\n";
    }
    out.flush();
    if (parser.isSet(screenshotOption)) {
        dialog.adjustSize();
        dialog.show();
        QCoreApplication::processEvents();
        if (!dialog.grab().save(parser.value(screenshotOption), "PNG")) {
            err << "vexlor-options: cannot write " << parser.value(screenshotOption) << "\n";
            return 1;
        }
    }
    if (refused) {
        err << "vexlor-options: nothing stored\n";
        return 2;
    }
    if (parser.isSet(acceptOption)) {
        if (!dialog.saveChoices(&error)) {
            err << "vexlor-options: " << error << "\n";
            return 1;
        }
    }
    return 0;
}
