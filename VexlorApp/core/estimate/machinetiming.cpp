#include "machinetiming.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cmath>

namespace Vexlor {

namespace {

const char RootElement[] = "machinesTiming";
const char MachineElement[] = "machine";

struct Field
{
    const char *name;
    double machineTiming::*value;
};

const Field Fields[] = {
    { "rasterSpeed", &machineTiming::rasterSpeed },
    { "vectorSpeed", &machineTiming::vectorSpeed },
    { "acceleration", &machineTiming::acceleration },
    { "turnaround", &machineTiming::turnaround },
};

} // namespace

bool machineTiming::operator==(const machineTiming &other) const
{
    return rasterSpeed == other.rasterSpeed && vectorSpeed == other.vectorSpeed
        && acceleration == other.acceleration && turnaround == other.turnaround;
}

QString machineTimingTable::defaultPath()
{
    return QDir::homePath() + QStringLiteral("/Library/Vexlor/machines-timing.xml");
}

bool machineTimingTable::read(const QString &path, QString *error, QStringList *warnings)
{
    m_timings.clear();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String(RootElement)) {
        *error = QStringLiteral("\"%1\" is no table of engraver timings (no <%2> element)")
                     .arg(path, QLatin1String(RootElement));
        return false;
    }
    QMap<QString, machineTiming> timings;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String(MachineElement)) {
            xml.skipCurrentElement();
            continue;
        }
        const QXmlStreamAttributes attributes = xml.attributes();
        const QString name = attributes.value(QStringLiteral("name")).toString();
        machineTiming timing;
        for (const Field &field : Fields) {
            const QString text = attributes.value(QLatin1String(field.name)).toString();
            if (text.isEmpty())
                continue;
            bool ok = false;
            const double value = text.toDouble(&ok);
            // A turnaround of nothing is a machine that turns on the spot; no
            // speed or acceleration can be zero.
            const bool allowZero = field.value == &machineTiming::turnaround;
            if (ok && std::isfinite(value) && (value > 0 || (allowZero && value == 0)))
                timing.*field.value = value;
            else if (warnings)
                warnings->append(
                    QStringLiteral("engraver \"%1\": %2 \"%3\" is no usable number; the default %4 is used")
                        .arg(name, QLatin1String(field.name), text)
                        .arg(timing.*field.value));
        }
        timings.insert(name, timing);
        xml.skipCurrentElement();
    }
    if (xml.hasError()) {
        *error = QStringLiteral("\"%1\", line %2: %3").arg(path).arg(xml.lineNumber()).arg(xml.errorString());
        return false;
    }
    m_timings = timings;
    return true;
}

bool machineTimingTable::write(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QLatin1String(RootElement));
    for (auto it = m_timings.cbegin(); it != m_timings.cend(); ++it) {
        xml.writeStartElement(QLatin1String(MachineElement));
        xml.writeAttribute(QStringLiteral("name"), it.key());
        for (const Field &field : Fields)
            xml.writeAttribute(QLatin1String(field.name), QString::number(it.value().*field.value, 'g', 12));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    if (xml.hasError() || !file.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

machineTiming machineTimingTable::timingFor(const QString &machineName) const
{
    return m_timings.value(machineName);
}

void machineTimingTable::setTiming(const QString &machineName, const machineTiming &timing)
{
    m_timings.insert(machineName, timing);
}

void machineTimingTable::remove(const QString &machineName)
{
    m_timings.remove(machineName);
}

} // namespace Vexlor
