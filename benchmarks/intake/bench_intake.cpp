// Speed and memory of the job intake on big and hostile input: a job of up
// to a gigabyte through the listener, spool files of that size through the
// option parser (PostScript with image data, binary junk, zero bytes), and
// options files with many keys through the option processor.
//
//   bench_intake [--benchmark_filter=...]
// The listener benchmark listens on the fixed port 55000. Files go to a
// temporary folder. "peak_rss_MiB" is the process's peak resident size so
// far: it must stay far below the sizes handled.

#include "gsmanager.h"
#include "jobboundary.h"
#include "printlistener.h"
#include "psoptionparser.h"
#include "securefs.h"
#include "vexlortypes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

namespace {

double peakRssMiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    return dir;
}

QString privateFolder(const QString &name)
{
    const QString path = workDir().path() + QLatin1Char('/') + name;
    Vexlor::makePrivateDir(path);
    return path;
}

// Counts what a window would log, on the thread that runs the benchmark.
class Sink : public QObject
{
    Q_OBJECT
public:
    int lines = 0;
    QString last;
public slots:
    void line(const QString &text)
    {
        ++lines;
        last = text;
    }
};

enum Kind { PostScript, Junk, Zeros };

// A spool file of about size bytes: a job header with its comments and
// feature blocks, then the body, then the trailer.
QString makeSpoolFile(Kind kind, qint64 size)
{
    const QString path
        = privateFolder(QStringLiteral("spool")) + QStringLiteral("/job-%1-%2.txt").arg(kind).arg(size);
    if (QFileInfo(path).size() >= size)
        return path;
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    if (kind == PostScript)
        file.write("%!PS-Adobe-3.0\n%%Title: (Big Image)\n%%BoundingBox: (atend)\n%%EndComments\n"
                   "%%BeginFeature: *JobType raster\n%%EndFeature\n"
                   "%%BeginFeature: *CustomcResolution True\n600\n%%EndFeature\n"
                   "/picstr 4096 string def 8000 8000 8 [8000 0 0 -8000 0 8000]\n"
                   "{currentfile picstr readhexstring pop} image\n");
    QByteArray block(1 << 20, '\0');
    QRandomGenerator random(1);
    const char hex[] = "0123456789ABCDEF";
    while (file.size() < size) {
        if (kind == PostScript) {
            for (int i = 0; i < block.size(); ++i)
                block[i] = (i % 80 == 79) ? '\n' : hex[random.bounded(16)];
        } else if (kind == Junk) {
            random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        }
        file.write(block);
    }
    if (kind == PostScript)
        file.write("\nshowpage\n%%Trailer\n%%BoundingBox: 0 0 8000 8000\n%%EOF\n");
    return path;
}

void BM_ParseSpoolFile(benchmark::State &state)
{
    const Kind kind = Kind(state.range(0));
    const qint64 size = state.range(1) << 20;
    const QString path = makeSpoolFile(kind, size);
    psOptionParser parser { QDir(privateFolder(QStringLiteral("options"))) };
    int done = 0;
    QObject::connect(&parser, qOverload<QString>(&psOptionParser::done), &parser, [&done] { ++done; });
    for (auto _ : state)
        parser.name2Parse(path);
    if (done != int(state.iterations()))
        state.SkipWithError("the parser did not answer");
    state.SetBytesProcessed(state.iterations() * QFileInfo(path).size());
    state.counters["peak_rss_MiB"] = peakRssMiB();
}
BENCHMARK(BM_ParseSpoolFile)
    ->ArgNames({ "kind", "MiB" })
    ->Args({ PostScript, 64 })
    ->Args({ PostScript, 1024 })
    ->Args({ Junk, 1024 })
    ->Args({ Zeros, 1024 })
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One job of the given size through a real connection, with the listener on
// its own thread and its log lines queued to this one, as in the window.
void BM_ListenerSpool(benchmark::State &state)
{
    const qint64 size = state.range(0) << 20;
    const QString spool = privateFolder(QStringLiteral("listener"));
    QThread thread;
    auto *listener = new printListener(QDir(spool));
    listener->moveToThread(&thread);
    Sink sink;
    QObject::connect(&thread, SIGNAL(started()), listener, SLOT(start()));
    QObject::connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
    QObject::connect(listener, SIGNAL(info(QString)), &sink, SLOT(line(QString)));
    QObject::connect(listener, SIGNAL(error(QString)), &sink, SLOT(line(QString)));
    QString received;
    QEventLoop loop;
    const QMetaObject::Connection oneJob
        = QObject::connect(listener, &printListener::recived, &loop, [&](const QString &path) {
              received = path;
              loop.quit();
          });
    bool started = false;
    QString failure;
    QObject::connect(listener, &printListener::info, &sink, [&started](const QString &text) {
        started = started || text == QLatin1String("PrintListener Started!");
    });
    QObject::connect(listener, &printListener::listenFailed, &sink,
        [&failure](const QString &why) { failure = QStringLiteral("cannot listen on port 55000: ") + why; });
    thread.start();
    QElapsedTimer clock;
    clock.start();
    while (!started && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    QCoreApplication::processEvents();
    if (!failure.isEmpty()) {
        state.SkipWithError(qPrintable(failure));
        for (auto _ : state) { }
        thread.quit();
        thread.wait();
        return;
    }

    QByteArray block(1 << 20, 'A');
    for (int i = 79; i < block.size(); i += 80)
        block[i] = '\n';
    for (auto _ : state) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, 55000);
        if (!socket.waitForConnected(5000)) {
            state.SkipWithError("no listener on port 55000");
            break;
        }
        for (qint64 sent = 0; sent < size; sent += block.size()) {
            socket.write(block);
            while (socket.bytesToWrite() > 4 * block.size())
                socket.waitForBytesWritten(5000);
        }
        socket.write("%%EOF\n\x04");
        socket.waitForBytesWritten(5000);
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        loop.exec();
        socket.disconnectFromHost();
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["peak_rss_MiB"] = peakRssMiB();
    state.counters["log_lines"] = sink.lines;
    if (received.isEmpty() || QFileInfo(received).size() != size + 6)
        state.SkipWithError("the job did not arrive whole");
    QFile::remove(received);

    // A flood of the smallest jobs there are, all within a second or two:
    // every one gets a name of its own without testing the same names again.
    if (size == (qint64(64) << 20)) {
        QObject::disconnect(oneJob);
        const int jobs = 20000;
        int count = 0;
        QObject::connect(listener, &printListener::recived, &loop, [&](const QString &) {
            if (++count == jobs)
                loop.quit();
        });
        QElapsedTimer flood;
        flood.start();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, 55000);
        socket.waitForConnected(5000);
        QByteArray all;
        for (int i = 0; i < jobs; ++i)
            all += "%%EOF\n";
        socket.write(all);
        socket.waitForBytesWritten(5000);
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        loop.exec();
        state.counters["flood_jobs"] = count;
        state.counters["flood_ms"] = double(flood.elapsed());
        QDir(spool).removeRecursively();
    }
    thread.quit();
    thread.wait();
}
BENCHMARK(BM_ListenerSpool)->ArgName("MiB")->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(1);

