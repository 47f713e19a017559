#include "securefs.h"

#include <QDir>

#include <cerrno>
#include <cstdlib>
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
    const QIODevice::OpenMode qtMode
        = QIODevice::WriteOnly | (mode & (QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered));
    if (!file.open(qtMode | ((mode & QIODevice::Append) ? QIODevice::OpenMode() : QIODevice::Truncate))) {
        setReason(reason, file.errorString());
        return false;
    }
    return true;
}

bool writeAll(QFile &file, const char *data, qint64 length, QString *reason)
{
    const int fd = file.handle();
    if (fd < 0) {
        setReason(reason, QStringLiteral("%1 is not open").arg(file.fileName()));
        return false;
    }
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            setReason(reason, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

bool makeFolderPath(const QString &path, QString *reason)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    // Walk down from the root; every folder on the way must exist or be made.
    const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString sofar;
    for (const QString &part : parts) {
        sofar += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(sofar);
        if (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST)
            continue;
        const int failure = errno;
        struct stat st;
        // A folder we may not create but that exists (a parent we cannot
        // write into) is fine to pass through.
        if (::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        setReason(reason,
            QStringLiteral("Could not create %1: %2")
                .arg(sofar, QString::fromLocal8Bit(std::strerror(failure))));
        return false;
    }
    struct stat st;
    if (::stat(QFile::encodeName(clean).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        setReason(reason, QStringLiteral("%1 is not a folder").arg(clean));
        return false;
    }
    return true;
}

bool replaceFileAtomically(const QString &path, const QByteArray &data, QString *reason)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        setReason(reason,
            QStringLiteral("Could not create a new file beside %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const auto failWith = [&](const QString &what) {
        const int failure = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        setReason(reason,
            QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(failure))));
        return false;
    };
    struct stat st;
    // mkostemp makes the file 0600; an existing file keeps the mode it had,
    // a new one gets the usual mode under the user's umask.
    mode_t mode = 0;
    if (::stat(target.constData(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0)
        return failWith(QStringLiteral("Could not set the mode of the new"));
    const char *bytes = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, bytes, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return failWith(QStringLiteral("Could not write"));
        }
        bytes += written;
        left -= written;
    }
    if (::fsync(fd) != 0)
        return failWith(QStringLiteral("Could not write"));
    if (::close(fd) != 0) {
        const int failure = errno;
        ::unlink(temporary.constData());
        setReason(reason,
            QStringLiteral("Could not write %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(failure))));
        return false;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int failure = errno;
        ::unlink(temporary.constData());
        setReason(reason,
            QStringLiteral("Could not replace %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(failure))));
        return false;
    }
    return true;
}

} // namespace Vexlor
