// The parts of vexlor-gs on their own: the argument check, dashes, clip
// chains, sample decoding, colours and the record-to-scene step.

#include "clipstore.h"
#include "colorconverter.h"
#include "commandline.h"
#include "dashsplitter.h"
#include "picturefile.h"
#include "sampledimage.h"
#include "scenebuilder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_gsdevice : public QObject
{
    Q_OBJECT

private slots:
    void commandLineValues_data();
    void commandLineValues();
    void dashes_data();
    void dashes();
    void clipChains();
    void sampleDecoding_data();
    void sampleDecoding();
    void everyGreyValue();
    void cmykThroughProfiles();
    void recordsToScene();
    void pictureFilesReadBackExactly_data();
    void pictureFilesReadBackExactly();
    void pictureFilesAsTheReaderSeesThem();
    void pictureFileThatCannotBeWritten();
};

void tst_gsdevice::commandLineValues_data()
{
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<QString>("dithering");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("dpi");

    QTest::newRow("600 dpi") << "-r600"
                             << "-sDitheringType=floyd" << true << 600;
    QTest::newRow("lowest") << "-r1"
                            << "-sDitheringType=" << true << 1;
    QTest::newRow("highest") << "-r9600"
                             << "-sDitheringType=stucki" << true << 9600;
    QTest::newRow("above highest") << "-r9601"
                                   << "-sDitheringType=stucki" << false << 0;
    QTest::newRow("signed") << "-r+300"
                            << "-sDitheringType=floyd" << false << 0;
    QTest::newRow("blank inside") << "-r 300"
                                  << "-sDitheringType=floyd" << false << 0;
    QTest::newRow("dithering with blanks kept") << "-r300"
                                                << "-sDitheringType= floyd " << true << 300;
}

void tst_gsdevice::commandLineValues()
{
    QFETCH(QString, resolution);
    QFETCH(QString, dithering);
    QFETCH(bool, valid);
    QFETCH(int, dpi);
    const commandLine line({ "-dDOINTERPOLATE", "-dBATCH", "-dSAFER", "-dNOPAUSE", "-sDEVICE=vexlor",
        resolution, dithering, "-sJobType=mono", "-sOutputFile=/tmp/GSTemp/o.xml", "/tmp/PSLib/job 1.ps" });
    QCOMPARE(line.isValid(), valid);
    // the scene file is known even when another entry is wrong
    QCOMPARE(line.outputFile(), QStringLiteral("/tmp/GSTemp/o.xml"));
    if (!valid) {
        QVERIFY(line.errorText().contains(QLatin1String("argument 6")));
        return;
    }
    QCOMPARE(line.resolution(), dpi);
    QCOMPARE(line.ditheringType(), dithering.mid(16));
    QCOMPARE(line.inputFile(), QStringLiteral("/tmp/PSLib/job 1.ps"));
}

void tst_gsdevice::dashes_data()
{
    QTest::addColumn<QVector<double>>("pattern");
    QTest::addColumn<double>("offset");
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QVector<double>>("starts"); // x of each dash on the line y = 0 from 0 to 40
    QTest::addColumn<QVector<double>>("ends");

    QTest::newRow("10 on 5 off") << QVector<double> { 10, 5 } << 0.0 << false << QVector<double> { 0, 15, 30 }
                                 << QVector<double> { 10, 25, 40 };
    QTest::newRow("offset into the first dash")
        << QVector<double> { 10, 5 } << 4.0 << false << QVector<double> { 0, 11, 26 }
        << QVector<double> { 6, 21, 36 };
    QTest::newRow("offset into the gap") << QVector<double> { 10, 5 } << 12.0 << false
                                         << QVector<double> { 3, 18, 33 } << QVector<double> { 13, 28, 40 };
    QTest::newRow("odd pattern repeats twice")
        << QVector<double> { 8 } << 0.0 << false << QVector<double> { 0, 16, 32 }
        << QVector<double> { 8, 24, 40 };
    QTest::newRow("dots") << QVector<double> { 0, 20 } << 0.0 << false << QVector<double> { 0, 20, 40 }
                          << QVector<double> { 0, 20, 40 };
    QTest::newRow("closed path runs back") << QVector<double> { 30, 30 } << 0.0 << true
                                           << QVector<double> { 0, 20 } << QVector<double> { 30, 0 };
}

