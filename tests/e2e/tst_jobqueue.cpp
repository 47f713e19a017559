// Several jobs through the real window, the real queue backend, vexlor-gs and
// the virtual engraver, direct print on: jobs that arrive while another is
// worked on wait their turn and reach the engraver with their own content;
// Cancel and the Ghostscript time limit stop a job without leaving an
// interpreter behind; empty pages and an unsafe working folder are refused
// with a message.
#include "e2ehelpers.h"
#include "jobdecoder.h"
#include "mainwindow.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

// Five small jobs that differ in what and where they draw.
QByteArray smallJob(int n)
{
    switch (n) {
    case 0:
        return "0 setgray 72 72 144 72 rectfill\n";
    case 1:
        return "0.5 setgray 200 300 100 150 rectfill\n";
    case 2:
        return "0 setgray 2 setlinewidth 72 500 moveto 400 600 lineto stroke\n";
    case 3:
        return "0 setgray newpath 300 300 80 0 360 arc fill\n";
    default:
        return "0.3 setgray 50 50 moveto 250 50 lineto 150 250 lineto closepath fill\n"
               "0 setgray 0.5 setlinewidth 50 400 moveto 300 450 lineto stroke\n";
    }
}

// A job that keeps each stage of the window busy for a while: Ghostscript
// counts for a moment before it draws, and a page full of grey shapes at a
// high resolution takes a while to read, render, dither and encode.
QByteArray heavyJob()
{
    QByteArray body = "0 1 60000000 { pop } for\n";
    for (int i = 0; i < 600; ++i)
        body += QByteArray::number(0.1 + (i % 9) / 10.0) + " setgray "
            + QByteArray::number(20 + (i % 25) * 23) + " " + QByteArray::number(20 + (i / 25) * 30)
            + " 20 26 rectfill\n";
    // Many grey circles, stroked: each stage after Ghostscript (reading the
    // scene, the preview, the final picture) has its items to work through,
    // long enough for a second job to arrive during it.
    body += "1.2 setlinewidth\n";
    for (int i = 0; i < 12000; ++i)
        body += QByteArray::number(0.2 + (i % 7) / 10.0) + " setgray newpath "
            + QByteArray::number(30 + (i * 37) % 550) + " " + QByteArray::number(30 + (i * 53) % 730) + " "
            + QByteArray::number(8 + i % 23) + " 0 360 arc stroke\n";
    return body;
}

QByteArray pjlTitle(const QByteArray &job)
{
    const int start = job.indexOf("@PJL JOB NAME=");
    if (start < 0)
        return QByteArray();
    const int end = job.indexOf("\r\n", start);
    return job.mid(start + 14, end - start - 14);
}

} // namespace

class tst_JobQueue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void burstOfFiveJobsEngravedAsAlone();
    void secondJobDuringEachStage_data();
    void secondJobDuringEachStage();
    void cancelAtEachStage_data();
    void cancelAtEachStage();
    void cancelWhileSending();
    void endlessPostScriptHitsTimeLimit();
    void applicationEndedDuringGhostscript();
    void blankPageIsNotSent();
    void ghostscriptErrorLineComesFirst();
    void symlinkedWorkingFolderIsRefused();
    void jobListReopensAndRemoves();
    void partsNotDrawnAreShownWithTheJob();
    void pageCountIsShownWithTheJob();
    void settingsChangedDuringFinalRendering();

private:
    void openWindow(const QStringList &engraverArguments = {}, const QString &gsProgram = QString());
    QString filtered(const QByteArray &body, const QByteArray &title, const QStringList &options);
    bool send(const QStringList &filteredFiles);
    QByteArray alone(int n);
    QByteArray sendAlone(int n);
    QList<qint64> interpreters() const;
    QProgressDialog *progressDialog() const;
    QMessageBox *messageBox(const QString &title) const;
    const JobRecord *jobTitled(const QString &title) const;

    QByteArray m_marker;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<VirtualEngraver> m_engraver;
    std::unique_ptr<MainWindow> m_window;
    QMap<int, QByteArray> m_alone;
    QMap<int, QString> m_smallFiles;
    QString m_referenceDir;
};

