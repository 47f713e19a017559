#include "gsmanager.h"
#include "psoptionparser.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray optionsFile(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<InitialSettings>\n" + body + "</InitialSettings>\n";
}

QStringList gsArguments(const QString &resolution, const QString &dithering, const QString &file)
{
    return { "-dDOINTERPOLATE", "-dBATCH", "-dSAFER", "-dNOPAUSE", "-sDEVICE=vexlor", "-r" + resolution,
        "-sDitheringType=" + dithering, "-sJobType=mono", "-sOutputFile=/tmp/GSTemp/o.xml", file };
}

// Everything one processOptions call says, in the order it said it.
struct Answer
{
    QStringList signalOrder;
    QStringList errors;
    QStringList infos;
    QList<int> resolutions;
    QStringList ditherings;
    QList<QStringList> argumentLists;
};

} // namespace

class tst_GsManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void argumentList_data();
    void argumentList();
    void jobOptionNamesCannotReplaceTheApplicationsKeys();
    void nothingLaunchedWithoutGroup_data();
    void nothingLaunchedWithoutGroup();
    void elementBeforeAnyGroupIsDropped();
    void malformedXmlKeepsWhatWasRead();
    void listIsEmptyBetweenJobs();
    void manyKeys();
    void readsTheParsersOptionsFile();

private:
    Answer process(const QByteArray *content);

    QTemporaryDir *m_tmp = nullptr;
    QString m_path;
};

void tst_GsManager::init()
{
    m_tmp = new QTemporaryDir;
    QVERIFY(m_tmp->isValid());
    m_path = m_tmp->path() + QStringLiteral("/job.xml");
}

void tst_GsManager::cleanup()
{
    delete m_tmp;
    m_tmp = nullptr;
}

// Runs processOptions on content written as the options file (no file at
// all when content is null).
Answer tst_GsManager::process(const QByteArray *content)
{
    QFile::remove(m_path);
    if (content) {
        QFile file(m_path);
        if (file.open(QIODevice::WriteOnly))
            file.write(*content);
    }
    gsManager manager;
    Answer a;
    connect(&manager, &gsManager::info, this, [&a](const QString &t) { a.infos << t; });
    connect(&manager, &gsManager::error, this, [&a](const QString &t) {
        a.errors << t;
        a.signalOrder << QStringLiteral("error");
    });
    connect(&manager, &gsManager::gsResolution, this, [&a](int r) {
        a.resolutions << r;
        a.signalOrder << QStringLiteral("gsResolution");
    });
    connect(&manager, &gsManager::sendDitheringType, this, [&a](const QString &d) {
        a.ditherings << d;
        a.signalOrder << QStringLiteral("sendDitheringType");
    });
    connect(&manager, &gsManager::launchGS, this, [&a](const QStringList &l) {
        a.argumentLists << l;
        a.signalOrder << QStringLiteral("launchGS");
    });
    manager.processOptions(m_path);
    return a;
}

// Whether the message of a value taken into the queue's range names every
// part of expected (the option, the value as it came, the range and the value
// used, separated by \x1f); any other expected text must be the message.
static bool reportsAdjustment(const QString &message, const QString &expected)
{
    const QStringList parts = expected.split(QLatin1Char('\x1f'));
    for (const QString &part : parts) {
        if (!message.contains(part))
            return false;
    }
    return true;
}

