#include "engraverlog.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <cstdio>

namespace {
QMutex logMutex;
std::atomic_bool logEnabled { true };
} // namespace

void engraverLog::line(const QString &text)
{
    if (!logEnabled)
        return;
    const QByteArray out
        = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toUtf8()
        + text.toUtf8() + '\n';
    QMutexLocker lock(&logMutex);
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    std::fflush(stdout);
}

void engraverLog::connection(int id, const QString &text)
{
    line(QStringLiteral("connection %1: %2").arg(id).arg(text));
}

void engraverLog::setEnabled(bool enabled)
{
    logEnabled = enabled;
}
