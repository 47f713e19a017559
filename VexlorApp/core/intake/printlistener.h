#ifndef PRINTLISTENER_H
#define PRINTLISTENER_H

#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>

class QFile;
class QNetworkSession;
class QTcpServer;
class QTcpSocket;

// Receives the PostScript jobs that the print system sends to 127.0.0.1:55000
// and spools each into a file of its own in the spool folder. A job ends with
// "%%EOF" and a line feed; once its file is complete and closed it is
// announced by recived() with the file's path.
//
// Every connection has its own spool file and its own search state, so two
// senders at the same time never mix their bytes, a marker split between two
// reads is still found, and a chunk holding the ends of two jobs ends each at
// its own marker. A marker inside an embedded document does not end the job.
//
// A local program must not be able to block printing: a connection that sends
// nothing for the idle time is closed, and when the connection limit is
// reached the connection that has been quiet longest (one that never sent a
// byte first) makes room for the new one. The unfinished job of a connection
// closed this way is discarded and its spool file removed.
class printListener : public QObject
{
    Q_OBJECT
public:
    printListener(QDir spoolDir, QObject *parent = nullptr);
    ~printListener() override;

    // Defaults: 60000 ms and 64 connections; the environment variables
    // VEXLOR_LISTEN_IDLE_TIMEOUT_MS and VEXLOR_LISTEN_MAX_CONNECTIONS, read when
    // the listener is made, replace them. Set them before start().
    void setIdleTimeout(int msecs);
    int idleTimeout() const { return m_idleTimeout; }
    void setMaxConnections(int count);
    int maxConnections() const { return m_maxConnections; }

signals:
    void info(QString);
    void error(QString);
    void recived(QString);
    void finished();
    // The server could not listen; carries the server's error text. The
    // window shows it in its "PrintListener" message box (this library has
    // no widgets); error() follows.
    void listenFailed(QString);

private slots:
    void start();
    void sessionOpen();
    void getSomething();
    void actuallyGetSomething();
    void connectionClosed();

private:
    struct Connection;

    void receive(QTcpSocket *socket, Connection &state);
    void appendToJob(Connection &state, const char *data, qint64 length);
    void finishJob(Connection &state);
    bool openSpoolFile(Connection &state);
    void dropJob(Connection &state, const QString &why);
    void closeConnection(QTcpSocket *socket, const QString &why);
    void makeRoom();
    QString uniqueSpoolName();

    QTcpServer *server = nullptr;
    QNetworkSession *session = nullptr;
    QPointer<QTcpSocket> connection;
    QDateTime stamp;
    QDir m_spoolDir;
    QString m_nameBase;
    int m_nameCounter = 1;
    int m_idleTimeout = 60000;
    int m_maxConnections = 64;
    // A logical clock for "quiet longest": every accept and every read ticks.
    quint64 m_tick = 0;
    std::map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
};

#endif // PRINTLISTENER_H
