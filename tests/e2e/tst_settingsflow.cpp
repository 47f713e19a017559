// Editing the settings of a job that has arrived, through the window's own
// widgets ("Edit Settings", the settings dialog, its OK and Cancel), with the
// real workers and the real engraver device: which stages run again, what the
// engraver job then carries, and what the settings table shows.
#include "e2ehelpers.h"
#include "editsettings.h"
#include "jobdecoder.h"
#include "mainwindow.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QTcpServer>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const char *const kJobFile = "/tmp/GSTemp/out.prn";

// A filled band and a disc (engraved), a hairline (cut) and a thick line
// (engraved).
const QByteArray kJobBody = "0 setgray 72 72 216 36 rectfill\n"
                            "newpath 360 108 36 0 360 arc closepath fill\n"
                            "0.5 setlinewidth 72 200 moveto 432 200 lineto stroke\n"
                            "4 setlinewidth 72 240 moveto 432 240 lineto stroke\n";

QStringList valueColumn(const QTreeWidget *tree)
{
    QStringList values;
    for (int top = 0; top < tree->topLevelItemCount(); ++top) {
        for (int i = 0; i < tree->topLevelItem(top)->childCount(); ++i)
            values << tree->topLevelItem(top)->child(i)->text(1);
    }
    return values;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The preview tiles on screen: the pixmap items that are visible while
// "Preview Final" is off (the dithered tiles sit in a hidden group).
QSet<QGraphicsItem *> visibleTiles(const QGraphicsScene *scene)
{
    QSet<QGraphicsItem *> tiles;
    for (QGraphicsItem *item : scene->items()) {
        if (qgraphicsitem_cast<QGraphicsPixmapItem *>(item) && item->isVisible())
            tiles.insert(item);
    }
    return tiles;
}

// Scene positions of the top ruler's inch labels, by label text.
QMap<QString, QPointF> topRulerLabels(const QGraphicsScene *scene)
{
    QMap<QString, QPointF> labels;
    for (QGraphicsItem *item : scene->items()) {
        auto *text = qgraphicsitem_cast<QGraphicsSimpleTextItem *>(item);
        if (text && text->rotation() == 0)
            labels.insert(text->text(), text->scenePos());
    }
    return labels;
}

// True when nothing else listens on the print port, so that the window's
// listener gets the jobs of this test.
bool printPortFree()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 55000);
}

// The window reports a listener that could not bind in a top-level box.
bool listenerFailed()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == QLatin1String("PrintListener"))
            return true;
    }
    return false;
}

} // namespace

class tst_SettingsFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void editKeepingResolutionRegeneratesFinalStages();
    void editChangingResolutionRunsDeviceAgain();
    void editOfDitheringDithersAgain();
    void cancelChangesNothing();
    void editBeforeSceneIsReadOnlyRefreshesTable();
    void settingsTable_data();
    void settingsTable();
    void newJobReplacesWholeTable();

private:
    void openWindow();
    bool receiveJob(const QStringList &options, const QByteArray &body = kJobBody);
    void waitForJob();
    EditSettings *openSettingsDialog();
    void press(EditSettings *dialog, QDialogButtonBox::StandardButton which);
    QStringList deviceRuns() const;
    JobDecoder::DecodedJob decodeJobFile();
    // A job as the listener and the option parser hand it over, with no
    // options file behind it: the option processor ends it later.
    void showJob(const vexlorSettings &settings)
    {
        static int serial = 0;
        const QString name = QStringLiteral("shown%1").arg(++serial);
        m_window->newJobRecived(m_work->filePath(name + ".ps"));
        m_window->optionHandler(m_work->filePath(name + ".xml"));
        m_window->optionHandler(settings);
    }

    template <typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<MainWindow> m_window;
};

void tst_SettingsFlow::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY(QFileInfo::exists(binary("vexlor-gs")));
    QVERIFY(QFileInfo::exists(binary("vexlor")));
    QVERIFY(QFileInfo::exists(ppdFile()));
}

void tst_SettingsFlow::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    for (const char *dir : { "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp" })
        QVERIFY(Vexlor::makePrivateDir(dir));
    // A job file of an earlier run must not pass for this one's.
    QFile::remove(kJobFile);
}

