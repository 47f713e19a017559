#include "scenebuilder.h"

#include "colorconverter.h"
#include "dashsplitter.h"
#include "greyscaling.h"
#include "picturefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPolygonF>
#include <QSaveFile>

#include <cmath>
#include <cstdio>

namespace {

QList<QByteArray> fieldsOf(const QByteArray &line)
{
    QList<QByteArray> fields = line.split(' ');
    fields.removeAll(QByteArray());
    return fields;
}

double number(const QList<QByteArray> &fields, int at, bool *ok)
{
    if (at >= fields.size()) {
        *ok = false;
        return 0;
    }
    bool good = false;
    const double value = fields.at(at).toDouble(&good);
    if (!good || !std::isfinite(value))
        *ok = false;
    return good ? value : 0;
}

QString text(double value, int decimals = 2)
{
    QString s = QString::number(value, 'f', decimals);
    if (s.contains(QLatin1Char('.'))) {
        while (s.endsWith(QLatin1Char('0')))
            s.chop(1);
        if (s.endsWith(QLatin1Char('.')))
            s.chop(1);
    }
    if (s == QLatin1String("-0"))
        s = QStringLiteral("0");
    return s;
}

// A number with at most two decimals and no trailing zeros, appended
// without going through QString: scenes of text-heavy pages hold
// hundreds of thousands of them.
void appendNumber(QByteArray &out, double value)
{
    if (!std::isfinite(value))
        value = 0;
    long long hundredths = std::llround(value * 100.0);
    if (hundredths < 0) {
        out.append('-');
        hundredths = -hundredths;
    }
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld", hundredths / 100);
    out.append(digits, n);
    const int fraction = int(hundredths % 100);
    if (fraction != 0) {
        out.append('.');
        out.append(char('0' + fraction / 10));
        if (fraction % 10)
            out.append(char('0' + fraction % 10));
    }
}

void appendPoint(QByteArray &out, const QPointF &p)
{
    appendNumber(out, p.x());
    out.append(',');
    appendNumber(out, p.y());
}

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&apos;")).toUtf8();
}

// attribute name="value" (value already escaped or plain)
void appendAttribute(QByteArray &out, const char *name, const QByteArray &value)
{
    out.append(' ');
    out.append(name);
    out.append("=\"");
    out.append(value);
    out.append('"');
}

QString colorText(QRgb color)
{
    return QStringLiteral("0x%1")
        .arg(color & 0xffffffu, 6, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QStringLiteral("0X"), QStringLiteral("0x"));
}

// true, with the rectangle, when the path is one axis-aligned rectangle
bool isRectangle(const scenePath &path, QRectF *rect)
{
    const QVector<scenePath::Segment> &segments = path.segments();
    QVector<QPointF> points;
    for (int i = 0; i < segments.size(); ++i) {
        const scenePath::Segment &segment = segments.at(i);
        if (segment.kind == scenePath::Curve || (segment.kind == scenePath::Move && i > 0))
            return false;
        if (segment.kind != scenePath::Close)
            points << segment.points[0];
    }
    if (points.size() == 5 && points.last() == points.first())
        points.removeLast();
    if (points.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        const QPointF &a = points.at(i);
        const QPointF &b = points.at((i + 1) % 4);
        if (a.x() != b.x() && a.y() != b.y())
            return false;
    }
    *rect = QPolygonF(points).boundingRect();
    return rect->width() > 0 && rect->height() > 0;
}

