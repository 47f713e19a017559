// The Linux host of the panel: choices marked on the engraver PPD, refusals,
// the print-settings file, the panel driven as a user drives it, and the
// vexlor-options program without a window.

#include "vexlorcupshost.h"
#include "vexloroptionsdialog.h"
#include "vexlorpaneldriver.h"
#include "vexlorpde.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

QString ppdPath()
{
    return QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");
}

QString optionsProgram()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-options");
}

// The engraver PPD with extra lines before its font list.
QString writePPDWith(const QTemporaryDir &dir, const QString &name, const QString &extra)
{
    QFile in(ppdPath());
    if (!in.open(QIODevice::ReadOnly))
        return QString();
    QString text = QString::fromLatin1(in.readAll());
    text.replace(QStringLiteral("*DefaultFont:"), extra + QStringLiteral("\n*DefaultFont:"));
    const QString path = dir.filePath(name);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return QString();
    out.write(text.toLatin1());
    return path;
}

QString marked(VexlorCupsHost &host, const char *option)
{
    ppd_choice_t *choice = ppdFindMarkedChoice(host.ppdFile(), option);
    return choice ? QString::fromLatin1(choice->choice) : QString();
}

const char kConstraints[] = "*UIConstraints: *JobType raster *vectorSort inner\n"
                            "*UIConstraints: *vectorSort inner *JobType raster\n"
                            "*UIConstraints: *JobType vector *rasterSpeed Custom\n"
                            "*UIConstraints: *rasterSpeed Custom *JobType vector";

} // namespace

class tst_PdeCupsHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusals_data();
    void refusals();
    void conflicts();
    void acceptedOptions();
    void printSettingsFile();
    void driver_data();
    void driver();
    void conflictThroughThePanel();
    void summary();
    void program_data();
    void program();

private:
    QTemporaryDir m_config;
};

void tst_PdeCupsHost::initTestCase()
{
    QVERIFY(m_config.isValid());
    // Nothing of the user's own configuration, and no print server, is used.
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    qputenv("CUPS_SERVER", m_config.filePath("no-cups.sock").toLocal8Bit());
}

void tst_PdeCupsHost::refusals_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("markedAfter");

    QTest::newRow("choice") << "JobType"
                            << "vector" << QString() << "JobType"
                            << "vector";
    QTest::newRow("unknown choice") << "JobType"
                                    << "laser"
                                    << "laser is not a choice of JobType"
                                    << "JobType"
                                    << "combo";
    QTest::newRow("unknown option") << "focalLength"
                                    << "10"
                                    << "the PPD has no option focalLength"
                                    << "JobType"
                                    << "combo";
    QTest::newRow("custom choice") << "rasterSpeed"
                                   << "Custom" << QString() << "rasterSpeed"
                                   << "Custom";
    QTest::newRow("custom int") << "CustomrasterSpeed"
                                << "37" << QString() << "rasterSpeed"
                                << "Custom";
    QTest::newRow("custom int below") << "CustomrasterSpeed"
                                      << "0"
                                      << "0 is not a value of rasterSpeed"
                                      << "rasterSpeed"
                                      << "50";
    QTest::newRow("custom int above") << "CustomvectorPower"
                                      << "101"
                                      << "101 is not a value of vectorPower"
                                      << "vectorPower"
                                      << "50";
    QTest::newRow("custom int text") << "CustomrasterPower"
                                     << "lots"
                                     << "lots is not a value of rasterPower"
                                     << "rasterPower"
                                     << "50";
    QTest::newRow("custom int fraction") << "CustomvectorFreq"
                                         << "12.5"
                                         << "12.5 is not a value of vectorFreq"
                                         << "vectorFreq"
                                         << "50";
    QTest::newRow("custom resolution") << "CustomcResolution"
                                       << "500" << QString() << "cResolution"
                                       << "Custom";
    QTest::newRow("custom resolution above") << "CustomcResolution"
                                             << "2400"
                                             << "2400 is not a value of cResolution"
                                             << "cResolution"
                                             << "600";
    QTest::newRow("custom real") << "CustommaterialThickness"
                                 << "2.500000" << QString() << "materialThickness"
                                 << "Custom";
    QTest::newRow("custom real negative") << "CustommaterialThickness"
                                          << "-1"
                                          << "-1 is not a value of materialThickness"
                                          << "materialThickness"
                                          << "0";
    QTest::newRow("custom real nan") << "CustommaterialThickness"
                                     << "nan"
                                     << "nan is not a value of materialThickness"
                                     << "materialThickness"
                                     << "0";
}

