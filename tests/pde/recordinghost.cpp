#include "recordinghost.h"

#include "vexlorpdeview.h"

#include <QFile>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

RecordingHost::RecordingHost(const QString &ppdPath)
{
    if (!ppdPath.isEmpty()) {
        ppd = ppdOpenFile(QFile::encodeName(ppdPath).constData());
        if (ppd)
            ppdMarkDefaults(ppd);
    }
}

RecordingHost::~RecordingHost()
{
    if (ppd)
        ppdClose(ppd);
}

bool RecordingHost::willChangePPDOptionKeyValue(const QString &key, const QString &choice)
{
    changes << key + QLatin1Char('=') + choice;
    if (refuse.contains(key) || refuse.contains(key + QLatin1Char('=') + choice))
        return false;
    if (ppd) {
        if (key.startsWith(QLatin1String("Custom"))
            && ppdFindCustomOption(ppd, key.mid(6).toLatin1().constData()))
            ppdMarkOption(
                ppd, key.mid(6).toLatin1().constData(), ("Custom." + choice).toLatin1().constData());
        else
            ppdMarkOption(ppd, key.toLatin1().constData(), choice.toLatin1().constData());
    }
    return true;
}

int RecordingHost::printSettingsGetValue(const QString &key, QString *value) const
{
    if (!printSettings.contains(key))
        return KeyNotFound;
    *value = printSettings.value(key);
    return NoErr;
}

int RecordingHost::printSettingsSetValue(const QString &key, const QString &value)
{
    printSettingWrites << key + QLatin1Char('=') + value;
    if (setStatus == NoErr)
        printSettings.insert(key, value);
    return setStatus;
}

QWidget *RecordingHost::loadInterface(const QString &name, VexlorPDE *owner)
{
    return VexlorPDEView::loadInterface(name, owner);
}

bool RecordingHost::registerHelpBook(const QString &bookName)
{
    helpBooksRegistered << bookName;
    return helpRegistration;
}

void RecordingHost::openHelpAnchor(const QString &anchor, const QString &bookName)
{
    helpAnchorsOpened << anchor + QLatin1Char('@') + bookName;
}