void tst_SettingsFlow::cleanup()
{
    m_window.reset();
    m_work.reset();
}

void tst_SettingsFlow::openWindow()
{
    const QString support = writeEngraverList(m_work->path());
    QVERIFY(!support.isEmpty());

    // The window's engraver device: a script that notes the arguments of each
    // run, one line per run, and hands over to the real device.
    const QString wrapper = m_work->filePath("gs-wrapper.sh");
    QFile script(wrapper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + m_work->filePath("gs-runs.txt").toUtf8()
        + "'\nexec '" + binary("vexlor-gs").toUtf8() + "' \"$@\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    // Another program's test may hold the port for a while.
    QTRY_VERIFY2_WITH_TIMEOUT(printPortFree(), "port 55000 is held by another program", 120000);
    m_window = std::make_unique<MainWindow>(wrapper, "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp", support);
    m_window->show();
}

bool tst_SettingsFlow::receiveJob(const QStringList &options, const QByteArray &body)
{
    return printThroughQueue(
               writePostScript(m_work->path(), "job.ps", body, "Settings flow"), options, m_work->path())
        == 0;
}

void tst_SettingsFlow::waitForJob()
{
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobStage() == 6 || listenerFailed(), 180000);
    QVERIFY2(!listenerFailed(), "the window could not listen on port 55000; the job went elsewhere");
    QVERIFY(QFileInfo::exists(kJobFile));
    QCOMPARE(readFile(kJobFile), m_window->jobBytes());
}

EditSettings *tst_SettingsFlow::openSettingsDialog()
{
    auto *button = child<QPushButton>("editSettingsButton");
    if (!button || !button->isEnabled())
        return nullptr;
    QTest::mouseClick(button, Qt::LeftButton);
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<EditSettings *>(widget))
            return dialog->isVisible() ? dialog : nullptr;
    }
    return nullptr;
}

