#ifndef VEXLORLOG_H
#define VEXLORLOG_H

#include <QLoggingCategory>

// The log is the user's record of what happened to a job. Its "INFO:" and
// "ERROR:" lines are always written; the developers' traces of each worker go
// into a category of their own that writes nothing unless asked for, with
// --verbose or with QT_LOGGING_RULES (for example "vexlor.parser.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcListener)
Q_DECLARE_LOGGING_CATEGORY(lcParser)
Q_DECLARE_LOGGING_CATEGORY(lcGs)
Q_DECLARE_LOGGING_CATEGORY(lcScene)
Q_DECLARE_LOGGING_CATEGORY(lcRender)
Q_DECLARE_LOGGING_CATEGORY(lcImaging)
Q_DECLARE_LOGGING_CATEGORY(lcOutput)
Q_DECLARE_LOGGING_CATEGORY(lcLpd)
Q_DECLARE_LOGGING_CATEGORY(lcWindow)

namespace Vexlor {

// The time stamp in front of every line, and the category of a trace.
// QT_MESSAGE_PATTERN in the environment still wins over it.
extern const char *const logMessagePattern;

// Sets the message pattern; with verbose, turns on the traces of every
// worker's category on top of the rules the environment gives.
void setUpLogging(bool verbose);

} // namespace Vexlor

#endif // VEXLORLOG_H
