#include "mainwindow.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

// The window with its workers, in folders of a temporary directory.
struct WindowFixture
{
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    QString support() const { return dir.filePath("support"); }
    QString settingsFile() const { return dir.filePath("support/settings.xml"); }

    void writeSettings(const QByteArray &xml)
    {
        QDir().mkpath(support());
        QFile f(settingsFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(xml);
    }

    void open()
    {
        // Private folders, as the application makes them.
        for (const char *sub : { "spool", "options", "gs", "support" })
            Vexlor::makePrivateDir(dir.filePath(sub));
        window.reset(new MainWindow(dir.filePath("no-such-gs"), dir.filePath("spool"),
            dir.filePath("options"), dir.filePath("gs"), support()));
    }

    QByteArray closeAndRead()
    {
        window.reset();
        QFile f(settingsFile());
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        return f.readAll();
    }

    // A job as the listener and the option parser hand it over. Its options
    // file does not exist, so the option processor later ends it.
    void feedJob(const vexlorSettings &settings)
    {
        static int serial = 0;
        const QString name = QStringLiteral("job%1").arg(++serial);
        window->newJobRecived(dir.filePath("spool/" + name + ".ps"));
        window->optionHandler(dir.filePath("options/" + name + ".xml"));
        window->optionHandler(settings);
    }

    template <typename T> T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }

    QMessageBox *messageBox(const QString &title)
    {
        for (QMessageBox *box : window->findChildren<QMessageBox *>()) {
            if (box->windowTitle() == title)
                return box;
        }
        return nullptr;
    }
};

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void engraverListRoundTrip();
    void engraverListSelectsNothingForBadDefault_data();
    void engraverListSelectsNothingForBadDefault();
    void emptyListWritesEmptyStart();
    void failedWriteKeepsOldFile();
    void addAndEditEngravers();
    void noEngraverSelectedRefusesToSend();

    void settingsAreNormalised();
    void settingsTableShowsDefaults();
    void settingsTableShowsThickness();
    void pageCountIsShownWithTheJob();

    void rulersAt600Dpi();
    void strokeWidthControls_data();
    void strokeWidthControls();
    void ditheringTypeFromText_data();
    void ditheringTypeFromText();
    void jobBoundsFollowJobType_data();
    void jobBoundsFollowJobType();
    void hugeCoordinatesAreLeftOut();
    void itemsOffTheTableWarn();
    void droppedJobIsReported();
    void missingGhostscriptEndsTheJob();
    void resultsOfAnEarlierJobAreDropped();
};

void tst_MainWindow::engraverListRoundTrip()
{
    WindowFixture f;
    f.writeSettings("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<ListStart default=\"1\">\n"
                    "  <Machine type=\"0\" addr=\"10.0.0.5\" name=\"Shop &amp; Lab\"/>\n"
                    "  <Machine name=\"Spare\" addr=\"\" type=\"0\"/>\n"
                    "  <Machine name=\"Spare\" addr=\"192.168.1.20\" type=\"0\"/>\n"
                    "</ListStart>\n");
    f.open();
    auto *list = f.child<QListWidget>("machineList");
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(f.child<QToolButton>("editMachineButton")->isEnabled());
    QVERIFY(f.child<QToolButton>("removeMachineButton")->isEnabled());

    const QByteArray written = f.closeAndRead();
    QCOMPARE(written,
        QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<ListStart default=\"1\">\n"
                   "    <Machine name=\"Shop &amp; Lab\" addr=\"10.0.0.5\" type=\"0\"/>\n"
                   "    <Machine name=\"Spare\" addr=\"\" type=\"0\"/>\n"
                   "    <Machine name=\"Spare\" addr=\"192.168.1.20\" type=\"0\"/>\n"
                   "</ListStart>\n"));
}

void tst_MainWindow::engraverListSelectsNothingForBadDefault_data()
{
    QTest::addColumn<QByteArray>("defaultIndex");
    QTest::newRow("minus one") << QByteArray("-1");
    QTest::newRow("beyond the list") << QByteArray("7");
}

void tst_MainWindow::engraverListSelectsNothingForBadDefault()
{
    QFETCH(QByteArray, defaultIndex);
    WindowFixture f;
    f.writeSettings("<ListStart default=\"" + defaultIndex
        + "\"><Machine name=\"A\" addr=\"1.2.3.4\" type=\"0\"/>"
          "<Machine name=\"B\" addr=\"1.2.3.5\" type=\"0\"/></ListStart>");
    f.open();
    QCOMPARE(f.child<QListWidget>("machineList")->count(), 2);
    QCOMPARE(f.child<QListWidget>("machineList")->currentRow(), -1);
    QVERIFY(!f.child<QToolButton>("editMachineButton")->isEnabled());
    QVERIFY(f.closeAndRead().contains("<ListStart default=\"-1\">"));
}

