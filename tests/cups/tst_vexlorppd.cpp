// The engraver queue's PPD: it must pass cupstestppd, offer every option key of
// the job settings with the choices, defaults and custom parameters the print
// dialog panel looks up, and make Debian's PostScript filter write each option
// as a feature block that the application's "Option" pattern reads back.

#include "optionlimits.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>
#pragma GCC diagnostic pop

#include <memory>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

const QString ppdPath = QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");

// The option parser's pattern for feature blocks, character for character.
const QString optionPattern
    = QStringLiteral(R"(%%BeginFeature: \*(\w*) (\w*)\s{1}([.\w]*){0,1}\s{0,1}%%EndFeature)");

struct ppdCloser
{
    void operator()(ppd_file_t *ppd) const { ppdClose(ppd); }
};
using ppdHandle = std::unique_ptr<ppd_file_t, ppdCloser>;

// Key -> value as the parser stores a match: capture 1 -> last non-empty capture.
QMap<QString, QString> readFeatures(const QString &job)
{
    QMap<QString, QString> found;
    const QRegularExpression re(optionPattern);
    auto it = re.globalMatch(job);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        QString last;
        for (int i = 1; i <= re.captureCount(); ++i) {
            if (!m.captured(i).isEmpty())
                last = m.captured(i);
        }
        found.insert(m.captured(1), last);
    }
    return found;
}

} // namespace

class tst_vexlorppd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passesCupstestppd();
    void buildTreeCopy();
    void pageSize();
    void options_data();
    void options();
    void customParameters_data();
    void customParameters();
    void featureBlocks_data();
    void featureBlocks();
    void defaultsInEveryJob();

private:
    QString filterJob(const QStringList &options);

    QTemporaryDir m_dir;
    QString m_input;
};

void tst_vexlorppd::initTestCase()
{
    QVERIFY(QFile::exists(ppdPath));
    QVERIFY(m_dir.isValid());
    m_input = m_dir.filePath("job.ps");
    QFile f(m_input);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("%!PS-Adobe-3.0\n%%Title: (Feature Test)\n%%BoundingBox: 0 0 144 72\n%%Pages: 1\n%%EndComments\n"
            "%%Page: 1 1\nnewpath 10 10 moveto 100 50 lineto stroke\nshowpage\n%%EOF\n");
}

