#include "psoptionparser.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Options = QMap<QString, QString>;
Q_DECLARE_METATYPE(Options)

namespace {

// A job as Debian's pstops writes it for the engraver queue (captured from
// cupsfilter with -o JobType=vector -o rasterSpeed=Custom.37
// -o materialThickness=Custom.3.175 -o dithering=floyd
// -o cResolution=Custom.1200), shortened to its comments and feature blocks
// and with the closing 0x04 byte.
const char kCupsJob[] = "%!PS-Adobe-3.0\n"
                        "%%Title: (My Sign)\n"
                        "%%For: (root)\n"
                        "%RBINumCopies: 1\n"
                        "%%Pages: (atend)\n"
                        "%%BoundingBox: (atend)\n"
                        "%%EndComments\n"
                        "%%BeginProlog\n"
                        "%%EndProlog\n"
                        "%%BeginSetup\n"
                        "% Disable CTRL-D as an end-of-file marker...\n"
                        "userdict dup(\\004)cvn{}put (\\004\\004)cvn{}put\n"
                        "[{\n"
                        "%%BeginFeature: *PageSize 28x40Rotated.Fullbleed\n"
                        "<</PageSize[2880 2016]/ImagingBBox null>>setpagedevice\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *JobType vector\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *CustomcResolution True\n"
                        "1200\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *dithering floyd\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *CustomrasterSpeed True\n"
                        "37\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *vectorPowerComp enabled\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "[{\n"
                        "%%BeginFeature: *CustommaterialThickness True\n"
                        "3.174999952316\n"
                        "%%EndFeature\n"
                        "} stopped cleartomark\n"
                        "%%EndSetup\n"
                        "%%Page: 1 1\n"
                        "%%PageBoundingBox: 0 0 200 100\n"
                        "%%BeginPageSetup\n"
                        "%%EndPageSetup\n"
                        "newpath 10 10 moveto 100 50 lineto stroke\n"
                        "showpage\n"
                        "%%Trailer\n"
                        "%%Pages: 1\n"
                        "%%BoundingBox: 0 0 200 100\n"
                        "%%EOF\n"
                        "\x04";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What one search over the whole text gives for the feature blocks and the
// bounding box, pattern after pattern: the reference the piecewise scan must
// agree with. Features named like the application's own keys are left out.
Options wholeTextScan(const QString &text)
{
    const QList<QRegularExpression> res = {
        QRegularExpression(
            QStringLiteral("%%BeginFeature: \\*(\\w*) (\\w*)\\s{1}([.\\w]*){0,1}\\s{0,1}%%EndFeature")),
        QRegularExpression(QStringLiteral("%%BoundingBox: (\\d+ \\d+ \\d+ \\d+)\\s")),
    };
    const QStringList reserved = { "PostScriptFile", "Title", "BoundingBox", "PageCount" };
    Options options;
    for (int p = 0; p < res.size(); ++p) {
        auto it = res.at(p).globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            if (res.at(p).captureCount() == 1) {
                options.insert(QStringLiteral("BoundingBox"), m.captured(1));
            } else {
                int n = 0;
                for (int i = 1; i <= res.at(p).captureCount(); ++i)
                    n += m.captured(i).isEmpty() ? 0 : 1;
                if (!reserved.contains(m.captured(1)) && !m.captured(1).contains("Settings"))
                    options.insert(m.captured(1), m.captured(n));
            }
        }
    }
    return options;
}

} // namespace

class tst_PsOptionParser : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void comments_data();
    void comments();
    void titles_data();
    void titles();
    void titleWrittenByThePrintSystem();
    void pageCount_data();
    void pageCount();
    void featuresNamedLikeTheApplicationsKeys();
    void valuesOutsideTheRanges();
    void optionsFileBytes();
    void doneSignalsPathFirst();
    void optionsFileNamedAfterSpoolFile_data();
    void optionsFileNamedAfterSpoolFile();
    void cupsfilterOutput();
    void piecewiseScanAgreesWithWholeText_data();
    void piecewiseScanAgreesWithWholeText();
    void unusableKeysAndCharactersKeepTheFileReadable();
    void missingSpoolFile();
    void refusesUnsafeOptionsFolder_data();
    void refusesUnsafeOptionsFolder();
    void optionsFileIsPrivate();
    void writeFailureIsReported();

private:
    QStringList parse(
        const QByteArray &content, Options *settings, const QString &name = QStringLiteral("job.txt"));

    QTemporaryDir *m_tmp = nullptr;
    QString m_spool;
    QString m_options;
};

