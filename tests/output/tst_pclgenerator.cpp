#include "pclgenerator.h"

#include <QBitmap>
#include <QDataStream>
#include <QImage>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <random>

Q_DECLARE_METATYPE(QList<QPainterPath>)

// Every expected stream below is written out by hand from the job format.
namespace {

// ESC followed by the command text.
QByteArray esc(const char *text)
{
    return QByteArray(1, '\x1b') + text;
}

QByteArray header(const QByteArray &name)
{
    return esc("%-12345X@PJL JOB NAME=") + name + "\r\n" + esc("E@PJL ENTER LANGUAGE=PCL \r\n");
}

QByteArray zeros()
{
    return QByteArray(4096, '\0');
}

// The vector block of a job without vector items and with none of the vector keys set.
QByteArray emptyVectorBlock()
{
    return esc("%1BIN;YP050;ZS050;XR050;XS0;XP1;LT;") + esc("%0B") + esc("%1BPU") + esc("E")
        + esc("%-12345X@PJL EOJ \r\n");
}

QByteArray expectedVectorBlock(const QByteArray &settings, const QByteArray &paths)
{
    return esc("%1BIN;") + settings + "LT" + paths + ";" + esc("%0B") + esc("%1BPU") + esc("E")
        + esc("%-12345X@PJL EOJ \r\n");
}

// The settings block of an empty settings map, up to the compression command.
QByteArray defaultSettings(const QByteArray &height, const QByteArray &width)
{
    return esc("&y-1A") + esc("&y0V") + esc("&y0L") + esc("&y0T") + esc("&y0C") + esc("&y0Z") + esc("&l0U")
        + esc("&l0Z") + esc("&u600D") + esc("*p0X") + esc("*p0Y") + esc("*t600R") + esc("*r0F") + esc("&y50P")
        + esc("&z50S") + esc("&y50R") + esc("&z2A") + esc("*r") + height + "T" + esc("*r") + width + "S"
        + esc("*b2M");
}

// A path with exactly these elements, also ones that QPainterPath's
// building functions never start a path with.
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

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

vexlorSettings makeSettings(const QMap<QString, QString> &map)
{
    vexlorSettings s;
    s.settings = map;
    return s;
}

QPixmap tilePixmap(const QStringList &rows)
{
    // '#' black, anything else white.
    const int width = rows.isEmpty() ? 0 : rows.first().size();
    QImage image(width, rows.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < rows.size(); ++y)
        for (int x = 0; x < width; ++x)
            if (rows.at(y).at(x) == QLatin1Char('#'))
                image.setPixel(x, y, qRgb(0, 0, 0));
    return QPixmap::fromImage(image);
}

struct Job
{
    QMap<QString, QString> settings;
    QRect bounds;
    bool setBounds = false;
    QList<QPainterPath> paths;
    Vexlor::SceneTile tiles;
};

QByteArray run(pclGenerator &generator, const Job &job)
{
    generator.setSettings(makeSettings(job.settings));
    if (job.setBounds)
        generator.getBoundingRect(job.bounds);
    VectorList vectors;
    for (const QPainterPath &path : job.paths) {
        LaserOp::LaserOp item;
        item.type = LaserOp::CutLine;
        item.path = path;
        vectors.items.append(item);
    }
    generator.getVectors(vectors);
    generator.setPixTiles(job.tiles);
    QSignalSpy spy(&generator, &pclGenerator::done);
    generator.process();
    if (spy.count() != 1)
        return QByteArray("done was emitted ") + QByteArray::number(spy.count()) + " times";
    return spy.first().first().toByteArray();
}

QByteArray run(const Job &job)
{
    pclGenerator generator;
    return run(generator, job);
}

} // namespace

// Stands in for the job flow controller: the signals it sends for one job.
class JobSender : public QObject
{
    Q_OBJECT
signals:
    void sendSettings(vexlorSettings settings);
    void sendVectors(VectorList vectors);
    void sendBoundingRect(QRect rect);
    void sendTiles(Vexlor::SceneTile tiles);
    void startProcess();
};

class tst_pclGenerator : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void settingsBlock_data();
    void settingsBlock();
    void secondJobKeepsSettingsAndBounds();

    void vectorBlock_data();
    void vectorBlock();

    void packBits_data();
    void packBits();
    void packBitsOfRandomRows();
    void reverseKeepsBits();

    void rasterBlock_data();
    void rasterBlock();
    void oneBitConversion_data();
    void oneBitConversion();
    void monoTilesAndUnusualFormats();
    void rasterProgress();
    void largeJobsTheSameOnTwoThreads();

    void completeCombinedJob();
    void queuedJobOnWorkerThread();
};

