#ifndef VEXLORPDEPLUGIN_H
#define VEXLORPDEPLUGIN_H

#include "vexlorpde.h"
#include "vexlorpdebundle.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

class VexlorPDEHost;

// The factory the print dialog asks for the panels of a printer.
class VexlorPDEPlugIn
{
public:
    using PanelList = std::vector<std::unique_ptr<VexlorPDE>>;

    // The type of the dialog's printer-specific panels.
    static const char kPrinterPanelsType[];

    bool initWithBundle(const VexlorPDEBundle &bundle);

    // The panels for the type: one engraving panel for the printer-specific type,
    // none for another type, and no list at all when the panel cannot be made
    // (the queue's PPD lacks an option it sets).
    std::optional<PanelList> PDEPanelsForType(const QString &pdeType, VexlorPDEHost *host);
};

#endif // VEXLORPDEPLUGIN_H
