#include "pagecomparison.h"

#include <QVector>

#include <algorithm>
#include <cmath>

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
    uchar *red = planes.channel[0].data();
    uchar *green = planes.channel[1].data();
    uchar *blue = planes.channel[2].data();
    for (int y = 0; y < planes.height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < planes.width; ++x) {
            const int at = y * planes.width + x;
            red[at] = uchar(qRed(line[x]));
            green[at] = uchar(qGreen(line[x]));
            blue[at] = uchar(qBlue(line[x]));
        }
    }
    return planes;
}

// minimum or maximum over a square window, separably
QVector<uchar> windowed(const QVector<uchar> &in, int width, int height, int radius, bool maximum)
{
    QVector<uchar> rows(in.size());
    QVector<uchar> out(in.size());
    const uchar *source = in.constData();
    uchar *across = rows.data();
    uchar *result = out.data();
    for (int y = 0; y < height; ++y) {
        const uchar *src = source + y * width;
        uchar *dst = across + y * width;
        for (int x = 0; x < width; ++x) {
            const int from = std::max(0, x - radius);
            const int to = std::min(width - 1, x + radius);
            uchar v = src[from];
            for (int k = from + 1; k <= to; ++k)
                v = maximum ? std::max(v, src[k]) : std::min(v, src[k]);
            dst[x] = v;
        }
    }
    for (int y = 0; y < height; ++y) {
        const int from = std::max(0, y - radius);
        const int to = std::min(height - 1, y + radius);
        uchar *dst = result + y * width;
        std::copy(across + from * width, across + (from + 1) * width, dst);
        for (int k = from + 1; k <= to; ++k) {
            const uchar *src = across + k * width;
            for (int x = 0; x < width; ++x)
                dst[x] = maximum ? std::max(dst[x], src[x]) : std::min(dst[x], src[x]);
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
    const uchar *source = in.constData();
    int *across = rows.data();
    uchar *result = out.data();
    for (int y = 0; y < height; ++y) {
        const uchar *src = source + y * width;
        int *dst = across + y * width;
        for (int x = 0; x < width; ++x)
            dst[x] = src[x] + src[x > 0 ? x - 1 : x] + src[x + 1 < width ? x + 1 : x];
    }
    for (int y = 0; y < height; ++y) {
        const int *up = across + (y > 0 ? y - 1 : y) * width;
        const int *mid = across + y * width;
        const int *down = across + (y + 1 < height ? y + 1 : y) * width;
        uchar *dst = result + y * width;
        for (int x = 0; x < width; ++x)
            dst[x] = uchar((up[x] + mid[x] + down[x] + 4) / 9);
    }
    return out;
}

// per pixel: does each channel of a lie within b's window range?
QVector<bool> agreement(const Planes &a, const Planes &b, int radius, int tolerance)
{
    QVector<bool> agrees(a.width * a.height, true);
    bool *result = agrees.data();
    const int count = agrees.size();
    for (int c = 0; c < 3; ++c) {
        const QVector<uchar> low = windowed(b.channel[c], b.width, b.height, radius, false);
        const QVector<uchar> high = windowed(b.channel[c], b.width, b.height, radius, true);
        const uchar *lo = low.constData();
        const uchar *hi = high.constData();
        const uchar *value = a.channel[c].constData();
        for (int i = 0; i < count; ++i) {
            const int v = value[i];
            if (v < lo[i] - tolerance || v > hi[i] + tolerance)
                result[i] = false;
        }
    }
    return agrees;
}

} // namespace

pageComparison::Result pageComparison::compare(
    const QImage &first, const QImage &second, int radius, int tolerance)
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
    const uchar *ar = a.channel[0].constData(), *ag = a.channel[1].constData(),
                *ab_ = a.channel[2].constData();
    const uchar *br = b.channel[0].constData(), *bg = b.channel[1].constData(),
                *bb = b.channel[2].constData();
    const bool *forward = ab.constData();
    const bool *backward = ba.constData();
    const int paper = 255 - tolerance;
    for (int y = 0; y < a.height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(result.differences.scanLine(y));
        for (int x = 0; x < a.width; ++x) {
            const int i = y * a.width + x;
            const bool agrees = forward[i] && backward[i];
            const bool ink
                = std::min({ ar[i], ag[i], ab_[i] }) < paper || std::min({ br[i], bg[i], bb[i] }) < paper;
            result.agreeing += agrees;
            if (ink) {
                ++result.inkPixels;
                result.inkAgreeing += agrees;
            }
            const int grey = 255 - (255 - (ar[i] + ag[i] + ab_[i]) / 3) / 4;
            line[x] = agrees ? qRgb(grey, grey, grey) : qRgb(255, 0, 0);
        }
    }
    return result;
}

namespace {

// per block of the page: the sum of 255 minus the luminance of its pixels
QVector<double> blockWeights(const QImage &page, int block, int *columns)
{
    const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
    *columns = (grey.width() + block - 1) / block;
    const int rows = (grey.height() + block - 1) / block;
    QVector<double> weights(*columns * rows, 0.0);
    for (int y = 0; y < grey.height(); ++y) {
        const uchar *line = grey.constScanLine(y);
        double *row = weights.data() + (y / block) * *columns;
        for (int x = 0; x < grey.width(); ++x)
            row[x / block] += 255 - line[x];
    }
    return weights;
}

} // namespace

double pageComparison::darkness(const QImage &page)
{
    int columns = 0;
    double total = 0;
    for (double weight : blockWeights(page, 64, &columns))
        total += weight;
    return total;
}

double pageComparison::blockWeightAgreement(
    const QImage &first, const QImage &second, int block, double fraction)
{
    if (first.size() != second.size() || first.isNull())
        return 0.0;
    int columns = 0;
    const QVector<double> a = blockWeights(first, block, &columns);
    const QVector<double> b = blockWeights(second, block, &columns);
    double total = 0, agreeing = 0;
    for (int i = 0; i < a.size(); ++i) {
        const double weight = a[i] + b[i];
        total += weight;
        if (std::abs(a[i] - b[i]) <= std::max(fraction * std::max(a[i], b[i]), 255.0))
            agreeing += weight;
    }
    return total > 0 ? agreeing / total : 1.0;
}
