#ifndef VEXLORSOCKET_H
#define VEXLORSOCKET_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

class QTcpSocket;

// Sends one finished engraver job to an engraver by LPD (RFC 1179): announces
// the job, sends the control file and then the job as the data file, and checks
// the engraver's one-byte answer after every step. One object per job, run on a
// thread of its own: the exchange blocks that thread while it waits for the
// answers. Every run ends with finished(), whatever happened.
//
// A transfer can be stopped from any thread through its abort switch. The
// sender looks at the switch at least every 50 ms, also while it waits for the
// engraver, and then ends the connection so that the engraver is never left
// with a complete job: between two files it sends the protocol's "abort job"
// subcommand and closes; inside a file it resets the connection, so that what
// is still queued for the engraver is thrown away.
class vexlorSocket : public QObject
{
    Q_OBJECT

public:
    vexlorSocket(
        QHostAddress address, quint16 port, QByteArray job, QString jobName, QObject *parent = nullptr);

    // Waiting times in milliseconds. The defaults are 10000 for the connection
    // and 30000 for each answer; the environment variables
    // VEXLOR_LPD_CONNECT_TIMEOUT_MS and VEXLOR_LPD_ACK_TIMEOUT_MS, read when the
    // sender is made, replace them. Set them before start().
    void setConnectTimeout(int msecs);
    int connectTimeout() const { return m_connectTimeout; }
    void setAckTimeout(int msecs);
    int ackTimeout() const { return m_ackTimeout; }

    // The text that goes on protocol lines for a name: the local 8-bit form
    // with every control character replaced by '_', so that a name cannot end
    // a line of the control file or a subcommand early. Blanks stay.
    static QByteArray protocolText(const QString &text);

    // Setting the switch to true stops the transfer. It is shared, so that
    // whoever keeps a copy can set it from any thread at any time, also after
    // the sender has finished and gone.
    using abortSwitch = std::shared_ptr<std::atomic_bool>;
    abortSwitch abortHandle() const { return m_abort; }
    void abort() { m_abort->store(true); }

public slots:
    void start();
    void socketConnected();
    void failedConnect();
    void sBytesWritten(qint64 count);

signals:
    void info(QString text);
    void error(QString text);
    void finished();
    void totalBytes(int count);
    void bytesWritten(int count);
    // The transfer was stopped through the abort switch; finished() follows.
    // wholeJobSent: the engraver had taken every byte of the job before the
    // stop, so it may engrave it all the same.
    void aborted(bool wholeJobSent);

private slots:
    void socketFailed(QAbstractSocket::SocketError socketError);
    void checkAbort();

private:
    // Where the exchange stands, for what a stop has to do.
    enum class phase {
        Connecting,
        AtFileBoundary, // the engraver reads a subcommand next
        InsideFile, // the engraver reads the body of a file next
        SendingData, // the job is on its way
        DataSent, // the engraver has every byte of the job
    };

    bool abortRequested() const { return m_abort->load(); }
    // Waits in short slices for data from the engraver; false on a time-out,
    // a closed connection or a stop.
    bool waitForAnswer();
    bool acknowledged();
    // Whether every byte written has been taken by the engraver's side.
    bool nothingQueued() const;
    void stopOnAbort();
    // Ends the connection with a reset: bytes still queued are discarded.
    void dropConnection();
    // Waits until the whole job has left for the engraver; false when the
    // engraver stops taking bytes for the answer's waiting time.
    bool dataSent();
    void fail(const QString &message);
    void finish();

    QTcpSocket *m_socket = nullptr;
    QByteArray m_jobData;
    QString m_jobName;
    quint16 m_port;
    QHostAddress m_address;
    QTimer m_connectTimer;
    QTimer m_abortPoll;
    abortSwitch m_abort = std::make_shared<std::atomic_bool>(false);
    phase m_phase = phase::Connecting;

    int m_connectTimeout = 10000;
    int m_ackTimeout = 30000;
    bool m_connected = false;
    bool m_finished = false;
};

#endif // VEXLORSOCKET_H
