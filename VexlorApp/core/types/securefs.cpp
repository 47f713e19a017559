#include "securefs.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vexlor {

namespace {

void setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
}

} // namespace

bool isPrivateDir(const QString &path, QString *reason)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        setReason(reason, QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        setReason(reason, QStringLiteral("%1 is a symbolic link, refusing to use it").arg(path));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setReason(reason, QStringLiteral("%1 is not a folder").arg(path));
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        setReason(reason, QStringLiteral("%1 belongs to another user, refusing to use it").arg(path));
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        setReason(reason, QStringLiteral("%1 is open to other users").arg(path));
        return false;
    }
    return true;
}

bool makePrivateDir(const QString &path, QString *reason)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        setReason(reason,
            QStringLiteral("Could not create %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & 077) != 0) {
        // A folder of ours left open by an earlier run or by hand: close it.
        ::chmod(native.constData(), st.st_mode & 0700);
    }
    return isPrivateDir(path, reason);
}

bool openPrivateFile(QFile &file, QIODevice::OpenMode mode, QString *reason)
{
    const QByteArray native = QFile::encodeName(file.fileName());
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    else
        flags |= O_TRUNC;
    const int fd = ::open(native.constData(), flags, 0600);
    if (fd < 0) {
        setReason(reason,
            QStringLiteral("Could not open %1: %2")
                .arg(file.fileName(), QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        setReason(
            reason, QStringLiteral("%1 is not a file of ours, refusing to write it").arg(file.fileName()));
        return false;
    }
    // The descriptor only served to create the file with our mode and to check
    // it; QFile keeps its name when it opens the file by name.
    ::close(fd);
    const QIODevice::OpenMode qtMode = QIODevice::WriteOnly | (mode & (QIODevice::Append | QIODevice::Text));
    if (!file.open(qtMode | ((mode & QIODevice::Append) ? QIODevice::OpenMode() : QIODevice::Truncate))) {
        setReason(reason, file.errorString());
        return false;
    }
    return true;
}

} // namespace Vexlor