void tst_pclGenerator::settingsBlock_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QRect>("bounds");
    QTest::addColumn<QByteArray>("expected");

    const QRect none; // never set: the null rectangle, right and bottom -1
    const QRect box(QPoint(100, 200), QPoint(1099, 699));
    auto block = [](const char *focus, const char *grid, const char *centre, const char *res,
                     const char *power, const char *speed, const char *height, const char *width) {
        return esc("&y") + focus + "A" + esc("&y") + grid + "V" + esc("&y0L") + esc("&y0T") + esc("&y0C")
            + esc("&y") + centre + "Z" + esc("&l0U") + esc("&l0Z") + esc("&u") + res + "D" + esc("*p0X")
            + esc("*p0Y") + esc("*t") + res + "R" + esc("*r0F") + esc("&y") + power + "P" + esc("&z") + speed
            + "S" + esc("&y50R") + esc("&z2A") + esc("*r") + height + "T" + esc("*r") + width + "S"
            + esc("*b2M");
    };

    QTest::newRow("empty settings") << QVariantMap() << none
                                    << header("Untitled") + defaultSettings("-1", "-1") + emptyVectorBlock()
            + zeros();
    QTest::newRow("empty title") << QVariantMap { { "Title", "" } } << none
                                 << header("") + defaultSettings("-1", "-1") + emptyVectorBlock() + zeros();
    QTest::newRow("title as UTF-8") << QVariantMap { { "Title",
        QString::fromUtf8("Schild f\xc3\xbcr T\xc3\xbcr") } }
                                    << none
                                    << header("Schild f\xc3\xbcr T\xc3\xbcr") + defaultSettings("-1", "-1")
            + emptyVectorBlock() + zeros();
    QTest::newRow("control characters of a title stay out of the stream")
        << QVariantMap { { "Title",
               QString::fromLatin1("a\r\nb\x1b"
                                   "E") } }
        << none << header("a  b E") + defaultSettings("-1", "-1") + emptyVectorBlock() + zeros();

    QTest::newRow("auto focus 0.25") << QVariantMap { { "autoFocus", "enabled" },
        { "materialThickness", "0.25" } }
                                     << box
                                     << header("Untitled")
            + block("250", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock() + zeros();
    QTest::newRow("auto focus without thickness") << QVariantMap { { "autoFocus", "enabled" } } << box
                                                  << header("Untitled")
            + block("0", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock() + zeros();
    QTest::newRow("custom thickness 0.125")
        << QVariantMap { { "autoFocus", "on" }, { "CustommaterialThickness", "0.125" } } << box
        << header("Untitled") + block("125", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();
    QTest::newRow("thickness 1.5") << QVariantMap { { "autoFocus", "enabled" },
        { "materialThickness", "1.5" } }
                                   << box
                                   << header("Untitled")
            + block("1500", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock() + zeros();
    QTest::newRow("thickness with float noise")
        << QVariantMap { { "autoFocus", "enabled" }, { "materialThickness", "3.174999952316" } } << box
        << header("Untitled") + block("3175", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();
    QTest::newRow("thickness no number")
        << QVariantMap { { "autoFocus", "enabled" }, { "materialThickness", "thick" } } << box
        << header("Untitled") + block("0", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();
    QTest::newRow("thickness in exponent notation")
        << QVariantMap { { "autoFocus", "enabled" }, { "materialThickness", "2000" } } << box
        << header("Untitled") + block("2e+06", "0", "0", "600", "50", "50", "699", "1099")
            + emptyVectorBlock() + zeros();
    QTest::newRow("overflowing thickness reads as 0")
        << QVariantMap { { "autoFocus", "enabled" }, { "materialThickness", "1e37" } } << box
        << header("Untitled") + block("0", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();
    QTest::newRow("auto focus disabled keeps -1")
        << QVariantMap { { "autoFocus", "disabled" }, { "materialThickness", "0.25" } } << box
        << header("Untitled") + block("-1", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();

    QTest::newRow("custom resolution 1000") << QVariantMap { { "CustomcResolution", "1000" } } << box
                                            << header("Untitled")
            + block("-1", "0", "0", "1000", "50", "50", "699", "1099") + emptyVectorBlock() + zeros();
    QTest::newRow("plain key wins over custom key")
        << QVariantMap { { "cResolution", "300" }, { "CustomcResolution", "1000" } } << box
        << header("Untitled") + block("-1", "0", "0", "300", "50", "50", "699", "1099") + emptyVectorBlock()
            + zeros();
    QTest::newRow("power, speed, grid, height, width as text") << QVariantMap { { "CustomrasterPower", "80" },
        { "rasterSpeed", "35" }, { "vectorGrid", "enabled" }, { "height", "1234" }, { "width", "4321" } }
                                                               << box
                                                               << header("Untitled")
            + block("-1", "1", "0", "600", "80", "35", "1234", "4321") + emptyVectorBlock() + zeros();

    QTest::newRow("centring center") << QVariantMap { { "CenterEngraving", "center" } } << box
                                     << header("Untitled")
            + block("-1", "0", "1", "600", "50", "50", "699", "1099") + esc("&l599U") + esc("&l449Z")
            + esc("&l200V") + esc("&l100W") + emptyVectorBlock() + zeros();
    QTest::newRow("centring top and left")
        << QVariantMap { { "CenterEngraving", "top-left" } } << box
        << header("Untitled") + block("-1", "0", "1", "600", "50", "50", "699", "1099") + esc("&l100U")
            + esc("&l200Z") + esc("&l200V") + esc("&l100W") + emptyVectorBlock() + zeros();
    QTest::newRow("centring with capitals counts as neither left nor top")
        << QVariantMap { { "CenterEngraving", "Left-Center" } } << box
        << header("Untitled") + block("-1", "0", "1", "600", "50", "50", "699", "1099") + esc("&l599U")
            + esc("&l449Z") + esc("&l200V") + esc("&l100W") + emptyVectorBlock() + zeros();
    QTest::newRow("centring halves truncate")
        << QVariantMap { { "CenterEngraving", "page" } } << QRect(QPoint(0, 0), QPoint(4999, 3))
        << header("Untitled") + block("-1", "0", "1", "600", "50", "50", "3", "4999") + esc("&l2499U")
            + esc("&l1Z") + esc("&l0V") + esc("&l0W") + emptyVectorBlock() + zeros();
    QTest::newRow("centring none") << QVariantMap { { "CenterEngraving", "none" } } << box
                                   << header("Untitled")
            + block("-1", "0", "0", "600", "50", "50", "699", "1099") + emptyVectorBlock() + zeros();
}

void tst_pclGenerator::settingsBlock()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QRect, bounds);
    QFETCH(QByteArray, expected);
    Job job;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        job.settings.insert(it.key(), it.value().toString());
    job.bounds = bounds;
    job.setBounds = !bounds.isNull();
    QCOMPARE(run(job), expected);
}

void tst_pclGenerator::secondJobKeepsSettingsAndBounds()
{
    pclGenerator generator;
    Job job;
    job.settings = { { "Title", "Twice" }, { "CustomrasterPower", "70" } };
    job.bounds = QRect(QPoint(0, 0), QPoint(15, 0));
    job.setBounds = true;
    job.tiles.append({ QRect(0, 0, 16, 1), tilePixmap({ "########........" }) });
    job.paths.append(QPainterPath(QPointF(1, 2)));
    const QByteArray first = run(generator, job);
    QVERIFY(first.contains(esc("*rC")));
    QVERIFY(first.contains("LTPU1,2;"));

    QSignalSpy spy(&generator, &pclGenerator::done);
    generator.process();
    QCOMPARE(spy.count(), 1);
    const QByteArray expected = header("Twice") + esc("&y-1A") + esc("&y0V") + esc("&y0L") + esc("&y0T")
        + esc("&y0C") + esc("&y0Z") + esc("&l0U") + esc("&l0Z") + esc("&u600D") + esc("*p0X") + esc("*p0Y")
        + esc("*t600R") + esc("*r0F") + esc("&y70P") + esc("&z50S") + esc("&y50R") + esc("&z2A") + esc("*r0T")
        + esc("*r15S") + esc("*b2M") + emptyVectorBlock() + zeros();
    QCOMPARE(spy.first().first().toByteArray(), expected);
}

void tst_pclGenerator::vectorBlock_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QList<QPainterPath>>("paths");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray defaults = "YP050;ZS050;XR050;XS0;XP1;";

    QTest::newRow("no items") << QVariantMap() << QList<QPainterPath>() << expectedVectorBlock(defaults, "");

    QPainterPath square(QPointF(0, 0));
    square.lineTo(100, 0);
    square.lineTo(100, 100);
    square.lineTo(0, 100);
    square.lineTo(0, 0);
    QTest::newRow("square") << QVariantMap() << QList<QPainterPath> { square }
                            << expectedVectorBlock(defaults, "PU0,0;PD100,0,100,100,0,100,0,0");

    QPainterPath curves(QPointF(10, 20));
    curves.cubicTo(1, 2, 3, 4, 5, 6);
    curves.cubicTo(7, 8, 9, 10, 11, 12);
    QTest::newRow("move and two curves")
        << QVariantMap() << QList<QPainterPath> { curves }
        << expectedVectorBlock(defaults, "PU10,20;PDBZ1,2,3,4,5,6;PDBZ7,8,9,10,11,12");

    QPainterPath fractions(QPointF(12.9, -3.7));
    fractions.lineTo(-0.5, 99.99);
    QTest::newRow("coordinates truncate toward zero") << QVariantMap() << QList<QPainterPath> { fractions }
                                                      << expectedVectorBlock(defaults, "PU12,-3;PD0,99");

    QPainterPath first(QPointF(0, 0));
    first.lineTo(10, 20);
    QPainterPath second(QPointF(30, 40));
    second.lineTo(50, 60);
    QTest::newRow("line item then move item")
        << QVariantMap() << QList<QPainterPath> { first, second }
        << expectedVectorBlock(defaults, "PU0,0;PD10,20;PU30,40;PD50,60");
    // Raw segment lists can start with a line-to.
    const QPainterPath lineFirst = pathOf(
        { { QPainterPath::LineToElement, { 30, 40 } }, { QPainterPath::LineToElement, { 50, 60 } } });
    QTest::newRow("two items continue one pen-down command")
        << QVariantMap() << QList<QPainterPath> { first, lineFirst }
        << expectedVectorBlock(defaults, "PU0,0;PD10,20,30,40,50,60");
    const QPainterPath curveFirst = pathOf({ { QPainterPath::CurveToElement, { 1, 2 } },
        { QPainterPath::CurveToDataElement, { 3, 4 } }, { QPainterPath::CurveToDataElement, { 5, 6 } } });
    QTest::newRow("an item starting with a curve after a line")
        << QVariantMap() << QList<QPainterPath> { first, curveFirst }
        << expectedVectorBlock(defaults, "PU0,0;PD10,20;PDBZ1,2,3,4,5,6");
    QTest::newRow("the first element of the job may be a line")
        << QVariantMap() << QList<QPainterPath> { lineFirst }
        << expectedVectorBlock(defaults, "PD30,40,50,60");

    QPainterPath lonelyMove(QPointF(5, 6));
    QPainterPath anotherMove(QPointF(7, 8));
    anotherMove.lineTo(9, 10);
    QTest::newRow("moves of two items join")
        << QVariantMap() << QList<QPainterPath> { lonelyMove, anotherMove }
        << expectedVectorBlock(defaults, "PU5,6,7,8;PD9,10");

    QPainterPath closed(QPointF(1, 1));
    closed.lineTo(5, 1);
    closed.lineTo(5, 5);
    closed.closeSubpath();
    closed.moveTo(20, 20);
    closed.cubicTo(21, 22, 23, 24, 25, 26);
    closed.lineTo(30, 30);
    QTest::newRow("closed subpath, curve, line")
        << QVariantMap() << QList<QPainterPath> { closed }
        << expectedVectorBlock(defaults, "PU1,1;PD5,1,5,5,1,1;PU20,20;PDBZ21,22,23,24,25,26;PD30,30");

    QTest::newRow("custom vector keys")
        << QVariantMap { { "CustomvectorPower", "80" }, { "vectorSpeed", "20" }, { "CustomvectorFreq", "" } }
        << QList<QPainterPath>() << expectedVectorBlock("YP80;ZS20;XR;XS0;XP1;", "");
    QTest::newRow("speed comp enabled, power comp disabled")
        << QVariantMap { { "vectorSpeedComp", "enabled" }, { "vectorPowerComp", "disabled" } }
        << QList<QPainterPath>() << expectedVectorBlock("YP050;ZS050;XR050;XS1;XP0;", "");
    QTest::newRow("compensation tests are case-sensitive")
        << QVariantMap { { "vectorSpeedComp", "Disabled" }, { "vectorPowerComp", "enabled" } }
        << QList<QPainterPath>() << expectedVectorBlock("YP050;ZS050;XR050;XS1;XP1;", "");
    QTest::newRow("power comp any other value") << QVariantMap { { "vectorPowerComp", "whatever" } }
                                                << QList<QPainterPath>() << expectedVectorBlock(defaults, "");
}

void tst_pclGenerator::vectorBlock()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QList<QPainterPath>, paths);
    QFETCH(QByteArray, expected);
    Job job;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        job.settings.insert(it.key(), it.value().toString());
    job.paths = paths;
    const QByteArray stream = run(job);
    QVERIFY(stream.endsWith(expected + zeros()));
    // The vector block follows the settings block directly.
    QCOMPARE(stream.indexOf(esc("*b2M")) + 5, stream.size() - expected.size() - 4096);
}

void tst_pclGenerator::packBits_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QByteArray distinct130;
    for (int i = 0; i < 130; ++i)
        distinct130 += char(i);

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("one byte") << hex("5a") << hex("005a");
    QTest::newRow("pair is a repeat run") << hex("7777") << hex("ff77");
    QTest::newRow("mixed") << hex("000000ff12343434") << hex("fe0001ff12fe34");
    QTest::newRow("pair inside varied data") << hex("01020203") << hex("0001ff020003");
    QTest::newRow("literal to the end") << hex("010203") << hex("02010203");
    QTest::newRow("128 equal") << QByteArray(128, '\x11') << hex("8111");
    QTest::newRow("129 equal") << QByteArray(129, '\x11') << hex("81110011");
    QTest::newRow("130 equal") << QByteArray(130, '\x11') << hex("8111ff11");
    QTest::newRow("130 distinct") << distinct130
                                  << hex("7f") + distinct130.left(128) + hex("01") + distinct130.mid(128);
    QTest::newRow("0x80 bytes are data") << hex("8080") << hex("ff80");
}

void tst_pclGenerator::packBits()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(pclGenerator::tiffEncode(input), expected);
}