// the smallest rectangle that holds every pixel that is not transparent
QRect paintedBounds(const QImage &picture)
{
    int left = picture.width(), right = -1, top = picture.height(), bottom = -1;
    for (int y = 0; y < picture.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        int first = -1, last = -1;
        for (int x = 0; x < picture.width(); ++x)
            if (qAlpha(line[x]) != 0) {
                if (first < 0)
                    first = x;
                last = x;
            }
        if (first < 0)
            continue;
        left = std::min(left, first);
        right = std::max(right, last);
        top = std::min(top, y);
        bottom = y;
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

constexpr int maxImageSide = 12000;
constexpr double maxResampledPixels = 25e6;

// The picture as 8-bit grey when it is an opaque picture whose every pixel
// is grey, else a null image. Read back and converted to 32 bits it gives the
// same pixels; the file is a third of the size to compress and to decode.
QImage greyPicture(const QImage &picture)
{
    if (picture.format() != QImage::Format_RGB32)
        return QImage();
    const int w = picture.width();
    for (int y = 0; y < picture.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb p = line[x];
            if (((p >> 16) & 0xffu) != (p & 0xffu) || ((p >> 8) & 0xffu) != (p & 0xffu))
                return QImage();
        }
    }
    QImage grey(picture.size(), QImage::Format_Grayscale8);
    if (grey.isNull())
        return grey;
    for (int y = 0; y < picture.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        uchar *out = grey.scanLine(y);
        for (int x = 0; x < w; ++x)
            out[x] = uchar(line[x] & 0xffu);
    }
    return grey;
}

} // namespace

sceneBuilder::sceneBuilder(const QString &workDir, const colorConverter &colors)
    : m_workDir(workDir)
    , m_colors(colors)
{
}

