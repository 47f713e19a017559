// The LPD sender against the virtual engraver: what goes over the wire, every
// failure of the engraver, connections that fail, awkward job names, big jobs,
// and transfers stopped half-way.

#include "enginefixture.h"
#include "vexlorsocket.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QHostAddress loopback(QHostAddress::LocalHost);

// A small engraver job: header, settings, no raster, an empty vector block,
// the end of job and the tail of zeros.
QByteArray smallJob()
{
    QByteArray job("\x1b%-12345X@PJL JOB NAME=Untitled\r\n\x1b"
                   "E@PJL ENTER LANGUAGE=PCL \r\n"
                   "\x1b&y-1A\x1b&y0V\x1b&y0L\x1b&y0T\x1b&y0C\x1b&y0Z\x1b&l0U\x1b&l0Z\x1b&u600D\x1b*p0X"
                   "\x1b*p0Y\x1b*t600R\x1b*r0F\x1b&y50P\x1b&z50S\x1b&y50R\x1b&z2A\x1b*r-1T\x1b*r-1S\x1b*b2M"
                   "\x1b%1BIN;YP050;ZS050;XR050;XS0;XP1;LT;\x1b%0B\x1b%1BPU\x1b"
                   "E\x1b%-12345X@PJL EOJ \r\n");
    return job + QByteArray(4096, '\0');
}

// The five pieces the engraver receives from a good exchange, written out from
// the protocol: the receive-job command, the control file line, the control
// file with its zero byte, the data file line and the data.
QList<QByteArray> expectedPieces(const QByteArray &name, const QByteArray &job)
{
    const QByteArray host = QHostInfo::localHostName().toLocal8Bit();
    const QByteArray control = "H" + host + "\nPVexlorApp\nJ" + name + "\nldfA" + name + host + "\nUdfA"
        + name + host + "\nN" + name + "\n";
    return {
        QByteArray("\x02\n", 2),
        "\x02" + QByteArray::number(control.size()) + " cfA" + name + host + "\n",
        control + QByteArray(1, '\0'),
        "\x03" + QByteArray::number(job.size()) + " dfA" + name + host + "\n",
        job,
    };
}

QByteArray joined(const QList<QByteArray> &pieces, int count)
{
    QByteArray out;
    for (int i = 0; i < count && i < pieces.size(); ++i)
        out += pieces.at(i);
    return out;
}

// Takes the sender's reports on the test's thread, queued, as the window does.
class senderRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList events; // "info:...", "error:...", "finished" in order
    QStringList errors;
    QList<int> totals;
    qint64 written = 0;
    int finishedCount = 0;
    QList<bool> aborts; // wholeJobSent of every aborted()

public slots:
    void onInfo(const QString &text) { events << QStringLiteral("info:") + text; }
    void onError(const QString &text)
    {
        events << QStringLiteral("error:") + text;
        errors << text;
    }
    void onFinished()
    {
        events << QStringLiteral("finished");
        ++finishedCount;
    }
    void onAborted(bool wholeJobSent) { aborts << wholeJobSent; }
    void onTotal(int count) { totals << count; }
    void onWritten(int count) { written += count; }
};

// One transmission, set up like the window sets it up: the sender on a thread
// of its own, its signals connected by signature.
struct senderRun
{
    QThread thread;
    vexlorSocket *sender;
    senderRecorder recorder;

    senderRun(quint16 port, const QByteArray &job, const QString &name, int ackMs = 0, int connectMs = 0,
        const QHostAddress &address = loopback)
        : sender(new vexlorSocket(address, port, job, name))
    {
        if (ackMs > 0)
            sender->setAckTimeout(ackMs);
        if (connectMs > 0)
            sender->setConnectTimeout(connectMs);
        QObject::connect(&thread, SIGNAL(started()), sender, SLOT(start()));
        QObject::connect(sender, SIGNAL(finished()), &thread, SLOT(quit()));
        QObject::connect(sender, SIGNAL(info(QString)), &recorder, SLOT(onInfo(QString)));
        QObject::connect(sender, SIGNAL(error(QString)), &recorder, SLOT(onError(QString)));
        QObject::connect(sender, SIGNAL(finished()), &recorder, SLOT(onFinished()));
        QObject::connect(sender, SIGNAL(aborted(bool)), &recorder, SLOT(onAborted(bool)));
        QObject::connect(sender, SIGNAL(totalBytes(int)), &recorder, SLOT(onTotal(int)));
        QObject::connect(sender, SIGNAL(bytesWritten(int)), &recorder, SLOT(onWritten(int)));
        sender->moveToThread(&thread);
        thread.start();
    }

