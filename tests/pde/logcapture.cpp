#include "logcapture.h"

namespace {

QStringList g_lines;

void capture(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        g_lines << message;
}

} // namespace

LogCapture::LogCapture()
    : m_previous(qInstallMessageHandler(capture))
{
    g_lines.clear();
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    g_lines.clear();
}

QStringList LogCapture::lines() const
{
    return g_lines;
}

QStringList LogCapture::linesStartingWith(const QString &prefix) const
{
    QStringList found;
    for (const QString &line : g_lines) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

void LogCapture::clear()
{
    g_lines.clear();
}
