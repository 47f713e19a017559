#include "jobdecoder.h"
#include "jobestimate.h"
#include "jobreport.h"
#include "machinetiming.h"
#include "tablepicture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The streams below are written out by hand from the job format, and every
// expected time is worked out by hand from the estimate's model: a pass of
// a raster row covers its bytes plus the turnaround at both ends at the raster
// speed; moves and cuts run from rest to rest, taking d / v + v / a when
// d >= v^2 / a, else 2 sqrt(d / a).
namespace {

QByteArray esc(const char *text)
{
    return QByteArray(1, '\x1b') + text;
}

QByteArray job(const QByteArray &settings, const QByteArray &raster, const QByteArray &vectors)
{
    return esc("%-12345X@PJL JOB NAME=t\r\n") + esc("E@PJL ENTER LANGUAGE=PCL \r\n") + settings + raster
        + esc("%1BIN;") + vectors + ";" + esc("%0B") + esc("%1BPU") + esc("E") + esc("%-12345X@PJL EOJ \r\n")
        + QByteArray(4096, '\0');
}

// One raster row of 25 black bytes (200 dots): PackBits repeat run 0xE8 0xFF,
// padded with 0x80 to eight bytes. A negative count is a row sent in reverse.
QByteArray blackRow(int x, int y, int count)
{
    return esc("*p") + QByteArray::number(y) + "Y" + esc("*p") + QByteArray::number(x) + "X" + esc("*b")
        + QByteArray::number(count) + "A" + esc("*b8W") + QByteArray("\xE8\xFF\x80\x80\x80\x80\x80\x80", 8);
}

// Top speeds 40 in/s raster and 20 in/s vector, 100 in/s^2, 0.5 in turnaround.
Vexlor::machineTiming testMachine()
{
    Vexlor::machineTiming m;
    m.rasterSpeed = 40;
    m.vectorSpeed = 20;
    m.acceleration = 100;
    m.turnaround = 0.5;
    return m;
}

} // namespace

class tst_jobEstimate : public QObject
{
    Q_OBJECT

private slots:
    void moveProfile_data();
    void moveProfile();
    void singleRasterRow();
    void squareCut();
    void rasterAndVectorJob();
    void unreadableStream();
    void durationText_data();
    void durationText();
    void timingFile();
    void timingFileFaults();
    void virtualEngraverReport();
    void figuresOfTheSelectedEngraver();
};

void tst_jobEstimate::moveProfile_data()
{
    QTest::addColumn<double>("inches");
    QTest::addColumn<double>("speed");
    QTest::addColumn<double>("seconds");
    // 20 in/s needs 20^2 / 100 = 4 in to reach the speed and stop again.
    QTest::newRow("long: 10 in") << 10.0 << 20.0 << 10.0 / 20 + 20.0 / 100; // 0.7
    QTest::newRow("exactly the ramp: 4 in") << 4.0 << 20.0 << 0.4; // 0.2 + 0.2 = 2 sqrt(0.04)
    QTest::newRow("short: 1 in") << 1.0 << 20.0 << 0.2; // 2 sqrt(1 / 100)
    QTest::newRow("nothing") << 0.0 << 20.0 << 0.0;
}

void tst_jobEstimate::moveProfile()
{
    QFETCH(double, inches);
    QFETCH(double, speed);
    QFETCH(double, seconds);
    QCOMPARE(Vexlor::jobEstimate::moveSeconds(inches, speed, 100), seconds);
}

void tst_jobEstimate::singleRasterRow()
{
    // 200 dpi, raster speed 50 %: 20 in/s. The row starts at x 200 (1 in) and
    // is 200 dots (1 in) long: the pass runs from 0.5 in to 2.5 in, 2 in,
    // 0.1 s. Home (0, 0) to (0.5, 0): 0.5 in at 20 in/s, below the 4 in ramp,
    // 2 sqrt(0.005) = 0.1414214 s.
    const QByteArray stream = job(esc("&u200D") + esc("*t200R") + esc("&z50S") + esc("*b2M"),
        esc("&y0O") + esc("&r1A") + blackRow(200, 0, 25) + esc("*rC"), "YP50;ZS50;XR50;XS0;XP1;LT");
    QString error;
    const Vexlor::jobEstimate e = Vexlor::jobEstimate::fromStream(stream, testMachine(), &error);
    QVERIFY2(e.valid, qPrintable(error));
    QCOMPARE(e.rasterRows, 1);
    QCOMPARE(e.rasterSpeed, 20.0);
    QCOMPARE(e.rasterPassInches, 2.0);
    QCOMPARE(e.rasterMoveInches, 0.5);
    QVERIFY(qAbs(e.rasterSeconds - 0.2414214) < 1e-6);
    QCOMPARE(e.vectorSeconds, 0.0);
    QCOMPARE(e.cuts, 0);
}