void tst_vexlorppd::passesCupstestppd()
{
    const QString tool = QStandardPaths::findExecutable("cupstestppd");
    if (tool.isEmpty())
        QSKIP("cupstestppd is not installed (package cups-client)");
    QProcess p;
    p.start(tool, { ppdPath });
    QVERIFY(p.waitForFinished(30000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, qPrintable(out));
    QVERIFY2(out.startsWith(ppdPath + ": PASS"), qPrintable(out));
    QVERIFY2(!out.contains("FAIL"), qPrintable(out));
    // Only the warnings that the fixed option keys bring (vectorSpeed is a prefix
    // of vectorSpeedComp, vectorPower of vectorPowerComp) are allowed.
    const QStringList allowed = { "WARN    vectorSpeed shares a common prefix with vectorSpeedComp",
        "WARN    vectorPower shares a common prefix with vectorPowerComp" };
    for (const QString &line : out.split('\n')) {
        const QString l = line.trimmed();
        if (l.startsWith("WARN"))
            QVERIFY2(allowed.contains(l), qPrintable(l));
    }
}

void tst_vexlorppd::buildTreeCopy()
{
    QFile source(ppdPath);
    QFile copy(QStringLiteral(VEXLOR_BINARY_DIR "/share/vexlor.ppd"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QVERIFY2(copy.open(QIODevice::ReadOnly), qPrintable(copy.fileName()));
    QCOMPARE(copy.readAll(), source.readAll());
}

void tst_vexlorppd::pageSize()
{
    ppdHandle ppd(ppdOpenFile(qPrintable(ppdPath)));
    QVERIFY(ppd);
    ppdMarkDefaults(ppd.get());
    // The table is the default page.
    ppd_size_t *size = ppdPageSize(ppd.get(), nullptr);
    QVERIFY(size);
    QCOMPARE(QString::fromLatin1(size->name), QStringLiteral("28x40Rotated.Fullbleed"));
    QCOMPARE(size->width, 2880.0f);
    QCOMPARE(size->length, 2016.0f);
    QCOMPARE(ppd->language_level, 3);

    // The usual sizes, portrait and landscape, and engraving sizes up to the
    // table; every one engraveable to its edges.
    const QMap<QString, QSizeF> sizes = {
        { "28x40Rotated.Fullbleed", { 2880, 2016 } },
        { "Letter.Fullbleed", { 612, 792 } },
        { "LetterRotated.Fullbleed", { 792, 612 } },
        { "Legal.Fullbleed", { 612, 1008 } },
        { "LegalRotated.Fullbleed", { 1008, 612 } },
        { "Tabloid.Fullbleed", { 792, 1224 } },
        { "TabloidRotated.Fullbleed", { 1224, 792 } },
        { "A4.Fullbleed", { 595, 842 } },
        { "A4Rotated.Fullbleed", { 842, 595 } },
        { "A3.Fullbleed", { 842, 1191 } },
        { "A3Rotated.Fullbleed", { 1191, 842 } },
        { "4x4.Fullbleed", { 288, 288 } },
        { "4x8Rotated.Fullbleed", { 576, 288 } },
        { "12x12.Fullbleed", { 864, 864 } },
        { "12x24Rotated.Fullbleed", { 1728, 864 } },
        { "18x18.Fullbleed", { 1296, 1296 } },
        { "ARCHCRotated.Fullbleed", { 1728, 1296 } },
        { "ARCHDRotated.Fullbleed", { 2592, 1728 } },
    };
    QMap<QString, QSizeF> found;
    for (int i = 0; i < ppd->num_sizes; ++i) {
        const ppd_size_t &s = ppd->sizes[i];
        if (QLatin1String(s.name) == QLatin1String("Custom"))
            continue;
        found.insert(QString::fromLatin1(s.name), QSizeF(s.width, s.length));
        QCOMPARE(s.left, 0.0f);
        QCOMPARE(s.bottom, 0.0f);
        QCOMPARE(s.right, s.width);
        QCOMPARE(s.top, s.length);
        QVERIFY2((s.width <= 2880 && s.length <= 2016) || (s.width <= 2016 && s.length <= 2880), s.name);
    }
    QCOMPARE(found, sizes);

    // Custom sizes up to the table, no margins.
    QVERIFY(ppd->variable_sizes);
    QCOMPARE(ppd->custom_max[0], 2880.0f);
    QCOMPARE(ppd->custom_max[1], 2016.0f);
    for (float margin : ppd->custom_margins)
        QCOMPARE(margin, 0.0f);
    ppd_size_t *custom = ppdPageSize(ppd.get(), "Custom.720x360");
    QVERIFY(custom);
    QCOMPARE(custom->width, 720.0f);
    QCOMPARE(custom->length, 360.0f);
}

void tst_vexlorppd::options_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("defaultChoice");
    QTest::addColumn<QStringList>("choices");

    const QStringList onOff = { "enabled", "disabled" };
    QTest::newRow("JobType") << "JobType"
                             << "combo" << QStringList { "combo", "vector", "raster" };
    QTest::newRow("CenterEngraving") << "CenterEngraving"
                                     << "none" << QStringList { "none", "left", "top", "center", "page" };
    QTest::newRow("EngravingDirection") << "EngravingDirection"
                                        << "top" << QStringList { "top", "bottom" };
    QTest::newRow("dithering") << "dithering"
                               << "standard"
                               << QStringList { "standard", "brighten", "lowres", "floyd", "jarvis",
                                      "stucki" };
    QTest::newRow("vectorSort") << "vectorSort"
                                << "none" << QStringList { "none", "inner", "nearest" };
    QTest::newRow("autoFocus") << "autoFocus"
                               << "disabled" << onOff;
    QTest::newRow("vectorGrid") << "vectorGrid"
                                << "disabled" << onOff;
    QTest::newRow("directPrint") << "directPrint"
                                 << "disabled" << onOff;
    QTest::newRow("vectorSpeedComp") << "vectorSpeedComp"
                                     << "disabled" << onOff;
    QTest::newRow("vectorPowerComp") << "vectorPowerComp"
                                     << "enabled" << onOff;
    QTest::newRow("cResolution") << "cResolution"
                                 << "600"
                                 << QStringList { "75", "150", "200", "300", "400", "600", "1200", "Custom" };
    const QStringList percent = { "10", "25", "50", "75", "100", "Custom" };
    QTest::newRow("rasterSpeed") << "rasterSpeed"
                                 << "50" << percent;
    QTest::newRow("rasterPower") << "rasterPower"
                                 << "50" << percent;
    QTest::newRow("vectorSpeed") << "vectorSpeed"
                                 << "50" << percent;
    QTest::newRow("vectorPower") << "vectorPower"
                                 << "50" << percent;
    QTest::newRow("vectorFreq") << "vectorFreq"
                                << "50" << percent;
    QTest::newRow("materialThickness") << "materialThickness"
                                       << "0" << QStringList { "0", "Custom" };
}

void tst_vexlorppd::options()
{
    QFETCH(QString, key);
    QFETCH(QString, defaultChoice);
    QFETCH(QStringList, choices);

    ppdHandle ppd(ppdOpenFile(qPrintable(ppdPath)));
    QVERIFY(ppd);
    ppd_option_t *option = ppdFindOption(ppd.get(), qPrintable(key));
    QVERIFY(option);
    QCOMPARE(QString::fromLatin1(option->keyword), key);
    QCOMPARE(option->ui, PPD_UI_PICKONE);
    QCOMPARE(QString::fromLatin1(option->defchoice), defaultChoice);
    QStringList found;
    for (int i = 0; i < option->num_choices; ++i) {
        found << QString::fromLatin1(option->choices[i].choice);
        // Empty code: the job gets the bare feature comments and nothing else.
        if (qstrcmp(option->choices[i].choice, "Custom") != 0)
            QCOMPARE(QByteArray(option->choices[i].code), QByteArray());
        QVERIFY(qstrlen(option->choices[i].text) > 0);
    }
    QCOMPARE(found, choices);
    QVERIFY(ppdFindChoice(option, qPrintable(defaultChoice)));
}

void tst_vexlorppd::customParameters_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("parameter");
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");

    QTest::newRow("cResolution") << "cResolution"
                                 << "cRes" << int(PPD_CUSTOM_INT) << 75.0 << 1200.0;
    QTest::newRow("rasterSpeed") << "rasterSpeed"
                                 << "rSpeed" << int(PPD_CUSTOM_INT) << 1.0 << 100.0;
    QTest::newRow("rasterPower") << "rasterPower"
                                 << "rPower" << int(PPD_CUSTOM_INT) << 0.0 << 100.0;
    QTest::newRow("vectorSpeed") << "vectorSpeed"
                                 << "vSpeed" << int(PPD_CUSTOM_INT) << 1.0 << 100.0;
    QTest::newRow("vectorPower") << "vectorPower"
                                 << "vPower" << int(PPD_CUSTOM_INT) << 0.0 << 100.0;
    QTest::newRow("vectorFreq") << "vectorFreq"
                                << "vFreq" << int(PPD_CUSTOM_INT) << 1.0 << 100.0;
    QTest::newRow("materialThickness") << "materialThickness"
                                       << "mThickness" << int(PPD_CUSTOM_REAL) << 0.0 << 100.0;
}

void tst_vexlorppd::customParameters()
{
    QFETCH(QString, key);
    QFETCH(QString, parameter);
    QFETCH(int, type);
    QFETCH(double, minimum);
    QFETCH(double, maximum);

    ppdHandle ppd(ppdOpenFile(qPrintable(ppdPath)));
    QVERIFY(ppd);
    ppd_coption_t *custom = ppdFindCustomOption(ppd.get(), qPrintable(key));
    QVERIFY(custom);
    // One parameter only: the filter then writes the value alone on one line.
    QCOMPARE(cupsArrayCount(custom->params), 1);
    ppd_cparam_t *param = ppdFindCustomParam(custom, qPrintable(parameter));
    QVERIFY(param);
    QCOMPARE(int(param->type), type);
    if (type == PPD_CUSTOM_INT) {
        QCOMPARE(double(param->minimum.custom_int), minimum);
        QCOMPARE(double(param->maximum.custom_int), maximum);
    } else {
        QCOMPARE(double(param->minimum.custom_real), minimum);
        QCOMPARE(double(param->maximum.custom_real), maximum);
    }

    // The application checks job values against the same range, and puts the
    // queue's default in place of a value that is no number.
    const Vexlor::OptionRange *range = Vexlor::optionRange(QStringLiteral("Custom") + key);
    QVERIFY(range);
    QCOMPARE(range->minimum, minimum);
    QCOMPARE(range->maximum, maximum);
    QCOMPARE(range->integer, type == PPD_CUSTOM_INT);
    ppdMarkDefaults(ppd.get());
    ppd_choice_t *choice = ppdFindMarkedChoice(ppd.get(), qPrintable(key));
    QVERIFY(choice);
    QCOMPARE(QString::fromLatin1(range->fallback), QString::fromLatin1(choice->choice));
}

QString tst_vexlorppd::filterJob(const QStringList &options)
{
    const QString tool = QStandardPaths::findExecutable("cupsfilter", { "/usr/sbin", "/usr/bin" });
    if (tool.isEmpty())
        return QString();
    QStringList args = { "-p", ppdPath, "-m", "application/vnd.cups-postscript" };
    for (const QString &o : options)
        args << "-o" << o;
    args << m_input;
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        qWarning() << p.readAllStandardError();
        return QString();
    }
    return QString::fromLatin1(p.readAllStandardOutput());
}