void tst_MainWindow::emptyListWritesEmptyStart()
{
    WindowFixture f;
    f.open();
    QCOMPARE(f.child<QListWidget>("machineList")->count(), 0);
    QCOMPARE(f.closeAndRead(),
        QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<ListStart default=\"-1\"/>\n"));
}

void tst_MainWindow::failedWriteKeepsOldFile()
{
    WindowFixture f;
    QByteArray original = "<ListStart default=\"0\">";
    for (int i = 0; i < 50; ++i)
        original += "<Machine name=\"Engraver " + QByteArray::number(i) + "\" addr=\"10.0.0.1\" type=\"0\"/>";
    original += "</ListStart>";
    f.writeSettings(original);
    f.open();
    QCOMPARE(f.child<QListWidget>("machineList")->count(), 50);

    // A file-size limit makes every write past a few bytes fail, as a full
    // disk would, even for root.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit tiny = old;
    tiny.rlim_cur = 64;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tiny);
    f.window.reset();
    setrlimit(RLIMIT_FSIZE, &old);

    QFile file(f.settingsFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), original);
}

void tst_MainWindow::addAndEditEngravers()
{
    WindowFixture f;
    f.writeSettings(
        "<ListStart default=\"0\"><Machine name=\"laser\" addr=\"10.0.0.2\" type=\"0\"/></ListStart>");
    f.open();
    auto *list = f.child<QListWidget>("machineList");
    MachineDialog *dialog = f.window->findChild<MachineDialog *>();
    QVERIFY(dialog);

    // Names are compared case-sensitively.
    dialog->setActionType(0);
    Vexlor::vexlorMachine m;
    m.name = "Laser";
    m.addr = QHostAddress("10.0.0.3");
    f.window->getMachine(m);
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->currentRow(), 1);

    f.window->getMachine(m);
    QCOMPARE(list->count(), 2);
    QVERIFY(f.messageBox("Error"));
    QCOMPARE(f.messageBox("Error")->text(),
        QStringLiteral("Machine with that name already exists. Please rename."));

    m.name.clear();
    f.window->getMachine(m);
    QCOMPARE(list->count(), 2);

    // Editing keeps the position; renaming onto another engraver is refused.
    list->setCurrentRow(0);
    dialog->setActionType(1);
    m.name = "laser";
    m.addr = QHostAddress("10.0.0.9");
    f.window->getMachine(m);
    QCOMPARE(list->item(0)->text(), QStringLiteral("laser"));
    QCOMPARE(list->currentRow(), 0);
    m.name = "Laser";
    f.window->getMachine(m);
    QCOMPARE(list->item(0)->text(), QStringLiteral("laser"));

    const QByteArray written = f.closeAndRead();
    QVERIFY(written.contains("<Machine name=\"laser\" addr=\"10.0.0.9\" type=\"0\"/>"));
    QVERIFY(written.contains("<Machine name=\"Laser\" addr=\"10.0.0.3\" type=\"0\"/>"));
}

void tst_MainWindow::noEngraverSelectedRefusesToSend()
{
    WindowFixture f;
    f.open();
    auto *print = f.child<QPushButton>("pushButton");
    print->setEnabled(true);
    QTest::mouseClick(print, Qt::LeftButton);
    // Nothing was rendered, so the user is asked first whether to send an
    // empty page at all; "No" sends nothing and says nothing more.
    QMessageBox *empty = f.messageBox("Empty Page");
    QVERIFY(empty);
    QVERIFY(empty->text().contains("empty"));
    QTest::mouseClick(empty->button(QMessageBox::No), Qt::LeftButton);
    QVERIFY(!f.messageBox("Connection Error"));

    QTest::mouseClick(print, Qt::LeftButton);
    QTRY_VERIFY(f.messageBox("Empty Page"));
    QTest::mouseClick(f.messageBox("Empty Page")->button(QMessageBox::Yes), Qt::LeftButton);
    QMessageBox *box = f.messageBox("Connection Error");
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("No Engraver Selected!"));
}

