// The job flow of the main window with its real workers, driven through its
// own widgets: printing a finished job again, engravers that fail, and
// quitting in the middle of a job.
#include "e2ehelpers.h"
#include "jobdecoder.h"
#include "largeimage.h"
#include "mainwindow.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QDir>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

#include <memory>

class tst_JobFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void printPressedTwiceSendsTwice();
    void silentEngraverIsReported();
    void unreachableEngraverIsReportedAtOnce();
    void quitWhileRendering();

private:
    void openWindow(int engraverPort);
    bool receiveJob(const QByteArray &body, const QStringList &options);
    QMessageBox *messageBox(const QString &title) const;

    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<MainWindow> m_window;
};

void tst_JobFlow::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY(QFileInfo::exists(binary("vexlor-gs")));
    QVERIFY(QFileInfo::exists(binary("vexlor")));
    qputenv("VEXLOR_LPD_ACK_TIMEOUT_MS", "3000");
    qputenv("VEXLOR_LPD_CONNECT_TIMEOUT_MS", "3000");
}

void tst_JobFlow::init()
{
    m_work = std::make_unique<QTemporaryDir>();
}

void tst_JobFlow::cleanup()
{
    m_window.reset();
    m_work.reset();
}

void tst_JobFlow::openWindow(int engraverPort)
{
    const QString support = writeEngraverList(m_work->path());
    QVERIFY(!support.isEmpty());
    qputenv("VEXLOR_ENGRAVER_PORT", QByteArray::number(engraverPort));
    for (const char *dir : { "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp" })
        QVERIFY(Vexlor::makePrivateDir(dir));
    m_window = std::make_unique<MainWindow>(
        binary("vexlor-gs"), "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp", support);
    m_window->show();
}

bool tst_JobFlow::receiveJob(const QByteArray &body, const QStringList &options)
{
    return printThroughQueue(writePostScript(m_work->path(), "job.ps", body, "Flow"), options, m_work->path())
        == 0;
}

QMessageBox *tst_JobFlow::messageBox(const QString &title) const
{
    for (QMessageBox *box : m_window->findChildren<QMessageBox *>()) {
        if (box->windowTitle() == title)
            return box;
    }
    return nullptr;
}

void tst_JobFlow::printPressedTwiceSendsTwice()
{
    VirtualEngraver engraver;
    QVERIFY(engraver.isListening());
    openWindow(engraver.port());
    QVERIFY(receiveJob("0 setgray 72 72 144 72 rectfill 1 setlinewidth 72 300 moveto 300 300 lineto stroke\n",
        { "cResolution=150" }));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->jobStage(), 6, 120000);
    // Memory set aside for the job's pictures is not held once it is written.
    QCOMPARE(Vexlor::reservedLargeMemory(), qint64(0));

    auto *print = m_window->findChild<QPushButton *>("pushButton");
    QVERIFY(print->isEnabled());

    // The view of the final job holds the dithered tiles once the job is
    // written, hidden until "Preview Final" is checked.
    auto *final = m_window->findChild<QPushButton *>("finalChkBx");
    QVERIFY(final && final->isCheckable());
    QVERIFY(final->isEnabled());
    auto *view = m_window->findChild<QGraphicsView *>("graphicsView");
    const auto visibleTiles = [view]() {
        int count = 0;
        for (QGraphicsItem *item : view->scene()->items()) {
            if (item->type() == QGraphicsPixmapItem::Type && item->isVisible())
                ++count;
        }
        return count;
    };
    const int previewTiles = visibleTiles();
    QVERIFY(previewTiles > 0);
    final->setChecked(true);
    QVERIFY(visibleTiles() > 0);
    QVERIFY(!view->scene()->items().isEmpty());
    final->setChecked(false);
    QCOMPARE(visibleTiles(), previewTiles);

    auto *column = m_window->findChild<QLayout *>("rightLayout");
    const int before = column->count();
    QTest::mouseClick(print, Qt::LeftButton);
    QTest::mouseClick(print, Qt::LeftButton);
    // Each transmission has its own status panel below "Preview Final".
    QCOMPARE(column->count(), before + 2);

    QTRY_COMPARE_WITH_TIMEOUT(engraver.jobs().size(), 2, 60000);
    for (const QString &job : engraver.jobs())
        QCOMPARE(engraver.jobData(job), m_window->jobBytes());
    // The panels go away when their transmissions end.
    QTRY_COMPARE_WITH_TIMEOUT(column->count(), before, 20000);
    QVERIFY(!messageBox("Socket Error"));
}

void tst_JobFlow::silentEngraverIsReported()
{
    VirtualEngraver engraver({ "--silent-at", "receive-job" });
    QVERIFY(engraver.isListening());
    openWindow(engraver.port());
    QVERIFY(receiveJob("0 setgray 72 72 144 72 rectfill\n", { "cResolution=75", "directPrint=enabled" }));
    QTRY_VERIFY_WITH_TIMEOUT(messageBox("Socket Error"), 120000);
    QCOMPARE(messageBox("Socket Error")->text(), QStringLiteral("Problem with LPD header"));
    QCOMPARE(m_window->jobStage(), 6);
    QVERIFY(m_window->findChild<QPushButton *>("pushButton")->isEnabled());
}

void tst_JobFlow::unreachableEngraverIsReportedAtOnce()
{
    // A port where nothing listens: taken from a server that is closed again.
    int freePort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    openWindow(freePort);
    QVERIFY(receiveJob("0 setgray 72 72 144 72 rectfill\n", { "cResolution=75" }));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->jobStage(), 6, 120000);
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(m_window->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(messageBox("Socket Error"), 10000);
    QCOMPARE(messageBox("Socket Error")->text(), QStringLiteral("Could not connect to engraver!"));
    QVERIFY(timer.elapsed() < 2900);
}

void tst_JobFlow::quitWhileRendering()
{
    VirtualEngraver engraver;
    QVERIFY(engraver.isListening());
    openWindow(engraver.port());
    QByteArray heavy = "0.5 setgray\n";
    for (int i = 0; i < 300; ++i)
        heavy += QByteArray::number(36 + (i % 20) * 27) + " " + QByteArray::number(36 + (i / 20) * 36)
            + " 20 30 rectfill\n";
    QVERIFY(receiveJob(heavy, { "cResolution=1200" }));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobStage() >= 4, 120000);

    QFile::remove(m_work->filePath("support/settings.xml"));
    m_window.reset();
    // The threads have ended and the engraver list was written on the way out.
    QFile list(m_work->filePath("support/settings.xml"));
    QVERIFY(list.open(QIODevice::ReadOnly));
    QVERIFY(list.readAll().contains("<Machine name=\"Virtual\" addr=\"127.0.0.1\" type=\"0\"/>"));
}

QTEST_MAIN(tst_JobFlow)
#include "tst_jobflow.moc"
