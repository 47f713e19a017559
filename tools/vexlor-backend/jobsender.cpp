#include "jobsender.h"

#include "backendlog.h"
#include "jobstream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cups/backend.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int firstPauseMs = 500;
constexpr int longestPauseMs = 5000;
constexpr int connectTimeoutMs = 10000;
constexpr std::uint64_t reportEveryBytes = 64ull << 20;

std::string errorText(int error)
{
    return std::strerror(error);
}

std::string seconds(int ms)
{
    char text[32];
    std::snprintf(text, sizeof text, ms % 1000 ? "%.1f s" : "%.0f s", ms / 1000.0);
    return text;
}

class fdCloser
{
public:
    explicit fdCloser(int &fd)
        : m_fd(fd)
    {
    }
    ~fdCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    fdCloser(const fdCloser &) = delete;
    fdCloser &operator=(const fdCloser &) = delete;

private:
    int &m_fd;
};

ssize_t readSome(int fd, char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

} // namespace

jobSender::jobSender(std::string host, int port, int retrySeconds)
    : m_host(std::move(host))
    , m_port(port)
    , m_retrySeconds(retrySeconds)
{
}

std::string jobSender::address() const
{
    if (m_host.find(':') != std::string::npos)
        return "[" + m_host + "]:" + std::to_string(m_port);
    return m_host + ":" + std::to_string(m_port);
}

int jobSender::send(int inputFd, std::uint64_t inputSize)
{
    std::vector<char> buffer(chunkSize);
    ssize_t n = readSome(inputFd, buffer.data(), buffer.size());
    if (n < 0) {
        backendLog::error("Unable to read the job: " + errorText(errno));
        return CUPS_BACKEND_FAILED;
    }
    if (n == 0) {
        backendLog::error("The job is empty; nothing was sent to VexlorApp");
        return CUPS_BACKEND_FAILED;
    }

    // The job is sent all the same: the user learns why it has no cut lines.
    if (convertedByPageRasteriser(buffer.data(), static_cast<std::size_t>(n)))
        backendLog::warning(
            "The print system converted this PDF with Ghostscript, which turns each page into "
            "one bitmap: nothing can be cut. Set up the queue with "
            "-o pdftops-renderer-default=pdftops (see docs/cups.md)");

    int fd = -1;
    const int connected = connectWithRetry(fd);
    if (connected != CUPS_BACKEND_OK)
        return connected;
    fdCloser closer(fd);

    jobStream stream;
    std::string out;
    out.reserve(chunkSize + 16);
    std::string error;
    while (n > 0) {
        out.clear();
        stream.feed(buffer.data(), static_cast<std::size_t>(n), out);
        if (!writeAll(fd, out, error)) {
            backendLog::error(error);
            return CUPS_BACKEND_RETRY;
        }
        reportProgress(inputSize, stream.bytesIn());
        n = readSome(inputFd, buffer.data(), buffer.size());
    }
    if (n < 0) {
        const int readError = errno;
        // The application never announces a job without its end marker, so
        // closing here leaves nothing half-done behind.
        backendLog::error("Unable to read the job after " + std::to_string(stream.bytesIn())
            + " bytes: " + errorText(readError));
        return CUPS_BACKEND_FAILED;
    }
    out.clear();
    stream.finish(out);
    if (!writeAll(fd, out, error) || !handOver(fd, error)) {
        backendLog::error(error);
        return CUPS_BACKEND_RETRY;
    }

    if (stream.markerAppended())
        backendLog::info("The job had no %%EOF at its end; one was added");
    if (stream.markersEscaped() > 0)
        backendLog::debug(std::to_string(stream.markersEscaped())
            + " %%EOF comment(s) inside the job were sent as \"%%EOF \"");
    backendLog::info(
        "Sent the job to VexlorApp on " + address() + " (" + std::to_string(m_bytesSent) + " bytes)");
    return CUPS_BACKEND_OK;
}

int jobSender::connectWithRetry(int &fd)
{
    backendLog::state("+connecting-to-device");
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_retrySeconds);
    int pauseMs = firstPauseMs;
    bool waitingReported = false;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int timeoutMs = static_cast<int>(std::clamp<long long>(left, 1000, connectTimeoutMs));
        std::string reason;
        const Attempt attempt = tryConnect(fd, timeoutMs, reason);
        if (attempt == Attempt::Connected) {
            backendLog::state("-connecting-to-device");
            if (waitingReported)
                backendLog::info("VexlorApp on " + address() + " is accepting the job now");
            return CUPS_BACKEND_OK;
        }
        if (attempt == Attempt::Fatal) {
            backendLog::state("-connecting-to-device");
            backendLog::error(reason);
            return CUPS_BACKEND_STOP;
        }
        const auto remaining
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) {
            backendLog::state("-connecting-to-device");
            backendLog::error("VexlorApp did not accept the job on " + address() + " within "
                + std::to_string(m_retrySeconds) + " s (" + reason + "); is VexlorApp running?");
            return CUPS_BACKEND_RETRY;
        }
        const int pause = static_cast<int>(std::min<long long>(pauseMs, remaining));
        backendLog::info("VexlorApp is not accepting jobs on " + address() + " (" + reason
            + "); trying again in " + seconds(pause));
        waitingReported = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        pauseMs = std::min(pauseMs * 2, longestPauseMs);
    }
}

