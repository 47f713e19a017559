#include "vexlorpdehost.h"

VexlorPDEHost::~VexlorPDEHost() = default;
