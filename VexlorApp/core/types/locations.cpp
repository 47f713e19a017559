#include "locations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace Vexlor {

QString ghostscriptProgram()
{
    const QString fromEnvironment = qEnvironmentVariable("VEXLOR_GS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString installed = QStringLiteral("/Library/Printers/Vexlor/Helpers/gs");
    if (QFileInfo::exists(installed))
        return installed;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vexlor-gs");
}

QString supportFolder()
{
    return QDir::homePath() + QStringLiteral("/Library/Vexlor");
}

} // namespace Vexlor