void tst_SettingsFlow::press(EditSettings *dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog->findChild<QDialogButtonBox *>("buttonBox");
    QVERIFY(box);
    QVERIFY(box->button(which));
    QTest::mouseClick(box->button(which), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
}

static void typeInto(QWidget *dialog, const char *name, const QString &text)
{
    auto *box = dialog->findChild<QLineEdit *>(QLatin1String(name));
    QVERIFY2(box, name);
    box->selectAll();
    QTest::keyClicks(box, text);
    QCOMPARE(box->text(), text);
}

QStringList tst_SettingsFlow::deviceRuns() const
{
    return QString::fromUtf8(readFile(m_work->filePath("gs-runs.txt"))).split('\n', Qt::SkipEmptyParts);
}

JobDecoder::DecodedJob tst_SettingsFlow::decodeJobFile()
{
    JobDecoder::DecodedJob job;
    QString error;
    if (!JobDecoder::decodeJob(readFile(kJobFile), &job, &error))
        qWarning() << "job file not decoded:" << error;
    return job;
}

void tst_SettingsFlow::editKeepingResolutionRegeneratesFinalStages()
{
    openWindow();
    QVERIFY(receiveJob({ "cResolution=300", "rasterPower=50", "rasterSpeed=50" }));
    waitForJob();
    QCOMPARE(deviceRuns().size(), 1);
    const JobDecoder::DecodedJob before = decodeJobFile();
    QCOMPARE(before.settings.rasterPower, std::optional<double>(50));
    QCOMPARE(before.settings.rasterSpeed, std::optional<double>(50));
    QCOMPARE(before.settings.vectorPower, std::optional<QByteArray>("50"));
    QVERIFY(!before.bitmap.isNull());
    QVERIFY(!before.vectors.isEmpty());

    QGraphicsScene *scene = child<QGraphicsView>("graphicsView")->scene();
    const QSet<QGraphicsItem *> previewTiles = visibleTiles(scene);
    QVERIFY(!previewTiles.isEmpty());

    EditSettings *dialog = openSettingsDialog();
    QVERIFY(dialog);
    typeInto(dialog, "rPowerTextBox", "77");
    typeInto(dialog, "rSpeedTextBox", "23");
    typeInto(dialog, "vPowerTextBox", "64");
    typeInto(dialog, "vSpeedTextBox", "12");
    typeInto(dialog, "vFreqTextBox", "35");
    QCOMPARE(dialog->findChild<QSlider *>("rPowerSlider")->value(), 77);

    QSignalSpy settingsSent(m_window.get(), SIGNAL(sendSettings(vexlorSettings)));
    QSignalSpy deviceStarted(m_window.get(), SIGNAL(startGS(QString)));
    press(dialog, QDialogButtonBox::Ok);
    // The final stages start at once; "Print" waits for the new job. The
    // settings go to the job generator with the new dithered tiles, once.
    QCOMPARE(m_window->jobStage(), 5);
    QVERIFY(!child<QPushButton>("pushButton")->isEnabled());
    waitForJob();
    QCOMPARE(settingsSent.count(), 1);

    const QMap<QString, QString> sent = settingsSent.at(0).at(0).value<vexlorSettings>().settings;
    QCOMPARE(sent.value("CustomrasterPower"), QStringLiteral("77"));
    QCOMPARE(sent.value("CustomvectorFreq"), QStringLiteral("35"));

    // The device did not run again and the preview was not rendered again.
    QCOMPARE(deviceRuns().size(), 1);
    QCOMPARE(deviceStarted.count(), 0);
    QCOMPARE(m_window->jobResolution(), 300);
    QCOMPARE(visibleTiles(scene), previewTiles);

    const JobDecoder::DecodedJob after = decodeJobFile();
    QCOMPARE(after.settings.rasterPower, std::optional<double>(77));
    QCOMPARE(after.settings.rasterSpeed, std::optional<double>(23));
    QCOMPARE(after.settings.vectorPower, std::optional<QByteArray>("64"));
    QCOMPARE(after.settings.vectorSpeed, std::optional<QByteArray>("12"));
    QCOMPARE(after.settings.vectorFreq, std::optional<QByteArray>("35"));
    QCOMPARE(after.settings.unitsPerInch, std::optional<int>(300));
    // Same picture, same cuts: only the settings changed.
    QCOMPARE(after.bitmap, before.bitmap);
    QCOMPARE(after.vectors, before.vectors);

    const QStringList values = valueColumn(child<QTreeWidget>("settingsTree"));
    QCOMPARE(values.at(6), QStringLiteral("23"));
    QCOMPARE(values.at(7), QStringLiteral("77"));
    QCOMPARE(values.mid(10, 3), QStringList({ "12", "64", "35" }));
}

void tst_SettingsFlow::editChangingResolutionRunsDeviceAgain()
{
    openWindow();
    QVERIFY(receiveJob({ "cResolution=600" }));
    waitForJob();
    QCOMPARE(deviceRuns().size(), 1);
    QVERIFY(deviceRuns().first().contains("-r600"));
    const JobDecoder::DecodedJob before = decodeJobFile();
    QCOMPARE(before.settings.unitsPerInch, std::optional<int>(600));
    QGraphicsScene *scene = child<QGraphicsView>("graphicsView")->scene();
    QCOMPARE(topRulerLabels(scene).value("1"), QPointF(600, -300 - 60));

    EditSettings *dialog = openSettingsDialog();
    QVERIFY(dialog);
    auto *dpi = dialog->findChild<QSlider *>("dpiSlider");
    QCOMPARE(dpi->value(), 5);
    QCOMPARE(dialog->findChild<QLineEdit *>("dpiTextBox")->text(), QStringLiteral("600"));
    // Two steps down the resolution table: 400, then 300.
    QTest::keyClick(dpi, Qt::Key_Left);
    QTest::keyClick(dpi, Qt::Key_Left);
    QCOMPARE(dialog->findChild<QLineEdit *>("dpiTextBox")->text(), QStringLiteral("300"));
    press(dialog, QDialogButtonBox::Ok);

    // The old preview and rulers are gone while the job is read again.
    QVERIFY(visibleTiles(scene).isEmpty());
    QVERIFY(topRulerLabels(scene).isEmpty());
    QProgressDialog *progress = m_window->findChild<QProgressDialog *>();
    QVERIFY(progress);
    QVERIFY(progress->isVisible());
    QCOMPARE(progress->labelText(), QStringLiteral("Running Processing Engine."));
    QCOMPARE(m_window->jobResolution(), 300);

    waitForJob();
    const QStringList runs = deviceRuns();
    QCOMPARE(runs.size(), 2);
    QVERIFY2(runs.at(1).split(' ').contains("-r300"), qPrintable(runs.at(1)));
    QVERIFY(runs.at(1).contains("-sOutputFile=/tmp/GSTemp/o.xml"));

    const JobDecoder::DecodedJob after = decodeJobFile();
    QCOMPARE(after.settings.unitsPerInch, std::optional<int>(300));
    QCOMPARE(after.settings.rasterResolution, std::optional<int>(300));
    // The same page at half the resolution: half as many pixels each way.
    QVERIFY(after.settings.rasterWidth && before.settings.rasterWidth);
    QVERIFY(qAbs(*after.settings.rasterWidth * 2 - *before.settings.rasterWidth) <= 4);
    QVERIFY(qAbs(*after.settings.rasterHeight * 2 - *before.settings.rasterHeight) <= 4);
    const QRectF cutsBefore = before.vectors.boundingRect();
    const QRectF cutsAfter = after.vectors.boundingRect();
    QVERIFY(!after.vectors.isEmpty());
    QVERIFY(qAbs(cutsAfter.left() * 2 - cutsBefore.left()) <= 4);
    QVERIFY(qAbs(cutsAfter.right() * 2 - cutsBefore.right()) <= 4);

    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")).at(0), QStringLiteral("300"));
    QCOMPARE(m_window->jobSettings().settings.value("CustomcResolution"), QStringLiteral("300"));
    // New preview, rulers at the new resolution, the view at 100 / 300.
    QVERIFY(!visibleTiles(scene).isEmpty());
    QCOMPARE(topRulerLabels(scene).value("1"), QPointF(300, -150 - 30));
    QCOMPARE(child<QLineEdit>("lineEdit")->text(), QStringLiteral("33.3"));
    QVERIFY(!m_window->findChild<QProgressDialog *>());
}

static int blackPixels(const QImage &bitmap)
{
    int black = 0;
    const QImage image = bitmap.convertToFormat(QImage::Format_Grayscale8);
    for (int y = 0; y < image.height(); ++y) {
        const uchar *line = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x)
            black += line[x] < 128 ? 1 : 0;
    }
    return black;
}