void tst_JobQueue::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY(QFileInfo::exists(binary("vexlor-gs")));
    QVERIFY(QFileInfo::exists(binary("vexlor")));
    QVERIFY(QFileInfo::exists(binary("VexlorApp")));
    // Every process this test starts, and whatever they start, carries this
    // mark, so that a stray interpreter can be found even when orphaned.
    m_marker = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    qputenv("VEXLOR_QUEUE_TEST_MARK", m_marker);
    qputenv("VEXLOR_LPD_ACK_TIMEOUT_MS", "10000");
}

void tst_JobQueue::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    qunsetenv("VEXLOR_GS_TIME_LIMIT");
}

void tst_JobQueue::cleanup()
{
    m_window.reset();
    m_engraver.reset();
    m_work.reset();
    QTRY_VERIFY_WITH_TIMEOUT(interpreters().isEmpty(), 10000);
}

void tst_JobQueue::openWindow(const QStringList &engraverArguments, const QString &gsProgram)
{
    m_engraver = std::make_unique<VirtualEngraver>(engraverArguments);
    QVERIFY(m_engraver->isListening());
    const QString support = writeEngraverList(m_work->path());
    QVERIFY(!support.isEmpty());
    qputenv("VEXLOR_ENGRAVER_PORT", QByteArray::number(m_engraver->port()));
    for (const char *dir : { "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp" })
        QVERIFY(Vexlor::makePrivateDir(dir));
    m_window = std::make_unique<MainWindow>(gsProgram.isEmpty() ? binary("vexlor-gs") : gsProgram,
        "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp", support);
    m_window->show();
}

QString tst_JobQueue::filtered(const QByteArray &body, const QByteArray &title, const QStringList &options)
{
    static int serial = 0;
    const QString name = QStringLiteral("job%1.ps").arg(++serial);
    const QString dir = m_referenceDir.isEmpty() ? m_work->path() : m_referenceDir;
    return filterForQueue(writePostScript(dir, name, body, title), options, dir);
}

bool tst_JobQueue::send(const QStringList &filteredFiles)
{
    QList<QProcess *> backends;
    for (const QString &file : filteredFiles)
        backends << startBackend(file, QFileInfo(file).fileName(), this);
    const bool ok = waitForBackends(backends);
    qDeleteAll(backends);
    return ok;
}

// What the engraver receives for small job n when it is the only job.
QByteArray tst_JobQueue::alone(int n)
{
    if (!m_alone.contains(n))
        m_alone.insert(n, sendAlone(n));
    return m_alone.value(n);
}

QByteArray tst_JobQueue::sendAlone(int n)
{
    const QStringList options { "cResolution=75", "directPrint=enabled" };
    const QString file = filtered(smallJob(n), "Small " + QByteArray::number(n), options);
    const int before = m_engraver->jobs().size();
    if (!send({ file }))
        return QByteArray();
    const bool done = QTest::qWaitFor(
        [&]() { return m_engraver->jobs().size() == before + 1 && !m_window->isBusy(); }, 60000);
    if (!done)
        return QByteArray();
    return m_engraver->jobData(m_engraver->jobs().last());
}

QList<qint64> tst_JobQueue::interpreters() const
{
    QList<qint64> found;
    const QByteArray mark = "VEXLOR_QUEUE_TEST_MARK=" + m_marker;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile comm("/proc/" + entry + "/comm");
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        const QByteArray name = comm.readAll().trimmed();
        if (name != "gs" && name != "vexlor-gs")
            continue;
        QFile environ("/proc/" + entry + "/environ");
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(mark))
            found << pid;
    }
    return found;
}

