#ifndef JOBSPOOL_H
#define JOBSPOOL_H

#include <QString>
#include <QTemporaryDir>

#include <memory>

// The folder of stored jobs. A job is received into a private folder under
// ".incoming" and moved among the stored jobs in one rename once it is
// complete, so a stored job is always whole; a job that is never completed
// disappears with its incoming folder.
class jobSpool
{
public:
    explicit jobSpool(const QString &root);

    QString root() const { return m_root; }
    QString incomingRoot() const;

    // Makes the spool and its incoming folder when they are missing.
    bool prepare(QString *error) const;

    // A new, empty incoming folder; it removes itself unless committed.
    std::unique_ptr<QTemporaryDir> newIncoming(QString *error) const;

    // Moves a complete incoming folder among the stored jobs, under a name made
    // of the time, a number and the job name. Safe against other threads and
    // other engravers that share the spool. Returns the stored folder, or an
    // empty string with a reason.
    QString commit(QTemporaryDir *incoming, const QString &jobName, QString *error) const;

    // A job name as it may appear in a folder name: letters, digits, '-', '_'
    // and '.', other characters as '_', at most 40 characters, never starting
    // with '.'.
    static QString safeName(const QString &name);

private:
    QString m_root;
};

#endif // JOBSPOOL_H