void tst_SettingsFlow::editOfDitheringDithersAgain()
{
    openWindow();
    QVERIFY(receiveJob({ "cResolution=150", "dithering=standard" }, "0.5 setgray 72 72 216 144 rectfill\n"));
    waitForJob();
    QCOMPARE(m_window->ditheringType(), 0);
    const QImage before = decodeJobFile().bitmap;
    QVERIFY(!before.isNull());

    EditSettings *dialog = openSettingsDialog();
    QVERIFY(dialog);
    auto *dithering = dialog->findChild<QComboBox *>("ditherComboBox");
    QCOMPARE(dithering->currentText(), QStringLiteral("Standard"));
    dithering->setCurrentIndex(dithering->findText("Floyd-Steinberg"));
    press(dialog, QDialogButtonBox::Ok);
    waitForJob();

    QCOMPARE(deviceRuns().size(), 1);
    QCOMPARE(m_window->ditheringType(), 3);
    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")).at(9), QStringLiteral("floyd"));
    // Error diffusion instead of the ordered pattern: other pixels, about
    // the same share of them black for the same grey.
    const QImage after = decodeJobFile().bitmap;
    QCOMPARE(after.size(), before.size());
    QVERIFY(after != before);
    const int blackBefore = blackPixels(before);
    const int blackAfter = blackPixels(after);
    QVERIFY(blackBefore > 0);
    QVERIFY2(qAbs(blackAfter - blackBefore) < blackBefore / 10,
        qPrintable(QStringLiteral("%1 against %2").arg(blackAfter).arg(blackBefore)));
}

