#include "picturefile.h"

#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace {

struct PngFailure
{
    QString message;
};

void onPngError(png_structp png, png_const_charp message)
{
    static_cast<PngFailure *>(png_get_error_ptr(png))->message = QString::fromLatin1(message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp)
{
}

// Rows written from the picture as it lies in memory; false and a message
// when libpng or the file fails.
bool writeStored(const QImage &picture, FILE *file, QString *error)
{
    PngFailure failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onPngError, onPngWarning);
    if (!png) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        *error = failure.message.isEmpty() ? QStringLiteral("out of memory") : failure.message;
        return false;
    }
    png_init_io(png, file);
    const bool grey = picture.format() == QImage::Format_Grayscale8;
    png_set_IHDR(png, info, png_uint_32(picture.width()), png_uint_32(picture.height()), 8,
        grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 0);
    png_write_info(png, info);
    if (!grey) {
        // A 32-bit pixel lies in memory as blue, green, red, then the unused byte.
        png_set_bgr(png);
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    }
    for (int y = 0; y < picture.height(); ++y)
        png_write_row(png, picture.constScanLine(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool writePictureFile(const QImage &picture, const QString &path, QString *error)
{
    if (picture.format() != QImage::Format_Grayscale8 && picture.format() != QImage::Format_RGB32) {
        QImageWriter writer(path, "png");
        // quality 85 is zlib's fastest compression level
        writer.setQuality(85);
        if (writer.write(picture))
            return true;
        *error = writer.errorString();
        QFile::remove(path);
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    FILE *file = std::fopen(name.constData(), "wb");
    if (!file) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    errno = 0;
    bool written = writeStored(picture, file, error);
    if (written && std::fflush(file) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (std::fclose(file) != 0 && written) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (!written) {
        // libpng says "Write Error" where the file said why.
        if (errno != 0 && error->startsWith(QLatin1String("Write Error")))
            *error = QString::fromLocal8Bit(std::strerror(errno));
        std::remove(name.constData());
    }
    return written;
}