void tst_gsdevice::dashes()
{
    QFETCH(QVector<double>, pattern);
    QFETCH(double, offset);
    QFETCH(bool, closed);
    QFETCH(QVector<double>, starts);
    QFETCH(QVector<double>, ends);
    scenePath line;
    line.moveTo(QPointF(0, 0));
    line.lineTo(QPointF(40, 0));
    if (closed)
        line.close();
    const scenePath dashed = dashSplitter::apply(line, pattern, offset);
    QVector<double> gotStarts, gotEnds;
    for (const scenePath::Segment &s : dashed.segments()) {
        if (s.kind == scenePath::Move)
            gotStarts << s.points[0].x();
        else if (s.kind == scenePath::Line)
            gotEnds << s.points[0].x();
    }
    // a dash may hold inner points; its end is the last line before the next move
    QVector<double> dashEnds;
    for (int i = 0; i < dashed.segments().size(); ++i) {
        const auto &s = dashed.segments().at(i);
        const bool last
            = i + 1 == dashed.segments().size() || dashed.segments().at(i + 1).kind == scenePath::Move;
        if (s.kind == scenePath::Line && last)
            dashEnds << s.points[0].x();
    }
    QCOMPARE(gotStarts, starts);
    QCOMPARE(dashEnds, ends);
    // a solid pattern leaves the path alone
    QCOMPARE(dashSplitter::apply(line, {}, 0).segments().size(), line.segments().size());
    QVERIFY(!dashSplitter::isDashed({ 0, 0 }));
}

void tst_gsdevice::clipChains()
{
    clipStore clips;
    clips.setPage(QRectF(0, 0, 100, 100));
    // the page itself
    QCOMPARE(clips.resolve(0).bounds, QRectF(0, 0, 100, 100));
    QVERIFY(!clips.resolve(0).empty);

    // a ring (square with a square hole, even-odd) narrowed by a rectangle
    scenePath ring = scenePath::fromRect(QRectF(10, 10, 60, 60));
    const scenePath hole = scenePath::fromRect(QRectF(30, 30, 20, 20));
    for (const auto &s : hole.segments())
        if (s.kind == scenePath::Move)
            ring.moveTo(s.points[0]);
        else if (s.kind == scenePath::Line)
            ring.lineTo(s.points[0]);
        else
            ring.close();
    clips.define(1, 0, true, ring);
    clips.define(2, 1, false, scenePath::fromRect(QRectF(0, 0, 40, 100)));
    const clipStore::Resolved &narrowed = clips.resolve(2);
    QCOMPARE(narrowed.bounds, QRectF(10, 10, 30, 60));
    // either fill rule gives the same area: the hole stays open
    for (Qt::FillRule rule : { Qt::OddEvenFill, Qt::WindingFill }) {
        const QPainterPath area = narrowed.path.toPainterPath(rule);
        QVERIFY(area.contains(QPointF(20, 20)));
        QVERIFY(!area.contains(QPointF(35, 40)));
        QVERIFY(!area.contains(QPointF(45, 20)));
    }
    // disjoint clips leave nothing to paint
    clips.define(3, 2, false, scenePath::fromRect(QRectF(80, 80, 10, 10)));
    QVERIFY(clips.resolve(3).empty);
    // a clip with no path at all, too
    clips.define(4, 0, false, scenePath());
    QVERIFY(clips.resolve(4).empty);
    // a single shape inside the page keeps its curves
    scenePath round;
    round.moveTo(QPointF(50, 10));
    round.curveTo(QPointF(90, 10), QPointF(90, 90), QPointF(50, 90));
    round.close();
    clips.define(5, 0, false, round);
    QCOMPARE(clips.resolve(5).path.segments().at(1).kind, scenePath::Curve);
}

