#ifndef VEXLORSOCKET_H
#define VEXLORSOCKET_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

// Sends one finished engraver job to an engraver by LPD (RFC 1179): announces
// the job, sends the control file and then the job as the data file, and checks
// the engraver's one-byte answer after every step. One object per job, run on a
// thread of its own: the exchange blocks that thread while it waits for the
// answers. Every run ends with finished(), whatever happened.
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

private slots:
    void socketFailed(QAbstractSocket::SocketError socketError);

private:
    bool acknowledged();
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

    int m_connectTimeout = 10000;
    int m_ackTimeout = 30000;
    bool m_connected = false;
    bool m_finished = false;
};

#endif // VEXLORSOCKET_H
