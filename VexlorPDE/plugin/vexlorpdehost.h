#ifndef VEXLORPDEHOST_H
#define VEXLORPDEHOST_H

#include <QString>

#include <cups/ppd.h>

class QObject;
class QWidget;
class VexlorPDE;

// What the panel needs of the print dialog that shows it. The panel's logic runs
// unchanged against any implementation: the Linux host of vexlor-options, or a
// recording host in the tests.
class VexlorPDEHost
{
public:
    // Status of the print-settings operations; anything else is an error code of
    // the host's own.
    enum PrintSettingsStatus { NoErr = 0, KeyNotFound = -30882, NoPrintSettings = -30883 };

    virtual ~VexlorPDEHost();

    // Hands a PPD option choice to the dialog: "JobType" / "vector", or the
    // custom value of a numeric option, "CustomrasterSpeed" / "37" (after its
    // option was set to "Custom"). Answers whether the dialog accepted it.
    virtual bool willChangePPDOptionKeyValue(const QString &key, const QString &choice) = 0;

    // The queue's PPD, owned by the host; null when there is none.
    virtual ppd_file_t *ppdFile() = 0;

    // The job's print settings: false when the dialog has none.
    virtual bool hasPrintSettings() const = 0;
    // Reads one string setting; NoErr and the value, or an error status.
    virtual int printSettingsGetValue(const QString &key, QString *value) const = 0;
    // Stores one string setting; NoErr or an error status.
    virtual int printSettingsSetValue(const QString &key, const QString &value) = 0;

    // Loads the named interface file with the panel as owner; the caller owns the
    // returned root widget. Null when there is no such interface.
    virtual QWidget *loadInterface(const QString &name, VexlorPDE *owner) = 0;

    // Makes the panel's help book known to the help viewer.
    virtual bool registerHelpBook(const QString &bookName) = 0;
    // Shows the help book at an anchor.
    virtual void openHelpAnchor(const QString &anchor, const QString &bookName) = 0;
};

#endif // VEXLORPDEHOST_H
