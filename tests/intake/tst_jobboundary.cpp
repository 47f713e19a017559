// Where a job ends in the byte stream of a connection: its own "%%EOF" line,
// never one of a document embedded in it, whatever the pieces it arrives in.

#include "jobboundary.h"

#include <QtTest>

namespace {

const QByteArray eps = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n0 0 10 10 rectfill\n%%EOF\n";

QByteArray embedded(const QByteArray &document)
{
    return "%%BeginDocument: figure.eps\n" + document + "%%EndDocument\n";
}

QByteArray job(const QByteArray &body)
{
    return "%!PS-Adobe-3.0\n%%Pages: 1\n" + body + "showpage\n%%EOF\n";
}

// Feeds the bytes in pieces of the given size and collects every end found,
// as offsets from the start of the data.
QList<qint64> ends(const QByteArray &data, int piece, jobBoundary *scanner)
{
    QList<qint64> found;
    for (qint64 start = 0; start < data.size(); start += piece) {
        const qint64 length = qMin<qint64>(piece, data.size() - start);
        qint64 pos = 0;
        while (pos < length) {
            const qint64 end = scanner->scan(data.constData() + start + pos, length - pos);
            if (end < 0)
                break;
            pos += end;
            found << start + pos;
        }
    }
    return found;
}

} // namespace

class tst_JobBoundary : public QObject
{
    Q_OBJECT
private slots:
    void endsOfJobs_data();
    void endsOfJobs();
    void unclosedDocumentRemembersItsLastMarker();
};

void tst_JobBoundary::endsOfJobs_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<qint64>>("expected");

    const QByteArray plain = job("1 1 moveto\n");
    QTest::newRow("plain job") << plain << QList<qint64> { plain.size() };

    const QByteArray figure = job(embedded(eps));
    QTest::newRow("embedded figure with its own marker") << figure << QList<qint64> { figure.size() };

    const QByteArray nested = job(embedded(eps + embedded(eps) + "%%EOF\n"));
    QTest::newRow("nested figures") << nested << QList<qint64> { nested.size() };

    const QByteArray twoFigures = job(embedded(eps) + "gsave\n" + embedded(eps));
    QTest::newRow("two figures one after the other") << twoFigures << QList<qint64> { twoFigures.size() };

    const QByteArray crLines = QByteArray(job("\r%%BeginDocument: x\r" + eps + "\r%%EndDocument\r"))
                                   .replace("%%Pages: 1\n", "%%Pages: 1\r");
    QTest::newRow("carriage-return lines") << crLines << QList<qint64> { crLines.size() };

    // Comments count only at the start of a line.
    const QByteArray notAtLineStart = "%!PS\n(%%BeginDocument) pop\nshowpage\n%%EOF\n";
    QTest::newRow("begin comment inside a line") << notAtLineStart << QList<qint64> { notAtLineStart.size() };

    // An end without a begin does not make the next figure's marker final.
    const QByteArray stray = "%!PS\n%%EndDocument\n" + embedded(eps) + "showpage\n%%EOF\n";
    QTest::newRow("stray end before a figure") << stray << QList<qint64> { stray.size() };

    const QByteArray percent = "%!PS\nshowpage\n%%%EOF\n";
    QTest::newRow("marker after an extra percent sign") << percent << QList<qint64> { percent.size() };

    const QByteArray inLine = "%!PS\nshowpage %%EOF\n";
    QTest::newRow("marker inside a line") << inLine << QList<qint64> { inLine.size() };

    const QByteArray a = job(embedded(eps)), b = job("2 2 moveto\n");
    QTest::newRow("two jobs back to back") << a + b << QList<qint64> { a.size(), a.size() + b.size() };

    // Jobs that do not end within these bytes.
    QTest::newRow("no line feed after the marker") << QByteArray("%!PS\n%%EOF") << QList<qint64> {};
    QTest::newRow("carriage return before the line feed")
        << QByteArray("%!PS\n%%EOF\r\n") << QList<qint64> {};
    const QByteArray unclosed = "%!PS\n%%BeginDocument: x\n" + eps + "showpage\n%%EOF\n";
    QTest::newRow("figure never closed") << unclosed << QList<qint64> {};
}

void tst_JobBoundary::endsOfJobs()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<qint64>, expected);
    // Whole, byte by byte, and cut at every place in two pieces.
    for (int piece : { int(data.size()), 1, 2, 5, 7, 13 }) {
        jobBoundary scanner;
        QCOMPARE(ends(data, piece, &scanner), expected);
    }
    for (int cut = 1; cut < data.size(); ++cut) {
        jobBoundary scanner;
        QList<qint64> found;
        qint64 pos = 0;
        qint64 end;
        while (pos < cut && (end = scanner.scan(data.constData() + pos, cut - pos)) >= 0)
            found << (pos += end);
        pos = qMax<qint64>(pos, cut);
        while (pos < data.size() && (end = scanner.scan(data.constData() + pos, data.size() - pos)) >= 0)
            found << (pos += end);
        QVERIFY2(found == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }
}

void tst_JobBoundary::unclosedDocumentRemembersItsLastMarker()
{
    const QByteArray head = "%!PS\n%%BeginDocument: a\n%%BeginDocument: b\n" + eps;
    const QByteArray body = head + "%%EndDocument\nshowpage\n%%EOF\n";
    const QByteArray data = body + "\x04";
    jobBoundary scanner;
    QCOMPARE(scanner.scan(data.constData(), data.size()), qint64(-1));
    QCOMPARE(scanner.depth(), 1);
    QCOMPARE(scanner.scanned(), qint64(data.size()));
    QCOMPARE(scanner.lastInnerMarkerEnd(), qint64(body.size()));

    scanner.reset();
    QCOMPARE(scanner.depth(), 0);
    QCOMPARE(scanner.lastInnerMarkerEnd(), qint64(0));
    const QByteArray next = job("x\n");
    QCOMPARE(scanner.scan(next.constData(), next.size()), qint64(next.size()));
}

QTEST_APPLESS_MAIN(tst_JobBoundary)
#include "tst_jobboundary.moc"