    // Deletes the sender, which closes its connection.
    void release()
    {
        thread.quit();
        thread.wait();
        delete sender;
        sender = nullptr;
    }

    ~senderRun() { release(); }
};

QStringList successEvents(int jobSize)
{
    return { QStringLiteral("info:Sending information."),
        QStringLiteral("info:There are %1 bytes to be written.").arg(jobSize),
        QStringLiteral("info:Writing Data"), QStringLiteral("info:Engraver Processing"),
        QStringLiteral("info:End of print job"), QStringLiteral("finished") };
}

// An engraver on a slow network: it answers each protocol step at once but
// takes the job data a few kilobytes at a time, with a receive buffer so
// small that the data waits on the sender's side. Told to stall, it stops
// reading after some bytes and never answers.
class slowEngraver
{
public:
    slowEngraver(int chunk, int pauseMs, qint64 stallAfter = -1)
        : m_chunk(chunk)
        , m_pauseMs(pauseMs)
        , m_stallAfter(stallAfter)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) == 0
            && ::listen(m_listener, 1) == 0
            && ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~slowEngraver()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }

    quint16 port() const { return m_port; }
    // Everything received, once the exchange is over.
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    bool done() const { return m_done; }

private:
    bool readSome(int fd, char *buffer, int size, int *got)
    {
        while (!m_stop) {
            pollfd p = { fd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(fd, buffer, size_t(size));
            if (n <= 0)
                return false;
            *got = int(n);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.append(buffer, int(n));
            return true;
        }
        return false;
    }

    // Reads one byte at a time up to and including the delimiter.
    bool readThrough(int fd, char delimiter, QByteArray *line)
    {
        char c = 0;
        int got = 0;
        while (readSome(fd, &c, 1, &got)) {
            *line += c;
            if (c == delimiter)
                return true;
        }
        return false;
    }

    void serve()
    {
        const int fd = ::accept(m_listener, nullptr, nullptr);
        if (fd < 0)
            return;
        const char zero = 0;
        QByteArray line;
        bool ok = readThrough(fd, '\n', &line) && ::write(fd, &zero, 1) == 1; // receive job
        line.clear();
        ok = ok && readThrough(fd, '\n', &line) && ::write(fd, &zero, 1) == 1; // control file line
        QByteArray control;
        ok = ok && readThrough(fd, '\0', &control) && ::write(fd, &zero, 1) == 1;
        line.clear();
        ok = ok && readThrough(fd, '\n', &line) && ::write(fd, &zero, 1) == 1; // data file line
        const qint64 size = ok ? line.mid(1, line.indexOf(' ') - 1).toLongLong() : 0;
        std::vector<char> buffer(static_cast<size_t>(m_chunk), 0);
        qint64 taken = 0;
        while (ok && taken < size) {
            if (m_stallAfter >= 0 && taken >= m_stallAfter) {
                while (!m_stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ok = false;
                break;
            }
            int got = 0;
            ok = readSome(fd, buffer.data(), int(qMin<qint64>(m_chunk, size - taken)), &got);
            taken += got;
            std::this_thread::sleep_for(std::chrono::milliseconds(m_pauseMs));
        }
        if (ok)
            ok = ::write(fd, &zero, 1) == 1; // the job is in
        // Wait for the sender to close.
        char c;
        int got;
        while (ok && readSome(fd, &c, 1, &got)) { }
        m_done = true;
        ::close(fd);
    }

    int m_chunk;
    int m_pauseMs;
    qint64 m_stallAfter;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_done { false };
    std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};

} // namespace