bool sceneBuilder::read(QString *error)
{
    QFile file(QDir(m_workDir).filePath(QStringLiteral("scene.txt")));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("the interpreter left no page description (%1)").arg(file.errorString());
        return false;
    }
    const QByteArray all = file.readAll();
    const QList<QByteArray> lines = all.split('\n');

    // colour fields from position at; false when malformed
    auto colorAt = [this](const QList<QByteArray> &f, int at, QRgb *color, bool *paints) {
        if (at >= f.size())
            return false;
        bool ok = true;
        const QByteArray &space = f.at(at);
        *paints = true;
        if (space == "g")
            *color = colorConverter::fromGray(number(f, at + 1, &ok));
        else if (space == "r")
            *color = colorConverter::fromRgb(
                number(f, at + 1, &ok), number(f, at + 2, &ok), number(f, at + 3, &ok));
        else if (space == "k")
            *color = m_colors.fromCmyk(number(f, at + 1, &ok), number(f, at + 2, &ok), number(f, at + 3, &ok),
                number(f, at + 4, &ok));
        else if (space == "n")
            *paints = false;
        else
            return false;
        return ok;
    };

    int i = 0;
    // the path lines of a record, up to its E line
    auto readPath = [&](scenePath *path) {
        bool ok = true;
        for (++i; i < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            if (line == "E")
                return ok;
            if (line == "h") {
                path->close();
                continue;
            }
            const QList<QByteArray> f = fieldsOf(line);
            if (f.isEmpty())
                continue;
            if (f.at(0) == "m" && f.size() == 3)
                path->moveTo(QPointF(number(f, 1, &ok), number(f, 2, &ok)));
            else if (f.at(0) == "l" && f.size() == 3)
                path->lineTo(QPointF(number(f, 1, &ok), number(f, 2, &ok)));
            else if (f.at(0) == "c" && f.size() == 7)
                path->curveTo(QPointF(number(f, 1, &ok), number(f, 2, &ok)),
                    QPointF(number(f, 3, &ok), number(f, 4, &ok)),
                    QPointF(number(f, 5, &ok), number(f, 6, &ok)));
            else
                ok = false;
        }
        return false;
    };

    for (; i < lines.size(); ++i) {
        const QList<QByteArray> f = fieldsOf(lines.at(i));
        if (f.isEmpty())
            continue;
        const QByteArray &kind = f.at(0);
        bool ok = true;
        if (kind == "C" && f.size() == 4) {
            const int id = f.at(1).toInt();
            const int parent = f.at(2).toInt();
            const bool evenOdd = f.at(3) == "1";
            scenePath path;
            ok = readPath(&path);
            if (ok && id > 0)
                m_clips.define(id, parent, evenOdd, path);
        } else if (kind == "F" && f.size() >= 4) {
            Item item;
            item.kind = Item::Fill;
            item.evenOdd = f.at(1) == "1";
            item.clip = f.at(2).toInt();
            bool paints = true;
            ok = colorAt(f, 3, &item.color, &paints);
            ok = readPath(&item.path) && ok;
            if (ok && paints)
                m_items.append(item);
        } else if (kind == "S" && f.size() >= 9) {
            Item item;
            item.kind = Item::Stroke;
            item.clip = f.at(1).toInt();
            // The interpreter paints every pixel that a stroke touches, so
            // a line thinner than a pixel (a hairline, width 0) is one pixel
            // wide on the page; the scene says so.
            item.width = std::max(1.0, number(f, 2, &ok));
            item.cap = f.at(3).toInt();
            item.join = f.at(4).toInt();
            item.miter = number(f, 5, &ok);
            const double offset = number(f, 6, &ok);
            const int count = f.at(7).toInt();
            QVector<double> dashes;
            for (int d = 0; d < count; ++d)
                dashes.append(number(f, 8 + d, &ok));
            bool paints = true;
            ok = colorAt(f, 8 + count, &item.color, &paints) && ok;
            scenePath path;
            ok = readPath(&path) && ok;
            item.path = path;
            if (dashSplitter::isDashed(dashes)) {
                const qint64 pieces = dashSplitter::pieceCount(path, dashes);
                if (pieces > maxDashesPerStroke || m_dashes + pieces > maxDashesPerScene)
                    ++m_leftOut[QStringLiteral("fine-dash")];
                else {
                    m_dashes += pieces;
                    item.path = dashSplitter::apply(path, dashes, offset);
                }
            }
            if (ok && paints)
                m_items.append(item);
        } else if (kind == "I" && f.size() >= 16) {
            Item item;
            item.kind = Item::Image;
            item.imageId = f.at(1).toInt();
            sampledImage &image = item.image;
            image.width = f.at(2).toInt();
            image.height = f.at(3).toInt();
            image.bitsPerComponent = f.at(4).toInt();
            image.components = f.at(5).toInt();
            const bool multi = f.at(6) == "1";
            item.clip = f.at(7).toInt();
            for (int m = 0; m < 6; ++m)
                item.matrix[m] = number(f, 8 + m, &ok);
            const int count = f.at(14).toInt();
            for (int d = 0; d < count; ++d)
                image.decode.append(number(f, 15 + d, &ok));
            const int at = 15 + count;
            const QByteArray space = at < f.size() ? f.at(at) : QByteArray();
            bool paints = true;
            if (space == "g")
                image.space = sampledImage::Gray;
            else if (space == "r")
                image.space = sampledImage::Rgb;
            else if (space == "k")
                image.space = sampledImage::Cmyk;
            else if (space == "x")
                image.space = sampledImage::Indexed;
            else if (space == "d")
                image.space = sampledImage::Painted;
            else if (space == "m") {
                image.space = sampledImage::Mask;
                ok = colorAt(f, at + 1, &image.maskColor, &paints) && ok;
            } else
                ok = false;
            if (image.space == sampledImage::Indexed && image.decode.size() == 2)
                image.decode.resize(2 * image.components);
            image.sources.resize(image.space == sampledImage::Painted ? 2 : (multi ? image.components : 1));
            // the lines inside the record
            for (++i; i < lines.size() && lines.at(i) != "E"; ++i) {
                const QList<QByteArray> g = fieldsOf(lines.at(i));
                if (g.size() >= 4 && g.at(0) == "Q") {
                    const int base = g.at(1).toInt();
                    image.paletteSpace = base == 1 ? sampledImage::Gray
                                                   : (base == 4 ? sampledImage::Cmyk : sampledImage::Rgb);
                    image.highIndex = g.at(2).toInt();
                    image.palette = QByteArray::fromHex(g.at(3));
                } else if (g.size() >= 2 && g.at(0) == "T") {
                    for (int k = 2; k < g.size(); ++k)
                        image.maskKeys.append(g.at(k).toInt());
                }
            }
            if (ok && paints)
                m_items.append(item);
        } else if (kind == "W" && f.size() == 2) {
            ++m_leftOut[QString::fromLatin1(f.at(1))];
        } else if (kind == "X") {
            m_items.clear();
        } else if (kind == "P" && f.size() == 3) {
            m_pageSize
                = QSize(int(std::floor(number(f, 1, &ok) + 0.5)), int(std::floor(number(f, 2, &ok) + 0.5)));
        } else if (kind == "N" && f.size() == 2) {
            m_pages = f.at(1).toInt();
        } else {
            ok = false;
            // a malformed record with a body: step over the body
            if (kind == "F" || kind == "S" || kind == "C" || kind == "I")
                while (i < lines.size() && lines.at(i) != "E")
                    ++i;
        }
        if (!ok)
            ++m_skipped;
    }
    m_clips.setPage(QRectF(QPointF(0, 0), QSizeF(m_pageSize)));
    return true;
}