void tst_pclGenerator::packBitsOfRandomRows()
{
    // The rule written out byte by byte: a byte equal to the next starts a
    // repeat run of as many equal bytes as follow (at most 128); any other
    // starts a literal run that ends before the first byte equal to its
    // successor (at most 128 bytes). Rows of every length up to 700, from
    // alphabets of 1 to 256 values and with long runs, so that runs and
    // literals end everywhere within and across 16-byte stretches.
    const auto rule = [](const QByteArray &in) {
        QByteArray out;
        const int n = in.size();
        int i = 0;
        while (i < n) {
            if (i + 1 < n && in[i] == in[i + 1]) {
                int run = 2;
                while (i + run < n && run < 128 && in[i + run] == in[i])
                    ++run;
                out += char(257 - run);
                out += in[i];
                i += run;
            } else {
                int length = 1;
                while (i + length < n && length < 128 && !(i + length + 1 < n && in[i + length] == in[i + length + 1]))
                    ++length;
                out += char(length - 1);
                out += in.mid(i, length);
                i += length;
            }
        }
        return out;
    };
    QRandomGenerator random(77);
    for (int round = 0; round < 3000; ++round) {
        const int n = int(random.bounded(701));
        const int alphabet = 1 + int(random.bounded(random.bounded(2) ? 3 : 256));
        QByteArray row;
        while (row.size() < n) {
            const char value = char(random.bounded(alphabet));
            row += QByteArray(random.bounded(8) == 0 ? 1 + int(random.bounded(300)) : 1, value);
        }
        row.truncate(n);
        QCOMPARE(pclGenerator::tiffEncode(row), rule(row));
    }
}

