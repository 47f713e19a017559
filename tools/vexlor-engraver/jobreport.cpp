#include "jobreport.h"

#include "jobestimate.h"

#include <QFile>
#include <QPainter>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

QString orNotSent(const std::optional<int> &value)
{
    return value ? QString::number(*value) : QStringLiteral("not sent");
}

QString orNotSent(const std::optional<double> &value)
{
    return value ? QString::number(*value, 'g', 10) : QStringLiteral("not sent");
}

QString orNotSent(const std::optional<QByteArray> &value)
{
    return value ? QString::fromLatin1(*value) : QStringLiteral("not sent");
}

QString onOff(const std::optional<int> &value)
{
    if (!value)
        return QStringLiteral("not sent");
    return *value == 0 ? QStringLiteral("off") : QStringLiteral("on");
}

QString inches(int dots, int resolution)
{
    return QString::number(double(dots) / resolution, 'f', 2);
}

// Control file lines as text, control characters shown as \xNN.
QString printable(const QByteArray &bytes)
{
    QByteArray out;
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f)
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0')).toLatin1();
        else
            out += ch;
    }
    return QString::fromUtf8(out);
}

QRect tableRect(int resolution)
{
    return QRect(0, 0, JobDecoder::TableWidthInches * resolution, JobDecoder::TableHeightInches * resolution);
}

// The area the picture shows: from the origin to the farthest engraved or cut
// point, within the table.
QRect drawnArea(const JobDecoder::DecodedJob &job)
{
    const QRect table = tableRect(job.resolution > 0 ? job.resolution : JobDecoder::DefaultResolution);
    int right = 0;
    int bottom = 0;
    if (!job.bitmap.isNull()) {
        right = job.bitmap.width();
        bottom = job.bitmap.height();
    }
    if (!job.vectors.isEmpty()) {
        const QRectF bounds = job.vectors.boundingRect();
        right = std::max(right, static_cast<int>(std::ceil(bounds.right())) + 1);
        bottom = std::max(bottom, static_cast<int>(std::ceil(bounds.bottom())) + 1);
    }
    if (right <= 0 || bottom <= 0)
        return table;
    return QRect(0, 0, right, bottom).intersected(table);
}

