#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Sends one print job to VexlorApp over one TCP connection.
//
// The job is read from a file descriptor in chunks and shaped by jobStream on
// the way, so a job of any size passes through a small buffer. While nothing
// listens at the address (VexlorApp not started yet) the connection is tried
// again with a growing pause until the retry period is over.
class jobSender
{
public:
    jobSender(std::string host, int port, int retrySeconds);

    // Returns a print system backend exit code (cups/backend.h). inputSize is
    // the size of the job when known (a regular file), else 0; it only serves
    // the progress messages.
    int send(int inputFd, std::uint64_t inputSize);

    static constexpr std::size_t chunkSize = 256 * 1024;
    // Longest time a write or the final hand-over may make no progress.
    static constexpr int stallSeconds = 120;

private:
    enum class Attempt { Connected, Transient, Fatal };

    int connectWithRetry(int &fd);
    Attempt tryConnect(int &fd, int timeoutMs, std::string &reason);
    bool writeAll(int fd, const std::string &data, std::string &error);
    bool handOver(int fd, std::string &error);
    void reportProgress(std::uint64_t inputSize, std::uint64_t bytesIn);
    std::string address() const;

    std::string m_host;
    int m_port;
    int m_retrySeconds;
    std::uint64_t m_bytesSent = 0;
    int m_lastPercent = 0;
    std::uint64_t m_nextReport = 0;
};