void tst_jobEstimate::squareCut()
{
    // 100 dpi, vector speed 50 %: 10 in/s, ramp 10^2 / 100 = 1 in. Home to
    // (1, 1): sqrt 2 = 1.4142136 in, 0.1414214 + 0.1 s. Four sides of 1 in:
    // 0.1 + 0.1 = 0.2 s each.
    const QByteArray stream = job(esc("&u100D") + esc("*t100R") + esc("*b2M"), QByteArray(),
        "YP50;ZS50;XR50;XS0;XP1;LTPU100,100;PD200,100,200,200,100,200,100,100");
    const Vexlor::jobEstimate e = Vexlor::jobEstimate::fromStream(stream, testMachine());
    QVERIFY(e.valid);
    QCOMPARE(e.rasterRows, 0);
    QCOMPARE(e.rasterSeconds, 0.0);
    QCOMPARE(e.vectorSpeed, 10.0);
    QCOMPARE(e.cuts, 1);
    QCOMPARE(e.cutInches, 4.0);
    QVERIFY(qAbs(e.travelInches - 1.4142136) < 1e-6);
    QVERIFY(qAbs(e.vectorSeconds - (0.2414214 + 0.8)) < 1e-6);
}

void tst_jobEstimate::rasterAndVectorJob()
{
    // 100 dpi, raster speed 25 %: 10 in/s. Row 1 forward at y 100 (1 in),
    // x 100 to 300 (1 in to 3 in): pass 0.5 in to 3.5 in, 3 in, 0.3 s; home to
    // (0.5, 1): sqrt(1.25) = 1.1180340 in, 2 sqrt(0.011180340) = 0.2114743 s.
    // Row 2 in reverse at y 101 starts where row 1 ended, 0.01 in below:
    // 2 sqrt(0.0001) = 0.02 s, then the same 3 in pass, 0.3 s.
    // Vectors at 100 %: 20 in/s, ramp 4 in. Home to (1, 1): 1.4142136 in,
    // 2 sqrt(0.014142136) = 0.2378414 s; four 1 in sides at 0.2 s each.
    // The square ends where it started, so the pen-up move to (1, 1) before
    // the second cut is no move at all.
    const QByteArray stream = job(esc("&u100D") + esc("*t100R") + esc("&z25S") + esc("*b2M"),
        esc("&y0O") + esc("&r1A") + blackRow(100, 100, 25) + blackRow(100, 101, -25) + esc("*rC"),
        "YP50;ZS100;XR50;XS0;XP1;LTPU100,100;PD200,100,200,200,100,200,100,100;PU100,100;PD100,150");
    const Vexlor::jobEstimate e = Vexlor::jobEstimate::fromStream(stream, testMachine());
    QVERIFY(e.valid);
    QCOMPARE(e.rasterRows, 2);
    QCOMPARE(e.rasterPassInches, 6.0);
    QVERIFY(qAbs(e.rasterMoveInches - (1.1180340 + 0.01)) < 1e-6);
    QVERIFY(qAbs(e.rasterSeconds - (0.2114743 + 0.3 + 0.02 + 0.3)) < 1e-6);
    // The last cut, 0.5 in down: 2 sqrt(0.005) = 0.1414214 s.
    QCOMPARE(e.cuts, 2);
    QCOMPARE(e.cutInches, 4.5);
    QVERIFY(qAbs(e.travelInches - 1.4142136) < 1e-6);
    QVERIFY(qAbs(e.vectorSeconds - (0.2378414 + 0.8 + 0.1414214)) < 1e-6);
    QVERIFY(qAbs(e.totalSeconds() - (0.8314743 + 1.1792628)) < 1e-6);
    QCOMPARE(e.describe(), QStringLiteral("about 2 s (raster 1 s, vector 1 s)"));
}

