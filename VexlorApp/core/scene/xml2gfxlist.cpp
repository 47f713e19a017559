#include "xml2gfxlist.h"

#include "largeimage.h"
#include "vexlorlog.h"

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QXmlStreamReader>
#include <QtDebug>
#include <QtEndian>

#include <climits>
#include <cmath>
#include <cstring>

namespace {

// The messages name the scratch folder the application uses; the file itself
// is opened in whatever folder the reader was given.
const QString sceneFileName = QStringLiteral("o.xml");
const QString sceneFileForMessages = QStringLiteral("/tmp/GSTemp/o.xml");

// Coordinates are written by the device as single-precision numbers; reading
// them the same way keeps this side bit-identical to what the device meant.
// Anything that is not a finite number reads as 0.
double toCoordinate(const QStringRef &text)
{
    bool ok = false;
    const float value = text.toFloat(&ok);
    return ok && std::isfinite(value) ? double(value) : 0.0;
}

double toReal(const QStringRef &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

// "0xRRGGBB"; without the prefix the whole text is read as hexadecimal, so
// that a value that does not parse at all gives black.
QColor toDeviceColor(const QString &text, bool *weird)
{
    QString hex = text;
    *weird = !text.startsWith(QLatin1String("0x"));
    if (!*weird)
        hex = text.mid(2);
    bool ok = false;
    const uint rgb = hex.toUInt(&ok, 16);
    return QColor(QRgb(ok ? rgb : 0u));
}

// "#RRGGBB" or "none"; an empty or "none" colour is fully transparent.
QColor toRectColor(QString text)
{
    text.remove(QLatin1Char('#'));
    bool ok = false;
    const uint rgb = text.toUInt(&ok, 16);
    QColor color(QRgb(ok ? rgb : 0u));
    color.setAlpha(text.isEmpty() || text.contains(QLatin1String("none")) ? 0 : 255);
    return color;
}

// Rounds halves upwards; false when the value has no place in an int.
bool roundToInt(double value, qint64 *result)
{
    const double rounded = std::floor(value + 0.5);
    if (!std::isfinite(rounded) || rounded < double(INT_MIN) || rounded > double(INT_MAX))
        return false;
    *result = qint64(rounded);
    return true;
}

// Reads the text of the element the reader stands on; false when the element
// turned out to be malformed (the reader then holds the error).
bool readText(QXmlStreamReader &xml, QString *text)
{
    *text = xml.readElementText();
    return !xml.hasError();
}

} // namespace

xml2gfxList::xml2gfxList(QDir scratchDir, QObject *parent)
    : QObject(parent)
    , scratchDir(scratchDir)
    // No fill rule has been read before the first fill_path or rect; winding is
    // PostScript's own default and what every other element falls back to.
    , currentFillRule(Qt::WindingFill)
    , currentBrush(Qt::NoBrush)
    , outOfBounds(false)
    , m_curveSplit(QStringLiteral(",{1}|[ ]"))
{
    handlers.insert(QStringLiteral("BoundingBox"), &xml2gfxList::handleBoundingBox);
    handlers.insert(QStringLiteral("path"), &xml2gfxList::handlePath);
    handlers.insert(QStringLiteral("moveto"), &xml2gfxList::handleMoveTo);
    handlers.insert(QStringLiteral("lineto"), &xml2gfxList::handleLineTo);
    handlers.insert(QStringLiteral("curveto"), &xml2gfxList::handleCurveTo);
    handlers.insert(QStringLiteral("closepath"), &xml2gfxList::handleClosePath);
    handlers.insert(QStringLiteral("clippath"), &xml2gfxList::handleClipPath);
    handlers.insert(QStringLiteral("newclippath"), &xml2gfxList::handleNewClipPath);
    handlers.insert(QStringLiteral("fill_path"), &xml2gfxList::handleFillPath);
    handlers.insert(QStringLiteral("stroke_path"), &xml2gfxList::handleStrokePath);
    handlers.insert(QStringLiteral("rect"), &xml2gfxList::handleRect);
    handlers.insert(QStringLiteral("image"), &xml2gfxList::handleImage);
    handlers.insert(QStringLiteral("imfile"), &xml2gfxList::handleImFile);
    handlers.insert(QStringLiteral("raster"), &xml2gfxList::handleRaster);
    handlers.insert(QStringLiteral("pathImage"), &xml2gfxList::handlePathImage);
}

void xml2gfxList::setTableRect(QRect rect)
{
    tableRect = rect;
}

void xml2gfxList::processGSOutput()
{
    items.clear();
    widths.clear();
    outOfBounds = false;

    QFile file(scratchDir.filePath(sceneFileName));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        emit error(QStringLiteral("Problem opening image file: ") + sceneFileForMessages);
        return;
    }
    emit info(QStringLiteral("Reading image from: ") + sceneFileForMessages);

    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            // Taken before the handler runs: a handler may read on past the element.
            const QString name = xml.name().toString();
            const auto handler = handlers.constFind(name);
            if (handler != handlers.constEnd())
                (this->*handler.value())(xml);
            if (name.contains(QLatin1String("rect")))
                savePathObject();
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("fill_path") || xml.name() == QLatin1String("stroke_path"))
                savePathObject();
        }
    }
    if (xml.hasError())
        emit error(QStringLiteral("XML error: ") + xml.errorString());
    else
        emit info(QStringLiteral("Reached xml end... done"));
    file.close();

    emit sendItems(items);
    emit sendWidths(widths);
    if (outOfBounds)
        emit itemOutOfBounds();
}