void tst_PsOptionParser::initTestCase()
{
    Vexlor::registerMetaTypes();
    // Spool files are read with the locale's codec; make it the one of a
    // desktop session whatever the test machine has.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void tst_PsOptionParser::init()
{
    m_tmp = new QTemporaryDir;
    QVERIFY(m_tmp->isValid());
    m_spool = m_tmp->path() + QStringLiteral("/PSLib");
    m_options = m_tmp->path() + QStringLiteral("/XMLLib");
    QVERIFY(Vexlor::makePrivateDir(m_spool));
    QVERIFY(Vexlor::makePrivateDir(m_options));
}

void tst_PsOptionParser::cleanup()
{
    delete m_tmp;
    m_tmp = nullptr;
}

// Parses content as a spool file; returns the error texts and fills the
// settings of done(vexlorSettings) (empty when it did not come).
QStringList tst_PsOptionParser::parse(const QByteArray &content, Options *settings, const QString &name)
{
    const QString path = m_spool + QLatin1Char('/') + name;
    writeFile(path, content);
    psOptionParser parser { QDir(m_options) };
    QStringList errors;
    connect(&parser, &psOptionParser::error, this, [&errors](const QString &e) { errors << e; });
    connect(&parser, qOverload<vexlorSettings>(&psOptionParser::done), this,
        [settings](const vexlorSettings &s) { *settings = s.settings; });
    settings->clear();
    parser.name2Parse(path);
    return errors;
}

void tst_PsOptionParser::comments_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Options>("expected"); // without PostScriptFile

    QTest::newRow("title in parentheses")
        << QByteArray("%!PS\n%%Title: (My Job)\n%%Creator: x\n") << Options { { "Title", "My Job" } };
    QTest::newRow("title without parentheses") << QByteArray("%!PS\n%%Title: hello world.ps\n%%Creator: x\n")
                                               << Options { { "Title", "hello world.ps" } };
    QTest::newRow("title with Windows line ends")
        << QByteArray("%!PS\r\n%%Title: (Plate)\r\n%%Creator: x\r\n") << Options { { "Title", "Plate" } };
    QTest::newRow("the document's first title wins")
        << QByteArray("%%Title: First\n%%Title: Second\n%%X\n") << Options { { "Title", "First" } };
    QTest::newRow("bounding box deferred, then given")
        << QByteArray("%%BoundingBox: (atend)\n%%EndComments\n%%Trailer\n%%BoundingBox: 0 0 612 792\n%%EOF\n")
        << Options { { "BoundingBox", "0 0 612 792" } };
    QTest::newRow("last bounding box wins")
        << QByteArray("%%BoundingBox: 1 2 3 4\n%%BoundingBox: 10 20 30 40\n")
        << Options { { "BoundingBox", "10 20 30 40" } };
    QTest::newRow("negative bounding box") << QByteArray("%%BoundingBox: -1 0 612 792\n") << Options {};
    QTest::newRow("fractional bounding box") << QByteArray("%%BoundingBox: 0.5 0 612 792\n") << Options {};
    QTest::newRow("page bounding box is not the bounding box")
        << QByteArray("%%PageBoundingBox: 0 0 200 100\n") << Options {};
    QTest::newRow("plain choice") << QByteArray("%%BeginFeature: *JobType vector\n%%EndFeature\n")
                                  << Options { { "JobType", "vector" } };
    QTest::newRow("custom value") << QByteArray("%%BeginFeature: *CustomrasterSpeed True\n37\n%%EndFeature\n")
                                  << Options { { "CustomrasterSpeed", "37" } };
    QTest::newRow("custom decimal value keeps its dot")
        << QByteArray("%%BeginFeature: *CustommaterialThickness True\n3.174999952316\n%%EndFeature\n")
        << Options { { "CustommaterialThickness", "3.174999952316" } };
    QTest::newRow("feature with PostScript code")
        << QByteArray("%%BeginFeature: *PageSize Letter\n<</PageSize[612 792]>>setpagedevice\n%%EndFeature\n")
        << Options {};
    QTest::newRow("repeated option, last wins") << QByteArray(
        "%%BeginFeature: *dithering floyd\n%%EndFeature\n%%BeginFeature: *dithering jarvis\n%%EndFeature\n")
                                                << Options { { "dithering", "jarvis" } };
    QTest::newRow("empty file") << QByteArray() << Options {};
    QTest::newRow("no comments") << QByteArray("newpath 0 0 moveto 10 10 lineto stroke showpage\n")
                                 << Options {};
    QTest::newRow("zero bytes") << QByteArray(4096, '\0') << Options {};
    QTest::newRow("zero bytes around a comment")
        << (QByteArray(3, '\0') + "\n%%BeginFeature: *JobType raster\n%%EndFeature\n" + QByteArray(2, '\0'))
        << Options { { "JobType", "raster" } };
    QByteArray junk(64 * 1024, '\0');
    QRandomGenerator random(7);
    for (char &c : junk)
        c = char(random.bounded(256));
    junk.replace("%%", "%.");
    QTest::newRow("binary junk") << junk << Options {};
    QTest::newRow("binary junk around a comment")
        << (junk + "\n%%BeginFeature: *vectorSort inside\n%%EndFeature\n" + junk)
        << Options { { "vectorSort", "inside" } };
}

