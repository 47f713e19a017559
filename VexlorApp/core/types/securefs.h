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

} // namespace Vexlor

#endif // SECUREFS_H
