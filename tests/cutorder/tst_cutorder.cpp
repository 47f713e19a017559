#include "cutorder.h"
#include "jobdecoder.h"
#include "jobreport.h"
#include "pclgenerator.h"

#include <QDataStream>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <cmath>

using Vexlor::CutOrder;
using Vexlor::PathElements;

Q_DECLARE_METATYPE(QList<QPainterPath>)

namespace {

QPainterPath polygon(const QVector<QPointF> &corners, bool close = true)
{
    QPainterPath p(corners.first());
    for (int i = 1; i < corners.size(); ++i)
        p.lineTo(corners.at(i));
    if (close)
        p.lineTo(corners.first());
    return p;
}

QPainterPath square(double left, double top, double side)
{
    return polygon(
        { { left, top }, { left + side, top }, { left + side, top + side }, { left, top + side } });
}

// The runs as text, "M x,y L x,y C x,y D x,y D x,y | M ...", for comparing
// with orders written out by hand.
QString text(const QList<PathElements> &runs)
{
    QStringList parts;
    for (const PathElements &run : runs) {
        QStringList elements;
        for (const QPainterPath::Element &e : run)
            elements << QStringLiteral("%1 %2,%3").arg(QLatin1Char("MLCD"[int(e.type)])).arg(e.x).arg(e.y);
        parts << elements.join(QLatin1Char(' '));
    }
    return parts.join(QStringLiteral(" | "));
}

QString text(const PathElements &run)
{
    return text(QList<PathElements> { run });
}

QString text(const QPainterPath &path)
{
    PathElements run;
    for (int i = 0; i < path.elementCount(); ++i)
        run.append(path.elementAt(i));
    return text(QList<PathElements> { run });
}

// The segments of runs, each as (type, points), read the same from either
// end, in a canonical order: what must come out exactly once whatever the
// order.
QStringList segments(const QList<PathElements> &runs)
{
    auto point = [](double x, double y) { return QStringLiteral("%1,%2").arg(x).arg(y); };
    QStringList out;
    for (const PathElements &run : runs) {
        QString at = point(run.first().x, run.first().y);
        if (run.size() == 1)
            out << QStringLiteral("point ") + at;
        for (int i = 1; i < run.size(); ++i) {
            const QPainterPath::Element &e = run.at(i);
            if (e.type == QPainterPath::CurveToElement) {
                const QString c1 = point(e.x, e.y), c2 = point(run.at(i + 1).x, run.at(i + 1).y),
                              end = point(run.at(i + 2).x, run.at(i + 2).y);
                out << QStringLiteral("curve ")
                        + std::min(QStringList { at, c1, c2, end }.join(QLatin1Char(' ')),
                            QStringList { end, c2, c1, at }.join(QLatin1Char(' ')));
                at = end;
                i += 2;
            } else {
                const QString end = point(e.x, e.y);
                out << QStringLiteral("line ") + std::min(at, end) + QLatin1Char(' ') + std::max(at, end);
                at = end;
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

QList<PathElements> runsOf(const QList<QPainterPath> &paths)
{
    QList<PathElements> runs;
    for (const QPainterPath &path : paths) {
        for (int i = 0; i < path.elementCount(); ++i) {
            if (path.elementAt(i).type == QPainterPath::MoveToElement)
                runs.append(PathElements());
            runs.last().append(path.elementAt(i));
        }
    }
    return runs;
}

QByteArray jobOf(const QList<QPainterPath> &paths, const QString &sort, const QString &resolution = QString())
{
    pclGenerator generator;
    vexlorSettings settings;
    settings.settings.insert(QStringLiteral("vectorSort"), sort);
    if (!resolution.isEmpty())
        settings.settings.insert(QStringLiteral("cResolution"), resolution);
    generator.setSettings(settings);
    VectorList list;
    for (const QPainterPath &p : paths) {
        LaserOp::LaserOp item;
        item.type = LaserOp::CutLine;
        item.path = p;
        list.items.append(item);
    }
    generator.getVectors(list);
    QSignalSpy done(&generator, &pclGenerator::done);
    generator.process();
    return done.at(0).at(0).toByteArray();
}

QByteArray vectorBlockOf(const QList<QPainterPath> &paths, const QString &sort)
{
    const QByteArray stream = jobOf(paths, sort);
    const int from = stream.indexOf("LT") + 2;
    return stream.mid(from, stream.indexOf('\x1b', from) - from);
}

} // namespace

class tst_cutOrder : public QObject
{
    Q_OBJECT

private slots:
    void settingNames();
    void noneKeepsEveryPathAsItIs();
    void innerFirst_data();
    void innerFirst();
    void nearestStartsClosedShapesAtTheNearestCorner();
    void nearestFollowsChainsFromEitherEnd();
    void nearestKeepsInnerFirst();
    void nearestRotatesCurvesWhole();
    void awkwardShapesComeOutOnce_data();
    void awkwardShapesComeOutOnce();
    void oddElementsStayAsTheyAre();
    void manyShapesCompleteOrderedAndRepeatable();
    void generatorBytes_data();
    void generatorBytes();
    void travelInTheEngraverSummary_data();
    void travelInTheEngraverSummary();
};

void tst_cutOrder::settingNames()
{
    QCOMPARE(Vexlor::cutOrderFromSetting(QStringLiteral("inner")), CutOrder::Inner);
    QCOMPARE(Vexlor::cutOrderFromSetting(QStringLiteral("inside")), CutOrder::Inner);
    QCOMPARE(Vexlor::cutOrderFromSetting(QStringLiteral("nearest")), CutOrder::Nearest);
    QCOMPARE(Vexlor::cutOrderFromSetting(QStringLiteral("none")), CutOrder::None);
    QCOMPARE(Vexlor::cutOrderFromSetting(QStringLiteral("Nearest")), CutOrder::None);
    QCOMPARE(Vexlor::cutOrderFromSetting(QString()), CutOrder::None);
}

void tst_cutOrder::noneKeepsEveryPathAsItIs()
{
    // Two subpaths in one item stay one run; a zero-length line stays.
    QPainterPath two = square(0, 0, 10);
    two.addRect(20, 0, 5, 5);
    QPainterPath dot(QPointF(7, 7));
    const QList<PathElements> runs = Vexlor::orderCuts({ square(50, 50, 10), two, dot }, CutOrder::None);
    QCOMPARE(runs.size(), 3);
    QCOMPARE(text(runs.at(0)), text(square(50, 50, 10)));
    QCOMPARE(text(runs.at(1)), text(two));
    QCOMPARE(text(runs.at(2)), QStringLiteral("M 7,7"));
}

void tst_cutOrder::innerFirst_data()
{
    QTest::addColumn<QList<QPainterPath>>("paths");
    QTest::addColumn<QList<int>>("order"); // indexes of paths, in cutting order

    const QPainterPath outer = square(0, 0, 100);
    const QPainterPath hole = square(25, 25, 50);
    const QPainterPath inHole = square(40, 40, 10);
    const QPainterPath apart = square(200, 0, 10);
    QTest::newRow("hole before part") << QList<QPainterPath> { outer, hole } << QList<int> { 1, 0 };
    QTest::newRow("three levels") << QList<QPainterPath> { outer, hole, inHole } << QList<int> { 2, 1, 0 };
    // The shape apart keeps its place: it was ready before the part was.
    QTest::newRow("unrelated shape keeps document order")
        << QList<QPainterPath> { outer, apart, hole } << QList<int> { 1, 2, 0 };
    QTest::newRow("open line inside")
        << QList<QPainterPath> { outer, polygon({ { 10, 10 }, { 90, 90 } }, false) } << QList<int> { 1, 0 };
    QTest::newRow("inner shape touching the outline from inside")
        << QList<QPainterPath> { outer, square(0, 0, 50) } << QList<int> { 1, 0 };
    QTest::newRow("side by side, sharing an edge")
        << QList<QPainterPath> { square(0, 0, 50), square(50, 0, 50) } << QList<int> { 0, 1 };
    QTest::newRow("crossing") << QList<QPainterPath> { square(0, 0, 50), square(25, 25, 50) }
                              << QList<int> { 0, 1 };
    // An L whose notch holds a square: the square is outside the L.
    QTest::newRow("in the notch of an L") << QList<QPainterPath> {
        polygon({ { 0, 0 }, { 100, 0 }, { 100, 50 }, { 50, 50 }, { 50, 100 }, { 0, 100 } }),
        square(60, 60, 30)
    } << QList<int> { 0, 1 };
    QTest::newRow("identical twins") << QList<QPainterPath> { hole, hole } << QList<int> { 0, 1 };
    // An outline of 200 corners (its edges are looked up by height): a
    // square in its middle lies inside, one in the corner of its bounds not.
    QVector<QPointF> round;
    for (int k = 0; k < 200; ++k)
        round.append(QPointF(100 + 100 * std::cos(k * M_PI / 100), 100 + 100 * std::sin(k * M_PI / 100)));
    QTest::newRow("many corners") << QList<QPainterPath> { polygon(round), square(2, 2, 10),
        square(90, 90, 20) } << QList<int> { 1, 2, 0 };
}

void tst_cutOrder::innerFirst()
{
    QFETCH(QList<QPainterPath>, paths);
    QFETCH(QList<int>, order);
    const QList<PathElements> runs = Vexlor::orderCuts(paths, CutOrder::Inner);
    QCOMPARE(runs.size(), order.size());
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(text(runs.at(i)), text(paths.at(order.at(i))));
}

void tst_cutOrder::nearestStartsClosedShapesAtTheNearestCorner()
{
    // Head at (0, 0). The near square is drawn from its far corner (20, 20):
    // it is started at (10, 10) instead, 14.1 away (the open line's end
    // (30, 0) is 30 away). From (10, 10) the line's end is 22.4 away, its
    // start (40, 0) 31.6: the line is cut backwards, ending at (40, 0). The
    // far square is then started at its corner nearest (40, 0): (1000, 1000).
    const QPainterPath far = polygon({ { 1100, 1100 }, { 1000, 1100 }, { 1000, 1000 }, { 1100, 1000 } });
    const QPainterPath nearSquare = polygon({ { 20, 20 }, { 10, 20 }, { 10, 10 }, { 20, 10 } });
    const QPainterPath line = polygon({ { 40, 0 }, { 30, 0 } }, false);
    const QList<PathElements> runs = Vexlor::orderCuts({ far, nearSquare, line }, CutOrder::Nearest);
    QCOMPARE(text(runs),
        QStringLiteral("M 10,10 L 20,10 L 20,20 L 10,20 L 10,10 | M 30,0 L 40,0 | "
                       "M 1000,1000 L 1100,1000 L 1100,1100 L 1000,1100 L 1000,1000"));
}

void tst_cutOrder::nearestFollowsChainsFromEitherEnd()
{
    // A zigzag of three open strokes, each starting where the one before
    // ended, drawn in document order; a curve at its far end. The head
    // stands by the far end: the chain is cut backwards with no move between
    // its strokes, the curve with its control points swapped.
    QPainterPath curve(QPointF(30, 0));
    curve.cubicTo(QPointF(32, 5), QPointF(38, 5), QPointF(40, 0));
    const QList<PathElements> runs = Vexlor::orderCuts(
        { polygon({ { 0, 0 }, { 10, 10 } }, false), polygon({ { 10, 10 }, { 20, 0 } }, false),
            polygon({ { 20, 0 }, { 30, 0 } }, false), curve },
        CutOrder::Nearest, QPointF(41, 0));
    QCOMPARE(text(runs),
        QStringLiteral("M 40,0 C 38,5 D 32,5 D 30,0 | M 30,0 L 20,0 | M 20,0 L 10,10 | M 10,10 L 0,0"));
    QCOMPARE(Vexlor::travelLength(runs, QPointF(41, 0)), 1.0);
}

void tst_cutOrder::nearestKeepsInnerFirst()
{
    // The part's corner (0, 0) is where the head stands, but its hole comes
    // first, started at its corner nearest the head, (40, 40); the part is
    // then started at its corner nearest (40, 40): (0, 0) is 56.6 away,
    // (100, 0) and (0, 100) 72.1, (100, 100) 84.9.
    const QList<PathElements> runs
        = Vexlor::orderCuts({ square(0, 0, 100), square(40, 40, 20) }, CutOrder::Nearest);
    QCOMPARE(text(runs),
        QStringLiteral("M 40,40 L 60,40 L 60,60 L 40,60 L 40,40 | M 0,0 L 100,0 L 100,100 L 0,100 L 0,0"));
}

void tst_cutOrder::nearestRotatesCurvesWhole()
{
    // A closed shape of a line and a curve, drawn from (100, 0); the head
    // stands at (0, 0), nearest the corner (0, 0) where the curve ends. The
    // shape then starts there with the line, and the curve follows whole.
    QPainterPath p(QPointF(100, 0));
    p.cubicTo(QPointF(100, 50), QPointF(0, 50), QPointF(0, 0));
    p.lineTo(QPointF(100, 0));
    const QList<PathElements> runs = Vexlor::orderCuts({ p }, CutOrder::Nearest);
    QCOMPARE(text(runs), QStringLiteral("M 0,0 L 100,0 C 100,50 D 0,50 D 0,0"));
}

void tst_cutOrder::awkwardShapesComeOutOnce_data()
{
    QTest::addColumn<QList<QPainterPath>>("paths");
    QPainterPath lone(QPointF(5, 5));
    QPainterPath zeroLine(QPointF(8, 8));
    zeroLine.lineTo(QPointF(8.5, 8));
    QPainterPath twoInOne = square(0, 0, 30);
    twoInOne.addRect(10, 10, 10, 10);
    QPainterPath nan(QPointF(qQNaN(), 3));
    nan.lineTo(QPointF(4, qInf()));
    QTest::newRow("lone move") << QList<QPainterPath> { lone, square(0, 0, 10) };
    QTest::newRow("short line") << QList<QPainterPath> { zeroLine, square(0, 0, 10), zeroLine };
    QTest::newRow("repeated closed shape")
        << QList<QPainterPath> { square(0, 0, 10), square(0, 0, 10), square(0, 0, 10) };
    QTest::newRow("two subpaths in one item, the second inside the first")
        << QList<QPainterPath> { twoInOne };
    QTest::newRow("not a number") << QList<QPainterPath> { nan, square(0, 0, 10) };
    QTest::newRow("empty path") << QList<QPainterPath> { QPainterPath(), square(0, 0, 10) };
}

void tst_cutOrder::awkwardShapesComeOutOnce()
{
    QFETCH(QList<QPainterPath>, paths);
    const QStringList all = segments(runsOf(paths));
    for (CutOrder order : { CutOrder::Inner, CutOrder::Nearest }) {
        const QList<PathElements> runs = Vexlor::orderCuts(paths, order);
        QCOMPARE(segments(runs), all);
        QCOMPARE(text(Vexlor::orderCuts(paths, order)), text(runs));
    }
}

void tst_cutOrder::oddElementsStayAsTheyAre()
{
    // Elements that QPainterPath's own functions never write: a path that
    // starts with a line, curve data without a curve, a curve without its
    // data. Such runs are never turned round or started elsewhere.
    QByteArray data;
    {
        QDataStream out(&data, QIODevice::WriteOnly);
        out << 6;
        for (const auto &e :
            { qMakePair(1, QPointF(1, 1)), qMakePair(3, QPointF(2, 2)), qMakePair(1, QPointF(3, 1)),
                qMakePair(0, QPointF(9, 9)), qMakePair(1, QPointF(8, 9)), qMakePair(2, QPointF(7, 7)) })
            out << e.first << e.second.x() << e.second.y();
        out << 0 << int(Qt::OddEvenFill);
    }
    QPainterPath odd;
    QDataStream in(&data, QIODevice::ReadOnly);
    in >> odd;
    QCOMPARE(odd.elementCount(), 6);
    for (CutOrder order : { CutOrder::Inner, CutOrder::Nearest })
        QCOMPARE(
            text(Vexlor::orderCuts({ odd }, order)), QStringLiteral("L 1,1 D 2,2 L 3,1 | M 9,9 L 8,9 C 7,7"));
}

void tst_cutOrder::manyShapesCompleteOrderedAndRepeatable()
{
    // Squares of all sizes, many nested, touching, crossing and repeated,
    // and open lines among them.
    QRandomGenerator random(4711);
    QList<QPainterPath> paths;
    QList<bool> closed;
    for (int i = 0; i < 600; ++i) {
        const double x = random.bounded(40) * 5, y = random.bounded(40) * 5;
        const double side = (1 + random.bounded(10)) * 5;
        closed.append(i % 7 != 0);
        paths.append(
            closed.last() ? square(x, y, side) : polygon({ { x, y }, { x + side, y + side / 2 } }, false));
        if (i % 50 == 0) {
            paths.append(paths.last());
            closed.append(closed.last());
        }
    }
    const QStringList all = segments(runsOf(paths));
    for (CutOrder order : { CutOrder::Inner, CutOrder::Nearest }) {
        const QList<PathElements> runs = Vexlor::orderCuts(paths, order);
        QCOMPARE(segments(runs), all);
        QCOMPARE(text(Vexlor::orderCuts(paths, order)), text(runs));
        // Where each shape was cut (the first time, for a repeated one).
        QHash<QString, int> position;
        for (int i = runs.size() - 1; i >= 0; --i)
            position.insert(segments({ runs.at(i) }).join(QLatin1Char(' ')), i);
        auto cutAt = [&](int path) {
            return position.value(segments(runsOf({ paths.at(path) })).join(QLatin1Char(' ')), -1);
        };
        // Every path inside a larger square is cut before that square.
        for (int a = 0; a < paths.size(); ++a) {
            const QRectF inner = paths.at(a).boundingRect();
            for (int b = 0; b < paths.size(); ++b) {
                const QRectF outer = paths.at(b).boundingRect();
                if (!closed.at(b) || !(outer.width() > inner.width()) || !outer.contains(inner))
                    continue;
                QVERIFY2(
                    cutAt(a) < cutAt(b), qPrintable(QStringLiteral("path %1 inside path %2").arg(a).arg(b)));
            }
        }
    }
}

void tst_cutOrder::generatorBytes_data()
{
    QTest::addColumn<QString>("sort");
    QTest::addColumn<QByteArray>("paths");
    // Items: a part (0,0)-(100,100) drawn from (100, 100), then a far square
    // and the part's hole (40,40)-(60,60); written out from the format.
    QTest::newRow("none: document order, as drawn")
        << "none"
        << QByteArray("PU100,100;PD0,100,0,0,100,0,100,100;PU500,500;PD510,500,510,510,500,510,500,500;"
                      "PU40,40;PD60,40,60,60,40,60,40,40");
    QTest::newRow("absent: document order")
        << QString()
        << QByteArray("PU100,100;PD0,100,0,0,100,0,100,100;PU500,500;PD510,"
                      "500,510,510,500,510,500,500;PU40,40;PD60,40,60,60,"
                      "40,60,40,40");
    QTest::newRow("inner: the far square was ready first, then the hole, then the part")
        << "inner"
        << QByteArray("PU500,500;PD510,500,510,510,500,510,500,500;PU40,40;PD60,40,60,60,40,60,40,40;"
                      "PU100,100;PD0,100,0,0,100,0,100,100");
    // From (0, 0) the hole comes first (the part waits for it), from (40, 40)
    // the part's nearest corner is (0, 0), from there the far square's (500, 500).
    QTest::newRow("nearest") << "nearest"
                             << QByteArray(
                                    "PU40,40;PD60,40,60,60,40,60,40,40;PU0,0;PD100,0,100,100,0,100,0,0;"
                                    "PU500,500;PD510,500,510,510,500,510,500,500");
}

void tst_cutOrder::generatorBytes()
{
    QFETCH(QString, sort);
    QFETCH(QByteArray, paths);
    const QPainterPath part = polygon({ { 100, 100 }, { 0, 100 }, { 0, 0 }, { 100, 0 } });
    QCOMPARE(vectorBlockOf({ part, square(500, 500, 10), square(40, 40, 20) }, sort), paths + ";");
}

void tst_cutOrder::travelInTheEngraverSummary_data()
{
    QTest::addColumn<QString>("sort");
    QTest::addColumn<QString>("travel");
    // The items of generatorBytes at 100 dpi. Document order: home to
    // (100, 100) 141.42, to (500, 500) 565.69, back to (40, 40) 650.54:
    // 1357.65 dots, 13.58 in. Nearest: home to (40, 40) 56.57, to (0, 0)
    // 56.57, to (500, 500) 707.11: 820.25 dots, 8.20 in.
    QTest::newRow("none") << "none"
                          << "13.58";
    QTest::newRow("nearest") << "nearest"
                             << "8.20";
}

void tst_cutOrder::travelInTheEngraverSummary()
{
    QFETCH(QString, sort);
    QFETCH(QString, travel);
    const QPainterPath part = polygon({ { 100, 100 }, { 0, 100 }, { 0, 0 }, { 100, 0 } });
    const QByteArray stream
        = jobOf({ part, square(500, 500, 10), square(40, 40, 20) }, sort, QStringLiteral("100"));
    JobDecoder::DecodedJob job;
    QVERIFY(JobDecoder::decodeJob(stream, &job));
    // The same cuts, 400 + 40 + 80 dots, whatever the order.
    const QString expected
        = QStringLiteral("Cut length: 5.20 in in 3 cuts; travel between them with the pen up: %1 in\n")
              .arg(travel);
    const QString summary = jobReport::describe(job, true, QString(), stream.size());
    QVERIFY2(summary.contains(expected), qPrintable(summary));
}

QTEST_GUILESS_MAIN(tst_cutOrder)
#include "tst_cutorder.moc"
