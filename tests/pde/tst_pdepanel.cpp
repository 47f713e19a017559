// The print dialog panel against a recording host and the project's PPD.

#include "logcapture.h"
#include "recordinghost.h"
#include "vexlorpde.h"
#include "vexlorpdeplugin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

const QString kKind = QStringLiteral("com.vexlor.print.pde.vexlorKind");

QString ppdPath()
{
    return QStringLiteral(VEXLOR_SOURCE_DIR "/tools/ppd/vexlor.ppd");
}

QString setting(const QString &suffix)
{
    return kKind + QLatin1Char('.') + suffix;
}

// The project's PPD without one option (its UI block, default and custom lines).
QString writePPDWithout(const QTemporaryDir &dir, const QString &key)
{
    QFile in(ppdPath());
    if (!in.open(QIODevice::ReadOnly))
        return QString();
    QStringList kept;
    bool inBlock = false;
    for (const QString &line : QString::fromLatin1(in.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("*OpenUI *%1/").arg(key)))
            inBlock = true;
        const bool custom = line.startsWith(QStringLiteral("*Custom%1 ").arg(key))
            || line.startsWith(QStringLiteral("*ParamCustom%1 ").arg(key));
        if (!inBlock && !custom)
            kept << line;
        if (line.startsWith(QStringLiteral("*CloseUI: *%1").arg(key)))
            inBlock = false;
    }
    const QString path = dir.filePath(key + QStringLiteral(".ppd"));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return QString();
    out.write(kept.join(QLatin1Char('\n')).toLatin1());
    return path;
}

QStringList setDefaultsRequests()
{
    return { "cResolution=Custom", "CustomcResolution=600", "materialThickness=Custom",
        "CustommaterialThickness=0.000000", "rasterPower=Custom", "CustomrasterPower=50",
        "rasterSpeed=Custom", "CustomrasterSpeed=50", "vectorFreq=Custom", "CustomvectorFreq=50",
        "vectorPower=Custom", "CustomvectorPower=50", "vectorSpeed=Custom", "CustomvectorSpeed=50" };
}

// A panel with its interface loaded and shown, as the dialog presents it.
std::unique_ptr<VexlorPDE> shownPanel(RecordingHost &host)
{
    std::unique_ptr<VexlorPDE> panel = VexlorPDE::initWithCallback(&host);
    if (panel) {
        panel->panelView();
        panel->willShow();
    }
    return panel;
}

void activate(QComboBox *popup, const QString &choice)
{
    const int index = popup->findData(choice);
    QVERIFY2(index >= 0, qPrintable(choice));
    popup->setCurrentIndex(index);
    QMetaObject::invokeMethod(popup, "activated", Q_ARG(int, index));
}

} // namespace

class tst_PdePanel : public QObject
{
    Q_OBJECT

private slots:
    void factoryTypes();
    void factoryMissingOption_data();
    void factoryMissingOption();
    void supportedKeysAreThePPDs();
    void popupsFilledFromPPD();
    void setDefaultsOrder();
    void setDefaultsRefused_data();
    void setDefaultsRefused();
    void printSettingsResolution_data();
    void printSettingsResolution();
    void printSettingsReads();
    void printSettingsRefusedValue();
    void autoFocusInterlock();
    void autoFocusRefused();
    void popupChange_data();
    void popupChange();
    void choiceTypes_data();
    void choiceTypes();
    void summaryInfo_data();
    void summaryInfo();
    void otherPanelChanges();
    void sliderChange_data();
    void sliderChange();
    void resolutionRefusedSnapsBack();
    void checkbox_data();
    void checkbox();
    void materialThickness_data();
    void materialThickness();
    void customParamReads_data();
    void customParamReads();
    void restoreFromMarkedChoices();
    void help_data();
    void help();
};

void tst_PdePanel::factoryTypes()
{
    RecordingHost host(ppdPath());
    QVERIFY(host.ppd);
    VexlorPDEPlugIn plugIn;
    QVERIFY(plugIn.initWithBundle(VexlorPDEBundle::bundleForClass()));

    auto other = plugIn.PDEPanelsForType(QStringLiteral("00000000-0000-0000-0000-000000000000"), &host);
    QVERIFY(other.has_value());
    QVERIFY(other->empty());
    QVERIFY(host.changes.isEmpty());

    auto printer = plugIn.PDEPanelsForType(QStringLiteral("BDB091F4-E57F-11D3-B5CC-0050E4603277"), &host);
    QVERIFY(printer.has_value());
    QCOMPARE(printer->size(), size_t(1));
    QCOMPARE(printer->front()->panelName(), QStringLiteral("Vexlor Settings"));
    QCOMPARE(printer->front()->panelKind(), kKind);
    QCOMPARE(host.helpBooksRegistered, QStringList { "Vexlor Settings Help" });

    // Without a host there is no PPD to work on.
    LogCapture log;
    auto none = plugIn.PDEPanelsForType(QStringLiteral("BDB091F4-E57F-11D3-B5CC-0050E4603277"), nullptr);
    QVERIFY(!none.has_value());
    QVERIFY(log.lines().contains("This version of the Vexlor PDE does not run properly on 10.4 or earlier!"));
}