void tst_SettingsFlow::cancelChangesNothing()
{
    openWindow();
    QVERIFY(receiveJob({ "cResolution=300", "rasterPower=25", "JobType=combo" }));
    waitForJob();
    const vexlorSettings settingsBefore = m_window->jobSettings();
    const QStringList tableBefore = valueColumn(child<QTreeWidget>("settingsTree"));
    const QByteArray jobBefore = readFile(kJobFile);
    const QDateTime writtenBefore = QFileInfo(kJobFile).lastModified();

    EditSettings *dialog = openSettingsDialog();
    QVERIFY(dialog);
    typeInto(dialog, "rPowerTextBox", "90");
    QTest::keyClick(dialog->findChild<QSlider *>("dpiSlider"), Qt::Key_Right);
    auto *jobType = dialog->findChild<QComboBox *>("jobTypeComboBox");
    jobType->setCurrentIndex(jobType->findText("Vector"));

    QSignalSpy settingsSent(m_window.get(), SIGNAL(sendSettings(vexlorSettings)));
    QSignalSpy edited(dialog, SIGNAL(updateJobSettings()));
    press(dialog, QDialogButtonBox::Cancel);

    QCOMPARE(edited.count(), 0);
    QCOMPARE(settingsSent.count(), 0);
    QCOMPARE(m_window->jobStage(), 6);
    QVERIFY(child<QPushButton>("pushButton")->isEnabled());
    QCOMPARE(m_window->jobSettings().settings, settingsBefore.settings);
    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")), tableBefore);
    QCOMPARE(deviceRuns().size(), 1);
    QVERIFY(!m_window->findChild<QProgressDialog *>());
    QCOMPARE(readFile(kJobFile), jobBefore);
    QCOMPARE(QFileInfo(kJobFile).lastModified(), writtenBefore);

    // The next opening shows the job's settings, not the discarded edit.
    dialog = openSettingsDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->findChild<QLineEdit *>("rPowerTextBox")->text(), QStringLiteral("25"));
    QCOMPARE(dialog->findChild<QLineEdit *>("dpiTextBox")->text(), QStringLiteral("300"));
    QCOMPARE(dialog->findChild<QComboBox *>("jobTypeComboBox")->currentText(), QStringLiteral("Combined"));
    press(dialog, QDialogButtonBox::Cancel);
}

void tst_SettingsFlow::editBeforeSceneIsReadOnlyRefreshesTable()
{
    openWindow();
    vexlorSettings arriving;
    arriving.settings.insert("cResolution", "300");
    arriving.settings.insert("rasterPower", "40");
    showJob(arriving);
    QCOMPARE(m_window->jobStage(), 2);
    QSignalSpy deviceAsked(m_window.get(), SIGNAL(startGS(QString)));

    EditSettings *dialog = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if ((dialog = qobject_cast<EditSettings *>(widget)))
            break;
    }
    QVERIFY(dialog);
    dialog->setSettings();
    dialog->show();
    typeInto(dialog, "rPowerTextBox", "66");
    QSignalSpy settingsSent(m_window.get(), SIGNAL(sendSettings(vexlorSettings)));
    QSignalSpy renderStarted(m_window.get(), SIGNAL(startImgProc()));
    press(dialog, QDialogButtonBox::Ok);

    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")).at(7), QStringLiteral("66"));
    QCOMPARE(m_window->jobSettings().settings.value("CustomrasterPower"), QStringLiteral("66"));
    QCOMPARE(m_window->jobStage(), 2);
    QCOMPARE(settingsSent.count(), 0);
    QCOMPARE(renderStarted.count(), 0);
    QVERIFY(deviceRuns().isEmpty());
    QCOMPARE(deviceAsked.count(), 0);
}

