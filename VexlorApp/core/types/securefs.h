#ifndef SECUREFS_H
#define SECUREFS_H

#include <QFile>
#include <QString>

// The working folders live in the shared /tmp. Another user could plant a
// folder or a symbolic link there before we start, so every folder we write
// into must be a real folder owned by us and closed to everyone else, and
// every file we create there is private to us.
namespace Vexlor {

// Creates the folder one level deep (no parents) with mode 0700 when it is
// missing. Returns false with a reason when the path is not a real folder
// owned by the current user (a symbolic link, a file, another owner); a folder
// of ours that others may open is closed to them.
bool makePrivateDir(const QString &path, QString *reason = nullptr);

// The same test without creating anything.
bool isPrivateDir(const QString &path, QString *reason = nullptr);

// Opens the file for writing (truncated, or appended to when mode holds
// QIODevice::Append), created with mode 0600 when missing. Refuses to follow a
// symbolic link and refuses a file owned by someone else.
bool openPrivateFile(QFile &file, QIODevice::OpenMode mode, QString *reason = nullptr);

// Writes all the bytes to the open file through its descriptor, past the
// toolkit's buffer, so that a failure keeps the system's own reason ("No space
// left on device") instead of a generic one. Open the file unbuffered.
bool writeAll(QFile &file, const char *data, qint64 length, QString *reason = nullptr);

// Creates the folder and every missing parent (mode 0700 for the ones made
// here). The reason names the system's error.
bool makeFolderPath(const QString &path, QString *reason = nullptr);

// Replaces the file with the data as one step: the data is written to a new
// file beside it, put on the disk, and renamed over the old one, so that the
// old file stays whole when anything fails. A file that exists keeps its mode.
// The reason names the system's error.
bool replaceFileAtomically(const QString &path, const QByteArray &data, QString *reason = nullptr);

} // namespace Vexlor

#endif // SECUREFS_H