void xml2gfxList::handleBoundingBox(QXmlStreamReader &xml)
{
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        emit info(xml.tokenString());
        if (token == QXmlStreamReader::EndElement && xml.name().contains(QLatin1String("BoundingBox")))
            return;
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (xml.name().contains(QLatin1String("width"))) {
            QString text;
            if (!readText(xml, &text))
                return;
            emit info(QStringLiteral("Width: ") + text);
            emit width(text);
        } else if (xml.name().contains(QLatin1String("height"))) {
            QString text;
            if (!readText(xml, &text))
                return;
            emit info(QStringLiteral("Height: ") + text);
            emit height(text);
        }
    }
}

void xml2gfxList::handlePath(QXmlStreamReader &)
{
    currentPath = QPainterPath();
    currentPath.setFillRule(Qt::FillRule(currentFillRule));
}

void xml2gfxList::handleMoveTo(QXmlStreamReader &xml)
{
    QString text;
    if (!readText(xml, &text))
        return;
    const QVector<QStringRef> fields = text.splitRef(QLatin1Char(','));
    currentPath.moveTo(toCoordinate(fields.first()), toCoordinate(fields.last()));
}

void xml2gfxList::handleLineTo(QXmlStreamReader &xml)
{
    QString text;
    if (!readText(xml, &text))
        return;
    const QVector<QStringRef> fields = text.splitRef(QLatin1Char(','));
    currentPath.lineTo(toCoordinate(fields.first()), toCoordinate(fields.last()));
}

void xml2gfxList::handleCurveTo(QXmlStreamReader &xml)
{
    QString text;
    if (!readText(xml, &text))
        return;
    const QVector<QStringRef> fields = text.splitRef(m_curveSplit);
    if (fields.size() != 6) {
        emit error(QStringLiteral("A curve did not have the proper number of points"));
        return;
    }
    currentPath.cubicTo(toCoordinate(fields[0]), toCoordinate(fields[1]), toCoordinate(fields[2]),
        toCoordinate(fields[3]), toCoordinate(fields[4]), toCoordinate(fields[5]));
}

void xml2gfxList::handleClosePath(QXmlStreamReader &)
{
    currentPath.closeSubpath();
}

void xml2gfxList::handleClipPath(QXmlStreamReader &)
{
    itemPath = currentPath;
    currentPath = QPainterPath();
    clipAccumulator = QPainterPath();
}