void tst_PsOptionParser::comments()
{
    QFETCH(QByteArray, content);
    QFETCH(Options, expected);

    Options settings;
    const QStringList errors = parse(content, &settings);
    QCOMPARE(errors, QStringList());
    expected.insert(QStringLiteral("PostScriptFile"), m_spool + QStringLiteral("/job.txt"));
    QCOMPARE(settings, expected);
}

void tst_PsOptionParser::titles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("title"); // empty: no title

    QTest::newRow("hyphen, no parentheses") << QByteArray("%%Title: groff-man.ps\n") << "groff-man.ps";
    QTest::newRow("one character") << QByteArray("%%Title: a\n") << "a";
    QTest::newRow("one character in parentheses") << QByteArray("%%Title: (a)\n") << "a";
    QTest::newRow("quotes kept") << QByteArray("%%Title: He said \"hi\"\n") << "He said \"hi\"";
    QTest::newRow("quotes kept in a string") << QByteArray("%%Title: (He said \"hi\")\n") << "He said \"hi\"";
    QTest::newRow("balanced parentheses") << QByteArray("%%Title: (Plan (v2) final)\n") << "Plan (v2) final";
    QTest::newRow("escaped parentheses") << QByteArray("%%Title: (a \\) b \\( c)\n") << "a ) b ( c";
    QTest::newRow("escaped backslash") << QByteArray("%%Title: (C:\\\\jobs)\n") << "C:\\jobs";
    QTest::newRow("octal UTF-8 bytes") << QByteArray("%%Title: (Caf\\303\\251 \\342\\202\\254)\n")
                                       << QString::fromUtf8("Caf\xc3\xa9 \xe2\x82\xac");
    QTest::newRow("octal byte that is no UTF-8")
        << QByteArray("%%Title: (Caf\\351)\n") << QString::fromUtf8("Caf\xc3\xa9");
    QTest::newRow("short octal escapes") << QByteArray("%%Title: (\\61\\0622)\n") << "122";
    QTest::newRow("control escapes") << QByteArray("%%Title: (two\\nlines\\tand tab)\n")
                                     << "two\nlines\tand tab";
    QTest::newRow("UTF-8 as it stands")
        << QByteArray("%%Title: (Caf\xc3\xa9)\n") << QString::fromUtf8("Caf\xc3\xa9");
    QTest::newRow("string followed by words") << QByteArray("%%Title: (draft) notes\n") << "(draft) notes";
    QTest::newRow("string never closed") << QByteArray("%%Title: (open\n") << "(open";
    QTest::newRow("Windows line end") << QByteArray("%%Title: (Plate)\r\n%%X\r\n") << "Plate";
    QTest::newRow("no blank after the colon") << QByteArray("%%Title:(Plate)\n") << "Plate";
    QTest::newRow("at the end of the file, no line end") << QByteArray("%!PS\n%%Title: last") << "last";
    QTest::newRow("empty") << QByteArray("%%Title: \n") << "";
    QTest::newRow("empty string") << QByteArray("%%Title: ()\n") << "";
    QTest::newRow("embedded document's title is not the job's")
        << QByteArray("%!PS\n%%BeginDocument: logo.eps\n%%Title: (Logo)\n%%EndDocument\n%%Title: (Sign)\n")
        << "Sign";
}

void tst_PsOptionParser::titles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, title);
    Options settings;
    QCOMPARE(parse(content, &settings), QStringList());
    QCOMPARE(settings.value("Title"), title);
    QCOMPARE(settings.contains("Title"), !title.isEmpty());
    // The options file carries the same title.
    QFile file(m_options + QStringLiteral("/job.xml"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString written;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("Title"))
            written = xml.readElementText();
        else if (xml.name() != QLatin1String("InitialSettings"))
            xml.skipCurrentElement();
    }
    QCOMPARE(written, title);
}