jobSender::Attempt jobSender::tryConnect(int &fd, int timeoutMs, std::string &reason)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    const std::string service = std::to_string(m_port);
    const int looked = ::getaddrinfo(m_host.c_str(), service.c_str(), &hints, &addresses);
    if (looked != 0) {
        reason = "Unable to look up \"" + m_host + "\": " + ::gai_strerror(looked);
        return (looked == EAI_AGAIN) ? Attempt::Transient : Attempt::Fatal;
    }

    int lastError = ECONNREFUSED;
    for (addrinfo *a = addresses; a; a = a->ai_next) {
        const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            lastError = errno;
            continue;
        }
        int result = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (result < 0 && errno == EINPROGRESS) {
            pollfd p { s, POLLOUT, 0 };
            int ready;
            do {
                ready = ::poll(&p, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                errno = ETIMEDOUT;
            } else if (ready > 0) {
                int soError = 0;
                socklen_t length = sizeof soError;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &length) < 0)
                    soError = errno;
                if (soError == 0)
                    result = 0;
                else
                    errno = soError;
            }
        }
        if (result == 0) {
            ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
            timeval stall { stallSeconds, 0 };
            ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
            ::freeaddrinfo(addresses);
            fd = s;
            return Attempt::Connected;
        }
        lastError = errno;
        ::close(s);
    }
    ::freeaddrinfo(addresses);
    reason = errorText(lastError);
    return Attempt::Transient;
}

bool jobSender::writeAll(int fd, const std::string &data, std::string &error)
{
    const char *p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                error = "VexlorApp on " + address() + " stopped reading the job after "
                    + std::to_string(m_bytesSent) + " bytes";
            else
                error = "The connection to VexlorApp on " + address() + " was lost after "
                    + std::to_string(m_bytesSent) + " bytes: " + errorText(errno);
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
        m_bytesSent += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Waits until the application's side has taken every byte, so that success is
// reported only for a job that arrived whole.
bool jobSender::handOver(int fd, std::string &error)
{
    ::shutdown(fd, SHUT_WR);
#ifdef SIOCOUTQ
    int lastQueued = -1;
    Clock::time_point lastProgress = Clock::now();
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQ, &queued) < 0)
            return true;
        if (queued == 0)
            return true;
        if (queued != lastQueued) {
            lastQueued = queued;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::seconds(stallSeconds)) {
            error = "VexlorApp on " + address() + " stopped reading the job with " + std::to_string(queued)
                + " bytes left";
            return false;
        }
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 50) > 0) {
            char discard[4096];
            const ssize_t n = ::recv(fd, discard, sizeof discard, 0);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                error = "The connection to VexlorApp on " + address()
                    + " was lost before the whole job arrived: " + errorText(errno);
                return false;
            }
            if (n == 0) {
                // The peer closed; whatever is still queued can no longer be read.
                if (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
                    error = "VexlorApp on " + address() + " closed the connection with "
                        + std::to_string(queued) + " bytes of the job unread";
                    return false;
                }
                return true;
            }
        }
    }
#else
    (void)error;
    return true;
#endif
}

void jobSender::reportProgress(std::uint64_t inputSize, std::uint64_t bytesIn)
{
    if (inputSize > 0) {
        const int percent = static_cast<int>(std::min<std::uint64_t>(100, bytesIn * 100 / inputSize));
        if (percent / 10 > m_lastPercent / 10 && percent < 100) {
            m_lastPercent = percent;
            backendLog::info("Sending the job to VexlorApp: " + std::to_string(percent / 10 * 10) + "%");
        }
        return;
    }
    if (m_nextReport == 0)
        m_nextReport = reportEveryBytes;
    if (bytesIn >= m_nextReport) {
        backendLog::info("Sending the job to VexlorApp: " + std::to_string(bytesIn >> 20) + " MiB sent");
        while (m_nextReport <= bytesIn)
            m_nextReport += reportEveryBytes;
    }
}
