// The preview's tiles in a scene, drawn as the view draws them.

#include "previewtile.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPainter>
#include <QtTest>

#include <random>

namespace {

QImage filled(const QSize &size, QRgb colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// The scene's rectangle source drawn into a white picture of target's size.
QImage draw(QGraphicsScene &scene, const QRectF &source, const QSize &target)
{
    QImage out(target, QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter painter(&out);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    scene.render(&painter, QRectF(QPointF(0, 0), QSizeF(target)), source, Qt::IgnoreAspectRatio);
    return out;
}

int lightPixels(const QImage &image, const QRect &area)
{
    int light = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            light += qGray(image.pixel(x, y)) > 8;
    return light;
}

LaserOp::LaserOp blackRect(const QRectF &rect)
{
    LaserOp::LaserOp item;
    item.type = LaserOp::EngravedPath;
    item.path.addRect(rect);
    item.pen = QPen(Qt::NoPen);
    item.brush = QBrush(Qt::black);
    return item;
}

} // namespace

class tst_PreviewTile : public QObject
{
    Q_OBJECT
private slots:
    void noSeamBetweenTiles_data();
    void noSeamBetweenTiles();
    void zoomedInBeyondAReducedPicturePaintsTheItems();
    void oneBitTilesShowTheirBitsOrTheirOverview();
    void greyOverviewCountsBlack();
};

void tst_PreviewTile::noSeamBetweenTiles_data()
{
    QTest::addColumn<double>("zoom");
    QTest::addColumn<bool>("reduced");
    for (double zoom : { 0.0137, 0.0231, 0.0437, 0.0871, 0.1321, 0.2011, 0.3, 0.731 }) {
        QTest::newRow(qPrintable(QStringLiteral("zoom %1").arg(zoom))) << zoom << false;
        QTest::newRow(qPrintable(QStringLiteral("zoom %1, reduced").arg(zoom))) << zoom << true;
    }
}

void tst_PreviewTile::noSeamBetweenTiles()
{
    // Five solid black tiles of 1200 rows, at full size or reduced five
    // times as the preview makes them, in a view as the window has it: at
    // any zoom no light pixel may appear where two tiles meet.
    QFETCH(double, zoom);
    QFETCH(bool, reduced);
    QGraphicsScene scene;
    for (int k = 0; k < 5; ++k) {
        const QSize size = reduced ? QSize(600, 240) : QSize(3000, 1200);
        scene.addItem(
            new previewTile(QRect(0, 1200 * k, 3000, 1200), filled(size, qRgb(0, 0, 0)), QImage(), {}));
    }
    QGraphicsView view(&scene);
    view.setRenderHints(
        QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    view.resize(500, 500);
    view.show();
    view.setTransform(QTransform::fromScale(zoom, zoom));
    view.centerOn(1500, 3000);
    const QImage shown = view.viewport()->grab().toImage();
    const QRect inside = view.mapFromScene(QRectF(20, 20, 2960, 5960))
                             .boundingRect()
                             .adjusted(2, 2, -2, -2)
                             .intersected(shown.rect().adjusted(2, 2, -2, -2));
    QVERIFY(inside.height() > 10);
    QCOMPARE(lightPixels(shown, inside), 0);
}

void tst_PreviewTile::zoomedInBeyondAReducedPicturePaintsTheItems()
{
    // The reduced picture says "white", the items say "black on the left
    // half": zoomed out the picture shows, zoomed in the items do.
    QGraphicsScene scene;
    scene.addItem(new previewTile(QRect(0, 0, 100, 100), filled(QSize(10, 10), qRgb(255, 255, 255)), QImage(),
        { blackRect(QRectF(0, 0, 50, 100)) }));
    const QImage far = draw(scene, QRectF(0, 0, 100, 100), QSize(10, 10));
    QCOMPARE(qGray(far.pixel(2, 5)), 255);
    const QImage near = draw(scene, QRectF(0, 0, 100, 100), QSize(100, 100));
    QCOMPARE(qGray(near.pixel(20, 50)), 0);
    QCOMPARE(qGray(near.pixel(80, 50)), 255);
}

void tst_PreviewTile::oneBitTilesShowTheirBitsOrTheirOverview()
{
    // A one-bit checkerboard with an overview at a quarter: at full size
    // every pixel is black or white as engraved; zoomed out to a quarter the
    // overview gives its grey.
    QImage bits(64, 64, QImage::Format_Mono);
    bits.setColorCount(2);
    bits.setColor(0, qRgb(255, 255, 255));
    bits.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            bits.setPixel(x, y, (x + y) % 2);
    QGraphicsScene scene;
    scene.addItem(new previewTile(QRect(0, 0, 64, 64), bits, previewTile::greyOverview(bits, 4), {}));

    const QImage full = draw(scene, QRectF(0, 0, 64, 64), QSize(64, 64));
    for (int y = 1; y < 63; ++y)
        for (int x = 1; x < 63; ++x)
            QCOMPARE(qGray(full.pixel(x, y)), (x + y) % 2 ? 0 : 255);
    const QImage quarter = draw(scene, QRectF(0, 0, 64, 64), QSize(16, 16));
    QVERIFY(qAbs(qGray(quarter.pixel(8, 8)) - 128) <= 2);
}

void tst_PreviewTile::greyOverviewCountsBlack()
{
    // 10 x 3 pixels by 4: the last column and row of blocks are partial.
    QImage bits(10, 3, QImage::Format_Mono);
    bits.setColorCount(2);
    bits.setColor(0, qRgb(255, 255, 255));
    bits.setColor(1, qRgb(0, 0, 0));
    bits.fill(0);
    for (int x = 0; x < 4; ++x)
        bits.setPixel(x, 0, 1); // 4 of 12 black in the first block
    for (int y = 0; y < 3; ++y)
        for (int x = 8; x < 10; ++x)
            bits.setPixel(x, y, 1); // all 6 black in the last block
    const QImage grey = previewTile::greyOverview(bits, 4);
    QCOMPARE(grey.size(), QSize(3, 1));
    QCOMPARE(int(grey.constScanLine(0)[0]), 255 - 85);
    QCOMPARE(int(grey.constScanLine(0)[1]), 255);
    QCOMPARE(int(grey.constScanLine(0)[2]), 0);

    // The same with the colours the other way round and bits least significant first.
    QImage lsb = bits.convertToFormat(QImage::Format_MonoLSB);
    QCOMPARE(previewTile::greyOverview(lsb, 4), grey);

    // Blocks of whole bytes are counted bytewise (sixteen bytes at a time for
    // blocks of eight): the same answers as pixel by pixel, the padding of a
    // partial last byte left out, either bit order, either colour for black.
    std::mt19937 random(77);
    for (const int factor : { 8, 16, 24 }) {
        for (const int width : { 45, 300, 389 }) {
            QImage wide(width, 19, QImage::Format_Mono);
            wide.setColorCount(2);
            wide.setColor(0, qRgb(255, 255, 255));
            wide.setColor(1, qRgb(0, 0, 0));
            // padding bits set, so that counting them shows
            wide.fill(1);
            for (int y = 0; y < 19; ++y)
                for (int x = 0; x < width; ++x)
                    wide.setPixel(x, y, (x * 7 + y * 3) % 5 == 0 || random() % 3 == 0 ? 0 : 1);
            const QImage byBytes = previewTile::greyOverview(wide, factor);
            const int w = (width + factor - 1) / factor;
            const int h = (19 + factor - 1) / factor;
            QCOMPARE(byBytes.size(), QSize(w, h));
            for (int oy = 0; oy < h; ++oy)
                for (int ox = 0; ox < w; ++ox) {
                    int blackCount = 0, area = 0;
                    for (int y = oy * factor; y < std::min(19, oy * factor + factor); ++y)
                        for (int x = ox * factor; x < std::min(width, ox * factor + factor); ++x, ++area)
                            blackCount += wide.pixelIndex(x, y);
                    QCOMPARE(int(byBytes.constScanLine(oy)[ox]), 255 - (blackCount * 255 + area / 2) / area);
                }
            QCOMPARE(previewTile::greyOverview(wide.convertToFormat(QImage::Format_MonoLSB), factor), byBytes);
            QImage swapped = wide;
            swapped.setColor(0, qRgb(0, 0, 0));
            swapped.setColor(1, qRgb(255, 255, 255));
            swapped.invertPixels();
            QCOMPARE(previewTile::greyOverview(swapped, factor), byBytes);
        }
    }
}

QTEST_MAIN(tst_PreviewTile)
#include "tst_previewtile.moc"