// The print system writes the job's name as the title of a document that has
// none, with its own escapes.
void tst_PsOptionParser::titleWrittenByThePrintSystem()
{
    const QString cupsfilter
        = QStandardPaths::findExecutable(QStringLiteral("cupsfilter"), { QStringLiteral("/usr/sbin") });
    const QString ppd = QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");
    if (cupsfilter.isEmpty())
        QSKIP("cupsfilter is not available");
    const QString input = m_tmp->path() + QStringLiteral("/untitled.ps");
    QVERIFY(writeFile(input,
        "%!PS-Adobe-3.0\n%%Pages: 2\n%%EndComments\n%%Page: 1 1\nshowpage\n%%Page: 2 2\nshowpage\n%%EOF\n"));
    const QString name = QString::fromUtf8("Caf\xc3\xa9 (draft) \"hi\" \\ \xe2\x82\xac-x");
    QProcess filter;
    filter.start(cupsfilter, { "-p", ppd, "-m", "application/vnd.cups-postscript", "-t", name, input });
    QVERIFY(filter.waitForFinished(60000));
    QCOMPARE(filter.exitCode(), 0);
    const QByteArray job = filter.readAllStandardOutput();
    // Written with octal escapes, not as it stands.
    QVERIFY2(job.contains("%%Title: (Caf\\303\\251"), job.left(400).constData());
    Options settings;
    QCOMPARE(parse(job, &settings), QStringList());
    QCOMPARE(settings.value("Title"), name);
    QCOMPARE(settings.value("PageCount"), QStringLiteral("2"));
}

void tst_PsOptionParser::pageCount_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("pages"); // empty: unknown

    QTest::newRow("given in the header")
        << QByteArray("%!PS\n%%Pages: 3\n%%EndComments\n%%Page: 1 1\n") << "3";
    QTest::newRow("with a page order") << QByteArray("%%Pages: 4 1\n") << "4";
    QTest::newRow("deferred to the trailer")
        << QByteArray("%%Pages: (atend)\n%%Page: 1 1\n%%Page: 2 2\n%%Trailer\n%%Pages: 6\n%%EOF\n") << "6";
    QTest::newRow("deferred and never given: counted")
        << QByteArray("%%Pages: (atend)\n%%Page: 1 1\n%%Page: 2 2\n%%EOF\n") << "2";
    QTest::newRow("no page total: counted") << QByteArray("%%Page: a 1\n%%Page: b 2\n%%Page: c 3\n") << "3";
    QTest::newRow("pages of an embedded document are not the job's") << QByteArray(
        "%%Page: 1 1\n%%BeginDocument: f.eps\n%%Pages: 5\n%%Page: 1 1\n%%Page: 2 2\n"
        "%%EndDocument\n%%Page: 2 2\n%%EOF\n") << "2";
    QTest::newRow("page bounding boxes are not pages")
        << QByteArray("%%Page: 1 1\n%%PageBoundingBox: 0 0 1 1\n%%PageTrailer\n") << "1";
    QTest::newRow("no page comments") << QByteArray("%!PS\nshowpage\n") << "";
}

void tst_PsOptionParser::pageCount()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, pages);
    Options settings;
    QCOMPARE(parse(content, &settings), QStringList());
    QCOMPARE(settings.value("PageCount"), pages);
    QCOMPARE(settings.contains("PageCount"), !pages.isEmpty());
    if (!pages.isEmpty()) {
        const QByteArray file = readFile(m_options + QStringLiteral("/job.xml"));
        QVERIFY2(file.contains("<PageCount>" + pages.toLatin1() + "</PageCount>"), file.constData());
    }
}

// Features of the job never replace the keys the application sets itself.
void tst_PsOptionParser::featuresNamedLikeTheApplicationsKeys()
{
    Options settings;
    const QStringList errors = parse("%!PS\n%%Title: (Sign)\n%%BoundingBox: 1 2 3 4\n"
                                     "%%BeginFeature: *PostScriptFile other\n%%EndFeature\n"
                                     "%%BeginFeature: *Title Feature\n%%EndFeature\n"
                                     "%%BeginFeature: *PageCount 9\n%%EndFeature\n"
                                     "%%BeginFeature: *BoundingBox Feature\n%%EndFeature\n"
                                     "%%BeginFeature: *JobSettings x\n%%EndFeature\n"
                                     "%%BeginFeature: *cResolution 300\n%%EndFeature\n"
                                     "%%Page: 1 1\n",
        &settings);
    QCOMPARE(errors.size(), 5);
    for (const char *key : { "PostScriptFile", "Title", "PageCount", "BoundingBox", "JobSettings" }) {
        QVERIFY2(errors.filter(QStringLiteral("\"%1\"").arg(QLatin1String(key))).size() == 1,
            qPrintable(errors.join('\n')));
    }
    const Options expected = { { "PostScriptFile", m_spool + QStringLiteral("/job.txt") },
        { "Title", "Sign" }, { "BoundingBox", "1 2 3 4" }, { "PageCount", "1" }, { "cResolution", "300" } };
    QCOMPARE(settings, expected);
    const QByteArray file = readFile(m_options + QStringLiteral("/job.xml"));
    QCOMPARE(file.count("<PostScriptFile>"), 1);
    QVERIFY(!file.contains("<JobSettings>"));
}

