#pragma once

#include <map>
#include <string>
#include <vector>

// What one run of the backend is asked to do, from its arguments and environment.
//
// Run by the print system:  vexlor JOB USER TITLE COPIES OPTIONS [FILE]
//   (the job from FILE, else from standard input; host and port from the
//   DEVICE_URI "vexlor://HOST[:PORT]").
// Run by hand:              vexlor [--host H] [--port P] [--retry S] [FILE | -]
// Without arguments it prints the device discovery line.
// VEXLOR_HOST, VEXLOR_PORT and VEXLOR_RETRY_SECONDS override the device URI and
// the defaults; the command-line options override them in turn.
class backendOptions
{
public:
    enum class Mode { Discovery, PrintSystem, ByHand, Help, Invalid };

    static constexpr const char *defaultHost = "127.0.0.1";
    static constexpr int defaultPort = 55000;
    static constexpr int defaultRetrySeconds = 60;
    static constexpr int maxRetrySeconds = 24 * 60 * 60;

    // args holds the arguments after the program name; env the values of the
    // variables named above that are set.
    static backendOptions parse(
        const std::vector<std::string> &args, const std::map<std::string, std::string> &env);
    static std::string usage();

    Mode mode = Mode::Invalid;
    std::string host = defaultHost;
    int port = defaultPort;
    int retrySeconds = defaultRetrySeconds;
    // Empty for standard input.
    std::string inputPath;
    std::string jobId;
    std::string user;
    std::string title;
    int copies = 1;
    // Why the arguments were refused (mode Invalid).
    std::string error;
    // True when the refusal is about the queue's configuration (device URI,
    // environment) rather than about one job.
    bool configurationError = false;
};
