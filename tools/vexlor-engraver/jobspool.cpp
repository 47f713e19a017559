#include "jobspool.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic_int commitCounter { 0 };
}

jobSpool::jobSpool(const QString &root)
    : m_root(QDir::cleanPath(root))
{
}

QString jobSpool::incomingRoot() const
{
    return m_root + QStringLiteral("/.incoming");
}

bool jobSpool::prepare(QString *error) const
{
    errno = 0;
    if (!QDir().mkpath(incomingRoot())) {
        const int saved = errno;
        *error = QStringLiteral("cannot make the spool folder \"%1\": %2")
                     .arg(incomingRoot(),
                         saved ? QString::fromLocal8Bit(std::strerror(saved))
                               : QStringLiteral("unknown reason"));
        return false;
    }
    if (!QFileInfo(m_root).isWritable()) {
        *error = QStringLiteral("the spool folder \"%1\" is not writable").arg(m_root);
        return false;
    }
    return true;
}

std::unique_ptr<QTemporaryDir> jobSpool::newIncoming(QString *error) const
{
    auto dir = std::make_unique<QTemporaryDir>(incomingRoot() + QStringLiteral("/job-XXXXXX"));
    if (!dir->isValid()) {
        // The spool may have been removed while we run.
        QString reason;
        if (prepare(&reason))
            dir = std::make_unique<QTemporaryDir>(incomingRoot() + QStringLiteral("/job-XXXXXX"));
        if (!dir->isValid()) {
            *error = QStringLiteral("cannot make an incoming folder in \"%1\": %2")
                         .arg(incomingRoot(), dir->errorString());
            return nullptr;
        }
    }
    return dir;
}

QString jobSpool::safeName(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (out.size() >= 40)
            break;
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-')
            || c == QLatin1Char('_') || c == QLatin1Char('.');
        out += plain ? c : QLatin1Char('_');
    }
    while (out.startsWith(QLatin1Char('.')))
        out[0] = QLatin1Char('_');
    return out;
}

QString jobSpool::commit(QTemporaryDir *incoming, const QString &jobName, QString *error) const
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString name = safeName(jobName);
    const QByteArray from = QFile::encodeName(incoming->path());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int number = ++commitCounter;
        QString folder = QStringLiteral("%1-%2").arg(stamp).arg(number, 4, 10, QLatin1Char('0'));
        if (!name.isEmpty())
            folder += QLatin1Char('-') + name;
        const QString target = m_root + QLatin1Char('/') + folder;
        // rename() would replace an empty folder of the same name; making the
        // target first claims the name against other engravers on the spool.
        const QByteArray to = QFile::encodeName(target);
        if (::mkdir(to.constData(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            *error = QStringLiteral("cannot store the job in \"%1\": %2")
                         .arg(target, QString::fromLocal8Bit(std::strerror(errno)));
            return QString();
        }
        if (std::rename(from.constData(), to.constData()) != 0) {
            const int saved = errno;
            ::rmdir(to.constData());
            *error = QStringLiteral("cannot store the job in \"%1\": %2")
                         .arg(target, QString::fromLocal8Bit(std::strerror(saved)));
            return QString();
        }
        incoming->setAutoRemove(false);
        return target;
    }
    *error = QStringLiteral("cannot find a free name for the job in \"%1\"").arg(m_root);
    return QString();
}
