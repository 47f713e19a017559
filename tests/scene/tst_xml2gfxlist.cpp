#include "vexlortypes.h"
#include "xml2gfxlist.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace {

// The table at 100 dots per inch: corners (0, 0) and (4000, 2800), edges included.
const QRect table100(QPoint(0, 0), QPoint(4000, 2800));

// What one call of processGSOutput() gave.
struct SceneResult
{
    int itemSignals = 0;
    Vexlor::LaserItemList items;
    Vexlor::WidthList widths;
    bool outOfBounds = false;
    QStringList errors;
    QStringList infos;
    QStringList widthTexts;
    QStringList heightTexts;
};

class SceneFixture
{
public:
    SceneFixture()
        : reader(QDir(dir.path()))
    {
        reader.setTableRect(table100);
    }

    void writeRaw(const QByteArray &bytes)
    {
        QFile file(dir.filePath("o.xml"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    void writeScene(const QByteArray &body)
    {
        writeRaw("<?xml version=\"1.0\"?>\n<scene>" + body + "</scene>\n");
    }
    void writeSideFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    SceneResult run()
    {
        SceneResult result;
        QObject context;
        QObject::connect(
            &reader, &xml2gfxList::sendItems, &context, [&result](const Vexlor::LaserItemList &list) {
                ++result.itemSignals;
                result.items = list;
            });
        QObject::connect(&reader, &xml2gfxList::sendWidths, &context,
            [&result](const Vexlor::WidthList &list) { result.widths = list; });
        QObject::connect(
            &reader, &xml2gfxList::itemOutOfBounds, &context, [&result] { result.outOfBounds = true; });
        QObject::connect(
            &reader, &xml2gfxList::error, &context, [&result](const QString &e) { result.errors << e; });
        QObject::connect(
            &reader, &xml2gfxList::info, &context, [&result](const QString &i) { result.infos << i; });
        QObject::connect(
            &reader, &xml2gfxList::width, &context, [&result](const QString &w) { result.widthTexts << w; });
        QObject::connect(&reader, &xml2gfxList::height, &context,
            [&result](const QString &h) { result.heightTexts << h; });
        reader.processGSOutput();
        return result;
    }

    SceneResult runScene(const QByteArray &body)
    {
        writeScene(body);
        return run();
    }

    QTemporaryDir dir;
    xml2gfxList reader;
};

QByteArray fillPath(const QByteArray &segments, const QByteArray &clip = QByteArray(),
    const QByteArray &color = "0xff0000", const QByteArray &rule = "nonzero")
{
    return "<fill_path color=\"" + color + "\" rule=\"" + rule + "\"><path>" + segments + "</path><clippath/>"
        + clip + "</fill_path>";
}

QByteArray squareSegments(double x, double y, double w, double h)
{
    const auto pt
        = [](double px, double py) { return QByteArray::number(px) + "," + QByteArray::number(py); };
    return "<moveto>" + pt(x, y) + "</moveto><lineto>" + pt(x + w, y) + "</lineto><lineto>" + pt(x + w, y + h)
        + "</lineto><lineto>" + pt(x, y + h) + "</lineto><closepath/>";
}

// A raw raster file: header x, y, then records of column, row, count, pixels.
struct RasterRecord
{
    qint32 column;
    qint32 row;
    qint32 count;
    QVector<quint32> pixels;
};

void appendInt(QByteArray *bytes, quint32 value)
{
    char buffer[4];
    qToLittleEndian(value, buffer);
    bytes->append(buffer, 4);
}

QByteArray rasterFile(const QVector<RasterRecord> &records)
{
    QByteArray bytes;
    appendInt(&bytes, 7);
    appendInt(&bytes, 9);
    for (const RasterRecord &record : records) {
        appendInt(&bytes, quint32(record.column));
        appendInt(&bytes, quint32(record.row));
        appendInt(&bytes, quint32(record.count));
        for (quint32 pixel : record.pixels)
            appendInt(&bytes, pixel);
    }
    return bytes;
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class tst_Xml2GfxList : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void pointSegments_data();
    void pointSegments();
    void curveFields_data();
    void curveFields();
    void deviceColors_data();
    void deviceColors();
    void fillRules_data();
    void fillRules();
    void strokeAttributes_data();
    void strokeAttributes();
    void rectItems_data();
    void rectItems();
    void rectWithEndTagIsOneItem();
    void pageSize();
    void tableBounds_data();
    void tableBounds();
    void strokedPathElementCount();
    void clipAccumulatorIntersects();
    void outlineRepeatsWithoutClippath();
    void secondSceneKeepsDrawingState();
    void rasterRecords();
    void rasterSizeAgainstTable_data();
    void rasterSizeAgainstTable();
    void malformedRasters_data();
    void malformedRasters();
    void missingRasterFile();
    void imageFilePlacement();
    void imageFileClippedByAccumulator();
    void pictureFilesKeepTheirPixels();
    void imageOnTheTableUnderALargerClip();
    void imageFileThatDoesNotLoad();
    void embeddedImage();
    void brokenScenes_data();
    void brokenScenes();
    void missingSceneEmitsNothing();
    void manyItems();
    void beyondTheRange_data();
    void beyondTheRange();
    void imagesBeyondTheRange();
};

void tst_Xml2GfxList::pointSegments_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QPointF>("point");

    QTest::newRow("pair") << QByteArray("12.5,40") << QPointF(12.5, 40);
    QTest::newRow("single number is both") << QByteArray("5") << QPointF(5, 5);
    QTest::newRow("empty is origin") << QByteArray("") << QPointF(0, 0);
    QTest::newRow("first and last of three") << QByteArray("1,2,3") << QPointF(1, 3);
    QTest::newRow("not a number reads 0") << QByteArray("abc,7") << QPointF(0, 7);
    QTest::newRow("beyond float reads 0") << QByteArray("1e40,7") << QPointF(0, 7);
    QTest::newRow("nan reads 0") << QByteArray("nan,inf") << QPointF(0, 0);
    // Single precision, as the device wrote it, then widened.
    QTest::newRow("float precision") << QByteArray("0.1,1234.567")
                                     << QPointF(double(0.1f), double(1234.567f));
}

void tst_Xml2GfxList::pointSegments()
{
    QFETCH(QByteArray, text);
    QFETCH(QPointF, point);
    SceneFixture fixture;
    const SceneResult moved
        = fixture.runScene(fillPath("<moveto>" + text + "</moveto><lineto>300,300</lineto>"));
    QCOMPARE(moved.items.size(), 1);
    const QPainterPath path = moved.items.first().path;
    QCOMPARE(path.elementCount(), 2);
    QCOMPARE(path.elementAt(0).type, QPainterPath::MoveToElement);
    QCOMPARE(QPointF(path.elementAt(0)), point);

    const SceneResult lined
        = fixture.runScene(fillPath("<moveto>300,300</moveto><lineto>" + text + "</lineto>"));
    QCOMPARE(lined.items.size(), 1);
    QCOMPARE(lined.items.first().path.elementAt(1).type, QPainterPath::LineToElement);
    QCOMPARE(QPointF(lined.items.first().path.elementAt(1)), point);
}

void tst_Xml2GfxList::curveFields_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("pairs separated by spaces") << QByteArray("10,20 30,40 50,60") << true;
    QTest::newRow("all commas") << QByteArray("10,20,30,40,50,60") << true;
    QTest::newRow("all spaces") << QByteArray("10 20 30 40 50 60") << true;
    QTest::newRow("comma and space between each") << QByteArray("10, 20, 30, 40, 50, 60") << false;
    QTest::newRow("double space") << QByteArray("10,20  30,40 50,60") << false;
    QTest::newRow("two points") << QByteArray("10,20 30,40") << false;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("seven numbers") << QByteArray("10,20 30,40 50,60 70") << false;
}

void tst_Xml2GfxList::curveFields()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene(
        fillPath("<moveto>0,0</moveto><lineto>5,5</lineto><curveto>" + text + "</curveto><closepath/>"));
    QCOMPARE(result.items.size(), 1);
    const QPainterPath path = result.items.first().path;
    const QString message("A curve did not have the proper number of points");
    if (accepted) {
        QVERIFY(!result.errors.contains(message));
        // move, line, curve (three elements), close (a line back to the start)
        QCOMPARE(path.elementCount(), 6);
        QCOMPARE(path.elementAt(2).type, QPainterPath::CurveToElement);
        QCOMPARE(QPointF(path.elementAt(2)), QPointF(10, 20));
        QCOMPARE(QPointF(path.elementAt(3)), QPointF(30, 40));
        QCOMPARE(QPointF(path.elementAt(4)), QPointF(50, 60));
    } else {
        QCOMPARE(result.errors.count(message), 1);
        QCOMPARE(path.elementCount(), 3);
        QVERIFY(path.elementAt(2).type != QPainterPath::CurveToElement);
    }
}

