#include "jobdecoder.h"
#include "pclgenerator.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

using namespace JobDecoder;

namespace {

QByteArray esc(const char *text)
{
    return QByteArray(1, '\x1b') + text;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// A complete small job, written out by hand: header, settings with centring,
// a raster block of two rows, a vector path, the end of job and the tail.
QByteArray handWrittenJob()
{
    return esc("%-12345X@PJL JOB NAME=Box\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n") + esc("&y250A")
        + esc("&y1V") + esc("&y0L") + esc("&y0T") + esc("&y0C") + esc("&y1Z") + esc("&l0U") + esc("&l0Z")
        + esc("&u300D") + esc("*p0X") + esc("*p0Y") + esc("*t300R") + esc("*r0F") + esc("&y70P")
        + esc("&z45S") + esc("&y50R") + esc("&z2A") + esc("*r2T") + esc("*r20S") + esc("*b2M") + esc("&l10U")
        + esc("&l1Z") + esc("&l0V") + esc("&l4W") + esc("&y0O")
        + esc("&r1A")
        // y 0, from x 4: ff 01 (pixels 4..11 and 19)
        + esc("*p0Y") + esc("*p4X") + esc("*b2A") + esc("*b8W") + hex("01ff01")
        + hex("8080808080")
        // y 2, reversed, from x 12: bytes c0 03 sent as 03 c0 (pixels 12, 13, 26, 27)
        + esc("*p2Y") + esc("*p12X") + esc("*b-2A") + esc("*b8W") + hex("0103c0") + hex("8080808080")
        + esc("*rC") + esc("%1BIN;YP80;ZS050;XR050;XS1;XP0;LTPU2,1;PD14,1,14,2;PDBZ15,3,16,4,17,5;")
        + esc("%0B") + esc("%1BPU") + esc("E") + esc("%-12345X@PJL EOJ \r\n") + QByteArray(4096, '\0');
}

QPainterPath pathOf(const QVector<QPair<QPainterPath::ElementType, QPointF>> &elements)
{
    QByteArray data;
    {
        QDataStream out(&data, QIODevice::WriteOnly);
        out << int(elements.size());
        for (const auto &e : elements)
            out << int(e.first) << double(e.second.x()) << double(e.second.y());
        out << int(0) << int(Qt::OddEvenFill);
    }
    QDataStream in(data);
    QPainterPath path;
    in >> path;
    return path;
}

QByteArray generate(const QMap<QString, QString> &settings, const QRect &bounds,
    const QList<QPainterPath> &paths, const Vexlor::SceneTile &tiles)
{
    pclGenerator generator;
    vexlorSettings s;
    s.settings = settings;
    generator.setSettings(s);
    generator.getBoundingRect(bounds);
    VectorList vectors;
    for (const QPainterPath &path : paths) {
        LaserOp::LaserOp item;
        item.type = LaserOp::CutLine;
        item.path = path;
        vectors.items.append(item);
    }
    generator.getVectors(vectors);
    generator.setPixTiles(tiles);
    QSignalSpy spy(&generator, &pclGenerator::done);
    generator.process();
    return spy.count() == 1 ? spy.first().first().toByteArray() : QByteArray();
}

// A realistic job for the fuzz loop: dithered-looking raster and curves.
QByteArray realJob(QRandomGenerator &random)
{
    Vexlor::SceneTile tiles;
    for (int t = 0; t < 3; ++t) {
        QImage image(61, 9, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, random.bounded(3) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        tiles.append({ QRect(5, 9 * t, 61, 9), QPixmap::fromImage(image) });
    }
    QPainterPath path(QPointF(3, 4));
    path.lineTo(50, 4);
    path.cubicTo(60, 10, 20, 30, 5, 26);
    path.closeSubpath();
    return generate({ { "Title", "Fuzz" }, { "CenterEngraving", "center" }, { "autoFocus", "enabled" },
                        { "materialThickness", "0.5" } },
        QRect(QPoint(5, 0), QPoint(65, 26)), { path }, tiles);
}

} // namespace

class tst_JobDecoder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void handWrittenJobDecodes();
    void unpackBits_data();
    void unpackBits();
    void malformedStreams_data();
    void malformedStreams();
    void lyingSizesAreBounded();

    void rasterRoundTrip_data();
    void rasterRoundTrip();
    void vectorRoundTrip();
    void settingsRoundTrip();
    void truncatedAndCorruptedJobs();
};

void tst_JobDecoder::handWrittenJobDecodes()
{
    DecodedJob job;
    QString error;
    QVERIFY2(decodeJob(handWrittenJob(), &job, &error), qPrintable(error));
    QCOMPARE(job.errorOffset, qint64(-1));
    const JobSettings &s = job.settings;
    QCOMPARE(*s.jobName, QString("Box"));
    QCOMPARE(*s.language, QString("PCL"));
    QCOMPARE(*s.autoFocus, 250.0);
    QCOMPARE(*s.vectorGrid, 1);
    QCOMPARE(*s.centerEngraving, 1);
    QCOMPARE(*s.leftRegistration, 0);
    QCOMPARE(*s.topRegistration, 0);
    QCOMPARE(*s.unitsPerInch, 300);
    QCOMPARE(*s.rasterResolution, 300);
    QCOMPARE(*s.rasterPower, 70.0);
    QCOMPARE(*s.rasterSpeed, 45.0);
    QCOMPARE(*s.rasterHeight, 2);
    QCOMPARE(*s.rasterWidth, 20);
    QCOMPARE(*s.compression, 2);
    QCOMPARE(*s.centerX, 10);
    QCOMPARE(*s.centerY, 1);
    QCOMPARE(*s.graphicsTop, 0);
    QCOMPARE(*s.graphicsLeft, 4);
    QCOMPARE(*s.rasterDirection, 0);
    QVERIFY(s.rasterBlock);
    QCOMPARE(*s.vectorPower, QByteArray("80"));
    QCOMPARE(*s.vectorSpeed, QByteArray("050"));
    QCOMPARE(*s.vectorSpeedComp, 1);
    QCOMPARE(*s.vectorPowerComp, 0);
    QCOMPARE(*s.lineType, QByteArray());
    QVERIFY(s.endOfJob);
    QCOMPARE(s.trailingZeros, qint64(4096));
    QCOMPARE(job.resolution, 300);

    QCOMPARE(job.rows.size(), 2);
    QCOMPARE(job.rows.at(0).y, 0);
    QCOMPARE(job.rows.at(0).x, 4);
    QCOMPARE(job.rows.at(0).byteCount, 2);
    QCOMPARE(job.rows.at(1).byteCount, -2);
    QCOMPARE(job.rows.at(1).encodedBytes, 8);

    // Width from the farthest pixel (27), beyond the raster width command
    // (right edge 20, inclusive); height from the raster height (bottom 2).
    QCOMPARE(job.bitmap.size(), QSize(28, 3));
    QCOMPARE(job.bitmap.format(), QImage::Format_Mono);
    QString picture;
    for (int y = 0; y < job.bitmap.height(); ++y) {
        for (int x = 0; x < job.bitmap.width(); ++x)
            picture += job.bitmap.pixelIndex(x, y) ? '#' : '.';
        picture += '\n';
    }
    QCOMPARE(picture,
        QString("....########.......#........\n"
                "............................\n"
                "............##............##\n"));
    QCOMPARE(job.bitmap.pixel(4, 0), qRgb(0, 0, 0));
    QCOMPARE(job.bitmap.pixel(0, 0), qRgb(255, 255, 255));

    QCOMPARE(job.vectorPoints.size(), 6);
    QCOMPARE(job.vectorPoints.at(0).type, QPainterPath::MoveToElement);
    QCOMPARE(job.vectorPoints.at(0).point, QPointF(2, 1));
    QCOMPARE(job.vectorPoints.at(2).type, QPainterPath::LineToElement);
    QCOMPARE(job.vectorPoints.at(3).type, QPainterPath::CurveToElement);
    QCOMPARE(job.vectorPoints.at(5).type, QPainterPath::CurveToDataElement);
    QCOMPARE(job.vectorPoints.at(5).point, QPointF(17, 5));
    // The path: move, two lines, one cubic curve.
    QCOMPARE(job.vectors.elementCount(), 6);
    QCOMPARE(job.vectors.elementAt(0).type, QPainterPath::MoveToElement);
    QCOMPARE(job.vectors.elementAt(3).type, QPainterPath::CurveToElement);
    QCOMPARE(QPointF(job.vectors.elementAt(5)), QPointF(17, 5));

    // The raw command list keeps every command with its place.
    QVERIFY(job.commands.size() > 40);
    QCOMPARE(job.commands.first().name, QByteArray("%X"));
    QCOMPARE(job.commands.first().offset, qint64(0));
    QCOMPARE(job.commands.at(1).name, QByteArray("JOB"));
    QCOMPARE(job.commands.at(1).value, QByteArray("NAME=Box"));
    QCOMPARE(job.commands.last().name, QByteArray("EOJ"));

    const QStringList summary = describeSettings(s);
    QVERIFY(summary.contains("Job name: Box"));
    QVERIFY(summary.join('\n').contains("Auto focus: on, material thickness 250 thousandths"));
    QVERIFY(summary.join('\n').contains("speed compensation on, power compensation off"));
}

void tst_JobDecoder::unpackBits_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("maxOutput");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray() << 0 << true << QByteArray();
    QTest::newRow("runs and literals") << hex("fe0001ff12fe34") << 8 << true << hex("000000ff12343434");
    QTest::newRow("no-op bytes are skipped") << hex("80ff778080") << 2 << true << hex("7777");
    QTest::newRow("run of 128") << hex("8111") << 128 << true << QByteArray(128, '\x11');
    QTest::newRow("literal past the end") << hex("0301") << 4 << false << QByteArray();
    QTest::newRow("repeat without its byte") << hex("fe") << 4 << false << QByteArray();
    QTest::newRow("more than allowed") << hex("8111") << 127 << false << QByteArray();
}

