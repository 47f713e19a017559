#ifndef ENGRAVEROPTIONS_H
#define ENGRAVEROPTIONS_H

#include <QHostAddress>
#include <QPointF>
#include <QSet>
#include <QString>
#include <QStringList>

// The steps of the receive-job exchange at which the engraver answers.
enum class lpdStep {
    ReceiveJob, // the receive-job command
    ControlSubcommand, // the receive-control-file line
    ControlFile, // the control file with its zero byte
    DataSubcommand, // the receive-data-file line
    Data, // the data file
};

inline uint qHash(lpdStep step, uint seed = 0)
{
    return ::qHash(static_cast<int>(step), seed);
}

QString lpdStepName(lpdStep step);
// Accepts the names printed by lpdStepName (receive-job, control-subcommand,
// control-file, data-subcommand, data).
bool lpdStepFromName(const QString &name, lpdStep *step);

// How the virtual engraver runs: where it listens, where it keeps jobs and how
// it misbehaves when asked to.
struct engraverOptions
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 515; // 0: any free port
    QString spoolDir; // stored jobs
    QString transcriptDir; // empty: no raw copy of the connections
    QSet<lpdStep> failAt; // refuse (answer 1, drop the job)
    QSet<lpdStep> silentAt; // never answer
    QSet<lpdStep> twoBytesAt; // answer two zero bytes
    QSet<lpdStep> nonzeroAt; // answer 1 but carry on as if the step was accepted
    int acceptDelayMs = 0; // wait this long before serving a new connection
    int idleTimeoutMs = 120000; // a client that sends nothing for this long is dropped
    int maxReports = 2; // jobs decoded and drawn at the same time
    bool once = false; // exit after the first job connection
    bool decode = true; // draw and summarise stored jobs
    // Where the head waits, in inches from the table's top left corner: a job
    // with centring on is engraved around it.
    QPointF headInches { 20.0, 14.0 };

    // The folder used when --spool is not given.
    static QString defaultSpoolDir();

    // Reads the command line (arguments[0] is the program). On failure returns
    // false with a message; sets *helpShown when --help or --version printed
    // something and the program should end.
    static bool parse(
        const QStringList &arguments, engraverOptions *options, QString *error, bool *helpShown = nullptr);
};

#endif // ENGRAVEROPTIONS_H
