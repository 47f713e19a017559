#include "backendlog.h"

#include <cstdio>

namespace {

void line(const char *prefix, const std::string &text)
{
    // A line break inside the text would start a line the scheduler misreads.
    std::string flat = text;
    for (char &c : flat) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::fprintf(stderr, "%s: %s\n", prefix, flat.c_str());
    std::fflush(stderr);
}

} // namespace

namespace backendLog {

void info(const std::string &text)
{
    line("INFO", text);
}

void error(const std::string &text)
{
    line("ERROR", text);
}

void warning(const std::string &text)
{
    line("WARNING", text);
}

void debug(const std::string &text)
{
    line("DEBUG", text);
}

void state(const std::string &change)
{
    line("STATE", change);
}

} // namespace backendLog
