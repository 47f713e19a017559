#include "gsmanager.h"

#include "optionlimits.h"

#include <QFile>
#include <QXmlStreamReader>

namespace {

const QString kCResolution = QStringLiteral("cResolution");
const QString kCustomCResolution = QStringLiteral("CustomcResolution");
const QString kDithering = QStringLiteral("dithering");
const QString kPostScriptFile = QStringLiteral("PostScriptFile");

} // namespace

gsManager::gsManager(QObject *parent)
    : QObject(parent)
{
}

void gsManager::importXMLOptions(QString path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        emit error(QStringLiteral("Problem opening option file: ") + path);
        return;
    }
    emit info(QStringLiteral("Reading options from: ") + path);

    // The document element is the group ("InitialSettings"); every element
    // inside it is an option, whatever its name: an option of the job named
    // like a group must not hide the options after it. The job's own file
    // path is the first "PostScriptFile" of the group and is never replaced.
    QXmlStreamReader xml(&file);
    bool inGroup = false;
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        emit info(xml.tokenString());
        if (token == QXmlStreamReader::EndElement && inGroup) {
            // Only the group's own end element comes here: options are read whole.
            inGroup = false;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QString name = xml.name().toString();
        if (!inGroup && name.contains(QLatin1String("Settings"))) {
            m_groups.append(OptionGroup(name, QMap<QString, QString>()));
            inGroup = true;
            continue;
        }
        const QString text = xml.readElementText();
        if (xml.hasError())
            break;
        if (!inGroup) {
            emit info(QStringLiteral("Option %1 comes before any settings group and is left out").arg(name));
            continue;
        }
        QMap<QString, QString> &options = m_groups.last().second;
        if (name == kPostScriptFile && options.contains(kPostScriptFile)) {
            emit error(QStringLiteral("A second \"%1\" in the options file is ignored: the job stays %2")
                           .arg(name, options.value(kPostScriptFile)));
            continue;
        }
        options.insert(name, text);
    }
    if (xml.hasError())
        emit error(QStringLiteral("XML error: ") + xml.errorString());
    else
        emit info(QStringLiteral("Reached xml end... done"));

    for (const OptionGroup &group : qAsConst(m_groups)) {
        emit info(QStringLiteral("Settings: ") + group.first);
        for (auto it = group.second.constBegin(); it != group.second.constEnd(); ++it)
            emit info(QStringLiteral("Key: ") + it.key() + QStringLiteral(" Value: ") + it.value());
    }
}

void gsManager::processOptions(QString path)
{
    importXMLOptions(path);
    if (m_groups.isEmpty()) {
        // Nothing to build a command line from: Ghostscript is not started
        // with empty values.
        emit error(QStringLiteral("The xml input options were not parsed properly."));
        return;
    }

    // Only the first group counts; the rest go with the list.
    const QMap<QString, QString> options = m_groups.first().second;
    m_groups.clear();

    if (!options.contains(kDithering) || !options.contains(kPostScriptFile)
        || (!options.contains(kCResolution) && !options.contains(kCustomCResolution)))
        emit error(QStringLiteral("The input options do not have the proper options set."));

    QStringList arguments;
    arguments << QStringLiteral("-dDOINTERPOLATE") << QStringLiteral("-dBATCH") << QStringLiteral("-dSAFER")
              << QStringLiteral("-dNOPAUSE") << QStringLiteral("-sDEVICE=vexlor");

    // Numeric options outside the queue's ranges are taken to the nearest
    // allowed value, and the user is told. The resolution used goes to
    // Ghostscript; the others are checked here so that every change is
    // reported once, with the job (the settings carry the same values).
    for (auto it = options.constBegin(); it != options.constEnd(); ++it) {
        QString message;
        Vexlor::checkedOptionValue(it.key(), it.value(), &message);
        if (!message.isEmpty())
            emit error(message);
    }

    QString resolution;
    if (options.contains(kCResolution))
        resolution = Vexlor::checkedOptionValue(kCResolution, options.value(kCResolution));
    else if (options.contains(kCustomCResolution))
        resolution = Vexlor::checkedOptionValue(kCustomCResolution, options.value(kCustomCResolution));
    else
        resolution = QLatin1String(Vexlor::optionRange(kCResolution)->fallback);
    emit gsResolution(resolution.trimmed().toInt(nullptr, 10));
    arguments << QStringLiteral("-r") + resolution;

    const QString dithering = options.value(kDithering);
    arguments << QStringLiteral("-sDitheringType=") + dithering;
    emit sendDitheringType(dithering);

    arguments << QStringLiteral("-sJobType=mono") << QStringLiteral("-sOutputFile=/tmp/GSTemp/o.xml")
              << options.value(kPostScriptFile);

    emit launchGS(arguments);
}
