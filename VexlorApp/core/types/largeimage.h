#ifndef LARGEIMAGE_H
#define LARGEIMAGE_H

#include <QImage>

namespace Vexlor {

// A new image for a large picture (a band of the final picture, a dithered
// tile, a preview tile): its pixels lie in memory of their own, aligned to and
// counted in pages of 2 MiB, which the kernel is asked to back with huge
// pages. The C library gives blocks of a few MiB from its heaps in 4 KiB pages
// once it has handed out and taken back a larger block; each fresh page then
// costs a fault and a clearing, which for the pictures of a full-table job
// adds up to a large part of the time. Images below 2 MiB, and any image the
// memory cannot be mapped for, come from QImage itself. The contents are
// undefined, as with QImage(width, height, format); a null image means no
// memory.
QImage makeLargeImage(int width, int height, QImage::Format format);
inline QImage makeLargeImage(const QSize &size, QImage::Format format)
{
    return makeLargeImage(size.width(), size.height(), format);
}

// The image in a file, read into memory as makeLargeImage() gives it when it
// is large; a null image when the file cannot be read as an image.
QImage readLargeImage(const QString &fileName);

// A grey picture as the opaque 32-bit picture it stands for (each channel the
// grey), in memory as makeLargeImage() gives it; the same pixels as
// QImage::convertToFormat(QImage::Format_RGB32).
QImage widenGreyPicture(const QImage &grey);

} // namespace Vexlor

#endif // LARGEIMAGE_H