void tst_Xml2GfxList::deviceColors_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QByteArray>("color");
    QTest::addColumn<QColor>("expected");
    QTest::addColumn<QString>("error");

    QTest::newRow("fill 0x") << QByteArray("fill_path") << QByteArray("0xff8000") << QColor(255, 128, 0)
                             << QString();
    QTest::newRow("fill plain hex") << QByteArray("fill_path") << QByteArray("00ff00") << QColor(0, 255, 0)
                                    << QString("We have a weird color for a fill");
    QTest::newRow("fill hash is black") << QByteArray("fill_path") << QByteArray("#ff0000") << QColor(0, 0, 0)
                                        << QString("We have a weird color for a fill");
    QTest::newRow("fill bare prefix is black")
        << QByteArray("fill_path") << QByteArray("0x") << QColor(0, 0, 0) << QString();
    QTest::newRow("stroke 0x") << QByteArray("stroke_path") << QByteArray("0x0000ff") << QColor(0, 0, 255)
                               << QString();
    QTest::newRow("stroke missing") << QByteArray("stroke_path") << QByteArray("") << QColor(0, 0, 0)
                                    << QString("We have a weird color for a stroke");
}

void tst_Xml2GfxList::deviceColors()
{
    QFETCH(QByteArray, element);
    QFETCH(QByteArray, color);
    QFETCH(QColor, expected);
    QFETCH(QString, error);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene("<" + element + " color=\"" + color
        + "\" width=\"1\"><path><moveto>1,1</moveto><lineto>9,9</lineto>"
          "</path><clippath/></"
        + element + ">");
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    const QColor got = element == "fill_path" ? item.brush.color() : item.pen.color();
    QCOMPARE(got, expected);
    QCOMPARE(got.alpha(), 255);
    if (error.isEmpty())
        QVERIFY(result.errors.isEmpty());
    else
        QCOMPARE(result.errors, QStringList { error });
}

void tst_Xml2GfxList::fillRules_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("rule");

    QTest::newRow("even-odd") << fillPath(squareSegments(1, 1, 9, 9), {}, "0x000000", "even-odd")
                              << int(Qt::OddEvenFill);
    QTest::newRow("nonzero") << fillPath(squareSegments(1, 1, 9, 9), {}, "0x000000", "nonzero")
                             << int(Qt::WindingFill);
    QTest::newRow("empty rule") << fillPath(squareSegments(1, 1, 9, 9), {}, "0x000000", "")
                                << int(Qt::WindingFill);
    // A path before any fill rule was read gets the winding rule.
    QTest::newRow("path before any fill") << QByteArray("<path>" + squareSegments(1, 1, 9, 9)
        + "</path><clippath/><stroke_path color=\"0x0\" width=\"1\">"
          "</stroke_path>") << int(Qt::WindingFill);
    QTest::newRow("rect evenOdd") << QByteArray(
        "<rect x=\"1\" y=\"1\" width=\"5\" height=\"5\" fill=\"#000000\" "
        "stroke=\"none\" fillRule=\"evenOdd\"/>")
                                  << int(Qt::OddEvenFill);
}

void tst_Xml2GfxList::fillRules()
{
    QFETCH(QByteArray, body);
    QFETCH(int, rule);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene(body);
    QCOMPARE(result.items.size(), 1);
    QCOMPARE(int(result.items.first().path.fillRule()), rule);
}

