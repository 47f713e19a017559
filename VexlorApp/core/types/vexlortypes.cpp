#include "vexlortypes.h"

namespace Vexlor {

void registerMetaTypes()
{
    qRegisterMetaType<vexlorSettings>("vexlorSettings");
    qRegisterMetaType<VectorList>("VectorList");
    qRegisterMetaType<LaserOp::LaserOp>("LaserOp::LaserOp");
    qRegisterMetaType<Vexlor::vexlorMachine>("Vexlor::vexlorMachine");
    qRegisterMetaType<Vexlor::LaserItemList>("Vexlor::LaserItemList");
    qRegisterMetaType<Vexlor::WidthList>("Vexlor::WidthList");
    qRegisterMetaType<Vexlor::SceneTile>("Vexlor::SceneTile");
}

} // namespace Vexlor
