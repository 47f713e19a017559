// A 500 MB job from the LPD sender to the virtual engraver over loopback,
// against a plain socket copy of the same bytes between the same two kinds of
// process: this program and a receiver that stores what it gets in a file in
// the same kind of folder (or drops it, for the bare socket speed).
//
//   bench_lpd                       runs the benchmarks and prints the ratios
//   bench_lpd --plain-sink DIR|-    the plain receiver (started by the benchmark)

#include "vexlorsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int JobBytes = 500 * 1024 * 1024;

const QByteArray &job()
{
    static const QByteArray bytes = [] {
        QByteArray out(JobBytes, Qt::Uninitialized);
        for (int i = 0; i < out.size(); ++i)
            out[i] = static_cast<char>((quint64(i) * 131) % 251);
        return out;
    }();
    return bytes;
}

std::map<std::string, std::vector<double>> &timings()
{
    static std::map<std::string, std::vector<double>> all;
    return all;
}

// A helper program started for the benchmark, which says where it listens.
struct receiver
{
    QProcess process;
    quint16 port = 0;

    bool start(const QString &program, const QStringList &arguments)
    {
        process.setProgram(program);
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        QByteArray output;
        const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1:(\\d+)"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(200);
            output += process.readAllStandardOutput();
            const auto match = listening.match(QString::fromUtf8(output));
            if (match.hasMatch()) {
                port = static_cast<quint16>(match.captured(1).toUInt());
                return true;
            }
        }
        return false;
    }

    ~receiver()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
    }
};

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void BM_LpdSender(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString spool = dir.filePath(QStringLiteral("jobs"));
    receiver engraver;
    // The picture is drawn after the job is answered; leave it out so that
    // only the transfer is measured.
    if (!engraver.start(QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-engraver"),
            { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--spool"), spool,
                QStringLiteral("--no-decode") })) {
        state.SkipWithError("the virtual engraver did not start");
        return;
    }
    const QByteArray &bytes = job();
    for (auto _ : state) {
        QThread thread;
        auto *sender = new vexlorSocket(
            QHostAddress(QHostAddress::LocalHost), engraver.port, bytes, QStringLiteral("Benchmark"));
        QEventLoop loop;
        bool failed = false;
        QObject::connect(&thread, SIGNAL(started()), sender, SLOT(start()));
        QObject::connect(sender, SIGNAL(finished()), &thread, SLOT(quit()));
        QObject::connect(sender, SIGNAL(finished()), &loop, SLOT(quit()));
        QObject::connect(sender, &vexlorSocket::error, &loop, [&failed] { failed = true; });
        sender->moveToThread(&thread);
        QElapsedTimer clock;
        clock.start();
        thread.start();
        loop.exec();
        const double seconds = clock.nsecsElapsed() / 1e9;
        thread.wait();
        delete sender;
        if (failed) {
            state.SkipWithError("the transfer failed");
            return;
        }
        state.SetIterationTime(seconds);
        timings()["lpd"].push_back(seconds);
        for (const QString &entry : QDir(spool).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QDir(spool + QLatin1Char('/') + entry).removeRecursively();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

void plainCopy(benchmark::State &state, bool toFile)
{
    QTemporaryDir dir;
    receiver sink;
    if (!sink.start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("--plain-sink"), toFile ? dir.path() : QStringLiteral("-") })) {
        state.SkipWithError("the plain receiver did not start");
        return;
    }
    const QByteArray &bytes = job();
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const int fd = connectTo(sink.port);
        if (fd < 0) {
            state.SkipWithError("cannot connect to the plain receiver");
            return;
        }
        quint64 size = static_cast<quint64>(bytes.size());
        bool ok = ::send(fd, &size, sizeof size, 0) == sizeof size;
        for (qint64 sent = 0; ok && sent < bytes.size();) {
            const ssize_t n
                = ::send(fd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent), 0);
            ok = n > 0;
            sent += n;
        }
        char answer = 1;
        ok = ok && ::recv(fd, &answer, 1, 0) == 1 && answer == 0;
        const double seconds = clock.nsecsElapsed() / 1e9;
        ::close(fd);
        if (!ok) {
            state.SkipWithError("the plain copy failed");
            return;
        }
        state.SetIterationTime(seconds);
        timings()[toFile ? "copy-to-file" : "copy"].push_back(seconds);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

void BM_PlainCopyToFile(benchmark::State &state)
{
    plainCopy(state, true);
}

void BM_PlainCopy(benchmark::State &state)
{
    plainCopy(state, false);
}

// What the sender's single write of the job costs by itself: the socket
// copies the whole job into a buffer of its own, freshly allocated.
void BM_JobBufferCopy(benchmark::State &state)
{
    const QByteArray &bytes = job();
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(bytes.size())));
        std::memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
        benchmark::DoNotOptimize(copy[bytes.size() / 2]);
        std::free(copy);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        timings()["buffer"].push_back(seconds);
    }
}