void xml2gfxList::handleNewClipPath(QXmlStreamReader &)
{
    if (currentPath.elementCount() < 2) {
        clipAccumulator = QPainterPath();
        return;
    }
    if (clipAccumulator.elementCount() < 2)
        clipAccumulator = currentPath;
    else
        clipAccumulator = clipAccumulator.intersected(currentPath);
    currentPath = QPainterPath();
}

void xml2gfxList::handleFillPath(QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    bool weird = false;
    currentColor = toDeviceColor(attributes.value(QLatin1String("color")).toString(), &weird);
    if (weird)
        emit error(QStringLiteral("We have a weird color for a fill"));
    currentFillRule = attributes.value(QLatin1String("rule")).contains(QLatin1String("even-odd"))
        ? Qt::OddEvenFill
        : Qt::WindingFill;
    currentBrush = QBrush(currentColor, Qt::SolidPattern);
    currentPen = QPen(Qt::NoPen);
}

void xml2gfxList::handleStrokePath(QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    bool weird = false;
    currentColor = toDeviceColor(attributes.value(QLatin1String("color")).toString(), &weird);
    if (weird)
        emit error(QStringLiteral("We have a weird color for a stroke"));
    currentBrush = QBrush(Qt::NoBrush);

    const double strokeWidth = toReal(attributes.value(QLatin1String("width")));
    const QStringRef cap = attributes.value(QLatin1String("cap"));
    const QStringRef join = attributes.value(QLatin1String("join"));
    const Qt::PenCapStyle capStyle = cap == QLatin1String("2") ? Qt::SquareCap
        : cap == QLatin1String("1")                            ? Qt::RoundCap
                                                               : Qt::FlatCap;
    const Qt::PenJoinStyle joinStyle = join == QLatin1String("2") ? Qt::BevelJoin
        : join == QLatin1String("1")                              ? Qt::RoundJoin
                                                                  : Qt::MiterJoin;
    // A negative width has no meaning for a pen; the width list keeps what the
    // scene said, the pen draws it as a hairline.
    currentPen = QPen(QBrush(currentColor), qMax(0.0, strokeWidth), Qt::SolidLine, capStyle, joinStyle);
    currentPen.setMiterLimit(toReal(attributes.value(QLatin1String("miter"))));
    widths.append(strokeWidth);
}

void xml2gfxList::handleRect(QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    currentPath = QPainterPath();
    itemPath = QPainterPath();

    const QString fill = attributes.value(QLatin1String("fill")).toString();
    const QString stroke = attributes.value(QLatin1String("stroke")).toString();
    if (!fill.contains(QLatin1String("none"))) {
        currentColor = toRectColor(fill);
        currentBrush = QBrush(currentColor, Qt::SolidPattern);
    } else {
        currentBrush = QBrush(Qt::NoBrush);
    }
    if (!stroke.contains(QLatin1String("none"))) {
        currentColor = toRectColor(stroke);
        const double strokeWidth = toCoordinate(attributes.value(QLatin1String("stroke-width")));
        currentPen = QPen(QBrush(currentColor), qMax(0.0, strokeWidth));
    } else {
        currentPen = QPen(Qt::NoPen);
    }
    currentFillRule = attributes.value(QLatin1String("fillRule")).contains(QLatin1String("evenOdd"))
        ? Qt::OddEvenFill
        : Qt::WindingFill;
    itemPath.setFillRule(Qt::FillRule(currentFillRule));
    itemPath.addRect(toCoordinate(attributes.value(QLatin1String("x"))),
        toCoordinate(attributes.value(QLatin1String("y"))),
        toCoordinate(attributes.value(QLatin1String("width"))),
        toCoordinate(attributes.value(QLatin1String("height"))));
}

