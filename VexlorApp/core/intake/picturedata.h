#ifndef PICTUREDATA_H
#define PICTUREDATA_H

#include <QString>

namespace Vexlor {

// Whether a job's file carries at least the given bytes of picture data: lines
// of 60 characters or more without a space (the hexadecimal and ASCII85 data
// that pictures are written in) and bytes above 127 (binary data). A hint read
// before Ghostscript has said what the page holds; fonts and drawings stay far
// below a picture that covers a good part of the table. Reads no more than the
// first 16 MiB, so that the answer comes quickly (a job whose pictures come
// later only goes without the head start); false when the file cannot be
// read.
bool holdsPictureData(const QString &fileName, qint64 atLeast);

} // namespace Vexlor

#endif // PICTUREDATA_H