void tst_JobDecoder::unpackBits()
{
    QFETCH(QByteArray, data);
    QFETCH(int, maxOutput);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);
    QByteArray out;
    QString error;
    QCOMPARE(JobDecoder::unpackBits(data.constData(), data.size(), maxOutput, &out, &error), ok);
    if (ok)
        QCOMPARE(out, expected);
    else
        QVERIFY(!error.isEmpty());
}

void tst_JobDecoder::malformedStreams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("message");

    const QByteArray head = esc("%-12345X@PJL JOB NAME=x\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n");
    const qint64 h = head.size();
    const QByteArray settings = esc("*b2M");
    const QByteArray end = esc("%-12345X@PJL EOJ \r\n");

    QTest::newRow("empty") << QByteArray() << qint64(0) << "expected the universal exit";
    QTest::newRow("no universal exit")
        << QByteArray("%!PS-Adobe-3.0\n") << qint64(0) << "expected the universal exit";
    QTest::newRow("only the universal exit") << esc("%-12345X") << qint64(9) << "before the PJL end of job";
    QTest::newRow("PJL line without line end")
        << esc("%-12345X@PJL JOB NAME=x") << qint64(9) << "without a line end";
    QTest::newRow("other language") << esc("%-12345X@PJL ENTER LANGUAGE=PDF\r\n") << qint64(9)
                                    << "unsupported printer language \"PDF\"";
    QTest::newRow("text in PCL") << head + "hello" << h << "expected ESC (a PCL command), found 'h'";
    QTest::newRow("unknown PCL command") << head + esc("&yQ") << h << "unknown PCL command ESC &yQ";
    QTest::newRow("cut inside an escape")
        << head + esc("&y12") << h + 5 << "expected the terminator of ESC &y";
    QTest::newRow("no group character") << head + esc("&Y") << h + 2 << "expected a PCL group character";
    QTest::newRow("value field too long")
        << head + esc("&y") + QByteArray(40, '1') + "A" << h + 3 << "longer than 32 characters";
    QTest::newRow("integer out of range") << head + esc("*p99999999999Y") << h << "out of range";
    QTest::newRow("fraction where a whole number belongs")
        << head + esc("*p1.5Y") << h << "needs a whole number";
    QTest::newRow("row outside the raster block")
        << head + settings + esc("*b1A") << h + 5 << "byte count outside the raster block";
    QTest::newRow("data without byte count")
        << head + settings + esc("&r1A") + esc("*b2W") + hex("0001") << h + 10 << "without a byte count";
    QTest::newRow("data without compression")
        << head + esc("&r1A") + esc("*b1A") + esc("*b2W") + hex("0001") << h + 10 << "compression method 0";
    QTest::newRow("data past the end") << head + settings + esc("&r1A") + esc("*b1A") + esc("*b200W")
            + hex("0001") << h + 22 << "runs past the end of the stream (2 left)";
    QTest::newRow("data shorter than announced") << head + settings + esc("&r1A") + esc("*b3A") + esc("*b8W")
            + hex("0001808080808080") << h + 20 << "gives 1 bytes, the row announced 3";
    QTest::newRow("data longer than announced") << head + settings + esc("&r1A") + esc("*b1A") + esc("*b8W")
            + hex("0101028080808080") << h + 20 << "unpacks to more than 1 bytes";
    QTest::newRow("lying row size") << head + settings + esc("&r1A") + esc("*b2000000A") + esc("*b2W")
            + hex("8100") << h + 21 << "cannot come from 2 bytes";
    QTest::newRow("negative position")
        << head + settings + esc("&r1A") + esc("*p-1X") + esc("*b1A") + esc("*b2W") + hex("0001") << h + 21
        << "negative position";
    QTest::newRow("end of raster without start") << head + esc("*rC") << h << "without a raster block";
    QTest::newRow("PCL inside HP-GL/2") << head + esc("%1B") + esc("&y1A") << h + 4 << "inside HP-GL/2";
    QTest::newRow("odd coordinates") << head + esc("%1BIN;PD1,2,3;") << h + 7 << "coordinate pairs, found 3";
    QTest::newRow("short Bezier") << head + esc("%1BPDBZ1,2,3,4;") << h + 6
                                  << "groups of three coordinate pairs";
    QTest::newRow("bad number") << head + esc("%1BPU1..2,3;") << h + 4 << "no number";
    QTest::newRow("unknown HP-GL/2 command")
        << head + esc("%1BQQ1;") << h + 4 << "unknown HP-GL/2 command \"QQ\"";
    QTest::newRow("stray byte in HP-GL/2") << head + esc("%1BPU1,2#") << h + 9 << "a parameter of PU";
    QTest::newRow("compensation flag") << head + esc("%1BXS2;") << h + 4 << "XS takes 0 or 1";
    QTest::newRow("no end of job") << head + esc("%1BIN;") << qint64(h + 7) << "ends in the HP-GL/2 section";
    QTest::newRow("garbage after the end of job") << head + end + QByteArray(10, '\0')
            + "x" << h + end.size() + 10 << "only zero bytes after the PJL end of job";
    QTest::newRow("PCL command inside PJL")
        << esc("%-12345X") + esc("&y1A") << qint64(9) << "expected a PJL command line, found ESC &yA";
}