// The search for the end of a job in the bytes of a connection, in reads of
// 64 KiB: PostScript lines with embedded figures, and binary data.
void BM_JobBoundary(benchmark::State &state)
{
    const bool binary = state.range(0) != 0;
    QByteArray data(64 << 20, Qt::Uninitialized);
    if (binary) {
        QRandomGenerator random(5);
        random.fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        data.replace("%%EOF\n", "%%EOF.");
    } else {
        const QByteArray figure = "%%BeginDocument: f.eps\n%!PS-Adobe-3.0 EPSF-3.0\n0 0 9 9 rectfill\n%%EOF\n"
                                  "%%EndDocument\n";
        QByteArray text;
        while (text.size() < data.size())
            text += "0 0 moveto 100 100 lineto stroke % a comment line of PostScript\n" + figure;
        data = text.left(data.size());
    }
    qint64 ends = 0;
    for (auto _ : state) {
        jobBoundary scanner;
        for (qint64 pos = 0; pos < data.size(); pos += 65536) {
            const qint64 length = qMin<qint64>(65536, data.size() - pos);
            qint64 at = 0, end;
            while (at < length && (end = scanner.scan(data.constData() + pos + at, length - at)) >= 0) {
                at += end;
                ++ends;
            }
        }
        benchmark::DoNotOptimize(ends);
    }
    state.SetBytesProcessed(state.iterations() * data.size());
    if (ends != 0)
        state.SkipWithError("an inner or broken marker ended the job");
}
BENCHMARK(BM_JobBoundary)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// An options file with many keys; the per-token log lines go queued to this
// thread, as they go to the window, and are delivered before the clock stops.
void BM_OptionKeys(benchmark::State &state)
{
    const int keys = int(state.range(0));
    const QString path = workDir().path() + QStringLiteral("/options-%1.xml").arg(keys);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<InitialSettings>\n"
               "    <PostScriptFile>/tmp/PSLib/job.txt</PostScriptFile>\n    <cResolution>600</cResolution>\n"
               "    <dithering>floyd</dithering>\n");
    for (int i = 0; i < keys; ++i)
        file.write(QStringLiteral("    <key%1>value %1</key%1>\n").arg(i).toUtf8());
    file.write("</InitialSettings>\n");
    file.close();

    QThread thread;
    auto *manager = new gsManager;
    manager->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, manager, &QObject::deleteLater);
    Sink sink;
    QObject::connect(manager, SIGNAL(info(QString)), &sink, SLOT(line(QString)));
    QEventLoop loop;
    QStringList arguments;
    QObject::connect(manager, &gsManager::launchGS, &loop, [&](const QStringList &list) {
        arguments = list;
        loop.quit();
    });
    thread.start();
    for (auto _ : state) {
        sink.lines = 0;
        QMetaObject::invokeMethod(manager, "processOptions", Qt::QueuedConnection, Q_ARG(QString, path));
        loop.exec();
        QCoreApplication::processEvents();
    }
    state.counters["log_lines"] = sink.lines;
    state.counters["peak_rss_MiB"] = peakRssMiB();
    if (arguments.size() != 10)
        state.SkipWithError("no argument list");
    thread.quit();
    thread.wait();
}
BENCHMARK(BM_OptionKeys)->ArgName("keys")->Arg(1000)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Vexlor::registerMetaTypes();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include "bench_intake.moc"