BENCHMARK(BM_LpdSender)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopyToFile)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JobBufferCopy)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The plain receiver: for each connection, an 8-byte length, then that many
// bytes, written to a file in dir (or dropped when dir is "-"), answered with
// one zero byte.
int plainSink(const char *dir)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 4) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 1;
    std::printf("Listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    std::vector<char> buffer(1 << 20);
    const bool toFile = std::string(dir) != "-";
    for (int number = 0;; ++number) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            return 1;
        quint64 size = 0;
        if (::recv(fd, &size, sizeof size, MSG_WAITALL) != sizeof size) {
            ::close(fd);
            continue;
        }
        const std::string path = std::string(dir) + "/copy-" + std::to_string(number) + ".bin";
        const int file = toFile ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : -1;
        quint64 got = 0;
        bool ok = !toFile || file >= 0;
        while (ok && got < size) {
            const ssize_t n = ::recv(fd, buffer.data(), std::min<quint64>(buffer.size(), size - got), 0);
            ok = n > 0 && (!toFile || ::write(file, buffer.data(), static_cast<size_t>(n)) == n);
            got += static_cast<quint64>(n);
        }
        if (file >= 0)
            ::close(file);
        const char answer = ok ? 0 : 1;
        [[maybe_unused]] const ssize_t sent = ::send(fd, &answer, 1, 0);
        ::close(fd);
        if (toFile)
            ::unlink(path.c_str());
    }
}

double best(const std::vector<double> &values)
{
    double out = 0;
    for (const double value : values)
        out = out == 0 ? value : std::min(out, value);
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--plain-sink")
        return plainSink(argv[2]);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    job(); // made before anything is timed
    benchmark::RunSpecifiedBenchmarks();

    const double lpd = best(timings()["lpd"]);
    const double toFile = best(timings()["copy-to-file"]);
    const double copy = best(timings()["copy"]);
    const double buffer = best(timings()["buffer"]);
    const double megabytes = JobBytes / 1048576.0;
    if (lpd > 0)
        std::printf("\nLPD sender to virtual engraver: %.3f s (%.0f MB/s)\n", lpd, megabytes / lpd);
    if (toFile > 0)
        std::printf("Plain socket copy into a file: %.3f s (%.0f MB/s)\n", toFile, megabytes / toFile);
    if (copy > 0)
        std::printf("Plain socket copy, dropped:    %.3f s (%.0f MB/s)\n", copy, megabytes / copy);
    if (buffer > 0)
        std::printf("Copying the job into a new buffer: %.3f s (part of the sender's one write)\n", buffer);
    if (lpd > 0 && toFile > 0)
        std::printf("Ratio to the plain copy into a file: %.2fx (target 1.5x)\n", lpd / toFile);
    if (lpd > 0 && copy > 0)
        std::printf("Ratio to the bare socket copy:       %.2fx\n", lpd / copy);
    return 0;
}