void tst_gsdevice::sampleDecoding_data()
{
    QTest::addColumn<int>("space");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("components");
    QTest::addColumn<QVector<double>>("decode");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QVector<uint>>("pixels"); // ARGB of a 4 x 1 picture

    const uint black = 0xff000000, white = 0xffffffff, clear = 0;
    QTest::newRow("grey 1 bit") << int(sampledImage::Gray) << 1 << 1 << QVector<double> { 0, 1 }
                                << QByteArray::fromHex("a0") << QVector<uint> { white, black, white, black };
    QTest::newRow("grey 2 bits inverted")
        << int(sampledImage::Gray) << 2 << 1 << QVector<double> { 1, 0 } << QByteArray::fromHex("1b")
        << QVector<uint> { white, 0xffaaaaaa, 0xff555555, black };
    QTest::newRow("grey 4 bits") << int(sampledImage::Gray) << 4 << 1 << QVector<double> { 0, 1 }
                                 << QByteArray::fromHex("0f88")
                                 << QVector<uint> { black, white, 0xff888888, 0xff888888 };
    QTest::newRow("grey 12 bits") << int(sampledImage::Gray) << 12 << 1 << QVector<double> { 0, 1 }
                                  << QByteArray::fromHex("000fff800fff")
                                  << QVector<uint> { black, white, 0xff808080, white };
    QTest::newRow("grey 16 bits") << int(sampledImage::Gray) << 16 << 1 << QVector<double> { 0, 1 }
                                  << QByteArray::fromHex("0000ffff80000000")
                                  << QVector<uint> { black, white, 0xff808080, black };
    QTest::newRow("rgb 8 bits") << int(sampledImage::Rgb) << 8 << 3 << QVector<double> { 0, 1, 0, 1, 0, 1 }
                                << QByteArray::fromHex("ff000000ff000000ff102030")
                                << QVector<uint> { 0xffff0000, 0xff00ff00, 0xff0000ff, 0xff102030 };
    QTest::newRow("mask, clear bits paint")
        << int(sampledImage::Mask) << 1 << 1 << QVector<double> { 0, 1 } << QByteArray::fromHex("50")
        << QVector<uint> { 0xff123456, clear, 0xff123456, clear };
    QTest::newRow("mask, set bits paint")
        << int(sampledImage::Mask) << 1 << 1 << QVector<double> { 1, 0 } << QByteArray::fromHex("50")
        << QVector<uint> { clear, 0xff123456, clear, 0xff123456 };
    QTest::newRow("indexed 2 bits") << int(sampledImage::Indexed) << 2 << 1 << QVector<double> { 0, 3 }
                                    << QByteArray::fromHex("1b")
                                    << QVector<uint> { 0xff000000, 0xffff0000, 0xff00ff00, 0xff0000ff };
    QTest::newRow("short data stays transparent")
        << int(sampledImage::Gray) << 8 << 1 << QVector<double> { 0, 1 } << QByteArray::fromHex("ff")
        << QVector<uint> { clear, clear, clear, clear };
}

void tst_gsdevice::sampleDecoding()
{
    QFETCH(int, space);
    QFETCH(int, bits);
    QFETCH(int, components);
    QFETCH(QVector<double>, decode);
    QFETCH(QByteArray, data);
    QFETCH(QVector<uint>, pixels);
    sampledImage image;
    image.width = 4;
    image.height = 1;
    image.bitsPerComponent = bits;
    image.components = components;
    image.space = sampledImage::Space(space);
    image.decode = decode;
    if (image.space == sampledImage::Indexed)
        image.decode.resize(2 * components);
    image.sources = { data };
    image.maskColor = 0xff123456;
    image.paletteSpace = sampledImage::Rgb;
    image.highIndex = 3;
    image.palette = QByteArray::fromHex("000000ff000000ff000000ff");
    QVERIFY(image.isValid());
    const colorConverter colors;
    const QImage picture = image.toImage(colors);
    QCOMPARE(picture.size(), QSize(4, 1));
    for (int x = 0; x < 4; ++x)
        QCOMPARE(uint(picture.pixel(x, 0)), pixels.at(x));
}

