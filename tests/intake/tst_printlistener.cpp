#include "printlistener.h"
#include "securefs.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray job(const QByteArray &body)
{
    return "%!PS-Adobe-3.0\n%%Title: (" + body + ")\n" + body + "\nshowpage\n%%EOF\n";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Lives on the test's thread and passes the listener's signals on, queued,
// so that the spies are only ever touched by this thread.
class Relay : public QObject
{
    Q_OBJECT
signals:
    void info(QString);
    void error(QString);
    void recived(QString);
    void listenFailed(QString);
};

class tst_PrintListener : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void oneJob();
    void severalJobsInOneWrite();
    void markerSplitBetweenReads_data();
    void markerSplitBetweenReads();
    void zeroBytesAndBinary();
    void largeJobInManyReads();
    void earlyCloseThenGoodJob_data();
    void earlyCloseThenGoodJob();
    void twoConnectionsInterleaved();
    void byteAfterMarker_data();
    void byteAfterMarker();
    void markerMustEndWithLineFeed_data();
    void markerMustEndWithLineFeed();
    void jobCompletedInSameSecondGetsOwnFile();
    void portInUse();
    void refusesUnsafeSpoolFolder_data();
    void refusesUnsafeSpoolFolder();
    void writeFailureIsReported();
    void embeddedDocumentKeepsItsMarker_data();
    void embeddedDocumentKeepsItsMarker();
    void unclosedEmbeddedDocumentEndsWithConnection();
    void idleSenderIsDropped_data();
    void idleSenderIsDropped();
    void thousandIdleConnectionsThenRealJob();

private:
    bool startListener(const QString &spoolDir, bool mustListen = true);
    QTcpSocket *connectClient();
    // Writes the bytes and waits until the listener has read them all, so
    // that the next write arrives in a read of its own.
    bool sendAndWait(QTcpSocket *socket, const QByteArray &bytes);
    QStringList spoolFiles() const;

    QTemporaryDir *m_tmp = nullptr;
    QString m_spool;
    QThread *m_thread = nullptr;
    printListener *m_listener = nullptr;
    Relay *m_relay = nullptr;
    QSignalSpy *m_recived = nullptr;
    QSignalSpy *m_errors = nullptr;
    QSignalSpy *m_infos = nullptr;
    QSignalSpy *m_listenFailed = nullptr;
    QList<QTcpSocket *> m_clients;
    int m_idleTimeout = 0;
    int m_maxConnections = 0;
};

void tst_PrintListener::init()
{
    m_idleTimeout = 0;
    m_maxConnections = 0;
    m_tmp = new QTemporaryDir;
    QVERIFY(m_tmp->isValid());
    m_spool = m_tmp->path() + QStringLiteral("/PSLib");
    QVERIFY(Vexlor::makePrivateDir(m_spool));
    m_relay = new Relay;
    m_recived = new QSignalSpy(m_relay, &Relay::recived);
    m_errors = new QSignalSpy(m_relay, &Relay::error);
    m_infos = new QSignalSpy(m_relay, &Relay::info);
    m_listenFailed = new QSignalSpy(m_relay, &Relay::listenFailed);
}

void tst_PrintListener::cleanup()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
        m_listener = nullptr;
    }
    delete m_recived;
    delete m_errors;
    delete m_infos;
    delete m_listenFailed;
    delete m_relay;
    delete m_tmp;
    m_tmp = nullptr;
}

// Starts a listener on a thread of its own, wired up the way the window
// does it, and waits until it has tried to listen.
bool tst_PrintListener::startListener(const QString &spoolDir, bool mustListen)
{
    m_thread = new QThread;
    m_listener = new printListener(QDir(spoolDir));
    if (m_idleTimeout > 0)
        m_listener->setIdleTimeout(m_idleTimeout);
    if (m_maxConnections > 0)
        m_listener->setMaxConnections(m_maxConnections);
    m_listener->moveToThread(m_thread);
    connect(m_thread, SIGNAL(started()), m_listener, SLOT(start()));
    connect(m_thread, &QThread::finished, m_listener, &QObject::deleteLater);
    connect(m_listener, SIGNAL(info(QString)), m_relay, SIGNAL(info(QString)));
    connect(m_listener, SIGNAL(error(QString)), m_relay, SIGNAL(error(QString)));
    connect(m_listener, SIGNAL(recived(QString)), m_relay, SIGNAL(recived(QString)));
    connect(m_listener, SIGNAL(listenFailed(QString)), m_relay, SIGNAL(listenFailed(QString)));
    m_thread->start(QThread::InheritPriority);
    const bool started = QTest::qWaitFor(
        [this] {
            for (const auto &args : qAsConst(*m_infos)) {
                if (args.at(0).toString() == QLatin1String("PrintListener Started!"))
                    return true;
            }
            return false;
        },
        20000);
    QCoreApplication::processEvents();
    if (m_listenFailed->count() > 0 && mustListen)
        qWarning() << "port 55000 is taken:" << m_listenFailed->at(0).at(0).toString();
    return started && (m_listenFailed->isEmpty() || !mustListen);
}

