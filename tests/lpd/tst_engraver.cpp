// The virtual engraver on its own: its command line, what it makes of a job
// (picture and summary), clients that misbehave, a real LPD client from the
// system, and stopping in the middle of a job.

#include "enginefixture.h"
#include "jobreport.h"
#include "tablepicture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <cmath>

namespace {

const QHostAddress loopback(QHostAddress::LocalHost);

QString engraverProgram()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-engraver");
}

// A square cut and one engraved dot, written out from the stream format: the
// PJL header, the settings block (600 dpi, raster power 40, speed 30, graphics
// to 299 x 199), one raster row at y 10 whose byte 0x08 at x 116 engraves
// pixel 120, a vector block with power 060, speed 020, frequency 500 cutting
// a square of 100 dots, the end of job and 4096 zero bytes.
QByteArray squareJob()
{
    QByteArray job("\x1b%-12345X@PJL JOB NAME=Square\r\n\x1b"
                   "E@PJL ENTER LANGUAGE=PCL \r\n"
                   "\x1b&y-1A\x1b&y0V\x1b&y0L\x1b&y0T\x1b&y0C\x1b&y0Z\x1b&l0U\x1b&l0Z\x1b&u600D\x1b*p0X"
                   "\x1b*p0Y\x1b*t600R\x1b*r0F\x1b&y40P\x1b&z30S\x1b&y50R\x1b&z2A\x1b*r199T\x1b*r299S\x1b*b2M"
                   "\x1b&y0O\x1b&r1A"
                   "\x1b*p10Y\x1b*p116X\x1b*b1A\x1b*b8W");
    job += QByteArray::fromHex("0008808080808080");
    job += "\x1b*rC"
           "\x1b%1BIN;YP060;ZS020;XR500;XS0;XP1;LTPU0,0;PD100,0,100,100,0,100,0,0;"
           "\x1b%0B\x1b%1BPU\x1b"
           "E\x1b%-12345X@PJL EOJ \r\n";
    return job + QByteArray(4096, '\0');
}

QByteArray subcommand(char code, const QByteArray &content, const QByteArray &name)
{
    return QByteArray(1, code) + QByteArray::number(content.size()) + ' ' + name + '\n';
}

// A whole job as an RFC client sends it, with the zero byte after each file.
QByteArray rfcJob(const QByteArray &data, bool dataFirst = false)
{
    const QByteArray control("Htester\nPtester\nJRaw job\nldfA001tester\nNraw.prn\n");
    const QByteArray controlPart = subcommand(2, control, "cfA001tester") + control + QByteArray(1, '\0');
    const QByteArray dataPart = subcommand(3, data, "dfA001tester") + data + QByteArray(1, '\0');
    return QByteArray("\x02lp\n") + (dataFirst ? dataPart + controlPart : controlPart + dataPart);
}

bool isRed(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) < 80 && qBlue(pixel) < 80;
}

// A started engraver program with its output collected.
struct engraverProcess
{
    QProcess process;
    QByteArray output;
    quint16 port = 0;

    bool start(const QStringList &arguments)
    {
        process.setProgram(engraverProgram());
        process.setArguments(arguments);
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1:(\\d+)"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            process.waitForReadyRead(200);
            output += process.readAllStandardOutput();
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
            if (match.hasMatch()) {
                port = static_cast<quint16>(match.captured(1).toUInt());
                return true;
            }
            if (process.state() != QProcess::Running)
                return false;
        }
        return false;
    }

    bool waitForLog(const QByteArray &text, int msecs = 20000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output.contains(text) && clock.elapsed() < msecs) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
        }
        return output.contains(text);
    }

    ~engraverProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class tst_engraver : public QObject
{
    Q_OBJECT

private slots:
    void options_data();
    void options();
    void goodClients_data();
    void goodClients();
    void badClients_data();
    void badClients();
    void droppedConnectionKeepsEarlierJobs();
    void queueState();
    void acceptDelay();
    void rejectedStreamIsStored();
    void picture_data();
    void picture();
    void placement();
    void streamErrors_data();
    void streamErrors();
    void mutatedStreams();
    void incompleteJobIsLogged();
    void writeFailuresKeepTheSystemsReason();
    void debianLpdClient();
    void onceWithoutJob();
    void stopInTheMiddleOfAJob();
};