void tst_PdeCupsHost::refusals()
{
    QFETCH(QString, key);
    QFETCH(QString, choice);
    QFETCH(QString, refusal);
    QFETCH(QString, option);
    QFETCH(QString, markedAfter);

    QString error;
    auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &error);
    QVERIFY2(host, qPrintable(error));
    QCOMPARE(host->willChangePPDOptionKeyValue(key, choice), refusal.isEmpty());
    if (!refusal.isEmpty())
        QVERIFY2(host->lastRefusal().startsWith(refusal), qPrintable(host->lastRefusal()));
    QCOMPARE(marked(*host, option.toLatin1().constData()), markedAfter);
}

void tst_PdeCupsHost::conflicts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    auto host
        = VexlorCupsHost::forPPDFile(writePPDWith(dir, "constrained.ppd", kConstraints), QString(), &error);
    QVERIFY2(host, qPrintable(error));

    QVERIFY(host->willChangePPDOptionKeyValue("vectorSort", "inner"));
    QVERIFY(!host->willChangePPDOptionKeyValue("JobType", "raster"));
    QVERIFY(host->lastRefusal().contains("conflicts"));
    QCOMPARE(marked(*host, "JobType"), QStringLiteral("combo"));
    QCOMPARE(ppdConflicts(host->ppdFile()), 0);

    // A custom value that conflicts goes back to the choice and value before it.
    QVERIFY(host->willChangePPDOptionKeyValue("rasterSpeed", "Custom"));
    QVERIFY(host->willChangePPDOptionKeyValue("CustomrasterSpeed", "37"));
    QVERIFY(!host->willChangePPDOptionKeyValue("JobType", "vector"));
    QVERIFY(host->willChangePPDOptionKeyValue("rasterSpeed", "75"));
    QVERIFY(host->willChangePPDOptionKeyValue("JobType", "vector"));
    QVERIFY(!host->willChangePPDOptionKeyValue("CustomrasterSpeed", "40"));
    QCOMPARE(marked(*host, "rasterSpeed"), QStringLiteral("75"));
    ppd_cparam_t *param = ppdFindCustomParam(ppdFindCustomOption(host->ppdFile(), "rasterSpeed"), "rSpeed");
    QVERIFY(param);
    QCOMPARE(param->current.custom_int, 37);
    QCOMPARE(ppdConflicts(host->ppdFile()), 0);
    QCOMPARE(host->acceptedOptions().value("rasterSpeed"), QStringLiteral("75"));
}

void tst_PdeCupsHost::acceptedOptions()
{
    QString error;
    auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &error);
    QVERIFY2(host, qPrintable(error));
    QVERIFY(host->acceptedOptions().isEmpty());
    QVERIFY(host->willChangePPDOptionKeyValue("JobType", "raster"));
    QVERIFY(host->willChangePPDOptionKeyValue("JobType", "vector"));
    QVERIFY(host->willChangePPDOptionKeyValue("rasterSpeed", "Custom"));
    QVERIFY(host->willChangePPDOptionKeyValue("CustomrasterSpeed", "37"));
    QVERIFY(host->willChangePPDOptionKeyValue("materialThickness", "Custom"));
    QVERIFY(host->willChangePPDOptionKeyValue("CustommaterialThickness", "3.175000"));
    QVERIFY(!host->willChangePPDOptionKeyValue("CustomvectorSpeed", "0"));
    QVERIFY(host->willChangePPDOptionKeyValue("autoFocus", "enabled"));

    const QMap<QString, QString> expected = { { "JobType", "vector" }, { "autoFocus", "enabled" },
        { "materialThickness", "Custom.3.175" }, { "rasterSpeed", "Custom.37" } };
    QCOMPARE(host->acceptedOptions(), expected);
    QCOMPARE(host->acceptedOptionArguments(),
        QStringList({ "JobType=vector", "autoFocus=enabled", "materialThickness=Custom.3.175",
            "rasterSpeed=Custom.37" }));
    QString saveError;
    QVERIFY(!host->saveQueueOptions(&saveError));
    QCOMPARE(saveError, QStringLiteral("No queue to store the options for"));
}

