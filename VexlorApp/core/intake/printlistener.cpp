#include "printlistener.h"

#include "jobboundary.h"
#include "securefs.h"
#include "vexlorlog.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkConfigurationManager>
#include <QNetworkSession>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr quint16 kListenPort = 55000;

// What one read takes from the connection at most, so that a huge job passes
// through a bounded buffer on its way to the disk.
constexpr qint64 kMaxChunk = 1024 * 1024;

int positiveFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

// What one connection is doing: the job being received into its own file.
struct printListener::Connection
{
    // The spool file of the job being received; none before its bytes start
    // and after its marker.
    std::unique_ptr<QFile> file;
    // The first byte of a job, held until a second one comes: the print
    // system ends its jobs with "%%EOF", a line feed and one 0x04 byte, and a
    // single byte after the last job is not a job of its own.
    QByteArray held;
    // Where the job ends, across reads.
    jobBoundary boundary;
    // The job was refused or could not be written: its bytes are read and
    // thrown away up to its marker, so that the next job starts clean.
    bool dropping = false;
    // Closes the connection when its sender stays silent.
    QTimer *idleTimer = nullptr;
    quint64 lastActivity = 0;
    bool sentAnything = false;
};

printListener::printListener(QDir spoolDir, QObject *parent)
    : QObject(parent)
    , stamp(QDateTime::currentDateTime())
    , m_spoolDir(spoolDir)
{
    m_idleTimeout = positiveFromEnvironment("VEXLOR_LISTEN_IDLE_TIMEOUT_MS", m_idleTimeout);
    m_maxConnections = positiveFromEnvironment("VEXLOR_LISTEN_MAX_CONNECTIONS", m_maxConnections);
    qCDebug(lcListener) << "printListener created, spooling jobs into" << m_spoolDir.absolutePath();
}

printListener::~printListener()
{
    // Jobs still open are left as partial files; the sockets go with the
    // server, after the connections to our slots are gone.
    m_connections.clear();
}

void printListener::setIdleTimeout(int msecs)
{
    if (msecs > 0)
        m_idleTimeout = msecs;
}

void printListener::setMaxConnections(int count)
{
    if (count > 0)
        m_maxConnections = count;
}

void printListener::start()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager manager;
    if (manager.capabilities() & QNetworkConfigurationManager::NetworkSessionRequired) {
        QSettings settings(QSettings::UserScope, QStringLiteral("QtProject"));
        settings.beginGroup(QStringLiteral("QtNetwork"));
        const QString id = settings.value(QStringLiteral("DefaultNetworkConfiguration")).toString();
        settings.endGroup();

        QNetworkConfiguration config = manager.configurationFromIdentifier(id);
        if ((config.state() & QNetworkConfiguration::Discovered) != QNetworkConfiguration::Discovered)
            config = manager.defaultConfiguration();

        session = new QNetworkSession(config, this);
        connect(session, &QNetworkSession::opened, this, &printListener::sessionOpen);
        session->open();
    } else {
        sessionOpen();
    }
    QT_WARNING_POP

    emit info(QStringLiteral("PrintListener Started!"));
}

void printListener::sessionOpen()
{
    emit info(QStringLiteral("A session has opened!"));

    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    if (session) {
        const QNetworkConfiguration config = session->configuration();
        QString id;
        if (config.type() == QNetworkConfiguration::UserChoice)
            id = session->sessionProperty(QStringLiteral("UserChoiceConfiguration")).toString();
        else
            id = config.identifier();

        QSettings settings(QSettings::UserScope, QStringLiteral("QtProject"));
        settings.beginGroup(QStringLiteral("QtNetwork"));
        settings.setValue(QStringLiteral("DefaultNetworkConfiguration"), id);
        settings.endGroup();
    }
    QT_WARNING_POP

    if (server)
        return;

    server = new QTcpServer(this);
    if (!server->listen(QHostAddress::LocalHost, kListenPort)) {
        const QString why = server->errorString();
        delete server;
        server = nullptr;
        emit listenFailed(why);
        emit error(QStringLiteral("Unable to start the PrintListener in sessionOpen()"));
        return;
    }
    connect(server, &QTcpServer::newConnection, this, &printListener::getSomething);
}

