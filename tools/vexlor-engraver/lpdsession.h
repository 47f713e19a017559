#ifndef LPDSESSION_H
#define LPDSESSION_H

#include "engraveroptions.h"
#include "jobreceipt.h"
#include "jobspool.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

class QTcpSocket;
class lpdServer;

// One client connection of the virtual engraver, served from start to end on a
// thread of its own with blocking reads: the LPD command, and for a receive-job
// command its subcommands, control file and data files. Complete jobs are
// stored in the spool; whatever the client does, the session ends without
// leaving half a job among the stored ones.
class lpdSession
{
public:
    lpdSession(int id, qintptr descriptor, const engraverOptions &options, const jobSpool &spool,
        const std::atomic_bool *stop, lpdServer *server);
    ~lpdSession();

    lpdSession(const lpdSession &) = delete;
    lpdSession &operator=(const lpdSession &) = delete;

    // Serves the connection; returns when it has ended.
    void run();

private:
    struct pendingJob
    {
        std::unique_ptr<QTemporaryDir> dir;
        bool hasControl = false;
        QByteArray controlName;
        QByteArray control;
        QList<jobReceipt::dataFile> dataFiles;
    };

    bool waitForData();
    bool readByte(char *c);
    bool readLine(QByteArray *line);
    bool readExact(qint64 count, QFile *file, QByteArray *bytes);
    void record(const char *data, qint64 size);
    void send(const QByteArray &bytes);
    bool answer(lpdStep step);
    void refuse(const QString &why);
    void ignoreRest();

    void receiveJob(const QByteArray &queue);
    bool receiveFile(char code, const QByteArray &line);
    bool jobComplete() const;
    // The files the control file prints that have not come (yet).
    QList<QByteArray> missingDataFiles() const;
    // What a job that is not complete lacks, in words.
    QString missingParts() const;
    bool storeJob();
    QString endReason() const;

    int m_id;
    qintptr m_descriptor;
    engraverOptions m_options;
    jobSpool m_spool;
    const std::atomic_bool *m_stop;
    lpdServer *m_server;

    QTcpSocket *m_socket = nullptr;
    QString m_peer;
    QByteArray m_queue;
    QFile m_transcript;
    QElapsedTimer m_idle;
    enum class End { None, Closed, Idle, Stopped, LineTooLong } m_end = End::None;
    std::unique_ptr<pendingJob> m_job;
    int m_storedJobs = 0;
};

#endif // LPDSESSION_H
