#ifndef VEXLORDEVICE_H
#define VEXLORDEVICE_H

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <csignal>
#include <sys/types.h>

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

    // SIGTERM, SIGINT and SIGHUP, and the end of the parent process, end
    // the interpreter at once; the run then removes its working folder and
    // returns 128 + the signal without writing a scene.
    static void installSignalHandlers();
    static bool interrupted() { return receivedSignal != 0; }

    // The number of pages that the document's comments give ("%%Pages:",
    // else its "%%Page:" lines outside embedded documents); 0 when unknown.
    static int documentPages(const QString &file);

    // Working folders of runs whose program has gone (killed outright) are
    // removed by the next run in the same folder.
    static void removeStaleWorkFolders(const QString &folder);

private:
    enum { NotStarted = -1 };
    int fail(const QString &message);
    int endedBySignal();
    // Runs the interpreter to its end, its output copied to the messages;
    // its exit code, 128 + the signal that ended it, or NotStarted.
    int runInterpreter(const QString &program, const QStringList &arguments, const QString &workDir);
    static void onSignal(int signal);

    static volatile sig_atomic_t receivedSignal;
    static volatile pid_t interpreterPid;

    QString m_procedureSet;
    QTextStream &m_messages;
};

#endif // VEXLORDEVICE_H
