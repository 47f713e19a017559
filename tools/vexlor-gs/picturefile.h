#ifndef PICTUREFILE_H
#define PICTUREFILE_H

#include <QString>

class QImage;

// Writes a picture of the scene as a file for the scene's reader, which
// decodes it on the same machine straight after. Eight-bit grey pictures are
// written as binary PGM and opaque 32-bit pictures as binary PPM files: their
// rows as they are, with nothing to compress or check, which the reader loads
// straight into its own picture formats. Other pictures (with transparency)
// go through Qt's PNG writer. On failure no file is left and error says why.
bool writePictureFile(const QImage &picture, const QString &path, QString *error);

// The file name extension for a picture written by writePictureFile():
// "pgm", "ppm" or "png".
QString pictureFileSuffix(const QImage &picture);

#endif // PICTUREFILE_H