void tst_Xml2GfxList::strokeAttributes_data()
{
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<double>("width");
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("join");
    QTest::addColumn<double>("miter");

    QTest::newRow("round cap, bevel join") << QByteArray("width=\"2\" cap=\"1\" join=\"2\" miter=\"4\"")
                                           << 2.0 << int(Qt::RoundCap) << int(Qt::BevelJoin) << 4.0;
    QTest::newRow("square cap, round join") << QByteArray("width=\"0.5\" cap=\"2\" join=\"1\" miter=\"10.5\"")
                                            << 0.5 << int(Qt::SquareCap) << int(Qt::RoundJoin) << 10.5;
    QTest::newRow("other values: flat, miter") << QByteArray("width=\"3\" cap=\"0\" join=\"7\" miter=\"x\"")
                                               << 3.0 << int(Qt::FlatCap) << int(Qt::MiterJoin) << 0.0;
    QTest::newRow("nothing given") << QByteArray("") << 0.0 << int(Qt::FlatCap) << int(Qt::MiterJoin) << 0.0;
}

void tst_Xml2GfxList::strokeAttributes()
{
    QFETCH(QByteArray, attributes);
    QFETCH(double, width);
    QFETCH(int, cap);
    QFETCH(int, join);
    QFETCH(double, miter);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene("<stroke_path color=\"0x102030\" " + attributes
        + "><path><moveto>1,1</moveto><lineto>50,1</lineto></path>"
          "<clippath/></stroke_path>");
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(LaserOp::CutLine));
    QCOMPARE(item.brush.style(), Qt::NoBrush);
    QCOMPARE(item.pen.color(), QColor(0x10, 0x20, 0x30));
    QCOMPARE(item.pen.widthF(), width);
    QCOMPARE(int(item.pen.capStyle()), cap);
    QCOMPARE(int(item.pen.joinStyle()), join);
    QCOMPARE(item.pen.miterLimit(), miter);
    QCOMPARE(result.widths, Vexlor::WidthList({ width }));
}

void tst_Xml2GfxList::rectItems_data()
{
    QTest::addColumn<QByteArray>("fill");
    QTest::addColumn<QByteArray>("stroke");
    QTest::addColumn<int>("type");
    QTest::addColumn<QColor>("brushColor"); // invalid: no brush
    QTest::addColumn<QColor>("penColor"); // invalid: no pen

    QTest::newRow("fill only") << QByteArray("#ff0000") << QByteArray("none") << int(LaserOp::EngravedPath)
                               << QColor(255, 0, 0) << QColor();
    QTest::newRow("stroke only") << QByteArray("none") << QByteArray("#0000ff") << int(LaserOp::CutLine)
                                 << QColor() << QColor(0, 0, 255);
    QTest::newRow("fill and stroke keeps the pen")
        << QByteArray("#ff0000") << QByteArray("#00ff00") << int(LaserOp::EngravedPath) << QColor(255, 0, 0)
        << QColor(0, 255, 0);
    // Nothing to paint: hidden, so that it is neither engraved nor cut.
    QTest::newRow("neither") << QByteArray("none") << QByteArray("none") << int(LaserOp::Hidden) << QColor()
                             << QColor();
    QTest::newRow("empty fill is transparent")
        << QByteArray("") << QByteArray("none") << int(LaserOp::EngravedPath) << QColor(0, 0, 0, 0)
        << QColor();
}

void tst_Xml2GfxList::rectItems()
{
    QFETCH(QByteArray, fill);
    QFETCH(QByteArray, stroke);
    QFETCH(int, type);
    QFETCH(QColor, brushColor);
    QFETCH(QColor, penColor);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene("<rect x=\"10\" y=\"20\" width=\"30\" height=\"40\" fill=\""
        + fill + "\" stroke=\"" + stroke + "\" stroke-width=\"3\"/>");
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(type));
    QCOMPARE(item.path.boundingRect(), QRectF(10, 20, 30, 40));
    QVERIFY(item.clipPath.isEmpty());
    if (brushColor.isValid()) {
        QCOMPARE(item.brush.style(), Qt::SolidPattern);
        QCOMPARE(item.brush.color(), brushColor);
        QCOMPARE(item.brush.color().alpha(), brushColor.alpha());
    } else {
        QCOMPARE(item.brush.style(), Qt::NoBrush);
    }
    if (penColor.isValid()) {
        QCOMPARE(item.pen.style(), Qt::SolidLine);
        QCOMPARE(item.pen.color(), penColor);
        QCOMPARE(item.pen.widthF(), 3.0);
    } else {
        QCOMPARE(item.pen.style(), Qt::NoPen);
    }
}

void tst_Xml2GfxList::rectWithEndTagIsOneItem()
{
    SceneFixture fixture;
    const SceneResult result = fixture.runScene(
        "<rect x=\"1\" y=\"1\" width=\"5\" height=\"5\" fill=\"#ff0000\" stroke=\"none\"></rect>"
        "<rect x=\"2\" y=\"2\" width=\"5\" height=\"5\" fill=\"#00ff00\" stroke=\"none\"/>");
    QCOMPARE(result.items.size(), 2);
    QCOMPARE(result.items.at(0).brush.color(), QColor(Qt::red));
    QCOMPARE(result.items.at(1).brush.color(), QColor(Qt::green));
}

void tst_Xml2GfxList::pageSize()
{
    SceneFixture fixture;
    const SceneResult result
        = fixture.runScene("<BoundingBox>\n<width>24000</width>\n<height>16800</height>\n</BoundingBox>");
    QCOMPARE(result.widthTexts, QStringList { "24000" });
    QCOMPARE(result.heightTexts, QStringList { "16800" });
    QVERIFY(result.infos.contains("Width: 24000"));
    QVERIFY(result.infos.contains("Height: 16800"));
    QVERIFY(result.infos.contains("EndElement"));
    QCOMPARE(result.infos.first(), QString("Reading image from: /tmp/GSTemp/o.xml"));
    QCOMPARE(result.infos.last(), QString("Reached xml end... done"));
    QVERIFY(result.items.isEmpty());
    QCOMPARE(result.itemSignals, 1);
}

