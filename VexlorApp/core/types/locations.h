#ifndef LOCATIONS_H
#define LOCATIONS_H

#include <QString>

namespace Vexlor {

// The Ghostscript program with the engraver device: $VEXLOR_GS when set, the
// maker's installed build when present, else the vexlor-gs program that comes
// with this application, beside its executable.
QString ghostscriptProgram();

} // namespace Vexlor

#endif // LOCATIONS_H
