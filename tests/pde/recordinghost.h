#ifndef RECORDINGHOST_H
#define RECORDINGHOST_H

#include "vexlorpdehost.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// A host for the panel that keeps a real PPD, records every change the panel
// hands over ("key=choice"), marks the accepted ones on the PPD, and refuses the
// keys or "key=choice" pairs it is told to.
class RecordingHost : public VexlorPDEHost
{
public:
    // Opens the PPD file (none when the path is empty) and marks its defaults.
    explicit RecordingHost(const QString &ppdPath);
    ~RecordingHost() override;

    bool willChangePPDOptionKeyValue(const QString &key, const QString &choice) override;
    ppd_file_t *ppdFile() override { return ppd; }
    bool hasPrintSettings() const override { return printSettingsPresent; }
    int printSettingsGetValue(const QString &key, QString *value) const override;
    int printSettingsSetValue(const QString &key, const QString &value) override;
    QWidget *loadInterface(const QString &name, VexlorPDE *owner) override;
    bool registerHelpBook(const QString &bookName) override;
    void openHelpAnchor(const QString &anchor, const QString &bookName) override;

    ppd_file_t *ppd = nullptr;
    QStringList changes; // every request, accepted or not, in order
    QSet<QString> refuse; // "key" or "key=choice"
    bool printSettingsPresent = true;
    int setStatus = NoErr; // answer of printSettingsSetValue
    QMap<QString, QString> printSettings;
    QStringList printSettingWrites;
    bool helpRegistration = true;
    QStringList helpBooksRegistered;
    QStringList helpAnchorsOpened; // "anchor@book"
};

#endif // RECORDINGHOST_H