void tst_JobDecoder::malformedStreams()
{
    QFETCH(QByteArray, stream);
    QFETCH(qint64, offset);
    QFETCH(QString, message);
    DecodedJob job;
    QString error;
    QVERIFY(!decodeJob(stream, &job, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY2(error.startsWith(QStringLiteral("byte %1:").arg(offset)), qPrintable(error));
    QCOMPARE(job.errorOffset, offset);
}

void tst_JobDecoder::lyingSizesAreBounded()
{
    const QByteArray head = esc("%-12345X@PJL JOB NAME=x\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n");
    const QByteArray end = esc("%1BIN;") + esc("%-12345X@PJL EOJ \r\n");

    // A raster width far beyond the table: the bitmap stops at the table
    // (40 inches at 600 dpi), and so do rows that reach beyond it.
    DecodedJob job;
    QString error;
    QVERIFY2(decodeJob(head + esc("*r2000000000S") + esc("*r5T") + esc("*b2M") + esc("&r1A") + esc("*p1Y")
                     + esc("*p23990X") + esc("*b3A") + esc("*b2W") + hex("feff") + esc("*rC") + end,
                 &job, &error),
        qPrintable(error));
    QCOMPARE(job.bitmap.size(), QSize(24000, 6));
    QCOMPARE(job.bitmap.pixelIndex(23999, 1), 1);
    QCOMPARE(job.bitmap.pixelIndex(23989, 1), 0);
    QCOMPARE(job.warnings.size(), 1);
    QVERIFY(job.warnings.first().contains("beyond the 40 x 28 inch table"));

    // An absurd resolution with far-away rows cannot make the decoder allocate
    // more than its limit.
    QVERIFY(!decodeJob(head + esc("*t90000R") + esc("*b2M") + esc("&r1A") + esc("*p2000000Y")
            + esc("*p3000000X") + esc("*b1A") + esc("*b2W") + hex("00ff") + esc("*rC") + end,
        &job, &error));
    QVERIFY2(error.contains("needs more than 1024 MiB"), qPrintable(error));
    QVERIFY(job.bitmap.isNull());

    // Nor can it make one row a quarter of a gigabyte wide: the table limit
    // does not grow with absurd resolutions.
    QVERIFY2(decodeJob(head + esc("*t100000000R") + esc("*b2M") + esc("&r1A") + esc("*p2000000000X")
                     + esc("*b1A") + esc("*b2W") + hex("00ff") + esc("*rC") + end,
                 &job, &error),
        qPrintable(error));
    QCOMPARE(job.resolution, 100000000);
    QCOMPARE(job.bitmap.size(), QSize(40 * MaxTableResolution, 1));
    QVERIFY(job.warnings.first().contains("4800 dpi are dropped"));

    // A stream of countless tiny commands: the list of them stops growing.
    QByteArray many = head;
    many.reserve(head.size() + (MaxRecordedCommands + 10) * 5 + end.size());
    for (int i = 0; i < MaxRecordedCommands + 10; ++i)
        many += esc("*p0X");
    QVERIFY(decodeJob(many + end, &job, &error));
    QCOMPARE(job.commands.size(), MaxRecordedCommands);
    QVERIFY(job.warnings.last().contains("commands are listed"));
    QVERIFY(job.settings.endOfJob);

    // No raster block: no bitmap.
    QVERIFY(decodeJob(head + esc("*b2M") + end, &job, &error));
    QVERIFY(job.bitmap.isNull());
    QVERIFY(!job.settings.rasterBlock);
}

void tst_JobDecoder::rasterRoundTrip_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("tileWidth");
    QTest::addColumn<int>("tileHeight");
    QTest::addColumn<int>("tileCount");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("density");
    QTest::newRow("top-down, odd width, offset") << "top" << 203 << 17 << 3 << 13 << 5 << 30;
    QTest::newRow("bottom-up, odd width") << "bottom" << 77 << 11 << 4 << 0 << 0 << 50;
    QTest::newRow("sparse with blank rows") << "top" << 129 << 20 << 2 << 7 << 0 << 2;
    QTest::newRow("dense bottom-up, narrow") << "bottom" << 9 << 5 << 5 << 3 << 1 << 95;
    QTest::newRow("one tile of one row") << "top" << 1 << 1 << 1 << 0 << 0 << 100;
}

void tst_JobDecoder::rasterRoundTrip()
{
    QFETCH(QString, direction);
    QFETCH(int, tileWidth);
    QFETCH(int, tileHeight);
    QFETCH(int, tileCount);
    QFETCH(int, left);
    QFETCH(int, top);
    QFETCH(int, density);

    QRandomGenerator random(quint32(tileWidth * 7919 + tileHeight * 31 + density));
    const int pageWidth = left + tileWidth;
    const int pageHeight = top + tileHeight * tileCount;
    QImage page(pageWidth, pageHeight, QImage::Format_Mono);
    page.setColorTable({ qRgb(255, 255, 255), qRgb(0, 0, 0) });
    page.fill(0);
    Vexlor::SceneTile tiles;
    for (int t = 0; t < tileCount; ++t) {
        QImage tile(tileWidth, tileHeight, QImage::Format_RGB32);
        tile.fill(Qt::white);
        for (int y = 0; y < tileHeight; ++y) {
            if (random.bounded(4) == 0)
                continue; // a blank row
            for (int x = 0; x < tileWidth; ++x) {
                if (int(random.bounded(100)) < density) {
                    tile.setPixel(x, y, qRgb(0, 0, 0));
                    page.setPixel(left + x, top + t * tileHeight + y, 1);
                }
            }
        }
        tiles.append({ QRect(left, top + t * tileHeight, tileWidth, tileHeight), QPixmap::fromImage(tile) });
    }
    const QRect bounds(QPoint(left, top), QPoint(pageWidth - 1, pageHeight - 1));
    const QByteArray stream = generate({ { "EngravingDirection", direction } }, bounds, {}, tiles);

    DecodedJob job;
    QString error;
    QVERIFY2(decodeJob(stream, &job, &error), qPrintable(error));
    QCOMPARE(job.bitmap.size(), page.size());
    for (int y = 0; y < pageHeight; ++y)
        for (int x = 0; x < pageWidth; ++x)
            if (job.bitmap.pixelIndex(x, y) != page.pixelIndex(x, y))
                QFAIL(qPrintable(QStringLiteral("pixel %1, %2 differs").arg(x).arg(y)));

    // Rows alternate in direction and run the chosen way.
    for (int i = 0; i < job.rows.size(); ++i) {
        QCOMPARE(job.rows.at(i).byteCount < 0, i % 2 == 1);
        if (i > 0)
            QVERIFY(direction == "bottom" ? job.rows.at(i).y < job.rows.at(i - 1).y
                                          : job.rows.at(i).y > job.rows.at(i - 1).y);
        QCOMPARE(job.rows.at(i).encodedBytes % 8, 0);
    }
    QCOMPARE(*job.settings.rasterDirection, direction == "bottom" ? 1 : 0);
}

void tst_JobDecoder::vectorRoundTrip()
{
    QRandomGenerator random(4711);
    for (int round = 0; round < 20; ++round) {
        QList<QPainterPath> paths;
        QVector<VectorPoint> expected;
        const int items = 1 + random.bounded(5);
        for (int i = 0; i < items; ++i) {
            QVector<QPair<QPainterPath::ElementType, QPointF>> elements;
            const int count = random.bounded(12);
            auto point = [&random]() {
                return QPointF(random.bounded(20000.0) - 5000.0, random.bounded(20000.0) - 5000.0);
            };
            for (int e = 0; e < count; ++e) {
                switch (random.bounded(3)) {
                case 0:
                    elements.append({ QPainterPath::MoveToElement, point() });
                    break;
                case 1:
                    elements.append({ QPainterPath::LineToElement, point() });
                    break;
                default:
                    elements.append({ QPainterPath::CurveToElement, point() });
                    elements.append({ QPainterPath::CurveToDataElement, point() });
                    elements.append({ QPainterPath::CurveToDataElement, point() });
                    break;
                }
            }
            const QPainterPath path = pathOf(elements);
            for (int e = 0; e < path.elementCount(); ++e) {
                const QPainterPath::Element el = path.elementAt(e);
                expected.append({ el.type, QPointF(int(el.x), int(el.y)) });
            }
            paths.append(path);
        }
        const QByteArray stream = generate({}, QRect(), paths, {});
        DecodedJob job;
        QString error;
        QVERIFY2(decodeJob(stream, &job, &error), qPrintable(error));
        QCOMPARE(job.vectorPoints.size(), expected.size());
        int curves = 0;
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(job.vectorPoints.at(i).type, expected.at(i).type);
            QCOMPARE(job.vectorPoints.at(i).point, expected.at(i).point);
            curves += expected.at(i).type == QPainterPath::CurveToElement;
        }
        int decodedCurves = 0;
        for (int i = 0; i < job.vectors.elementCount(); ++i)
            decodedCurves += job.vectors.elementAt(i).type == QPainterPath::CurveToElement;
        QCOMPARE(decodedCurves, curves);
        QVERIFY(job.bitmap.isNull());
    }
}