void tst_PdePanel::factoryMissingOption_data()
{
    QTest::addColumn<QString>("key");
    for (const char *key : { "JobType", "CenterEngraving", "rasterPower", "rasterSpeed", "EngravingDirection",
             "dithering", "vectorSpeed", "vectorPower", "vectorFreq", "vectorSort", "vectorSpeedComp",
             "vectorPowerComp", "cResolution" })
        QTest::newRow(key) << QString::fromLatin1(key);
}

void tst_PdePanel::factoryMissingOption()
{
    QFETCH(QString, key);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = writePPDWithout(dir, key);
    RecordingHost host(path);
    QVERIFY(host.ppd);
    QVERIFY(!ppdFindOption(host.ppd, key.toLatin1().constData()));

    VexlorPDEPlugIn plugIn;
    auto panels = plugIn.PDEPanelsForType(QStringLiteral("BDB091F4-E57F-11D3-B5CC-0050E4603277"), &host);
    QVERIFY(!panels.has_value());
    // A panel that is not made hands nothing to the dialog.
    QVERIFY(host.changes.isEmpty());
}

void tst_PdePanel::supportedKeysAreThePPDs()
{
    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    const QStringList keys = panel->supportedPPDOptionKeys();
    QCOMPARE(keys.size(), 18);
    for (const QString &key : keys) {
        const QByteArray k = key.toLatin1();
        const bool known = ppdFindOption(host.ppd, k.constData())
            || (k.startsWith("Custom") && ppdFindCustomOption(host.ppd, k.constData() + 6));
        QVERIFY2(known, k.constData());
    }
}

void tst_PdePanel::popupsFilledFromPPD()
{
    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    QComboBox *jobType = panel->jobTypePopup;
    QVERIFY(jobType);
    QCOMPARE(jobType->count(), 3);
    QCOMPARE(jobType->itemText(0), QStringLiteral("Combined"));
    QCOMPARE(jobType->itemData(1).toString(), QStringLiteral("vector"));
    QCOMPARE(jobType->itemText(2), QStringLiteral("Raster"));
    QCOMPARE(jobType->currentData().toString(), QStringLiteral("combo"));
    QCOMPARE(panel->centerEngravingPopup->count(), 5);
    QCOMPARE(panel->engravingDirectionPopup->currentText(), QStringLiteral("Top Down"));
    QCOMPARE(panel->ditheringPopup->itemText(3), QStringLiteral("Floyd-Steinberg"));
    // The cutting orders, each with its keyword for the job.
    QCOMPARE(panel->vSortingPopup->count(), 3);
    QCOMPARE(panel->vSortingPopup->itemData(0).toString(), QStringLiteral("none"));
    QCOMPARE(panel->vSortingPopup->itemText(1), QStringLiteral("Inner Shapes First"));
    QCOMPARE(panel->vSortingPopup->itemData(1).toString(), QStringLiteral("inner"));
    QCOMPARE(panel->vSortingPopup->itemData(2).toString(), QStringLiteral("nearest"));

    // Shown again: the menus are not filled twice.
    panel->willShow();
    QCOMPARE(jobType->count(), 3);
    QVERIFY(panel->popUpIsInited);
}

void tst_PdePanel::setDefaultsOrder()
{
    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    panel->jobTypeChoice = QStringLiteral("raster");
    panel->ditheringChoice = QStringLiteral("jarvis");
    panel->vectorSortingChoice = QStringLiteral("inner");
    host.changes.clear();

    LogCapture log;
    panel->setDefaults();
    QCOMPARE(host.changes, setDefaultsRequests());
    QCOMPARE(panel->jobTypeChoice, QStringLiteral("combo"));
    QCOMPARE(panel->centerEngravingChoice, QStringLiteral("none"));
    QCOMPARE(panel->engraveDirChoice, QStringLiteral("top"));
    QCOMPARE(panel->ditheringChoice, QStringLiteral("standard"));
    QCOMPARE(panel->vectorSortingChoice, QStringLiteral("inner"));
    QCOMPARE(panel->resolution, 600L);
    QCOMPARE(panel->rSpeed, 50L);
    QCOMPARE(panel->oMaterialThickness, 0.0f);

    const QStringList lines = log.lines();
    QCOMPARE(lines.value(0), QStringLiteral("Entering setDefaults"));
    // The values read back come from the PPD the host marked.
    QVERIFY(lines.contains("The resolution is set to: 600"));
    QVERIFY(lines.contains("The custom vector power is 1set to: 50"));
    QVERIFY(lines.contains("The custom option text is: Resolution (DPI)"));
    QVERIFY(log.linesStartingWith("Failed").isEmpty());
}

