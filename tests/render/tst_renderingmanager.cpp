#include "largeimage.h"
#include "renderingmanager.h"
#include "vexlortypes.h"

#include <QPainter>
#include <QThread>
#include <QtTest>

namespace {

LaserOp::LaserOp filled(const QRectF &rect, const QColor &color, const QPainterPath &clip = QPainterPath())
{
    LaserOp::LaserOp item;
    item.type = LaserOp::EngravedPath;
    item.path.addRect(rect);
    item.clipPath = clip;
    item.pen = QPen(Qt::NoPen);
    item.brush = QBrush(color);
    return item;
}

LaserOp::LaserOp stroked(const QPointF &from, const QPointF &to, qreal width, const QColor &color = Qt::black)
{
    LaserOp::LaserOp item;
    item.type = LaserOp::CutLine;
    item.path.moveTo(from);
    item.path.lineTo(to);
    item.pen = QPen(QBrush(color), width, Qt::SolidLine, Qt::FlatCap);
    item.brush = QBrush(Qt::NoBrush);
    return item;
}

LaserOp::LaserOp image(const QSize &size, const QColor &color, const QTransform &transform,
    const QPainterPath &clip = QPainterPath())
{
    QImage picture(size, QImage::Format_ARGB32_Premultiplied);
    picture.fill(color);
    LaserOp::LaserOp item;
    item.type = LaserOp::Image;
    item.pixmap = QPixmap::fromImage(picture);
    item.transform = transform;
    item.clipPath = clip;
    return item;
}

LaserOp::LaserOp withType(LaserOp::LaserOp item, qint32 type)
{
    item.type = type;
    return item;
}

QPainterPath rectPath(const QRectF &rect)
{
    QPainterPath path;
    path.addRect(rect);
    return path;
}

QPainterPath twoElementPath()
{
    QPainterPath path;
    path.moveTo(0, 0);
    path.lineTo(5000, 5000);
    return path;
}

// A drawing that keeps the pool busy for seconds: many ellipses that each
// cover every tile of a tall band, so no tile can skip them.
Vexlor::LaserItemList slowList()
{
    Vexlor::LaserItemList list;
    for (int i = 0; i < 300; ++i) {
        LaserOp::LaserOp item;
        item.type = LaserOp::EngravedPath;
        item.path.addEllipse(QRectF(i % 7, i % 5, 1000, 48000));
        item.pen = QPen(Qt::NoPen);
        item.brush = QBrush(QColor::fromHsv(i % 360, 200, 200, 128));
        list.append(item);
    }
    return list;
}

QRgb pixelAt(const Vexlor::SceneTile &tiles, const QPoint &page)
{
    for (const auto &tile : tiles) {
        if (tile.first.contains(page))
            return tile.second.toImage().pixel(page - tile.first.topLeft()) | 0xff000000u;
    }
    qWarning() << "no tile holds" << page;
    return 0;
}

// A renderer on a thread of its own, driven only by queued calls, as its
// owners drive it.
class RenderFixture
{
public:
    RenderFixture()
        : spy(&manager, &renderingManager::finished)
    {
        manager.moveToThread(&thread);
        probe.moveToThread(&thread);
        thread.start();
    }
    ~RenderFixture()
    {
        thread.quit();
        thread.wait();
    }

    void setList(const Vexlor::LaserItemList &list)
    {
        QMetaObject::invokeMethod(
            &manager, "getList", Qt::QueuedConnection, Q_ARG(Vexlor::LaserItemList, list));
    }
    void start() { QMetaObject::invokeMethod(&manager, "startRender", Qt::QueuedConnection); }
    void kill() { QMetaObject::invokeMethod(&manager, "kill", Qt::QueuedConnection); }

    // Returns once the renderer's thread is back in its event loop: the
    // renderer delivers only its own events while it renders, so the probe's
    // call runs after every render asked for so far has returned.
    void settle()
    {
        QMetaObject::invokeMethod(
            &probe, [] {}, Qt::BlockingQueuedConnection);
    }

    Vexlor::SceneTile tiles(int i = 0) const { return qvariant_cast<Vexlor::SceneTile>(spy.at(i).at(0)); }