void tst_JobDecoder::settingsRoundTrip()
{
    const QByteArray stream = generate(
        { { "Title", "Sign" }, { "CenterEngraving", "left" }, { "CustomcResolution", "1200" },
            { "autoFocus", "enabled" }, { "CustommaterialThickness", "0.125" }, { "vectorGrid", "enabled" },
            { "rasterPower", "90" }, { "CustomrasterSpeed", "15" }, { "vectorSpeedComp", "enabled" } },
        QRect(QPoint(100, 200), QPoint(1099, 699)), {}, {});
    DecodedJob job;
    QString error;
    QVERIFY2(decodeJob(stream, &job, &error), qPrintable(error));
    const JobSettings &s = job.settings;
    QCOMPARE(*s.jobName, QString("Sign"));
    QCOMPARE(*s.autoFocus, 125.0);
    QCOMPARE(*s.vectorGrid, 1);
    QCOMPARE(*s.centerEngraving, 1);
    QCOMPARE(*s.rasterResolution, 1200);
    QCOMPARE(*s.rasterPower, 90.0);
    QCOMPARE(*s.rasterSpeed, 15.0);
    QCOMPARE(*s.centerX, 100);
    QCOMPARE(*s.centerY, 449);
    QCOMPARE(*s.graphicsTop, 200);
    QCOMPARE(*s.graphicsLeft, 100);
    QCOMPARE(*s.vectorSpeedComp, 1);
    QCOMPARE(*s.vectorPowerComp, 1);
    QVERIFY(!s.rasterBlock);
    QCOMPARE(s.trailingZeros, qint64(4096));
    QCOMPARE(job.resolution, 1200);
}

