#include "vexlorpdeplugin.h"

const char VexlorPDEPlugIn::kPrinterPanelsType[] = "BDB091F4-E57F-11D3-B5CC-0050E4603277";

bool VexlorPDEPlugIn::initWithBundle(const VexlorPDEBundle &)
{
    return true;
}

std::optional<VexlorPDEPlugIn::PanelList> VexlorPDEPlugIn::PDEPanelsForType(
    const QString &pdeType, VexlorPDEHost *host)
{
    PanelList panels;
    if (pdeType != QLatin1String(kPrinterPanelsType))
        return panels;
    std::unique_ptr<VexlorPDE> panel = VexlorPDE::initWithCallback(host);
    if (!panel)
        return std::nullopt;
    panels.push_back(std::move(panel));
    return panels;
}
