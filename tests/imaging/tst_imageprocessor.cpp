// The image processor through its signals and slots, with its own renderer.

#include "imageprocessor.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

LaserOp::LaserOp filledRect(const QRectF &rect, const QColor &color)
{
    LaserOp::LaserOp item;
    item.type = LaserOp::EngravedPath;
    item.path.addRect(rect);
    item.pen = QPen(Qt::NoPen);
    item.brush = QBrush(color);
    return item;
}

VectorList rasters(const QList<LaserOp::LaserOp> &items)
{
    VectorList list;
    list.items = items;
    return list;
}

QRgb opaque(int grey)
{
    return qRgb(grey, grey, grey);
}

// Rows of 'B' and 'W' of a one-bit picture, '?' for any other colour.
QString row(const QImage &image, int y, int width)
{
    QString out;
    for (int x = 0; x < width; ++x) {
        const QRgb c = image.pixel(x, y) | 0xff000000u;
        out += c == qRgb(0, 0, 0)      ? QLatin1Char('B')
            : c == qRgb(255, 255, 255) ? QLatin1Char('W')
                                       : QLatin1Char('?');
    }
    return out;
}

} // namespace

// Lives on the test's thread, so that signals from a worker thread reach the
// spies queued, as they reach the main window.
class Relay : public QObject
{
    Q_OBJECT
signals:
    void tiles(Vexlor::SceneTile);
};

class tst_ImageProcessor : public QObject
{
    Q_OBJECT
signals:
    void sendRasters(VectorList);
    void setDithering(int);
    void startImgProc();

private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }
    void desaturateColour_data();
    void desaturateColour();
    void noRasterItemsGiveAnEmptyListAtOnce();
    void processTwiceIsRefused();
    void newItemsAllowProcessingAgain();
    void ditheringCannotChangeAfterProcessing();
    void ditheringOfTheNextJobIsNoError();
    void tooLargeADrawingIsAnError();
    void brushAndPenGoGrey();
    void pixmapsGoGreyKeepingTransparentBlack();
    void rendersAndDithersAFilledRectangle();
    void tilesKeepTheirPlaceAndReportProgress();
    void worksOnItsOwnThreadThroughQueuedSignals();
    void destroyedWhileRendering();
    void stoppedRunAnswersWithNothing();
};

void tst_ImageProcessor::desaturateColour_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("grey");
    QTest::newRow("white") << QColor(255, 255, 255) << 255;
    QTest::newRow("black") << QColor(0, 0, 0) << 0;
    QTest::newRow("red: 11 * 255 >> 5") << QColor(255, 0, 0) << 87;
    QTest::newRow("green: 16 * 255 >> 5") << QColor(0, 255, 0) << 127;
    QTest::newRow("blue: 5 * 255 >> 5") << QColor(0, 0, 255) << 39;
    QTest::newRow("mixed: 4050 >> 5") << QColor(200, 100, 50) << 126;
    QTest::newRow("translucent becomes opaque") << QColor(10, 20, 30, 40) << 18;
}

void tst_ImageProcessor::desaturateColour()
{
    QFETCH(QColor, colour);
    QFETCH(int, grey);
    const QColor out = imageProcessor::desaturate(colour);
    QCOMPARE(out.rgba(), qRgba(grey, grey, grey, 255));
}

void tst_ImageProcessor::noRasterItemsGiveAnEmptyListAtOnce()
{
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy render(&processor, &imageProcessor::renderList);
    QSignalSpy label(&processor, &imageProcessor::setLabelTextProgBar);
    QSignalSpy range(&processor, &imageProcessor::setRangeProgBar);

    processor.getRasters(VectorList());
    processor.process();

    // At once, without waiting for any thread.
    QCOMPARE(tiles.count(), 1);
    QVERIFY(tiles.at(0).at(0).value<Vexlor::SceneTile>().isEmpty());
    QCOMPARE(render.count(), 0);
    QCOMPARE(label.count(), 1);
    QCOMPARE(label.at(0).at(0).toString(), QStringLiteral("Processing Commands."));
    QCOMPARE(range.count(), 1);
    QCOMPARE(range.at(0).at(0).toInt(), 0);
    QCOMPARE(range.at(0).at(1).toInt(), 0);
}