QStringList sceneBuilder::leftOut() const
{
    // singular and plural wording of what the procedure set reports
    static const QMap<QString, QPair<QString, QString>> wording = {
        { QStringLiteral("pattern"),
            { QStringLiteral("pattern of an unknown type"), QStringLiteral("patterns of an unknown type") } },
        { QStringLiteral("image-type"),
            { QStringLiteral("image of an unknown type"), QStringLiteral("images of an unknown type") } },
        { QStringLiteral("offscreen-failed"),
            { QStringLiteral("shading or masked image that the interpreter could not paint"),
                QStringLiteral("shadings or masked images that the interpreter could not paint") } },
        { QStringLiteral("fine-dash"),
            { QStringLiteral("dash pattern too fine to cut (drawn solid)"),
                QStringLiteral("dash patterns too fine to cut (drawn solid)") } },
        { QStringLiteral("item-limit"),
            { QStringLiteral("everything after the scene's limit of items"),
                QStringLiteral("everything after the scene's limit of items") } },
    };
    QStringList items;
    for (auto it = m_leftOut.constBegin(); it != m_leftOut.constEnd(); ++it) {
        const auto words = wording.value(it.key(), { it.key(), it.key() });
        if (it.key() == QLatin1String("item-limit"))
            items << words.first;
        else
            items
                << QStringLiteral("%1 %2").arg(it.value()).arg(it.value() == 1 ? words.first : words.second);
    }
    return items;
}

bool sceneBuilder::readImageData(Item *item) const
{
    sampledImage &image = item->image;
    for (int k = 0; k < image.sources.size(); ++k) {
        QFile raw(QDir(m_workDir).filePath(QStringLiteral("i%1_%2.raw").arg(item->imageId).arg(k)));
        if (!raw.open(QIODevice::ReadOnly))
            return false;
        image.sources[k] = raw.readAll();
    }
    return true;
}

void sceneBuilder::writePath(QByteArray &out, const scenePath &path) const
{
    for (const scenePath::Segment &segment : path.segments()) {
        switch (segment.kind) {
        case scenePath::Move:
            out.append("<moveto>");
            appendPoint(out, segment.points[0]);
            out.append("</moveto>");
            break;
        case scenePath::Line:
            out.append("<lineto>");
            appendPoint(out, segment.points[0]);
            out.append("</lineto>");
            break;
        case scenePath::Curve:
            out.append("<curveto>");
            appendPoint(out, segment.points[0]);
            out.append(' ');
            appendPoint(out, segment.points[1]);
            out.append(' ');
            appendPoint(out, segment.points[2]);
            out.append("</curveto>");
            break;
        case scenePath::Close:
            out.append("<closepath/>");
            break;
        }
    }
}