void tst_GsManager::argumentList_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<QString>("dithering");
    QTest::addColumn<QString>("file");
    // Each expected error: the exact text, or the parts an adjustment names
    // separated by \x1f.
    QTest::addColumn<QStringList>("errors");

    const QByteArray ps = "    <PostScriptFile>/tmp/PSLib/job.txt</PostScriptFile>\n";
    const QString psPath = "/tmp/PSLib/job.txt";
    const QString incomplete = "The input options do not have the proper options set.";
    auto range = [](const char *key, const char *value, const char *from, const char *to, const char *used) {
        return QStringList { QString::fromLatin1(key), QStringLiteral("\"%1\"").arg(QLatin1String(value)),
            QStringLiteral("from %1 to %2").arg(QLatin1String(from), QLatin1String(to)),
            QStringLiteral(": %1 is used").arg(QLatin1String(used)) }
            .join(QLatin1Char('\x1f'));
    };
    QTest::newRow("plain resolution wins over custom") << (ps
        + "<cResolution>600</cResolution><CustomcResolution>1200</CustomcResolution><dithering>floyd</"
          "dithering>") << "600" << 600 << "floyd" << psPath
                                                       << QStringList();
    QTest::newRow("empty plain resolution still wins, at the default")
        << (ps
               + "<cResolution></cResolution><CustomcResolution>1200</CustomcResolution><dithering>floyd</"
                 "dithering>")
        << "600" << 600 << "floyd" << psPath << QStringList { range("cResolution", "", "75", "1200", "600") };
    QTest::newRow("custom resolution")
        << (ps + "<CustomcResolution>1200</CustomcResolution><dithering>jarvis</dithering>") << "1200" << 1200
        << "jarvis" << psPath << QStringList();
    QTest::newRow("custom resolution below the range")
        << (ps + "<CustomcResolution>5</CustomcResolution><dithering>x</dithering>") << "75" << 75 << "x"
        << psPath << QStringList { range("CustomcResolution", "5", "75", "1200", "75") };
    QTest::newRow("custom resolution above the range")
        << (ps + "<CustomcResolution>99999</CustomcResolution><dithering>x</dithering>") << "1200" << 1200
        << "x" << psPath << QStringList { range("CustomcResolution", "99999", "75", "1200", "1200") };
    QTest::newRow("fractional resolution rounded")
        << (ps + "<CustomcResolution>300.6</CustomcResolution><dithering>x</dithering>") << "301" << 301
        << "x" << psPath << QStringList { range("CustomcResolution", "300.6", "75", "1200", "301") };
    QTest::newRow("whole resolution written as a decimal")
        << (ps + "<CustomcResolution>600.0</CustomcResolution><dithering>x</dithering>") << "600" << 600
        << "x" << psPath << QStringList();
    QTest::newRow("no resolution: the queue's default")
        << (ps + "<dithering>stucki</dithering>") << "600" << 600 << "stucki" << psPath
        << QStringList { incomplete };
    QTest::newRow("no dithering") << (ps + "<cResolution>300</cResolution>") << "300" << 300 << "" << psPath
                                  << QStringList { incomplete };
    QTest::newRow("no file") << QByteArray("<cResolution>300</cResolution><dithering>floyd</dithering>")
                             << "300" << 300 << "floyd"
                             << "" << QStringList { incomplete };
    QTest::newRow("resolution not a number")
        << (ps + "<cResolution>high</cResolution><dithering>floyd</dithering>") << "600" << 600 << "floyd"
        << psPath << QStringList { range("cResolution", "high", "75", "1200", "600") };
    QTest::newRow("other options out of range are reported")
        << (ps
               + "<cResolution>300</cResolution><dithering>floyd</dithering>"
                 "<CustomrasterPower>150</CustomrasterPower><CustomrasterSpeed>0</CustomrasterSpeed>"
                 "<CustommaterialThickness>-1</CustommaterialThickness><CustomvectorFreq>7</CustomvectorFreq>"
                 "<CustomvectorPower>-3</CustomvectorPower><CustomvectorSpeed>abc</CustomvectorSpeed>"
                 "<vectorSpeed>75</vectorSpeed>")
        << "300" << 300 << "floyd" << psPath
        << QStringList { range("CustommaterialThickness", "-1", "0", "100", "0"),
               range("CustomrasterPower", "150", "0", "100", "100"),
               range("CustomrasterSpeed", "0", "1", "100", "1"),
               range("CustomvectorPower", "-3", "0", "100", "0"),
               range("CustomvectorSpeed", "abc", "1", "100", "50") };
    QTest::newRow("decimal thickness in range is kept") << (ps
        + "<cResolution>300</cResolution><dithering>floyd</dithering>"
          "<CustommaterialThickness>3.174999952316</CustommaterialThickness>")
                                                        << "300" << 300 << "floyd" << psPath << QStringList();
    QTest::newRow("white space kept")
        << QByteArray("<PostScriptFile> /a b.txt </PostScriptFile><cResolution> 600</cResolution>"
                      "<dithering> floyd </dithering>")
        << " 600" << 600 << " floyd "
        << " /a b.txt " << QStringList();
    QTest::newRow("keys are case-sensitive")
        << (ps + "<CResolution>900</CResolution><Dithering>floyd</Dithering><cResolution>300</cResolution>")
        << "300" << 300 << "" << psPath << QStringList { incomplete };
    QTest::newRow("repeated key, last wins")
        << (ps + "<cResolution>300</cResolution><cResolution>400</cResolution><dithering>a</dithering>")
        << "400" << 400 << "a" << psPath << QStringList();
    QTest::newRow("escaped text") << QByteArray(
        "<PostScriptFile>/tmp/Tom &amp; Jerry.txt</PostScriptFile><cResolution>300</cResolution>"
        "<dithering>floyd</dithering>")
                                  << "300" << 300 << "floyd"
                                  << "/tmp/Tom & Jerry.txt" << QStringList();
    QTest::newRow("option named like a group is an option")
        << (ps + "<cResolution>300</cResolution><JobSettings>x</JobSettings><dithering>floyd</dithering>")
        << "300" << 300 << "floyd" << psPath << QStringList();
}

