// The sender and the virtual engraver on the LPD port itself, the way the
// application talks to a real engraver. Skipped when the port is taken.

#include "enginefixture.h"
#include "vexlorsocket.h"

#include <QThread>
#include <QtTest>

class tst_engraverPort515 : public QObject
{
    Q_OBJECT

private slots:
    void jobOnPort515();
};

void tst_engraverPort515::jobOnPort515()
{
    engineFixture engraver;
    engraver.options.port = 515;
    engraver.options.decode = false;
    if (!engraver.start())
        QSKIP("port 515 cannot be used here");

    const QByteArray job = QByteArray("\x1b%-12345X@PJL JOB NAME=Port\r\n") + QByteArray(4096, '\0');
    QThread thread;
    auto *sender = new vexlorSocket(QHostAddress(QHostAddress::LocalHost), 515, job, QStringLiteral("Port"));
    QSignalSpy finished(sender, SIGNAL(finished()));
    QSignalSpy errors(sender, SIGNAL(error(QString)));
    connect(&thread, SIGNAL(started()), sender, SLOT(start()));
    connect(sender, SIGNAL(finished()), &thread, SLOT(quit()));
    sender->moveToThread(&thread);
    thread.start();
    // The engraver runs on this thread: keep its events going while waiting.
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 60000);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(errors.count(), 0);
    delete sender;

    QCOMPARE(engraver.stored->count(), 1);
    QCOMPARE(
        engineFixture::readFile(engraver.stored->at(0).at(0).toString() + QStringLiteral("/job.prn")), job);
}

QTEST_GUILESS_MAIN(tst_engraverPort515)
#include "tst_engraver_port515.moc"