void tst_vexlorppd::featureBlocks_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("absentKey");

    QTest::newRow("job type") << "JobType=vector"
                              << "JobType"
                              << "vector"
                              << "";
    QTest::newRow("centre") << "CenterEngraving=page"
                            << "CenterEngraving"
                            << "page"
                            << "";
    QTest::newRow("direction") << "EngravingDirection=bottom"
                               << "EngravingDirection"
                               << "bottom"
                               << "";
    QTest::newRow("dithering") << "dithering=stucki"
                               << "dithering"
                               << "stucki"
                               << "";
    QTest::newRow("sorting") << "vectorSort=nearest"
                             << "vectorSort"
                             << "nearest"
                             << "";
    QTest::newRow("auto focus") << "autoFocus=enabled"
                                << "autoFocus"
                                << "enabled"
                                << "";
    QTest::newRow("vector grid") << "vectorGrid=enabled"
                                 << "vectorGrid"
                                 << "enabled"
                                 << "";
    QTest::newRow("direct print") << "directPrint=enabled"
                                  << "directPrint"
                                  << "enabled"
                                  << "";
    QTest::newRow("speed comp") << "vectorSpeedComp=enabled"
                                << "vectorSpeedComp"
                                << "enabled"
                                << "";
    QTest::newRow("power comp") << "vectorPowerComp=disabled"
                                << "vectorPowerComp"
                                << "disabled"
                                << "";
    QTest::newRow("resolution step") << "cResolution=1200"
                                     << "cResolution"
                                     << "1200"
                                     << "CustomcResolution";
    QTest::newRow("resolution custom") << "cResolution=Custom.250"
                                       << "CustomcResolution"
                                       << "250"
                                       << "cResolution";
    QTest::newRow("raster speed step") << "rasterSpeed=75"
                                       << "rasterSpeed"
                                       << "75"
                                       << "CustomrasterSpeed";
    QTest::newRow("raster speed") << "rasterSpeed=Custom.37"
                                  << "CustomrasterSpeed"
                                  << "37"
                                  << "rasterSpeed";
    QTest::newRow("raster power zero") << "rasterPower=Custom.0"
                                       << "CustomrasterPower"
                                       << "0"
                                       << "rasterPower";
    QTest::newRow("vector speed") << "vectorSpeed=Custom.100"
                                  << "CustomvectorSpeed"
                                  << "100"
                                  << "vectorSpeed";
    QTest::newRow("vector power") << "vectorPower=Custom.42"
                                  << "CustomvectorPower"
                                  << "42"
                                  << "vectorPower";
    QTest::newRow("vector freq") << "vectorFreq=Custom.5"
                                 << "CustomvectorFreq"
                                 << "5"
                                 << "vectorFreq";
    // A real parameter goes through a float: 3.175 comes out with its noise.
    QTest::newRow("thickness") << "materialThickness=Custom.3.175"
                               << "CustommaterialThickness"
                               << "3.174999952316"
                               << "materialThickness";
    QTest::newRow("thickness exact") << "materialThickness=Custom.0.25"
                                     << "CustommaterialThickness"
                                     << "0.25"
                                     << "materialThickness";
}

