// The band pipeline against the whole-picture way of making the same tiles:
// full-resolution 32-bit tiles from the tile renderer, dithered one after the
// other by one ditherer. Both must give the same bits for every method.

#include "ditherer.h"
#include "rasterpipeline.h"
#include "renderingmanager.h"

#include <QLinearGradient>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Four and a half bands of greys that every method treats differently: a
// noisy picture stretched over band boundaries, shapes of several greys, a
// thick stroke across two bands, and the picture alone on the last band.
Vexlor::LaserItemList drawing()
{
    Vexlor::LaserItemList list;
    QImage noise(97, 61, QImage::Format_RGB32);
    quint32 seed = 7;
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            seed = seed * 1103515245u + 12345u;
            const int g = int((x * 255) / noise.width() + (seed >> 24) % 40) % 256;
            noise.setPixel(x, y, qRgb(g, g, g));
        }
    }
    LaserOp::LaserOp picture;
    picture.type = LaserOp::Image;
    picture.pixmap = QPixmap::fromImage(noise);
    picture.transform = QTransform(4.3, 0, 0, 51.7, 3.25, 10.5);
    list.append(picture);

    for (int i = 0; i < 6; ++i) {
        LaserOp::LaserOp shape;
        shape.type = LaserOp::EngravedPath;
        shape.path.addEllipse(QRectF(20 + i * 60, 500 + i * 530, 180, 900));
        shape.pen = QPen(Qt::NoPen);
        shape.brush = QBrush(QColor(i * 40, i * 40, i * 40));
        list.append(shape);
    }
    LaserOp::LaserOp stroke;
    stroke.type = LaserOp::EngravedPath;
    stroke.path.moveTo(5, 1000);
    stroke.path.lineTo(400, 2600);
    stroke.pen = QPen(QColor(90, 90, 90), 17);
    stroke.brush = Qt::NoBrush;
    list.append(stroke);
    LaserOp::LaserOp alone = picture;
    alone.transform = QTransform(4.3, 0, 0, 18.0, 3.25, 4850.5);
    list.append(alone);
    return list;
}

// The tiles the renderer and one ditherer make of the drawing.
Vexlor::SceneTile wholePictureWay(const Vexlor::LaserItemList &items, int method)
{
    renderingManager renderer;
    QSignalSpy finished(&renderer, &renderingManager::finished);
    renderer.getList(items);
    renderer.startRender();
    if (finished.count() != 1)
        return {};
    Vexlor::SceneTile tiles = finished.first().first().value<Vexlor::SceneTile>();
    ditherer pass(method, tiles.isEmpty() ? 0 : tiles.first().second.width());
    for (auto &tile : tiles) {
        const QImage image = tile.second.toImage();
        if (ditherer::leavesGrey(method)) {
            // The job generator's rule for colour tiles.
            QImage bits = ditherer::makeMonoImage(image.width(), image.height());
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QRgb p = image.pixel(x, y);
                    bits.setPixel(x, y, qRed(p) + qGreen(p) + qBlue(p) <= 382 ? 1 : 0);
                }
            tile.second = QPixmap::fromImage(bits, Qt::NoFormatConversion);
        } else {
            tile.second = QPixmap::fromImage(pass.ditherTile(image), Qt::NoFormatConversion);
        }
    }
    return tiles;
}

Vexlor::SceneTile pipelineWay(const Vexlor::LaserItemList &items, int method, QList<int> *progress = nullptr)
{
    rasterPipeline pipeline;
    QSignalSpy finished(&pipeline, &rasterPipeline::finished);
    QSignalSpy steps(&pipeline, &rasterPipeline::progress);
    pipeline.getList(items);
    pipeline.setMethod(method);
    pipeline.startRender();
    if (progress) {
        for (const auto &step : steps)
            progress->append(step.at(0).toInt());
    }
    if (finished.count() != 1)
        return {};
    return finished.first().first().value<Vexlor::SceneTile>();
}

// The rows of a one-bit picture as bytes, padding bits cleared.
QByteArray bitsOf(const QImage &image)
{
    QByteArray out;
    const int lineBytes = (image.width() + 7) / 8;
    for (int y = 0; y < image.height(); ++y)
        out.append(reinterpret_cast<const char *>(image.constScanLine(y)), lineBytes);
    return out;
}

} // namespace

class tst_RasterPipeline : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }
    void sameBitsAsTheWholePicture_data();
    void sameBitsAsTheWholePicture();
    void eightBitPicturesGiveTheSameBits_data();
    void eightBitPicturesGiveTheSameBits();
    void bandReductions();
    void emptyDrawing();
};

void tst_RasterPipeline::sameBitsAsTheWholePicture_data()
{
    QTest::addColumn<int>("method");
    QTest::newRow("ordered") << int(ditherer::Ordered);
    QTest::newRow("brighten") << int(ditherer::Brighten);
    QTest::newRow("low resolution") << int(ditherer::LowResolution);
    QTest::newRow("floyd-steinberg") << int(ditherer::FloydSteinberg);
    QTest::newRow("jarvis") << int(ditherer::JarvisJudiceNinke);
    QTest::newRow("stucki") << int(ditherer::Stucki);
}