void tst_Xml2GfxList::tableBounds_data()
{
    QTest::addColumn<QRectF>("outline");
    QTest::addColumn<QRectF>("clip"); // null: no clip path
    QTest::addColumn<bool>("kept");

    QTest::newRow("inside") << QRectF(10, 10, 100, 100) << QRectF() << true;
    QTest::newRow("past the right edge") << QRectF(3950, 10, 100, 100) << QRectF() << false;
    QTest::newRow("past the edge, clipped to the table")
        << QRectF(3950, 10, 100, 100) << QRectF(0, 0, 4000, 2800) << true;
    QTest::newRow("clip past the edge, outline inside")
        << QRectF(10, 10, 100, 100) << QRectF(0, 0, 4100, 2800) << true;
    QTest::newRow("both past the edge") << QRectF(3950, 10, 100, 100) << QRectF(3000, 0, 1200, 100) << false;
    QTest::newRow("ends on the far corner") << QRectF(3901, 2701, 100, 100) << QRectF() << true;
    QTest::newRow("one pixel past the corner") << QRectF(3902, 2701, 100, 100) << QRectF() << false;
    QTest::newRow("half rounds up, still on") << QRectF(3900.5, 10, 100, 100) << QRectF() << true;
    QTest::newRow("half rounds up, past") << QRectF(3901.5, 10, 100, 100) << QRectF() << false;
    QTest::newRow("minus half rounds to 0") << QRectF(-0.5, 10, 100, 100) << QRectF() << true;
    QTest::newRow("left of the table") << QRectF(-0.6, 10, 100, 100) << QRectF() << false;
    QTest::newRow("far away") << QRectF(5e6, 5e6, 100, 100) << QRectF() << false;
}

void tst_Xml2GfxList::tableBounds()
{
    QFETCH(QRectF, outline);
    QFETCH(QRectF, clip);
    QFETCH(bool, kept);
    SceneFixture fixture;
    const QByteArray clipSegments
        = clip.isNull() ? QByteArray() : squareSegments(clip.x(), clip.y(), clip.width(), clip.height());
    const SceneResult result = fixture.runScene(
        fillPath(squareSegments(outline.x(), outline.y(), outline.width(), outline.height()), clipSegments));
    QCOMPARE(result.items.size(), kept ? 1 : 0);
    QCOMPARE(result.outOfBounds, !kept);
    if (kept) {
        const LaserOp::LaserOp item = result.items.first();
        QCOMPARE(item.type, qint32(LaserOp::EngravedPath));
        // Nothing is cut here: the whole outline travels with its clip.
        QCOMPARE(item.path.boundingRect(),
            QRectF(QPointF(float(outline.left()), float(outline.top())),
                QPointF(float(outline.right()), float(outline.bottom()))));
        QCOMPARE(item.clipPath.boundingRect(), clip.isNull() ? QRectF() : clip);
        QCOMPARE(item.pen.style(), Qt::NoPen);
        QCOMPARE(item.brush.color(), QColor(Qt::red));
    }
}

void tst_Xml2GfxList::strokedPathElementCount()
{
    SceneFixture fixture;
    SceneResult result = fixture.runScene("<stroke_path color=\"0x0\" width=\"2\"><path><moveto>5,5</moveto>"
                                          "<lineto>60,5</lineto></path><clippath/></stroke_path>");
    QCOMPARE(result.items.size(), 1);

    SceneFixture lone;
    result = lone.runScene("<stroke_path color=\"0x0\" width=\"2\"><path><moveto>5,5</moveto></path>"
                           "<clippath/></stroke_path>");
    QVERIFY(result.items.isEmpty());
    QVERIFY(!result.outOfBounds);

    // Three strokes of width 2 give three 2s, in document order, with the item count unchanged.
    SceneFixture three;
    QByteArray body;
    for (int i = 0; i < 3; ++i)
        body
            += "<stroke_path color=\"0x0\" width=\"2\"><path><moveto>5,5</moveto><lineto>60,5</lineto></path>"
               "<clippath/></stroke_path>";
    result = three.runScene(body + "<stroke_path color=\"0x0\" width=\"0.25\"></stroke_path>");
    QCOMPARE(result.widths, Vexlor::WidthList({ 2, 2, 2, 0.25 }));
}

void tst_Xml2GfxList::clipAccumulatorIntersects()
{
    // Two clip rectangles built piecewise; the image placed after them is
    // clipped to their intersection and tested by it.
    SceneFixture fixture;
    QImage picture(50, 50, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    fixture.writeSideFile("pic.png", pngBytes(picture));
    const SceneResult result = fixture.runScene("<path>" + squareSegments(100, 100, 200, 200)
        + "<newclippath/>" + squareSegments(200, 150, 300, 100)
        + "<newclippath/></path><image xx=\"5000\" xy=\"0\" yx=\"0\" yy=\"5000\" tx=\"0\" ty=\"5000\" "
          "width=\"50\" "
          "height=\"50\"/><imfile>pic.png</imfile>");
    // The image itself lies far off the table; the clip in force lies on it.
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(LaserOp::Image));
    QCOMPARE(item.clipPath.boundingRect(), QRectF(200, 150, 100, 100));
    QCOMPARE(item.pixmap.size(), QSize(50, 50));

    // A piece of fewer than two elements empties the accumulator.
    SceneFixture emptied;
    emptied.writeSideFile("pic.png", pngBytes(picture));
    const SceneResult none = emptied.runScene("<path>" + squareSegments(100, 100, 200, 200)
        + "<newclippath/><moveto>1,1</moveto><newclippath/></path>"
        + "<image xx=\"50\" xy=\"0\" yx=\"0\" yy=\"50\" tx=\"10\" ty=\"60\" width=\"50\" height=\"50\"/>"
          "<imfile>pic.png</imfile>");
    QCOMPARE(none.items.size(), 1);
    QVERIFY(none.items.first().clipPath.elementCount() < 3);
}

void tst_Xml2GfxList::outlineRepeatsWithoutClippath()
{
    SceneFixture fixture;
    const SceneResult result = fixture.runScene("<fill_path color=\"0x00ff00\" rule=\"\"></fill_path>"
        + fillPath(squareSegments(10, 10, 20, 20))
        + "<fill_path color=\"0x0000ff\" rule=\"\"><path><moveto>1,1</moveto></path></fill_path>");
    // The first has no outline yet; the third repeats the second's with its own colour.
    QCOMPARE(result.items.size(), 2);
    QCOMPARE(result.items.at(0).brush.color(), QColor(Qt::red));
    QCOMPARE(result.items.at(1).brush.color(), QColor(Qt::blue));
    QCOMPARE(result.items.at(1).path, result.items.at(0).path);
}