void tst_PdeCupsHost::printSettingsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString other = dir.filePath("other.ppd");
    QVERIFY(QFile::copy(ppdPath(), other));
    const QString path = VexlorCupsHost::printSettingsPath();
    QCOMPARE(path, m_config.filePath("com.vexlor.print.pde.vexlorKind/printsettings.ini"));

    QString error;
    {
        auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &error);
        QVERIFY2(host, qPrintable(error));
        QString value;
        QCOMPARE(host->printSettingsGetValue("com.vexlor.print.pde.vexlorKind.rasterSpeed", &value),
            int(VexlorPDEHost::KeyNotFound));
        QCOMPARE(host->printSettingsSetValue("com.vexlor.print.pde.vexlorKind.rasterSpeed", "37"),
            int(VexlorPDEHost::NoErr));
        QCOMPARE(host->printSettingsSetValue("com.vexlor.print.pde.vexlorKind.materialThickness", "2.500000"),
            int(VexlorPDEHost::NoErr));
        QVERIFY2(host->savePrintSettings(&error), qPrintable(error));
    }
    QVERIFY(QFile::exists(path));
    QSettings file(path, QSettings::IniFormat);
    QCOMPARE(file.value("ppd-vexlor/com.vexlor.print.pde.vexlorKind.rasterSpeed").toString(),
        QStringLiteral("37"));
    {
        auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &error);
        QVERIFY(host);
        QString value;
        QCOMPARE(host->printSettingsGetValue("com.vexlor.print.pde.vexlorKind.materialThickness", &value),
            int(VexlorPDEHost::NoErr));
        QCOMPARE(value, QStringLiteral("2.500000"));
        // The panel shows the stored values again.
        auto panel = VexlorPDE::initWithCallback(host.get());
        QVERIFY(panel);
        QCOMPARE(panel->rSpeed, 37L);
        QCOMPARE(panel->oMaterialThickness, 2.5f);
    }
    {
        // Another printer has settings of its own.
        auto host = VexlorCupsHost::forPPDFile(other, QString(), &error);
        QVERIFY(host);
        QString value;
        QCOMPARE(host->printSettingsGetValue("com.vexlor.print.pde.vexlorKind.rasterSpeed", &value),
            int(VexlorPDEHost::KeyNotFound));
    }
    QVERIFY(QFile::remove(path));
}

