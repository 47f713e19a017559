#ifndef LPDSERVER_H
#define LPDSERVER_H

#include "engraveroptions.h"
#include "jobreceipt.h"
#include "jobspool.h"

#include <QHash>
#include <QTcpServer>
#include <QThreadPool>

#include <atomic>
#include <map>
#include <memory>

class QThread;
class lpdSession;

// The virtual engraver's LPD server. Each connection is served on a thread of
// its own (lpdSession); stored jobs are decoded, drawn and summarised on a
// small pool of threads, so that a large job keeps no other client waiting.
// All signals are emitted on the thread the server lives on.
class lpdServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit lpdServer(const engraverOptions &options, QObject *parent = nullptr);
    ~lpdServer() override;

    // Prepares the spool and starts listening. Logs "Listening on ADDRESS:PORT".
    bool start(QString *error);
    // Stops listening, ends every connection (a job under way is dropped) and
    // waits for the reports under way.
    void stop();

    const engraverOptions &options() const { return m_options; }
    QString spoolDir() const { return m_spool.root(); }
    int openConnections() const { return static_cast<int>(m_sessions.size()); }

    // Called by the sessions, from their threads.
    void sessionStoredJob(const QString &folder, const jobReceipt &receipt);
    void sessionEnded(int id, int storedJobs, bool jobCommand);

signals:
    void connectionOpened(int id);
    // A complete job is in the spool (its picture and summary follow).
    void jobStored(QString folder);
    // The job's summary (and picture) are written.
    void jobReported(QString folder);
    void connectionClosed(int id, int storedJobs);
    // With the once option: the first job connection has ended and its jobs
    // are reported.
    void onceDone(bool jobStored);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct running
    {
        QThread *thread = nullptr;
        std::unique_ptr<lpdSession> session;
    };

    void jobArrived(const QString &folder, const jobReceipt &receipt);
    void connectionEnded(int id, int storedJobs, bool jobCommand);
    void reportDone(const QString &folder, int connection);
    void checkOnce();

    engraverOptions m_options;
    jobSpool m_spool;
    std::atomic_bool m_stop { false };
    int m_nextId = 1;
    std::map<int, running> m_sessions;
    QThreadPool m_reports;
    QHash<int, int> m_pendingReports; // per connection
    int m_onceConnection = 0; // the connection that ends a --once run
    bool m_onceStored = false;
    bool m_onceEnded = false;
};

#endif // LPDSERVER_H