void tst_pclGenerator::reverseKeepsBits()
{
    QCOMPARE(pclGenerator::reverse(hex("0102c0")), hex("c00201"));
    QCOMPARE(pclGenerator::reverse(QByteArray()), QByteArray());
}

void tst_pclGenerator::rasterBlock_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<Vexlor::SceneTile>("tiles");
    QTest::addColumn<QByteArray>("expected");

    auto tile = [](int left, int top, const QStringList &rows) {
        return qMakePair(QRect(left, top, rows.first().size(), rows.size()), tilePixmap(rows));
    };
    const QByteArray pad6 = hex("808080808080");

    QTest::newRow("white tiles") << QString()
                                 << Vexlor::SceneTile { tile(0, 0, { "........", "........" }),
                                        tile(0, 2, { "........", "........" }) }
                                 << esc("&y0O") + esc("&r1A") + esc("*rC");
    QTest::newRow("white tiles bottom-up")
        << QString("bottom") << Vexlor::SceneTile { tile(0, 0, { "........" }) }
        << esc("&y1O") + esc("&r1A") + esc("*rC");

    QTest::newRow("pixel 20 of a tile at left 100")
        << QString("top") << Vexlor::SceneTile { tile(100, 40, { "....................#..........." }) }
        << esc("&y0O") + esc("&r1A") + esc("*p40Y") + esc("*p116X") + esc("*b1A") + esc("*b8W") + hex("0008")
            + pad6 + esc("*rC");

    QTest::newRow("bits beyond the width are 0")
        << QString() << Vexlor::SceneTile { tile(0, 0, { "##########" }) }
        << esc("&y0O") + esc("&r1A") + esc("*p0Y") + esc("*p0X") + esc("*b2A") + esc("*b8W") + hex("01ffc0")
            + hex("8080808080") + esc("*rC");

    // Pixels 0..119: fifteen different bytes, a literal run of 15: 16 encoded bytes, no padding.
    QString fifteen;
    const char *bytes[]
        = { "10000000", "01000000", "11000000", "00100000", "10100000", "01100000", "11100000", "00010000",
              "10010000", "01010000", "11010000", "00110000", "10110000", "01110000", "11110000" };
    for (const char *b : bytes)
        fifteen += QString::fromLatin1(b).replace('1', '#').replace('0', '.');
    QTest::newRow("encoded row of exactly 16 bytes")
        << QString() << Vexlor::SceneTile { tile(0, 0, { fifteen }) }
        << esc("&y0O") + esc("&r1A") + esc("*p0Y") + esc("*p0X") + esc("*b15A") + esc("*b16W")
            + hex("0e8040c020a060e01090") + hex("50d030b070f0") + esc("*rC");

    // Two tiles of three rows. Tile A (top 0): row 0 pixel 0; row 1 blank;
    // row 2 pixels 7, 14, 22 and 23 (bytes 01 02 03). Tile B (top 3): row 3
    // pixels 8..15; row 4 blank; row 5 pixels 0..23.
    const Vexlor::SceneTile twoTiles {
        tile(0, 0, { "#.......................", "........................", ".......#......#.......##" }),
        tile(0, 3, { "........########........", "........................", "########################" }),
    };
    QTest::newRow("two tiles top-down alternate across the tile boundary") << QString("top") << twoTiles
                                                                           << esc("&y0O")
            + esc("&r1A")
            // y 0, forward: 80
            + esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080")
            + pad6
            // y 2, reverse: 01 02 03 sent as 03 02 01
            + esc("*p2Y") + esc("*p0X") + esc("*b-3A") + esc("*b8W") + hex("02030201")
            + hex("80808080")
            // y 3, forward: one leading zero byte skipped, ff
            + esc("*p3Y") + esc("*p8X") + esc("*b1A") + esc("*b8W") + hex("00ff")
            + pad6
            // y 5, reverse: ff ff ff
            + esc("*p5Y") + esc("*p0X") + esc("*b-3A") + esc("*b8W") + hex("feff") + pad6 + esc("*rC");
    QTest::newRow("two tiles bottom-up start with the bottom row")
        << QString("bottom") << twoTiles
        << esc("&y1O") + esc("&r1A") + esc("*p5Y") + esc("*p0X") + esc("*b3A") + esc("*b8W") + hex("feff")
            + pad6 + esc("*p3Y") + esc("*p8X") + esc("*b-1A") + esc("*b8W") + hex("00ff") + pad6 + esc("*p2Y")
            + esc("*p0X") + esc("*b3A") + esc("*b8W") + hex("02010203") + hex("80808080") + esc("*p0Y")
            + esc("*p0X") + esc("*b-1A") + esc("*b8W") + hex("0080") + pad6 + esc("*rC");
    // Three tiles, 16 pixels wide: A (top 0) one row with pixel 0; B (top 1)
    // two blank rows; C (top 3) row 3 pixels 0 and 9 (bytes 80 40), row 4
    // pixel 0. The odd row of A turns C's first row around.
    const Vexlor::SceneTile threeTiles {
        tile(0, 0, { "#..............." }),
        tile(0, 1, { "................", "................" }),
        tile(0, 3, { "#........#......", "#..............." }),
    };
    const QByteArray pad5 = hex("8080808080");
    QTest::newRow("three tiles, a blank one between, odd rows carry the direction")
        << QString("top") << threeTiles
        << esc("&y0O") + esc("&r1A")
            // y 0, forward: 80 (the zero byte after it is not sent)
            + esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080") + pad6
            // y 3, reverse: 80 40 sent as 40 80, a literal run of two
            + esc("*p3Y") + esc("*p0X") + esc("*b-2A") + esc("*b8W") + hex("014080") + pad5
            // y 4, forward: 80
            + esc("*p4Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080") + pad6 + esc("*rC");
    QTest::newRow("three tiles bottom-up")
        << QString("bottom") << threeTiles
        << esc("&y1O") + esc("&r1A") + esc("*p4Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080")
            + pad6 + esc("*p3Y") + esc("*p0X") + esc("*b-2A") + esc("*b8W") + hex("014080") + pad5
            + esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080") + pad6 + esc("*rC");
    QTest::newRow("direction test is case-sensitive")
        << QString("Bottom") << Vexlor::SceneTile { tile(0, 7, { "#......." }) }
        << esc("&y0O") + esc("&r1A") + esc("*p7Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080")
            + pad6 + esc("*rC");
}