// The settings carry the values the job is made with; the options file keeps
// what the job asked for, so that the option processor can report the change.
void tst_PsOptionParser::valuesOutsideTheRanges()
{
    Options settings;
    QCOMPARE(parse("%%BeginFeature: *CustomcResolution True\n99999\n%%EndFeature\n"
                   "%%BeginFeature: *CustomrasterPower True\n150\n%%EndFeature\n"
                   "%%BeginFeature: *CustomvectorSpeed True\nabc\n%%EndFeature\n"
                   "%%BeginFeature: *CustomvectorFreq True\n0\n%%EndFeature\n"
                   "%%BeginFeature: *CustommaterialThickness True\n3.174999952316\n%%EndFeature\n"
                   "%%BeginFeature: *rasterSpeed 25\n%%EndFeature\n",
                 &settings),
        QStringList());
    QCOMPARE(settings.value("CustomcResolution"), QStringLiteral("1200"));
    QCOMPARE(settings.value("CustomrasterPower"), QStringLiteral("100"));
    QCOMPARE(settings.value("CustomvectorSpeed"), QStringLiteral("50"));
    QCOMPARE(settings.value("CustomvectorFreq"), QStringLiteral("1"));
    QCOMPARE(settings.value("CustommaterialThickness"), QStringLiteral("3.174999952316"));
    QCOMPARE(settings.value("rasterSpeed"), QStringLiteral("25"));
    const QByteArray file = readFile(m_options + QStringLiteral("/job.xml"));
    QVERIFY2(file.contains("<CustomcResolution>99999</CustomcResolution>"), file.constData());
    QVERIFY2(file.contains("<CustomvectorSpeed>abc</CustomvectorSpeed>"), file.constData());
}

void tst_PsOptionParser::optionsFileBytes()
{
    const QByteArray content = "%!PS-Adobe-3.0\n"
                               "%%Title: (Tom & Jerry.ps)\n"
                               "%%BoundingBox: 0 0 200 100\n"
                               "%%BeginFeature: *vectorSort none\n%%EndFeature\n"
                               "%%BeginFeature: *JobType combo\n%%EndFeature\n"
                               "%%BeginFeature: *CustomrasterPower True\n80\n%%EndFeature\n";
    // The writer escapes the ampersand.
    Options settings;
    QCOMPARE(parse(content, &settings, QStringLiteral("Tue Dec 8 01:04:34 2026.txt")), QStringList());

    const QByteArray expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<InitialSettings>\n"
                                "    <PostScriptFile>"
        + m_spool.toUtf8()
        + "/Tue Dec 8 01:04:34 2026.txt</PostScriptFile>\n"
          "    <BoundingBox>0 0 200 100</BoundingBox>\n"
          "    <CustomrasterPower>80</CustomrasterPower>\n"
          "    <JobType>combo</JobType>\n"
          "    <Title>Tom &amp; Jerry.ps</Title>\n"
          "    <vectorSort>none</vectorSort>\n"
          "</InitialSettings>\n";
    QCOMPARE(readFile(m_options + QStringLiteral("/Tue Dec 8 01:04:34 2026.xml")), expected);

    // Text is escaped by the writer.
    QCOMPARE(parse("%%Title: (<Sign>)\n%%X\n", &settings), QStringList());
    const QByteArray escaped = readFile(m_options + QStringLiteral("/job.xml"));
    QVERIFY2(escaped.contains("    <Title>&lt;Sign&gt;</Title>\n"), escaped.constData());
    QCOMPARE(settings.value("Title"), QStringLiteral("<Sign>"));
}

void tst_PsOptionParser::doneSignalsPathFirst()
{
    const QString path = m_spool + QStringLiteral("/order.txt");
    QVERIFY(writeFile(path, "%%BeginFeature: *JobType raster\n%%EndFeature\n"));
    psOptionParser parser { QDir(m_options) };
    QStringList order;
    QString xmlPath;
    connect(&parser, qOverload<QString>(&psOptionParser::done), this, [&](const QString &p) {
        order << QStringLiteral("path");
        xmlPath = p;
        // The file is complete when its path is announced.
        QVERIFY(readFile(p).endsWith("</InitialSettings>\n"));
    });
    connect(&parser, qOverload<vexlorSettings>(&psOptionParser::done), this,
        [&](const vexlorSettings &) { order << QStringLiteral("settings"); });
    parser.name2Parse(path);
    QCOMPARE(order, (QStringList { "path", "settings" }));
    QCOMPARE(xmlPath, m_options + QStringLiteral("/order.xml"));
}