void tst_engraver::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("failSteps");
    QTest::addColumn<int>("silentSteps");
    QTest::addColumn<int>("acceptDelay");
    QTest::addColumn<bool>("once");

    QTest::newRow("defaults") << QStringList() << true << 515 << "127.0.0.1" << 0 << 0 << 0 << false;
    QTest::newRow("free port") << QStringList { "--port", "0" } << true << 0 << "127.0.0.1" << 0 << 0 << 0
                               << false;
    QTest::newRow("port too large") << QStringList { "--port", "70000" } << false << 0 << "" << 0 << 0 << 0
                                    << false;
    QTest::newRow("port not a number")
        << QStringList { "--port", "lpd" } << false << 0 << "" << 0 << 0 << 0 << false;
    QTest::newRow("address") << QStringList { "--address", "::1" } << true << 515 << "::1" << 0 << 0 << 0
                             << false;
    QTest::newRow("bad address") << QStringList { "--address", "engraver" } << false << 0 << "" << 0 << 0 << 0
                                 << false;
    QTest::newRow("two failing steps") << QStringList { "--fail-at", "data", "--fail-at", "receive-job" }
                                       << true << 515 << "127.0.0.1" << 2 << 0 << 0 << false;
    QTest::newRow("steps with commas") << QStringList { "--silent-at", "control-file,data-subcommand" }
                                       << true << 515 << "127.0.0.1" << 0 << 2 << 0 << false;
    QTest::newRow("unknown step") << QStringList { "--fail-at", "banner" } << false << 0 << "" << 0 << 0 << 0
                                  << false;
    QTest::newRow("accept delay") << QStringList { "--accept-delay", "250", "--once" } << true << 515
                                  << "127.0.0.1" << 0 << 0 << 250 << true;
    QTest::newRow("negative delay") << QStringList { "--accept-delay", "-1" } << false << 0 << "" << 0 << 0
                                    << 0 << false;
    QTest::newRow("stray argument") << QStringList { "job.prn" } << false << 0 << "" << 0 << 0 << 0 << false;
    QTest::newRow("unknown option") << QStringList { "--colour" } << false << 0 << "" << 0 << 0 << 0 << false;
}

void tst_engraver::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    engraverOptions options;
    QString error;
    arguments.prepend(QStringLiteral("vexlor-engraver"));
    QCOMPARE(engraverOptions::parse(arguments, &options, &error), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QTEST(int(options.port), "port");
    QTEST(options.address.toString(), "address");
    QTEST(int(options.failAt.size()), "failSteps");
    QTEST(int(options.silentAt.size()), "silentSteps");
    QTEST(options.acceptDelayMs, "acceptDelay");
    QTEST(options.once, "once");
    QVERIFY(!options.spoolDir.isEmpty());
}

void tst_engraver::goodClients_data()
{
    QTest::addColumn<QByteArray>("send");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QStringList>("files");

    const QByteArray data = squareJob();
    // One answer for the command, two for each file.
    const QByteArray fiveZeros(5, '\0');
    QTest::newRow("control first, zero after the data")
        << rfcJob(data) << fiveZeros << QStringList { "control", "job.prn" };
    QTest::newRow("data first") << rfcJob(data, true) << fiveZeros << QStringList { "control", "job.prn" };

    const QByteArray control("Htester\nPtester\nJTwo files\nldfA001tester\nldfB001tester\n");
    QByteArray two = "\x02lp\n" + subcommand(3, data, "dfA001tester") + data;
    two += subcommand(3, "second", "dfB001tester") + QByteArray("second");
    two += subcommand(2, control, "cfA001tester") + control + QByteArray(1, '\0');
    QTest::newRow("two data files") << two << QByteArray(7, '\0')
                                    << QStringList { "control", "job.prn", "job-2.prn" };

    // An aborted job is forgotten; the one after it on the same connection counts.
    QByteArray aborted = "\x02lp\n" + subcommand(3, "old", "dfA002tester") + QByteArray("old") + "\x01\n";
    aborted += rfcJob(data).mid(4);
    QTest::newRow("abort, then a job")
        << aborted << QByteArray(7, '\0') << QStringList { "control", "job.prn" };
}

void tst_engraver::goodClients()
{
    QFETCH(QByteArray, send);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, files);

    engineFixture engraver;
    QVERIFY(engraver.start());
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port());
    client.write(send);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += client.readAll()).size() >= answers.size(), 10000);
    QCOMPARE(received, answers);
    QTRY_COMPARE(engraver.stored->count(), 1);
    client.disconnectFromHost();
    QTRY_COMPARE(engraver.closed->count(), 1);
    QCOMPARE(engraver.closed->at(0).at(1).toInt(), 1);

    const QString folder = engraver.stored->at(0).at(0).toString();
    QCOMPARE(engraver.storedJobs(), QStringList { folder });
    QDir job(folder);
    QTRY_COMPARE_WITH_TIMEOUT(engraver.reported->count(), 1, 30000);
    files << QStringLiteral("summary.txt") << QStringLiteral("job.png");
    if (files.contains(QStringLiteral("job-2.prn")))
        files << QStringLiteral("job-2.png");
    files.sort();
    QCOMPARE(job.entryList(QDir::Files, QDir::Name), files);
    QCOMPARE(engineFixture::readFile(job.filePath(QStringLiteral("job.prn"))), squareJob());
    QVERIFY(engraver.incoming().isEmpty());
}

