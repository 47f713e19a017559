#ifndef VEXLORPANELDRIVER_H
#define VEXLORPANELDRIVER_H

#include <QString>

class VexlorCupsHost;
class VexlorPDE;

// Sets a panel option the way a user does: puts the value on the option's control
// and lets the control's own signal run the panel's action, then tells whether
// the panel took the value.
class VexlorPanelDriver
{
public:
    // key: a PPD option key of the panel ("JobType", "rasterSpeed", "cResolution"
    // or "resolution", "materialThickness", "autoFocus", ...). value: a choice
    // keyword, a number, or "enabled" / "disabled". False with the reason when the
    // value is not one of the control's or the panel refused it.
    static bool applySetting(VexlorPDE *panel, const VexlorCupsHost *host, const QString &key,
        const QString &value, QString *error);
};

#endif // VEXLORPANELDRIVER_H
