#include "machinelistfile.h"

#include "securefs.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace Vexlor {

namespace {

bool allowedInXml(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x20)
        return u == 0x09 || u == 0x0a || u == 0x0d;
    return u != 0xfffe && u != 0xffff;
}

QString xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        // A surrogate pair is one character; a lone half is not one at all.
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
        } else if (!c.isSurrogate() && allowedInXml(c)) {
            out += c;
        }
    }
    return out;
}

} // namespace

machineListRead readMachineList(const QString &path)
{
    machineListRead result;
    QFile file(path);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = machineListRead::Damaged;
        result.problem = file.errorString();
        return result;
    }

    QXmlStreamReader reader(&file);
    while (!reader.atEnd() && !reader.hasError()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            result.log << QStringLiteral("Name: ") + reader.name().toString();
            const QXmlStreamAttributes attributes = reader.attributes();
            if (reader.name() == QLatin1String("Machine")) {
                vexlorMachine machine;
                machine.name = attributes.value(QLatin1String("name")).toString();
                machine.type
                    = static_cast<vexlorMachineType>(attributes.value(QLatin1String("type")).toInt());
                QHostAddress address;
                if (address.setAddress(attributes.value(QLatin1String("addr")).toString()))
                    machine.addr = address;
                result.machines.append(machine);
            } else if (reader.name() == QLatin1String("ListStart")) {
                result.defaultIndex = attributes.value(QLatin1String("default")).toInt();
            }
        } else if (!reader.hasError()) {
            result.log << reader.tokenString();
        }
    }
    if (reader.hasError()) {
        result.status = machineListRead::Damaged;
        result.problem = QStringLiteral("line %1, column %2: %3")
                             .arg(reader.lineNumber())
                             .arg(reader.columnNumber())
                             .arg(reader.errorString());
    } else {
        result.status = machineListRead::Complete;
    }
    return result;
}

QByteArray machineListDocument(const QList<vexlorMachine> &machines, int defaultIndex)
{
    QByteArray document;
    QXmlStreamWriter writer(&document);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("ListStart"));
    writer.writeAttribute(QStringLiteral("default"), QString::number(defaultIndex));
    for (const vexlorMachine &machine : machines) {
        writer.writeStartElement(QStringLiteral("Machine"));
        writer.writeAttribute(QStringLiteral("name"), xmlSafe(machine.name));
        writer.writeAttribute(
            QStringLiteral("addr"), machine.addr.isNull() ? QString() : machine.addr.toString());
        writer.writeAttribute(QStringLiteral("type"), QString::number(machine.type));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return document;
}

QString keepAside(const QString &path, QString *reason)
{
    const QString base = path + QStringLiteral(".unreadable-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = base + QStringLiteral("-%1").arg(n);
    QFile file(path);
    if (!file.rename(target)) {
        if (reason)
            *reason = file.errorString();
        return QString();
    }
    return target;
}

bool writeMachineList(const QString &path, const QList<vexlorMachine> &machines, int defaultIndex,
    QString *reason, QString *keptAs)
{
    if (keptAs)
        keptAs->clear();
    if (!makeFolderPath(QFileInfo(path).absolutePath(), reason))
        return false;
    const machineListRead current = readMachineList(path);
    if (current.status == machineListRead::Damaged) {
        QString why;
        const QString aside = keepAside(path, &why);
        if (aside.isEmpty()) {
            if (reason)
                *reason = QStringLiteral(
                    "%1 cannot be read whole (%2) and could not be kept aside (%3); it is not "
                    "overwritten")
                              .arg(path, current.problem, why);
            return false;
        }
        if (keptAs)
            *keptAs = aside;
    }
    return replaceFileAtomically(path, machineListDocument(machines, defaultIndex), reason);
}

} // namespace Vexlor