void tst_PsOptionParser::optionsFileNamedAfterSpoolFile_data()
{
    QTest::addColumn<QString>("spoolName");
    QTest::addColumn<QString>("optionsName");
    QTest::newRow("stamp") << "Tue Dec 8 01:04:34 2026.txt"
                           << "Tue Dec 8 01:04:34 2026.xml";
    QTest::newRow("stamp with counter") << "Tue Dec 8 01:04:34 2026-2.txt"
                                        << "Tue Dec 8 01:04:34 2026-2.xml";
    QTest::newRow("several dots") << "a.b.c.txt"
                                  << "a.b.c.xml";
    QTest::newRow("no suffix") << "plain"
                               << "plain.xml";
}

void tst_PsOptionParser::optionsFileNamedAfterSpoolFile()
{
    QFETCH(QString, spoolName);
    QFETCH(QString, optionsName);
    Options settings;
    QCOMPARE(parse("%%BoundingBox: 0 0 1 1\n", &settings, spoolName), QStringList());
    QVERIFY(QFile::exists(m_options + QLatin1Char('/') + optionsName));
    QCOMPARE(settings.value("PostScriptFile"), m_spool + QLatin1Char('/') + spoolName);
}

void tst_PsOptionParser::cupsfilterOutput()
{
    const Options expected = {
        { "PostScriptFile", m_spool + QStringLiteral("/job.txt") },
        { "Title", "My Sign" },
        { "BoundingBox", "0 0 200 100" },
        { "JobType", "vector" },
        { "CustomcResolution", "1200" },
        { "dithering", "floyd" },
        { "CustomrasterSpeed", "37" },
        { "vectorPowerComp", "enabled" },
        { "CustommaterialThickness", "3.174999952316" },
        { "PageCount", "1" },
    };
    Options settings;
    QCOMPARE(parse(QByteArray(kCupsJob, sizeof(kCupsJob) - 1), &settings), QStringList());
    QCOMPARE(settings, expected);

    // The same through the real filter when it and the queue's PPD are here.
    const QString ppd = QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");
    QString cupsfilter = QStandardPaths::findExecutable(QStringLiteral("cupsfilter"));
    if (cupsfilter.isEmpty())
        cupsfilter
            = QStandardPaths::findExecutable(QStringLiteral("cupsfilter"), { QStringLiteral("/usr/sbin") });
    if (cupsfilter.isEmpty() || !QFile::exists(ppd))
        QSKIP("cupsfilter or the queue's PPD is not available");

    const QString input = m_tmp->path() + QStringLiteral("/in.ps");
    QVERIFY(writeFile(input,
        "%!PS-Adobe-3.0\n%%Title: (My Sign)\n%%BoundingBox: 0 0 200 100\n%%Pages: 1\n"
        "%%EndComments\n%%BeginProlog\n%%EndProlog\n%%Page: 1 1\n"
        "newpath 10 10 moveto 100 50 lineto stroke\nshowpage\n%%EOF\n"));
    QProcess filter;
    filter.start(cupsfilter,
        { "-p", ppd, "-m", "application/vnd.cups-postscript", "-o", "JobType=vector", "-o",
            "rasterSpeed=Custom.37", "-o", "materialThickness=Custom.3.175", "-o", "dithering=floyd", "-o",
            "cResolution=Custom.1200", input });
    QVERIFY(filter.waitForFinished(60000));
    if (filter.exitCode() != 0)
        QSKIP(qPrintable(
            QStringLiteral("cupsfilter failed: ") + QString::fromLocal8Bit(filter.readAllStandardError())));
    const QByteArray job = filter.readAllStandardOutput();
    QVERIFY(job.endsWith("%%EOF\n\x04"));
    QCOMPARE(parse(job, &settings), QStringList());
    // The real filter also writes the options left at their defaults.
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        QCOMPARE(settings.value(it.key()), it.value());
    QVERIFY(!settings.contains("PageSize"));
}

void tst_PsOptionParser::piecewiseScanAgreesWithWholeText_data()
{
    QTest::addColumn<int>("seed");
    QTest::addColumn<int>("blockSize");
    for (int seed = 1; seed <= 12; ++seed) {
        for (int blockSize : { 1, 2, 5, 7, 13, 64, 4096 })
            QTest::addRow("seed %d, blocks of %d", seed, blockSize) << seed << blockSize;
    }
}