void tst_pclGenerator::rasterBlock()
{
    QFETCH(QString, direction);
    QFETCH(Vexlor::SceneTile, tiles);
    QFETCH(QByteArray, expected);
    Job job;
    if (!direction.isNull())
        job.settings.insert("EngravingDirection", direction);
    job.tiles = tiles;
    const QByteArray stream = run(job);
    const QByteArray before = header("Untitled") + defaultSettings("-1", "-1");
    QVERIFY(stream.startsWith(before));
    QCOMPARE(stream.mid(before.size(), stream.size() - before.size() - emptyVectorBlock().size() - 4096),
        expected);
    QVERIFY(stream.endsWith(emptyVectorBlock() + zeros()));
}

void tst_pclGenerator::oneBitConversion_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<bool>("black");
    QTest::newRow("grey 127") << qRgb(127, 127, 127) << true;
    QTest::newRow("grey 128") << qRgb(128, 128, 128) << false;
    QTest::newRow("colour sum 382") << qRgb(200, 100, 82) << true;
    QTest::newRow("colour sum 383") << qRgb(200, 100, 83) << false;
    QTest::newRow("black") << qRgb(0, 0, 0) << true;
    QTest::newRow("white") << qRgb(255, 255, 255) << false;
    QTest::newRow("half transparent dark red") << qRgba(120, 0, 0, 128) << true;
    QTest::newRow("half transparent light grey") << qRgba(200, 200, 200, 128) << false;
}

