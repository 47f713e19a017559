#ifndef LOCATIONS_H
#define LOCATIONS_H

#include <QString>

namespace Vexlor {

// The Ghostscript program with the engraver device: $VEXLOR_GS when set, the
// maker's installed build when present, else the vexlor-gs program that comes
// with this application, beside its executable.
QString ghostscriptProgram();

// The folder of the engraver list: the home folder ($HOME) followed by
// "/Library/Vexlor". It may not exist yet; whoever writes there makes it with
// its parents.
QString supportFolder();

} // namespace Vexlor

#endif // LOCATIONS_H