void tst_GsManager::argumentList()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, resolution);
    QFETCH(int, dpi);
    QFETCH(QString, dithering);
    QFETCH(QString, file);
    QFETCH(QStringList, errors);

    const QByteArray content = optionsFile(body);
    const Answer a = process(&content);
    QCOMPARE(a.argumentLists.size(), 1);
    QCOMPARE(a.argumentLists.at(0), gsArguments(resolution, dithering, file));
    QCOMPARE(a.resolutions, QList<int> { dpi });
    QCOMPARE(a.ditherings, QStringList { dithering });
    QStringList order = { "gsResolution", "sendDitheringType", "launchGS" };
    for (int i = 0; i < errors.size(); ++i)
        order.prepend(QStringLiteral("error"));
    QCOMPARE(a.signalOrder, order);
    QCOMPARE(a.errors.size(), errors.size());
    for (int i = 0; i < errors.size(); ++i)
        QVERIFY2(reportsAdjustment(a.errors.at(i), errors.at(i)), qPrintable(a.errors.at(i)));
}

// A job's option named "PostScriptFile" or containing "Settings" changes
// neither the file Ghostscript runs nor the options read after it.
void tst_GsManager::jobOptionNamesCannotReplaceTheApplicationsKeys()
{
    const QByteArray content = optionsFile("    <PostScriptFile>/tmp/PSLib/job.txt</PostScriptFile>\n"
                                           "    <AASettings>x</AASettings>\n"
                                           "    <PostScriptFile>/etc/passwd</PostScriptFile>\n"
                                           "    <cResolution>300</cResolution>\n"
                                           "    <dithering>jarvis</dithering>\n");
    const Answer a = process(&content);
    QCOMPARE(a.argumentLists.size(), 1);
    QCOMPARE(a.argumentLists.at(0), gsArguments("300", "jarvis", "/tmp/PSLib/job.txt"));
    QCOMPARE(a.errors.size(), 1);
    QVERIFY2(a.errors.at(0).contains("/etc/passwd") || a.errors.at(0).contains("PostScriptFile"),
        qPrintable(a.errors.at(0)));

    // A group inside the group is no option: an XML error, and what was read
    // before it is used.
    const QByteArray nested = optionsFile("    <PostScriptFile>/tmp/PSLib/job.txt</PostScriptFile>\n"
                                          "<cResolution>300</cResolution><dithering>floyd</dithering>"
                                          "<OtherSettings><cResolution>999</cResolution></OtherSettings>");
    const Answer b = process(&nested);
    QCOMPARE(b.argumentLists.size(), 1);
    QCOMPARE(b.argumentLists.at(0), gsArguments("300", "floyd", "/tmp/PSLib/job.txt"));
    QCOMPARE(b.errors.size(), 1);
    QVERIFY2(b.errors.at(0).startsWith("XML error: "), qPrintable(b.errors.at(0)));
}