void tst_Xml2GfxList::secondSceneKeepsDrawingState()
{
    SceneFixture fixture;
    QImage picture(10, 10, QImage::Format_RGB32);
    picture.fill(Qt::red);
    fixture.writeSideFile("pic.png", pngBytes(picture));
    const SceneResult first = fixture.runScene(
        "<stroke_path color=\"0x00ff00\" width=\"4\"><path><moveto>5,5</moveto><lineto>60,5</lineto></path>"
        "<clippath/></stroke_path><path>"
        + squareSegments(0, 0, 500, 500)
        + "<newclippath/></path><image xx=\"10\" xy=\"0\" yx=\"0\" yy=\"10\" tx=\"100\" ty=\"110\" "
          "width=\"10\" "
          "height=\"10\"/>");
    QCOMPARE(first.items.size(), 1);
    QCOMPARE(first.widths.size(), 1);

    // Items and widths start empty; the clip accumulator, the image placement
    // and the stroke are still those of the first scene.
    const SceneResult second = fixture.runScene(
        "<imfile>pic.png</imfile><stroke_path width=\"1\" color=\"0x0000ff\"></stroke_path>");
    QCOMPARE(second.widths, Vexlor::WidthList({ 1 }));
    QCOMPARE(second.items.size(), 2);
    const LaserOp::LaserOp image = second.items.at(0);
    QCOMPARE(image.type, qint32(LaserOp::Image));
    QCOMPARE(image.clipPath.boundingRect(), QRectF(0, 0, 500, 500));
    QCOMPARE(image.transform.map(QPointF(0, 0)), QPointF(100, 120));
    // The stroke ends with the outline of the first scene and the new pen.
    QCOMPARE(second.items.at(1).pen.color(), QColor(Qt::blue));
    QCOMPARE(second.items.at(1).path.boundingRect(), QRectF(5, 5, 55, 0));
}

void tst_Xml2GfxList::rasterRecords()
{
    SceneFixture fixture;
    fixture.writeSideFile("r.raw", rasterFile({ { 10, 20, 3, { 0xffff0000, 0x8000ff00, 0xff0000ff } } }));
    const SceneResult result = fixture.runScene("<raster>r.raw</raster>");
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(LaserOp::Image));
    QVERIFY(item.path.isEmpty());
    QVERIFY(item.clipPath.isEmpty());
    QCOMPARE(item.pixmap.size(), QSize(3, 1));
    QCOMPARE(item.transform, QTransform::fromTranslate(10, 20));
    const QImage image = item.pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(image.pixel(0, 0), 0xffff0000u);
    QCOMPARE(qAlpha(image.pixel(1, 0)), 0x80);
    QVERIFY(qAbs(qGreen(image.pixel(1, 0)) - 0xff) <= 2);
    QCOMPARE(image.pixel(2, 0), 0xff0000ffu);
    QVERIFY(result.infos.contains("The file has x: 7"));
    QVERIFY(result.infos.contains("The file has y: 9"));
    QVERIFY(result.infos.contains("Read Image."));
    QVERIFY(result.errors.isEmpty());

    // Two records on rows apart: the gap between them stays transparent.
    SceneFixture gap;
    gap.writeSideFile(
        "g.raw", rasterFile({ { 5, 2, 2, { 0xff000000, 0xff000000 } }, { 4, 4, 1, { 0xffffffff } } }));
    const SceneResult gapped = gap.runScene("<raster>g.raw</raster>");
    QCOMPARE(gapped.items.size(), 1);
    const QImage spread = gapped.items.first().pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(spread.size(), QSize(3, 3));
    QCOMPARE(gapped.items.first().transform, QTransform::fromTranslate(4, 2));
    QCOMPARE(spread.pixel(1, 0), 0xff000000u);
    QCOMPARE(spread.pixel(0, 0), 0u);
    QCOMPARE(spread.pixel(0, 1), 0u);
    QCOMPARE(spread.pixel(0, 2), 0xffffffffu);
}

void tst_Xml2GfxList::rasterSizeAgainstTable_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("kept");

    // Only the size is tested, not where the raster lies.
    QTest::newRow("500 x 300 near the corner") << 3900 << 2700 << 500 << 300 << true;
    QTest::newRow("4100 wide") << 0 << 0 << 4100 << 10 << false;
    QTest::newRow("as large as the table") << 0 << 0 << 4001 << 2801 << true;
    QTest::newRow("one row too many") << 0 << 0 << 4001 << 2802 << false;
}

void tst_Xml2GfxList::rasterSizeAgainstTable()
{
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, kept);
    SceneFixture fixture;
    // A full first row and an empty record on the last row span the size.
    fixture.writeSideFile("r.raw",
        rasterFile({ { column, row, width, QVector<quint32>(width, 0xff102030) },
            { column, row + height - 1, 0, {} } }));
    const SceneResult result = fixture.runScene("<raster>r.raw</raster>");
    QCOMPARE(result.items.size(), kept ? 1 : 0);
    QCOMPARE(result.outOfBounds, !kept);
    if (kept) {
        QCOMPARE(result.items.first().pixmap.size(), QSize(width, height));
        QCOMPARE(result.items.first().transform, QTransform::fromTranslate(column, row));
    }
}

