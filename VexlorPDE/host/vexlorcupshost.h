#ifndef VEXLORCUPSHOST_H
#define VEXLORCUPSHOST_H

#include "vexlorpdehost.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The Linux host of the panel: a CUPS queue's PPD, on which each choice is
// marked as the panel hands it over (refused when the PPD has no such choice,
// the value is out of its range, or it conflicts with another choice), and a
// file of the user's that keeps the panel's private print settings. On save the
// choices become the user's default options of the queue, as lpoptions stores
// them, so that every job printed to the queue carries them.
class VexlorCupsHost : public VexlorPDEHost
{
public:
    // The PPD of a queue of the CUPS server, with the queue's saved options marked.
    static std::unique_ptr<VexlorCupsHost> forQueue(const QString &queue, QString *error);
    // A PPD file, with its defaults marked; a non-empty queue name also marks that
    // queue's saved options and is where saveQueueOptions() stores them.
    static std::unique_ptr<VexlorCupsHost> forPPDFile(
        const QString &path, const QString &queue, QString *error);

    ~VexlorCupsHost() override;

    bool willChangePPDOptionKeyValue(const QString &key, const QString &choice) override;
    ppd_file_t *ppdFile() override;
    bool hasPrintSettings() const override;
    int printSettingsGetValue(const QString &key, QString *value) const override;
    int printSettingsSetValue(const QString &key, const QString &value) override;
    QWidget *loadInterface(const QString &name, VexlorPDE *owner) override;
    bool registerHelpBook(const QString &bookName) override;
    void openHelpAnchor(const QString &anchor, const QString &bookName) override;

    QString queueName() const { return m_queue; }
    // Why the last change was refused.
    QString lastRefusal() const { return m_lastRefusal; }
    // Called after each accepted change.
    void setChangeListener(std::function<void()> listener) { m_changeListener = std::move(listener); }

    // The accepted choices, option keyword to CUPS option value ("vector",
    // "Custom.37"), as they stand in the PPD now.
    QMap<QString, QString> acceptedOptions() const;
    // The same as "KEY=VALUE" words, for "lp -o".
    QStringList acceptedOptionArguments() const;

    // Stores the accepted choices as the user's default options of the queue.
    bool saveQueueOptions(QString *error);
    // The file of the panel's print settings: the user's configuration folder,
    // the panel kind identifier, "printsettings.ini"; one group per queue.
    static QString printSettingsPath();
    bool savePrintSettings(QString *error);

private:
    VexlorCupsHost(ppd_file_t *ppd, const QString &queue, const QString &settingsGroup);

    bool m_refuse(const QString &reason);
    bool m_markCustomValue(const QByteArray &option, const QString &value);
    bool m_mark(const QByteArray &option, const QByteArray &choice);
    bool m_loadQueueOptions(QString *error);
    void m_loadPrintSettings();

    ppd_file_t *m_ppd = nullptr;
    QString m_queue;
    QString m_settingsGroup;
    QMap<QString, QString> m_printSettings;
    QStringList m_touched;
    QString m_lastRefusal;
    QString m_helpBook;
    std::function<void()> m_changeListener;
};

#endif // VEXLORCUPSHOST_H