QProgressDialog *tst_JobQueue::progressDialog() const
{
    for (QProgressDialog *dialog : m_window->findChildren<QProgressDialog *>()) {
        if (dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

QMessageBox *tst_JobQueue::messageBox(const QString &title) const
{
    for (QMessageBox *box : m_window->findChildren<QMessageBox *>()) {
        if (box->windowTitle() == title && box->isVisible())
            return box;
    }
    return nullptr;
}

// The newest job of that title: a job sent alone for reference earlier in the
// same window may bear the same title.
const JobRecord *tst_JobQueue::jobTitled(const QString &title) const
{
    const QVector<JobRecord> &jobs = m_window->jobs();
    for (auto it = jobs.crbegin(); it != jobs.crend(); ++it) {
        if (it->title == title)
            return &*it;
    }
    return nullptr;
}

void tst_JobQueue::burstOfFiveJobsEngravedAsAlone()
{
    openWindow();
    QList<QByteArray> references;
    for (int n = 0; n < 5; ++n) {
        references << alone(n);
        QVERIFY2(!references.last().isEmpty(), qPrintable(QString("job %1 alone").arg(n)));
    }
    // Five different jobs give five different engraver jobs.
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            QVERIFY(references.at(a) != references.at(b));

    QStringList files;
    for (int n = 0; n < 5; ++n)
        files << filtered(
            smallJob(n), "Small " + QByteArray::number(n), { "cResolution=75", "directPrint=enabled" });
    const int before = m_engraver->jobs().size();
    // All five backends are started at once; each returns when the window
    // has taken its job.
    QVERIFY(send(files));

    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 5, 120000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isBusy(), 20000);
    QSet<QByteArray> titles;
    for (const QString &job : m_engraver->jobs().mid(before)) {
        const QByteArray data = m_engraver->jobData(job);
        const QByteArray title = pjlTitle(data);
        titles << title;
        const int n = title.mid(6).toInt();
        QVERIFY2(data == references.at(n), title.constData());
    }
    QCOMPARE(titles.size(), 5);
    // All ten jobs of this run are listed as sent.
    QCOMPARE(m_window->jobs().size(), 10);
    for (const JobRecord &record : m_window->jobs())
        QCOMPARE(JobRecord::stateText(record.state), QStringLiteral("sent"));
}

void tst_JobQueue::secondJobDuringEachStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<bool>("sending");
    QTest::newRow("ghostscript") << 3 << false;
    QTest::newRow("scene and preview") << 4 << false;
    QTest::newRow("final rendering and generation") << 5 << false;
    QTest::newRow("sending") << 6 << true;
}

void tst_JobQueue::secondJobDuringEachStage()
{
    QFETCH(int, stage);
    QFETCH(bool, sending);
    // A slow engraver keeps the first job in its sending stage for a while.
    openWindow(sending ? QStringList { "--accept-delay", "3000" } : QStringList());
    const QByteArray second = alone(1);
    QVERIFY(!second.isEmpty());
    const int before = m_engraver->jobs().size();

    const QString heavy = filtered(heavyJob(), "Heavy", { "cResolution=300", "directPrint=enabled" });
    const QString small = filtered(smallJob(1), "Small 1", { "cResolution=75", "directPrint=enabled" });
    QVERIFY(send({ heavy }));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Heavy"), 20000);
    if (sending)
        QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Heavy")->state == JobRecord::Sending, 120000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(m_window->jobStage() == stage, 120000);

    // Its title is known once it is parsed; a job of the same title sent
    // alone before must not be taken for it.
    const int listed = m_window->jobs().size();
    QVERIFY(send({ small }));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobs().size() == listed + 1 && m_window->jobs().last().parsed, 20000);
    QCOMPARE(m_window->jobs().last().title, QStringLiteral("Small 1"));
    // The second job arrived while the first was still in that stage.
    QCOMPARE(jobTitled("Small 1")->state, JobRecord::Waiting);
    QCOMPARE(jobTitled("Heavy")->state, sending ? JobRecord::Sending : JobRecord::Processing);
    if (!sending)
        QCOMPARE(m_window->jobStage(), stage);

    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 2, 180000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isBusy(), 20000);
    const QByteArray first = m_engraver->jobData(m_engraver->jobs().at(before));
    const QByteArray last = m_engraver->jobData(m_engraver->jobs().at(before + 1));
    // In order of arrival, each with its own content: the heavy job's grey
    // shapes are raster rows, the second job is what it gives alone.
    QCOMPARE(pjlTitle(first), QByteArray("Heavy"));
    JobDecoder::DecodedJob decoded;
    QVERIFY(JobDecoder::decodeJob(first, &decoded));
    QCOMPARE(decoded.settings.unitsPerInch, std::optional<int>(300));
    QVERIFY(!decoded.bitmap.isNull());
    // 600 shapes of 20 by 26 points, dithered: a good part of them is ink.
    qint64 ink = 0;
    for (int y = 0; y < decoded.bitmap.height(); y += 2)
        for (int x = 0; x < decoded.bitmap.width(); x += 2)
            ink += decoded.bitmap.pixelIndex(x, y);
    QVERIFY2(ink > 600 * 20 * 26 * 4 / 4 / 10, qPrintable(QString::number(ink)));
    QCOMPARE(last, second);
    // out.prn holds the last job, the one on show.
    QFile out("/tmp/GSTemp/out.prn");
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), second);
}

