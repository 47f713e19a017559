#ifndef LARGEIMAGE_H
#define LARGEIMAGE_H

#include <QImage>

#include <functional>

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

// The memory makeLargeImage() takes for an image of this size and format.
qint64 largeImageBytes(const QSize &size, QImage::Format format);

// Memory set aside for the large pictures of the job about to be worked on.
// Fresh memory is cleared by the kernel page by page as it is first touched,
// which for the pictures of a full-table job takes as long as their work; a
// reserve of the given size is mapped and touched on a thread of its own that
// runs only on a processor nothing else wants (the job starts it while
// another program does the job's first stage), and
// makeLargeImage() then carves its images from it. Until the reserve is
// released, the memory of large images that go is kept in it for the next.
// A second reserve replaces the first. When the first bytes are touched, more
// bytes are added the same way if wanted, asked on that thread, says so.
void reserveLargeMemory(qint64 bytes, qint64 more = 0, std::function<bool()> wanted = nullptr);
// Stops touching the reserve: what is touched stays in it, the rest is given
// back untouched. The job calls it when its own work begins.
void stopTouchingLargeMemory();
// Gives back what the reserve holds beyond the given bytes, once the job
// knows it needs no more.
void trimLargeMemory(qint64 bytes);
// Gives the reserve's memory that no image holds back to the system; images
// that hold some give it back when they go.
void releaseLargeMemory();
// Bytes of the reserve touched and held by no image.
qint64 reservedLargeMemory();

// The image in a file, read into memory as makeLargeImage() gives it when it
// is large; a null image when the file cannot be read as an image.
QImage readLargeImage(const QString &fileName);

// A grey picture as the opaque 32-bit picture it stands for (each channel the
// grey), in memory as makeLargeImage() gives it; the same pixels as
// QImage::convertToFormat(QImage::Format_RGB32).
QImage widenGreyPicture(const QImage &grey);

} // namespace Vexlor

#endif // LARGEIMAGE_H
