#include "mainwindow.h"
#include "locations.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Vexlor::registerMetaTypes();

    const QString ghostscript = Vexlor::ghostscriptProgram();
    const QString spoolDir = QStringLiteral("/tmp/PSLib");
    const QString optionsDir = QStringLiteral("/tmp/XMLLib");
    const QString gsOutputDir = QStringLiteral("/tmp/GSTemp");
    const QString supportDir = QDir::homePath() + QStringLiteral("/Library/Vexlor");

    // One level each; a folder that cannot be made is noticed by the worker
    // that needs it, which refuses to write there and says why.
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