void tst_PdePanel::setDefaultsRefused_data()
{
    QTest::addColumn<QStringList>("refused");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("unchanged");

    QTest::newRow("resolution option")
        << QStringList { "cResolution" } << QStringList { "Failed to set custom resolution" } << "resolution";
    QTest::newRow("resolution value") << QStringList { "CustomcResolution=600" }
                                      << QStringList { "Failed to set custom resolution" } << "resolution";
    QTest::newRow("thickness") << QStringList { "CustommaterialThickness" }
                               << QStringList { "Failed to set custom material thickness" } << "thickness";
    QTest::newRow("raster power") << QStringList { "rasterPower" }
                                  << QStringList { "Failed to set custom raster power" } << "rPower";
    QTest::newRow("raster speed") << QStringList { "CustomrasterSpeed" }
                                  << QStringList { "Failed to set custom raster speed" } << "rSpeed";
    QTest::newRow("vector frequency")
        << QStringList { "vectorFreq" } << QStringList { "Failed to set custom vector frequency" } << "vFreq";
    QTest::newRow("vector power") << QStringList { "CustomvectorPower" }
                                  << QStringList { "Failed to set custom vector power" } << "vPower";
    QTest::newRow("vector speed") << QStringList { "vectorSpeed" }
                                  << QStringList { "Failed to set custom vector speed" } << "vSpeed";
    QTest::newRow("everything") << QStringList { "cResolution", "materialThickness", "rasterPower",
        "rasterSpeed", "vectorFreq", "vectorPower", "vectorSpeed" }
                                << QStringList { "Failed to set custom resolution",
                                       "Failed to set custom material thickness",
                                       "Failed to set custom raster power",
                                       "Failed to set custom raster speed",
                                       "Failed to set custom vector frequency",
                                       "Failed to set custom vector power",
                                       "Failed to set custom vector speed" }
                                << "all";
}

void tst_PdePanel::setDefaultsRefused()
{
    QFETCH(QStringList, refused);
    QFETCH(QStringList, messages);
    QFETCH(QString, unchanged);

    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    panel->resolution = 300;
    panel->oMaterialThickness = 7.5f;
    panel->rPower = panel->rSpeed = panel->vFreq = panel->vPower = panel->vSpeed = 77;
    for (const QString &r : refused)
        host.refuse.insert(r);

    LogCapture log;
    panel->setDefaults();
    QCOMPARE(log.linesStartingWith("Failed"), messages);

    const bool all = unchanged == QLatin1String("all");
    QCOMPARE(panel->resolution, (all || unchanged == "resolution") ? 300L : 600L);
    QCOMPARE(panel->oMaterialThickness, (all || unchanged == "thickness") ? 7.5f : 0.0f);
    QCOMPARE(panel->rPower, (all || unchanged == "rPower") ? 77L : 50L);
    QCOMPARE(panel->rSpeed, (all || unchanged == "rSpeed") ? 77L : 50L);
    QCOMPARE(panel->vFreq, (all || unchanged == "vFreq") ? 77L : 50L);
    QCOMPARE(panel->vPower, (all || unchanged == "vPower") ? 77L : 50L);
    QCOMPARE(panel->vSpeed, (all || unchanged == "vSpeed") ? 77L : 50L);
}

void tst_PdePanel::printSettingsResolution_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");

    QTest::newRow("not a step") << "500" << 5 << "500";
    QTest::newRow("not a step, high") << "1000" << 5 << "1000";
    QTest::newRow("first step") << "75" << 0 << "75";
    QTest::newRow("300") << "300" << 3 << "300";
    QTest::newRow("last step") << "1200" << 6 << "1200";
    QTest::newRow("not a number") << "fine" << 5 << "600";
    QTest::newRow("absent") << QString() << 5 << "600";
}

void tst_PdePanel::printSettingsResolution()
{
    QFETCH(QString, stored);
    QFETCH(int, index);
    QFETCH(QString, shown);

    RecordingHost host(ppdPath());
    if (!stored.isNull())
        host.printSettings.insert(setting("resolution"), stored);
    auto panel = shownPanel(host);
    QVERIFY(panel);
    QCOMPARE(panel->resolutionIndex, long(index));
    QCOMPARE(panel->resolutionSlider->value(), index);
    QCOMPARE(panel->resolutionTextBox->text(), shown);
    QCOMPARE(panel->resolution, shown.toLong());
    QCOMPARE(host.changes.filter("CustomcResolution=").last(), "CustomcResolution=" + shown);
}

