#include "backendoptions.h"

#include <cstdlib>

namespace {

bool parseInt(const std::string &text, long min, long max, int &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < min || v > max)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool isJobId(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "vexlor://HOST[:PORT][/...]", HOST may be "[v6 address]".
bool parseDeviceUri(const std::string &uri, std::string &host, int &port, std::string &error)
{
    const std::string scheme = "vexlor://";
    if (uri.compare(0, scheme.size(), scheme) != 0) {
        error = "The device URI \"" + uri + "\" is not a vexlor:// URI";
        return false;
    }
    std::string rest = uri.substr(scheme.size());
    const std::size_t cut = rest.find_first_of("/?#");
    if (cut != std::string::npos)
        rest.erase(cut);
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "The device URI \"" + uri + "\" has an unterminated address";
            return false;
        }
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                error = "The device URI \"" + uri + "\" is malformed";
                return false;
            }
            portText = after.substr(1);
        }
    } else {
        const std::size_t colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos)
            portText = rest.substr(colon + 1);
    }
    if (host.empty()) {
        error = "The device URI \"" + uri + "\" names no host";
        return false;
    }
    if (!portText.empty() && !parseInt(portText, 1, 65535, port)) {
        error = "The device URI \"" + uri + "\" has an invalid port";
        return false;
    }
    return true;
}

backendOptions invalid(backendOptions options, const std::string &error, bool configuration)
{
    options.mode = backendOptions::Mode::Invalid;
    options.error = error;
    options.configurationError = configuration;
    return options;
}

} // namespace

backendOptions backendOptions::parse(
    const std::vector<std::string> &args, const std::map<std::string, std::string> &env)
{
    backendOptions options;
    if (args.empty()) {
        options.mode = Mode::Discovery;
        return options;
    }

    const bool printSystem = (args.size() == 5 || args.size() == 6) && isJobId(args[0]);

    if (printSystem) {
        const auto uri = env.find("DEVICE_URI");
        if (uri != env.end() && !uri->second.empty()) {
            std::string error;
            if (!parseDeviceUri(uri->second, options.host, options.port, error))
                return invalid(options, error, true);
        }
    }

    const auto host = env.find("VEXLOR_HOST");
    if (host != env.end() && !host->second.empty())
        options.host = host->second;
    const auto port = env.find("VEXLOR_PORT");
    if (port != env.end() && !port->second.empty() && !parseInt(port->second, 1, 65535, options.port))
        return invalid(
            options, "VEXLOR_PORT \"" + port->second + "\" is not a port number from 1 to 65535", true);
    const auto retry = env.find("VEXLOR_RETRY_SECONDS");
    if (retry != env.end() && !retry->second.empty()
        && !parseInt(retry->second, 0, maxRetrySeconds, options.retrySeconds))
        return invalid(options,
            "VEXLOR_RETRY_SECONDS \"" + retry->second + "\" is not a number of seconds from 0 to "
                + std::to_string(maxRetrySeconds),
            true);

    if (printSystem) {
        options.mode = Mode::PrintSystem;
        options.jobId = args[0];
        options.user = args[1];
        options.title = args[2];
        if (!parseInt(args[3], 1, 999999999, options.copies))
            options.copies = 1;
        if (args.size() == 6)
            options.inputPath = args[5];
        return options;
    }

    bool haveInput = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.mode = Mode::Help;
            return options;
        }
        std::string name;
        std::string value;
        bool valueGiven = false;
        if (arg.compare(0, 2, "--") == 0 && arg.size() > 2) {
            const std::size_t eq = arg.find('=');
            name = arg.substr(0, eq);
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                valueGiven = true;
            }
            if (name != "--host" && name != "--port" && name != "--retry")
                return invalid(options, "Unknown option \"" + arg + "\"", false);
            if (!valueGiven) {
                if (i + 1 >= args.size())
                    return invalid(options, "The option " + name + " needs a value", false);
                value = args[++i];
            }
            if (name == "--host") {
                if (value.empty())
                    return invalid(options, "The option --host needs a host name", false);
                options.host = value;
            } else if (name == "--port") {
                if (!parseInt(value, 1, 65535, options.port))
                    return invalid(
                        options, "The port \"" + value + "\" is not a number from 1 to 65535", false);
            } else if (!parseInt(value, 0, maxRetrySeconds, options.retrySeconds)) {
                return invalid(options,
                    "The retry period \"" + value + "\" is not a number of seconds from 0 to "
                        + std::to_string(maxRetrySeconds),
                    false);
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return invalid(options, "Unknown option \"" + arg + "\"", false);
        if (haveInput)
            return invalid(options, "Only one file can be sent at a time", false);
        haveInput = true;
        options.inputPath = (arg == "-") ? std::string() : arg;
    }
    options.mode = Mode::ByHand;
    return options;
}

std::string backendOptions::usage()
{
    return "Usage: vexlor [--host HOST] [--port PORT] [--retry SECONDS] [FILE | -]\n"
           "       vexlor JOB-ID USER TITLE COPIES OPTIONS [FILE]   (as a print system backend)\n"
           "       vexlor                                          (device discovery)\n"
           "Sends one PostScript job to VexlorApp (default 127.0.0.1:55000), from FILE or standard input.\n"
           "Environment: VEXLOR_HOST, VEXLOR_PORT, VEXLOR_RETRY_SECONDS (default 60), DEVICE_URI.\n";
}