void tst_engraver::badClients_data()
{
    QTest::addColumn<QByteArray>("send");
    QTest::addColumn<QByteArray>("answers");

    const QByteArray data = squareJob();
    const QByteArray control("Htester\nJBad\nldfA001tester\n");
    const QByteArray head = "\x02lp\n";
    const QByteArray controlPart = subcommand(2, control, "cfA001tester") + control + QByteArray(1, '\0');

    QTest::newRow("unknown command") << QByteArray("\x09hello\n") << QByteArray();
    QTest::newRow("binary garbage") << QByteArray::fromHex("02ff00ff0a7f8081ffff0a")
                                    << QByteArray("\0\x01", 2);
    QTest::newRow("unknown subcommand") << head + "\x07whatever\n" << QByteArray("\0\x01", 2);
    QTest::newRow("count is not a number") << head
            + "\x03"
              "abc dfA001tester\n" << QByteArray("\0\x01", 2);
    QTest::newRow("negative count") << head + "\x03-5 dfA001tester\n" << QByteArray("\0\x01", 2);
    QTest::newRow("count beyond any disk") << head
            + "\x03"
              "999999999999999999 dfA001tester\n"
                                           << QByteArray("\0\x01", 2);
    QTest::newRow("no file name") << head
            + "\x03"
              "12\n" << QByteArray("\0\x01", 2);
    QTest::newRow("line without end") << head + "\x02" + QByteArray(70000, '7') << QByteArray("\0\x01", 2);
    // The control file is longer than its count says: its zero byte is missing.
    QTest::newRow("control count too small") << head + subcommand(2, control.left(10), "cfA001tester")
            + control + QByteArray(1, '\0') << QByteArray("\0\0\x01", 3);
    QTest::newRow("control file cut off")
        << head + subcommand(2, control, "cfA001tester") + control.left(5) << QByteArray("\0\0", 2);
    QTest::newRow("data count too large")
        << head + controlPart + subcommand(3, data + data, "dfA001tester") + data << QByteArray(4, '\0');
    QTest::newRow("connection dropped in the data")
        << head + controlPart + subcommand(3, data, "dfA001tester") + data.left(100) << QByteArray(4, '\0');
    QTest::newRow("control file only") << head + controlPart << QByteArray(3, '\0');
    QTest::newRow("data file only") << head + subcommand(3, data, "dfA001tester") + data
                                    << QByteArray(3, '\0');
    QTest::newRow("job aborted") << head + controlPart + "\x01\n" + subcommand(3, data, "dfA001tester") + data
                                 << QByteArray(5, '\0');
}

// Whatever a client does, nothing half is stored, the engraver answers what
// the protocol asks for, and the next client is served as usual.
void tst_engraver::badClients()
{
    QFETCH(QByteArray, send);
    QFETCH(QByteArray, answers);

    engineFixture engraver;
    QVERIFY(engraver.start());
    {
        QTcpSocket client;
        client.connectToHost(loopback, engraver.port());
        client.write(send);
        QByteArray received;
        if (!answers.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT((received += client.readAll()).size() >= answers.size(), 10000);
        QCOMPARE(received, answers);
        client.disconnectFromHost();
        QTRY_COMPARE(engraver.closed->count(), 1);
        received += client.readAll();
        QCOMPARE(received, answers);
    }
    QCOMPARE(engraver.stored->count(), 0);
    QCOMPARE(engraver.storedJobs(), QStringList());
    QVERIFY(engraver.incoming().isEmpty());

    QTcpSocket next;
    next.connectToHost(loopback, engraver.port());
    next.write(rfcJob(squareJob()));
    QTRY_COMPARE(engraver.stored->count(), 1);
    next.disconnectFromHost();
    QTRY_COMPARE(engraver.closed->count(), 2);
    QCOMPARE(engraver.storedJobs().size(), 1);
}

void tst_engraver::droppedConnectionKeepsEarlierJobs()
{
    engineFixture engraver;
    engraver.options.transcriptDir.clear();
    QVERIFY(engraver.start());
    const QByteArray data = squareJob();
    QTcpSocket first;
    first.connectToHost(loopback, engraver.port());
    first.write(rfcJob(data));
    QTRY_COMPARE(engraver.stored->count(), 1);
    first.disconnectFromHost();
    const QString kept = engraver.stored->at(0).at(0).toString();

    // A second job over the same kind of connection, cut off in the middle of
    // a big data file.
    QTcpSocket second;
    second.connectToHost(loopback, engraver.port());
    const QByteArray big(8 * 1024 * 1024, 'x');
    const QByteArray control("Htester\nJCut\nldfA002tester\n");
    second.write("\x02lp\n" + subcommand(2, control, "cfA002tester") + control + QByteArray(1, '\0')
        + subcommand(3, big, "dfA002tester") + big.left(3 * 1024 * 1024));
    QTRY_VERIFY(second.bytesToWrite() == 0);
    QTRY_COMPARE_WITH_TIMEOUT(int(second.bytesAvailable()), 4, 10000);
    second.abort();
    QTRY_COMPARE(engraver.closed->count(), 2);

    QCOMPARE(engraver.storedJobs(), QStringList { kept });
    QCOMPARE(engineFixture::readFile(kept + QStringLiteral("/job.prn")), data);
    QVERIFY(engraver.incoming().isEmpty());
}

void tst_engraver::queueState()
{
    engineFixture engraver;
    QVERIFY(engraver.start());
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port());
    client.write("\x04lp\n");
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    const QByteArray answer = client.readAll();
    QVERIFY2(answer.startsWith("vexlor-engraver: queue \"lp\" is ready"), answer.constData());
    QVERIFY(answer.endsWith('\n'));
}

void tst_engraver::acceptDelay()
{
    engineFixture engraver;
    engraver.options.acceptDelayMs = 400;
    QVERIFY(engraver.start());
    QElapsedTimer clock;
    clock.start();
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port());
    client.write("\x02lp\n");
    QTRY_COMPARE(client.bytesAvailable(), qint64(1));
    QVERIFY(clock.elapsed() >= 400);
    QCOMPARE(client.readAll(), QByteArray(1, '\0'));
}