void tst_ImageProcessor::processTwiceIsRefused()
{
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy errors(&processor, &imageProcessor::error);

    processor.getRasters(VectorList());
    processor.process();
    QCOMPARE(errors.count(), 0);
    processor.process();
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Processing has already occured on this image."));
    QCOMPARE(tiles.count(), 1); // nothing else happened
}

void tst_ImageProcessor::newItemsAllowProcessingAgain()
{
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy errors(&processor, &imageProcessor::error);

    processor.getRasters(VectorList());
    processor.process();
    processor.getRasters(VectorList());
    processor.setDithering(4);
    processor.process();
    QCOMPARE(errors.count(), 0);
    QCOMPARE(tiles.count(), 2);
}

void tst_ImageProcessor::ditheringCannotChangeAfterProcessing()
{
    // Index 1 keeps the grey and thresholds it (126 is black everywhere),
    // index 0 would make a checkerboard: the output shows which index the job used.
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy errors(&processor, &imageProcessor::error);

    processor.setDithering(1);
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 16, 8), QColor(200, 100, 50)) }));
    processor.process();
    processor.setDithering(0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(),
        QStringLiteral("Processing has already occured on this image, dithering cannot be changed."));

    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 20000);
    const Vexlor::SceneTile out = tiles.at(0).at(0).value<Vexlor::SceneTile>();
    QCOMPARE(out.size(), 1);
    const QImage image = out.at(0).second.toImage();
    QCOMPARE(image.depth(), 1);
    for (int y = 0; y < 8; ++y)
        QCOMPARE(row(image, y, 16), QString(16, QLatin1Char('B')));
    QCOMPARE(row(image, 20, 16), QString(16, QLatin1Char('W')));
}

void tst_ImageProcessor::ditheringOfTheNextJobIsNoError()
{
    // The window sends the next job's method before its items: the finished
    // run must neither complain nor keep the old method.
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy errors(&processor, &imageProcessor::error);
    const VectorList plate = rasters({ filledRect(QRectF(0, 0, 16, 8), QColor(200, 100, 50)) });

    processor.setDithering(1);
    processor.getRasters(plate);
    processor.process();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 20000);

    processor.setDithering(0);
    processor.getRasters(plate);
    processor.setDithering(0);
    processor.process();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 2, 20000);
    QCOMPARE(errors.count(), 0);
    const QImage image = tiles.at(1).at(0).value<Vexlor::SceneTile>().at(0).second.toImage();
    QCOMPARE(row(image, 0, 16), QStringLiteral("BWBWBWBWBWBWBWBW"));
    QCOMPARE(row(image, 1, 16), QStringLiteral("WBWBWBWBWBWBWBWB"));
}

void tst_ImageProcessor::tooLargeADrawingIsAnError()
{
    // Wider than any image can be: refused with a message, the job goes on
    // without raster tiles.
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy errors(&processor, &imageProcessor::error);
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 3.0e9, 10), Qt::black) }));
    processor.process();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 20000);
    QVERIFY(tiles.at(0).at(0).value<Vexlor::SceneTile>().isEmpty());
    QCOMPARE(errors.count(), 1);
    QVERIFY(errors.at(0).at(0).toString().contains(QLatin1String("too large")));
}