void tst_PdePanel::printSettingsReads()
{
    {
        // No print settings: nothing beyond the defaults reaches the dialog.
        RecordingHost host(ppdPath());
        host.printSettingsPresent = false;
        LogCapture log;
        auto panel = VexlorPDE::initWithCallback(&host);
        QVERIFY(panel);
        QCOMPARE(host.changes, setDefaultsRequests());
        QVERIFY(log.linesStartingWith("Unable to get").isEmpty());
        QVERIFY(log.lines().contains("Entering getNonPPDSettingsFromPrintSettings"));
    }
    {
        // Empty print settings: each read fails, in order, and the defaults go back.
        RecordingHost host(ppdPath());
        LogCapture log;
        auto panel = VexlorPDE::initWithCallback(&host);
        QVERIFY(panel);
        QCOMPARE(log.linesStartingWith("Unable to get"),
            QStringList({ "Unable to get " + setting("materialThickness"),
                "Unable to get " + setting("rasterSpeed"), "Unable to get " + setting("rasterPower"),
                "Unable to get " + setting("vectorPower"), "Unable to get " + setting("vectorSpeed"),
                "Unable to get " + setting("vectorFreq"), "Unable to get " + setting("resolution") }));
        QCOMPARE(host.changes.mid(14),
            QStringList({ "materialThickness=Custom", "CustommaterialThickness=0.000000",
                "cResolution=Custom", "CustomcResolution=600", "rasterPower=Custom", "CustomrasterPower=50",
                "rasterSpeed=Custom", "CustomrasterSpeed=50", "vectorFreq=Custom", "CustomvectorFreq=50",
                "vectorPower=Custom", "CustomvectorPower=50", "vectorSpeed=Custom",
                "CustomvectorSpeed=50" }));
    }
    {
        // Every value stored: the first two reads are logged, all are handed over.
        RecordingHost host(ppdPath());
        host.printSettings = { { setting("materialThickness"), "2.500000" }, { setting("rasterSpeed"), "37" },
            { setting("rasterPower"), "61" }, { setting("vectorPower"), "72" },
            { setting("vectorSpeed"), "13" }, { setting("vectorFreq"), "24" },
            { setting("resolution"), "1200" } };
        LogCapture log;
        auto panel = shownPanel(host);
        QVERIFY(panel);
        QCOMPARE(log.linesStartingWith("PMPrintSettingsGetValue got: "),
            QStringList({ "PMPrintSettingsGetValue got: 2.500000", "PMPrintSettingsGetValue got: 37" }));
        QCOMPARE(panel->oMaterialThickness, 2.5f);
        QCOMPARE(panel->rSpeed, 37L);
        QCOMPARE(panel->rPower, 61L);
        QCOMPARE(panel->vPower, 72L);
        QCOMPARE(panel->vSpeed, 13L);
        QCOMPARE(panel->vFreq, 24L);
        QCOMPARE(panel->resolution, 1200L);
        QCOMPARE(panel->rSpeedSlider->value(), 37);
        QCOMPARE(panel->vFreqTextBox->text(), QStringLiteral("24"));
        QCOMPARE(panel->materialTextBox->text(), QStringLiteral("2.5"));
        QVERIFY(host.changes.contains("CustomvectorPower=72"));
        QVERIFY(host.changes.contains("CustommaterialThickness=2.500000"));
    }
}

void tst_PdePanel::printSettingsRefusedValue()
{
    // A stored value the dialog does not take leaves the field at its default.
    RecordingHost host(ppdPath());
    host.printSettings.insert(setting("rasterSpeed"), "1000");
    host.refuse.insert("CustomrasterSpeed=1000");
    LogCapture log;
    auto panel = shownPanel(host);
    QVERIFY(panel);
    QCOMPARE(panel->rSpeed, 50L);
    QCOMPARE(panel->rSpeedTextBox->text(), QStringLiteral("50"));
    QCOMPARE(log.linesStartingWith("Failed"), QStringList { "Failed to set custom raster speed" });
}

void tst_PdePanel::autoFocusInterlock()
{
    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    QVERIFY(panel->restoreValuesAndReturnError());
    QCheckBox *autoFocus = panel->autoFocusCheckBox;
    QCheckBox *grid = panel->vectorGridCheckBox;
    QVERIFY(autoFocus && grid && panel->materialTextBox && panel->materialText);

    // The PPD's default is auto focus off: thickness and grid are not usable.
    QVERIFY(!autoFocus->isChecked());
    QVERIFY(!panel->materialTextBox->isEnabled());
    QVERIFY(!panel->materialText->isEnabled());
    QVERIFY(!grid->isEnabled());

    autoFocus->click();
    QCOMPARE(host.changes.last(), QStringLiteral("autoFocus=enabled"));
    QCOMPARE(panel->oAutoFocus, 1L);
    QVERIFY(panel->materialTextBox->isEnabled());
    QVERIFY(panel->materialText->isEnabled());
    QCOMPARE(panel->materialText->palette().color(QPalette::WindowText), QColor(Qt::black));
    QVERIFY(grid->isEnabled());

    grid->click();
    QCOMPARE(host.changes.last(), QStringLiteral("vectorGrid=enabled"));
    QCOMPARE(panel->oVectorGrid, 1L);

    host.changes.clear();
    autoFocus->click();
    QCOMPARE(host.changes, QStringList({ "vectorGrid=disabled", "autoFocus=disabled" }));
    QCOMPARE(panel->oVectorGrid, 0L);
    QCOMPARE(panel->oAutoFocus, 0L);
    QVERIFY(!grid->isChecked());
    QVERIFY(!grid->isEnabled());
    QVERIFY(!panel->materialTextBox->isEnabled());
    QVERIFY(!panel->materialText->isEnabled());
    QCOMPARE(panel->materialText->palette().color(QPalette::WindowText), QColor(Qt::gray));

    // Back on: the grid box is usable again but stays off.
    host.changes.clear();
    autoFocus->click();
    QCOMPARE(host.changes, QStringList { "autoFocus=enabled" });
    QVERIFY(grid->isEnabled());
    QVERIFY(!grid->isChecked());
    QCOMPARE(panel->oVectorGrid, 0L);

    // Off with the grid already off: the grid option is left alone.
    host.changes.clear();
    autoFocus->click();
    QCOMPARE(host.changes, QStringList { "autoFocus=disabled" });
}

