#include "jobreport.h"

#include "jobestimate.h"

#include <QBuffer>
#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

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

// Inches with two decimals. A figure from a lying stream can be any size: it
// is never wrapped, only said to be beyond the table's range.
QString inches(double dots, int resolution)
{
    const double value = dots / resolution;
    if (!std::isfinite(value) || std::abs(value) >= 100000)
        return value < 0 ? QStringLiteral("less than -100000") : QStringLiteral("more than 100000");
    return QString::number(value, 'f', 2);
}

QString point(double x, double y, int resolution)
{
    return QStringLiteral("(%1, %2)").arg(inches(x, resolution), inches(y, resolution));
}

// "from (x, y) to (x, y), w x h in" of a rectangle of table dots whose right
// and bottom edges are exclusive.
QString span(double left, double top, double right, double bottom, int resolution)
{
    return QStringLiteral("from %1 to %2, %3 x %4 in")
        .arg(point(left, top, resolution), point(right, bottom, resolution), inches(right - left, resolution),
            inches(bottom - top, resolution));
}

QString span(const QRectF &rect, int resolution)
{
    return span(rect.left(), rect.top(), rect.right(), rect.bottom(), resolution);
}

// Engraved dots cover whole cells: a dot at x reaches to x + 1.
QRectF dotArea(const QRect &dots)
{
    return QRectF(dots.left(), dots.top(), qreal(dots.width()), qreal(dots.height()));
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

// Writes the file whole or not at all, under a temporary name first. The
// reason of a failure is the system's own ("No space left on device").
bool writeWholeFile(const QString &path, const QByteArray &bytes, QString *reason)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".incomplete";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    int failure = 0;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            failure = errno;
            break;
        }
        data += written;
        left -= written;
    }
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (!failure && std::rename(temporary.constData(), target.constData()) != 0)
        failure = errno;
    if (failure) {
        ::unlink(temporary.constData());
        *reason = QString::fromLocal8Bit(std::strerror(failure));
        return false;
    }
    return true;
}

} // namespace

QPointF jobReport::defaultHead()
{
    return QPointF(JobDecoder::TableWidthInches / 2.0, JobDecoder::TableHeightInches / 2.0);
}

QImage jobReport::render(const JobDecoder::DecodedJob &job, int maxSide, int *scale, QPointF headInches)
{
    return tablePicture::render(job, jobPlacement::of(job, headInches), maxSide, scale);
}