class tst_lpdSender : public QObject
{
    Q_OBJECT

private slots:
    void protocolText_data();
    void protocolText();
    void successPath();
    void jobNames_data();
    void jobNames();
    void engraverFailures_data();
    void engraverFailures();
    void refusedConnection();
    void connectionTimeout();
    void twoSendersAtOnce();
    void largeJob();
    void slowNetwork();
    void engraverStopsTakingData();
    void abortWhileWaiting_data();
    void abortWhileWaiting();
    void abortDuringData();
    void abortBeforeStart();
};

void tst_lpdSender::protocolText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << QStringLiteral("Untitled") << QByteArray("Untitled");
    QTest::newRow("blanks stay") << QStringLiteral("My Job 2") << QByteArray("My Job 2");
    QTest::newRow("line feed") << QStringLiteral("a\nPx") << QByteArray("a_Px");
    QTest::newRow("carriage return") << QStringLiteral("a\r\nb") << QByteArray("a__b");
    QTest::newRow("tab") << QStringLiteral("a\tb") << QByteArray("a_b");
    QTest::newRow("nul") << QString::fromUtf16(u"a\u0000b", 3) << QByteArray("a_b");
    QTest::newRow("escape") << QStringLiteral("a\x1b"
                                              "E")
                            << QByteArray("a_E");
    QTest::newRow("delete") << QStringLiteral("a\x7f") << QByteArray("a_");
    QTest::newRow("next line") << QString::fromUtf16(u"a\u0085b") << QByteArray("a_b");
    QTest::newRow("umlaut stays") << QString::fromUtf16(u"Gravur \u00fc") << QByteArray("Gravur \xc3\xbc");
    QTest::newRow("empty") << QString() << QByteArray();
}

void tst_lpdSender::protocolText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(vexlorSocket::protocolText(text), expected);
}

void tst_lpdSender::successPath()
{
    engineFixture engraver;
    QVERIFY(engraver.start());
    const QByteArray job = smallJob();
    senderRun run(engraver.port(), job, QStringLiteral("Untitled"));

    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 20000);
    QCOMPARE(run.recorder.events, successEvents(job.size()));
    QCOMPARE(run.recorder.totals, (QList<int> { job.size(), 0 }));

    const QList<QByteArray> pieces = expectedPieces("Untitled", job);
    const QByteArray everything = joined(pieces, pieces.size());
    // The socket reports every byte it wrote, the protocol lines included.
    QCOMPARE(run.recorder.written, qint64(everything.size()));

    run.release();
    QTRY_COMPARE(engraver.closed->count(), 1);
    QCOMPARE(engraver.transcript(1), everything);

    QCOMPARE(engraver.stored->count(), 1);
    const QString folder = engraver.stored->at(0).at(0).toString();
    QCOMPARE(engraver.storedJobs(), QStringList { folder });
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/control")), pieces.at(2).chopped(1));
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/job.prn")), job);
    QTRY_COMPARE_WITH_TIMEOUT(engraver.reported->count(), 1, 30000);
    const QByteArray summary = engineFixture::readFile(folder + QStringLiteral("/summary.txt"));
    QVERIFY2(summary.startsWith("Job \"Untitled\"\n"), summary.constData());
    QVERIFY(summary.contains("Engraver stream: read completely"));
    QVERIFY(engraver.incoming().isEmpty());
}

void tst_lpdSender::jobNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("onTheWire");
    QTest::newRow("blanks") << QStringLiteral("My Job 2") << QByteArray("My Job 2");
    QTest::newRow("line feed") << QStringLiteral("Evil\nPmallory") << QByteArray("Evil_Pmallory");
    QTest::newRow("carriage return and line feed")
        << QStringLiteral("two\r\nlines\x01") << QByteArray("two__lines_");
}