void tst_GsManager::nothingLaunchedWithoutGroup_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("errors");

    const QString notParsed = "The xml input options were not parsed properly.";
    QTest::newRow("missing file") << false << QByteArray() << QStringList {};
    QTest::newRow("empty file") << true << QByteArray()
                                << QStringList { "XML error: Premature end of document.", notParsed };
    QTest::newRow("no element naming settings")
        << true << QByteArray("<?xml version=\"1.0\"?>\n<Options><cResolution>600</cResolution></Options>\n")
        << QStringList { "XML error: Expected character data.", notParsed };
    QTest::newRow("options without group")
        << true << QByteArray("<cResolution>600</cResolution>\n") << QStringList { notParsed };
    QTest::newRow("not XML") << true << QByteArray("%!PS-Adobe-3.0\n%%EOF\n")
                             << QStringList { "XML error: Start tag expected.", notParsed };
    QTest::newRow("binary") << true << QByteArray("\x00\x01\x02\xff\xfe", 5) << QStringList {};
}

void tst_GsManager::nothingLaunchedWithoutGroup()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, errors);

    const Answer a = process(exists ? &content : nullptr);
    QCOMPARE(a.argumentLists.size(), 0);
    QCOMPARE(a.resolutions.size(), 0);
    QCOMPARE(a.ditherings.size(), 0);
    QVERIFY(!a.errors.isEmpty());
    QCOMPARE(a.errors.last(), QStringLiteral("The xml input options were not parsed properly."));
    if (!exists)
        QCOMPARE(a.errors, (QStringList { "Problem opening option file: " + m_path, a.errors.last() }));
    else if (!errors.isEmpty())
        QCOMPARE(a.errors, errors);
}

void tst_GsManager::elementBeforeAnyGroupIsDropped()
{
    const QByteArray content = "<Job><dithering>early</dithering></Job>";
    // The outer element has a child, which no option may have.
    Answer a = process(&content);
    QCOMPARE(a.argumentLists.size(), 0);

    const QByteArray flat = "<?xml version=\"1.0\"?>\n<cResolution>1</cResolution>";
    a = process(&flat);
    QCOMPARE(a.argumentLists.size(), 0);
    QVERIFY(a.infos.contains("Option cResolution comes before any settings group and is left out"));

    // Top-level content after the first element is an error of its own, so
    // the option in front stays dropped and the group is never reached.
    const QByteArray twoRoots = "<dithering>early</dithering><InitialSettings><cResolution>300</cResolution>"
                                "</InitialSettings>";
    a = process(&twoRoots);
    QCOMPARE(a.argumentLists.size(), 0);
    QVERIFY(a.infos.contains("Option dithering comes before any settings group and is left out"));
    QVERIFY(!a.infos.contains("Key: dithering Value: early"));
}

void tst_GsManager::malformedXmlKeepsWhatWasRead()
{
    const QByteArray content = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<InitialSettings>\n"
                               "    <PostScriptFile>/tmp/PSLib/job.txt</PostScriptFile>\n"
                               "    <cResolution>600</cResolution>\n"
                               "    <dithering>floyd</dithering>\n"
                               "    <broken>value</wrong>\n"
                               "    <vectorSpeed>40</vectorSpeed>\n";
    const Answer a = process(&content);
    QCOMPARE(a.errors.size(), 1);
    QVERIFY2(a.errors.at(0).startsWith("XML error: "), qPrintable(a.errors.at(0)));
    QCOMPARE(a.argumentLists.size(), 1);
    QCOMPARE(a.argumentLists.at(0), gsArguments("600", "floyd", "/tmp/PSLib/job.txt"));
    QVERIFY(a.infos.contains("Key: dithering Value: floyd"));
    QVERIFY(!a.infos.contains("Reached xml end... done"));
}