void printListener::getSomething()
{
    emit info(QStringLiteral("We have got something!"));
    while (server && server->hasPendingConnections()) {
        if (int(m_connections.size()) >= m_maxConnections)
            makeRoom();
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            break;
        connection = socket;
        auto state = std::make_unique<Connection>();
        state->lastActivity = ++m_tick;
        state->idleTimer = new QTimer(socket);
        state->idleTimer->setSingleShot(true);
        state->idleTimer->setInterval(m_idleTimeout);
        connect(state->idleTimer, &QTimer::timeout, socket, [this, socket]() {
            closeConnection(socket, QStringLiteral("The sender sent nothing for %1 ms").arg(m_idleTimeout));
        });
        state->idleTimer->start();
        m_connections[socket] = std::move(state);
        connect(socket, &QTcpSocket::readyRead, this, &printListener::actuallyGetSomething);
        connect(socket, &QTcpSocket::disconnected, this, &printListener::connectionClosed);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void printListener::makeRoom()
{
    // The one to go: a connection that never sent a byte, else the one that
    // has been quiet longest. A job that is streaming in is never the
    // quietest for long.
    QTcpSocket *victim = nullptr;
    const Connection *chosen = nullptr;
    for (const auto &entry : m_connections) {
        const Connection *candidate = entry.second.get();
        const bool better = !chosen || (!candidate->sentAnything && chosen->sentAnything)
            || (candidate->sentAnything == chosen->sentAnything
                && candidate->lastActivity < chosen->lastActivity);
        if (better) {
            victim = entry.first;
            chosen = candidate;
        }
    }
    if (victim)
        closeConnection(victim,
            QStringLiteral("%1 connections are open, the most the listener serves at once; the one quiet "
                           "longest makes room for a new one")
                .arg(m_maxConnections));
}

void printListener::closeConnection(QTcpSocket *socket, const QString &why)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection &state = *it->second;
    if (state.file) {
        const QString name = state.file->fileName();
        const qint64 size = state.boundary.scanned();
        state.file->close();
        state.file->remove();
        emit error(
            QStringLiteral("%1: the connection was closed and its unfinished job (%2 bytes) discarded; "
                           "the partial spool file %3 was removed")
                .arg(why)
                .arg(size)
                .arg(name));
    } else {
        emit info(QStringLiteral("%1: the connection was closed").arg(why));
    }
    m_connections.erase(it);
    if (connection == socket)
        connection = nullptr;
    // Nothing of this connection reaches us any more, whatever abort() emits.
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void printListener::actuallyGetSomething()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection &state = *it->second;
    state.lastActivity = ++m_tick;
    state.idleTimer->start();
    receive(socket, state);
}

void printListener::connectionClosed()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection &state = *it->second;
    // Whatever was read from the network before the close still counts.
    if (socket->bytesAvailable() > 0)
        receive(socket, state);

    if (state.file && state.boundary.depth() > 0 && state.boundary.lastInnerMarkerEnd() > 0) {
        // The job's own marker was taken for one of an embedded document
        // that never closed. The sender is done, so the job is: it ends at
        // its last "%%EOF" line, which is where it would have ended anyway.
        const qint64 end = state.boundary.lastInnerMarkerEnd();
        const qint64 dropped = state.boundary.scanned() - end;
        const int open = state.boundary.depth();
        if (!state.file->resize(end)) {
            dropJob(state,
                QStringLiteral("Could not write the spool file %1: %2; the job is dropped")
                    .arg(state.file->fileName(), state.file->errorString()));
        } else {
            emit info(
                QStringLiteral("The job's embedded documents never closed (%1 left open); the job ends at "
                               "its last %%EOF line as the connection ended (%2 bytes after it dropped)")
                    .arg(open)
                    .arg(dropped));
            finishJob(state);
        }
    }
    if (state.file) {
        const QString name = state.file->fileName();
        state.file->close();
        emit error(QStringLiteral("The connection closed before the end of the job; the partial spool file "
                                  "%1 is left as it is and not processed")
                       .arg(name));
    }
    // A single byte held after the last job (the print system's closing
    // 0x04, or a trailing line feed) is dropped with the connection.
    m_connections.erase(it);
    if (connection == socket)
        connection = nullptr;
}

