#include "sampledimage.h"

#include "colorconverter.h"

#include <algorithm>
#include <cmath>

bool sampledImage::isValid() const
{
    static const QVector<int> depths = { 1, 2, 4, 8, 12, 16 };
    if (width <= 0 || height <= 0 || !depths.contains(bitsPerComponent) || components < 1 || components > 4)
        return false;
    if (space == Painted)
        return bitsPerComponent == 8 && components == 3 && sources.size() == 2
            && qint64(width) * height <= 200'000'000;
    if (sources.isEmpty() || (sources.size() != 1 && sources.size() != components))
        return false;
    if (qint64(width) * height > 200'000'000)
        return false;
    return decode.size() >= 2 * components;
}

int sampledImage::sample(const QByteArray &data, int rowOffset, int index) const
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    switch (bitsPerComponent) {
    case 8:
        return bytes[rowOffset + index];
    case 16:
        return (bytes[rowOffset + 2 * index] << 8) | bytes[rowOffset + 2 * index + 1];
    case 12: {
        const int bit = index * 12;
        const int b0 = bytes[rowOffset + bit / 8];
        const int b1 = bytes[rowOffset + bit / 8 + 1];
        return (bit % 8 == 0) ? ((b0 << 4) | (b1 >> 4)) : (((b0 & 0x0f) << 8) | b1);
    }
    default: {
        const int bit = index * bitsPerComponent;
        const int shift = 8 - bitsPerComponent - bit % 8;
        return (bytes[rowOffset + bit / 8] >> shift) & ((1 << bitsPerComponent) - 1);
    }
    }
}

QImage sampledImage::paintedImage() const
{
    const qint64 rowBytes = qint64(width) * 3;
    const int rows
        = int(std::min<qint64>(height, std::min(sources.at(0).size(), sources.at(1).size()) / rowBytes));
    QImage image(width, height, QImage::Format_ARGB32);
    if (image.isNull())
        return image;
    image.fill(Qt::transparent);
    bool anyTransparent = rows < height;
    for (int y = 0; y < rows; ++y) {
        const auto *onWhite = reinterpret_cast<const uchar *>(sources.at(0).constData()) + y * rowBytes;
        const auto *onBlack = reinterpret_cast<const uchar *>(sources.at(1).constData()) + y * rowBytes;
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x, onWhite += 3, onBlack += 3) {
            if (onWhite[0] == onBlack[0] && onWhite[1] == onBlack[1] && onWhite[2] == onBlack[2])
                line[x] = qRgb(onWhite[0], onWhite[1], onWhite[2]);
            else
                anyTransparent = true;
        }
    }
    // a picture painted all over needs no alpha channel
    return anyTransparent ? image : image.convertToFormat(QImage::Format_RGB32);
}

QImage sampledImage::toImage(const colorConverter &colors) const
{
    if (!isValid())
        return QImage();
    if (space == Painted)
        return paintedImage();
    const bool separate = sources.size() > 1;
    const int perRow = separate ? 1 : components;
    const int rowBytes = int((qint64(width) * perRow * bitsPerComponent + 7) / 8);
    const double maxSample = double((1 << bitsPerComponent) - 1);
    const bool transparentParts = space == Mask || !maskKeys.isEmpty();

    int rows = height;
    for (const QByteArray &source : sources)
        rows = std::min<qint64>(rows, source.size() / rowBytes);
    QImage image(
        width, height, (transparentParts || rows < height) ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return image;
    image.fill(Qt::transparent);

    // decoded component values of a pixel, 0..1 (Indexed: the index)
    QVector<double> value(components);
    QVector<int> raw(components);
    QVector<uchar> cmykRow(space == Cmyk || (space == Indexed && paletteSpace == Cmyk) ? 4 * width : 0);
    QVector<bool> keyed(width);

    const int baseComponents = paletteSpace == Gray ? 1 : (paletteSpace == Rgb ? 3 : 4);

    // A grey picture of up to eight bits has at most 256 sample values: each is
    // converted once, and the pixels look their colour up.
    if (space == Gray && components == 1 && bitsPerComponent <= 8 && maskKeys.isEmpty()) {
        QVector<QRgb> colorOf(1 << bitsPerComponent);
        for (int raw = 0; raw < colorOf.size(); ++raw)
            colorOf[raw] = colorConverter::fromGray(decode[0] + raw * (decode[1] - decode[0]) / maxSample);
        for (int y = 0; y < rows; ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            if (bitsPerComponent == 8) {
                const auto *bytes = reinterpret_cast<const uchar *>(sources.at(0).constData()) + qint64(y) * rowBytes;
                for (int x = 0; x < width; ++x)
                    line[x] = colorOf[bytes[x]];
            } else {
                for (int x = 0; x < width; ++x)
                    line[x] = colorOf[sample(sources.at(0), y * rowBytes, x)];
            }
        }
        return image;
    }

    for (int y = 0; y < rows; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < components; ++c) {
                raw[c] = separate ? sample(sources.at(c), y * rowBytes, x)
                                  : sample(sources.at(0), y * rowBytes, x * components + c);
                value[c] = decode[2 * c] + raw[c] * (decode[2 * c + 1] - decode[2 * c]) / maxSample;
            }
            if (!maskKeys.isEmpty()) {
                bool match = true;
                const bool ranges = maskKeys.size() >= 2 * components;
                for (int c = 0; c < components && match; ++c)
                    match = ranges ? (raw[c] >= maskKeys[2 * c] && raw[c] <= maskKeys[2 * c + 1])
                                   : raw[c] == maskKeys[c];
                keyed[x] = match;
            }
            switch (space) {
            case Painted:
                break;
            case Mask:
                line[x] = value[0] < 0.5 ? maskColor : 0u;
                break;
            case Gray:
                line[x] = colorConverter::fromGray(value[0]);
                break;
            case Rgb:
                line[x] = colorConverter::fromRgb(value[0], value[1], value[2]);
                break;
            case Cmyk:
                for (int c = 0; c < 4; ++c)
                    cmykRow[4 * x + c] = uchar(std::clamp(int(std::lround(value[c] * 255.0)), 0, 255));
                break;
            case Indexed: {
                const int index = std::clamp(int(std::lround(value[0])), 0, highIndex);
                const int at = index * baseComponents;
                auto entry
                    = [&](int c) { return at + c < palette.size() ? uchar(palette.at(at + c)) : uchar(0); };
                if (baseComponents == 1)
                    line[x] = qRgb(entry(0), entry(0), entry(0));
                else if (baseComponents == 3)
                    line[x] = qRgb(entry(0), entry(1), entry(2));
                else
                    for (int c = 0; c < 4; ++c)
                        cmykRow[4 * x + c] = entry(c);
                break;
            }
            }
        }
        if (!cmykRow.isEmpty())
            colors.cmykToRgb(cmykRow.constData(), line, width);
        if (!maskKeys.isEmpty())
            for (int x = 0; x < width; ++x)
                if (keyed[x])
                    line[x] = 0u;
    }
    return image;
}