void xml2gfxList::handleImage(QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    const auto value
        = [&attributes](const char *name) { return toReal(attributes.value(QLatin1String(name))); };
    const double w = value("width");
    const double h = value("height");
    const QTransform matrix(value("xx") / w, value("xy") / w, -value("yx") / h, -value("yy") / h, 0, 0);
    imageTransform
        = QTransform::fromTranslate(0, -h) * matrix * QTransform::fromTranslate(value("tx"), value("ty"));
}

void xml2gfxList::handleImFile(QXmlStreamReader &xml)
{
    QString name;
    if (!readText(xml, &name))
        return;
    name = name.simplified().remove(QLatin1Char(' '));
    // The device writes plain names into the scratch folder; its path stands
    // where the fixed folder name stood.
    const QString fileName = scratchDir.path() + QLatin1Char('/') + name;
    // Grey pictures come as 8-bit grey files and stay in eight bits: they are
    // drawn as the 32-bit pictures they stand for (see the raster pipeline).
    QImage image = Vexlor::readLargeImage(fileName);
    if (image.isNull())
        emit error(QStringLiteral("Could not load image file: ") + fileName);

    if (clipAccumulator.elementCount() > currentPath.elementCount())
        currentPath = clipAccumulator;

    const QRectF placed = imageTransform.mapRect(QRectF(0, 0, image.width(), image.height()));
    if (currentPath.elementCount() < 3)
        saveImageObject(std::move(image), imageTransform, placed, QPainterPath());
    else
        saveImageObject(std::move(image), imageTransform, currentPath.boundingRect(), currentPath);
}

void xml2gfxList::handleRaster(QXmlStreamReader &xml)
{
    QString name;
    if (!readText(xml, &name))
        return;
    QImage image;
    QPoint origin;
    if (!loadRaster(scratchDir.path() + QLatin1Char('/') + name, &image, &origin))
        return;
    saveImageObject(image, QTransform::fromTranslate(origin.x(), origin.y()),
        QRectF(0, 0, image.width(), image.height()), QPainterPath());
}

void xml2gfxList::handlePathImage(QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    const double x = toCoordinate(attributes.value(QLatin1String("x")));
    const double y = toCoordinate(attributes.value(QLatin1String("y")));
    QString text;
    if (!readText(xml, &text))
        return;
    const QImage image = QImage::fromData(QByteArray::fromBase64(text.toLatin1()), "PNG");
    if (image.isNull())
        emit error(QStringLiteral("Could not decode an embedded image"));
    imageTransform = QTransform::fromTranslate(x, y);
    saveImageObject(image, imageTransform, QRectF(0, 0, image.width(), image.height()), QPainterPath());
}