QTcpSocket *tst_PrintListener::connectClient()
{
    auto *socket = new QTcpSocket;
    m_clients << socket;
    socket->connectToHost(QHostAddress::LocalHost, 55000);
    if (!socket->waitForConnected(10000))
        qWarning() << "could not connect:" << socket->errorString();
    return socket;
}

bool tst_PrintListener::sendAndWait(QTcpSocket *socket, const QByteArray &bytes)
{
    static const QRegularExpression available(QStringLiteral("^There are (\\d+) bytes avaliable\\.$"));
    if (bytes.isEmpty())
        return true;
    int index = m_infos->count();
    socket->write(bytes);
    if (!socket->waitForBytesWritten(10000))
        return false;
    // The listener reports the bytes it finds before it reads them and says
    // when it is through with a read: wait for all of ours and the end of
    // the read that took the last of them.
    qint64 seen = 0;
    bool readDone = false;
    return QTest::qWaitFor(
        [&] {
            for (; index < m_infos->count(); ++index) {
                const QString text = m_infos->at(index).at(0).toString();
                const QRegularExpressionMatch m = available.match(text);
                if (m.hasMatch()) {
                    seen += m.captured(1).toLongLong();
                    readDone = false;
                } else if (text == QLatin1String("Closing the port...")) {
                    readDone = true;
                }
            }
            return seen >= bytes.size() && readDone;
        },
        10000);
}

QStringList tst_PrintListener::spoolFiles() const
{
    return QDir(m_spool).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

void tst_PrintListener::oneJob()
{
    QVERIFY(startListener(m_spool));
    const QByteArray data = job("one job");
    QTcpSocket *client = connectClient();
    client->write(data);
    QTRY_COMPARE(m_recived->count(), 1);

    const QString path = m_recived->at(0).at(0).toString();
    QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(m_spool).absoluteFilePath());
    // Named after the time, in the toolkit's text date form, as ".txt".
    QVERIFY2(
        QRegularExpression(QStringLiteral("^[A-Z][a-z]{2} [A-Z][a-z]{2} \\d{1,2} \\d{2}:\\d{2}:\\d{2} \\d{4}"
                                          "(-\\d+)?\\.txt$"))
            .match(QFileInfo(path).fileName())
            .hasMatch(),
        qPrintable(path));
    QCOMPARE(readFile(path), data);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QCOMPARE(m_errors->count(), 0);
    QCOMPARE(spoolFiles().size(), 1);
}

void tst_PrintListener::severalJobsInOneWrite()
{
    QVERIFY(startListener(m_spool));
    const QByteArray a = job("first"), b = job("second"), c = job("third");
    QTcpSocket *client = connectClient();
    client->write(a + b + c);
    QTRY_COMPARE(m_recived->count(), 3);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), a);
    QCOMPARE(readFile(m_recived->at(1).at(0).toString()), b);
    QCOMPARE(readFile(m_recived->at(2).at(0).toString()), c);
    QCOMPARE(spoolFiles().size(), 3);
    QCOMPARE(m_errors->count(), 0);
}

void tst_PrintListener::markerSplitBetweenReads_data()
{
    QTest::addColumn<int>("cut"); // bytes of the marker in the first read
    QTest::addColumn<bool>("nextJobInSecondRead");
    for (int cut = 0; cut <= 6; ++cut) {
        QTest::addRow("%d of 6 marker bytes first", cut) << cut << false;
        QTest::addRow("%d of 6 marker bytes first, next job follows", cut) << cut << true;
    }
}