void tst_PdeCupsHost::driver_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");

    const QStringList none;
    const QStringList focus { "autoFocus=enabled" };
    QTest::newRow("job type") << none << "JobType"
                              << "vector" << QString() << "JobType"
                              << "vector";
    QTest::newRow("job type unknown") << none << "JobType"
                                      << "laser"
                                      << "laser is not a choice of JobType"
                                      << "JobType" << QString();
    QTest::newRow("direction") << none << "EngravingDirection"
                               << "bottom" << QString() << "EngravingDirection"
                               << "bottom";
    QTest::newRow("raster speed") << none << "rasterSpeed"
                                  << "37" << QString() << "rasterSpeed"
                                  << "Custom.37";
    QTest::newRow("raster speed as lp writes it") << none << "rasterSpeed"
                                                  << "Custom.12" << QString() << "rasterSpeed"
                                                  << "Custom.12";
    QTest::newRow("raster speed zero") << none << "rasterSpeed"
                                       << "0"
                                       << "rasterSpeed goes from 1 to 100"
                                       << "rasterSpeed"
                                       << "Custom.50";
    QTest::newRow("raster power zero") << none << "rasterPower"
                                       << "0" << QString() << "rasterPower"
                                       << "Custom.0";
    QTest::newRow("vector power text") << none << "vectorPower"
                                       << "high"
                                       << "vectorPower takes a whole number"
                                       << "vectorPower"
                                       << "Custom.50";
    QTest::newRow("resolution") << none << "cResolution"
                                << "300" << QString() << "cResolution"
                                << "Custom.300";
    QTest::newRow("resolution by its setting name") << none << "resolution"
                                                    << "1200" << QString() << "cResolution"
                                                    << "Custom.1200";
    QTest::newRow("resolution between steps") << none << "cResolution"
                                              << "500"
                                              << "the resolution is one of 75, 150, 200, 300, 400, 600, 1200"
                                              << "cResolution"
                                              << "Custom.600";
    QTest::newRow("grid without auto focus") << none << "vectorGrid"
                                             << "enabled"
                                             << "vectorGrid needs autoFocus=enabled"
                                             << "vectorGrid" << QString();
    QTest::newRow("grid with auto focus") << focus << "vectorGrid"
                                          << "enabled" << QString() << "vectorGrid"
                                          << "enabled";
    QTest::newRow("thickness without auto focus") << none << "materialThickness"
                                                  << "2.5"
                                                  << "materialThickness needs autoFocus=enabled"
                                                  << "materialThickness"
                                                  << "Custom.0";
    QTest::newRow("thickness") << focus << "materialThickness"
                               << "2.5" << QString() << "materialThickness"
                               << "Custom.2.5";
    QTest::newRow("thickness out of range") << focus << "materialThickness"
                                            << "250"
                                            << "250.000000 is not a value of materialThickness"
                                            << "materialThickness"
                                            << "Custom.0";
    QTest::newRow("check box word") << none << "autoFocus"
                                    << "yes"
                                    << "autoFocus is \"enabled\" or \"disabled\""
                                    << "autoFocus" << QString();
    QTest::newRow("compensation off") << none << "vectorPowerComp"
                                      << "disabled" << QString() << "vectorPowerComp"
                                      << "disabled";
    QTest::newRow("unknown key") << none << "power"
                                 << "3"
                                 << "the panel has no option power"
                                 << "power" << QString();
}

void tst_PdeCupsHost::driver()
{
    QFETCH(QStringList, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, error);
    QFETCH(QString, option);
    QFETCH(QString, expected);

    QString reason;
    auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &reason);
    QVERIFY(host);
    auto panel = VexlorPDE::initWithCallback(host.get());
    QVERIFY(panel);
    panel->panelView();
    panel->restoreValuesAndReturnError();
    panel->willShow();
    for (const QString &setting : before)
        QVERIFY(VexlorPanelDriver::applySetting(
            panel.get(), host.get(), setting.section('=', 0, 0), setting.section('=', 1), &reason));

    const bool ok = VexlorPanelDriver::applySetting(panel.get(), host.get(), key, value, &reason);
    QCOMPARE(ok, error.isEmpty());
    if (!ok)
        QVERIFY2(reason.startsWith(error), qPrintable(reason));
    QCOMPARE(host->acceptedOptions().value(option), expected);
}

void tst_PdeCupsHost::conflictThroughThePanel()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    auto host
        = VexlorCupsHost::forPPDFile(writePPDWith(dir, "constrained.ppd", kConstraints), QString(), &error);
    QVERIFY(host);
    auto panel = VexlorPDE::initWithCallback(host.get());
    QVERIFY(panel);
    panel->panelView();
    panel->restoreValuesAndReturnError();
    panel->willShow();

    QVERIFY(VexlorPanelDriver::applySetting(panel.get(), host.get(), "vectorSort", "inner", &error));
    QVERIFY(!VexlorPanelDriver::applySetting(panel.get(), host.get(), "JobType", "raster", &error));
    QCOMPARE(error, QStringLiteral("JobType=raster conflicts with another choice"));
    QCOMPARE(panel->jobTypeChoice, QStringLiteral("combo"));
    QCOMPARE(panel->jobTypePopup->currentData().toString(), QStringLiteral("combo"));
    QVERIFY(!host->acceptedOptions().contains("JobType"));
}