QStringList jobReport::streamErrors(const JobDecoder::DecodedJob &job, const jobPlacement &placement)
{
    const JobDecoder::JobSettings &s = job.settings;
    const int dpi = placement.resolution;
    QStringList errors;

    if (s.rasterResolution && *s.rasterResolution <= 0)
        errors << QStringLiteral("the raster resolution ESC *t%1R is no resolution").arg(*s.rasterResolution);
    if (s.unitsPerInch && *s.unitsPerInch <= 0)
        errors << QStringLiteral("the unit of measure ESC &u%1D is no unit").arg(*s.unitsPerInch);
    if (s.rasterResolution && s.unitsPerInch && *s.rasterResolution != *s.unitsPerInch)
        errors << QStringLiteral(
            "the unit of measure (ESC &u%1D) and the raster resolution (ESC *t%2R) differ")
                      .arg(*s.unitsPerInch)
                      .arg(*s.rasterResolution);
    if (job.resolution > JobDecoder::MaxTableResolution)
        errors << QStringLiteral("a resolution of %1 dpi is beyond the %2 dpi of any engraver; the table is "
                                 "drawn at %2 dpi")
                      .arg(job.resolution)
                      .arg(JobDecoder::MaxTableResolution);

    // The graphics size: the right and bottom edges, inclusive; -1 for a job
    // without graphics.
    const QRect table = placement.table();
    const jobExtent onPage = tablePicture::extent(job, jobPlacement());
    struct edge
    {
        const std::optional<int> &value;
        const char *name;
        const char *command;
        qint64 tableSize;
        int engravedEnd; // one past the farthest engraved dot on the page, 0 for none
    };
    const edge edges[] = {
        { s.rasterWidth, "width", "S", table.width(),
            onPage.engraved.isNull() ? 0 : onPage.engraved.right() + 1 },
        { s.rasterHeight, "height", "T", table.height(),
            onPage.engraved.isNull() ? 0 : onPage.engraved.bottom() + 1 },
    };
    for (const edge &e : edges) {
        if (!e.value)
            continue;
        const qint64 size = qint64(*e.value) + 1;
        if (size < 0) {
            errors << QStringLiteral(
                "the raster %1 command ESC *r%2%3 puts the graphics' edge before the page")
                          .arg(QLatin1String(e.name))
                          .arg(*e.value)
                          .arg(QLatin1String(e.command));
        } else if (size == 0 && !job.rows.isEmpty()) {
            errors << QStringLiteral(
                "the raster %1 command ESC *r-1%2 says there are no graphics, yet %3 raster "
                "rows follow")
                          .arg(QLatin1String(e.name), QLatin1String(e.command))
                          .arg(job.rows.size());
        } else if (size > e.tableSize) {
            errors << QStringLiteral("the graphics %1 of %2 dots (%3 in) is larger than the table")
                          .arg(QLatin1String(e.name))
                          .arg(size)
                          .arg(inches(double(size), dpi));
        }
        if (size >= 0 && e.engravedEnd > size)
            errors << QStringLiteral(
                "engraved dots reach %1 %2 dots, beyond the raster %1 of %3 dots that the "
                "stream announced")
                          .arg(QLatin1String(e.name))
                          .arg(e.engravedEnd)
                          .arg(size);
    }
    if (!job.rows.isEmpty() && !s.rasterWidth)
        errors << QStringLiteral("raster rows without a raster width (ESC *r#S)");
    if (!job.rows.isEmpty() && !s.rasterHeight)
        errors << QStringLiteral("raster rows without a raster height (ESC *r#T)");

    if (!placement.problem.isEmpty())
        errors << placement.problem;
    const jobExtent onTable = tablePicture::extent(job, placement);
    // Edges on the table's border count as on it; a line has no width.
    auto onTheTable = [&table](const QRectF &r) {
        return r.left() >= 0 && r.top() >= 0 && r.right() <= table.width() && r.bottom() <= table.height();
    };
    if (!onTable.engraved.isNull() && !onTheTable(dotArea(onTable.engraved)))
        errors << QStringLiteral("engraved dots lie off the table: %1")
                      .arg(span(dotArea(onTable.engraved), dpi));
    if (!job.vectors.isEmpty() && !onTheTable(onTable.cut))
        errors << QStringLiteral("cut lines reach beyond the table: %1").arg(span(onTable.cut, dpi));
    // Points that no drawing can hold (the painter path leaves them out).
    const double far = double(tablePicture::FarAway) * std::max(table.width(), table.height());
    for (const JobDecoder::VectorPoint &p : job.vectorPoints) {
        if (p.type == QPainterPath::MoveToElement)
            continue;
        const double x = p.point.x() + placement.offset.x();
        const double y = p.point.y() + placement.offset.y();
        if (std::isfinite(x) && std::isfinite(y) && std::abs(x) < far && std::abs(y) < far)
            continue;
        errors << QStringLiteral("a cut line goes to %1 in, beyond any table; it is not drawn")
                      .arg(point(x, y, dpi));
        break;
    }
    return errors;
}

