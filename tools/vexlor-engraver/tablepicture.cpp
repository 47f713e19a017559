#include "tablepicture.h"

#include <QPainter>
#include <QPainterPath>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

const QRgb MarginColour = qRgb(232, 232, 232);
const QColor FrameColour(64, 64, 64);
const QColor RulerColour(48, 48, 48);
const QColor CutColour(255, 0, 0);

// Which bit value of the bitmap is engraved: the colour table says black.
int engravedBit(const QImage &bitmap)
{
    if (bitmap.colorCount() == 2 && qGray(bitmap.color(0)) < qGray(bitmap.color(1)))
        return 0;
    return 1;
}

bool bitSet(const uchar *line, int x, bool lsb)
{
    const uchar byte = line[x >> 3];
    return lsb ? (byte >> (x & 7)) & 1 : (byte >> (7 - (x & 7))) & 1;
}

// Digits drawn as strokes, so that the picture needs no font: the program
// runs without a window system.
void drawDigits(QPainter *painter, const QString &digits, QPointF topLeft, qreal height)
{
    // Segments a (top), b, c (right, top to bottom), d (bottom), e, f (left,
    // bottom to top), g (middle) of each digit.
    static const char *const lit[10]
        = { "abcdef", "bc", "abged", "abgcd", "fgbc", "afgcd", "afgedc", "abc", "abcdefg", "abcdfg" };
    const qreal w = height / 2;
    const qreal h = height / 2;
    qreal x = topLeft.x();
    const qreal y = topLeft.y();
    for (const QChar c : digits) {
        const int d = c.digitValue();
        if (d >= 0) {
            const QPointF tl(x, y), tr(x + w, y), ml(x, y + h), mr(x + w, y + h), bl(x, y + 2 * h),
                br(x + w, y + 2 * h);
            for (const char *s = lit[d]; *s; ++s) {
                switch (*s) {
                case 'a':
                    painter->drawLine(tl, tr);
                    break;
                case 'b':
                    painter->drawLine(tr, mr);
                    break;
                case 'c':
                    painter->drawLine(mr, br);
                    break;
                case 'd':
                    painter->drawLine(bl, br);
                    break;
                case 'e':
                    painter->drawLine(ml, bl);
                    break;
                case 'f':
                    painter->drawLine(tl, ml);
                    break;
                case 'g':
                    painter->drawLine(ml, mr);
                    break;
                }
            }
        }
        x += w + height / 4;
    }
}

qreal digitsWidth(int count, qreal height)
{
    return count * (height / 2) + (count - 1) * (height / 4);
}

void drawRulers(QPainter *painter, int resolution, int scale, QSize tablePixels)
{
    const qreal pixelsPerInch = qreal(resolution) / scale;
    const qreal digitHeight = 12;
    int labelStep = 1;
    for (const int step : { 1, 2, 5, 10 }) {
        labelStep = step;
        if (step * pixelsPerInch >= digitsWidth(2, digitHeight) + 6)
            break;
    }
    const int tickStep = pixelsPerInch >= 4 ? 1 : labelStep;
    const bool halves = pixelsPerInch >= 16;
    const int left = tablePicture::RulerWidth;
    const int top = tablePicture::RulerHeight;
    painter->setPen(QPen(RulerColour, 1));
    painter->setRenderHint(QPainter::Antialiasing, false);

    auto tick = [&](qreal at, qreal length, bool horizontalRuler) {
        if (horizontalRuler)
            painter->drawLine(QPointF(left + at, top - 1), QPointF(left + at, top - 1 - length));
        else
            painter->drawLine(QPointF(left - 1, top + at), QPointF(left - 1 - length, top + at));
    };
    for (const bool horizontal : { true, false }) {
        const int inches = horizontal ? JobDecoder::TableWidthInches : JobDecoder::TableHeightInches;
        const int extent = horizontal ? tablePixels.width() : tablePixels.height();
        for (int i = 0; i <= inches; ++i) {
            const qreal at = std::min<qreal>(std::floor(i * pixelsPerInch), extent - 1);
            const bool labelled = i % labelStep == 0;
            if (labelled)
                tick(at, 8, horizontal);
            else if (i % tickStep == 0)
                tick(at, 5, horizontal);
            if (halves && i < inches)
                tick(std::floor((i + 0.5) * pixelsPerInch), 3, horizontal);
            if (!labelled)
                continue;
            const QString text = QString::number(i);
            const qreal width = digitsWidth(text.size(), digitHeight);
            painter->setRenderHint(QPainter::Antialiasing, true);
            if (horizontal) {
                const qreal x = qBound<qreal>(left - width / 2, left + at - width / 2, left + extent - width);
                drawDigits(painter, text, QPointF(x, 3), digitHeight);
            } else {
                const qreal y
                    = qBound<qreal>(top, top + at - digitHeight / 2, top + extent - digitHeight - 1);
                drawDigits(painter, text, QPointF(left - 11 - width, y), digitHeight);
            }
            painter->setRenderHint(QPainter::Antialiasing, false);
        }
    }
}