// Names go into every line and file name as they are, but a name can never add
// a line to the control file or end a subcommand line early.
void tst_lpdSender::jobNames()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, onTheWire);
    engineFixture engraver;
    QVERIFY(engraver.start());
    const QByteArray job = smallJob();
    senderRun run(engraver.port(), job, name);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 20000);
    QCOMPARE(run.recorder.events, successEvents(job.size()));
    run.release();
    QTRY_COMPARE(engraver.closed->count(), 1);

    const QList<QByteArray> pieces = expectedPieces(onTheWire, job);
    QCOMPARE(engraver.transcript(1), joined(pieces, pieces.size()));
    const QByteArray control = pieces.at(2).chopped(1);
    QCOMPARE(control.count('\n'), 6);
    QCOMPARE(pieces.at(1).count('\n'), 1);
    QCOMPARE(pieces.at(3).count('\n'), 1);

    // The engraver found the data file that the control file names.
    QCOMPARE(engraver.stored->count(), 1);
    const QString folder = engraver.stored->at(0).at(0).toString();
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/control")), control);
    QCOMPARE(engineFixture::readFile(folder + QStringLiteral("/job.prn")), job);
}

void tst_lpdSender::engraverFailures_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("message");

    const struct
    {
        lpdStep step;
        const char *message;
    } steps[] = {
        { lpdStep::ReceiveJob, "Problem with LPD header" },
        { lpdStep::ControlSubcommand, "Problem with LPD Settings Config" },
        { lpdStep::ControlFile, "Problem with LPD Settings Send" },
        { lpdStep::DataSubcommand, "Problem with LPD Job" },
        { lpdStep::Data, "Problem with Sending Job" },
    };
    for (const char *mode : { "fail", "silent", "two-bytes", "nonzero" }) {
        for (const auto &entry : steps) {
            const QString row = QStringLiteral("%1 at %2").arg(QLatin1String(mode), lpdStepName(entry.step));
            QTest::newRow(qPrintable(row)) << QString::fromLatin1(mode) << static_cast<int>(entry.step)
                                           << QString::fromLatin1(entry.message);
        }
    }
}

// Every way the engraver can answer a step wrongly ends the transfer with that
// step's message, once, followed by finished(); nothing is sent after it.
void tst_lpdSender::engraverFailures()
{
    QFETCH(QString, mode);
    QFETCH(int, step);
    QFETCH(QString, message);
    const lpdStep failing = static_cast<lpdStep>(step);

    engineFixture engraver;
    if (mode == QLatin1String("fail"))
        engraver.options.failAt << failing;
    else if (mode == QLatin1String("silent"))
        engraver.options.silentAt << failing;
    else if (mode == QLatin1String("two-bytes"))
        engraver.options.twoBytesAt << failing;
    else
        engraver.options.nonzeroAt << failing;
    QVERIFY(engraver.start());

    const QByteArray job = smallJob();
    QElapsedTimer clock;
    clock.start();
    senderRun run(engraver.port(), job, QStringLiteral("Untitled"), 400);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 20000);
    QCOMPARE(run.recorder.errors, QStringList { message });
    QCOMPARE(run.recorder.events.last(), QStringLiteral("finished"));
    QCOMPARE(run.recorder.events.at(run.recorder.events.size() - 2), QStringLiteral("error:") + message);
    QVERIFY(!run.recorder.events.contains(QStringLiteral("info:End of print job")));
    if (mode == QLatin1String("silent"))
        QVERIFY(clock.elapsed() >= 400);
    // The data is announced only after the data file line was accepted.
    const bool dataSent = failing == lpdStep::Data;
    QCOMPARE(run.recorder.events.contains(QStringLiteral("info:Writing Data")), dataSent);
    QCOMPARE(run.recorder.totals, dataSent ? (QList<int> { job.size(), 0 }) : QList<int>());

    run.release();
    QTRY_COMPARE(engraver.closed->count(), 1);
    const QList<QByteArray> pieces = expectedPieces("Untitled", job);
    QCOMPARE(engraver.transcript(1), joined(pieces, step + 1));

    // A refused job is not kept; one that the engraver took but answered
    // wrongly is.
    const bool kept = dataSent && mode != QLatin1String("fail");
    QCOMPARE(engraver.storedJobs().size(), kept ? 1 : 0);
    QVERIFY(engraver.incoming().isEmpty());
}