bool sceneBuilder::writeImage(
    QByteArray &out, Item &item, const QString &folder, const QString &prefix, QString *error)
{
    const double *m = item.matrix;
    double placed[6];
    if (std::fabs(m[0] * m[3] - m[1] * m[2]) < 1e-12)
        return true;
    if (!readImageData(&item))
        return true;
    QImage picture = item.image.toImage(m_colors);
    item.image.sources.clear();
    if (picture.isNull())
        return true;
    if (item.image.space == sampledImage::Painted && picture.hasAlphaChannel()) {
        // only the painted part of the area is kept
        const QRect painted = paintedBounds(picture);
        if (painted.isEmpty())
            return true;
        if (painted != picture.rect()) {
            picture = picture.copy(painted);
            item.matrix[4] += item.matrix[0] * painted.x() + item.matrix[2] * painted.y();
            item.matrix[5] += item.matrix[1] * painted.x() + item.matrix[3] * painted.y();
            item.image.width = painted.width();
            item.image.height = painted.height();
        }
    }
    // Images are interpolated (the job is run with -dDOINTERPOLATE): the
    // picture is resampled smoothly to the size it covers on the page, so
    // that the preview and the dithering see what the interpreter paints.
    const double across = picture.width() * std::hypot(m[0], m[1]);
    const double down = picture.height() * std::hypot(m[2], m[3]);
    // a picture is never made larger than this by resampling, keeping its proportions
    const double budget = std::max(maxResampledPixels, double(picture.width()) * picture.height());
    double shrink = 1.0;
    if (across * down > budget)
        shrink = std::sqrt(budget / (across * down));
    shrink = std::min({ shrink, maxImageSide / std::max(across, 1.0), maxImageSide / std::max(down, 1.0) });
    const int targetWidth = std::clamp(int(std::lround(across * shrink)), 1, maxImageSide);
    const int targetHeight = std::clamp(int(std::lround(down * shrink)), 1, maxImageSide);
    // (an area painted by the interpreter is at the page's resolution already)
    if (item.image.space != sampledImage::Painted
        && (targetWidth != picture.width() || targetHeight != picture.height())) {
        // a grey picture that only grows is enlarged in eight bits, to the same pixels
        const QImage enlarged = (targetWidth >= picture.width() && targetHeight >= picture.height())
            ? enlargeGreyPicture(greyPicture(picture), targetWidth, targetHeight)
            : QImage();
        if (!enlarged.isNull()) {
            picture = enlarged;
        } else {
            if (picture.hasAlphaChannel())
                picture = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            picture = picture.scaled(targetWidth, targetHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
    }
    const double sx = double(item.image.width) / picture.width();
    const double sy = double(item.image.height) / picture.height();
    placed[0] = m[0] * sx;
    placed[1] = m[1] * sx;
    placed[2] = m[2] * sy;
    placed[3] = m[3] * sy;
    placed[4] = m[4];
    placed[5] = m[5];
    m = placed;
    const QImage grey = greyPicture(picture);
    const QImage &stored = grey.isNull() ? picture : grey;
    const QString name = prefix + QString::number(item.imageId) + QLatin1Char('.') + pictureFileSuffix(stored);
    QString why;
    if (!writePictureFile(stored, QDir(folder).filePath(name), &why)) {
        *error = QStringLiteral("cannot write the image file %1: %2").arg(QDir(folder).filePath(name), why);
        return false;
    }
    const clipStore::Resolved &clip = m_clips.resolve(item.clip);
    const double w = picture.width();
    const double h = picture.height();
    // The clip that the scene gives an image is the clip in force, and no
    // larger than the image: the scene's reader tests an image by its clip,
    // so a clip as large as the page would take an image on a page larger
    // than the table for one that does not fit. A rectangular clip becomes
    // its overlap with the image, and none at all when it holds the image.
    const QPolygonF corners = QPolygonF({ QPointF(0, 0), QPointF(w, 0), QPointF(w, h), QPointF(0, h) });
    QPolygonF placedCorners;
    for (const QPointF &p : corners)
        placedCorners << QPointF(m[0] * p.x() + m[2] * p.y() + m[4], m[1] * p.x() + m[3] * p.y() + m[5]);
    const QRectF imageRect = placedCorners.boundingRect();
    QRectF clipRect;
    out.append("<clippath>");
    if (!isRectangle(clip.path, &clipRect))
        writePath(out, clip.path);
    else if (!clipRect.adjusted(-0.5, -0.5, 0.5, 0.5).contains(imageRect))
        writePath(out, scenePath::fromRect(clipRect.intersected(imageRect)));
    out.append("</clippath><image");
    appendAttribute(out, "xx", text(m[0] * w, 6).toLatin1());
    appendAttribute(out, "xy", text(m[1] * w, 6).toLatin1());
    appendAttribute(out, "yx", text(-m[2] * h, 6).toLatin1());
    appendAttribute(out, "yy", text(-m[3] * h, 6).toLatin1());
    appendAttribute(out, "tx", text(m[4] + m[2] * h, 6).toLatin1());
    appendAttribute(out, "ty", text(m[5] + m[3] * h, 6).toLatin1());
    appendAttribute(out, "width", QByteArray::number(picture.width()));
    appendAttribute(out, "height", QByteArray::number(picture.height()));
    out.append("/><imfile>");
    out.append(escaped(name));
    out.append("</imfile>");
    return true;
}

QString sceneBuilder::imageFilePrefix(const QString &sceneFile)
{
    // the scene reader removes blanks from image file names
    QString base = QFileInfo(sceneFile).completeBaseName();
    base.remove(QLatin1Char(' '));
    if (base.isEmpty())
        base = QStringLiteral("scene");
    return base + QStringLiteral("_img");
}

bool sceneBuilder::write(const QString &sceneFile, const QString &dithering, const QString &jobType,
    QString *error, bool (*stop)())
{
    const QFileInfo info(sceneFile);
    const QString folder = info.absolutePath();
    const QString prefix = imageFilePrefix(sceneFile);

    QSaveFile file(sceneFile);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the scene file %1: %2").arg(sceneFile, file.errorString());
        return false;
    }
    QByteArray out;
    out.reserve(1 << 20);
    out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scene");
    appendAttribute(out, "dithering", escaped(dithering));
    appendAttribute(out, "jobType", escaped(jobType));
    out.append("><BoundingBox><width>");
    out.append(QByteArray::number(m_pageSize.width()));
    out.append("</width><height>");
    out.append(QByteArray::number(m_pageSize.height()));
    out.append("</height></BoundingBox>\n");

    for (Item &item : m_items) {
        if (stop && stop()) {
            *error = QStringLiteral("stopped");
            file.cancelWriting();
            return false;
        }
        if (!m_clips.contains(item.clip))
            item.clip = 0;
        const clipStore::Resolved &clip = m_clips.resolve(item.clip);
        if (clip.empty)
            continue;
        if (item.kind == Item::Image) {
            if (!writeImage(out, item, folder, prefix, error))
                return false;
            continue;
        }
        if (!item.path.hasExtent() && !(item.kind == Item::Stroke && item.cap != 0))
            continue;
        QRectF reach = item.path.boundingRect();
        if (item.kind == Item::Stroke) {
            const double grow = item.width * std::max(1.0, item.miter) + 2;
            reach.adjust(-grow, -grow, grow, grow);
        }
        if (!reach.adjusted(-1, -1, 1, 1).intersects(clip.bounds))
            continue;
        if (item.kind == Item::Fill) {
            out.append("<fill_path");
            appendAttribute(out, "color", colorText(item.color).toLatin1());
            appendAttribute(out, "rule", item.evenOdd ? "even-odd" : "nonzero");
            out.append("><path>");
        } else {
            out.append("<stroke_path");
            appendAttribute(out, "color", colorText(item.color).toLatin1());
            appendAttribute(out, "width", text(item.width, 3).toLatin1());
            appendAttribute(out, "miter", text(item.miter, 3).toLatin1());
            appendAttribute(out, "join", QByteArray::number(item.join));
            appendAttribute(out, "cap", QByteArray::number(item.cap));
            out.append("><path>");
        }
        writePath(out, item.path);
        out.append("</path><clippath>");
        writePath(out, clip.path);
        out.append(item.kind == Item::Fill ? "</clippath></fill_path>\n" : "</clippath></stroke_path>\n");
        if (out.size() > (1 << 22)) {
            if (file.write(out) != out.size())
                break;
            out.clear();
        }
    }
    out.append("</scene>\n");
    if (file.error() != QFileDevice::NoError || file.write(out) != out.size()) {
        *error = QStringLiteral("cannot write the scene file %1: %2").arg(sceneFile, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = QStringLiteral("cannot write the scene file %1: %2").arg(sceneFile, file.errorString());
        return false;
    }
    return true;
}