void tst_ImageProcessor::brushAndPenGoGrey()
{
    imageProcessor processor;
    QSignalSpy render(&processor, &imageProcessor::renderList);
    QSignalSpy start(&processor, &imageProcessor::startRender);

    LaserOp::LaserOp fill = filledRect(QRectF(0, 0, 4, 4), QColor(200, 100, 50, 90));
    LaserOp::LaserOp stroke;
    stroke.type = LaserOp::EngravedPath;
    stroke.path.moveTo(0, 0);
    stroke.path.lineTo(10, 0);
    stroke.pen = QPen(QColor(0, 255, 0), 12);
    stroke.brush = Qt::NoBrush;
    processor.getRasters(rasters({ fill, stroke }));
    processor.process();

    QCOMPARE(render.count(), 1);
    QCOMPARE(start.count(), 1);
    const Vexlor::LaserItemList items = render.at(0).at(0).value<Vexlor::LaserItemList>();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).brush.color().rgba(), qRgba(126, 126, 126, 255));
    QCOMPARE(items.at(0).brush.style(), Qt::SolidPattern);
    QCOMPARE(items.at(0).pen.style(), Qt::NoPen);
    QCOMPARE(items.at(1).pen.color().rgba(), qRgba(127, 127, 127, 255));
    QCOMPARE(items.at(1).pen.widthF(), 12.0);
    QCOMPARE(items.at(1).brush.style(), Qt::NoBrush);
    QCOMPARE(items.at(0).path, fill.path);
}

void tst_ImageProcessor::pixmapsGoGreyKeepingTransparentBlack()
{
    QImage source(4, 1, QImage::Format_ARGB32);
    source.setPixel(0, 0, qRgba(0, 0, 0, 0)); // transparent black: kept
    source.setPixel(1, 0, qRgba(255, 0, 0, 255)); // 87
    source.setPixel(2, 0, qRgba(0, 255, 0, 128)); // half transparent green: 127, opaque
    source.setPixel(3, 0, qRgba(10, 20, 30, 255)); // 18

    LaserOp::LaserOp image;
    image.type = LaserOp::Image;
    image.pixmap = QPixmap::fromImage(source);
    image.transform = QTransform::fromTranslate(5, 6);

    imageProcessor processor;
    QSignalSpy render(&processor, &imageProcessor::renderList);
    processor.getRasters(rasters({ image }));
    processor.process();

    QCOMPARE(render.count(), 1);
    const Vexlor::LaserItemList items = render.at(0).at(0).value<Vexlor::LaserItemList>();
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.at(0).transform, image.transform);
    const QImage grey = items.at(0).pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(grey.size(), QSize(4, 1));
    QCOMPARE(grey.pixel(0, 0), 0u);
    QCOMPARE(grey.pixel(1, 0), qRgba(87, 87, 87, 255));
    QCOMPARE(grey.pixel(2, 0), qRgba(127, 127, 127, 255));
    QCOMPARE(grey.pixel(3, 0), qRgba(18, 18, 18, 255));

    // Without an alpha channel every pixel goes grey, black included.
    QImage opaqueSource(2, 1, QImage::Format_RGB32);
    opaqueSource.setPixel(0, 0, qRgb(0, 0, 0));
    opaqueSource.setPixel(1, 0, qRgb(0, 0, 255));
    const QImage opaqueGrey = imageProcessor::desaturate(QPixmap::fromImage(opaqueSource)).toImage();
    QCOMPARE(opaqueGrey.pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(opaqueGrey.pixel(1, 0), qRgb(39, 39, 39));

    // A picture that is grey already is kept as it is, not copied; one pixel
    // of colour in its last row is enough to desaturate it.
    QImage greySource(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < greySource.height(); ++y)
        for (int x = 0; x < greySource.width(); ++x)
            greySource.setPixel(x, y, qRgb((x + y) % 256, (x + y) % 256, (x + y) % 256));
    const QPixmap greyPixmap = QPixmap::fromImage(greySource);
    QCOMPARE(imageProcessor::desaturate(greyPixmap).cacheKey(), greyPixmap.cacheKey());
    greySource.setPixel(299, 199, qRgb(10, 10, 11));
    const QImage tinted = imageProcessor::desaturate(QPixmap::fromImage(greySource)).toImage();
    QCOMPARE(tinted.pixel(299, 199), qRgb(10, 10, 10));
    QCOMPARE(tinted.pixel(5, 7), qRgb(12, 12, 12));

    // An eight-bit grey picture, as the scene's reader keeps one, is kept too.
    const QPixmap eightBits
        = QPixmap::fromImage(greySource.convertToFormat(QImage::Format_Grayscale8), Qt::NoFormatConversion);
    const QPixmap keptEightBits = imageProcessor::desaturate(eightBits);
    QCOMPARE(keptEightBits.cacheKey(), eightBits.cacheKey());
    QCOMPARE(keptEightBits.toImage().format(), QImage::Format_Grayscale8);
}