void tst_gsdevice::everyGreyValue()
{
    // Every value of an eight-bit grey picture, with a decode range that is
    // neither 0..1 nor its reverse: grey = round(255 * (0.2 + 0.7 * value / 255)).
    sampledImage image;
    image.width = 256;
    image.height = 2;
    image.bitsPerComponent = 8;
    image.components = 1;
    image.space = sampledImage::Gray;
    image.decode = { 0.2, 0.9 };
    QByteArray data;
    for (int row = 0; row < 2; ++row)
        for (int v = 0; v < 256; ++v)
            data.append(char(row == 0 ? v : 255 - v));
    image.sources = { data };
    QVERIFY(image.isValid());
    const QImage picture = image.toImage(colorConverter());
    QCOMPARE(picture.format(), QImage::Format_RGB32);
    for (int v = 0; v < 256; ++v) {
        const int grey = int(std::lround(255.0 * (0.2 + 0.7 * v / 255.0)));
        QCOMPARE(uint(picture.pixel(v, 0)), uint(qRgb(grey, grey, grey)));
        QCOMPARE(uint(picture.pixel(255 - v, 1)), uint(qRgb(grey, grey, grey)));
    }
    QCOMPARE(uint(picture.pixel(0, 0)), uint(qRgb(51, 51, 51)));
}

void tst_gsdevice::cmykThroughProfiles()
{
    const colorConverter colors;
    if (!colors.hasProfiles())
        QSKIP("Ghostscript's ICC profiles are not installed");
    // the values Ghostscript's png16m device gives for these inks
    QCOMPARE(colors.fromCmyk(1, 0, 0, 0) & 0xffffff, 0x00aeefu);
    QCOMPARE(colors.fromCmyk(0, 0, 0, 1) & 0xffffff, 0x231f20u);
    QCOMPARE(colors.fromCmyk(0, 0, 0, 0) & 0xffffff, 0xffffffu);
}

void tst_gsdevice::recordsToScene()
{
    QTemporaryDir dir;
    QFile records(dir.filePath(QStringLiteral("scene.txt")));
    QVERIFY(records.open(QIODevice::WriteOnly));
    records.write("F 0 0 g 0\nm 1 1\nl 2 2\nE\n"
                  "X\n" // erasepage drops the fill above
                  "C 5 0 1\nm 10 10\nl 50 10\nl 50 50\nh\nE\n" // a triangle clip
                  "F 1 5 r 1 0 0\nm 0 0\nl 100 0\nl 100 100\nh\nE\n"
                  "S 0 2.5 1 2 4 0 0 k 0 0 0 0\nm 0 0\nc 10 0 20 10 20 20\nE\n"
                  "F 0 0 n\nm 0 0\nl 5 5\nl 0 5\nE\n" // a colour that paints nothing
                  "F 0 0 q 1\nm 0 0\nl 9 9\nE\n" // malformed colour
                  "P 200.4 99.6\nN 2\n");
    records.close();
    const colorConverter colors;
    sceneBuilder builder(dir.path(), colors);
    QString error;
    QVERIFY(builder.read(&error));
    QCOMPARE(builder.pageSize(), QSize(200, 100));
    QCOMPARE(builder.pageCount(), 2);
    QCOMPARE(builder.skippedRecords(), 1);
    const QString sceneFile = dir.filePath(QStringLiteral("o.xml"));
    QVERIFY2(
        builder.write(sceneFile, QStringLiteral("floyd"), QStringLiteral("mono"), &error), qPrintable(error));
    QFile scene(sceneFile);
    QVERIFY(scene.open(QIODevice::ReadOnly));
    const QString xml = QString::fromUtf8(scene.readAll());
    QVERIFY(xml.contains(QLatin1String("<BoundingBox><width>200</width><height>100</height></BoundingBox>")));
    QCOMPARE(xml.count(QLatin1String("<fill_path")), 1);
    QVERIFY(xml.contains(QLatin1String(
        "<fill_path color=\"0xFF0000\" rule=\"even-odd\"><path><moveto>0,0</moveto><lineto>100,0</lineto>"
        "<lineto>100,100</lineto><closepath/></path><clippath><moveto>10,10</moveto><lineto>50,10</lineto>"
        "<lineto>50,50</lineto><closepath/></clippath></fill_path>")));
    QVERIFY(xml.contains(
        QLatin1String("<stroke_path color=\"0xFFFFFF\" width=\"2.5\" miter=\"4\" join=\"2\" cap=\"1\">"
                      "<path><moveto>0,0</moveto><curveto>10,0 20,10 20,20</curveto></path>")));
    QVERIFY(xml.contains(
        QLatin1String("<clippath><moveto>0,0</moveto><lineto>200,0</lineto><lineto>200,100</lineto>"
                      "<lineto>0,100</lineto><closepath/></clippath>")));
}