void tst_PrintListener::markerSplitBetweenReads()
{
    QFETCH(int, cut);
    QFETCH(bool, nextJobInSecondRead);
    QVERIFY(startListener(m_spool));
    const QByteArray first = job("split marker");
    const QByteArray second = job("after it");
    const int split = first.size() - 6 + cut;

    QTcpSocket *client = connectClient();
    QVERIFY(sendAndWait(client, first.left(split)));
    QCOMPARE(m_recived->count(), cut == 6 ? 1 : 0);
    QVERIFY(sendAndWait(client, first.mid(split) + (nextJobInSecondRead ? second : QByteArray())));
    QTRY_COMPARE(m_recived->count(), nextJobInSecondRead ? 2 : 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), first);
    if (nextJobInSecondRead)
        QCOMPARE(readFile(m_recived->at(1).at(0).toString()), second);
    QCOMPARE(m_errors->count(), 0);
}

void tst_PrintListener::zeroBytesAndBinary()
{
    QVERIFY(startListener(m_spool));
    QByteArray body(1000, '\0');
    for (int i = 0; i < 256; ++i)
        body += char(i);
    body += QByteArray(1000, '\0');
    body += "\r\n\r\n";
    const QByteArray data = job(body);
    QTcpSocket *client = connectClient();
    client->write(data);
    QTRY_COMPARE(m_recived->count(), 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), data);
}

void tst_PrintListener::largeJobInManyReads()
{
    QVERIFY(startListener(m_spool));
    QByteArray body(24 * 1024 * 1024, '\0');
    QRandomGenerator random(11);
    random.fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    body.replace("%%EOF\n", "%%EOF.");
    const QByteArray data = job(body);
    QTcpSocket *client = connectClient();
    for (int pos = 0; pos < data.size(); pos += 1 << 20) {
        client->write(data.mid(pos, 1 << 20));
        QVERIFY(client->waitForBytesWritten(10000));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_recived->count(), 1, 30000);
    QCOMPARE(
        QCryptographicHash::hash(readFile(m_recived->at(0).at(0).toString()), QCryptographicHash::Sha256),
        QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

void tst_PrintListener::earlyCloseThenGoodJob_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("closed") << false;
    QTest::newRow("reset") << true;
}

void tst_PrintListener::earlyCloseThenGoodJob()
{
    QFETCH(bool, abort);
    QVERIFY(startListener(m_spool));
    const QByteArray partial = "%!PS-Adobe-3.0\n%%Title: (cut short)\nnewpath 0 0 moveto";
    QTcpSocket *early = connectClient();
    QVERIFY(sendAndWait(early, partial));
    if (abort)
        early->abort();
    else
        early->disconnectFromHost();
    QTRY_COMPARE(m_errors->count(), 1);
    QVERIFY2(m_errors->at(0).at(0).toString().startsWith(
                 QStringLiteral("The connection closed before the end of the job")),
        qPrintable(m_errors->at(0).at(0).toString()));

    const QByteArray good = job("good");
    QTcpSocket *client = connectClient();
    client->write(good);
    QTRY_COMPARE(m_recived->count(), 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), good);

    // The partial file is left as it was and never announced.
    const QStringList files = spoolFiles();
    QCOMPARE(files.size(), 2);
    QStringList contents;
    for (const QString &f : files)
        contents << QString::fromLatin1(readFile(m_spool + QLatin1Char('/') + f));
    QVERIFY(contents.contains(QString::fromLatin1(partial)));
    QVERIFY(contents.contains(QString::fromLatin1(good)));
}

void tst_PrintListener::twoConnectionsInterleaved()
{
    QVERIFY(startListener(m_spool));
    const QByteArray a = job(QByteArray(3000, 'a')), b = job(QByteArray(5000, 'b'));
    QTcpSocket *one = connectClient();
    QTcpSocket *two = connectClient();
    // Alternate pieces, cutting each job's marker too.
    int pa = 0, pb = 0;
    const int step = 997;
    while (pa < a.size() || pb < b.size()) {
        if (pa < a.size()) {
            QVERIFY(sendAndWait(one, a.mid(pa, step)));
            pa += step;
        }
        if (pb < b.size()) {
            QVERIFY(sendAndWait(two, b.mid(pb, step)));
            pb += step;
        }
    }
    QTRY_COMPARE(m_recived->count(), 2);
    const QString first = m_recived->at(0).at(0).toString();
    const QString second = m_recived->at(1).at(0).toString();
    QVERIFY(first != second);
    QCOMPARE(readFile(first), a);
    QCOMPARE(readFile(second), b);
    QCOMPARE(m_errors->count(), 0);
}