void tst_engraver::rejectedStreamIsStored()
{
    engineFixture engraver;
    QVERIFY(engraver.start());
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port());
    client.write(rfcJob("this is no engraver job\n"));
    QTRY_COMPARE(engraver.stored->count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(engraver.reported->count(), 1, 30000);
    const QString folder = engraver.stored->at(0).at(0).toString();
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/job.prn")),
        QByteArray("this is no engraver job\n"));
    const QByteArray summary = engineFixture::readFile(folder + QStringLiteral("/summary.txt"));
    // The decoder names the offset of the fault.
    QVERIFY2(QRegularExpression(QStringLiteral("Engraver stream: REJECTED: .*\\d"))
                 .match(QString::fromUtf8(summary))
                 .hasMatch(),
        summary.constData());
    QVERIFY(QFile::exists(folder + QStringLiteral("/job.png")));
}

void tst_engraver::picture_data()
{
    QTest::addColumn<int>("resolution");
    QTest::addColumn<int>("scale");
    QTest::addColumn<QSize>("tablePixels");

    QTest::newRow("600 dpi") << 600 << 6 << QSize(4000, 2800);
    QTest::newRow("1200 dpi") << 1200 << 12 << QSize(4000, 2800);
    QTest::newRow("100 dpi, full size") << 100 << 1 << QSize(4000, 2800);
    QTest::newRow("72 dpi, full size") << 72 << 1 << QSize(2880, 2016);
    QTest::newRow("lying resolution") << 2000000000 << 48 << QSize(4000, 2800);
}

// The whole table with its frame and rulers; engraved dots in black, a half
// engraved patch in grey, cut lines in red, each where it lies on the table.
void tst_engraver::picture()
{
    QFETCH(int, resolution);
    QFETCH(int, scale);
    QFETCH(QSize, tablePixels);

    JobDecoder::DecodedJob job;
    job.resolution = resolution;
    // A fully engraved cell and a half engraved one of scale x scale dots,
    // and a cut line along the cell row below them, 2 inches from the
    // table's corner (the resolution a lying stream names is capped).
    const int dpi = std::min(resolution, JobDecoder::MaxTableResolution);
    const int at = 2 * dpi / scale * scale;
    job.bitmap = QImage(QSize(at + 5 * scale, at + 2 * scale), QImage::Format_Mono);
    job.bitmap.setColor(0, qRgb(255, 255, 255));
    job.bitmap.setColor(1, qRgb(0, 0, 0));
    job.bitmap.fill(0);
    for (int y = 0; y < scale; ++y) {
        for (int x = 0; x < scale; ++x) {
            job.bitmap.setPixel(at + x, at + y, 1);
            if (y % 2 == 0 || scale == 1)
                job.bitmap.setPixel(at + 2 * scale + x, at + y, 1);
        }
    }
    job.vectors.moveTo(at, at + 3 * scale);
    job.vectors.lineTo(at + 6 * scale, at + 3 * scale);

    int used = 0;
    const QImage picture = jobReport::render(job, jobReport::MaxPictureSide, &used);
    QCOMPARE(used, scale);
    QCOMPARE(picture.size(),
        tablePixels
            + QSize(tablePicture::RulerWidth + tablePicture::Margin,
                tablePicture::RulerHeight + tablePicture::Margin));

    const QPoint block = tablePicture::pixelOf(QPoint(at, at), scale);
    QCOMPARE(block, QPoint(tablePicture::RulerWidth + at / scale, tablePicture::RulerHeight + at / scale));
    QCOMPARE(picture.pixel(block), qRgb(0, 0, 0));
    QCOMPARE(picture.pixel(block + QPoint(1, 0)), qRgb(255, 255, 255));
    QCOMPARE(picture.pixel(block - QPoint(1, 1)), qRgb(255, 255, 255));
    if (scale > 1) {
        const int expectedGrey = 255 - 255 * ((scale + 1) / 2) / scale;
        const int grey = qGray(picture.pixel(block + QPoint(2, 0)));
        QVERIFY2(qAbs(grey - expectedGrey) <= 1, qPrintable(QString::number(grey)));
    }
    QVERIFY(isRed(picture.pixel(block + QPoint(2, 3))));
    QCOMPARE(picture.pixel(block + QPoint(2, 5)), qRgb(255, 255, 255));

    // The frame lies just outside the table, the rulers outside the frame:
    // the table's corner dot is white, the pixel beyond it dark.
    const QPoint corner = tablePicture::pixelOf(QPoint(0, 0), scale);
    QCOMPARE(picture.pixel(corner), qRgb(255, 255, 255));
    QVERIFY(qGray(picture.pixel(corner - QPoint(1, 1))) < 100);
    const QPoint farCorner = corner + QPoint(tablePixels.width() - 1, tablePixels.height() - 1);
    QCOMPARE(picture.pixel(farCorner), qRgb(255, 255, 255));
    QVERIFY(qGray(picture.pixel(farCorner + QPoint(1, 1))) < 100);
    QVERIFY(qGray(picture.pixel(farCorner + QPoint(3, 3))) > 200);
    // An inch mark on the top ruler (10 inches) and on the left one (10
    // inches), and none half way between two marks of a coarse ruler.
    const int tenInches = int(std::floor(10.0 * dpi / scale));
    QVERIFY(qGray(picture.pixel(corner + QPoint(tenInches, -4))) < 100);
    QVERIFY(qGray(picture.pixel(corner + QPoint(-4, tenInches))) < 100);
    QVERIFY(qGray(picture.pixel(corner + QPoint(tenInches + int(0.3 * dpi / scale), -4))) > 200);
    // Labels: dark strokes in the label band above the 10 inch mark.
    int dark = 0;
    for (int x = -8; x <= 8; ++x)
        for (int y = 2; y < 13; ++y)
            dark += qGray(picture.pixel(corner.x() + tenInches + x, y)) < 128;
    QVERIFY2(dark > 10, qPrintable(QString::number(dark)));
}

