#include "greyscaling.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// For each target position along one side, the source position it starts
// from, and the weight (0..255) of the next source position. The positions
// are taken at the centres of the pixels in 16.16 fixed point, as the
// painter's smooth scaling does when it enlarges.
struct SidePoints
{
    std::vector<int> first;
    std::vector<int> weight;
};

SidePoints sidePoints(int source, int target)
{
    SidePoints points;
    points.first.resize(size_t(target));
    points.weight.resize(size_t(target));
    qint64 value = qint64(0x8000) * source / target - 0x8000;
    const qint64 step = (qint64(source) << 16) / target;
    for (int i = 0; i < target; ++i) {
        points.first[size_t(i)] = int(std::max<qint64>(0, value >> 16));
        const int position = int(value >> 16);
        points.weight[size_t(i)]
            = (position < 0 || position >= source - 1) ? 0 : int((value >> 8) - ((value >> 8) & 0xffffff00));
        value += step;
    }
    return points;
}

void enlargeRows(const QImage &grey, QImage &out, const SidePoints &across, const SidePoints &down, int fromRow,
    int toRow)
{
    const int width = out.width();
    const int sourceWidth = grey.width();
    const qsizetype sourceLine = grey.bytesPerLine();
    // The row interpolated down the columns first, once per source column.
    std::vector<uint> column(size_t(sourceWidth) + 1);
    for (int y = fromRow; y < toRow; ++y) {
        const uchar *top = grey.constScanLine(down.first[size_t(y)]);
        const uint wy = uint(down.weight[size_t(y)]);
        if (wy > 0) {
            const uchar *bottom = top + sourceLine;
            for (int sx = 0; sx < sourceWidth; ++sx)
                column[size_t(sx)] = (top[sx] * (256 - wy) + bottom[sx] * wy) >> 8;
        } else {
            for (int sx = 0; sx < sourceWidth; ++sx)
                column[size_t(sx)] = top[sx];
        }
        uchar *line = out.scanLine(y);
        const int *first = across.first.data();
        const int *weight = across.weight.data();
        const uint *c = column.data();
        for (int x = 0; x < width; ++x) {
            const int sx = first[x];
            const uint wx = uint(weight[x]);
            // a weight of 0 takes the first pixel whole (its neighbour may lie beyond the row)
            line[x] = uchar((c[sx] * (256 - wx) + c[sx + 1] * wx) >> 8);
        }
    }
}

} // namespace

QImage enlargeGreyPicture(const QImage &grey, int width, int height)
{
    if (grey.format() != QImage::Format_Grayscale8 || grey.isNull() || width < grey.width()
        || height < grey.height())
        return QImage();
    QImage out(width, height, QImage::Format_Grayscale8);
    if (out.isNull())
        return out;
    const SidePoints across = sidePoints(grey.width(), width);
    const SidePoints down = sidePoints(grey.height(), height);

    const int half = height / 2;
    std::thread helper;
    if (qint64(width) * height >= (1 << 20)) {
        try {
            helper = std::thread([&]() { enlargeRows(grey, out, across, down, half, height); });
        } catch (const std::system_error &) {
        }
    }
    enlargeRows(grey, out, across, down, 0, helper.joinable() ? half : height);
    if (helper.joinable())
        helper.join();
    return out;
}