void tst_PrintListener::byteAfterMarker_data()
{
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("ownRead");
    QTest::newRow("0x04 in the same read") << QByteArray("\x04") << false;
    QTest::newRow("0x04 in a read of its own") << QByteArray("\x04") << true;
    QTest::newRow("line feed in the same read") << QByteArray("\n") << false;
    QTest::newRow("line feed in a read of its own") << QByteArray("\n") << true;
}

void tst_PrintListener::byteAfterMarker()
{
    QFETCH(QByteArray, after);
    QFETCH(bool, ownRead);
    QVERIFY(startListener(m_spool));
    const QByteArray data = job("with closing byte");
    QTcpSocket *client = connectClient();
    if (ownRead) {
        QVERIFY(sendAndWait(client, data));
        QVERIFY(sendAndWait(client, after));
    } else {
        QVERIFY(sendAndWait(client, data + after));
    }
    client->disconnectFromHost();
    QTRY_COMPARE(m_recived->count(), 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), data);

    // A second connection proves the listener has dealt with the first
    // one's close before we look at the folder.
    QTcpSocket *next = connectClient();
    next->write(job("next"));
    QTRY_COMPARE(m_recived->count(), 2);
    QCOMPARE(spoolFiles().size(), 2);
    QCOMPARE(m_errors->count(), 0);
}

void tst_PrintListener::markerMustEndWithLineFeed_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::newRow("carriage return before the line feed") << QByteArray("%%EOF\r\n");
    QTest::newRow("no line feed") << QByteArray("%%EOF");
}

void tst_PrintListener::markerMustEndWithLineFeed()
{
    QFETCH(QByteArray, ending);
    QVERIFY(startListener(m_spool));
    const QByteArray data = "%!PS-Adobe-3.0\nshowpage\n" + ending;
    QTcpSocket *client = connectClient();
    QVERIFY(sendAndWait(client, data));
    client->disconnectFromHost();
    QTRY_COMPARE(m_errors->count(), 1);
    QCOMPARE(m_recived->count(), 0);
    QCOMPARE(spoolFiles().size(), 1);
    QCOMPARE(readFile(m_spool + QLatin1Char('/') + spoolFiles().first()), data);
}

void tst_PrintListener::jobCompletedInSameSecondGetsOwnFile()
{
    // Files of an earlier run under the names the first jobs would get.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = -1; s <= 5; ++s) {
        QFile old(
            m_spool + QLatin1Char('/') + now.addSecs(s).toString(Qt::TextDate) + QStringLiteral(".txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    QVERIFY(startListener(m_spool));
    // Many jobs in a row finish within the same second; each one stays apart.
    QList<QByteArray> jobs;
    QByteArray all;
    for (int i = 0; i < 20; ++i) {
        jobs << job("job " + QByteArray::number(i));
        all += jobs.last();
    }
    QTcpSocket *client = connectClient();
    client->write(all);
    QTRY_COMPARE(m_recived->count(), 20);
    QSet<QString> names;
    for (int i = 0; i < 20; ++i) {
        const QString path = m_recived->at(i).at(0).toString();
        names.insert(path);
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^[A-Z][a-z]{2} [A-Z][a-z]{2} \\d{1,2} \\d{2}:\\d{2}:\\d{2} \\d{4}"
                                    "(-\\d+)?\\.txt$"))
                     .match(QFileInfo(path).fileName())
                     .hasMatch(),
            qPrintable(path));
        QCOMPARE(readFile(path), jobs.at(i));
    }
    QCOMPARE(names.size(), 20);
    for (int s = -1; s <= 5; ++s)
        QCOMPARE(readFile(m_spool + QLatin1Char('/') + now.addSecs(s).toString(Qt::TextDate)
                     + QStringLiteral(".txt")),
            QByteArray("old"));
}

void tst_PrintListener::portInUse()
{
    QTcpServer squatter;
    QVERIFY2(squatter.listen(QHostAddress::LocalHost, 55000), qPrintable(squatter.errorString()));
    QVERIFY(startListener(m_spool, false));
    QTRY_COMPARE(m_listenFailed->count(), 1);
    QVERIFY(!m_listenFailed->at(0).at(0).toString().isEmpty());
    QTRY_COMPARE(m_errors->count(), 1);
    QCOMPARE(m_errors->at(0).at(0).toString(),
        QStringLiteral("Unable to start the PrintListener in sessionOpen()"));
}

