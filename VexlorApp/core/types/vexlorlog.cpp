#include "vexlorlog.h"

// Debug traces are off by default; warnings and worse stay on.
Q_LOGGING_CATEGORY(lcListener, "vexlor.listener", QtInfoMsg)
Q_LOGGING_CATEGORY(lcParser, "vexlor.parser", QtInfoMsg)
Q_LOGGING_CATEGORY(lcGs, "vexlor.gs", QtInfoMsg)
Q_LOGGING_CATEGORY(lcScene, "vexlor.scene", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRender, "vexlor.render", QtInfoMsg)
Q_LOGGING_CATEGORY(lcImaging, "vexlor.imaging", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOutput, "vexlor.output", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLpd, "vexlor.lpd", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWindow, "vexlor.window", QtInfoMsg)

namespace Vexlor {

const char *const logMessagePattern = "%{time yyyy-MM-dd HH:mm:ss.zzz} "
                                      "%{if-warning}warning: %{endif}"
                                      "%{if-critical}critical: %{endif}"
                                      "%{if-fatal}fatal: %{endif}"
                                      "%{if-category}%{category}: %{endif}%{message}";

void setUpLogging(bool verbose)
{
    qSetMessagePattern(QString::fromLatin1(logMessagePattern));
    if (verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("vexlor.*.debug=true"));
}

} // namespace Vexlor