void tst_MainWindow::settingsAreNormalised()
{
    WindowFixture f;
    f.open();
    vexlorSettings s;
    s.settings.insert("rasterSpeed", "30");
    s.settings.insert("CustomrasterSpeed", "70");
    s.settings.insert("cResolution", "300");
    s.settings.insert("materialThickness", "3.174999952316");
    f.feedJob(s);
    const QMap<QString, QString> &got = f.window->jobSettings().settings;
    QCOMPARE(got.value("CustomrasterSpeed"), QStringLiteral("30"));
    QVERIFY(!got.contains("rasterSpeed"));
    QCOMPARE(got.value("CustomcResolution"), QStringLiteral("300"));
    QCOMPARE(got.value("CustommaterialThickness"), QStringLiteral("3.174999952316"));
    QCOMPARE(got.value("Title"), QStringLiteral("Untitled"));
    QCOMPARE(f.window->jobResolution(), 300);
    QCOMPARE(f.child<QLabel>("jobLabel")->text(), QStringLiteral("Untitled"));

    vexlorSettings titled;
    titled.settings.insert("Title", "");
    // The first job ends when the option processor finds no options file;
    // the next one then starts at once.
    QTRY_VERIFY(!f.window->isBusy());
    f.feedJob(titled);
    QCOMPARE(f.window->jobSettings().settings.value("Title", "absent"), QString());
}

static QStringList valueColumn(QTreeWidget *tree)
{
    QStringList values;
    for (int top = 0; top < tree->topLevelItemCount(); ++top) {
        for (int i = 0; i < tree->topLevelItem(top)->childCount(); ++i)
            values << tree->topLevelItem(top)->child(i)->text(1);
    }
    return values;
}

void tst_MainWindow::settingsTableShowsDefaults()
{
    WindowFixture f;
    f.open();
    f.feedJob(vexlorSettings());
    QCOMPARE(valueColumn(f.child<QTreeWidget>("settingsTree")),
        QStringList({ "600", "Combined", "None", "No", "N/A", "N/A", "50", "50", "top", "Standard", "50",
            "50", "50", "none", "No", "No" }));
}

void tst_MainWindow::settingsTableShowsThickness()
{
    WindowFixture f;
    f.open();
    vexlorSettings s;
    s.settings.insert("autoFocus", "enabled");
    s.settings.insert("materialThickness", "1.5");
    s.settings.insert("vectorGrid", "enabled");
    s.settings.insert("vectorSpeedComp", "enabled");
    f.feedJob(s);
    const QStringList values = valueColumn(f.child<QTreeWidget>("settingsTree"));
    QCOMPARE(values.mid(3, 3), QStringList({ "Yes", "Yes", "1.500" }));
    QCOMPARE(values.at(14), QStringLiteral("Yes"));
}

void tst_MainWindow::pageCountIsShownWithTheJob()
{
    WindowFixture f;
    f.open();
    auto *notice = f.child<QLabel>("jobNoticeLabel");
    vexlorSettings one;
    one.settings.insert("PageCount", "1");
    f.feedJob(one);
    QVERIFY(!notice->isVisibleTo(f.window.get()));

    QTRY_VERIFY(!f.window->isBusy());
    vexlorSettings three;
    three.settings.insert("PageCount", "3");
    f.feedJob(three);
    QVERIFY(notice->isVisibleTo(f.window.get()));
    QCOMPARE(notice->text(), QStringLiteral("The document has 3 pages; only page 1 is engraved."));
    QCOMPARE(f.window->jobs().last().notices, QStringList { notice->text() });
}

void tst_MainWindow::rulersAt600Dpi()
{
    WindowFixture f;
    f.open();
    f.window->gsResolution(600);
    f.window->drawRulers(40, 28, MainWindow::Inches);
    QGraphicsScene *scene = f.child<QGraphicsView>("graphicsView")->scene();
    QList<double> topTicks;
    QList<double> leftTicks;
    QStringList topLabels;
    int leftLabels = 0;
    for (QGraphicsItem *item : scene->items()) {
        if (auto *line = qgraphicsitem_cast<QGraphicsLineItem *>(item)) {
            const QLineF l = line->line();
            if (l.x1() == l.x2() && l.y1() == 0 && l.y2() < 0)
                topTicks << l.x1();
            else if (l.y1() == l.y2() && l.x1() == 0 && l.x2() < 0)
                leftTicks << l.y1();
        } else if (auto *text = qgraphicsitem_cast<QGraphicsSimpleTextItem *>(item)) {
            if (text->rotation() == 0)
                topLabels << text->text();
            else
                ++leftLabels;
        }
    }
    std::sort(topTicks.begin(), topTicks.end());
    QCOMPARE(topTicks.size(), 160);
    QCOMPARE(topTicks.first(), 0.0);
    QCOMPARE(topTicks.at(1), 150.0);
    QCOMPARE(leftTicks.size(), 112);
    QCOMPARE(topLabels.size(), 40);
    QVERIFY(topLabels.contains("39"));
    QCOMPARE(leftLabels, 28);
}

