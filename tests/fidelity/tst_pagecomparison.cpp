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

QTEST_MAIN(tst_pagecomparison)
#include "tst_pagecomparison.moc"