bool xml2gfxList::loadRaster(const QString &fileName, QImage *image, QPoint *origin)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        emit error(QStringLiteral("Could not open raster file"));
        return false;
    }

    // The whole file at once; mapped rather than copied, since a raster of the
    // whole table runs to gigabytes.
    QByteArray copy;
    qint64 size = file.size();
    const uchar *data = size > 0 ? file.map(0, size) : nullptr;
    if (!data && size > 0) {
        copy = file.readAll();
        size = copy.size();
        data = reinterpret_cast<const uchar *>(copy.constData());
    }
    const auto int32At = [data](qint64 offset) { return qFromLittleEndian<qint32>(data + offset); };

    if (size >= 4)
        emit info(QStringLiteral("The file has x: ") + QString::number(int32At(0)));
    if (size >= 8)
        emit info(QStringLiteral("The file has y: ") + QString::number(int32At(4)));
    if (size > 0 && size < 8)
        emit error(
            QStringLiteral("Raster file %1 ends inside its header (%2 bytes)").arg(fileName).arg(size));

    // First pass: the bounds, and where the good records end. A malformed record
    // ends the raster there; the records before it are kept.
    qint64 minColumn = 0, maxColumnEnd = 0, minRow = 0, maxRow = 0;
    qint64 records = 0;
    qint64 end = 8;
    while (end < size) {
        if (size - end < 12) {
            emit error(QStringLiteral("Raster file %1: record at byte %2 is cut short; %3 records kept")
                           .arg(fileName)
                           .arg(end)
                           .arg(records));
            break;
        }
        const qint64 column = int32At(end);
        const qint64 row = int32At(end + 4);
        const qint64 count = int32At(end + 8);
        if (count < 0) {
            emit error(
                QStringLiteral("Raster file %1: record at byte %2 has a negative count (%3); %4 records kept")
                    .arg(fileName)
                    .arg(end)
                    .arg(count)
                    .arg(records));
            break;
        }
        if ((size - end - 12) / 4 < count) {
            emit error(
                QStringLiteral("Raster file %1: record at byte %2 has %3 pixels, more than the file holds; "
                               "%4 records kept")
                    .arg(fileName)
                    .arg(end)
                    .arg(count)
                    .arg(records));
            break;
        }
        if (records == 0) {
            minColumn = column;
            maxColumnEnd = column + count;
            minRow = maxRow = row;
        } else {
            minColumn = qMin(minColumn, column);
            maxColumnEnd = qMax(maxColumnEnd, column + count);
            minRow = qMin(minRow, row);
            maxRow = qMax(maxRow, row);
        }
        ++records;
        end += 12 + 4 * count;
    }

    *origin = QPoint();
    *image = QImage();
    if (records == 0)
        return true;

    const qint64 rasterWidth = maxColumnEnd - minColumn;
    const qint64 rasterHeight = maxRow - minRow + 1;
    // Only the size is tested against the table; a raster too large for it
    // would be left out anyway, so it is left out before anything is allocated.
    if (rasterWidth > maxRasterPixels || rasterHeight > maxRasterPixels
        || rasterWidth * rasterHeight > maxRasterPixels) {
        emit error(QStringLiteral("Raster file %1 spans %2 x %3 pixels, too large to be an image; left out")
                       .arg(fileName)
                       .arg(rasterWidth)
                       .arg(rasterHeight));
        outOfBounds = true;
        return false;
    }
    if (!liesOnTable(QRectF(0, 0, rasterWidth, rasterHeight))) {
        outOfBounds = true;
        return false;
    }

    QImage raster(int(rasterWidth), int(rasterHeight), QImage::Format_ARGB32);
    if (raster.isNull()) {
        emit error(QStringLiteral("Not enough memory for the %1 x %2 raster of %3")
                       .arg(rasterWidth)
                       .arg(rasterHeight)
                       .arg(fileName));
        return false;
    }
    raster.fill(Qt::transparent);
    for (qint64 offset = 8; offset < end;) {
        const qint64 column = int32At(offset);
        const qint64 row = int32At(offset + 4);
        const qint64 count = int32At(offset + 8);
        const uchar *pixels = data + offset + 12;
        QRgb *line = reinterpret_cast<QRgb *>(raster.scanLine(int(row - minRow))) + (column - minColumn);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        std::memcpy(line, pixels, size_t(count) * 4);
#else
        for (qint64 k = 0; k < count; ++k)
            line[k] = qFromLittleEndian<quint32>(pixels + 4 * k);
#endif
        offset += 12 + 4 * count;
    }
    emit info(QStringLiteral("Read Image."));

    *image = std::move(raster);
    *origin = QPoint(int(minColumn), int(minRow));
    return true;
}

bool xml2gfxList::liesOnTable(const QRectF &rect) const
{
    qint64 left, top, w, h;
    if (!roundToInt(rect.x(), &left) || !roundToInt(rect.y(), &top) || !roundToInt(rect.width(), &w)
        || !roundToInt(rect.height(), &h))
        return false;
    if (w == 0 && h == 0)
        return false;
    const qint64 right = left + w - 1;
    const qint64 bottom = top + h - 1;
    if (right < INT_MIN || right > INT_MAX || bottom < INT_MIN || bottom > INT_MAX)
        return false;
    return tableRect.contains(QRect(QPoint(int(left), int(top)), QPoint(int(right), int(bottom))), false);
}