void tst_jobEstimate::unreadableStream()
{
    QString error;
    const Vexlor::jobEstimate e = Vexlor::jobEstimate::fromStream("%!PS-Adobe-3.0\n", testMachine(), &error);
    QVERIFY(!e.valid);
    QVERIFY(error.contains(QLatin1String("byte 0")));
    QCOMPARE(e.describe(), QStringLiteral("no estimate"));
}

void tst_jobEstimate::durationText_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << 0.2 << "under 1 s";
    QTest::newRow("seconds") << 12.4 << "12 s";
    QTest::newRow("minutes") << 247.0 << "4 min 07 s";
    QTest::newRow("hours, minutes rounded") << 7529.0 << "2 h 05 min";
    QTest::newRow("59 min 59.6 s") << 3599.6 << "1 h 00 min";
}

void tst_jobEstimate::durationText()
{
    QFETCH(double, seconds);
    QFETCH(QString, text);
    QCOMPARE(Vexlor::jobEstimate::formatDuration(seconds), text);
}

void tst_jobEstimate::timingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("machines-timing.xml"));
    Vexlor::machineTimingTable table;
    QString error;
    QVERIFY2(table.read(path, &error), qPrintable(error)); // no file yet: an empty table
    QCOMPARE(table.timingFor(QStringLiteral("Shop")), Vexlor::machineTiming());

    Vexlor::machineTiming shop;
    shop.rasterSpeed = 55.5;
    shop.vectorSpeed = 12;
    shop.acceleration = 250;
    shop.turnaround = 0;
    table.setTiming(QStringLiteral("Shop"), shop);
    QVERIFY2(table.write(path, &error), qPrintable(error));

    Vexlor::machineTimingTable again;
    QVERIFY2(again.read(path, &error), qPrintable(error));
    QCOMPARE(again.machineNames(), QStringList { QStringLiteral("Shop") });
    QCOMPARE(again.timingFor(QStringLiteral("Shop")), shop);
    QCOMPARE(again.timingFor(QStringLiteral("Garage")), Vexlor::machineTiming());
}

void tst_jobEstimate::timingFileFaults()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("machines-timing.xml"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<machinesTiming>\n"
               "  <machine name=\"A\" rasterSpeed=\"fast\" vectorSpeed=\"-3\" acceleration=\"80\"/>\n"
               "  <unknown/>\n"
               "</machinesTiming>\n");
    file.close();
    Vexlor::machineTimingTable table;
    QString error;
    QStringList warnings;
    QVERIFY2(table.read(path, &error, &warnings), qPrintable(error));
    const Vexlor::machineTiming a = table.timingFor(QStringLiteral("A"));
    const Vexlor::machineTiming defaults;
    QCOMPARE(a.rasterSpeed, defaults.rasterSpeed);
    QCOMPARE(a.vectorSpeed, defaults.vectorSpeed);
    QCOMPARE(a.acceleration, 80.0);
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings.at(0).contains(QLatin1String("rasterSpeed \"fast\"")));

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<machinesTiming><machine name=\"A\"");
    file.close();
    QVERIFY(!table.read(path, &error));
    QVERIFY(error.contains(QLatin1String("line 1")));

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<machines/>");
    file.close();
    QVERIFY(!table.read(path, &error));
    QVERIFY(error.contains(QLatin1String("<machinesTiming>")));
}

