#include "gsmanager.h"

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

    QXmlStreamReader xml(&file);
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        emit info(xml.tokenString());
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QString name = xml.name().toString();
        if (name.contains(QLatin1String("Settings"))) {
            m_groups.append(OptionGroup(name, QMap<QString, QString>()));
            continue;
        }
        const QString text = xml.readElementText();
        if (xml.hasError())
            break;
        if (m_groups.isEmpty()) {
            // No group to hold it yet.
            emit info(QStringLiteral("Option %1 comes before any settings group and is left out").arg(name));
            continue;
        }
        m_groups.last().second.insert(name, text);
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

    QString resolution;
    if (options.contains(kCResolution)) {
        resolution = options.value(kCResolution);
    } else {
        resolution = options.value(kCustomCResolution);
        if (resolution.size() < 2)
            resolution = QStringLiteral("200");
    }
    emit gsResolution(resolution.toInt(nullptr, 10));
    arguments << QStringLiteral("-r") + resolution;

    const QString dithering = options.value(kDithering);
    arguments << QStringLiteral("-sDitheringType=") + dithering;
    emit sendDitheringType(dithering);

    arguments << QStringLiteral("-sJobType=mono") << QStringLiteral("-sOutputFile=/tmp/GSTemp/o.xml")
              << options.value(kPostScriptFile);

    emit launchGS(arguments);
}