// Documents made of comment lines of every kind (good, broken, split over
// lines, repeated) and body lines, cut into pieces of every size: the
// options found must be those of one search over the whole text.
void tst_PsOptionParser::piecewiseScanAgreesWithWholeText()
{
    QFETCH(int, seed);
    QFETCH(int, blockSize);
    const char *lines[] = {
        "%%Title: (Sign A)\n",
        "%%Title: plain title\n",
        "%%Title: broken-title\n",
        "%%Title: x\n\n\n",
        "%%Title: ",
        "%%BoundingBox: (atend)\n",
        "%%BoundingBox: 0 0 612 792\n",
        "%%BoundingBox: 12 34 56 78\n",
        "%%BoundingBox: 1 2 3\n",
        "%%BeginFeature: *JobType vector\n%%EndFeature\n",
        "%%BeginFeature: *JobType raster\n%%EndFeature\n",
        "%%BeginFeature: *CustomrasterSpeed True\n37\n%%EndFeature\n",
        "%%BeginFeature: *CustommaterialThickness True\n3.25\n%%EndFeature\n",
        "%%BeginFeature: *PageSize A4\n<</PageSize[595 842]>>setpagedevice\n%%EndFeature\n",
        "%%BeginFeature: *Title FromFeature\n%%EndFeature\n",
        "%%BeginFeature: *",
        "%%EndFeature\n",
        "newpath 0 0 moveto 100 100 lineto stroke\n",
        "0F1E2D3C4B5A69788796A5B4C3D2E1F0\n",
        "%%EOF\n",
        "\n",
        "   \t \n",
        "%%Trailer\n",
        "%%Pages: (atend)\n",
        "%%Pages: 3\n",
        "%%Page: 1 1\n",
        "%%BeginDocument: figure.eps\n",
        "%%EndDocument\n",
        "%%Title: (nested (parentheses\\) and \\303\\251scapes)\n",
        "( words and . dots )\n",
        "%%Title: (Caf\xc3\xa9 \xf0\x9f\x98\x80)\n",
        "\xf0\x9f\x98\x80\xf0\x9f\x98\x80 \xc3\xa9\n",
        // line ends of other systems, values on lines of their own or not
        "%%BeginFeature: *JobType combo\r\n%%EndFeature\r\n",
        "%%BeginFeature: *CustomvectorSpeed True\r\n42\r\n%%EndFeature\r\n",
        "%%BeginFeature: *CustomvectorPower True\r42\r%%EndFeature\r",
        "%%BeginFeature: *rasterPower 40\n\n%%EndFeature\n",
        "%%BeginFeature: *vectorFreq 10\nnot a value\n%%EndFeature\n",
        "%%BeginFeature: *autoFocus enabled\n",
        "%%BeginFeature: *Custom",
        "4.5\n",
        "\r",
        "EndFeature\n",
        "%%",
        // comments inside a line, and binary data with and without a '%'
        "x %%BoundingBox: 5 6 7 8\n",
        "\x89PNG\r\n\x1a\n%\xff\xfe%%\x80\n",
        "\xff\xd8\xff\xe0\x10JFIF\x01\xc3",
        "A0B1C2D3E4F5A0B1C2D3E4F5A0B1C2D3E4F5A0B1C2D3E4F5A0B1C2D3E4F5A0B1C2D3E4F5\n",
    };
    const int count = int(sizeof(lines) / sizeof(lines[0]));
    QRandomGenerator random { quint32(seed) };
    QByteArray content;
    const int n = 40 + random.bounded(80);
    for (int i = 0; i < n; ++i)
        content += lines[random.bounded(count)];

    // The file is read as text: carriage returns are dropped, so that a job
    // with the line ends of other systems reads as one with line feeds.
    Options expected = wholeTextScan(QString::fromUtf8(QByteArray(content).replace('\r', QByteArray())));
    expected.insert(QStringLiteral("PostScriptFile"), m_spool + QStringLiteral("/job.txt"));

    const QString path = m_spool + QStringLiteral("/job.txt");
    QVERIFY(writeFile(path, content));
    auto parseInBlocks = [&](int size) {
        psOptionParser parser { QDir(m_options) };
        parser.setBlockSize(size);
        Options settings;
        connect(&parser, qOverload<vexlorSettings>(&psOptionParser::done), this,
            [&settings](const vexlorSettings &s) { settings = s.settings; });
        parser.name2Parse(path);
        return settings;
    };
    Options settings = parseInBlocks(blockSize);
    // Title and page count are read line by line: the same in any blocks as
    // in one.
    const Options whole = parseInBlocks(1 << 24);
    for (const char *key : { "Title", "PageCount" }) {
        QCOMPARE(settings.value(key), whole.value(key));
        settings.remove(key);
    }
    QCOMPARE(settings.keys(), expected.keys());
    QCOMPARE(settings.values(), expected.values());
}