void tst_ImageProcessor::rendersAndDithersAFilledRectangle()
{
    // A 16 by 8 rectangle of (200, 100, 50), grey 126, ordered dithering. The
    // renderer makes one tile of 16 by 1200 rows; 126 + T >= 256 for T >= 130,
    // which in the matrix is the same set as T >= 128: a checkerboard, white
    // where x + y is odd. Below the rectangle the tile is white.
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    processor.setDithering(0);
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 16, 8), QColor(200, 100, 50)) }));
    processor.process();

    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 20000);
    const Vexlor::SceneTile out = tiles.at(0).at(0).value<Vexlor::SceneTile>();
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).first, QRect(0, 0, 16, 1200));
    const QImage image = out.at(0).second.toImage();
    QCOMPARE(image.depth(), 1);
    QCOMPARE(image.size(), QSize(16, 1200));
    for (int y = 0; y < 8; ++y)
        QCOMPARE(row(image, y, 16),
            y % 2 ? QStringLiteral("WBWBWBWBWBWBWBWB") : QStringLiteral("BWBWBWBWBWBWBWBW"));
    for (int y = 8; y < 1200; ++y)
        QCOMPARE(row(image, y, 16), QString(16, QLatin1Char('W')));
}

void tst_ImageProcessor::tilesKeepTheirPlaceAndReportProgress()
{
    // Two tiles handed straight to the slot: a black one and a white one stay
    // so, keep their rectangles and come back as one-bit pictures.
    QPixmap black(10, 4);
    black.fill(Qt::black);
    QPixmap white(10, 4);
    white.fill(Qt::white);
    Vexlor::SceneTile in;
    in << qMakePair(QRect(100, 200, 10, 4), black) << qMakePair(QRect(100, 204, 10, 4), white);

    imageProcessor processor;
    processor.setDithering(5);
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    QSignalSpy label(&processor, &imageProcessor::setLabelTextProgBar);
    QSignalSpy range(&processor, &imageProcessor::setRangeProgBar);
    QSignalSpy value(&processor, &imageProcessor::setValueProgBar);
    processor.getRenderedTiles(in);

    QCOMPARE(tiles.count(), 1);
    const Vexlor::SceneTile out = tiles.at(0).at(0).value<Vexlor::SceneTile>();
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).first, QRect(100, 200, 10, 4));
    QCOMPARE(out.at(1).first, QRect(100, 204, 10, 4));
    for (int y = 0; y < 4; ++y) {
        QCOMPARE(row(out.at(0).second.toImage(), y, 10), QString(10, QLatin1Char('B')));
        QCOMPARE(row(out.at(1).second.toImage(), y, 10), QString(10, QLatin1Char('W')));
    }
    QCOMPARE(out.at(0).second.toImage().depth(), 1);

    QCOMPARE(label.count(), 2);
    QCOMPARE(label.at(0).at(0).toString(), QStringLiteral("Dithering Graphics."));
    QCOMPARE(label.at(1).at(0).toString(), QStringLiteral("Processing Commands."));
    QCOMPARE(range.count(), 2);
    for (const QList<QVariant> &r : range) {
        QCOMPARE(r.at(0).toInt(), 0);
        QCOMPARE(r.at(1).toInt(), 2);
    }
    QList<int> values;
    for (const QList<QVariant> &v : value)
        values << v.at(0).toInt();
    QCOMPARE(values, (QList<int> { 0, 1, 2 }));

    // No tiles: an empty pass.
    processor.getRenderedTiles(Vexlor::SceneTile());
    QCOMPARE(tiles.count(), 2);
    QVERIFY(tiles.at(1).at(0).value<Vexlor::SceneTile>().isEmpty());
}