    QThread thread;
    renderingManager manager;
    QObject probe;
    QSignalSpy spy;
};

} // namespace

class tst_RenderingManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void tileGeometry_data();
    void tileGeometry();
    void emptyRendersStillEmit_data();
    void emptyRendersStillEmit();
    void pixelsOfFillsAndStrokes();
    void clipNeedsThreeElements();
    void imagesThroughTheirTransform();
    void hiddenItemsAreNotDrawn();
    void tallDrawingAcrossTiles();
    void pixelBudgetReducesThePicture();
    void killWhileOfferingTilesEmitsNothing();
    void killWhileWaitingEmitsNothing();
    void newRenderDuringRunningOne();
    void secondStartSupersedesTheFirst();
    void listSetDuringRenderWaitsForTheNext();
    void startClearsAnEarlierKill();
};

void tst_RenderingManager::tileGeometry_data()
{
    QTest::addColumn<Vexlor::LaserItemList>("items");
    QTest::addColumn<QVector<QRect>>("tiles");

    QTest::newRow("stroke widened by its pen")
        << Vexlor::LaserItemList { stroked({ 10, 10 }, { 110, 10 }, 2) }
        << QVector<QRect> { QRect(8, 8, 104, 1200) };
    QTest::newRow("2500 rows give three tiles")
        << Vexlor::LaserItemList { filled(QRectF(0, 0, 300.5, 2500), Qt::black) }
        << QVector<QRect> { QRect(0, 0, 301, 1200), QRect(0, 1200, 301, 1200), QRect(0, 2400, 301, 1200) };
    QTest::newRow("image corners both counted")
        << Vexlor::LaserItemList { image({ 100, 50 }, Qt::red, QTransform()) }
        << QVector<QRect> { QRect(0, 0, 101, 1200) };
    QTest::newRow("image corners rounded")
        << Vexlor::LaserItemList { image({ 10, 10 }, Qt::red, QTransform::fromTranslate(20.4, 30.6)) }
        << QVector<QRect> { QRect(20, 31, 11, 1200) };
    QTest::newRow("fractional bounds")
        << Vexlor::LaserItemList { filled(QRectF(10.5, 20.7, 30.2, 10), Qt::black) }
        << QVector<QRect> { QRect(10, 20, 31, 1200) };
    QTest::newRow("hidden item does not widen") << Vexlor::LaserItemList {
        withType(filled(QRectF(-500, -500, 9000, 9000), Qt::black), LaserOp::Hidden),
        filled(QRectF(10, 10, 20, 20), Qt::black)
    } << QVector<QRect> { QRect(10, 10, 20, 1200) };
    QTest::newRow("clip of four elements narrows") << Vexlor::LaserItemList {
        filled(QRectF(0, 0, 1000, 1000), Qt::black, rectPath(QRectF(100, 100, 50, 50)))
    } << QVector<QRect> { QRect(100, 100, 50, 1200) };
    QTest::newRow("clip of two elements ignored")
        << Vexlor::LaserItemList { filled(QRectF(0, 0, 1000, 1000), Qt::black, twoElementPath()) }
        << QVector<QRect> { QRect(0, 0, 1000, 1200) };
    QTest::newRow("image clipped") << Vexlor::LaserItemList {
        image({ 100, 100 }, Qt::red, QTransform(), rectPath(QRectF(10, 20, 30, 40)))
    } << QVector<QRect> { QRect(10, 20, 30, 1200) };
    QTest::newRow("clip that misses leaves the item out") << Vexlor::LaserItemList {
        filled(QRectF(0, 0, 100, 100), Qt::black, rectPath(QRectF(500, 500, 10, 10))),
        filled(QRectF(40, 50, 10, 10), Qt::black)
    } << QVector<QRect> { QRect(40, 50, 10, 1200) };
    QTest::newRow("union of items") << Vexlor::LaserItemList { filled(QRectF(100, 100, 10, 10), Qt::black),
        filled(QRectF(300, 1250, 10, 10), Qt::black) }
                                    << QVector<QRect> { QRect(100, 100, 210, 1200) };
}