// With centring on, the job's anchor lies under the head; without, the
// page's corner lies on the table's corner.
void tst_engraver::placement()
{
    JobDecoder::DecodedJob job;
    job.resolution = 100;
    job.bitmap = QImage(QSize(200, 100), QImage::Format_Mono);
    job.bitmap.setColor(0, qRgb(255, 255, 255));
    job.bitmap.setColor(1, qRgb(0, 0, 0));
    job.bitmap.fill(0);
    job.bitmap.setPixel(150, 50, 1);
    job.vectors.moveTo(0, 0);
    job.vectors.lineTo(199, 0);

    jobPlacement atCorner = jobPlacement::of(job, jobReport::defaultHead());
    QCOMPARE(atCorner.offset, QPoint(0, 0));
    QVERIFY(!atCorner.centred);
    QVERIFY(atCorner.problem.isEmpty());

    job.settings.centerEngraving = 1;
    job.settings.centerX = 100;
    job.settings.centerY = 50;
    const jobPlacement centred = jobPlacement::of(job, jobReport::defaultHead());
    QVERIFY(centred.centred);
    QCOMPARE(centred.offset, QPoint(2000 - 100, 1400 - 50));
    const jobExtent extent = tablePicture::extent(job, centred);
    QCOMPARE(extent.engraved, QRect(2050, 1400, 1, 1));
    QCOMPARE(extent.cut, QRectF(1900, 1350, 199, 0));
    int scale = 0;
    const QImage picture = tablePicture::render(job, centred, jobReport::MaxPictureSide, &scale);
    QCOMPARE(scale, 1);
    QCOMPARE(picture.pixel(tablePicture::pixelOf(QPoint(2050, 1400), 1)), qRgb(0, 0, 0));
    QCOMPARE(picture.pixel(tablePicture::pixelOf(QPoint(150, 50), 1)), qRgb(255, 255, 255));
    QVERIFY(isRed(picture.pixel(tablePicture::pixelOf(QPoint(2000, 1350), 1))));

    const QString summary = jobReport::describe(job, true, QString(), 4200, QPointF(1, 2));
    for (const char *line : { "  Centred: the anchor (100, 50) dots under the head at (1.00, 2.00)\n",
             "  Engraved: from (1.50, 2.00) to (1.51, 2.01), 0.01 x 0.01 in\n",
             "  Cut: from (0.00, 1.50) to (1.99, 1.50), 1.99 x 0.00 in\n",
             "  Whole job: from (0.00, 1.50) to (1.99, 2.01), 1.99 x 0.51 in\n" })
        QVERIFY2(summary.contains(QLatin1String(line)), qPrintable(line + QStringLiteral("\n") + summary));
    QVERIFY2(!summary.contains(QLatin1String("Errors:")), qPrintable(summary));

    // A head near the corner puts part of the job off the table: the summary
    // says so, the picture shows what is on it.
    const QString offTable = jobReport::describe(job, true, QString(), 4200, QPointF(0.5, 0.2));
    QVERIFY2(offTable.contains(QLatin1String("  cut lines reach beyond the table: from (-0.50, -0.30)")),
        qPrintable(offTable));
    QVERIFY2(offTable.contains(QLatin1String("  Cut: from (-0.50, -0.30) to (1.49, -0.30)")),
        qPrintable(offTable));

    // No anchor: drawn from the corner, and the summary names the fault.
    job.settings.centerX.reset();
    const jobPlacement noAnchor = jobPlacement::of(job, jobReport::defaultHead());
    QCOMPARE(noAnchor.offset, QPoint(0, 0));
    QVERIFY(
        jobReport::streamErrors(job, noAnchor).join(QLatin1Char('\n')).contains(QLatin1String("no anchor")));
}