// The cut lines without the stretches that reach far beyond the table.
QPainterPath drawableCuts(const QPainterPath &vectors, QPoint offset, qreal limit)
{
    QPainterPath out;
    auto near = [&](const QPointF &p) {
        const qreal x = p.x() + offset.x();
        const qreal y = p.y() + offset.y();
        return std::isfinite(x) && std::isfinite(y) && std::abs(x) <= limit && std::abs(y) <= limit;
    };
    bool currentNear = false;
    for (int i = 0; i < vectors.elementCount(); ++i) {
        const QPainterPath::Element e = vectors.elementAt(i);
        if (e.type == QPainterPath::CurveToElement && i + 2 < vectors.elementCount()) {
            const QPointF c1 = vectors.elementAt(i);
            const QPointF c2 = vectors.elementAt(i + 1);
            const QPointF end = vectors.elementAt(i + 2);
            const bool allNear = near(c1) && near(c2) && near(end);
            if (currentNear && allNear)
                out.cubicTo(c1, c2, end);
            else if (near(end))
                out.moveTo(end);
            currentNear = near(end);
            i += 2;
            continue;
        }
        const QPointF p = e;
        const bool pointNear = near(p);
        if (e.type == QPainterPath::LineToElement && currentNear && pointNear)
            out.lineTo(p);
        else if (pointNear)
            out.moveTo(p);
        currentNear = pointNear;
    }
    return out;
}

} // namespace

QRect jobPlacement::table() const
{
    return QRect(0, 0, JobDecoder::TableWidthInches * resolution, JobDecoder::TableHeightInches * resolution);
}

jobPlacement jobPlacement::of(const JobDecoder::DecodedJob &job, QPointF headInches)
{
    jobPlacement placement;
    placement.resolution = qBound(1, job.resolution, JobDecoder::MaxTableResolution);
    placement.headInches = headInches;
    const JobDecoder::JobSettings &s = job.settings;
    if (s.centerEngraving.value_or(0) == 0)
        return placement;
    if (!s.centerX || !s.centerY) {
        placement.problem
            = QStringLiteral("centring is on, but the stream names no anchor (ESC &l#U and "
                             "ESC &l#Z after ESC *b2M); the job is shown from the table's corner");
        return placement;
    }
    // The anchor goes under the head. Both are far inside the range of an
    // int for any honest job; a lying anchor must not wrap.
    const qint64 x = std::llround(headInches.x() * placement.resolution) - qint64(*s.centerX);
    const qint64 y = std::llround(headInches.y() * placement.resolution) - qint64(*s.centerY);
    const qint64 limit = qint64(tablePicture::FarAway) * placement.table().width();
    if (std::abs(x) > limit || std::abs(y) > limit) {
        placement.problem = QStringLiteral("the centring anchor (%1, %2) puts the job far off the table; the "
                                           "job is shown from the table's corner")
                                .arg(*s.centerX)
                                .arg(*s.centerY);
        return placement;
    }
    placement.centred = true;
    placement.offset = QPoint(int(x), int(y));
    return placement;
}

QRectF jobExtent::whole() const
{
    if (engraved.isNull())
        return cut;
    if (cut.isNull())
        return QRectF(engraved);
    return cut.united(QRectF(engraved));
}