void tst_RenderingManager::tileGeometry()
{
    QFETCH(Vexlor::LaserItemList, items);
    QFETCH(QVector<QRect>, tiles);
    RenderFixture fixture;
    fixture.setList(items);
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile result = fixture.tiles();
    QCOMPARE(result.size(), tiles.size());
    for (int i = 0; i < tiles.size(); ++i) {
        QCOMPARE(result.at(i).first, tiles.at(i));
        QCOMPARE(result.at(i).second.size(), tiles.at(i).size());
    }
}

void tst_RenderingManager::emptyRendersStillEmit_data()
{
    QTest::addColumn<Vexlor::LaserItemList>("items");
    QTest::newRow("no items") << Vexlor::LaserItemList();
    QTest::newRow("only hidden items")
        << Vexlor::LaserItemList { withType(filled(QRectF(0, 0, 100, 100), Qt::black), LaserOp::Hidden) };
    // Tiles two billion pixels wide cannot exist; refused rather than attempted.
    QTest::newRow("drawing too wide to render")
        << Vexlor::LaserItemList { filled(QRectF(0, 0, 10, 10), Qt::black),
               filled(QRectF(2e9, 0, 10, 10), Qt::black) };
    QTest::newRow("drawing too tall to render")
        << Vexlor::LaserItemList { filled(QRectF(0, 0, 1000, 10), Qt::black),
               filled(QRectF(0, 1e8, 10, 10), Qt::black) };
}

void tst_RenderingManager::emptyRendersStillEmit()
{
    QFETCH(Vexlor::LaserItemList, items);
    RenderFixture fixture;
    fixture.setList(items);
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    QVERIFY(fixture.tiles().isEmpty());
}

