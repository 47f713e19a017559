#ifndef E2EHELPERS_H
#define E2EHELPERS_H

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A child process that ends when the test ends, even when the test crashes,
// so that no application is left holding the print port.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// Programs of the build tree.
QString binary(const QString &name);
QString ppdFile();
QString sourceFile(const QString &relative);

// A virtual engraver on a free port of 127.0.0.1, storing jobs in a folder.
class VirtualEngraver
{
public:
    explicit VirtualEngraver(const QStringList &extraArguments = {});
    ~VirtualEngraver();
    bool isListening() const { return m_port > 0; }
    int port() const { return m_port; }
    QString spool() const { return m_dir.path(); }
    // Job folders stored so far, oldest first.
    QStringList jobs() const;
    // The data file of a stored job.
    QByteArray jobData(const QString &jobFolder) const;
    QString log() const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
    mutable QByteArray m_output;
};

// Runs a PostScript file through the PPD's filter with the options and hands
// the result to the engraver queue's backend, as a queue would. Returns the
// backend's exit code.
int printThroughQueue(
    const QString &postScript, const QStringList &options, const QString &workDir, QString *log = nullptr);

// The first half of printThroughQueue: the PostScript file run through the
// PPD's filter with the options. Returns the filtered file, or an empty name.
QString filterForQueue(
    const QString &postScript, const QStringList &options, const QString &workDir, QString *log = nullptr);

// The second half: starts the queue's backend on a filtered file without
// waiting for it, so that several jobs can be on their way at once.
QProcess *startBackend(const QString &filtered, const QString &jobName, QObject *parent);

// Waits, with the event loop running, until every backend has ended; true
// when all of them ended with exit code 0.
bool waitForBackends(const QList<QProcess *> &backends, int timeoutMs = 120000);

// Writes a small PostScript job to a file and returns its path.
QString writePostScript(const QString &dir, const QString &name, const QByteArray &body,
    const QByteArray &title = QByteArray("Test job"));

// Newest file of a folder matching the filter, or an empty name.
QString newestFile(const QString &dir, const QString &filter);

// Makes the support folder of a window under dir with an engraver list of
// one engraver, "Virtual" at 127.0.0.1, chosen; returns the folder, empty
// when it could not be written.
QString writeEngraverList(const QString &dir);


// Share of pixels that agree between two one-bit pictures of the page, the
// difference allowed within one pixel (anti-aliased rendering may shift an
// edge by one pixel).
double agreement(const QImage &a, const QImage &b);

#endif // E2EHELPERS_H