void tst_PrintListener::refusesUnsafeSpoolFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("open to others") << "open";
    QTest::newRow("symbolic link") << "link";
    QTest::newRow("another owner") << "owner";
}

void tst_PrintListener::refusesUnsafeSpoolFolder()
{
    QFETCH(QString, kind);
    const QString folder = m_tmp->path() + QStringLiteral("/unsafe");
    if (kind == "open") {
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    } else if (kind == "link") {
        QVERIFY(QFile::link(m_spool, folder));
    } else {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
    }
    QVERIFY(startListener(folder));
    QTcpSocket *client = connectClient();
    QVERIFY(sendAndWait(client, job("refused") + job("refused too")));
    QTRY_COMPARE(m_errors->count(), 2);
    for (const auto &args : qAsConst(*m_errors)) {
        const QString text = args.at(0).toString();
        QVERIFY2(text.contains(folder), qPrintable(text));
        QVERIFY2(text.startsWith(QStringLiteral("Refusing to write the job into the spool folder")),
            qPrintable(text));
    }
    QCOMPARE(m_recived->count(), 0);
    QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
    QVERIFY(spoolFiles().isEmpty());
}

void tst_PrintListener::writeFailureIsReported()
{
    QVERIFY(startListener(m_spool));
    // A file size limit stands in for a full disk.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);

    const QByteArray big = job(QByteArray(256 * 1024, 'x'));
    const QByteArray fits = job("fits");
    QTcpSocket *client = connectClient();
    const bool sent = sendAndWait(client, big + fits);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    QVERIFY(sent);

    QTRY_COMPARE(m_recived->count(), 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), fits);
    QVERIFY(m_errors->count() >= 1);
    const QString text = m_errors->at(0).at(0).toString();
    // The system's own reason, not the toolkit's "Unknown error".
    QVERIFY2(text.startsWith(QStringLiteral("Could not write the spool file "))
            && text.endsWith(
                QStringLiteral(": %1; the job is dropped").arg(QString::fromLocal8Bit(std::strerror(EFBIG)))),
        qPrintable(text));
    // The truncated job is not left behind.
    QCOMPARE(spoolFiles().size(), 1);
}

void tst_PrintListener::embeddedDocumentKeepsItsMarker_data()
{
    QTest::addColumn<int>("piece"); // bytes per write, 0 for all at once
    QTest::newRow("one write") << 0;
    QTest::newRow("pieces of 7 bytes") << 7;
}

void tst_PrintListener::embeddedDocumentKeepsItsMarker()
{
    QFETCH(int, piece);
    QVERIFY(startListener(m_spool));
    const QByteArray figure
        = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 72 72\n0 0 72 72 rectfill\n%%EOF\n";
    const QByteArray withFigure = "%!PS-Adobe-3.0\n%%Title: (figure)\nsave\n%%BeginDocument: a.eps\n" + figure
        + "%%BeginDocument: b.eps\n" + figure + "%%EndDocument\n%%EndDocument\nrestore\nshowpage\n%%EOF\n";
    const QByteArray after = job("after the figure");
    QTcpSocket *client = connectClient();
    const QByteArray all = withFigure + after;
    if (piece == 0) {
        QVERIFY(sendAndWait(client, all));
    } else {
        for (int pos = 0; pos < all.size(); pos += piece)
            QVERIFY(sendAndWait(client, all.mid(pos, piece)));
    }
    QTRY_COMPARE(m_recived->count(), 2);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), withFigure);
    QCOMPARE(readFile(m_recived->at(1).at(0).toString()), after);
    QCOMPARE(spoolFiles().size(), 2);
    QCOMPARE(m_errors->count(), 0);
}

