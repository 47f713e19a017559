#include "picturefile.h"

#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The rows of a grey picture as they are, or of a 32-bit one as red, green and
// blue bytes, after the header; false and the system's reason when the file
// fails.
bool writeNetpbm(const QImage &picture, FILE *file, QString *error)
{
    const bool grey = picture.format() == QImage::Format_Grayscale8;
    const int width = picture.width();
    const QByteArray header = QByteArray(grey ? "P5\n" : "P6\n") + QByteArray::number(width) + ' '
        + QByteArray::number(picture.height()) + "\n255\n";
    bool ok = std::fwrite(header.constData(), 1, size_t(header.size()), file) == size_t(header.size());
    std::vector<uchar> row(grey ? 0 : size_t(width) * 3);
    for (int y = 0; ok && y < picture.height(); ++y) {
        const uchar *line = picture.constScanLine(y);
        if (!grey) {
            const auto *pixels = reinterpret_cast<const QRgb *>(line);
            for (int x = 0; x < width; ++x) {
                row[size_t(3 * x)] = uchar(qRed(pixels[x]));
                row[size_t(3 * x + 1)] = uchar(qGreen(pixels[x]));
                row[size_t(3 * x + 2)] = uchar(qBlue(pixels[x]));
            }
            line = row.data();
        }
        const size_t bytes = grey ? size_t(width) : row.size();
        ok = std::fwrite(line, 1, bytes, file) == bytes;
    }
    if (!ok)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return ok;
}

} // namespace

QString pictureFileSuffix(const QImage &picture)
{
    if (picture.format() == QImage::Format_Grayscale8)
        return QStringLiteral("pgm");
    if (picture.format() == QImage::Format_RGB32)
        return QStringLiteral("ppm");
    return QStringLiteral("png");
}

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
    bool written = writeNetpbm(picture, file, error);
    if (written && std::fflush(file) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (std::fclose(file) != 0 && written) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (!written)
        std::remove(name.constData());
    return written;
}