void tst_Xml2GfxList::malformedRasters_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QSize>("size"); // empty: no item
    QTest::addColumn<bool>("reported");

    const RasterRecord good { 0, 0, 2, { 0xff000000, 0xff000000 } };
    const RasterRecord second { 0, 1, 4, { 1, 2, 3, 4 } };
    QByteArray negative = rasterFile({ good });
    appendInt(&negative, 0);
    appendInt(&negative, 5);
    appendInt(&negative, quint32(-3));
    negative += QByteArray(64, '\0');
    QTest::newRow("negative count keeps the records before") << negative << QSize(2, 1) << true;

    QByteArray pastEnd = rasterFile({ good });
    appendInt(&pastEnd, 0);
    appendInt(&pastEnd, 5);
    appendInt(&pastEnd, 1000);
    pastEnd += QByteArray(40, '\0');
    QTest::newRow("count past the end") << pastEnd << QSize(2, 1) << true;

    QByteArray hugeCount = rasterFile({ good, second });
    appendInt(&hugeCount, 0);
    appendInt(&hugeCount, 2);
    appendInt(&hugeCount, 0x7fffffff);
    QTest::newRow("count near the int limit") << hugeCount << QSize(4, 2) << true;

    QTest::newRow("record cut short")
        << rasterFile({ good, second }) + QByteArray(7, '\1') << QSize(4, 2) << true;
    QTest::newRow("only a broken first record") << rasterFile({}) + QByteArray(11, '\1') << QSize() << true;
    QTest::newRow("header cut short") << QByteArray(5, '\0') << QSize() << true;
    // No records: an empty image, which never lies on the table.
    QTest::newRow("header only") << rasterFile({}) << QSize() << false;
    QTest::newRow("empty file") << QByteArray() << QSize() << false;
    // Bounds that would take gigabytes are refused before anything is allocated.
    QTest::newRow("column two billion")
        << rasterFile({ good, { 2000000000, 0, 1, { 0xff000000 } } }) << QSize() << true;
    QTest::newRow("rows two billion apart")
        << rasterFile({ { 0, -1000000000, 1, { 1 } }, { 0, 1000000000, 1, { 1 } } }) << QSize() << true;
}

void tst_Xml2GfxList::malformedRasters()
{
    QFETCH(QByteArray, file);
    QFETCH(QSize, size);
    QFETCH(bool, reported);
    SceneFixture fixture;
    fixture.writeSideFile("bad.raw", file);
    const SceneResult result
        = fixture.runScene("<raster>bad.raw</raster>" + fillPath(squareSegments(1, 1, 5, 5)));
    QCOMPARE(result.errors.isEmpty(), !reported);
    // The scene goes on after the raster.
    QCOMPARE(result.items.last().type, qint32(LaserOp::EngravedPath));
    if (size.isEmpty()) {
        QCOMPARE(result.items.size(), 1);
        QVERIFY(result.outOfBounds);
    } else {
        QCOMPARE(result.items.size(), 2);
        QCOMPARE(result.items.first().pixmap.size(), size);
        QVERIFY(!result.outOfBounds);
    }
}

void tst_Xml2GfxList::missingRasterFile()
{
    SceneFixture fixture;
    const SceneResult result = fixture.runScene("<raster>absent.raw</raster>");
    QCOMPARE(result.errors, QStringList { "Could not open raster file" });
    QVERIFY(result.items.isEmpty());
    QVERIFY(!result.outOfBounds);
}

void tst_Xml2GfxList::imageFilePlacement()
{
    SceneFixture fixture;
    QImage picture(10, 20, QImage::Format_RGB32);
    picture.fill(Qt::green);
    fixture.writeSideFile("img.png", pngBytes(picture));
    // An upright image of 10 x 20 pixels shown 10 x 20 device pixels large at
    // (100, 300) in the device's y-up image space.
    const SceneResult result = fixture.runScene(
        "<image xx=\"10\" xy=\"0\" yx=\"0\" yy=\"20\" tx=\"100\" ty=\"300\" width=\"10\" height=\"20\"/>"
        "<imfile>\n  img .png \n</imfile>");
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(LaserOp::Image));
    QVERIFY(item.clipPath.isEmpty());
    QVERIFY(item.path.isEmpty());
    QCOMPARE(item.pixmap.size(), QSize(10, 20));
    QCOMPARE(item.transform.map(QPointF(0, 0)), QPointF(100, 320));
    QCOMPARE(item.transform.map(QPointF(10, 20)), QPointF(110, 300));

    // The same image placed beyond the table's right edge is left out.
    const SceneResult outside = fixture.runScene(
        "<image xx=\"10\" xy=\"0\" yx=\"0\" yy=\"20\" tx=\"3995\" ty=\"300\" width=\"10\" height=\"20\"/>"
        "<imfile>img.png</imfile>");
    QVERIFY(outside.items.isEmpty());
    QVERIFY(outside.outOfBounds);

    // A placement of zero size has no meaning; reported and left out.
    const SceneResult degenerate = fixture.runScene(
        "<image xx=\"10\" xy=\"0\" yx=\"0\" yy=\"20\" tx=\"3995\" ty=\"300\" width=\"0\" height=\"20\"/>"
        "<path>"
        + squareSegments(0, 0, 100, 100) + "<newclippath/></path><imfile>img.png</imfile>");
    QVERIFY(degenerate.items.isEmpty());
    QCOMPARE(degenerate.errors.size(), 1);
}

void tst_Xml2GfxList::pictureFilesKeepTheirPixels()
{
    // The interpreter's picture files: grey ones (PGM) stay in eight bits,
    // opaque colour ones (PPM) come as 32-bit pictures, both pixel for pixel.
    SceneFixture fixture;
    fixture.writeSideFile("grey.pgm", QByteArray("P5\n3 2\n255\n") + QByteArray::fromHex("00407fff8001"));
    fixture.writeSideFile("colour.ppm", QByteArray("P6\n2 1\n255\n") + QByteArray::fromHex("102030fe0080"));
    const SceneResult result = fixture.runScene(
        "<image xx=\"30\" xy=\"0\" yx=\"0\" yy=\"20\" tx=\"100\" ty=\"300\" width=\"3\" height=\"2\"/>"
        "<imfile>grey.pgm</imfile>"
        "<image xx=\"20\" xy=\"0\" yx=\"0\" yy=\"10\" tx=\"100\" ty=\"600\" width=\"2\" height=\"1\"/>"
        "<imfile>colour.ppm</imfile>");
    QCOMPARE(result.errors, QStringList());
    QCOMPARE(result.items.size(), 2);
    const QImage grey = result.items.at(0).pixmap.toImage();
    QCOMPARE(grey.format(), QImage::Format_Grayscale8);
    QCOMPARE(grey.size(), QSize(3, 2));
    const uchar greys[6] = { 0x00, 0x40, 0x7f, 0xff, 0x80, 0x01 };
    for (int i = 0; i < 6; ++i)
        QCOMPARE(int(grey.constScanLine(i / 3)[i % 3]), int(greys[i]));
    const QImage colour = result.items.at(1).pixmap.toImage();
    QCOMPARE(colour.format(), QImage::Format_RGB32);
    QCOMPARE(colour.pixel(0, 0), qRgb(0x10, 0x20, 0x30));
    QCOMPARE(colour.pixel(1, 0), qRgb(0xfe, 0x00, 0x80));
}

