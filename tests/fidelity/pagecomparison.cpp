#include "pagecomparison.h"

#include <QVector>

#include <algorithm>

namespace {

struct Planes
{
    int width = 0;
    int height = 0;
    QVector<uchar> channel[3];
};

Planes planesOf(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    Planes planes;
    planes.width = rgb.width();
    planes.height = rgb.height();
    for (auto &c : planes.channel)
        c.resize(planes.width * planes.height);
    for (int y = 0; y < planes.height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < planes.width; ++x) {
            const int at = y * planes.width + x;
            planes.channel[0][at] = uchar(qRed(line[x]));
            planes.channel[1][at] = uchar(qGreen(line[x]));
            planes.channel[2][at] = uchar(qBlue(line[x]));
        }
    }
    return planes;
}

// minimum or maximum over a square window, separably
QVector<uchar> windowed(const QVector<uchar> &in, int width, int height, int radius, bool maximum)
{
    QVector<uchar> rows(in.size());
    QVector<uchar> out(in.size());
    auto pick = [maximum](uchar a, uchar b) { return maximum ? std::max(a, b) : std::min(a, b); };
    for (int y = 0; y < height; ++y) {
        const uchar *src = in.constData() + y * width;
        uchar *dst = rows.data() + y * width;
        for (int x = 0; x < width; ++x) {
            uchar v = src[x];
            for (int d = 1; d <= radius; ++d) {
                if (x - d >= 0)
                    v = pick(v, src[x - d]);
                if (x + d < width)
                    v = pick(v, src[x + d]);
            }
            dst[x] = v;
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uchar v = rows[y * width + x];
            for (int d = 1; d <= radius; ++d) {
                if (y - d >= 0)
                    v = pick(v, rows[(y - d) * width + x]);
                if (y + d < height)
                    v = pick(v, rows[(y + d) * width + x]);
            }
            out[y * width + x] = v;
        }
    }
    return out;
}

// mean over a 3 x 3 square, which spreads thin lines the same way whether
// they were drawn as one dark or two lighter columns of pixels
QVector<uchar> blurred(const QVector<uchar> &in, int width, int height)
{
    QVector<int> rows(in.size());
    QVector<uchar> out(in.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int at = y * width + x;
            rows[at] = in[at] + in[x > 0 ? at - 1 : at] + in[x + 1 < width ? at + 1 : at];
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int at = y * width + x;
            const int sum = rows[at] + rows[y > 0 ? at - width : at] + rows[y + 1 < height ? at + width : at];
            out[at] = uchar((sum + 4) / 9);
        }
    return out;
}

// per pixel: does each channel of a lie within b's window range?
QVector<bool> agreement(const Planes &a, const Planes &b, int radius, int tolerance)
{
    QVector<bool> agrees(a.width * a.height, true);
    for (int c = 0; c < 3; ++c) {
        const QVector<uchar> low = windowed(b.channel[c], b.width, b.height, radius, false);
        const QVector<uchar> high = windowed(b.channel[c], b.width, b.height, radius, true);
        for (int i = 0; i < agrees.size(); ++i) {
            const int v = a.channel[c][i];
            if (v < low[i] - tolerance || v > high[i] + tolerance)
                agrees[i] = false;
        }
    }
    return agrees;
}

} // namespace

pageComparison::Result pageComparison::compare(const QImage &first, const QImage &second, int radius, int tolerance)
{
    Result result;
    if (first.size() != second.size() || first.isNull())
        return result;
    result.sameSize = true;
    const Planes a = planesOf(first);
    const Planes b = planesOf(second);
    Planes softA = a;
    Planes softB = b;
    for (int c = 0; c < 3; ++c) {
        softA.channel[c] = blurred(a.channel[c], a.width, a.height);
        softB.channel[c] = blurred(b.channel[c], b.width, b.height);
    }
    const QVector<bool> ab = agreement(softA, softB, radius, tolerance);
    const QVector<bool> ba = agreement(softB, softA, radius, tolerance);

    result.differences = QImage(first.size(), QImage::Format_RGB32);
    result.pixels = qint64(a.width) * a.height;
    for (int y = 0; y < a.height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(result.differences.scanLine(y));
        for (int x = 0; x < a.width; ++x) {
            const int i = y * a.width + x;
            const bool agrees = ab[i] && ba[i];
            auto inked = [&](const Planes &p) {
                return std::min({ p.channel[0][i], p.channel[1][i], p.channel[2][i] }) < 255 - tolerance;
            };
            const bool ink = inked(a) || inked(b);
            result.agreeing += agrees;
            if (ink) {
                ++result.inkPixels;
                result.inkAgreeing += agrees;
            }
            const int grey = 255 - (255 - (a.channel[0][i] + a.channel[1][i] + a.channel[2][i]) / 3) / 4;
            line[x] = agrees ? qRgb(grey, grey, grey) : qRgb(255, 0, 0);
        }
    }
    return result;
}