void tst_PdeCupsHost::summary()
{
    QString error;
    auto host = VexlorCupsHost::forPPDFile(ppdPath(), QString(), &error);
    QVERIFY(host);
    auto panel = VexlorPDE::initWithCallback(host.get());
    QVERIFY(panel);
    panel->panelView();
    panel->restoreValuesAndReturnError();
    panel->willShow();
    VexlorOptionsDialog dialog(panel.get(), host.get());
    auto *label = dialog.findChild<QLabel *>("summaryLabel");
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Vexlor Settings: Combined"));
    QVERIFY(VexlorPanelDriver::applySetting(panel.get(), host.get(), "JobType", "raster", &error));
    QTRY_COMPARE(label->text(), QStringLiteral("Vexlor Settings: Raster"));
    panel->PPDOptionKeyValueDidChange("JobType", "laser");
    dialog.updateSummary();
    // The help book ships with the panel; only it can be opened.
    QVERIFY(host->registerHelpBook("Vexlor Settings Help"));
    QVERIFY(!host->registerHelpBook(QString()));
    QCOMPARE(label->text(), QStringLiteral("Vexlor Settings: the job type is not one of this printer's"));
}

void tst_PdeCupsHost::program_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QString>("err");

    const QString ppd = ppdPath();
    QTest::newRow("summary") << QStringList { "--ppd", ppd, "--summary" } << 0
                             << QStringList { "Vexlor Settings: Combined" } << QString();
    QTest::newRow("options") << QStringList { "--ppd", ppd, "--set", "JobType=vector", "--set",
        "rasterSpeed=37", "--set", "autoFocus=enabled", "--set", "materialThickness=1.5", "--set",
        "cResolution=400", "--summary", "--print-options" }
                             << 0
                             << QStringList { "Vexlor Settings: Vector", "-o JobType=vector",
                                    "-o autoFocus=enabled", "-o cResolution=Custom.400",
                                    "-o materialThickness=Custom.1.5", "-o rasterPower=Custom.50",
                                    "-o rasterSpeed=Custom.37", "-o vectorFreq=Custom.50",
                                    "-o vectorPower=Custom.50", "-o vectorSpeed=Custom.50" }
                             << QString();
    QTest::newRow("refused") << QStringList { "--ppd", ppd, "--set", "JobType=laser", "--accept" } << 2
                             << QStringList()
                             << "vexlor-options: JobType=laser refused: laser is not a choice of JobType\n"
                                "vexlor-options: nothing stored\n";
    QTest::newRow("malformed set") << QStringList { "--ppd", ppd, "--set", "JobType" } << 2 << QStringList()
                                   << "vexlor-options: --set takes KEY=VALUE, not \"JobType\"\n"
                                      "vexlor-options: nothing stored\n";
    QTest::newRow("accept needs a queue") << QStringList { "--ppd", ppd, "--accept" } << 1 << QStringList()
                                          << "vexlor-options: No queue to store the options for\n";
    QTest::newRow("no such file") << QStringList { "--ppd", "/nonexistent/x.ppd", "--summary" } << 1
                                  << QStringList()
                                  << "vexlor-options: Cannot read the PPD file \"/nonexistent/x.ppd\"";
    QTest::newRow("nothing to show") << QStringList { "--summary" } << 1 << QStringList()
                                     << "vexlor-options: give one queue name, or a PPD file with --ppd\n";
    QTest::newRow("not an engraver") << QStringList { "--ppd",
        "/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd", "--summary" }
                                     << 1 << QStringList() << "vexlor-options: /usr/share/ppd/cupsfilters/";
}

void tst_PdeCupsHost::program()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QString, err);

    if (arguments.contains("/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd")
        && !QFile::exists("/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd"))
        QSKIP("Debian's generic PDF printer PPD is not installed");

    QProcess program;
    program.start(optionsProgram(), arguments);
    QVERIFY2(program.waitForFinished(30000), qPrintable(program.errorString()));
    const QString stdErr = QString::fromUtf8(program.readAllStandardError())
                               .remove(QRegularExpression("QStandardPaths: [^\n]*\n"));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == exitCode, qPrintable(stdErr));
    const QString stdOut = QString::fromUtf8(program.readAllStandardOutput());
    QCOMPARE(stdOut.split('\n', Qt::SkipEmptyParts), out);
    if (err.endsWith('\n'))
        QCOMPARE(stdErr, err);
    else
        QVERIFY2(stdErr.startsWith(err), qPrintable(stdErr));
}

QTEST_MAIN(tst_PdeCupsHost)
#include "tst_pdecupshost.moc"