void tst_lpdSender::refusedConnection()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(loopback, 0));
        port = probe.serverPort();
    }
    // With the full waiting time in force, a refusal must still come at once.
    QElapsedTimer clock;
    clock.start();
    senderRun run(port, smallJob(), QStringLiteral("Untitled"));
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 5000);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.recorder.events,
        (QStringList { QStringLiteral("error:Could not connect to engraver!"), QStringLiteral("finished") }));
    QCOMPARE(run.recorder.totals, QList<int>());
    QCOMPARE(run.recorder.written, qint64(0));

    // And the time-out must not report it a second time.
    senderRun shortRun(port, smallJob(), QStringLiteral("Untitled"), 0, 200);
    QTRY_COMPARE(shortRun.recorder.finishedCount, 1);
    QVERIFY(!QTest::qWaitFor([&] { return shortRun.recorder.events.size() > 2; }, 800));
    QCOMPARE(shortRun.recorder.errors, QStringList { QStringLiteral("Could not connect to engraver!") });
}

// A server whose queue of pending connections is full lets new connections
// hang: the sender gives up after its connection time and says so once.
void tst_lpdSender::connectionTimeout()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    socklen_t length = sizeof address;
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const quint16 port = ntohs(address.sin_port);

    // Fill the queue; connections beyond it are not answered.
    QList<QTcpSocket *> fillers;
    for (int i = 0; i < 3; ++i) {
        auto *filler = new QTcpSocket(this);
        filler->connectToHost(loopback, port);
        fillers << filler;
    }
    QTRY_VERIFY(fillers.first()->state() == QAbstractSocket::ConnectedState);

    QElapsedTimer clock;
    clock.start();
    senderRun run(port, smallJob(), QStringLiteral("Untitled"), 0, 300);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 10000);
    QVERIFY(clock.elapsed() >= 300);
    QCOMPARE(run.recorder.events,
        (QStringList { QStringLiteral("error:Could not connect to engraver!"), QStringLiteral("finished") }));
    QVERIFY(!QTest::qWaitFor([&] { return run.recorder.events.size() > 2; }, 500));

    qDeleteAll(fillers);
    ::close(listener);
}

