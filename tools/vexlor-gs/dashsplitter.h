#ifndef DASHSPLITTER_H
#define DASHSPLITTER_H

#include "scenepath.h"

#include <QVector>

// Cuts a path into the dashes of a PostScript dash pattern, so that a
// dashed stroke becomes the stroke of the dashes alone. Lengths are in
// device pixels; each subpath starts the pattern anew at the offset, as
// PostScript does. Curves are followed as short lines.
class dashSplitter
{
public:
    static scenePath apply(const scenePath &path, QVector<double> dashes, double offset);
    // How many dashes the pattern makes along the path (its length over
    // the pattern's period, rounded up, per subpath); huge for patterns
    // far finer than a pixel.
    static qint64 pieceCount(const scenePath &path, const QVector<double> &dashes);
    // true when the pattern draws dashes at all (else the stroke is solid)
    static bool isDashed(const QVector<double> &dashes);
};

#endif // DASHSPLITTER_H