// An element name that is no XML name, or a character XML does not allow,
// would make the whole options file unreadable for the option processor.
void tst_PsOptionParser::unusableKeysAndCharactersKeepTheFileReadable()
{
    Options settings;
    const QStringList errors = parse("%%Title: \x01Sign\x02\n%%X\n"
                                     "%%BeginFeature: *3D yes\n%%EndFeature\n"
                                     "%%BeginFeature: * \n%%EndFeature\n"
                                     "%%BeginFeature: *dithering floyd\n%%EndFeature\n",
        &settings);
    QCOMPARE(errors.size(), 2);
    QVERIFY2(errors.at(0).contains(QLatin1String("\"\"")), qPrintable(errors.at(0)));
    QVERIFY2(errors.at(1).contains(QLatin1String("\"3D\"")), qPrintable(errors.at(1)));
    const QString title = QString(QChar(QChar::ReplacementCharacter)) + QStringLiteral("Sign")
        + QChar(QChar::ReplacementCharacter);
    QCOMPARE(settings.value("Title"), title);
    QVERIFY(!settings.contains("3D"));
    QCOMPARE(settings.value("dithering"), QStringLiteral("floyd"));

    QFile file(m_options + QStringLiteral("/job.xml"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    Options read;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("InitialSettings"))
            continue;
        const QString name = xml.name().toString();
        read.insert(name, xml.readElementText());
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(read, settings);
}

void tst_PsOptionParser::missingSpoolFile()
{
    psOptionParser parser { QDir(m_options) };
    QSignalSpy errors(&parser, &psOptionParser::error);
    QSignalSpy done(&parser, qOverload<QString>(&psOptionParser::done));
    const QString path = m_spool + QStringLiteral("/missing.txt");
    parser.name2Parse(path);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(
        errors.at(0).at(0).toString(), QStringLiteral("The file could not be opened in name2Parse: ") + path);
    QCOMPARE(done.count(), 0);
    QVERIFY(!QFile::exists(m_options + QStringLiteral("/missing.xml")));
}

void tst_PsOptionParser::refusesUnsafeOptionsFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("open to others") << "open";
    QTest::newRow("symbolic link") << "link";
    QTest::newRow("another owner") << "owner";
}

void tst_PsOptionParser::refusesUnsafeOptionsFolder()
{
    QFETCH(QString, kind);
    QString folder = m_tmp->path() + QStringLiteral("/unsafe");
    if (kind == "open") {
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    } else if (kind == "link") {
        QVERIFY(QFile::link(m_options, folder));
    } else {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
    }

    const QString path = m_spool + QStringLiteral("/job.txt");
    QVERIFY(writeFile(path, "%%BeginFeature: *JobType raster\n%%EndFeature\n"));
    psOptionParser parser(QDir { folder });
    QSignalSpy errors(&parser, &psOptionParser::error);
    QSignalSpy done(&parser, qOverload<QString>(&psOptionParser::done));
    parser.name2Parse(path);
    QCOMPARE(done.count(), 0);
    QCOMPARE(errors.count(), 1);
    const QString text = errors.at(0).at(0).toString();
    QVERIFY2(text.contains(folder), qPrintable(text));
    QVERIFY2(text.startsWith(QStringLiteral("Refusing to write the options file")), qPrintable(text));
    QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
    QVERIFY(QDir(m_options).entryList(QDir::Files).isEmpty());
}

void tst_PsOptionParser::optionsFileIsPrivate()
{
    Options settings;
    QCOMPARE(parse("%%BeginFeature: *JobType raster\n%%EndFeature\n", &settings), QStringList());
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(m_options + QStringLiteral("/job.xml")).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);

    // A symbolic link planted under the options file's name is not followed.
    const QString target = m_tmp->path() + QStringLiteral("/target");
    QVERIFY(writeFile(target, "keep"));
    QVERIFY(QFile::link(target, m_options + QStringLiteral("/linked.xml")));
    const QStringList errors
        = parse("%%BeginFeature: *JobType raster\n%%EndFeature\n", &settings, QStringLiteral("linked.txt"));
    QCOMPARE(
        errors, QStringList { QStringLiteral("Problem opening option file: ") + m_options + "/linked.xml" });
    QVERIFY(settings.isEmpty());
    QCOMPARE(readFile(target), QByteArray("keep"));
}

void tst_PsOptionParser::writeFailureIsReported()
{
    // A file size limit stands in for a full disk.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 64;
    QByteArray content = "%%Title: (A title long enough to take the options file over the limit)\n%%X\n";
    const QString path = m_spool + QStringLiteral("/job.txt");
    QVERIFY(writeFile(path, content));

    psOptionParser parser { QDir(m_options) };
    QSignalSpy errors(&parser, &psOptionParser::error);
    QSignalSpy done(&parser, qOverload<QString>(&psOptionParser::done));
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    parser.name2Parse(path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    QCOMPARE(done.count(), 0);
    QCOMPARE(errors.count(), 1);
    const QString text = errors.at(0).at(0).toString();
    QVERIFY2(text.startsWith(QStringLiteral("Could not write the option file ") + m_options + "/job.xml"),
        qPrintable(text));
    QVERIFY(!QFile::exists(m_options + QStringLiteral("/job.xml")));
}

QTEST_GUILESS_MAIN(tst_PsOptionParser)
#include "tst_psoptionparser.moc"