void tst_PdePanel::autoFocusRefused()
{
    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    QVERIFY(panel->restoreValuesAndReturnError());
    host.refuse.insert("autoFocus=enabled");
    LogCapture log;
    panel->autoFocusCheckBox->click();
    QVERIFY(log.lines().contains("We were unsuccessful in updating autoFocus!"));
    QCOMPARE(panel->oAutoFocus, 0L);
    QVERIFY(!panel->autoFocusCheckBox->isChecked());
    QVERIFY(!panel->materialTextBox->isEnabled());
    QVERIFY(!panel->vectorGridCheckBox->isEnabled());
}

void tst_PdePanel::popupChange_data()
{
    QTest::addColumn<QString>("popup");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("shown");

    QTest::newRow("job type") << "jobTypePopup"
                              << "vector" << false << "JobType=vector"
                              << "vector";
    QTest::newRow("job type refused") << "jobTypePopup"
                                      << "raster" << true << "JobType=raster"
                                      << "combo";
    QTest::newRow("centering") << "centerEngravingPopup"
                               << "page" << false << "CenterEngraving=page"
                               << "page";
    QTest::newRow("direction refused") << "engravingDirectionPopup"
                                       << "bottom" << true << "EngravingDirection=bottom"
                                       << "top";
    QTest::newRow("dithering") << "ditheringPopup"
                               << "stucki" << false << "dithering=stucki"
                               << "stucki";
    QTest::newRow("dithering refused") << "ditheringPopup"
                                       << "floyd" << true << "dithering=floyd"
                                       << "standard";
    QTest::newRow("sorting") << "vSortingPopup"
                             << "nearest" << false << "vectorSort=nearest"
                             << "nearest";
}

void tst_PdePanel::popupChange()
{
    QFETCH(QString, popup);
    QFETCH(QString, choice);
    QFETCH(bool, refused);
    QFETCH(QString, request);
    QFETCH(QString, shown);

    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    // Sorting starts without a recorded choice: give it the PPD's.
    panel->PPDOptionKeyValueDidChange("vectorSort", "none");
    panel->updateUI();
    if (refused)
        host.refuse.insert(request);
    auto *control = panel->panelView()->findChild<QComboBox *>(popup);
    QVERIFY(control);
    host.changes.clear();

    activate(control, choice);
    QCOMPARE(host.changes, QStringList { request });
    QCOMPARE(control->currentData().toString(), shown);
    const QMap<QString, QString> recorded = { { "jobTypePopup", panel->jobTypeChoice },
        { "centerEngravingPopup", panel->centerEngravingChoice },
        { "engravingDirectionPopup", panel->engraveDirChoice }, { "ditheringPopup", panel->ditheringChoice },
        { "vSortingPopup", panel->vectorSortingChoice } };
    QCOMPARE(recorded.value(popup), shown);
}

void tst_PdePanel::choiceTypes_data()
{
    QTest::addColumn<long>("type");
    QTest::addColumn<QString>("field");

    QTest::newRow("0 job type") << 0L << "jobType";
    QTest::newRow("1 centering") << 1L << "centerEngraving";
    QTest::newRow("2 dithering") << 2L << "dithering";
    QTest::newRow("3 direction") << 3L << "engraveDir";
    QTest::newRow("4 sorting") << 4L << "vectorSorting";
    QTest::newRow("5 unknown") << 5L << QString();
    QTest::newRow("-1 unknown") << -1L << QString();
}

void tst_PdePanel::choiceTypes()
{
    QFETCH(long, type);
    QFETCH(QString, field);

    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    panel->vectorSortingChoice = QStringLiteral("none");
    const QMap<QString, QString> before = { { "jobType", panel->jobTypeChoice },
        { "centerEngraving", panel->centerEngravingChoice }, { "dithering", panel->ditheringChoice },
        { "engraveDir", panel->engraveDirChoice }, { "vectorSorting", panel->vectorSortingChoice } };
    LogCapture log;
    panel->setNewUserChoice(QStringLiteral("xyz"), type);
    const QMap<QString, QString> after = { { "jobType", panel->jobTypeChoice },
        { "centerEngraving", panel->centerEngravingChoice }, { "dithering", panel->ditheringChoice },
        { "engraveDir", panel->engraveDirChoice }, { "vectorSorting", panel->vectorSortingChoice } };
    for (auto it = before.constBegin(); it != before.constEnd(); ++it)
        QCOMPARE(after.value(it.key()), it.key() == field ? QStringLiteral("xyz") : it.value());
    QCOMPARE(log.lines().value(0),
        QStringLiteral("A new user choice has been selected\nThe choice is: xyz\n The type is: %1")
            .arg(type));
    if (field.isEmpty())
        QCOMPARE(log.lines().value(1),
            QStringLiteral("Vexlor PDE got an unhandled type in setNewUserChoice! %1").arg(type));
    else
        QCOMPARE(log.lines().size(), 1);
}