void tst_MainWindow::strokeWidthControls_data()
{
    QTest::addColumn<QList<double>>("widths");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::newRow("three strokes") << QList<double> { 12.0, 12.0, 24.0 } << "1.45" << 388 << 145;
    QTest::newRow("no strokes") << QList<double> {} << "0.01" << 100 << 1;
}

void tst_MainWindow::strokeWidthControls()
{
    QFETCH(QList<double>, widths);
    QFETCH(QString, text);
    QFETCH(int, maximum);
    QFETCH(int, value);
    WindowFixture f;
    f.open();
    f.window->gsResolution(600);
    f.window->getWidthList(Vexlor::WidthList(widths));
    QCOMPARE(f.child<QLineEdit>("widthTextBox")->text(), text);
    QCOMPARE(f.child<QSlider>("widthSlider")->maximum(), maximum);
    QCOMPARE(f.child<QSlider>("widthSlider")->value(), value);
    QCOMPARE(f.child<QLabel>("minStrokeWidth")->text(), QStringLiteral("Min Stroke: ") + text);
}

void tst_MainWindow::ditheringTypeFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type");
    QTest::newRow("floyd") << "floyd" << 3;
    QTest::newRow("stucki") << "stucki" << 5;
    QTest::newRow("none named") << "standard" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("two names") << "brighten lowres" << 3;
}

void tst_MainWindow::ditheringTypeFromText()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    WindowFixture f;
    f.open();
    f.window->reciveDitheringType(text);
    QCOMPARE(f.window->ditheringType(), type);
}

static Vexlor::LaserItemList boundsItems()
{
    Vexlor::LaserItemList items;
    LaserOp::LaserOp fill;
    fill.type = LaserOp::EngravedPath;
    fill.path.addRect(100, 100, 50, 50);
    fill.pen = QPen(Qt::NoPen);
    items << fill;
    LaserOp::LaserOp stroke;
    stroke.type = LaserOp::CutLine;
    stroke.path.moveTo(1000, 1000);
    stroke.path.lineTo(1100, 1000);
    stroke.pen = QPen(Qt::black, 2);
    stroke.brush = Qt::NoBrush;
    items << stroke;
    LaserOp::LaserOp image;
    image.type = LaserOp::Image;
    QImage picture(20, 10, QImage::Format_ARGB32);
    picture.fill(Qt::gray);
    image.pixmap = QPixmap::fromImage(picture);
    image.transform = QTransform::fromTranslate(2000, 500);
    items << image;
    LaserOp::LaserOp hidden;
    hidden.type = LaserOp::Hidden;
    hidden.path.addRect(5000, 5000, 10, 10);
    items << hidden;
    return items;
}

void tst_MainWindow::jobBoundsFollowJobType_data()
{
    QTest::addColumn<QString>("jobType");
    QTest::addColumn<QRect>("bounds");
    QTest::addColumn<QRect>("rasterBounds");
    // A stroke of width 2 grows by 2 on every side; an image counts with its
    // rectangle mapped through its transform; hidden items never count. The
    // final raster picture takes the fill and the picture, but nothing of a
    // vector job.
    QTest::newRow("combo") << "combo" << QRect(100, 100, 1920, 902) << QRect(100, 100, 1920, 410);
    QTest::newRow("vector") << "vector" << QRect(100, 100, 1002, 902) << QRect();
    QTest::newRow("raster") << "raster" << QRect(2000, 500, 20, 10) << QRect(100, 100, 1920, 410);
}

void tst_MainWindow::jobBoundsFollowJobType()
{
    QFETCH(QString, jobType);
    QFETCH(QRect, bounds);
    QFETCH(QRect, rasterBounds);
    Vexlor::LaserItemList kept;
    bool outOfRange = false;
    QRect raster(1, 2, 3, 4);
    QCOMPARE(MainWindow::computeJobBounds(boundsItems(), jobType, &kept, &outOfRange, &raster), bounds);
    QCOMPARE(raster, rasterBounds);
    QCOMPARE(kept.size(), boundsItems().size());
    QVERIFY(!outOfRange);
}