void tst_lpdSender::twoSendersAtOnce()
{
    engineFixture engraver;
    engraver.options.transcriptDir.clear();
    QVERIFY(engraver.start());
    QByteArray first(3 * 1024 * 1024, 'a');
    QByteArray second(2 * 1024 * 1024, 'b');
    first += smallJob();
    second += smallJob();
    senderRun one(engraver.port(), first, QStringLiteral("first"));
    senderRun two(engraver.port(), second, QStringLiteral("second"));
    QTRY_COMPARE_WITH_TIMEOUT(one.recorder.finishedCount, 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(two.recorder.finishedCount, 1, 30000);
    QCOMPARE(one.recorder.errors, QStringList());
    QCOMPARE(two.recorder.errors, QStringList());
    QCOMPARE(engraver.stored->count(), 2);
    QSet<QByteArray> contents;
    for (const QString &folder : engraver.storedJobs())
        contents << engineFixture::readFile(folder + QStringLiteral("/job.prn"));
    QCOMPARE(contents, (QSet<QByteArray> { first, second }));
}

void tst_lpdSender::largeJob()
{
    engineFixture engraver;
    engraver.options.transcriptDir.clear();
    engraver.options.decode = false;
    QVERIFY(engraver.start());

    QByteArray job(200 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>((quint64(i) * 131) % 251);
    senderRun run(engraver.port(), job, QStringLiteral("Large"));
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 180000);
    QCOMPARE(run.recorder.events, successEvents(job.size()));
    QCOMPARE(run.recorder.totals, (QList<int> { job.size(), 0 }));
    const QList<QByteArray> pieces = expectedPieces("Large", QByteArray());
    qint64 protocolBytes = 0;
    for (int i = 0; i < 4; ++i)
        protocolBytes += pieces.at(i).size();
    protocolBytes += QByteArray::number(job.size()).size() - 1; // the data line's count
    QCOMPARE(run.recorder.written, protocolBytes + job.size());

    QCOMPARE(engraver.stored->count(), 1);
    QFile stored(engraver.stored->at(0).at(0).toString() + QStringLiteral("/job.prn"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.size(), qint64(job.size()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QVERIFY(hash.addData(&stored));
    QCOMPARE(hash.result(), QCryptographicHash::hash(job, QCryptographicHash::Sha256));
}

void tst_lpdSender::slowNetwork()
{
    // About 3 s to take the data, against one second of waiting for the
    // answer: the wait must start when the data has gone out.
    const int ackMs = 1000;
    slowEngraver engraver(16 * 1024, 45);
    QVERIFY(engraver.port() != 0);
    QByteArray job(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>((i * 7) % 253);
    job += smallJob();

    QElapsedTimer clock;
    clock.start();
    senderRun run(engraver.port(), job, QStringLiteral("Slow"), ackMs);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 60000);
    QCOMPARE(run.recorder.errors, QStringList());
    QCOMPARE(run.recorder.events, successEvents(job.size()));
    QVERIFY2(clock.elapsed() > 2 * ackMs, "the engraver took the data too fast to test the wait");

    run.release();
    QTRY_VERIFY_WITH_TIMEOUT(engraver.done(), 10000);
    const QList<QByteArray> pieces = expectedPieces("Slow", job);
    QCOMPARE(engraver.received(), joined(pieces, pieces.size()));
}

void tst_lpdSender::engraverStopsTakingData()
{
    // Stopping half-way is still a failure, reported after the waiting time
    // without progress rather than never.
    slowEngraver engraver(16 * 1024, 0, 64 * 1024);
    QVERIFY(engraver.port() != 0);
    const QByteArray job = QByteArray(8 * 1024 * 1024, 'x') + smallJob();
    senderRun run(engraver.port(), job, QStringLiteral("Stalled"), 500);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 60000);
    QCOMPARE(run.recorder.errors, QStringList { QStringLiteral("Problem with Sending Job") });
    QVERIFY(!run.recorder.events.contains(QStringLiteral("info:End of print job")));
}

void tst_lpdSender::abortWhileWaiting_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<bool>("wholeJobSent");
    // Between two files the engraver is told to forget the job; inside one
    // the connection just ends. Once the engraver has every byte, the stop
    // comes too late and says so.
    QTest::newRow("receive-job") << int(lpdStep::ReceiveJob) << QByteArray("\x01\n") << false;
    QTest::newRow("control-subcommand") << int(lpdStep::ControlSubcommand) << QByteArray() << false;
    QTest::newRow("control-file") << int(lpdStep::ControlFile) << QByteArray("\x01\n") << false;
    QTest::newRow("data-subcommand") << int(lpdStep::DataSubcommand) << QByteArray() << false;
    QTest::newRow("data") << int(lpdStep::Data) << QByteArray() << true;
}

// An engraver that does not answer a step keeps the sender waiting; a stop
// ends the wait at once, without an error, and the engraver keeps no job
// unless it had all of it.
void tst_lpdSender::abortWhileWaiting()
{
    QFETCH(int, step);
    QFETCH(QByteArray, tail);
    QFETCH(bool, wholeJobSent);
    engineFixture engraver;
    engraver.options.silentAt << static_cast<lpdStep>(step);
    QVERIFY(engraver.start());

    const QByteArray job = smallJob();
    const QList<QByteArray> pieces = expectedPieces("Stopped", job);
    // A waiting time far beyond the test's: only the stop can end the wait.
    senderRun run(engraver.port(), job, QStringLiteral("Stopped"), 600000);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.written, qint64(joined(pieces, step + 1).size()), 10000);
    if (wholeJobSent)
        QTRY_VERIFY(run.recorder.events.contains(QStringLiteral("info:Engraver Processing")));
    const vexlorSocket::abortSwitch stop = run.sender->abortHandle();
    stop->store(true);

    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 10000);
    QCOMPARE(run.recorder.errors, QStringList());
    QCOMPARE(run.recorder.aborts, QList<bool> { wholeJobSent });
    QCOMPARE(run.recorder.events.last(), QStringLiteral("finished"));
    QCOMPARE(run.recorder.events.at(run.recorder.events.size() - 2),
        wholeJobSent
            ? QStringLiteral("info:Transfer cancelled after the engraver had received the whole job.")
            : QStringLiteral("info:Transfer cancelled: the engraver did not receive the whole job."));
    QVERIFY(!run.recorder.events.contains(QStringLiteral("info:End of print job")));

    run.release();
    QTRY_COMPARE(engraver.closed->count(), 1);
    QCOMPARE(engraver.transcript(1), joined(pieces, step + 1) + tail);
    QCOMPARE(engraver.storedJobs().size(), wholeJobSent ? 1 : 0);
    QVERIFY(engraver.incoming().isEmpty());
    // Setting the switch of a sender that is gone is harmless.
    stop->store(true);
}