void tst_PdePanel::summaryInfo_data()
{
    QTest::addColumn<QString>("jobType");
    QTest::addColumn<QString>("text");

    QTest::newRow("combined") << "combo"
                              << "Combined";
    QTest::newRow("vector") << "vector"
                            << "Vector";
    QTest::newRow("raster") << "raster"
                            << "Raster";
    QTest::newRow("unknown keyword") << "laser" << QString();
    QTest::newRow("another option's choice") << "standard" << QString();
}

void tst_PdePanel::summaryInfo()
{
    QFETCH(QString, jobType);
    QFETCH(QString, text);

    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    panel->PPDOptionKeyValueDidChange(QStringLiteral("JobType"), jobType);
    const auto summary = panel->summaryInfo();
    if (text.isNull()) {
        QVERIFY(!summary.has_value());
    } else {
        QVERIFY(summary.has_value());
        QCOMPARE(*summary, (QMap<QString, QString> { { QStringLiteral("Vexlor Settings"), text } }));
    }
}

void tst_PdePanel::otherPanelChanges()
{
    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    host.changes.clear();
    panel->PPDOptionKeyValueDidChange(QStringLiteral("JobType"), QString());
    panel->PPDOptionKeyValueDidChange(QString(), QStringLiteral("vector"));
    panel->PPDOptionKeyValueDidChange(QStringLiteral("rasterSpeed"), QStringLiteral("10"));
    QCOMPARE(panel->jobTypeChoice, QStringLiteral("combo"));
    QCOMPARE(panel->rSpeed, 50L);

    panel->PPDOptionKeyValueDidChange(QStringLiteral("dithering"), QStringLiteral("jarvis"));
    panel->PPDOptionKeyValueDidChange(QStringLiteral("EngravingDirection"), QStringLiteral("bottom"));
    QCOMPARE(panel->ditheringChoice, QStringLiteral("jarvis"));
    QCOMPARE(panel->ditheringPopup->currentData().toString(), QStringLiteral("standard"));
    panel->willShow();
    QCOMPARE(panel->ditheringPopup->currentData().toString(), QStringLiteral("jarvis"));
    QCOMPARE(panel->engravingDirectionPopup->currentData().toString(), QStringLiteral("bottom"));
    // Choices made elsewhere are already the dialog's: nothing is handed back.
    QVERIFY(host.changes.isEmpty());
}

void tst_PdePanel::sliderChange_data()
{
    QTest::addColumn<QString>("slider");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("refused");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QString>("write");
    QTest::addColumn<QString>("shown");

    QTest::newRow("raster speed") << "rSpeedSlider" << 37 << QString()
                                  << QStringList { "rasterSpeed=Custom", "CustomrasterSpeed=37" }
                                  << setting("rasterSpeed") + "=37"
                                  << "37";
    QTest::newRow("raster speed value refused")
        << "rSpeedSlider" << 37 << "CustomrasterSpeed"
        << QStringList { "rasterSpeed=Custom", "CustomrasterSpeed=37" } << setting("rasterSpeed") + "=50"
        << "50";
    QTest::newRow("raster power") << "rPowerSlider" << 0 << QString()
                                  << QStringList { "rasterPower=Custom", "CustomrasterPower=0" }
                                  << setting("rasterPower") + "=0"
                                  << "0";
    QTest::newRow("vector speed") << "vSpeedSlider" << 100 << QString()
                                  << QStringList { "vectorSpeed=Custom", "CustomvectorSpeed=100" }
                                  << setting("vectorSpeed") + "=100"
                                  << "100";
    QTest::newRow("vector power option refused")
        << "vPowerSlider" << 80 << "vectorPower" << QStringList { "vectorPower=Custom" }
        << setting("vectorPower") + "=50"
        << "50";
    QTest::newRow("vector frequency")
        << "vFreqSlider" << 12 << QString() << QStringList { "vectorFreq=Custom", "CustomvectorFreq=12" }
        << setting("vectorFreq") + "=12"
        << "12";
    QTest::newRow("resolution step 3")
        << "resolutionSlider" << 3 << QString()
        << QStringList { "cResolution=Custom", "CustomcResolution=300" } << setting("resolution") + "=300"
        << "300";
    QTest::newRow("resolution step 0")
        << "resolutionSlider" << 0 << QString()
        << QStringList { "cResolution=Custom", "CustomcResolution=75" } << setting("resolution") + "=75"
        << "75";
}

void tst_PdePanel::sliderChange()
{
    QFETCH(QString, slider);
    QFETCH(int, value);
    QFETCH(QString, refused);
    QFETCH(QStringList, requests);
    QFETCH(QString, write);
    QFETCH(QString, shown);

    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    if (!refused.isEmpty())
        host.refuse.insert(refused);
    auto *control = panel->panelView()->findChild<QSlider *>(slider);
    QVERIFY(control);
    const QString textName = QString(slider).replace("Slider", "TextBox");
    auto *text = panel->panelView()->findChild<QLineEdit *>(textName);
    QVERIFY(text);
    host.changes.clear();

    LogCapture log;
    control->setValue(value);
    QCOMPARE(host.changes, requests);
    QCOMPARE(host.printSettingWrites, QStringList { write });
    QCOMPARE(text->text(), shown);
    if (slider != "resolutionSlider")
        QCOMPARE(control->value(), shown.toInt());
    if (refused == "vectorPower")
        QVERIFY(log.lines().contains("We were unsuccessful in updating vectorPower!"));
    if (refused == "CustomrasterSpeed")
        QVERIFY(log.lines().contains("We were unsuccessful in changing the CustomrasterSpeed"));
    if (refused.isEmpty())
        QCOMPARE(log.lines().value(0), "Saved " + write.section('=', 1) + " to " + write.section('=', 0, 0));
}

