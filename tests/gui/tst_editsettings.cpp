#include "editsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>

class tst_EditSettings : public QObject
{
    Q_OBJECT
private slots:
    void loadsAndWritesChoices_data();
    void loadsAndWritesChoices();
    void autoFocusInterlock();
    void slidersFollowTextBoxes();
    void resolutionSlider_data();
    void resolutionSlider();
    void cancelChangesNothing();

private:
    template <typename T> static T *child(QWidget *w, const char *name) { return w->findChild<T *>(name); }
    static void pressOk(EditSettings &dialog)
    {
        child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    }
};

void tst_EditSettings::loadsAndWritesChoices_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("written");
    QTest::newRow("vector job") << "JobType"
                                << "vector"
                                << "jobTypeComboBox"
                                << "Vector"
                                << "vector";
    QTest::newRow("combo job") << "JobType"
                               << "combo"
                               << "jobTypeComboBox"
                               << "Combined"
                               << "combo";
    QTest::newRow("centre") << "CenterEngraving"
                            << "center"
                            << "centerEngravingComboBox"
                            << "Center-Center"
                            << "center";
    QTest::newRow("left") << "CenterEngraving"
                          << "left"
                          << "centerEngravingComboBox"
                          << "Left-Center"
                          << "left";
    QTest::newRow("bottom") << "EngravingDirection"
                            << "bottom"
                            << "engDirComboBox"
                            << "Bottom-Up"
                            << "bottom";
    QTest::newRow("lowres") << "dithering"
                            << "lowres"
                            << "ditherComboBox"
                            << "Low Resolution"
                            << "lowres";
    QTest::newRow("brighten") << "dithering"
                              << "brighten"
                              << "ditherComboBox"
                              << "Brighten"
                              << "brighten";
    QTest::newRow("unknown method") << "dithering"
                                    << "sierra"
                                    << "ditherComboBox"
                                    << ""
                                    << "";
    QTest::newRow("inner shapes first") << "vectorSort"
                                        << "inner"
                                        << "vectorSortingComboBox"
                                        << "Inner Shapes First"
                                        << "inner";
    QTest::newRow("shortest travel") << "vectorSort"
                                     << "nearest"
                                     << "vectorSortingComboBox"
                                     << "Shortest Travel"
                                     << "nearest";
    QTest::newRow("older queue's name for inner first") << "vectorSort"
                                                        << "inside"
                                                        << "vectorSortingComboBox"
                                                        << "Inner Shapes First"
                                                        << "inner";
    QTest::newRow("unknown order") << "vectorSort"
                                   << "topdown"
                                   << "vectorSortingComboBox"
                                   << "Standard"
                                   << "none";
}

void tst_EditSettings::loadsAndWritesChoices()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, combo);
    QFETCH(QString, shown);
    QFETCH(QString, written);
    vexlorSettings settings;
    EditSettings dialog(&settings);
    // A previous job left another choice on screen.
    settings.settings.insert("JobType", "vector");
    dialog.setSettings();
    settings.settings.insert(key, value);
    dialog.setSettings();
    QCOMPARE(child<QComboBox>(&dialog, qPrintable(combo))->currentText(), shown);

    QSignalSpy spy(&dialog, SIGNAL(updateJobSettings()));
    pressOk(dialog);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(settings.settings.value(key), written);
    if (key != QLatin1String("vectorSort"))
        QCOMPARE(settings.settings.value("vectorSort"), QStringLiteral("none"));
}

