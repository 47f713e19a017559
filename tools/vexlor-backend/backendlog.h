#pragma once

#include <string>

// Messages to the print system, one line each on standard error, in the form
// the scheduler reads: "INFO: ...", "WARNING: ...", "ERROR: ...", "STATE: +reason", "DEBUG: ...".
// Run by hand, the same lines tell the user what happened.
namespace backendLog {

void info(const std::string &text);
void error(const std::string &text);
void warning(const std::string &text);
void debug(const std::string &text);
void state(const std::string &change);

} // namespace backendLog