void tst_RasterPipeline::sameBitsAsTheWholePicture()
{
    QFETCH(int, method);
    const Vexlor::LaserItemList items = drawing();
    const Vexlor::SceneTile expected = wholePictureWay(items, method);
    QList<int> progress;
    const Vexlor::SceneTile actual = pipelineWay(items, method, &progress);
    QCOMPARE(expected.size(), 5);
    QCOMPARE(actual.size(), expected.size());
    for (int k = 0; k < expected.size(); ++k) {
        QCOMPARE(actual.at(k).first, expected.at(k).first);
        const QImage a = actual.at(k).second.toImage();
        QCOMPARE(a.format(), QImage::Format_Mono);
        QCOMPARE(a.color(0), qRgb(255, 255, 255));
        QCOMPARE(a.color(1), qRgb(0, 0, 0));
        const QByteArray bits = bitsOf(a);
        QVERIFY2(
            bits == bitsOf(expected.at(k).second.toImage()), qPrintable(QStringLiteral("band %1").arg(k)));
        // Not a blank band: the noisy picture reaches the first one.
        if (k == 0)
            QVERIFY(bits.count('\0') < bits.size() * 9 / 10);
    }
    QCOMPARE(progress, (QList<int> { 0, 1, 2, 3, 4, 5 }));
}

void tst_RasterPipeline::eightBitPicturesGiveTheSameBits_data()
{
    QTest::addColumn<int>("method");
    QTest::newRow("ordered") << int(ditherer::Ordered);
    QTest::newRow("floyd-steinberg") << int(ditherer::FloydSteinberg);
    QTest::newRow("brighten") << int(ditherer::Brighten);
}

void tst_RasterPipeline::eightBitPicturesGiveTheSameBits()
{
    // The scene's reader keeps grey pictures in eight bits. Bands of the
    // picture alone are sampled from its bytes; bands with shapes are painted
    // with the picture widened to the 32 bits it stands for: either way the
    // bits are those of the 32-bit picture.
    QFETCH(int, method);
    const Vexlor::LaserItemList items = drawing();
    Vexlor::LaserItemList eightBits = items;
    eightBits[0].pixmap = QPixmap::fromImage(
        items.first().pixmap.toImage().convertToFormat(QImage::Format_Grayscale8), Qt::NoFormatConversion);
    QCOMPARE(eightBits.first().pixmap.toImage().format(), QImage::Format_Grayscale8);
    // a band the picture alone covers, for the sampled way
    LaserOp::LaserOp below = items.first();
    below.transform = QTransform(4.3, 0, 0, 20.3, 3.25, 3650.5);
    LaserOp::LaserOp belowEightBits = eightBits.first();
    belowEightBits.transform = below.transform;
    const Vexlor::SceneTile expected = pipelineWay(Vexlor::LaserItemList(items) << below, method);
    const Vexlor::SceneTile actual = pipelineWay(eightBits << belowEightBits, method);
    QVERIFY(expected.size() >= 4);
    QCOMPARE(actual.size(), expected.size());
    for (int k = 0; k < expected.size(); ++k) {
        QCOMPARE(actual.at(k).first, expected.at(k).first);
        QVERIFY2(bitsOf(actual.at(k).second.toImage()) == bitsOf(expected.at(k).second.toImage()),
            qPrintable(QStringLiteral("band %1").arg(k)));
    }
}

void tst_RasterPipeline::bandReductions()
{
    QImage band(10, 2, QImage::Format_RGB32);
    const int greys[] = { 0, 1, 126, 127, 128, 129, 200, 254, 255, 127 };
    for (int x = 0; x < 10; ++x) {
        band.setPixel(x, 0, qRgb(greys[x], greys[x], greys[x]));
        band.setPixel(x, 1, qRgb(100, 100, greys[x]));
    }
    // r + g + b <= 382 is black.
    const QImage bits = rasterPipeline::thresholdBand(band);
    QCOMPARE(bits.format(), QImage::Format_Mono);
    QString first, second;
    for (int x = 0; x < 10; ++x) {
        first += bits.pixelIndex(x, 0) ? QLatin1Char('B') : QLatin1Char('W');
        second += bits.pixelIndex(x, 1) ? QLatin1Char('B') : QLatin1Char('W');
    }
    QCOMPARE(first, QStringLiteral("BBBBWWWWWB"));
    QCOMPARE(second, QStringLiteral("BBBBBBWWWB"));
    // Padding bits of the last byte stay clear.
    QCOMPARE(bits.constScanLine(0)[1] & 0x3f, 0);

    const QImage grey = rasterPipeline::greyBand(band);
    QCOMPARE(grey.format(), QImage::Format_Grayscale8);
    for (int x = 0; x < 10; ++x) {
        QCOMPARE(int(grey.constScanLine(0)[x]), greys[x]);
        QCOMPARE(int(grey.constScanLine(1)[x]), greys[x]); // the blue channel
    }

    // A band wide enough to be reduced many pixels at a time, with a ragged
    // end: every pixel keeps its blue channel whatever the other channels hold.
    QImage wide(37, 3, QImage::Format_RGB32);
    for (int y = 0; y < wide.height(); ++y) {
        for (int x = 0; x < wide.width(); ++x)
            wide.setPixel(x, y, qRgb((x * 41 + y) & 0xff, 255 - x, (x * 67 + y * 13) & 0xff));
    }
    const QImage wideGrey = rasterPipeline::greyBand(wide);
    for (int y = 0; y < wide.height(); ++y) {
        for (int x = 0; x < wide.width(); ++x)
            QCOMPARE(int(wideGrey.constScanLine(y)[x]), (x * 67 + y * 13) & 0xff);
    }
}

void tst_RasterPipeline::emptyDrawing()
{
    QList<int> progress;
    QVERIFY(pipelineWay(Vexlor::LaserItemList(), ditherer::FloydSteinberg, &progress).isEmpty());
    QCOMPARE(progress, (QList<int> { 0 }));
}

QTEST_MAIN(tst_RasterPipeline)
#include "tst_rasterpipeline.moc"