// Draws a number with seven-segment digits 10 by 20 pixels from its top left
// corner: a program without a display has no fonts to draw text with.
void drawNumber(QPainter &painter, QPointF at, int number)
{
    // Segments a to g: top, top right, bottom right, bottom, bottom left,
    // top left, middle; bit 0 is a.
    static const int digits[10] = { 0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F };
    static const QLineF segments[7] = { { 0, 0, 10, 0 }, { 10, 0, 10, 10 }, { 10, 10, 10, 20 },
        { 0, 20, 10, 20 }, { 0, 10, 0, 20 }, { 0, 0, 0, 10 }, { 0, 10, 10, 10 } };
    const QString text = QString::number(number);
    for (const QChar c : text) {
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
void drawCutNumbers(QPainter &painter, const JobDecoder::DecodedJob &job, int scale)
{
    painter.save();
    painter.resetTransform();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(QColor(0, 0, 255), 2));
    QPointF pen;
    bool penDown = false;
    int number = 0;
    QSet<QPair<int, int>> taken;
    for (const JobDecoder::VectorPoint &v : job.vectorPoints) {
        const bool down = v.type != QPainterPath::MoveToElement;
        if (down && !penDown) {
            // Where many cuts start close together (dashed lines) only the
            // first number of each patch is drawn, so that it stays legible.
            const QPointF at = pen / scale + QPointF(4, -24);
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

QImage jobReport::render(const JobDecoder::DecodedJob &job, int maxSide, int *scale, bool numberCuts)
{
    const QRect area = drawnArea(job);
    const int k
        = std::max({ 1, (area.width() + maxSide - 1) / maxSide, (area.height() + maxSide - 1) / maxSide });
    if (scale)
        *scale = k;
    const int outWidth = (area.width() + k - 1) / k;
    const int outHeight = (area.height() + k - 1) / k;
    QImage picture(outWidth, outHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);

    const QImage &bitmap = job.bitmap;
    if (!bitmap.isNull() && bitmap.depth() == 1) {
        // Which bit value is engraved: the colour table says black.
        int engraved = 1;
        if (bitmap.colorCount() == 2 && qGray(bitmap.color(0)) < qGray(bitmap.color(1)))
            engraved = 0;
        const bool lsb = bitmap.format() == QImage::Format_MonoLSB;
        const int width = std::min(bitmap.width(), area.width());
        const int height = std::min(bitmap.height(), area.height());
        const int bytesPerLine = (width + 7) / 8;
        std::vector<quint32> counts(static_cast<size_t>(outWidth));
        for (int oy = 0; oy * k < height; ++oy) {
            std::fill(counts.begin(), counts.end(), 0);
            const int firstRow = oy * k;
            const int rows = std::min(k, height - firstRow);
            for (int y = firstRow; y < firstRow + rows; ++y) {
                const uchar *line = bitmap.constScanLine(y);
                for (int b = 0; b < bytesPerLine; ++b) {
                    const uchar byte = engraved ? line[b] : static_cast<uchar>(~line[b]);
                    if (byte == 0)
                        continue;
                    for (int bit = 0; bit < 8; ++bit) {
                        const int mask = lsb ? (1 << bit) : (0x80 >> bit);
                        const int x = b * 8 + bit;
                        if ((byte & mask) && x < width)
                            ++counts[static_cast<size_t>(x / k)];
                    }
                }
            }
            QRgb *out = reinterpret_cast<QRgb *>(picture.scanLine(oy));
            for (int ox = 0; ox < outWidth; ++ox) {
                if (counts[static_cast<size_t>(ox)] == 0)
                    continue;
                const int columns = std::min(k, width - ox * k);
                if (columns <= 0)
                    continue;
                const int cells = columns * rows;
                const int grey = 255 - static_cast<int>((255u * counts[static_cast<size_t>(ox)]) / cells);
                out[ox] = qRgb(grey, grey, grey);
            }
        }
    }

    if (!job.vectors.isEmpty()) {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(QColor(255, 0, 0));
        pen.setCosmetic(true);
        pen.setWidthF(k > 1 ? 1.5 : 1.0);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.scale(1.0 / k, 1.0 / k);
        // Through the middle of each dot, so that a line along a row of dots
        // colours that row instead of half of two.
        painter.translate(0.5, 0.5);
        painter.drawPath(job.vectors);
        if (numberCuts)
            drawCutNumbers(painter, job, k);
    }
    return picture;
}

QString jobReport::describe(
    const JobDecoder::DecodedJob &job, bool decoded, const QString &decoderMessage, qint64 fileSize)
{
    const JobDecoder::JobSettings &s = job.settings;
    QString text;
    QTextStream out(&text);
    out << "Size: " << fileSize << " bytes\n";
    if (decoded)
        out << "Engraver stream: read completely\n";
    else
        out << "Engraver stream: REJECTED: " << decoderMessage << "\n"
            << "  (the settings and the picture show what was read before the fault)\n";
    out << "PJL job name: " << (s.jobName ? *s.jobName : QStringLiteral("not sent")) << "\n";
    out << "Language: " << (s.language ? *s.language : QStringLiteral("not sent")) << "\n";

    out << "\nResolution: " << job.resolution << " dpi (unit of measure: " << orNotSent(s.unitsPerInch)
        << ", raster resolution: " << orNotSent(s.rasterResolution) << ")\n";
    out << "Raster power: " << orNotSent(s.rasterPower) << "\n";
    out << "Raster speed: " << orNotSent(s.rasterSpeed) << "\n";
    QString direction = QStringLiteral("not sent");
    if (s.rasterDirection)
        direction = *s.rasterDirection == 1 ? QStringLiteral("bottom-up") : QStringLiteral("top-down");
    out << "Engraving direction: " << direction << "\n";
    out << "Vector power: " << orNotSent(s.vectorPower) << "\n";
    out << "Vector speed: " << orNotSent(s.vectorSpeed) << "\n";
    out << "Vector frequency: " << orNotSent(s.vectorFreq) << "\n";
    out << "Vector speed compensation: " << onOff(s.vectorSpeedComp) << "\n";
    out << "Vector power compensation: " << onOff(s.vectorPowerComp) << "\n";
    if (!s.autoFocus)
        out << "Auto focus: not sent\n";
    else if (*s.autoFocus < 0)
        out << "Auto focus: off\n";
    else
        out << "Auto focus: on, material thickness " << QString::number(*s.autoFocus / 1000.0, 'g', 10)
            << " (sent as " << QString::number(*s.autoFocus, 'g', 10) << ")\n";
    out << "Vector grid: " << onOff(s.vectorGrid) << "\n";
    if (s.centerEngraving && *s.centerEngraving != 0) {
        out << "Centring: on, anchor x " << orNotSent(s.centerX) << ", y " << orNotSent(s.centerY)
            << "; graphics top " << orNotSent(s.graphicsTop) << ", left " << orNotSent(s.graphicsLeft)
            << "\n";
    } else {
        out << "Centring: " << onOff(s.centerEngraving) << "\n";
    }
    out << "Compression: "
        << (s.compression
                   ? (*s.compression == 2 ? QStringLiteral("2 (PackBits)") : QString::number(*s.compression))
                   : QStringLiteral("not sent"))
        << "\n";

    const int dpi = job.resolution > 0 ? job.resolution : JobDecoder::DefaultResolution;
    out << "\nGraphics size: ";
    if (s.rasterWidth && s.rasterHeight)
        out << (*s.rasterWidth + 1) << " x " << (*s.rasterHeight + 1) << " dots ("
            << inches(*s.rasterWidth + 1, dpi) << " x " << inches(*s.rasterHeight + 1, dpi) << " in)\n";
    else
        out << "not sent\n";
    out << "Raster: ";
    if (s.rasterBlock || !job.rows.isEmpty())
        out << job.rows.size() << " rows";
    else
        out << "none";
    if (!job.bitmap.isNull())
        out << ", bitmap " << job.bitmap.width() << " x " << job.bitmap.height() << " dots";
    out << "\n";
    out << "Vectors: ";
    if (job.vectorPoints.isEmpty()) {
        out << "none\n";
    } else {
        const QRectF b = job.vectors.boundingRect();
        out << job.vectorPoints.size() << " points";
        if (!job.vectors.isEmpty())
            out << ", cut lines within (" << b.left() << ", " << b.top() << ") to (" << b.right() << ", "
                << b.bottom() << ") dots, " << inches(qRound(b.width()), dpi) << " x "
                << inches(qRound(b.height()), dpi) << " in";
        out << "\n";
    }
    if (decoded) {
        const Vexlor::machineTiming timing;
        const Vexlor::jobEstimate estimate = Vexlor::jobEstimate::fromJob(job, timing);
        out << "Cut length: " << QString::number(estimate.cutInches, 'f', 2) << " in in " << estimate.cuts
            << " cuts; travel between them with the pen up: "
            << QString::number(estimate.travelInches, 'f', 2) << " in\n";
        out << "Estimated time: " << estimate.describe() << ", with the default machine figures (raster "
            << timing.rasterSpeed << " in/s and vector " << timing.vectorSpeed
            << " in/s at 100 %, acceleration " << timing.acceleration << " in/s2, turnaround "
            << timing.turnaround << " in)\n";
    }
    out << "End of job: " << (s.endOfJob ? "yes" : "no") << ", followed by " << s.trailingZeros
        << " zero bytes\n";
    if (!job.warnings.isEmpty()) {
        out << "\nWarnings:\n";
        for (const QString &warning : job.warnings)
            out << "  " << warning << "\n";
    }
    return text;
}

bool jobReport::write(const QString &folder, const jobReceipt &receipt, QString *error)
{
    QString text;
    QTextStream out(&text);
    out << "Job \"" << receipt.title() << "\"\n";
    out << "Stored in: " << folder << "\n";
    out << "Received: " << receipt.received.toString(Qt::ISODate) << " from " << receipt.peer
        << " (connection " << receipt.connection << "), queue \"" << printable(receipt.queue) << "\"\n";
    out << "\nControl file \"" << printable(receipt.controlName) << "\" (" << receipt.control.size()
        << " bytes), saved as \"control\":\n";
    for (const QByteArray &line : receipt.control.split('\n')) {
        if (!line.isEmpty())
            out << "  " << printable(line) << "\n";
    }

    bool allWritten = true;
    for (const jobReceipt::dataFile &file : receipt.dataFiles) {
        out << "\n== Data file \"" << printable(file.lpdName) << "\", saved as \"" << file.fileName
            << "\" ==\n";
        JobDecoder::DecodedJob job;
        QString message;
        bool decoded = false;
        QFile data(folder + QLatin1Char('/') + file.fileName);
        if (!data.open(QIODevice::ReadOnly)) {
            message = QStringLiteral("cannot open the file: ") + data.errorString();
        } else if (data.size() > std::numeric_limits<int>::max()) {
            message = QStringLiteral("the file is larger than a job can be (%1 bytes)").arg(data.size());
        } else {
            QByteArray stream;
            uchar *mapped = data.size() > 0 ? data.map(0, data.size()) : nullptr;
            if (mapped)
                stream = QByteArray::fromRawData(
                    reinterpret_cast<const char *>(mapped), static_cast<int>(data.size()));
            else
                stream = data.readAll();
            decoded = JobDecoder::decodeJob(stream, &job, &message);
        }
        out << describe(job, decoded, message, file.size);

        int scale = 1;
        // Numbers on the cuts show the cutting order, for jobs whose order is
        // of interest; they cover the drawing, so only on request.
        const QImage picture = render(
            job, MaxPictureSide, &scale, qEnvironmentVariableIntValue("VEXLOR_ENGRAVER_NUMBER_CUTS") != 0);
        QString pictureName = file.fileName;
        pictureName.replace(QStringLiteral(".prn"), QStringLiteral(".png"));
        QSaveFile png(folder + QLatin1Char('/') + pictureName);
        if (png.open(QIODevice::WriteOnly) && picture.save(&png, "PNG") && png.commit()) {
            out << "Picture: \"" << pictureName << "\", " << picture.width() << " x " << picture.height()
                << " pixels, ";
            if (scale == 1)
                out << "full size (1 pixel = 1 dot)";
            else
                out << "scaled down 1:" << scale << " (1 pixel = " << scale << " x " << scale << " dots)";
            out << "; engraved in black (grey where partly engraved), cut in red\n";
        } else {
            out << "Picture: cannot be written: " << png.errorString() << "\n";
            allWritten = false;
        }
    }
    out.flush();

    QSaveFile summary(folder + QStringLiteral("/summary.txt"));
    if (!summary.open(QIODevice::WriteOnly) || summary.write(text.toUtf8()) < 0 || !summary.commit()) {
        *error = QStringLiteral("cannot write the summary in \"%1\": %2").arg(folder, summary.errorString());
        return false;
    }
    if (!allWritten)
        *error = QStringLiteral("a picture of \"%1\" could not be written").arg(folder);
    return allWritten;
}