void tst_engraver::streamErrors_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("graphicsSize");

    QTest::newRow("honest") << QByteArray() << QByteArray() << QString()
                            << QStringLiteral("300 x 200 dots (0.50 x 0.33 in)");
    QTest::newRow("width at the int limit")
        << QByteArray("*r299S") << QByteArray("*r2147483647S")
        << QStringLiteral(
               "the graphics width of 2147483648 dots (more than 100000 in) is larger than the table")
        << QStringLiteral("2147483648 x 200 dots (more than 100000 x 0.33 in)");
    QTest::newRow("negative height") << QByteArray("*r199T") << QByteArray("*r-2147483648T")
                                     << QStringLiteral(
                                            "the raster height command ESC *r-2147483648T puts the "
                                            "graphics' edge before the page")
                                     << QStringLiteral("not usable: the edges sent are 299 and -2147483648");
    QTest::newRow("no graphics, yet rows")
        << QByteArray("*r199T\x1b*r299S") << QByteArray("*r-1T\x1b*r-1S")
        << QStringLiteral(
               "the raster width command ESC *r-1S says there are no graphics, yet 1 raster rows follow")
        << QStringLiteral("none (no graphics)");
    QTest::newRow("rows beyond the width")
        << QByteArray("*r299S") << QByteArray("*r99S")
        << QStringLiteral("engraved dots reach width 121 dots, beyond the raster width of 100 dots that the "
                          "stream announced")
        << QStringLiteral("100 x 200 dots");
    QTest::newRow("units and resolution differ")
        << QByteArray("&u600D") << QByteArray("&u300D")
        << QStringLiteral("the unit of measure (ESC &u300D) and the raster resolution (ESC *t600R) differ")
        << QStringLiteral("300 x 200 dots (0.50 x 0.33 in)");
    QTest::newRow("resolution beyond any engraver")
        << QByteArray("&u600D\x1b*p0X\x1b*p0Y\x1b*t600R")
        << QByteArray("&u2147483647D\x1b*p0X\x1b*p0Y\x1b*t2147483647R")
        << QStringLiteral("a resolution of 2147483647 dpi is beyond the 4800 dpi of any engraver")
        << QStringLiteral("300 x 200 dots (0.06 x 0.04 in)");
    QTest::newRow("cut far off the table")
        << QByteArray("PD100,0,") << "PD1" + QByteArray(100, '0') + ",-1" + QByteArray(100, '0') + ","
        << QStringLiteral(
               "cut lines reach beyond the table: from (0.00, less than -100000) to (more than 100000, ")
        << QStringLiteral("300 x 200 dots");
    // Beyond what a painter path holds: the point is never drawn, and said so.
    QTest::newRow("cut beyond any table")
        << QByteArray("PD100,0,") << "PD1" + QByteArray(300, '0') + ",-1" + QByteArray(300, '0') + ","
        << QStringLiteral(
               "a cut line goes to (more than 100000, less than -100000) in, beyond any table; it is "
               "not drawn")
        << QStringLiteral("300 x 200 dots");
    QTest::newRow("centring without an anchor")
        << QByteArray("&y0Z") << QByteArray("&y1Z")
        << QStringLiteral("centring is on, but the stream names no anchor")
        << QStringLiteral("300 x 200 dots");
}

// A stream that lies about its sizes is reported in the summary's errors,
// with its figures as sent, never negative or wrapped; what it would engrave
// is still placed and drawn.
void tst_engraver::streamErrors()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, error);
    QFETCH(QString, graphicsSize);

    QByteArray stream = squareJob();
    if (!from.isEmpty()) {
        QVERIFY(stream.contains(from));
        stream.replace(from, to);
    }
    JobDecoder::DecodedJob job;
    QString message;
    const bool decoded = JobDecoder::decodeJob(stream, &job, &message);
    QVERIFY2(decoded, qPrintable(message));
    const QString summary = jobReport::describe(job, decoded, message, stream.size());
    QVERIFY2(summary.contains(QStringLiteral("Graphics size: ") + graphicsSize), qPrintable(summary));
    if (error.isEmpty()) {
        QVERIFY2(!summary.contains(QLatin1String("Errors:")), qPrintable(summary));
        QVERIFY2(summary.contains(
                     QLatin1String("  Engraved: from (0.20, 0.02) to (0.20, 0.02), 0.00 x 0.00 in\n")),
            qPrintable(summary));
        QVERIFY2(
            summary.contains(QLatin1String("  Cut: from (0.00, 0.00) to (0.17, 0.17), 0.17 x 0.17 in\n")),
            qPrintable(summary));
    } else {
        QVERIFY2(summary.contains(QStringLiteral("\nErrors:\n")), qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("\n  ") + error), qPrintable(summary));
    }
    // Wrapped figures show up as the int limits or their neighbours.
    for (const char *wrapped : { "-2147483647 ", "4294967", "-2147483648 x", "-2147483647 x" })
        QVERIFY2(!summary.contains(QLatin1String(wrapped)), qPrintable(summary));
    int scale = 0;
    const QImage picture = jobReport::render(job, 400, &scale);
    QVERIFY(!picture.isNull());
}