jobExtent tablePicture::extent(const JobDecoder::DecodedJob &job, const jobPlacement &placement)
{
    jobExtent result;
    const QImage &bitmap = job.bitmap;
    if (!bitmap.isNull() && bitmap.depth() == 1) {
        const int engraved = engravedBit(bitmap);
        const bool lsb = bitmap.format() == QImage::Format_MonoLSB;
        int minX = std::numeric_limits<int>::max(), maxX = -1, minY = -1, maxY = -1;
        const int bytes = (bitmap.width() + 7) / 8;
        for (int y = 0; y < bitmap.height(); ++y) {
            const uchar *line = bitmap.constScanLine(y);
            bool any = false;
            for (int b = 0; b < bytes; ++b) {
                const uchar byte = engraved ? line[b] : uchar(~line[b]);
                if (!byte)
                    continue;
                for (int bit = 0; bit < 8; ++bit) {
                    const int x = b * 8 + bit;
                    if (x < bitmap.width() && bitSet(line, x, lsb) == bool(engraved)) {
                        minX = std::min(minX, x);
                        maxX = std::max(maxX, x);
                        any = true;
                    }
                }
            }
            if (any) {
                if (minY < 0)
                    minY = y;
                maxY = y;
            }
        }
        if (maxX >= 0)
            result.engraved = QRect(QPoint(minX, minY), QPoint(maxX, maxY)).translated(placement.offset);
    }
    if (!job.vectors.isEmpty())
        result.cut = job.vectors.boundingRect().translated(placement.offset);
    return result;
}

namespace {

// Draws a number with seven-segment digits 10 by 20 pixels from its top left
// corner: a program without a display has no fonts to draw text with.
void drawNumber(QPainter &painter, QPointF at, int number)
{
    // Segments a to g: top, top right, bottom right, bottom, bottom left,
    // top left, middle; bit 0 is a.
    static const int digits[10] = { 0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F };
    static const QLineF segments[7] = { { 0, 0, 10, 0 }, { 10, 0, 10, 10 }, { 10, 10, 10, 20 },
        { 0, 20, 10, 20 }, { 0, 10, 0, 20 }, { 0, 0, 0, 10 }, { 0, 10, 10, 10 } };
    for (const QChar c : QString::number(number)) {
        const int mask = digits[c.digitValue()];
        for (int k = 0; k < 7; ++k) {
            if (mask & (1 << k))
                painter.drawLine(segments[k].translated(at));
        }
        at += QPointF(15, 0);
    }
}

// The number of each cut, in the order it is cut, just above and right of
// the point where it starts, in blue, at the same size whatever the scale.
// Where many cuts start close together (dashed lines) only the first number
// of each patch is drawn, so that it stays legible.
void drawCutNumbers(QPainter &painter, const JobDecoder::DecodedJob &job, QPoint offset, int scale)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(QColor(0, 0, 255), 2));
    QPointF pen;
    bool penDown = false;
    int number = 0;
    QSet<QPair<int, int>> taken;
    for (const JobDecoder::VectorPoint &v : job.vectorPoints) {
        const bool down = v.type != QPainterPath::MoveToElement;
        if (down && !penDown) {
            const QPointF at
                = QPointF(tablePicture::pixelOf(pen.toPoint() + offset, scale)) + QPointF(4, -24);
            const QPair<int, int> patch(int(std::floor(at.x() / 60)), int(std::floor(at.y() / 30)));
            ++number;
            if (!taken.contains(patch)) {
                taken.insert(patch);
                drawNumber(painter, at, number);
            }
        }
        penDown = down;
        pen = v.point;
    }
    painter.restore();
}

} // namespace

QPoint tablePicture::pixelOf(QPoint tableDot, int scale)
{
    return QPoint(RulerWidth + tableDot.x() / scale, RulerHeight + tableDot.y() / scale);
}