void tst_PdePanel::resolutionRefusedSnapsBack()
{
    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    host.refuse.insert("CustomcResolution=1200");
    panel->resolutionSlider->setValue(6);
    QCOMPARE(panel->resolution, 600L);
    QCOMPARE(panel->resolutionIndex, 5L);
    QCOMPARE(panel->resolutionSlider->value(), 5);
    QCOMPARE(panel->resolutionTextBox->text(), QStringLiteral("600"));

    host.setStatus = -5;
    LogCapture log;
    panel->resolutionSlider->setValue(4);
    QCOMPARE(panel->resolution, 400L);
    QVERIFY(log.lines().contains(
        "Vexlor PDE got an error -5 setting the value for " + setting("resolution") + " !"));
}

void tst_PdePanel::checkbox_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("refused");

    QTest::newRow("direct print") << "directPrintCheckBox"
                                  << "directPrint" << false;
    QTest::newRow("direct print refused") << "directPrintCheckBox"
                                          << "directPrint" << true;
    QTest::newRow("speed compensation") << "vSpeedCompCheckBox"
                                        << "vectorSpeedComp" << false;
    QTest::newRow("power compensation refused") << "vPowerCompCheckBox"
                                                << "vectorPowerComp" << true;
}

void tst_PdePanel::checkbox()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(bool, refused);

    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    auto *control = panel->panelView()->findChild<QCheckBox *>(box);
    QVERIFY(control);
    const bool before = control->isChecked();
    const QString choice = before ? "disabled" : "enabled";
    if (refused)
        host.refuse.insert(key);
    host.changes.clear();

    LogCapture log;
    control->click();
    QCOMPARE(host.changes, QStringList { key + "=" + choice });
    QCOMPARE(control->isChecked(), refused ? before : !before);
    if (refused)
        QCOMPARE(log.lines().value(0), "We were unsuccessful in updating " + key + "!");
    else
        QCOMPARE(log.lines().value(0), "We have made a new choice for " + key + ": " + choice + "!");
    const long state = box == "directPrintCheckBox" ? panel->oDirectPrint
        : box == "vSpeedCompCheckBox"               ? panel->vSpeedComp
                                                    : panel->vPowerComp;
    QCOMPARE(state != 0, control->isChecked());
}

void tst_PdePanel::materialThickness_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<float>("value");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QString>("shown");

    QTest::newRow("decimal") << "2.5" << 2.5f
                             << QStringList { "materialThickness=Custom", "CustommaterialThickness=2.500000" }
                             << "2.5";
    QTest::newRow("whole") << "12" << 12.0f
                           << QStringList { "materialThickness=Custom", "CustommaterialThickness=12.000000" }
                           << "12";
    QTest::newRow("not a number") << "thick" << 0.0f << QStringList() << "0";
    QTest::newRow("empty") << "" << 0.0f << QStringList() << "0";
    QTest::newRow("infinite") << "inf" << 0.0f << QStringList() << "0";
}

void tst_PdePanel::materialThickness()
{
    QFETCH(QString, text);
    QFETCH(float, value);
    QFETCH(QStringList, requests);
    QFETCH(QString, shown);

    RecordingHost host(ppdPath());
    auto panel = shownPanel(host);
    QVERIFY(panel);
    host.changes.clear();
    panel->materialTextBox->setText(text);
    QMetaObject::invokeMethod(panel->materialTextBox, "editingFinished");
    QCOMPARE(host.changes, requests);
    QCOMPARE(panel->oMaterialThickness, value);
    QCOMPARE(panel->materialTextBox->text(), shown);
    if (!requests.isEmpty())
        QCOMPARE(
            host.printSettings.value(setting("materialThickness")), QString::asprintf("%f", double(value)));
}

void tst_PdePanel::customParamReads_data()
{
    QTest::addColumn<bool>("real");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("param");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("message");

    const QString wrongType = QStringLiteral("The type is incorrect for: %1 - %2: %3.");
    QTest::newRow("int resolution") << false << "cResolution"
                                    << "cRes" << 600.0 << "The custom option text is: Resolution (DPI)";
    QTest::newRow("int no option") << false << "nosuch"
                                   << "x" << -1.0 << "Unable to find the custom option: nosuch.";
    QTest::newRow("int no param") << false << "rasterSpeed"
                                  << "nope" << -1.0 << "Unable to find the custom param: nope.";
    QTest::newRow("int of a real")
        << false << "materialThickness"
        << "mThickness" << -1.0 << wrongType.arg("materialThickness", "mThickness").arg(int(PPD_CUSTOM_REAL));
    QTest::newRow("real thickness") << true << "materialThickness"
                                    << "mThickness" << 0.0 << "The custom option text is: Material Thickness";
    QTest::newRow("real no option") << true << "JobType"
                                    << "x" << -1.0 << "Unable to find the custom option: JobType.";
    QTest::newRow("real of an int") << true << "cResolution"
                                    << "cRes" << -1.0
                                    << wrongType.arg("cResolution", "cRes").arg(int(PPD_CUSTOM_INT));
}