void tst_pclGenerator::oneBitConversion()
{
    QFETCH(QRgb, colour);
    QFETCH(bool, black);
    QImage image(8, 1, QImage::Format_ARGB32);
    image.fill(Qt::white);
    image.setPixel(3, 0, colour);
    Job job;
    job.tiles.append({ QRect(0, 0, 8, 1), QPixmap::fromImage(image) });
    const QByteArray stream = run(job);
    const QByteArray row = esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0010");
    QCOMPARE(stream.contains(row), black);
    QCOMPARE(stream.contains(esc("&r1A") + esc("*rC")), !black);
}

void tst_pclGenerator::monoTilesAndUnusualFormats()
{
    // The same picture as a one-bit image (both colour orders), as grey and as
    // an indexed image gives the same rows.
    QImage mono(20, 2, QImage::Format_Mono);
    mono.setColorTable({ qRgb(255, 255, 255), qRgb(0, 0, 0) });
    mono.fill(0);
    mono.setPixel(0, 0, 1);
    mono.setPixel(19, 1, 1);
    QImage inverted = mono;
    inverted.invertPixels();
    inverted.setColorTable({ qRgb(0, 0, 0), qRgb(255, 255, 255) });
    const QImage lsb = mono.convertToFormat(QImage::Format_MonoLSB);
    const QImage grey = mono.convertToFormat(QImage::Format_Grayscale8);
    const QImage indexed = mono.convertToFormat(QImage::Format_Indexed8);
    const QByteArray expected = esc("&y0O") + esc("&r1A") + esc("*p0Y") + esc("*p0X") + esc("*b1A")
        + esc("*b8W") + hex("0080808080808080") + esc("*p1Y") + esc("*p16X") + esc("*b-1A") + esc("*b8W")
        + hex("0010808080808080") + esc("*rC");

    for (const QImage &image : { mono, inverted, lsb, grey, indexed }) {
        pclGenerator generator;
        QSignalSpy spy(&generator, &pclGenerator::done);
        // A bitmap pixmap keeps its one-bit image; other pixmaps hold 32-bit colour.
        QPixmap pixmap = QPixmap::fromImage(image);
        generator.setPixTiles(Vexlor::SceneTile { { QRect(0, 0, 20, 2), pixmap } });
        generator.process();
        QCOMPARE(spy.count(), 1);
        QVERIFY2(spy.first().first().toByteArray().contains(expected),
            qPrintable(QString::number(image.format())));
    }
    // The raster back end keeps QBitmap as a one-bit image.
    pclGenerator generator;
    QSignalSpy spy(&generator, &pclGenerator::done);
    generator.setPixTiles(Vexlor::SceneTile { { QRect(0, 0, 20, 2), QBitmap::fromImage(mono) } });
    generator.process();
    QVERIFY(spy.first().first().toByteArray().contains(expected));

    // Bits of a one-bit image beyond its width are not sent.
    QImage ones(10, 1, QImage::Format_Mono);
    ones.setColorTable({ qRgb(255, 255, 255), qRgb(0, 0, 0) });
    ones.fill(1);
    generator.setPixTiles(Vexlor::SceneTile { { QRect(0, 0, 10, 1), QBitmap::fromImage(ones) } });
    generator.process();
    QCOMPARE(spy.count(), 2);
    QVERIFY(spy.at(1).first().toByteArray().contains(esc("*b2A") + esc("*b8W") + hex("01ffc08080808080")));
}