bool xml2gfxList::withinRange(const QRectF &rect)
{
    const double edges[] = { rect.left(), rect.top(), rect.right(), rect.bottom() };
    for (double edge : edges) {
        if (!std::isfinite(edge) || std::fabs(edge) > coordinateRange)
            return false;
    }
    return true;
}

void xml2gfxList::savePathObject()
{
    if (itemPath.elementCount() < 2)
        return;

    LaserOp::LaserOp item;
    item.path = itemPath;
    item.clipPath = currentPath;
    item.pen = currentPen;
    item.brush = currentBrush;
    // A rect with neither fill nor stroke paints nothing: hidden keeps it out
    // of the preview, the engraving and the cutting alike.
    item.type = LaserOp::Hidden;
    if (currentColor.isValid()) {
        if (currentBrush.style() != Qt::NoBrush)
            item.type = LaserOp::EngravedPath;
        else if (currentPen.style() != Qt::NoPen)
            item.type = LaserOp::CutLine;
    }

    const QRectF clipRect = currentPath.boundingRect();
    // Only a clip the renderer applies (three elements or more) keeps what
    // lies beyond it off the engraver.
    const bool clipApplies = currentPath.elementCount() >= 3;
    const double penWidth = currentPen.style() == Qt::NoPen ? 0.0 : currentPen.widthF();
    const QRectF itemRect = itemPath.boundingRect();
    if (!std::isfinite(penWidth) || penWidth > coordinateRange
        || !withinRange(itemRect.adjusted(-penWidth, -penWidth, penWidth, penWidth))
        || (clipApplies && !withinRange(clipRect))) {
        outOfBounds = true;
        qCDebug(lcScene) << "Beyond the engraver's range:"
                         << "Item Rect:" << itemRect << "Pen width:" << penWidth << "Clip Rect:" << clipRect;
        return;
    }
    const bool firstCompare = clipApplies && liesOnTable(clipRect);
    if (firstCompare) {
        items.append(item);
        return;
    }
    const bool secondCompare = liesOnTable(itemRect);
    if (secondCompare) {
        items.append(item);
        return;
    }
    outOfBounds = true;
    qCDebug(lcScene) << "The first compare:" << firstCompare;
    qCDebug(lcScene) << "The second compare:" << secondCompare;
    qCDebug(lcScene) << "Table Rect:" << tableRect << "Clip Rect:" << clipRect << "Item Rect:" << itemRect;
}

void xml2gfxList::saveImageObject(
    QImage image, const QTransform &transform, const QRectF &testRect, const QPainterPath &clip)
{
    // A zero width or height in the placement leaves nothing that could be drawn.
    if (!transform.isInvertible() || !std::isfinite(transform.determinant()) || !std::isfinite(transform.dx())
        || !std::isfinite(transform.dy())) {
        emit error(QStringLiteral("An image has no usable placement and is left out"));
        return;
    }
    // An image with nothing in it never lies on the table, nor one placed or
    // clipped beyond the engraver's range (only its size may be tested).
    const bool inRange = withinRange(transform.mapRect(QRectF(0, 0, image.width(), image.height())))
        && (clip.elementCount() < 3 || withinRange(clip.boundingRect()));
    // As for paths, an image whose clip reaches beyond the table still
    // stays when the image itself lies on the table.
    const bool onTable = liesOnTable(testRect)
        || (!clip.isEmpty() && liesOnTable(transform.mapRect(QRectF(0, 0, image.width(), image.height()))));
    if (image.isNull() || !inRange || !onTable) {
        outOfBounds = true;
        return;
    }
    LaserOp::LaserOp item;
    item.type = LaserOp::Image;
    item.clipPath = clip;
    // handed over, not copied: the picture may be hundreds of megabytes
    const bool grey = image.format() == QImage::Format_Grayscale8;
    item.pixmap = QPixmap::fromImage(std::move(image), grey ? Qt::NoFormatConversion : Qt::AutoColor);
    item.transform = transform;
    items.append(item);
}