QImage tablePicture::render(
    const JobDecoder::DecodedJob &job, const jobPlacement &placement, int maxSide, int *scale)
{
    const QRect table = placement.table();
    const int k
        = std::max({ 1, (table.width() + maxSide - 1) / maxSide, (table.height() + maxSide - 1) / maxSide });
    if (scale)
        *scale = k;
    const QSize tablePixels((table.width() + k - 1) / k, (table.height() + k - 1) / k);
    QImage picture(RulerWidth + tablePixels.width() + Margin, RulerHeight + tablePixels.height() + Margin,
        QImage::Format_RGB32);
    picture.fill(MarginColour);
    const QRect tableArea(QPoint(RulerWidth, RulerHeight), tablePixels);
    {
        QPainter painter(&picture);
        painter.fillRect(tableArea, Qt::white);
    }

    // Engraved dots: each picture pixel is the share of engraved dots in its
    // cell of the table.
    const QImage &bitmap = job.bitmap;
    const QPoint offset = placement.offset;
    if (!bitmap.isNull() && bitmap.depth() == 1) {
        const int engraved = engravedBit(bitmap);
        const bool lsb = bitmap.format() == QImage::Format_MonoLSB;
        const int bytes = (bitmap.width() + 7) / 8;
        std::vector<quint32> counts(static_cast<size_t>(tablePixels.width()), 0);
        int cellRow = -1;
        auto flush = [&]() {
            if (cellRow < 0)
                return;
            const int cellHeight = std::min(k, table.height() - cellRow * k);
            QRgb *out = reinterpret_cast<QRgb *>(picture.scanLine(RulerHeight + cellRow)) + RulerWidth;
            for (int column = 0; column < tablePixels.width(); ++column) {
                const quint32 count = counts[size_t(column)];
                if (!count)
                    continue;
                const int cellWidth = std::min(k, table.width() - column * k);
                const quint32 cells = quint32(cellWidth) * quint32(cellHeight);
                const int grey = 255 - int((255u * std::min(count, cells)) / cells);
                out[column] = qRgb(grey, grey, grey);
                counts[size_t(column)] = 0;
            }
        };
        for (int y = 0; y < bitmap.height(); ++y) {
            const int ty = y + offset.y();
            if (ty < 0)
                continue;
            if (ty >= table.height())
                break;
            if (ty / k != cellRow) {
                flush();
                cellRow = ty / k;
            }
            const uchar *line = bitmap.constScanLine(y);
            for (int b = 0; b < bytes; ++b) {
                const uchar byte = engraved ? line[b] : uchar(~line[b]);
                if (!byte)
                    continue;
                for (int bit = 0; bit < 8; ++bit) {
                    const int x = b * 8 + bit;
                    if (x >= bitmap.width() || bitSet(line, x, lsb) != bool(engraved))
                        continue;
                    const int tx = x + offset.x();
                    if (tx >= 0 && tx < table.width())
                        ++counts[size_t(tx / k)];
                }
            }
        }
        flush();
    }

    QPainter painter(&picture);
    if (!job.vectors.isEmpty()) {
        const qreal limit = qreal(FarAway) * std::max(table.width(), table.height());
        const QPainterPath cuts = drawableCuts(job.vectors, offset, limit);
        painter.save();
        painter.setClipRect(tableArea);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(CutColour);
        pen.setCosmetic(true);
        pen.setWidthF(k > 1 ? 1.5 : 1.0);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.translate(RulerWidth, RulerHeight);
        painter.scale(1.0 / k, 1.0 / k);
        // Through the middle of each dot, so that a line along a row of dots
        // colours that row instead of half of two.
        painter.translate(offset.x() + 0.5, offset.y() + 0.5);
        painter.drawPath(cuts);
        painter.restore();
        // Numbers on the cuts show the cutting order; they cover the drawing,
        // so only on request.
        if (qEnvironmentVariableIntValue("VEXLOR_ENGRAVER_NUMBER_CUTS") != 0) {
            painter.save();
            painter.setClipRect(tableArea);
            drawCutNumbers(painter, job, offset, k);
            painter.restore();
        }
    }
    painter.setPen(QPen(FrameColour, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(tableArea.adjusted(-1, -1, 0, 0));
    drawRulers(&painter, placement.resolution, k, tablePixels);
    return picture;
}