void tst_PrintListener::unclosedEmbeddedDocumentEndsWithConnection()
{
    QVERIFY(startListener(m_spool));
    const QByteArray body = "%!PS-Adobe-3.0\n%%BeginDocument: broken.eps\n%!PS-Adobe-3.0 EPSF-3.0\n"
                            "0 0 9 9 rectfill\n%%EOF\nshowpage\n%%EOF\n";
    QTcpSocket *client = connectClient();
    QVERIFY(sendAndWait(client, body + "\x04"));
    QCOMPARE(m_recived->count(), 0);
    client->disconnectFromHost();
    QTRY_COMPARE(m_recived->count(), 1);
    // A complete job up to its last marker; the print system's closing byte
    // after it is not part of it.
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), body);
    QCOMPARE(m_errors->count(), 0);
    bool told = false;
    for (const auto &args : qAsConst(*m_infos))
        told = told
            || args.at(0).toString().startsWith(
                QStringLiteral("The job's embedded documents never closed (1 left open)"));
    QVERIFY(told);
}

void tst_PrintListener::idleSenderIsDropped_data()
{
    QTest::addColumn<QByteArray>("partial");
    QTest::newRow("silent from the start") << QByteArray();
    QTest::newRow("silent in the middle of a job")
        << QByteArray("%!PS-Adobe-3.0\n%%Title: (stalled)\n0 0 moveto\n");
}

void tst_PrintListener::idleSenderIsDropped()
{
    QFETCH(QByteArray, partial);
    m_idleTimeout = 1000;
    QVERIFY(startListener(m_spool));
    QTcpSocket *idle = connectClient();
    if (!partial.isEmpty()) {
        QVERIFY(sendAndWait(idle, partial));
        QCOMPARE(spoolFiles().size(), 1);
    }
    // The listener closes the connection from its side.
    QTRY_COMPARE_WITH_TIMEOUT(idle->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(m_recived->count(), 0);
    QVERIFY(spoolFiles().isEmpty());
    if (partial.isEmpty()) {
        QCOMPARE(m_errors->count(), 0);
    } else {
        QTRY_COMPARE(m_errors->count(), 1);
        const QString text = m_errors->at(0).at(0).toString();
        QVERIFY2(text.startsWith(QStringLiteral("The sender sent nothing for 1000 ms"))
                && text.contains(QStringLiteral("unfinished job (%1 bytes) discarded").arg(partial.size())),
            qPrintable(text));
    }

    // A sender that keeps sending, with pauses shorter than the idle time,
    // is served in full.
    const QByteArray data = job(QByteArray(3000, 's'));
    QTcpSocket *client = connectClient();
    for (int pos = 0; pos < data.size(); pos += 1000) {
        QTest::qWait(150);
        QVERIFY(sendAndWait(client, data.mid(pos, 1000)));
    }
    QTRY_COMPARE(m_recived->count(), 1);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), data);
}

void tst_PrintListener::thousandIdleConnectionsThenRealJob()
{
    const int idleCount = 1000;
    // Room for the idle clients, what the listener may hold at most and a
    // little more, but not for a listener that keeps every connection: this
    // process is both sides.
    const rlim_t inUse
        = rlim_t(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
    const rlim_t allowed = inUse + idleCount + 64 + 40;
    struct rlimit files;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < allowed)
        QSKIP("the hard limit on open files is too low for this test");
    const struct rlimit previous = files;
    files.rlim_cur = allowed;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &files), 0);
    auto restore = qScopeGuard([&previous] { ::setrlimit(RLIMIT_NOFILE, &previous); });
    QVERIFY(startListener(m_spool));

    QVector<int> idle;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(55000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < idleCount; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        idle << fd;
        QVERIFY2(
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0, std::strerror(errno));
    }

    const QByteArray data = job(QByteArray(100000, 'r'));
    QTcpSocket *client = connectClient();
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
    client->write(data);
    QTRY_COMPARE_WITH_TIMEOUT(m_recived->count(), 1, 30000);
    QCOMPARE(readFile(m_recived->at(0).at(0).toString()), data);
    // The idle ones made room: at least all but the limit's worth were
    // closed by the listener, and none of that was an error.
    int madeRoom = 0;
    for (const auto &args : qAsConst(*m_infos))
        madeRoom += args.at(0).toString().contains(QStringLiteral("makes room for a new one")) ? 1 : 0;
    QVERIFY2(madeRoom >= idleCount + 1 - 64, qPrintable(QString::number(madeRoom)));
    QCOMPARE(m_errors->count(), 0);
    for (int fd : qAsConst(idle))
        ::close(fd);
    // The listener's side of the connections it still holds is gone before
    // the limit is put back.
    cleanup();
    init();
}

QTEST_GUILESS_MAIN(tst_PrintListener)
#include "tst_printlistener.moc"
