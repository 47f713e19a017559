// The fidelity metric itself: it must forgive anti-aliasing along edges
// and nothing else.

#include "pagecomparison.h"

#include <QPainter>
#include <QtTest>

namespace {

// a page with a filled disc and a one-pixel line
QImage page(const QPointF &centre, double radius, QColor color, bool antialiased, double lineY = 300.5)
{
    QImage image(400, 400, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, antialiased);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(centre, radius, radius);
    painter.setPen(QPen(Qt::black, 1.0));
    painter.drawLine(QPointF(20, lineY), QPointF(380, lineY));
    return image;
}

} // namespace

class tst_pagecomparison : public QObject
{
    Q_OBJECT

private slots:
    void agreement_data();
    void agreement();
    void sizesMustMatch();
    void lightTonesCount();
    void lineWeight();
    void inkWeightPlaceByPlace();
};

void tst_pagecomparison::agreement_data()
{
    QTest::addColumn<QImage>("other");
    QTest::addColumn<bool>("agrees"); // at the 99 % target on the ink pixels

    const QPointF centre(150, 150);
    QTest::newRow("same page") << page(centre, 60, Qt::blue, true) << true;
    QTest::newRow("edges without anti-aliasing") << page(centre, 60, Qt::blue, false) << true;
    QTest::newRow("moved by half a pixel") << page(centre + QPointF(0.5, 0.5), 60, Qt::blue, true) << true;
    QTest::newRow("line straddling two rows") << page(centre, 60, Qt::blue, true, 301.0) << true;
    QTest::newRow("moved by four pixels") << page(centre + QPointF(4, 0), 60, Qt::blue, true) << false;
    QTest::newRow("five pixels larger") << page(centre, 65, Qt::blue, true) << false;
    QTest::newRow("another colour") << page(centre, 60, QColor(0, 0, 170), true) << false;
    QTest::newRow("disc missing") << page(centre, 0, Qt::blue, true) << false;
    QTest::newRow("line moved by three rows") << page(centre, 60, Qt::blue, true, 303.5) << false;
}

void tst_pagecomparison::agreement()
{
    QFETCH(QImage, other);
    QFETCH(bool, agrees);
    const QImage reference = page(QPointF(150, 150), 60, Qt::blue, true);
    const pageComparison::Result result = pageComparison::compare(reference, other);
    QVERIFY(result.sameSize);
    QVERIFY(result.inkPixels > 11000);
    QVERIFY2((result.inkAgreement() >= 0.99) == agrees, qPrintable(QString::number(result.inkAgreement())));
    // the comparison is symmetric
    QCOMPARE(pageComparison::compare(other, reference).inkAgreeing, result.inkAgreeing);
}

void tst_pagecomparison::sizesMustMatch()
{
    const pageComparison::Result result
        = pageComparison::compare(QImage(10, 10, QImage::Format_RGB32), QImage(10, 11, QImage::Format_RGB32));
    QVERIFY(!result.sameSize);
    QCOMPARE(result.inkAgreement(), 1.0);
    QCOMPARE(result.pixels, 0);
}

void tst_pagecomparison::lightTonesCount()
{
    // a page of black text lines and a 12 % grey box over 6.5 % of it
    auto sheet = [](bool box) {
        QImage image(600, 800, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        for (int y = 40; y < 760; y += 24)
            painter.fillRect(40, y, 500, 3, Qt::black);
        if (box)
            painter.fillRect(100, 300, 240, 130, QColor(224, 224, 224));
        return image;
    };
    const QImage withBox = sheet(true);
    const QImage without = sheet(false);
    QVERIFY(240 * 130 >= 0.065 * 600 * 800);
    const pageComparison::Result result = pageComparison::compare(withBox, without);
    QVERIFY2(result.inkAgreement() < 0.985, qPrintable(QString::number(result.inkAgreement())));
    QVERIFY(pageComparison::blockWeightAgreement(withBox, without) < 0.985);
    QCOMPARE(pageComparison::compare(withBox, sheet(true)).inkAgreement(), 1.0);
}

void tst_pagecomparison::lineWeight()
{
    // hairlines one pixel wide, as dark as the reference's, as two lighter
    // columns, and with 0.81 of the reference's darkness
    auto lines = [](int grey, bool split) {
        QImage image(600, 600, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        for (int x = 20; x < 580; x += 6) {
            if (split) {
                painter.fillRect(x, 20, 1, 560, QColor(128, 128, 128));
                painter.fillRect(x + 1, 20, 1, 560, QColor(127, 127, 127));
            } else {
                painter.fillRect(x, 20, 1, 560, QColor(grey, grey, grey));
            }
        }
        return image;
    };
    const QImage reference = lines(0, false);
    const double weight = pageComparison::darkness(reference);
    QVERIFY(weight > 0);
    QVERIFY(std::abs(pageComparison::darkness(lines(0, true)) / weight - 1.0) < 0.01);
    const QImage light = lines(255 - int(0.81 * 255), false);
    QVERIFY(std::abs(pageComparison::darkness(light) / weight - 0.81) < 0.01);
    QVERIFY(pageComparison::blockWeightAgreement(reference, light) < 0.5);
    QVERIFY(pageComparison::blockWeightAgreement(reference, lines(0, true)) > 0.999);
}

void tst_pagecomparison::inkWeightPlaceByPlace()
{
    // the same square in another place: the page's weight balances, its
    // blocks do not
    QImage first(400, 400, QImage::Format_RGB32);
    first.fill(Qt::white);
    QImage second = first;
    QPainter(&first).fillRect(40, 40, 64, 64, Qt::black);
    QPainter(&second).fillRect(240, 240, 64, 64, Qt::black);
    QCOMPARE(pageComparison::darkness(first), pageComparison::darkness(second));
    QCOMPARE(pageComparison::blockWeightAgreement(first, second), 0.0);
    QCOMPARE(pageComparison::blockWeightAgreement(first, first), 1.0);
}

QTEST_MAIN(tst_pagecomparison)
#include "tst_pagecomparison.moc"