void tst_pclGenerator::largeJobsTheSameOnTwoThreads()
{
    // Enough rows for two threads: three tiles, the middle one blank, rows
    // blank here and there (they are not sent and keep the direction), ink
    // starting and ending anywhere, padding bits set; top down and bottom up.
    std::mt19937 random(5150);
    Job job;
    int top = 40;
    for (const int height : { 1200, 1200, 701 }) {
        QImage bits(1203, height, QImage::Format_Mono);
        bits.setColorTable({ qRgb(255, 255, 255), qRgb(0, 0, 0) });
        bits.fill(0);
        const bool blankTile = height == 1200 && top > 40;
        for (int y = 0; y < height && !blankTile; ++y) {
            uchar *line = bits.scanLine(y);
            if (random() % 5 == 0)
                continue;
            const int from = int(random() % 150);
            const int to = from + int(random() % 151);
            for (int b = from; b < std::min(to, 151); ++b)
                line[b] = uchar(random() % 4 == 0 ? 0xff : random());
            // bits past the width: set, never sent
            line[150] |= 0x1f;
        }
        job.tiles.append({ QRect(17, top, 1203, height), QPixmap::fromImage(bits, Qt::NoFormatConversion) });
        top += height;
    }
    for (const char *direction : { "top", "bottom" }) {
        job.settings = { { QStringLiteral("EngravingDirection"), QString::fromLatin1(direction) } };
        pclGenerator::setTwoThreadRows(false);
        const QByteArray oneThread = run(job);
        pclGenerator::setTwoThreadRows(true);
        const QByteArray twoThreads = run(job);
        QVERIFY(oneThread.count(esc("*b")) > 2 * 1400);
        QCOMPARE(twoThreads.size(), oneThread.size());
        QVERIFY2(twoThreads == oneThread, direction);
    }
}

void tst_pclGenerator::rasterProgress()
{
    pclGenerator generator;
    QSignalSpy label(&generator, &pclGenerator::setLabelTextProgBar);
    QSignalSpy range(&generator, &pclGenerator::setRangeProgBar);
    QSignalSpy value(&generator, &pclGenerator::setValueProgBar);
    QSignalSpy info(&generator, &pclGenerator::info);
    QSignalSpy error(&generator, &pclGenerator::error);
    generator.setSettings(makeSettings({ { "EngravingDirection", "bottom" } }));
    generator.setPixTiles(Vexlor::SceneTile { { QRect(0, 0, 8, 2), tilePixmap({ "#.......", "........" }) },
        { QRect(0, 2, 8, 2), tilePixmap({ "........", "........" }) } });
    generator.process();
    QCOMPARE(label.count(), 1);
    QCOMPARE(label.first().first().toString(), QString("Generating Raster."));
    QCOMPARE(range.count(), 1);
    QCOMPARE(range.first().at(0).toInt(), 0);
    QCOMPARE(range.first().at(1).toInt(), 4);
    QList<int> values;
    for (const QList<QVariant> &v : qAsConst(value))
        values << v.first().toInt();
    QCOMPARE(values, (QList<int> { 3, 2, 1, 0 }));
    QCOMPARE(info.count(), 0);
    QCOMPARE(error.count(), 0);

    // No tiles: no raster block, no progress.
    label.clear();
    generator.process();
    QCOMPARE(label.count(), 0);
}