void tst_vexlorppd::featureBlocks()
{
    QFETCH(QString, option);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, absentKey);

    const QString job = filterJob({ option });
    if (job.isEmpty())
        QSKIP("cupsfilter is not available or failed (package cups)");
    const QMap<QString, QString> features = readFeatures(job);
    QCOMPARE(features.value(key), value);
    if (!absentKey.isEmpty())
        QVERIFY2(!features.contains(absentKey), qPrintable(absentKey));
    // The page size block carries PostScript and must not look like an option.
    QVERIFY(job.contains("%%BeginFeature: *PageSize"));
    QVERIFY(!features.contains("PageSize"));
}

void tst_vexlorppd::defaultsInEveryJob()
{
    const QString job = filterJob({});
    if (job.isEmpty())
        QSKIP("cupsfilter is not available or failed (package cups)");
    const QMap<QString, QString> expected = {
        { "JobType", "combo" },
        { "CenterEngraving", "none" },
        { "EngravingDirection", "top" },
        { "dithering", "standard" },
        { "vectorSort", "none" },
        { "autoFocus", "disabled" },
        { "vectorGrid", "disabled" },
        { "directPrint", "disabled" },
        { "vectorSpeedComp", "disabled" },
        { "vectorPowerComp", "enabled" },
        { "cResolution", "600" },
        { "rasterSpeed", "50" },
        { "rasterPower", "50" },
        { "vectorSpeed", "50" },
        { "vectorPower", "50" },
        { "vectorFreq", "50" },
        { "materialThickness", "0" },
    };
    QCOMPARE(readFeatures(job), expected);
}

QTEST_GUILESS_MAIN(tst_vexlorppd)
#include "tst_vexlorppd.moc"
