// vexlor: the print system's backend of the engraver queue, and the program to
// send a PostScript file to VexlorApp by hand. See backendoptions.h for the
// command line and docs/cups.md for installing the queue.

#include "backendlog.h"
#include "backendoptions.h"
#include "jobsender.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/backend.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    // A peer that goes away must show up as a write error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vexlor %s\n", VEXLOR_VERSION);
        return CUPS_BACKEND_OK;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    std::map<std::string, std::string> env;
    for (const char *name : { "DEVICE_URI", "VEXLOR_HOST", "VEXLOR_PORT", "VEXLOR_RETRY_SECONDS" }) {
        if (const char *value = std::getenv(name))
            env[name] = value;
    }
    const backendOptions options = backendOptions::parse(args, env);

    switch (options.mode) {
    case backendOptions::Mode::Discovery:
        std::printf("network vexlor://%s \"Vexlor Engraver\" \"Vexlor Engraver (local VexlorApp)\"\n",
            backendOptions::defaultHost);
        return CUPS_BACKEND_OK;
    case backendOptions::Mode::Help:
        std::fputs(backendOptions::usage().c_str(), stdout);
        return CUPS_BACKEND_OK;
    case backendOptions::Mode::Invalid:
        backendLog::error(options.error);
        if (!options.configurationError)
            std::fputs(backendOptions::usage().c_str(), stderr);
        return options.configurationError ? CUPS_BACKEND_STOP : CUPS_BACKEND_FAILED;
    case backendOptions::Mode::PrintSystem:
    case backendOptions::Mode::ByHand:
        break;
    }

    int input = STDIN_FILENO;
    if (!options.inputPath.empty()) {
        input = ::open(options.inputPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            backendLog::error(
                "Unable to open the print file \"" + options.inputPath + "\": " + std::strerror(errno));
            return CUPS_BACKEND_FAILED;
        }
    }
    std::uint64_t size = 0;
    struct stat info
    {
    };
    if (::fstat(input, &info) == 0 && S_ISREG(info.st_mode))
        size = static_cast<std::uint64_t>(info.st_size);

    if (options.mode == backendOptions::Mode::PrintSystem) {
        backendLog::debug("Job " + options.jobId + " \"" + options.title + "\" of " + options.user + " for "
            + options.host + ":" + std::to_string(options.port));
        // The application prepares each job once and the user starts the
        // engraving from there; sending the job again would only replace it.
        if (options.copies > 1)
            backendLog::info("Sending one copy; start further runs from VexlorApp");
    }

    const int result = jobSender(options.host, options.port, options.retrySeconds).send(input, size);
    if (input != STDIN_FILENO)
        ::close(input);
    return result;
}
