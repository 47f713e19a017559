#include "largeimage.h"

#include <QImageReader>

#include <limits>

#include <sys/mman.h>

namespace Vexlor {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

struct Mapping
{
    void *address;
    size_t length;
};

void unmapPixels(void *info)
{
    auto *mapping = static_cast<Mapping *>(info);
    ::munmap(mapping->address, mapping->length);
    delete mapping;
}

} // namespace

QImage makeLargeImage(int width, int height, QImage::Format format)
{
    if (width <= 0 || height <= 0 || format == QImage::Format_Invalid)
        return QImage();
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    // Lines of whole 32-bit words, as QImage lays them out.
    const qint64 lineBytes = (qint64(width) * depth + 31) / 32 * 4;
    if (lineBytes > std::numeric_limits<int>::max() / 2)
        return QImage();
    const qint64 bytes = lineBytes * height;
    if (bytes < qint64(kHugePage) || bytes > std::numeric_limits<qint64>::max() / 4)
        return QImage(width, height, format);

    // Map a huge page more than needed and keep the aligned part.
    const size_t length = (size_t(bytes) + kHugePage - 1) / kHugePage * kHugePage;
    void *mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return QImage(width, height, format);
    auto *base = static_cast<uchar *>(mapped);
    const size_t lead = (kHugePage - reinterpret_cast<quintptr>(base) % kHugePage) % kHugePage;
    if (lead > 0)
        ::munmap(base, lead);
    if (kHugePage - lead > 0)
        ::munmap(base + lead + length, kHugePage - lead);
    uchar *pixels = base + lead;
#ifdef MADV_HUGEPAGE
    ::madvise(pixels, length, MADV_HUGEPAGE);
#endif
    auto *mapping = new Mapping { pixels, length };
    QImage image(pixels, width, height, int(lineBytes), format, unmapPixels, mapping);
    if (image.isNull())
        unmapPixels(mapping);
    return image;
}

QImage readLargeImage(const QString &fileName)
{
    QImageReader reader(fileName);
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    QImage image;
    // A reader given an image of the right size and format fills it in place.
    if (size.isValid() && format != QImage::Format_Invalid)
        image = makeLargeImage(size, format);
    if (!reader.read(&image))
        return QImage();
    return image;
}

QImage widenGreyPicture(const QImage &grey)
{
    if (grey.format() != QImage::Format_Grayscale8)
        return grey.convertToFormat(QImage::Format_RGB32);
    QImage out = makeLargeImage(grey.size(), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    const int width = grey.width();
    for (int y = 0; y < grey.height(); ++y) {
        const uchar *in = grey.constScanLine(y);
        auto *line = reinterpret_cast<quint32 *>(out.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | quint32(in[x]) * 0x010101u;
    }
    return out;
}

} // namespace Vexlor