// Streams with bytes changed at random: whatever they say, the summary's
// sizes are never negative, and decoding, describing and drawing end.
void tst_engraver::mutatedStreams()
{
    const QByteArray original = squareJob().left(squareJob().size() - 4000);
    QRandomGenerator random(20261208);
    const QByteArray digits("0123456789-9999999999");
    int rejected = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray stream = original;
        const int changes = 1 + int(random.bounded(4));
        for (int c = 0; c < changes; ++c) {
            const int at = int(random.bounded(stream.size()));
            switch (random.bounded(3)) {
            case 0: // a digit changed, often into a huge or negative number
                stream.insert(
                    at, digits.mid(int(random.bounded(digits.size())), 1 + int(random.bounded(10))));
                break;
            case 1:
                stream[at] = char(random.bounded(256));
                break;
            default:
                stream.remove(at, 1 + int(random.bounded(8)));
                break;
            }
        }
        JobDecoder::DecodedJob job;
        QString message;
        const bool decoded = JobDecoder::decodeJob(stream, &job, &message);
        rejected += !decoded;
        const QString summary = jobReport::describe(job, decoded, message, stream.size());
        const QRegularExpressionMatch size
            = QRegularExpression(QStringLiteral("Graphics size: (-?\\d+) x (-?\\d+) dots")).match(summary);
        if (size.hasMatch()) {
            QVERIFY2(
                size.captured(1).toLongLong() > 0 && size.captured(2).toLongLong() > 0, qPrintable(summary));
        }
        const QRegularExpressionMatch raster
            = QRegularExpression(QStringLiteral("bitmap (-?\\d+) x (-?\\d+) dots")).match(summary);
        if (raster.hasMatch()) {
            QVERIFY2(raster.captured(1).toInt() > 0 && raster.captured(2).toInt() > 0, qPrintable(summary));
        }
        int scale = 0;
        QVERIFY(!jobReport::render(job, 300, &scale).isNull());
    }
    // The mutations hit the parser as well as the numbers.
    QVERIFY2(rejected > 30 && rejected < 300, qPrintable(QString::number(rejected)));
}

// A control file that names a data file which never comes: the job is not
// stored, and the log says which file was missing.
void tst_engraver::incompleteJobIsLogged()
{
    QTemporaryDir dir;
    engraverProcess engraver;
    QVERIFY(engraver.start({ QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"),
        dir.filePath(QStringLiteral("spool")) }));
    const QByteArray control("Htester\nJTwo files\nldfA001tester\nldfB001tester\n");
    const QByteArray data = squareJob();
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port);
    QVERIFY(client.waitForConnected(10000));
    client.write(QByteArray("\x02lp\n") + subcommand(2, control, "cfA001tester") + control
        + QByteArray(1, '\0') + subcommand(3, data, "dfA001tester") + data + QByteArray(1, '\0'));
    QByteArray answers;
    QTRY_VERIFY_WITH_TIMEOUT((answers += client.readAll()).size() >= 5, 10000);
    QCOMPARE(answers, QByteArray(5, '\0'));
    client.disconnectFromHost();
    QVERIFY2(
        engraver.waitForLog("job incomplete when the connection ended (the client closed the connection): "
                            "the control file names \"dfB001tester\", which never came; dropped"),
        engraver.output.constData());
    QCOMPARE(QDir(dir.filePath(QStringLiteral("spool"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
        QStringList());
}

// Debian's own LPD client, the CUPS backend, run by hand against the program.
void tst_engraver::debianLpdClient()
{
    const QString backend = QStringLiteral("/usr/lib/cups/backend/lpd");
    if (!QFileInfo(backend).isExecutable())
        QSKIP("the CUPS lpd backend is not installed");
    QTemporaryDir dir;
    const QString spool = dir.filePath(QStringLiteral("spool"));
    engraverProcess engraver;
    QVERIFY(engraver.start({ QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"), spool,
        QStringLiteral("--once") }));

    QFile jobFile(dir.filePath(QStringLiteral("square.prn")));
    QVERIFY(jobFile.open(QIODevice::WriteOnly));
    jobFile.write(squareJob());
    jobFile.close();

    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DEVICE_URI"),
        QStringLiteral("lpd://127.0.0.1:%1/engraver?reserve=none").arg(engraver.port));
    client.setProcessEnvironment(environment);
    client.start(backend,
        { QStringLiteral("7"), QStringLiteral("tester"), QStringLiteral("Square job"), QStringLiteral("1"),
            QString(), jobFile.fileName() });
    QVERIFY(client.waitForFinished(60000));
    QCOMPARE(client.exitCode(), 0);

    // --once: the program ends by itself once the job is drawn.
    QVERIFY(engraver.process.waitForFinished(60000));
    QCOMPARE(engraver.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(engraver.process.exitCode(), 0);
    engraver.output += engraver.process.readAllStandardOutput();
    QVERIFY(engraver.output.contains("receive job, queue \"engraver\""));
    QVERIFY(engraver.output.contains("stored in"));
    for (const QByteArray &line : engraver.output.split('\n'))
        QVERIFY(line.isEmpty()
            || QRegularExpression(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} )"))
                   .match(QString::fromUtf8(line))
                   .hasMatch());

    const QStringList jobs = QDir(spool).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(jobs.size(), 1);
    const QString folder = spool + QLatin1Char('/') + jobs.first();
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/job.prn")), squareJob());
    const QByteArray control = engineFixture::readFile(folder + QStringLiteral("/control"));
    QVERIFY(control.contains("\nJSquare job\n"));
    QVERIFY(control.contains("\nldfA"));

    const QString summary
        = QString::fromUtf8(engineFixture::readFile(folder + QStringLiteral("/summary.txt")));
    for (const char *line :
        { "Job \"Square job\"", "Engraver stream: read completely", "Resolution: 600 dpi", "Raster power: 40",
            "Raster speed: 30", "Engraving direction: top-down", "Vector power: 060", "Vector speed: 020",
            "Vector frequency: 500", "Vector speed compensation: off", "Vector power compensation: on",
            "Auto focus: off", "Vector grid: off", "Centring: off", "Graphics size: 300 x 200 dots",
            "Raster: 1 rows", "  The page's top left corner on the table's top left corner\n",
            "  Engraved: from (0.20, 0.02) to (0.20, 0.02), 0.00 x 0.00 in\n",
            "  Cut: from (0.00, 0.00) to (0.17, 0.17), 0.17 x 0.17 in\n",
            "Picture: \"job.png\", 4042 x 2836 pixels, scaled down 1:6 (1 pixel = 6 x 6 dots); the whole "
            "table with rulers in inches" })
        QVERIFY2(summary.contains(QLatin1String(line)), qPrintable(line + QStringLiteral("\n") + summary));
    QVERIFY2(!summary.contains(QLatin1String("Errors:")), qPrintable(summary));

    // The whole table at 1:6; the one engraved dot greys its cell by a 36th.
    const QImage picture(folder + QStringLiteral("/job.png"));
    QCOMPARE(picture.size(), QSize(4042, 2836));
    QCOMPARE(qGray(picture.pixel(tablePicture::pixelOf(QPoint(120, 10), 6))), 255 - 255 / 36);
    QCOMPARE(picture.pixel(tablePicture::pixelOf(QPoint(130, 10), 6)), qRgb(255, 255, 255));
    QCOMPARE(picture.pixel(tablePicture::pixelOf(QPoint(50, 50), 6)), qRgb(255, 255, 255));
    QVERIFY(isRed(picture.pixel(tablePicture::pixelOf(QPoint(50, 0), 6))));
    QVERIFY(isRed(picture.pixel(tablePicture::pixelOf(QPoint(100, 50), 6))));
    QVERIFY(isRed(picture.pixel(tablePicture::pixelOf(QPoint(50, 100), 6))));
    QVERIFY(isRed(picture.pixel(tablePicture::pixelOf(QPoint(0, 50), 6))));
    QCOMPARE(picture.pixel(tablePicture::pixelOf(QPoint(6000, 6000), 6)), qRgb(255, 255, 255));
}

void tst_engraver::onceWithoutJob()
{
    QTemporaryDir dir;
    engraverProcess engraver;
    QVERIFY(engraver.start({ QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"),
        dir.filePath(QStringLiteral("spool")), QStringLiteral("--once"), QStringLiteral("--fail-at"),
        QStringLiteral("receive-job") }));
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port);
    QVERIFY(client.waitForConnected(5000));
    client.write("\x02lp\n");
    QVERIFY(client.waitForReadyRead(10000));
    QCOMPARE(client.readAll(), QByteArray(1, '\x01'));
    client.disconnectFromHost();
    QVERIFY(engraver.process.waitForFinished(20000));
    QCOMPARE(engraver.process.exitCode(), 1);
}