void printListener::receive(QTcpSocket *socket, Connection &state)
{
    while (socket->bytesAvailable() > 0) {
        const qint64 available = socket->bytesAvailable();
        emit info(QStringLiteral("There are %1 bytes avaliable.").arg(available));
        const QByteArray chunk = socket->read(qMin(available, kMaxChunk));
        const char *data = chunk.constData();
        const qint64 length = chunk.size();

        qint64 pos = 0;
        while (pos < length) {
            const qint64 end = state.boundary.scan(data + pos, length - pos);
            if (end < 0) {
                if (pos == 0)
                    emit info(QStringLiteral("No %%EOF"));
                appendToJob(state, data + pos, length - pos);
                break;
            }
            emit info(QStringLiteral("%%EOF Found!"));
            appendToJob(state, data + pos, end);
            finishJob(state);
            pos += end;
            if (length - pos >= 2)
                emit info(QStringLiteral("Writing remaining data of length %1").arg(length - pos));
        }
        if (length > 0)
            state.sentAnything = true;
    }
    emit info(QStringLiteral("We have gotten all of the data for this connection"));
    emit info(QStringLiteral("Closing the port..."));
}

void printListener::appendToJob(Connection &state, const char *data, qint64 length)
{
    if (length <= 0 || state.dropping)
        return;
    if (!state.file) {
        if (state.held.size() + length < 2) {
            state.held.append(data, int(length));
            return;
        }
        if (!openSpoolFile(state))
            return;
    }
    // Written past the toolkit's buffer, so that a full disk is noticed at
    // once and named by the system's own words.
    QString why;
    bool ok = true;
    if (!state.held.isEmpty()) {
        ok = Vexlor::writeAll(*state.file, state.held.constData(), state.held.size(), &why);
        state.held.clear();
    }
    ok = ok && Vexlor::writeAll(*state.file, data, length, &why);
    if (!ok)
        dropJob(state,
            QStringLiteral("Could not write the spool file %1: %2; the job is dropped")
                .arg(state.file->fileName(), why));
}

void printListener::finishJob(Connection &state)
{
    if (state.dropping) {
        emit info(QStringLiteral("The end of a dropped job has arrived; its bytes were discarded"));
    } else if (state.file) {
        const QString name = state.file->fileName();
        state.file->close();
        stamp = QDateTime::currentDateTime();
        emit recived(name);
    }
    state.file.reset();
    state.held.clear();
    state.boundary.reset();
    state.dropping = false;
}

bool printListener::openSpoolFile(Connection &state)
{
    const QString folder = m_spoolDir.absolutePath();
    QString reason;
    // The spool folder is in the shared /tmp: write only into a real folder
    // of ours that nobody else can open.
    if (!Vexlor::isPrivateDir(folder, &reason)) {
        dropJob(state,
            QStringLiteral("Refusing to write the job into the spool folder %1: %2; the job is dropped")
                .arg(folder, reason));
        return false;
    }
    auto file = std::make_unique<QFile>(uniqueSpoolName());
    if (!Vexlor::openPrivateFile(*file, QIODevice::WriteOnly | QIODevice::Unbuffered, &reason)) {
        dropJob(state,
            QStringLiteral("Could not create a spool file in %1: %2; the job is dropped")
                .arg(folder, reason));
        return false;
    }
    state.file = std::move(file);
    return true;
}

void printListener::dropJob(Connection &state, const QString &why)
{
    emit error(why);
    if (state.file) {
        // A job that cannot be complete is not kept: on a full disk its
        // bytes would only take the room the next job needs.
        state.file->close();
        state.file->remove();
        state.file.reset();
    }
    state.held.clear();
    state.dropping = true;
}

QString printListener::uniqueSpoolName()
{
    // Names have a resolution of one second and an earlier job, a partial
    // one or one of another connection, may hold the name already: a counter
    // before the suffix keeps every job in a file of its own. The search goes
    // on from the last counter given for this second, so that a flood of
    // small jobs does not test the same names over and over.
    const QString base = m_spoolDir.absolutePath() + QStringLiteral("/%1").arg(stamp.toString(Qt::TextDate));
    if (base != m_nameBase) {
        m_nameBase = base;
        m_nameCounter = 1;
    }
    for (;; ++m_nameCounter) {
        const QString name = m_nameCounter == 1 ? base + QStringLiteral(".txt")
                                                : base + QStringLiteral("-%1.txt").arg(m_nameCounter);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
}