void tst_jobEstimate::virtualEngraverReport()
{
    // 100 dpi, default machine: vector 20 in/s at 100 %, 50 % gives 10 in/s,
    // acceleration 100 in/s^2, ramp 1 in. Two cuts: the 1 in square at (1, 1)
    // and a 1.5 in line from (2.5, 1.5) to (4, 1.5). Travel: home to (1, 1),
    // 1.4142136 in, 0.1414214 + 0.1 s; (1, 1) to (2.5, 1.5), 1.5811388 in,
    // 0.1581139 + 0.1 s. Cuts: four sides at 0.2 s, the line 0.15 + 0.1 s.
    // Total 1.5495353 s: "2 s".
    const QByteArray stream = job(esc("&u100D") + esc("*t100R") + esc("*b2M"), QByteArray(),
        "ZS50;LTPU100,100;PD200,100,200,200,100,200,100,100;PU250,150;PD400,150");
    JobDecoder::DecodedJob decoded;
    QVERIFY(JobDecoder::decodeJob(stream, &decoded));
    const QString summary = jobReport::describe(decoded, true, QString(), stream.size());
    QVERIFY2(summary.contains(QLatin1String(
                 "Cut length: 5.50 in in 2 cuts; travel between them with the pen up: 3.00 in\n")),
        qPrintable(summary));
    QVERIFY2(summary.contains(QLatin1String("Estimated time: about 2 s (raster under 1 s, vector 2 s)")),
        qPrintable(summary));
    QVERIFY(qAbs(Vexlor::jobEstimate::fromJob(decoded, Vexlor::machineTiming()).vectorSeconds - 1.5495353)
        < 1e-6);

    // The numbers of the cuts sit just right of and above where each starts,
    // (100, 100) and (250, 150), when asked for; none without.
    int scale = 0;
    auto blueNear = [](const QImage &picture, QPoint at) {
        int blue = 0;
        for (int dy = -16; dy < 0; ++dy)
            for (int dx = 0; dx < 16; ++dx) {
                const QRgb p = picture.pixel(at.x() + dx, at.y() + dy);
                blue += qBlue(p) > 128 && qRed(p) < 100 && qGreen(p) < 100;
            }
        return blue;
    };
    const QImage plain = jobReport::render(decoded, 4000, &scale);
    qputenv("VEXLOR_ENGRAVER_NUMBER_CUTS", "1");
    const QImage numbered = jobReport::render(decoded, 4000, &scale);
    qunsetenv("VEXLOR_ENGRAVER_NUMBER_CUTS");
    QCOMPARE(scale, 1);
    QVERIFY(blueNear(numbered, tablePicture::pixelOf(QPoint(100, 100), 1)) > 0);
    QVERIFY(blueNear(numbered, tablePicture::pixelOf(QPoint(250, 150), 1)) > 0);
    QCOMPARE(blueNear(plain, tablePicture::pixelOf(QPoint(100, 100), 1)), 0);
}

void tst_jobEstimate::figuresOfTheSelectedEngraver()
{
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("Library/Vexlor")));
    QFile file(home.filePath(QStringLiteral("Library/Vexlor/machines-timing.xml")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<machinesTiming><machine name=\"Shop\" vectorSpeed=\"40\"/></machinesTiming>");
    file.close();

    // The 1 in square at (1, 1), 100 dpi, vector speed 50 %, acceleration
    // 100 in/s^2 (the default). Shop: 20 in/s, ramp 4 in: every move is a
    // triangle; home to (1, 1) 2 sqrt(0.0141421) = 0.2378414 s, sides
    // 2 sqrt(0.01) = 0.2 s. Other engravers: the default 20 in/s at 100 %,
    // 10 in/s, ramp 1 in: 0.1414214 + 0.1 s, and 0.2 s a side.
    const QByteArray stream = job(esc("&u100D") + esc("*t100R") + esc("*b2M"), QByteArray(),
        "ZS50;LTPU100,100;PD200,100,200,200,100,200,100,100");
    QStringList problems;
    const double shop
        = Vexlor::jobEstimate::forEngraver(stream, QStringLiteral("Shop"), &problems).vectorSeconds;
    const double other = Vexlor::jobEstimate::forEngraver(stream, QStringLiteral("Garage")).vectorSeconds;
    QVERIFY(problems.isEmpty());

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<machinesTiming><machine");
    file.close();
    const double broken
        = Vexlor::jobEstimate::forEngraver(stream, QStringLiteral("Shop"), &problems).vectorSeconds;
    const QStringList brokenProblems = problems;
    const Vexlor::jobEstimate none
        = Vexlor::jobEstimate::forEngraver("not a job", QStringLiteral("Shop"), &problems);
    qputenv("HOME", oldHome);

    QVERIFY(qAbs(shop - 1.0378414) < 1e-6);
    QVERIFY(qAbs(other - 1.0414214) < 1e-6);
    QVERIFY(qAbs(broken - 1.0414214) < 1e-6);
    QCOMPARE(brokenProblems.size(), 1);
    QVERIFY(brokenProblems.first().contains(QLatin1String("the default engraver figures are used")));
    QVERIFY(!none.valid);
    QVERIFY(problems.last().startsWith(QLatin1String("no time estimate: byte 0")));
}

QTEST_GUILESS_MAIN(tst_jobEstimate)
#include "tst_jobestimate.moc"