void tst_SettingsFlow::settingsTable_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QStringList>("shown");
    auto map = [](std::initializer_list<std::pair<const char *, const char *>> pairs) {
        QVariantMap m;
        for (const auto &p : pairs)
            m.insert(QString::fromLatin1(p.first), QString::fromLatin1(p.second));
        return m;
    };

    QTest::newRow("auto focus off hides grid and thickness")
        << map({ { "autoFocus", "disabled" }, { "vectorGrid", "enabled" }, { "materialThickness", "2.5" } })
        << QStringList { "600", "Combined", "None", "No", "N/A", "N/A", "50", "50", "top", "Standard", "50",
               "50", "50", "none", "No", "No" };
    // Containment is case-sensitive: "Disabled" is not "disabled".
    QTest::newRow("yes and no by case-sensitive containment")
        << map({ { "autoFocus", "Disabled" }, { "vectorGrid", "was disabled" },
               { "vectorSpeedComp", "DISABLED" }, { "vectorPowerComp", "predisabledpost" } })
        << QStringList { "600", "Combined", "None", "Yes", "No", "0.000", "50", "50", "top", "Standard", "50",
               "50", "50", "none", "Yes", "No" };
    QTest::newRow("thickness that is not a number")
        << map({ { "autoFocus", "enabled" }, { "vectorGrid", "enabled" }, { "materialThickness", "thick" } })
        << QStringList { "600", "Combined", "None", "Yes", "Yes", "0.000", "50", "50", "top", "Standard",
               "50", "50", "50", "none", "No", "No" };
    // The print system writes a real parameter with float noise.
    QTest::newRow("thickness with float noise")
        << map({ { "autoFocus", "enabled" }, { "CustommaterialThickness", "3.174999952316" } })
        << QStringList { "600", "Combined", "None", "Yes", "No", "3.175", "50", "50", "top", "Standard", "50",
               "50", "50", "none", "No", "No" };
    QTest::newRow("values shown verbatim")
        << map({ { "cResolution", "high" }, { "JobType", "vector" }, { "CenterEngraving", "center" },
               { "rasterSpeed", "fast" }, { "EngravingDirection", "bottom" }, { "dithering", "floyd" },
               { "vectorSort", "inside-out" }, { "CustomvectorFreq", "35" }, { "vectorSpeedComp", "enabled" },
               { "vectorPowerComp", "enabled" } })
        << QStringList { "high", "vector", "center", "No", "N/A", "N/A", "fast", "50", "bottom", "floyd",
               "50", "50", "35", "inside-out", "Yes", "Yes" };
    // A key that is present shows its value even when empty.
    QTest::newRow("empty values are not defaults")
        << map({ { "JobType", "" }, { "rasterPower", "" }, { "CustomvectorSpeed", "" }, { "dithering", "" } })
        << QStringList { "600", "", "None", "No", "N/A", "N/A", "50", "", "top", "", "", "50", "50", "none",
               "No", "No" };
    QTest::newRow("a plain key replaces its custom name")
        << map({ { "vectorPower", "80" }, { "CustomvectorPower", "20" }, { "CustomrasterSpeed", "15" } })
        << QStringList { "600", "Combined", "None", "No", "N/A", "N/A", "15", "50", "top", "Standard", "50",
               "80", "50", "none", "No", "No" };
}

void tst_SettingsFlow::settingsTable()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QStringList, shown);
    openWindow();
    vexlorSettings s;
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
        s.settings.insert(it.key(), it.value().toString());
    showJob(s);
    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")), shown);
    // The table is read-only and its labels never change.
    auto *tree = child<QTreeWidget>("settingsTree");
    QCOMPARE(tree->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(tree->topLevelItem(0)->child(2)->text(0), QStringLiteral("Center-Center"));
    QVERIFY(deviceRuns().isEmpty());
}

void tst_SettingsFlow::newJobReplacesWholeTable()
{
    openWindow();
    vexlorSettings first;
    for (const char *key : { "JobType", "CenterEngraving", "EngravingDirection", "dithering", "vectorSort" })
        first.settings.insert(key, "x");
    for (const char *key :
        { "cResolution", "rasterSpeed", "rasterPower", "vectorSpeed", "vectorPower", "vectorFreq" })
        first.settings.insert(key, "1");
    for (const char *key : { "autoFocus", "vectorGrid", "vectorSpeedComp", "vectorPowerComp" })
        first.settings.insert(key, "enabled");
    first.settings.insert("materialThickness", "2");
    showJob(first);
    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")),
        QStringList(
            { "1", "x", "x", "Yes", "Yes", "2.000", "1", "1", "x", "x", "1", "1", "1", "x", "Yes", "Yes" }));

    // The first job ends when its options file is not found; the next one
    // then takes the window.
    QTRY_VERIFY(!m_window->isBusy());
    showJob(vexlorSettings());
    QCOMPARE(valueColumn(child<QTreeWidget>("settingsTree")),
        QStringList({ "600", "Combined", "None", "No", "N/A", "N/A", "50", "50", "top", "Standard", "50",
            "50", "50", "none", "No", "No" }));
    QCOMPARE(child<QLabel>("jobLabel")->text(), QStringLiteral("Untitled"));
}

QTEST_MAIN(tst_SettingsFlow)
#include "tst_settingsflow.moc"