void tst_ImageProcessor::worksOnItsOwnThreadThroughQueuedSignals()
{
    // As the main window drives it: on a worker thread, with string-based
    // connections under the registered type names.
    QThread worker;
    auto *processor = new imageProcessor;
    processor->moveToThread(&worker);
    connect(&worker, &QThread::finished, processor, &QObject::deleteLater);
    worker.start();

    Relay relay;
    QSignalSpy tiles(&relay, &Relay::tiles);
    QVERIFY(connect(
        processor, SIGNAL(sendDitheredTiles(Vexlor::SceneTile)), &relay, SIGNAL(tiles(Vexlor::SceneTile))));
    QVERIFY(connect(this, SIGNAL(sendRasters(VectorList)), processor, SLOT(getRasters(VectorList))));
    QVERIFY(connect(this, SIGNAL(setDithering(int)), processor, SLOT(setDithering(int))));
    QVERIFY(connect(this, SIGNAL(startImgProc()), processor, SLOT(process())));

    emit sendRasters(rasters({ filledRect(QRectF(0, 0, 16, 8), QColor(0, 0, 0)) }));
    emit setDithering(3);
    emit startImgProc();

    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 20000);
    const Vexlor::SceneTile out = tiles.at(0).at(0).value<Vexlor::SceneTile>();
    QCOMPARE(out.size(), 1);
    const QImage image = out.at(0).second.toImage();
    QCOMPARE(row(image, 0, 16), QString(16, QLatin1Char('B')));
    QCOMPARE(row(image, 9, 16), QString(16, QLatin1Char('W')));

    worker.quit();
    QVERIFY(worker.wait(20000));
}

void tst_ImageProcessor::destroyedWhileRendering()
{
    // A large drawing (20 tiles): the processor is destroyed while its renderer
    // paints, and must stop the render and join its thread, leaving nothing
    // behind that could still deliver tiles.
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < 3; ++round) {
        auto *processor = new imageProcessor;
        QSignalSpy started(processor, &imageProcessor::startRender);
        processor->getRasters(rasters({ filledRect(QRectF(0, 0, 4000, 24000), QColor(90, 90, 90)) }));
        processor->process();
        QCOMPARE(started.count(), 1);
        delete processor;
    }
    QCoreApplication::processEvents();
    QVERIFY2(clock.elapsed() < 60000, "the renderer's thread did not stop");
}

void tst_ImageProcessor::stoppedRunAnswersWithNothing()
{
    // A drawing of 20 bands with error diffusion, stopped from this thread as
    // the window stops it: the run still answers, once, with no bands. Once
    // runs are allowed again, the next one is whole.
    imageProcessor processor;
    QSignalSpy tiles(&processor, &imageProcessor::sendDitheredTiles);
    processor.setDithering(3);
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 4000, 24000), QColor(90, 90, 90)) }));
    processor.process();
    processor.stopRun();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 1, 60000);
    QVERIFY(tiles.at(0).at(0).value<Vexlor::SceneTile>().isEmpty());

    // While the stop stands, a new run ends before anything is painted.
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 4000, 24000), QColor(90, 90, 90)) }));
    processor.process();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 2, 60000);
    QVERIFY(tiles.at(1).at(0).value<Vexlor::SceneTile>().isEmpty());

    processor.allowRuns();
    processor.getRasters(rasters({ filledRect(QRectF(0, 0, 64, 2500), Qt::black) }));
    processor.process();
    QTRY_COMPARE_WITH_TIMEOUT(tiles.count(), 3, 60000);
    const Vexlor::SceneTile whole = tiles.at(2).at(0).value<Vexlor::SceneTile>();
    QCOMPARE(whole.size(), 3);
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(whole.at(k).first.top(), 1200 * k);
        const QImage image = whole.at(k).second.toImage();
        QCOMPARE(image.width(), 64);
        for (int y = 0; y < image.height(); ++y) {
            const bool ink = 1200 * k + y < 2500;
            QCOMPARE(row(image, y, 64), QString(64, QLatin1Char(ink ? 'B' : 'W')));
        }
    }
    QCOMPARE(tiles.count(), 3);
}

QTEST_MAIN(tst_ImageProcessor)
#include "tst_imageprocessor.moc"