void tst_GsManager::listIsEmptyBetweenJobs()
{
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(optionsFile("<cResolution>300</cResolution><dithering>floyd</dithering>"
                           "<PostScriptFile>/a.txt</PostScriptFile>"));
    file.close();
    const QString missing = m_tmp->path() + QStringLiteral("/missing.xml");

    gsManager manager;
    QSignalSpy launches(&manager, &gsManager::launchGS);
    QSignalSpy errors(&manager, &gsManager::error);
    manager.processOptions(m_path);
    manager.processOptions(missing);
    // The second job finds no file; nothing of the first one is used again.
    QCOMPARE(launches.count(), 1);
    QCOMPARE(errors.count(), 2);
    QCOMPARE(
        errors.at(1).at(0).toString(), QStringLiteral("The xml input options were not parsed properly."));
    manager.processOptions(m_path);
    QCOMPARE(launches.count(), 2);
    QCOMPARE(launches.at(1).at(0).toStringList(), gsArguments("300", "floyd", "/a.txt"));
}

void tst_GsManager::manyKeys()
{
    QByteArray body = "<cResolution>300</cResolution><dithering>floyd</dithering><PostScriptFile>/a.txt</"
                      "PostScriptFile>\n";
    for (int i = 0; i < 20000; ++i)
        body += "    <key" + QByteArray::number(i) + ">value " + QByteArray::number(i) + "</key"
            + QByteArray::number(i) + ">\n";
    const QByteArray content = optionsFile(body);
    const Answer a = process(&content);
    QCOMPARE(a.errors, QStringList());
    QCOMPARE(a.argumentLists.size(), 1);
    QCOMPARE(a.argumentLists.at(0), gsArguments("300", "floyd", "/a.txt"));
    QVERIFY(a.infos.contains("Key: key19999 Value: value 19999"));
}

// The options file exactly as the option parser writes it.
void tst_GsManager::readsTheParsersOptionsFile()
{
    Vexlor::registerMetaTypes();
    const QString spool = m_tmp->path() + QStringLiteral("/PSLib");
    const QString options = m_tmp->path() + QStringLiteral("/XMLLib");
    QVERIFY(Vexlor::makePrivateDir(spool));
    QVERIFY(Vexlor::makePrivateDir(options));
    const QString job = spool + QStringLiteral("/Tue Dec 8 01:04:34 2026.txt");
    QFile file(job);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "%!PS-Adobe-3.0\n%%Title: (Sign)\n%%BeginFeature: *CustomcResolution True\n1200\n%%EndFeature\n"
        "%%BeginFeature: *PostScriptFile other\n%%EndFeature\n"
        "%%BeginFeature: *ASettings x\n%%EndFeature\n"
        "%%BeginFeature: *dithering jarvis\n%%EndFeature\n%%EOF\n");
    file.close();

    // The job's features named like the application's own keys are reported
    // by the parser and have no effect on the command line.
    psOptionParser parser { QDir(options) };
    QSignalSpy done(&parser, qOverload<QString>(&psOptionParser::done));
    QSignalSpy parserErrors(&parser, &psOptionParser::error);
    parser.name2Parse(job);
    QCOMPARE(done.count(), 1);
    QCOMPARE(parserErrors.count(), 2);

    gsManager manager;
    QSignalSpy launches(&manager, &gsManager::launchGS);
    QSignalSpy errors(&manager, &gsManager::error);
    manager.processOptions(done.at(0).at(0).toString());
    QCOMPARE(errors.count(), 0);
    QCOMPARE(launches.count(), 1);
    QCOMPARE(launches.at(0).at(0).toStringList(), gsArguments("1200", "jarvis", job));
}

QTEST_GUILESS_MAIN(tst_GsManager)
#include "tst_gsmanager.moc"