void tst_gsdevice::pictureFilesReadBackExactly_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QSize>("size");
    QTest::newRow("grey") << int(QImage::Format_Grayscale8) << QSize(301, 47);
    QTest::newRow("grey, one pixel") << int(QImage::Format_Grayscale8) << QSize(1, 1);
    QTest::newRow("colour") << int(QImage::Format_RGB32) << QSize(129, 33);
    QTest::newRow("colour with transparency") << int(QImage::Format_ARGB32) << QSize(64, 20);
    QTest::newRow("colour, one column") << int(QImage::Format_RGB32) << QSize(1, 9);
}

void tst_gsdevice::pictureFilesReadBackExactly()
{
    // The scene's reader must get every pixel back as it was written.
    QFETCH(int, format);
    QFETCH(QSize, size);
    QImage picture(size, QImage::Format(format));
    quint32 seed = 99;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            if (format == QImage::Format_Grayscale8)
                picture.scanLine(y)[x] = uchar(seed >> 24);
            else if (format == QImage::Format_RGB32)
                picture.setPixel(x, y, 0xff000000u | (seed >> 8));
            else
                picture.setPixel(x, y, (seed & 0xff000000u) | (seed >> 8 & 0xffffffu));
        }
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture.") + pictureFileSuffix(picture));
    QString error;
    QVERIFY2(writePictureFile(picture, path, &error), qPrintable(error));
    QImage back(path);
    QCOMPARE(back.size(), size);
    if (format == QImage::Format_ARGB32)
        back = back.convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(back.format(), picture.format());
    QCOMPARE(back, picture);
}

void tst_gsdevice::pictureFilesAsTheReaderSeesThem()
{
    // Grey and opaque pictures are plain PGM and PPM files: the header, then
    // the rows (red, green, blue for colour) byte for byte.
    QImage grey(3, 2, QImage::Format_Grayscale8);
    const uchar greys[6] = { 0, 10, 255, 128, 7, 9 };
    for (int i = 0; i < 6; ++i)
        grey.scanLine(i / 3)[i % 3] = greys[i];
    QImage colour(2, 1, QImage::Format_RGB32);
    colour.setPixel(0, 0, qRgb(1, 2, 3));
    colour.setPixel(1, 0, qRgb(250, 128, 0));
    QCOMPARE(pictureFileSuffix(grey), QStringLiteral("pgm"));
    QCOMPARE(pictureFileSuffix(colour), QStringLiteral("ppm"));
    QCOMPARE(pictureFileSuffix(QImage(2, 2, QImage::Format_ARGB32)), QStringLiteral("png"));

    QTemporaryDir dir;
    QString error;
    QVERIFY2(writePictureFile(grey, dir.filePath(QStringLiteral("g.pgm")), &error), qPrintable(error));
    QVERIFY2(writePictureFile(colour, dir.filePath(QStringLiteral("c.ppm")), &error), qPrintable(error));
    QFile g(dir.filePath(QStringLiteral("g.pgm")));
    QFile c(dir.filePath(QStringLiteral("c.ppm")));
    QVERIFY(g.open(QIODevice::ReadOnly) && c.open(QIODevice::ReadOnly));
    QCOMPARE(g.readAll(), QByteArray("P5\n3 2\n255\n") + QByteArray::fromHex("000aff800709"));
    QCOMPARE(c.readAll(), QByteArray("P6\n2 1\n255\n") + QByteArray::fromHex("010203fa8000"));
}

void tst_gsdevice::pictureFileThatCannotBeWritten()
{
    QTemporaryDir dir;
    QImage picture(10, 10, QImage::Format_Grayscale8);
    picture.fill(128);
    QString error;
    QVERIFY(!writePictureFile(picture, dir.filePath(QStringLiteral("missing/picture.pgm")), &error));
    QCOMPARE(error, QStringLiteral("No such file or directory"));
    QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}

QTEST_GUILESS_MAIN(tst_gsdevice)
#include "tst_gsdevice.moc"
