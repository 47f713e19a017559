#include "printlistener.h"

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

namespace {

constexpr quint16 kListenPort = 55000;

// The end of a job: the PostScript end-of-file comment and a line feed.
const QByteArray kMarker = QByteArrayLiteral("%%EOF\n");

// What one read takes from the connection at most, so that a huge job passes
// through a bounded buffer on its way to the disk.
constexpr qint64 kMaxChunk = 1024 * 1024;

// Finds the first marker in data[pos, length) or one that begins in the tail
// (the last bytes of the job received before) and ends in data. Returns the
// offset in data just past the marker, or -1.
qint64 markerEnd(const QByteArray &tail, const char *data, qint64 length, qint64 pos)
{
    if (!tail.isEmpty()) {
        // The tail never holds a whole marker (the job would have ended), so
        // a marker found starting inside it is one split between two reads.
        const QByteArray joint
            = tail + QByteArray(data + pos, int(qMin<qint64>(kMarker.size() - 1, length - pos)));
        const int at = joint.indexOf(kMarker);
        if (at >= 0 && at < tail.size())
            return pos + at + kMarker.size() - tail.size();
    }
    const int at = QByteArray::fromRawData(data + pos, int(length - pos)).indexOf(kMarker);
    return at < 0 ? -1 : pos + at + kMarker.size();
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
    // The last bytes of the job so far (at most one less than the marker), so
    // that a marker split between two reads is found.
    QByteArray tail;
    // The job was refused or could not be written: its bytes are read and
    // thrown away up to its marker, so that the next job starts clean.
    bool dropping = false;
};

printListener::printListener(QDir spoolDir, QObject *parent)
    : QObject(parent)
    , stamp(QDateTime::currentDateTime())
    , m_spoolDir(spoolDir)
{
    qCDebug(lcListener) << "printListener created, spooling jobs into" << m_spoolDir.absolutePath();
}

printListener::~printListener()
{
    // Jobs still open are left as partial files; the sockets go with the
    // server, after the connections to our slots are gone.
    m_connections.clear();
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
        QTcpSocket *socket = server->nextPendingConnection();
        connection = socket;
        m_connections[socket] = std::make_unique<Connection>();
        connect(socket, &QTcpSocket::readyRead, this, &printListener::actuallyGetSomething);
        connect(socket, &QTcpSocket::disconnected, this, &printListener::connectionClosed);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void printListener::actuallyGetSomething()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    receive(socket, *it->second);
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
            const qint64 end = markerEnd(state.tail, data, length, pos);
            if (end < 0) {
                if (pos == 0)
                    emit info(QStringLiteral("No %%EOF"));
                appendToJob(state, data + pos, length - pos);
                break;
            }
            emit info(QStringLiteral("%%EOF Found!"));
            appendToJob(state, data + pos, end - pos);
            finishJob(state);
            pos = end;
            if (length - pos >= 2)
                emit info(QStringLiteral("Writing remaining data of length %1").arg(length - pos));
        }
    }
    emit info(QStringLiteral("We have gotten all of the data for this connection"));
    // Put what came so far on the disk, so that a full disk is noticed now
    // and a partial job is visible as it stands.
    if (state.file && !state.file->flush())
        dropJob(state,
            QStringLiteral("Could not write the spool file %1: %2; the job is dropped")
                .arg(state.file->fileName(), state.file->errorString()));
    emit info(QStringLiteral("Closing the port..."));
}

void printListener::appendToJob(Connection &state, const char *data, qint64 length)
{
    if (length <= 0)
        return;

    if (!state.dropping) {
        bool write = true;
        if (!state.file) {
            if (state.held.size() + length < 2) {
                state.held.append(data, int(length));
                write = false;
            } else {
                write = openSpoolFile(state);
            }
        }
        if (write) {
            bool ok = true;
            if (!state.held.isEmpty()) {
                ok = state.file->write(state.held) == state.held.size();
                state.held.clear();
            }
            ok = ok && state.file->write(data, length) == length;
            if (!ok)
                dropJob(state,
                    QStringLiteral("Could not write the spool file %1: %2; the job is dropped")
                        .arg(state.file->fileName(), state.file->errorString()));
        }
    }

    const int keep = kMarker.size() - 1;
    if (length >= keep)
        state.tail = QByteArray(data + length - keep, keep);
    else
        state.tail = (state.tail + QByteArray(data, int(length))).right(keep);
}

void printListener::finishJob(Connection &state)
{
    if (state.dropping) {
        emit info(QStringLiteral("The end of a dropped job has arrived; its bytes were discarded"));
    } else if (state.file) {
        const QString name = state.file->fileName();
        const bool flushed = state.file->flush();
        const QString why = state.file->errorString();
        state.file->close();
        if (!flushed || state.file->error() != QFileDevice::NoError) {
            emit error(QStringLiteral("Could not write the spool file %1: %2; the job is dropped")
                           .arg(name, flushed ? state.file->errorString() : why));
            state.file->remove();
        } else {
            stamp = QDateTime::currentDateTime();
            emit recived(name);
        }
    }
    state.file.reset();
    state.held.clear();
    state.tail.clear();
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
    if (!Vexlor::openPrivateFile(*file, QIODevice::WriteOnly, &reason)) {
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