// A stop while the job data is on its way resets the connection: what was
// still queued for the engraver never reaches it, so it never holds the whole
// data file.
void tst_lpdSender::abortDuringData()
{
    slowEngraver engraver(16 * 1024, 45);
    QVERIFY(engraver.port() != 0);
    QByteArray job(2 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>((i * 13) % 251);
    job += smallJob();
    const QList<QByteArray> pieces = expectedPieces("Halfway", job);
    const int header = joined(pieces, 4).size();

    senderRun run(engraver.port(), job, QStringLiteral("Halfway"), 600000);
    QTRY_VERIFY_WITH_TIMEOUT(engraver.received().size() > header + 128 * 1024, 20000);
    run.sender->abortHandle()->store(true);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder.finishedCount, 1, 10000);
    QCOMPARE(run.recorder.errors, QStringList());
    QCOMPARE(run.recorder.aborts, QList<bool> { false });
    QVERIFY(run.recorder.events.contains(QStringLiteral("info:Writing Data")));
    QVERIFY(!run.recorder.events.contains(QStringLiteral("info:Engraver Processing")));

    run.release();
    QTRY_VERIFY_WITH_TIMEOUT(engraver.done(), 20000);
    const QByteArray received = engraver.received();
    const QByteArray everything = joined(pieces, pieces.size());
    // What arrived is the start of the exchange and nothing else, well short
    // of the whole job.
    QVERIFY2(received.size() < everything.size() - 512 * 1024, qPrintable(QString::number(received.size())));
    QCOMPARE(received, everything.left(received.size()));
}

// A sender stopped before its thread has started never connects.
void tst_lpdSender::abortBeforeStart()
{
    QTcpServer engraver;
    QVERIFY(engraver.listen(loopback, 0));
    vexlorSocket sender(loopback, engraver.serverPort(), smallJob(), QStringLiteral("Never"));
    senderRecorder recorder;
    connect(&sender, SIGNAL(info(QString)), &recorder, SLOT(onInfo(QString)));
    connect(&sender, SIGNAL(error(QString)), &recorder, SLOT(onError(QString)));
    connect(&sender, SIGNAL(finished()), &recorder, SLOT(onFinished()));
    connect(&sender, SIGNAL(aborted(bool)), &recorder, SLOT(onAborted(bool)));
    sender.abort();
    sender.start();
    QCOMPARE(recorder.events,
        (QStringList {
            QStringLiteral("info:Transfer cancelled before it began."), QStringLiteral("finished") }));
    QCOMPARE(recorder.aborts, QList<bool> { false });
    QVERIFY(!engraver.waitForNewConnection(300));
}

QTEST_GUILESS_MAIN(tst_lpdSender)
#include "tst_lpdsender.moc"