void tst_pclGenerator::completeCombinedJob()
{
    Job job;
    job.settings = { { "Title", "Box" }, { "CustomrasterPower", "70" }, { "CustomvectorSpeed", "30" },
        { "vectorPowerComp", "disabled" } };
    job.bounds = QRect(QPoint(0, 0), QPoint(15, 2));
    job.setBounds = true;
    job.tiles.append(
        { QRect(0, 0, 16, 3), tilePixmap({ "########........", "................", "........########" }) });
    QPainterPath path(QPointF(2, 1));
    path.lineTo(14, 1);
    path.lineTo(14.5, 2.5);
    job.paths.append(path);

    const QByteArray expected = esc("%-12345X@PJL JOB NAME=Box\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n")
        + esc("&y-1A") + esc("&y0V") + esc("&y0L") + esc("&y0T") + esc("&y0C") + esc("&y0Z") + esc("&l0U")
        + esc("&l0Z") + esc("&u600D") + esc("*p0X") + esc("*p0Y") + esc("*t600R") + esc("*r0F") + esc("&y70P")
        + esc("&z50S") + esc("&y50R") + esc("&z2A") + esc("*r2T") + esc("*r15S") + esc("*b2M") + esc("&y0O")
        + esc("&r1A") + esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("00ff808080808080")
        + esc("*p2Y") + esc("*p8X") + esc("*b-1A") + esc("*b8W") + hex("00ff808080808080") + esc("*rC")
        + esc("%1BIN;YP050;ZS30;XR050;XS0;XP0;LTPU2,1;PD14,1,14,2;") + esc("%0B") + esc("%1BPU") + esc("E")
        + esc("%-12345X@PJL EOJ \r\n") + QByteArray(4096, '\0');
    QCOMPARE(run(job), expected);
}

void tst_pclGenerator::queuedJobOnWorkerThread()
{
    // The generator on a thread of its own, driven through string-based
    // queued connections with the signatures the window uses.
    QThread thread;
    auto *generator = new pclGenerator;
    generator->moveToThread(&thread);
    connect(&thread, &QThread::finished, generator, &QObject::deleteLater);
    thread.start();

    JobSender sender;
    QVERIFY(
        connect(&sender, SIGNAL(sendSettings(vexlorSettings)), generator, SLOT(setSettings(vexlorSettings))));
    QVERIFY(connect(&sender, SIGNAL(sendVectors(VectorList)), generator, SLOT(getVectors(VectorList))));
    QVERIFY(connect(&sender, SIGNAL(sendBoundingRect(QRect)), generator, SLOT(getBoundingRect(QRect))));
    QVERIFY(connect(
        &sender, SIGNAL(sendTiles(Vexlor::SceneTile)), generator, SLOT(setPixTiles(Vexlor::SceneTile))));
    QVERIFY(connect(&sender, SIGNAL(startProcess()), generator, SLOT(process())));
    QSignalSpy done(generator, SIGNAL(done(QByteArray)));
    QSignalSpy range(generator, SIGNAL(setRangeProgBar(int, int)));

    emit sender.sendSettings(makeSettings({ { "Title", "Threaded" } }));
    VectorList vectors;
    LaserOp::LaserOp item;
    item.type = LaserOp::CutLine;
    item.path = QPainterPath(QPointF(3, 4));
    vectors.items.append(item);
    emit sender.sendVectors(vectors);
    emit sender.sendBoundingRect(QRect(QPoint(0, 0), QPoint(7, 0)));
    emit sender.sendTiles(Vexlor::SceneTile { { QRect(0, 0, 8, 1), tilePixmap({ "#......." }) } });
    emit sender.startProcess();

    QTRY_COMPARE(done.count(), 1);
    const QByteArray stream = done.first().first().toByteArray();
    QVERIFY(stream.startsWith(header("Threaded")));
    QVERIFY(stream.contains(esc("*r0T") + esc("*r7S")));
    QVERIFY(stream.contains(esc("*p0Y") + esc("*p0X") + esc("*b1A") + esc("*b8W") + hex("0080")));
    QVERIFY(stream.contains("LTPU3,4;"));
    QCOMPARE(range.count(), 1);

    thread.quit();
    QVERIFY(thread.wait());
}

QTEST_MAIN(tst_pclGenerator)
#include "tst_pclgenerator.moc"