// Stopped with a job half received, the program leaves no trace of it.
void tst_engraver::stopInTheMiddleOfAJob()
{
    QTemporaryDir dir;
    const QString spool = dir.filePath(QStringLiteral("spool"));
    engraverProcess engraver;
    QVERIFY(
        engraver.start({ QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"), spool }));
    QTcpSocket client;
    client.connectToHost(loopback, engraver.port);
    QVERIFY(client.waitForConnected(5000));
    const QByteArray control("Htester\nJHalf\nldfA003tester\n");
    client.write("\x02lp\n" + subcommand(2, control, "cfA003tester") + control + QByteArray(1, '\0')
        + subcommand(3, QByteArray(100000, 'x'), "dfA003tester") + QByteArray(5000, 'x'));
    QVERIFY(client.waitForBytesWritten(5000));
    QVERIFY(engraver.waitForLog("data file \"dfA003tester\""));
    QVERIFY(
        QDir(spool + QStringLiteral("/.incoming")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == 1);

    engraver.process.terminate();
    QVERIFY(engraver.process.waitForFinished(10000));
    QCOMPARE(engraver.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(engraver.process.exitCode(), 0);
    QCOMPARE(QDir(spool).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(QDir(spool + QStringLiteral("/.incoming")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList());
}

// A spool or a job folder that cannot be written is reported with the
// system's own reason, not a generic one.
void tst_engraver::writeFailuresKeepTheSystemsReason()
{
    QTemporaryDir dir;
    QFile plainFile(dir.filePath(QStringLiteral("file")));
    QVERIFY(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();

    QProcess program;
    program.start(engraverProgram(),
        { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"),
            plainFile.fileName() + "/spool" });
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitCode(), 1);
    const QByteArray message = program.readAllStandardError();
    QVERIFY2(message.contains("cannot make the spool folder") && message.contains(": Not a directory"),
        message.constData());

    jobReceipt receipt;
    receipt.dataFiles.append({ "dfA001tester", QStringLiteral("job.prn"), 0 });
    QString error;
    QVERIFY(!jobReport::write(plainFile.fileName(), receipt, &error));
    QVERIFY2(error.endsWith(QLatin1String(": Not a directory")), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_engraver)
#include "tst_engraver.moc"