void tst_MainWindow::hugeCoordinatesAreLeftOut()
{
    // Coordinates no engraver job can carry would wrap its integers: such an
    // item is left out and reported like an item off the table.
    Vexlor::LaserItemList items = boundsItems();
    LaserOp::LaserOp far;
    far.type = LaserOp::EngravedPath;
    far.path.addRect(3e9, 3e9, 10, 10);
    far.pen = QPen(Qt::NoPen);
    items.insert(1, far);
    LaserOp::LaserOp huge;
    huge.type = LaserOp::Image;
    QImage picture(4, 4, QImage::Format_ARGB32);
    picture.fill(Qt::black);
    huge.pixmap = QPixmap::fromImage(picture);
    huge.transform = QTransform::fromScale(1e12, 1e12);
    items.append(huge);

    Vexlor::LaserItemList kept;
    bool outOfRange = false;
    QCOMPARE(MainWindow::computeJobBounds(items, "combo", &kept, &outOfRange), QRect(100, 100, 1920, 902));
    QVERIFY(outOfRange);
    QCOMPARE(kept.size(), 4);
    for (const LaserOp::LaserOp &item : kept)
        QVERIFY(item.path.boundingRect().left() < 1e6);
}

void tst_MainWindow::itemsOffTheTableWarn()
{
    WindowFixture f;
    f.open();
    f.window->itemOutOfBounds();
    QMessageBox *box = f.messageBox("Item Out Of Bounds");
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Grapical items were outside of the engravable area and removed"));
}

void tst_MainWindow::droppedJobIsReported()
{
    WindowFixture f;
    f.open();
    // The spool folder is open to other users, so the listener refuses to
    // write the job into it; the user must hear of it.
    QFile::setPermissions(f.dir.filePath("spool"), QFile::Permissions(0x7777));
    // The listener opens the port on its own thread shortly after start-up.
    QTcpSocket sender;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&sender]() {
            sender.abort();
            sender.connectToHost(QHostAddress::LocalHost, 55000);
            return sender.waitForConnected(1000);
        }(),
        10000);
    sender.write("%!PS\n%%Title: (Lost)\nshowpage\n%%EOF\n");
    QVERIFY(sender.waitForBytesWritten(5000));
    QTRY_VERIFY_WITH_TIMEOUT(f.messageBox("PrintListener"), 10000);
    QVERIFY(f.messageBox("PrintListener")->text().contains("the job is dropped"));
    QCOMPARE(f.window->jobStage(), 0);
}

void tst_MainWindow::missingGhostscriptEndsTheJob()
{
    WindowFixture f;
    f.open();
    QFile spool(f.dir.filePath("spool/job.ps"));
    QVERIFY(spool.open(QIODevice::WriteOnly));
    spool.write("%!PS-Adobe-3.0\n%%Title: Missing\nshowpage\n%%EOF\n");
    spool.close();
    f.window->newJobRecived(spool.fileName());
    auto visibleProgress = [&f]() {
        for (QProgressDialog *dialog : f.window->findChildren<QProgressDialog *>()) {
            if (dialog->isVisible())
                return true;
        }
        return false;
    };
    QVERIFY(visibleProgress());
    f.window->gsLauncher({ "-dBATCH", "job.ps" });
    QTRY_VERIFY(f.messageBox("Job Failed"));
    QVERIFY(f.messageBox("Job Failed")->text().contains("no-such-gs"));
    // The window is usable again: no modal progress dialog is left open.
    QTRY_VERIFY(!visibleProgress());
}

void tst_MainWindow::resultsOfAnEarlierJobAreDropped()
{
    WindowFixture f;
    f.writeSettings(
        "<ListStart default=\"0\"><Machine name=\"A\" addr=\"127.0.0.1\" type=\"0\"/></ListStart>");
    f.open();
    // A new job has just arrived, with direct print on; the previous job's
    // renderer and generator still deliver their results.
    vexlorSettings s;
    s.settings.insert("directPrint", "enabled");
    f.feedJob(s);
    QSignalSpy prep(f.window.get(), SIGNAL(finishedPrep()));
    QSignalSpy generate(f.window.get(), SIGNAL(startPCLProc()));

    QImage picture(10, 10, QImage::Format_RGB32);
    picture.fill(Qt::black);
    Vexlor::SceneTile tiles;
    tiles.append(qMakePair(QRect(0, 0, 10, 10), QPixmap::fromImage(picture)));
    f.window->getSceneTiles(tiles);
    f.window->reciveDitheredTiles(tiles);
    f.window->getPCL(QByteArray("old job"));

    QCOMPARE(prep.count(), 0);
    QCOMPARE(generate.count(), 0);
    QVERIFY(f.window->jobBytes().isEmpty());
    QVERIFY(!QFile::exists(f.dir.filePath("gs/out.prn")));
    QCOMPARE(f.window->jobSettings().settings.value("directPrint"), QStringLiteral("enabled"));
    QVERIFY(!f.messageBox("Socket Error"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