void tst_RenderingManager::pixelsOfFillsAndStrokes()
{
    RenderFixture fixture;
    fixture.setList({ filled(QRectF(0, 0, 100, 100), Qt::red), filled(QRectF(400, 300, 50, 50), Qt::blue),
        stroked({ 0, 200 }, { 450, 200 }, 6, Qt::green),
        // Later items paint over earlier ones.
        filled(QRectF(50, 50, 20, 20), Qt::yellow) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(tiles.size(), 1);
    QCOMPARE(pixelAt(tiles, { 10, 10 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(tiles, { 60, 60 }), qRgb(255, 255, 0));
    QCOMPARE(pixelAt(tiles, { 420, 320 }), qRgb(0, 0, 255));
    QCOMPARE(pixelAt(tiles, { 200, 197 }), qRgb(0, 255, 0));
    QCOMPARE(pixelAt(tiles, { 200, 202 }), qRgb(0, 255, 0));
    // Nothing drawn: white, also below the drawing in the full-height tile.
    QCOMPARE(pixelAt(tiles, { 250, 100 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 200, 196 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 200, 203 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 10, 1100 }), qRgb(255, 255, 255));
}

void tst_RenderingManager::clipNeedsThreeElements()
{
    RenderFixture fixture;
    fixture.setList({ filled(QRectF(0, 0, 5, 5), Qt::blue),
        filled(QRectF(0, 0, 100, 100), Qt::red, rectPath(QRectF(20, 20, 30, 30))),
        filled(QRectF(200, 0, 100, 100), Qt::green, twoElementPath()) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(pixelAt(tiles, { 35, 35 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(tiles, { 10, 10 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 60, 60 }), qRgb(255, 255, 255));
    // Two elements are no clip: drawn whole.
    QCOMPARE(pixelAt(tiles, { 210, 90 }), qRgb(0, 255, 0));
    QCOMPARE(pixelAt(tiles, { 290, 10 }), qRgb(0, 255, 0));
}

void tst_RenderingManager::imagesThroughTheirTransform()
{
    RenderFixture fixture;
    QTransform placed = QTransform::fromScale(2, 3) * QTransform::fromTranslate(50, 60);
    fixture.setList({ filled(QRectF(0, 0, 5, 5), Qt::blue), image({ 10, 10 }, Qt::green, placed),
        image({ 100, 100 }, Qt::red, QTransform::fromTranslate(200, 0), rectPath(QRectF(210, 10, 10, 10))) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(pixelAt(tiles, { 51, 61 }), qRgb(0, 255, 0));
    QCOMPARE(pixelAt(tiles, { 69, 89 }), qRgb(0, 255, 0));
    QCOMPARE(pixelAt(tiles, { 71, 70 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 60, 91 }), qRgb(255, 255, 255));
    // The clipped image shows only inside its clip.
    QCOMPARE(pixelAt(tiles, { 215, 15 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(tiles, { 205, 5 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 212, 25 }), qRgb(255, 255, 255));
}

void tst_RenderingManager::hiddenItemsAreNotDrawn()
{
    RenderFixture fixture;
    fixture.setList({ filled(QRectF(0, 0, 100, 100), Qt::red),
        withType(filled(QRectF(0, 0, 100, 100), Qt::green), LaserOp::Hidden),
        // Any other kind is drawn as a path.
        withType(filled(QRectF(0, 0, 10, 10), Qt::blue), LaserOp::EngravedAndCut) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    QCOMPARE(pixelAt(fixture.tiles(), { 50, 50 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(fixture.tiles(), { 5, 5 }), qRgb(0, 0, 255));
}

void tst_RenderingManager::tallDrawingAcrossTiles()
{
    RenderFixture fixture;
    fixture.setList({ filled(QRectF(0, 0, 300, 2500), Qt::black),
        filled(QRectF(100, 1150, 100, 100), Qt::red), filled(QRectF(0, 2450, 10, 50), Qt::blue) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(tiles.size(), 3);
    // An item across a tile border shows in both tiles.
    QCOMPARE(pixelAt(tiles, { 150, 1199 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(tiles, { 150, 1200 }), qRgb(255, 0, 0));
    QCOMPARE(pixelAt(tiles, { 250, 1199 }), qRgb(0, 0, 0));
    QCOMPARE(pixelAt(tiles, { 5, 2499 }), qRgb(0, 0, 255));
    QCOMPARE(pixelAt(tiles, { 5, 2500 }), qRgb(255, 255, 255));
    QCOMPARE(pixelAt(tiles, { 299, 3599 }), qRgb(255, 255, 255));
}

void tst_RenderingManager::pixelBudgetReducesThePicture()
{
    // 3001 x 7000 page pixels, about 21 million: a budget of one million
    // pixels gives a divisor of 5; each tile covers 6000 page rows (1200 of its
    // own), the width is rounded up to a multiple of the divisor.
    RenderFixture fixture;
    QMetaObject::invokeMethod(
        &fixture.manager, [&] { fixture.manager.setPixelBudget(1000000); }, Qt::BlockingQueuedConnection);
    fixture.setList(
        { filled(QRectF(0, 0, 3001, 7000), Qt::white), filled(QRectF(1000, 5000, 1000, 2000), Qt::black) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(tiles.size(), 2);
    QCOMPARE(tiles.at(0).first, QRect(0, 0, 3005, 6000));
    QCOMPARE(tiles.at(1).first, QRect(0, 6000, 3005, 6000));
    QCOMPARE(tiles.at(0).second.size(), QSize(601, 1200));
    // The black block lands at a fifth of its page place, across the two tiles.
    const QImage first = tiles.at(0).second.toImage();
    const QImage second = tiles.at(1).second.toImage();
    QCOMPARE(first.pixel(300, 1100) | 0xff000000u, qRgb(0, 0, 0));
    QCOMPARE(first.pixel(100, 1100) | 0xff000000u, qRgb(255, 255, 255));
    QCOMPARE(first.pixel(300, 900) | 0xff000000u, qRgb(255, 255, 255));
    QCOMPARE(second.pixel(300, 100) | 0xff000000u, qRgb(0, 0, 0));
    QCOMPARE(second.pixel(300, 300) | 0xff000000u, qRgb(255, 255, 255));
    // The memory a render of the page takes, known before it is made.
    qint64 taken = 0;
    for (const auto &tile : tiles)
        taken += Vexlor::largeImageBytes(tile.second.size(), QImage::Format_RGB32);
    QCOMPARE(fixture.manager.memoryFor(QSize(3001, 7000)), taken);
    QCOMPARE(fixture.manager.memoryFor(QSize()), qint64(0));

    // Within the budget nothing is reduced.
    QCOMPARE(renderingManager::divisorFor(
                 renderingManager::tileRects({ filled(QRectF(0, 0, 800, 1000), Qt::black) }, 1200), 1000000),
        1);
}

void tst_RenderingManager::killWhileOfferingTilesEmitsNothing()
{
    // Both calls are queued before the render starts, so the kill arrives
    // while the forty tiles of the drawing are being offered.
    RenderFixture fixture;
    fixture.setList(slowList());
    fixture.start();
    fixture.kill();
    fixture.settle();
    QCOMPARE(fixture.spy.count(), 0);
}

void tst_RenderingManager::killWhileWaitingEmitsNothing()
{
    // One tile only: it is offered at once, and the kill arrives while the
    // renderer waits for the pool. Its tile is partly painted and is dropped.
    Vexlor::LaserItemList list = slowList();
    for (LaserOp::LaserOp &item : list) {
        item.path = QPainterPath();
        item.path.addEllipse(QRectF(0, 0, 4000, 1100));
    }
    RenderFixture fixture;
    fixture.setList(list);
    fixture.start();
    fixture.kill();
    fixture.settle();
    QCOMPARE(fixture.spy.count(), 0);
}

void tst_RenderingManager::newRenderDuringRunningOne()
{
    // What the window sends when a new scene arrives while the old one renders.
    RenderFixture fixture;
    fixture.setList(slowList());
    fixture.start();
    fixture.kill();
    fixture.setList({ filled(QRectF(10, 20, 30, 40), Qt::red) });
    fixture.start();
    fixture.settle();
    QCOMPARE(fixture.spy.count(), 1);
    const Vexlor::SceneTile tiles = fixture.tiles();
    QCOMPARE(tiles.size(), 1);
    QCOMPARE(tiles.first().first, QRect(10, 20, 30, 1200));
    QCOMPARE(pixelAt(tiles, { 20, 30 }), qRgb(255, 0, 0));

    // And a kill after that new start stops both.
    fixture.spy.clear();
    fixture.setList(slowList());
    fixture.start();
    fixture.setList({ filled(QRectF(10, 20, 30, 40), Qt::red) });
    fixture.start();
    fixture.kill();
    fixture.settle();
    QCOMPARE(fixture.spy.count(), 0);
}

void tst_RenderingManager::secondStartSupersedesTheFirst()
{
    RenderFixture fixture;
    fixture.setList(slowList());
    fixture.start();
    fixture.setList({ filled(QRectF(0, 0, 30, 40), Qt::blue) });
    fixture.start();
    fixture.settle();
    QCOMPARE(fixture.spy.count(), 1);
    QCOMPARE(fixture.tiles().first().first, QRect(0, 0, 30, 1200));
}

void tst_RenderingManager::listSetDuringRenderWaitsForTheNext()
{
    // The render works on the list it started with.
    RenderFixture fixture;
    fixture.setList({ filled(QRectF(0, 0, 30, 2500), Qt::blue) });
    fixture.start();
    fixture.setList({ filled(QRectF(5, 5, 10, 10), Qt::red) });
    QTRY_COMPARE(fixture.spy.count(), 1);
    QCOMPARE(fixture.tiles(0).size(), 3);
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 2);
    QCOMPARE(fixture.tiles(1).size(), 1);
    QCOMPARE(fixture.tiles(1).first().first, QRect(5, 5, 10, 1200));
}

void tst_RenderingManager::startClearsAnEarlierKill()
{
    RenderFixture fixture;
    fixture.kill();
    fixture.setList({ filled(QRectF(0, 0, 30, 40), Qt::blue) });
    fixture.start();
    QTRY_COMPARE(fixture.spy.count(), 1);
    QCOMPARE(pixelAt(fixture.tiles(), { 10, 10 }), qRgb(0, 0, 255));
}

QTEST_MAIN(tst_RenderingManager)
#include "tst_renderingmanager.moc"