void tst_Xml2GfxList::imageFileClippedByAccumulator()
{
    SceneFixture fixture;
    QImage picture(100, 100, QImage::Format_RGB32);
    picture.fill(Qt::green);
    fixture.writeSideFile("img.png", pngBytes(picture));
    // The clip lies on the table, the image reaches past it: kept with the clip.
    const SceneResult result = fixture.runScene("<path>" + squareSegments(3900, 100, 100, 100)
        + "<newclippath/></path><image xx=\"200\" xy=\"0\" yx=\"0\" yy=\"200\" tx=\"3900\" ty=\"300\" "
          "width=\"100\" height=\"100\"/><imfile>img.png</imfile>");
    QCOMPARE(result.items.size(), 1);
    QCOMPARE(result.items.first().clipPath.boundingRect(), QRectF(3900, 100, 100, 100));
    QVERIFY(!result.outOfBounds);
}

void tst_Xml2GfxList::imageOnTheTableUnderALargerClip()
{
    SceneFixture fixture;
    QImage picture(100, 100, QImage::Format_RGB32);
    picture.fill(Qt::green);
    fixture.writeSideFile("img.png", pngBytes(picture));
    // A page larger than the table: the clip (the page) reaches past the
    // table, the image lies on it: kept with the clip, as a path would be.
    const SceneResult result = fixture.runScene("<clippath>" + squareSegments(0, 0, 4800, 3600)
        + "</clippath><image xx=\"200\" xy=\"0\" yx=\"0\" yy=\"200\" tx=\"1000\" ty=\"1200\" "
          "width=\"100\" height=\"100\"/><imfile>img.png</imfile>"
        // and one that lies past the table under the same clip is left out
        + "<clippath>" + squareSegments(0, 0, 4800, 3600)
        + "</clippath><image xx=\"200\" xy=\"0\" yx=\"0\" yy=\"200\" tx=\"4300\" ty=\"1200\" "
          "width=\"100\" height=\"100\"/><imfile>img.png</imfile>");
    QCOMPARE(result.items.size(), 1);
    QCOMPARE(result.items.first().transform.map(QPointF(0, 0)), QPointF(1000, 1400));
    QCOMPARE(result.items.first().clipPath.boundingRect(), QRectF(0, 0, 4800, 3600));
    QVERIFY(result.outOfBounds);
}

void tst_Xml2GfxList::imageFileThatDoesNotLoad()
{
    SceneFixture fixture;
    fixture.writeSideFile("broken.png", "this is not a picture");
    const SceneResult result = fixture.runScene(
        "<image xx=\"10\" xy=\"0\" yx=\"0\" yy=\"10\" tx=\"0\" ty=\"10\" width=\"10\" height=\"10\"/>"
        "<imfile>broken.png</imfile><imfile>missing.png</imfile>"
        + fillPath(squareSegments(1, 1, 5, 5)));
    QCOMPARE(result.errors.size(), 2);
    QVERIFY(result.errors.first().startsWith("Could not load image file: "));
    QVERIFY(result.errors.first().endsWith("/broken.png"));
    // An empty image never lies on the table; the scene goes on.
    QVERIFY(result.outOfBounds);
    QCOMPARE(result.items.size(), 1);
    QCOMPARE(result.items.first().type, qint32(LaserOp::EngravedPath));
}

void tst_Xml2GfxList::embeddedImage()
{
    SceneFixture fixture;
    QImage picture(30, 15, QImage::Format_ARGB32);
    picture.fill(QColor(255, 0, 0, 128));
    const QByteArray base64 = pngBytes(picture).toBase64();
    const SceneResult result = fixture.runScene("<pathImage x=\"3990\" y=\"2790.5\">" + base64
        + "</pathImage><pathImage x=\"1\" y=\"1\">bm90IGEgcG5n</pathImage>");
    // Only the size is tested, so the first one stays although it reaches past the table.
    QCOMPARE(result.items.size(), 1);
    const LaserOp::LaserOp item = result.items.first();
    QCOMPARE(item.type, qint32(LaserOp::Image));
    QCOMPARE(item.pixmap.size(), QSize(30, 15));
    QCOMPARE(item.transform, QTransform::fromTranslate(3990, 2790.5));
    QCOMPARE(qAlpha(item.pixmap.toImage().convertToFormat(QImage::Format_ARGB32).pixel(3, 3)), 128);
    // The second does not decode.
    QCOMPARE(result.errors.size(), 1);
    QVERIFY(result.outOfBounds);
}

void tst_Xml2GfxList::brokenScenes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("items");

    const QByteArray two = fillPath(squareSegments(1, 1, 5, 5)) + fillPath(squareSegments(10, 10, 5, 5));
    QTest::newRow("truncated inside an element")
        << QByteArray("<scene>" + two + "<fill_path color=\"0x0") << 2;
    QTest::newRow("truncated inside a segment")
        << QByteArray("<scene>" + two + "<fill_path color=\"0x0\"><path><moveto>1,") << 2;
    QTest::newRow("mismatched end tag")
        << QByteArray("<scene>" + two + "</fill_path>" + two + "</scene>") << 2;
    QTest::newRow("child inside a segment")
        << QByteArray("<scene>" + two + "<fill_path color=\"0x0\"><path><moveto>1,<b/>1</moveto>") << 2;
    QTest::newRow("not XML") << QByteArray("%!PS-Adobe-3.0\nnewpath 0 0 moveto\n") << 0;
    QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0", 11) << 0;
    QTest::newRow("empty file") << QByteArray() << 0;
}

void tst_Xml2GfxList::brokenScenes()
{
    QFETCH(QByteArray, content);
    QFETCH(int, items);
    SceneFixture fixture;
    fixture.writeRaw(content);
    const SceneResult result = fixture.run();
    QCOMPARE(result.itemSignals, 1);
    QCOMPARE(result.items.size(), items);
    QCOMPARE(result.errors.size(), 1);
    QVERIFY2(result.errors.first().startsWith("XML error: "), qPrintable(result.errors.first()));
    QVERIFY(result.errors.first().size() > int(strlen("XML error: ")));
    QVERIFY(!result.infos.contains("Reached xml end... done"));
}

