#ifndef VEXLORDEVICE_H
#define VEXLORDEVICE_H

#include <QString>
#include <QTextStream>

class commandLine;

// One run of the engraver device: clears the scene of an earlier job,
// has Ghostscript interpret the job with the procedure set that records
// the painting, and turns the records into the scene file. Messages go to
// the given stream (standard output), the interpreter's own included.
class vexlorDevice
{
public:
    enum ExitCode { Success = 0, JobFailed = 1, UsageError = 2 };

    vexlorDevice(const QString &procedureSet, QTextStream &messages);
    int run(const commandLine &arguments);

    // The interpreter: $VEXLOR_GS_INTERPRETER when set, else gs on the path.
    static QString interpreter();

private:
    int fail(const QString &message);

    QString m_procedureSet;
    QTextStream &m_messages;
};

#endif // VEXLORDEVICE_H