void tst_JobDecoder::truncatedAndCorruptedJobs()
{
    QRandomGenerator random(20261208);
    const QByteArray stream = realJob(random);
    DecodedJob job;
    QString error;
    QVERIFY2(decodeJob(stream, &job, &error), qPrintable(error));
    const qint64 endOfJob = stream.size() - 4096;

    int rejected = 0;
    for (int i = 0; i < 1500; ++i) {
        // A cut: every cut before the end of job line is complete is rejected.
        const int cut = random.bounded(stream.size() + 1);
        const bool ok = decodeJob(stream.left(cut), &job, &error);
        QCOMPARE(ok, cut >= endOfJob);
        if (!ok) {
            QVERIFY(!error.isEmpty());
            QVERIFY(job.errorOffset >= 0 && job.errorOffset <= cut);
        }

        // Flips: whatever comes out, the decoder reports and stays inside its input.
        QByteArray corrupt = stream.left(int(endOfJob) + 16);
        const int flips = 1 + random.bounded(4);
        for (int f = 0; f < flips; ++f)
            corrupt[random.bounded(corrupt.size())] = char(random.bounded(256));
        if (!decodeJob(corrupt, &job, &error)) {
            ++rejected;
            QVERIFY(!error.isEmpty());
            QVERIFY(job.errorOffset >= 0 && job.errorOffset <= corrupt.size());
        }
    }
    QVERIFY(rejected > 0);

    // Random bytes after a valid opening.
    for (int i = 0; i < 500; ++i) {
        QByteArray noise = esc("%-12345X@PJL ENTER LANGUAGE=PCL\r\n");
        const int length = random.bounded(200);
        for (int k = 0; k < length; ++k)
            noise += char(random.bounded(256));
        if (!decodeJob(noise, &job, &error))
            QVERIFY(job.errorOffset >= 0 && job.errorOffset <= noise.size());
    }
}

QTEST_MAIN(tst_JobDecoder)
#include "tst_jobdecoder.moc"