void tst_PdePanel::customParamReads()
{
    QFETCH(bool, real);
    QFETCH(QString, key);
    QFETCH(QString, param);
    QFETCH(double, value);
    QFETCH(QString, message);

    RecordingHost host(ppdPath());
    auto panel = VexlorPDE::initWithCallback(&host);
    QVERIFY(panel);
    LogCapture log;
    if (real)
        QCOMPARE(double(panel->getPPDCustomFloatOpt(key, param)), value);
    else
        QCOMPARE(double(panel->getPPDCustomIntOpt(key, param)), value);
    QVERIFY2(log.lines().contains(message), qPrintable(log.lines().join(" | ")));
}

void tst_PdePanel::restoreFromMarkedChoices()
{
    RecordingHost host(ppdPath());
    host.printSettings.insert(setting("rasterPower"), "64");
    auto panel = shownPanel(host);
    QVERIFY(panel);
    for (const auto &[key, choice] : std::initializer_list<std::pair<const char *, const char *>> {
             { "JobType", "raster" }, { "CenterEngraving", "page" }, { "dithering", "floyd" },
             { "EngravingDirection", "bottom" }, { "vectorSort", "nearest" }, { "autoFocus", "enabled" },
             { "vectorGrid", "enabled" }, { "directPrint", "enabled" } })
        ppdMarkOption(host.ppd, key, choice);

    LogCapture log;
    QString error;
    QVERIFY(panel->restoreValuesAndReturnError(&error));
    QCOMPARE(panel->jobTypeChoice, QStringLiteral("raster"));
    QCOMPARE(panel->centerEngravingChoice, QStringLiteral("page"));
    QCOMPARE(panel->ditheringChoice, QStringLiteral("floyd"));
    QCOMPARE(panel->engraveDirChoice, QStringLiteral("bottom"));
    QCOMPARE(panel->vectorSortingChoice, QStringLiteral("nearest"));
    QCOMPARE(panel->jobTypePopup->currentText(), QStringLiteral("Raster"));
    QCOMPARE(panel->vSortingPopup->currentText(), QStringLiteral("Shortest Travel"));
    QVERIFY(panel->autoFocusCheckBox->isChecked());
    QVERIFY(panel->materialTextBox->isEnabled());
    QVERIFY(panel->vectorGridCheckBox->isChecked());
    QVERIFY(panel->directPrintCheckBox->isChecked());
    QCOMPARE(panel->oAutoFocus + panel->oVectorGrid + panel->oDirectPrint, 3L);
    QCOMPARE(panel->rPowerSlider->value(), 64);

    const QStringList lines = log.lines();
    QCOMPARE(lines.value(0), QStringLiteral("Entering restoreValuesAndReturnError"));
    for (const char *expected :
        { "The current jobtype choice is: raster", "The current center engraving choice is: page",
            "The current dithering choice is: floyd", "The current engraving direction choice is: bottom",
            "The current vector sorting choice is: nearest", "The current Auto Focus choice is: enabled",
            "The current Vector Grid choice is: enabled", "The current Direct Print choice is: enabled",
            "The custom value is: 600", "The current resolution choice is: Custom\nText: Custom" })
        QVERIFY2(lines.contains(expected), expected);
    QVERIFY(lines.indexOf("The current jobtype choice is: raster")
        < lines.indexOf("The current Auto Focus choice is: enabled"));
}

void tst_PdePanel::help_data()
{
    QTest::addColumn<bool>("withBook");
    QTest::addColumn<bool>("registers");
    QTest::addColumn<bool>("showHelp");

    QTest::newRow("help book") << true << true << false;
    QTest::newRow("registration fails") << true << false << false;
    QTest::newRow("no help book") << false << true << true;
}

void tst_PdePanel::help()
{
    QFETCH(bool, withBook);
    QFETCH(bool, registers);
    QFETCH(bool, showHelp);

    RecordingHost host(ppdPath());
    host.helpRegistration = registers;
    QVariantMap info;
    if (withBook)
        info.insert("CFBundleHelpBookName", "Engraver Help");
    LogCapture log;
    auto panel = VexlorPDE::initWithCallback(&host, VexlorPDEBundle(info));
    QVERIFY(panel);
    QCOMPARE(log.lines().contains("Vexlor PDE got an error registering its help book!"), !registers);
    QCOMPARE(panel->shouldShowHelp(), showHelp);
    QCOMPARE(host.helpAnchorsOpened, withBook ? QStringList { "AppleTitle@Engraver Help" } : QStringList());
    QVERIFY(panel->shouldHide());
    QVERIFY(panel->saveValuesAndReturnError());
}

QTEST_MAIN(tst_PdePanel)
#include "tst_pdepanel.moc"