QString jobReport::describe(const JobDecoder::DecodedJob &job, bool decoded, const QString &decoderMessage,
    qint64 fileSize, QPointF headInches)
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

    const jobPlacement placement = jobPlacement::of(job, headInches);
    const int dpi = placement.resolution;
    out << "\nGraphics size: ";
    if (s.rasterWidth && s.rasterHeight) {
        // The edges are inclusive; a lying edge must not wrap the size.
        const qint64 width = qint64(*s.rasterWidth) + 1;
        const qint64 height = qint64(*s.rasterHeight) + 1;
        if (width > 0 && height > 0)
            out << width << " x " << height << " dots (" << inches(double(width), dpi) << " x "
                << inches(double(height), dpi) << " in)\n";
        else if (width == 0 && height == 0)
            out << "none (no graphics)\n";
        else
            out << "not usable: the edges sent are " << *s.rasterWidth << " and " << *s.rasterHeight
                << " (see Errors)\n";
    } else {
        out << "not sent\n";
    }
    out << "Raster: ";
    if (s.rasterBlock || !job.rows.isEmpty())
        out << job.rows.size() << " rows";
    else
        out << "none";
    if (!job.bitmap.isNull())
        out << ", bitmap " << job.bitmap.width() << " x " << job.bitmap.height() << " dots";
    out << "\n";
    out << "Vectors: ";
    if (job.vectorPoints.isEmpty())
        out << "none\n";
    else
        out << job.vectorPoints.size() << " points\n";

    // Where it all lands, in inches from the table's top left corner.
    const jobExtent extent = tablePicture::extent(job, placement);
    out << "\nPosition on the table (inches from its top left corner, x to the right, y down):\n";
    if (placement.centred)
        out << "  Centred: the anchor (" << *s.centerX << ", " << *s.centerY << ") dots under the head at "
            << point(placement.headInches.x() * dpi, placement.headInches.y() * dpi, dpi) << "\n";
    else
        out << "  The page's top left corner on the table's top left corner\n";
    if (extent.engraved.isNull() && job.vectors.isEmpty()) {
        out << "  Nothing is engraved or cut\n";
    } else {
        if (!extent.engraved.isNull())
            out << "  Engraved: " << span(dotArea(extent.engraved), dpi) << "\n";
        if (!job.vectors.isEmpty())
            out << "  Cut: " << span(extent.cut, dpi) << "\n";
        out << "  Whole job: " << span(extent.whole(), dpi) << "\n";
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
    const QStringList errors = streamErrors(job, placement);
    if (!errors.isEmpty()) {
        out << "\nErrors:\n";
        for (const QString &e : errors)
            out << "  " << e << "\n";
    }
    if (!job.warnings.isEmpty()) {
        out << "\nWarnings:\n";
        for (const QString &warning : job.warnings)
            out << "  " << warning << "\n";
    }
    return text;
}

bool jobReport::write(const QString &folder, const jobReceipt &receipt, QString *error, QPointF headInches)
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
        out << describe(job, decoded, message, file.size, headInches);

        int scale = 1;
        const QImage picture = render(job, MaxPictureSide, &scale, headInches);
        QString pictureName = file.fileName;
        pictureName.replace(QStringLiteral(".prn"), QStringLiteral(".png"));
        QByteArray encoded;
        QBuffer buffer(&encoded);
        QString reason;
        if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG"))
            reason = QStringLiteral("the picture could not be encoded");
        else
            writeWholeFile(folder + QLatin1Char('/') + pictureName, encoded, &reason);
        if (reason.isEmpty()) {
            out << "Picture: \"" << pictureName << "\", " << picture.width() << " x " << picture.height()
                << " pixels, ";
            if (scale == 1)
                out << "full size (1 pixel = 1 dot)";
            else
                out << "scaled down 1:" << scale << " (1 pixel = " << scale << " x " << scale << " dots)";
            out << "; the whole table with rulers in inches, engraved in black (grey where partly "
                   "engraved), cut in red\n";
        } else {
            out << "Picture: cannot be written: " << reason << "\n";
            allWritten = false;
        }
    }
    out.flush();

    QString reason;
    if (!writeWholeFile(folder + QStringLiteral("/summary.txt"), text.toUtf8(), &reason)) {
        *error = QStringLiteral("cannot write the summary in \"%1\": %2").arg(folder, reason);
        return false;
    }
    if (!allWritten)
        *error = QStringLiteral("a picture of \"%1\" could not be written").arg(folder);
    return allWritten;
}