void tst_EditSettings::autoFocusInterlock()
{
    vexlorSettings settings;
    settings.settings.insert("autoFocus", "disabled");
    settings.settings.insert("vectorGrid", "enabled");
    settings.settings.insert("CustommaterialThickness", "abc");
    EditSettings dialog(&settings);
    dialog.setSettings();
    auto *grid = child<QCheckBox>(&dialog, "vectorGridCheckBox");
    QVERIFY(!grid->isEnabled());
    QVERIFY(!grid->isChecked());
    QVERIFY(!child<QLineEdit>(&dialog, "materialThicknessLineEdit")->isEnabled());
    pressOk(dialog);
    QCOMPARE(settings.settings.value("vectorGrid"), QStringLiteral("disabled"));
    QCOMPARE(settings.settings.value("autoFocus"), QStringLiteral("disabled"));

    // A later job with auto focus on shows the controls again, and an absent
    // key counts as on.
    settings.settings.remove("autoFocus");
    settings.settings.insert("CustommaterialThickness", "3.174999952316");
    dialog.setSettings();
    QVERIFY(grid->isEnabled());
    QVERIFY(grid->isChecked() == false || settings.settings.value("vectorGrid") != "disabled");
    QCOMPARE(child<QLineEdit>(&dialog, "materialThicknessLineEdit")->text(), QStringLiteral("3.175"));

    // Clicking auto focus off greys and clears the vector grid.
    grid->setChecked(true);
    QTest::mouseClick(child<QCheckBox>(&dialog, "autoFocusCheckBox"), Qt::LeftButton);
    QVERIFY(!grid->isEnabled());
    QVERIFY(!grid->isChecked());
    QVERIFY(!child<QLabel>(&dialog, "materialThicknessLabel")->isEnabled());
}

void tst_EditSettings::slidersFollowTextBoxes()
{
    vexlorSettings settings;
    settings.settings.insert("CustomvectorSpeed", "20");
    settings.settings.insert("CustomvectorPower", "80");
    settings.settings.insert("CustomrasterSpeed", "150");
    EditSettings dialog(&settings);
    dialog.setSettings();
    QCOMPARE(child<QSlider>(&dialog, "vSpeedSlider")->value(), 20);
    QCOMPARE(child<QLineEdit>(&dialog, "vSpeedTextBox")->text(), QStringLiteral("20"));
    QCOMPARE(child<QSlider>(&dialog, "vPowerSlider")->value(), 80);
    QCOMPARE(child<QLineEdit>(&dialog, "vPowerTextBox")->text(), QStringLiteral("80"));
    // Beyond the slider's range: both show the range's end.
    QCOMPARE(child<QSlider>(&dialog, "rSpeedSlider")->value(), 100);
    QCOMPARE(child<QLineEdit>(&dialog, "rSpeedTextBox")->text(), QStringLiteral("100"));
    // Absent: the default 50.
    QCOMPARE(child<QLineEdit>(&dialog, "vFreqTextBox")->text(), QStringLiteral("50"));

    child<QSlider>(&dialog, "rPowerSlider")->setValue(33);
    pressOk(dialog);
    QCOMPARE(settings.settings.value("CustomrasterPower"), QStringLiteral("33"));
    QCOMPARE(settings.settings.value("CustomrasterSpeed"), QStringLiteral("100"));
    QVERIFY(!settings.settings.contains("rasterPower"));
}

void tst_EditSettings::resolutionSlider_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");
    QTest::newRow("300 in the table") << "300" << 3 << "300";
    QTest::newRow("500 not in the table") << "500" << 1 << "500";
}

void tst_EditSettings::resolutionSlider()
{
    QFETCH(QString, value);
    QFETCH(int, index);
    QFETCH(QString, shown);
    vexlorSettings settings;
    EditSettings dialog(&settings);
    child<QSlider>(&dialog, "dpiSlider")->setValue(1);
    settings.settings.insert("CustomcResolution", value);
    dialog.setSettings();
    QCOMPARE(child<QSlider>(&dialog, "dpiSlider")->value(), index);
    QCOMPARE(child<QLineEdit>(&dialog, "dpiTextBox")->text(), shown);
    pressOk(dialog);
    QCOMPARE(settings.settings.value("CustomcResolution"), shown);
}

void tst_EditSettings::cancelChangesNothing()
{
    vexlorSettings settings;
    settings.settings.insert("JobType", "raster");
    EditSettings dialog(&settings);
    dialog.setSettings();
    child<QComboBox>(&dialog, "jobTypeComboBox")->setCurrentIndex(1);
    QSignalSpy spy(&dialog, SIGNAL(updateJobSettings()));
    child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(settings.settings.size(), 1);
    QCOMPARE(settings.settings.value("JobType"), QStringLiteral("raster"));
}

QTEST_MAIN(tst_EditSettings)
#include "tst_editsettings.moc"