void tst_Xml2GfxList::missingSceneEmitsNothing()
{
    SceneFixture fixture;
    const SceneResult result = fixture.run();
    QCOMPARE(result.errors, QStringList { "Problem opening image file: /tmp/GSTemp/o.xml" });
    QCOMPARE(result.itemSignals, 0);
    QVERIFY(result.infos.isEmpty());
}

void tst_Xml2GfxList::manyItems()
{
    // A scene of 200 000 rects and paths must be read in one go, none lost.
    const int count = 200000;
    QByteArray scene;
    scene.reserve(count * 120);
    scene += "<scene>";
    for (int i = 0; i < count; ++i) {
        const QByteArray x = QByteArray::number(i % 3900);
        const QByteArray y = QByteArray::number(i % 2700);
        const QByteArray y2 = QByteArray::number(i % 2700 + 50);
        if (i % 2 == 0) {
            scene += "<rect x=\"" + x + "\" y=\"" + y
                + "\" width=\"10\" height=\"10\" fill=\"#000000\" stroke=\"none\"/>";
        } else {
            scene += "<stroke_path color=\"0x0\" width=\"1\"><path><moveto>" + x + "," + y
                + "</moveto><lineto>" + x + "," + y2 + "</lineto></path><clippath/></stroke_path>";
        }
    }
    scene += "</scene>";
    SceneFixture fixture;
    fixture.writeRaw(scene);
    QElapsedTimer timer;
    timer.start();
    const SceneResult result = fixture.run();
    qInfo() << count << "items read in" << timer.elapsed() << "ms";
    QCOMPARE(result.items.size(), count);
    QCOMPARE(result.widths.size(), count / 2);
    QVERIFY(!result.outOfBounds);
    QVERIFY(result.errors.isEmpty());
}

void tst_Xml2GfxList::beyondTheRange_data()
{
    QTest::addColumn<QByteArray>("scene");
    QTest::addColumn<QRectF>("kept"); // bounding rectangle of the one item kept; null when left out

    const QByteArray tableClip = squareSegments(0, 0, 4000, 2800);
    // A page-filling background drawn far beyond the page and clipped to it
    // is ordinary PostScript and stays.
    QTest::newRow("large but in range, clipped to the table")
        << fillPath(squareSegments(-1e6, -1e6, 2e6, 2e6), tableClip) << QRectF(-1e6, -1e6, 2e6, 2e6);
    QTest::newRow("past the int range, clipped to the table")
        << fillPath(squareSegments(10, 10, 3e9, 100), tableClip) << QRectF();
    QTest::newRow("astronomic, clipped to the table")
        << fillPath(squareSegments(-1e30, -1e30, 2e30, 2e30), tableClip) << QRectF();
    // A clip of two elements is a line the renderer does not apply; it does
    // not keep an outline that is itself off the table.
    QTest::newRow("huge outline, clip the renderer ignores") << fillPath(squareSegments(10, 10, 5e9, 5e9),
        "<moveto>10,10</moveto><lineto>100,100</lineto>") << QRectF();
    QTest::newRow("line on the table, pen wider than the range") << QByteArray(
        "<stroke_path color=\"0x0\" width=\"1e12\"><path><moveto>5,5</moveto>"
        "<lineto>60,5</lineto></path><clippath/></stroke_path>") << QRectF();
    QTest::newRow("rect of huge size") << QByteArray(
        "<rect x=\"10\" y=\"10\" width=\"4e9\" height=\"4e9\" fill=\"#000000\" stroke=\"none\"/>")
                                       << QRectF();
}

void tst_Xml2GfxList::beyondTheRange()
{
    QFETCH(QByteArray, scene);
    QFETCH(QRectF, kept);
    SceneFixture fixture;
    const SceneResult result = fixture.runScene(scene);
    if (kept.isNull()) {
        QVERIFY(result.items.isEmpty());
        QVERIFY(result.outOfBounds);
    } else {
        QCOMPARE(result.items.size(), 1);
        QCOMPARE(result.items.first().path.boundingRect(), kept);
        QVERIFY(!result.outOfBounds);
    }
}

void tst_Xml2GfxList::imagesBeyondTheRange()
{
    SceneFixture fixture;
    QImage picture(30, 15, QImage::Format_ARGB32);
    picture.fill(Qt::black);
    fixture.writeSideFile("img.png", pngBytes(picture));
    const QByteArray base64 = pngBytes(picture).toBase64();
    RasterRecord far { 2000000000, 20, 3, { 0xff000000, 0xff000000, 0xff000000 } };
    fixture.writeSideFile("far.raw", rasterFile({ far }));
    RasterRecord near { 1000, 20, 3, { 0xff000000, 0xff000000, 0xff000000 } };
    fixture.writeSideFile("near.raw", rasterFile({ near }));

    // Only their sizes are tested against the table, but a placement beyond
    // the range is left out like an item off the table.
    const SceneResult result = fixture.runScene("<pathImage x=\"3e9\" y=\"10\">" + base64
        + "</pathImage><raster>far.raw</raster>"
          "<path>"
        + squareSegments(0, 0, 4000, 2800)
        + "<newclippath/></path><image xx=\"30\" xy=\"0\" yx=\"0\" yy=\"15\" tx=\"-1e12\" ty=\"0\" "
          "width=\"30\" height=\"15\"/><imfile>img.png</imfile>"
          "<raster>near.raw</raster><pathImage x=\"1e6\" y=\"10\">"
        + base64 + "</pathImage>");
    QVERIFY(result.outOfBounds);
    // What stays: the raster on the table and the embedded image within the range.
    QCOMPARE(result.items.size(), 2);
    QCOMPARE(result.items.at(0).transform, QTransform::fromTranslate(1000, 20));
    QCOMPARE(result.items.at(0).pixmap.size(), QSize(3, 1));
    QCOMPARE(result.items.at(1).transform, QTransform::fromTranslate(1e6, 10));
}

QTEST_MAIN(tst_Xml2GfxList)
#include "tst_xml2gfxlist.moc"