void tst_JobQueue::cancelAtEachStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::newRow("ghostscript") << 3;
    QTest::newRow("scene and preview") << 4;
    QTest::newRow("final rendering and generation") << 5;
}

void tst_JobQueue::cancelAtEachStage()
{
    QFETCH(int, stage);
    openWindow();
    const QByteArray second = alone(2);
    QVERIFY(!second.isEmpty());
    const int before = m_engraver->jobs().size();

    QVERIFY(send({ filtered(heavyJob(), "Heavy", { "cResolution=300", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobStage() == stage, 120000);
    if (stage == 3) {
        QTRY_VERIFY_WITH_TIMEOUT(!interpreters().isEmpty() || m_window->jobStage() != 3, 60000);
        QVERIFY2(!interpreters().isEmpty(),
            qPrintable(QStringLiteral("no interpreter seen; the job went on to stage %1").arg(m_window->jobStage())));
    }
    QProgressDialog *dialog = progressDialog();
    QVERIFY(dialog);
    // The job list and the rest of the window stay usable meanwhile.
    QVERIFY(!dialog->isModal());
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(m_window->findChild<QWidget *>("jobList")->isEnabled());
    QPushButton *cancel = dialog->findChild<QPushButton *>();
    QVERIFY(cancel);
    QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
    QTest::mouseClick(cancel, Qt::LeftButton);

    QCOMPARE(jobTitled("Heavy")->state, JobRecord::Cancelled);
    QVERIFY(!m_window->isBusy());
    QTRY_VERIFY(!progressDialog());
    // Ghostscript and the interpreter it started are gone.
    QTRY_VERIFY_WITH_TIMEOUT(interpreters().isEmpty(), 5000);

    // The next job goes through on its own, and nothing of the cancelled one
    // reaches the engraver or out.prn.
    QVERIFY(send({ filtered(smallJob(2), "Small 2", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 1, 120000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isBusy(), 20000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().last()), second);
    QCOMPARE(m_window->jobBytes(), second);
    QFile out("/tmp/GSTemp/out.prn");
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), second);
    QCOMPARE(jobTitled("Heavy")->state, JobRecord::Cancelled);
    QCOMPARE(m_engraver->jobs().size(), before + 1);
}

void tst_JobQueue::cancelWhileSending()
{
    // An engraver that lets each connection wait a few seconds before it
    // answers keeps a job in its sending stage.
    openWindow({ "--accept-delay", "3000" });
    const QByteArray second = alone(2);
    QVERIFY(!second.isEmpty());
    const int before = m_engraver->jobs().size();

    // Direct print: the progress dialog's Cancel stops the transmission, and
    // the job waiting behind it goes on.
    QVERIFY(send({ filtered(smallJob(0), "Stopped", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Stopped"), 20000);
    const int listed = m_window->jobs().size();
    QVERIFY(send({ filtered(smallJob(2), "Small 2", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobs().size() == listed + 1 && m_window->jobs().last().parsed, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Stopped")->state == JobRecord::Sending, 60000);
    // Connected, and waiting for the engraver's first answer.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->findChild<QLabel *>("sendStatusLabel")
            && m_window->findChild<QLabel *>("sendStatusLabel")->text() == "Sending information.",
        10000);
    QCOMPARE(jobTitled("Small 2")->state, JobRecord::Waiting);
    QProgressDialog *dialog = progressDialog();
    QVERIFY(dialog);
    QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    QCOMPARE(jobTitled("Stopped")->state, JobRecord::Cancelled);

    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Small 2")->state == JobRecord::Sent, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(m_engraver->log().contains("abort job"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 1, 10000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().last()), second);
    QCOMPARE(jobTitled("Stopped")->state, JobRecord::Cancelled);
    QVERIFY(!messageBox("Socket Error"));

    // Print: the sending panel's own Cancel stops it; Print again sends the
    // job whole.
    QVERIFY(send({ filtered(smallJob(4), "Later", { "cResolution=75" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Later") && jobTitled("Later")->state == JobRecord::Ready, 60000);
    QTRY_VERIFY(!m_window->findChild<QLabel *>("sendStatusLabel"));
    auto *print = m_window->findChild<QPushButton *>("pushButton");
    QTest::mouseClick(print, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->findChild<QLabel *>("sendStatusLabel")
            && m_window->findChild<QLabel *>("sendStatusLabel")->text() == "Sending information.",
        10000);
    QTest::mouseClick(m_window->findChild<QPushButton *>("cancelSendButton"), Qt::LeftButton);
    QCOMPARE(jobTitled("Later")->state, JobRecord::Cancelled);
    QTRY_VERIFY_WITH_TIMEOUT(m_engraver->log().count("abort job") == 2, 10000);
    QTRY_VERIFY(!m_window->findChild<QLabel *>("sendStatusLabel"));
    QCOMPARE(m_engraver->jobs().size(), before + 1);

    QVERIFY(print->isEnabled());
    QTest::mouseClick(print, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Later")->state == JobRecord::Sent, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 2, 10000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().last()), m_window->jobBytes());
    QCOMPARE(pjlTitle(m_window->jobBytes()), QByteArray("Later"));
    // Nothing of the two cancelled transmissions was stored, then or since.
    QStringList titles;
    for (const QString &stored : m_engraver->jobs().mid(before))
        titles << QString::fromLatin1(pjlTitle(m_engraver->jobData(stored)));
    QCOMPARE(titles, (QStringList { "Small 2", "Later" }));
}

void tst_JobQueue::endlessPostScriptHitsTimeLimit()
{
    qputenv("VEXLOR_GS_TIME_LIMIT", "2");
    openWindow();
    QVERIFY(send({ filtered("{ } loop\n", "Endless", { "cResolution=75", "directPrint=enabled" }),
        filtered(smallJob(3), "Small 3", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(messageBox("Job Failed"), 30000);
    QVERIFY(messageBox("Job Failed")->text().contains("did not finish the job within 2 seconds"));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Endless"), 5000);
    QCOMPARE(jobTitled("Endless")->state, JobRecord::Failed);
    QVERIFY(jobTitled("Endless")->reason.contains("VEXLOR_GS_TIME_LIMIT"));
    QTRY_VERIFY_WITH_TIMEOUT(interpreters().isEmpty(), 5000);
    // The job behind it is engraved.
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), 1, 60000);
    QCOMPARE(pjlTitle(m_engraver->jobData(m_engraver->jobs().first())), QByteArray("Small 3"));
}

void tst_JobQueue::applicationEndedDuringGhostscript()
{
    // The application as the user runs it, quit while Ghostscript works on a
    // page that never ends.
    const QString home = m_work->filePath("home");
    QDir().mkpath(home + "/Library/Vexlor");
    for (const char *dir : { "/tmp/PSLib", "/tmp/XMLLib", "/tmp/GSTemp" })
        QVERIFY(Vexlor::makePrivateDir(dir));
    ChildProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VEXLOR_GS", binary("vexlor-gs"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(binary("VexlorApp"), QStringList());
    QVERIFY(app.waitForStarted(10000));
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += app.readAll()).contains("PrintListener Started!"), 20000);

    // On a failure below, the application's own log tells where it stood.
    auto dumpLog = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "Application log:\n" << QString::fromLocal8Bit(log + app.readAll());
    });
    QVERIFY(printThroughQueue(writePostScript(m_work->path(), "endless.ps", "{ } loop\n", "Endless"),
                { "cResolution=75" }, m_work->path())
        == 0);
    // A loaded machine (the other tests run beside this one) can take a while
    // to start the interpreter; what matters is that quitting ends it.
    QTRY_VERIFY_WITH_TIMEOUT((log += app.readAll(), interpreters().size() >= 2), 60000);
    app.terminate();
    QVERIFY(app.waitForFinished(20000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QTRY_VERIFY_WITH_TIMEOUT(interpreters().isEmpty(), 10000);
}

void tst_JobQueue::blankPageIsNotSent()
{
    openWindow();
    auto *column = m_window->findChild<QLayout *>("rightLayout");
    const int panels = column->count();
    QVERIFY(send({ filtered("", "Blank", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Blank") && jobTitled("Blank")->state == JobRecord::Ready, 60000);
    // Direct print was skipped, with a message that says why.
    QVERIFY(messageBox("Empty Page"));
    QVERIFY(messageBox("Empty Page")->text().contains("empty"));
    QCOMPARE(column->count(), panels);
    QVERIFY(jobTitled("Blank")->reason.contains("Empty page"));

    // Print asks first; "No" sends nothing, "Yes" sends the job as it is.
    messageBox("Empty Page")->close();
    QTRY_VERIFY(!messageBox("Empty Page"));
    auto *print = m_window->findChild<QPushButton *>("pushButton");
    QVERIFY(print->isEnabled());
    QTest::mouseClick(print, Qt::LeftButton);
    QTRY_VERIFY(messageBox("Empty Page"));
    QTest::mouseClick(messageBox("Empty Page")->button(QMessageBox::No), Qt::LeftButton);
    QCOMPARE(column->count(), panels);
    QTest::mouseClick(print, Qt::LeftButton);
    QTRY_VERIFY(messageBox("Empty Page"));
    QTest::mouseClick(messageBox("Empty Page")->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), 1, 30000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().first()), m_window->jobBytes());
}

void tst_JobQueue::ghostscriptErrorLineComesFirst()
{
    openWindow();
    QVERIFY(send({ filtered("nosuchoperator\n", "Broken", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(messageBox("Job Failed"), 60000);
    const QString text = messageBox("Job Failed")->text();
    QVERIFY2(text.startsWith("Error: /undefined"), qPrintable(text));
    QVERIFY(text.contains("nosuchoperator"));
    QCOMPARE(jobTitled("Broken")->state, JobRecord::Failed);
    QVERIFY(m_engraver->jobs().isEmpty());
}

void tst_JobQueue::symlinkedWorkingFolderIsRefused()
{
    openWindow();
    // Someone replaced the folder by a link to a folder of their choosing.
    const QString target = m_work->filePath("elsewhere");
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QDir("/tmp/GSTemp").removeRecursively());
    QVERIFY(QFile::link(target, "/tmp/GSTemp"));
    QVERIFY(send({ filtered(smallJob(0), "Linked", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(messageBox("Job Failed"), 60000);
    QVERIFY(messageBox("Job Failed")->text().contains("Refusing to write"));
    QVERIFY(messageBox("Job Failed")->text().contains("/tmp/GSTemp"));
    QCOMPARE(jobTitled("Linked")->state, JobRecord::Failed);
    // Nothing was written through the link, and nothing was sent.
    QVERIFY(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    QVERIFY(m_engraver->jobs().isEmpty());
    QVERIFY(QFile::remove("/tmp/GSTemp"));
    QVERIFY(Vexlor::makePrivateDir("/tmp/GSTemp"));
}

void tst_JobQueue::jobListReopensAndRemoves()
{
    openWindow();
    const QByteArray first = sendAlone(0);
    const QByteArray second = sendAlone(4);
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    // The same job gives the same bytes in another window.
    if (m_alone.contains(0))
        QCOMPARE(first, m_alone.value(0));
    QCOMPARE(m_window->jobs().size(), 2);
    QCOMPARE(m_window->jobBytes(), second);

    // The settings dialog belongs to the job on show; opening another job
    // closes it.
    auto *edit = m_window->findChild<QPushButton *>("editSettingsButton");
    QVERIFY(edit->isEnabled());
    QTest::mouseClick(edit, Qt::LeftButton);
    QWidget *settings = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->windowTitle() == "Job Settings" && widget->isVisible())
            settings = widget;
    }
    QVERIFY(settings);

    // Opened again from its files, the first job shows its own content and
    // is not sent by itself; Print sends exactly what it gave the first time.
    const int firstId = m_window->jobs().first().id;
    QVERIFY(m_window->reopenJob(firstId));
    QVERIFY(!settings->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isBusy(), 60000);
    QCOMPARE(m_window->currentJobId(), firstId);
    QCOMPARE(m_window->jobBytes(), first);
    QCOMPARE(m_engraver->jobs().size(), 2);
    QCOMPARE(
        m_window->findChild<QLabel *>("statusLabel")->text().left(16), QStringLiteral("\"Small 0\" is rea"));
    QTest::mouseClick(m_window->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), 3, 30000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().last()), first);

    // Removed from the list, with its files.
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Small 0")->state == JobRecord::Sent, 30000);
    const JobRecord removed = *jobTitled("Small 4");
    QVERIFY(m_window->removeJob(removed.id));
    QCOMPARE(m_window->jobs().size(), 1);
    QVERIFY(!QFile::exists(removed.spoolFile));
    QVERIFY(!QFile::exists(removed.optionsFile));
}

void tst_JobQueue::partsNotDrawnAreShownWithTheJob()
{
    // Ghostscript's stand-in reports what it left out of the page.
    const QString wrapper = m_work->filePath("gs-wrapper.sh");
    QFile script(wrapper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho 'Not drawn: 2 shadings of type 6, 1 transparency group'\nexec '"
        + binary("vexlor-gs").toUtf8() + "' \"$@\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    openWindow({}, wrapper);
    const QByteArray reference = alone(3);
    QVERIFY(!reference.isEmpty());
    const int before = m_engraver->jobs().size();

    QVERIFY(send({ filtered(smallJob(3), "Small 3", { "cResolution=75", "directPrint=enabled" }) }));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobs().size() >= 1 && m_window->jobs().last().state == JobRecord::Sent
            && !m_window->isBusy(),
        60000);
    const QString notice = QStringLiteral("Not drawn: 2 shadings of type 6, 1 transparency group");
    QVERIFY(m_window->jobs().last().notices.contains(notice));
    auto *label = m_window->findChild<QLabel *>("jobNoticeLabel");
    QVERIFY(label->isVisibleTo(m_window.get()));
    QVERIFY(label->text().contains(notice));
    // What was drawn is engraved as it would be without the report.
    QTRY_COMPARE_WITH_TIMEOUT(m_engraver->jobs().size(), before + 1, 30000);
    QCOMPARE(m_engraver->jobData(m_engraver->jobs().last()), reference);
}

void tst_JobQueue::pageCountIsShownWithTheJob()
{
    openWindow();
    // Three pages: only the first is engraved, and the user is told so.
    const QString path = m_work->filePath("pages.ps");
    QFile ps(path);
    QVERIFY(ps.open(QIODevice::WriteOnly));
    ps.write("%!PS-Adobe-3.0\n%%Title: Pages\n%%BoundingBox: 0 0 612 792\n%%Pages: 3\n%%EndComments\n");
    for (int page = 1; page <= 3; ++page)
        ps.write("%%Page: " + QByteArray::number(page) + " " + QByteArray::number(page) + "\n0 setgray "
            + QByteArray::number(72 * page) + " 72 72 72 rectfill\nshowpage\n");
    ps.write("%%EOF\n");
    ps.close();
    QVERIFY(send({ filterForQueue(path, { "cResolution=75", "directPrint=enabled" }, m_work->path()) }));
    QTRY_VERIFY_WITH_TIMEOUT(jobTitled("Pages") && jobTitled("Pages")->state == JobRecord::Sent, 60000);
    const QString notice = QStringLiteral("The document has 3 pages; only page 1 is engraved.");
    QCOMPARE(jobTitled("Pages")->notices, QStringList { notice });
    QCOMPARE(m_window->findChild<QLabel *>("jobNoticeLabel")->text(), notice);
}

void tst_JobQueue::settingsChangedDuringFinalRendering()
{
    openWindow();
    QVERIFY(send({ filtered(heavyJob(), "Heavy", { "cResolution=300", "rasterPower=50" }) }));
    // The preview is in and the final rendering of the first run is under way.
    auto *edit = m_window->findChild<QPushButton *>("editSettingsButton");
    QTRY_VERIFY_WITH_TIMEOUT(m_window->jobStage() == 5 && edit->isEnabled(), 120000);
    QVERIFY(m_window->isBusy());
    QTest::mouseClick(edit, Qt::LeftButton);
    QDialog *dialog = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->windowTitle() == "Job Settings" && widget->isVisible())
            dialog = qobject_cast<QDialog *>(widget);
    }
    QVERIFY(dialog);
    auto *power = dialog->findChild<QLineEdit *>("rPowerTextBox");
    power->selectAll();
    QTest::keyClicks(power, "77");
    QTest::mouseClick(
        dialog->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Ok), Qt::LeftButton);

    // Only the second run's job is kept: out.prn and the job on show carry
    // the changed power and the heavy page.
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isBusy() && m_window->jobStage() == 6, 120000);
    JobDecoder::DecodedJob decoded;
    QVERIFY(JobDecoder::decodeJob(m_window->jobBytes(), &decoded));
    QCOMPARE(decoded.settings.rasterPower, std::optional<double>(77));
    QVERIFY(!decoded.bitmap.isNull());
    QFile out("/tmp/GSTemp/out.prn");
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), m_window->jobBytes());
    QCOMPARE(JobRecord::stateText(jobTitled("Heavy")->state), QStringLiteral("ready"));
    QVERIFY(m_engraver->jobs().isEmpty());
}

QTEST_MAIN(tst_JobQueue)
#include "tst_jobqueue.moc"
