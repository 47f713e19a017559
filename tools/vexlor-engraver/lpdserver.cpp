#include "lpdserver.h"

#include "engraverlog.h"
#include "jobreport.h"
#include "lpdsession.h"

#include <QThread>

#include <unistd.h>

namespace {
// More clients than this at once is an attack or a runaway script.
constexpr int MaxConnections = 64;
} // namespace

lpdServer::lpdServer(const engraverOptions &options, QObject *parent)
    : QTcpServer(parent)
    , m_options(options)
    , m_spool(options.spoolDir)
{
    qRegisterMetaType<jobReceipt>();
    m_reports.setMaxThreadCount(qMax(1, options.maxReports));
}

lpdServer::~lpdServer()
{
    stop();
}

bool lpdServer::start(QString *error)
{
    if (!m_spool.prepare(error))
        return false;
    if (!listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(errorString());
        return false;
    }
    engraverLog::line(QStringLiteral("Listening on %1:%2").arg(serverAddress().toString()).arg(serverPort()));
    engraverLog::line(QStringLiteral("Jobs go to \"%1\"").arg(m_spool.root()));
    return true;
}

void lpdServer::stop()
{
    close();
    m_stop = true;
    for (auto &entry : m_sessions) {
        entry.second.thread->wait();
        delete entry.second.thread;
    }
    m_sessions.clear();
    m_reports.waitForDone();
}

void lpdServer::incomingConnection(qintptr descriptor)
{
    if (m_stop || m_sessions.size() >= MaxConnections) {
        engraverLog::line(QStringLiteral("too many connections; one refused"));
        ::close(static_cast<int>(descriptor));
        return;
    }
    const int id = m_nextId++;
    running entry;
    entry.session = std::make_unique<lpdSession>(id, descriptor, m_options, m_spool, &m_stop, this);
    lpdSession *session = entry.session.get();
    entry.thread = QThread::create([session] { session->run(); });
    entry.thread->setObjectName(QStringLiteral("connection %1").arg(id));
    m_sessions[id] = std::move(entry);
    emit connectionOpened(id);
    m_sessions[id].thread->start();
}

void lpdServer::sessionStoredJob(const QString &folder, const jobReceipt &receipt)
{
    QMetaObject::invokeMethod(
        this, [this, folder, receipt] { jobArrived(folder, receipt); }, Qt::QueuedConnection);
}

void lpdServer::sessionEnded(int id, int storedJobs, bool jobCommand)
{
    QMetaObject::invokeMethod(
        this, [this, id, storedJobs, jobCommand] { connectionEnded(id, storedJobs, jobCommand); },
        Qt::QueuedConnection);
}

void lpdServer::jobArrived(const QString &folder, const jobReceipt &receipt)
{
    if (m_options.once && m_onceConnection == 0)
        m_onceConnection = receipt.connection;
    if (receipt.connection == m_onceConnection)
        m_onceStored = true;
    emit jobStored(folder);
    if (!m_options.decode)
        return;
    ++m_pendingReports[receipt.connection];
    m_reports.start([this, folder, receipt] {
        QString error;
        if (jobReport::write(folder, receipt, &error, m_options.headInches))
            engraverLog::connection(receipt.connection, QStringLiteral("job drawn: \"%1\"").arg(folder));
        else
            engraverLog::connection(receipt.connection, QStringLiteral("cannot report the job: ") + error);
        const int connection = receipt.connection;
        QMetaObject::invokeMethod(
            this, [this, folder, connection] { reportDone(folder, connection); }, Qt::QueuedConnection);
    });
}

void lpdServer::reportDone(const QString &folder, int connection)
{
    if (--m_pendingReports[connection] <= 0)
        m_pendingReports.remove(connection);
    emit jobReported(folder);
    checkOnce();
}

void lpdServer::connectionEnded(int id, int storedJobs, bool jobCommand)
{
    auto it = m_sessions.find(id);
    if (it != m_sessions.end()) {
        it->second.thread->wait();
        delete it->second.thread;
        m_sessions.erase(it);
    }
    // A job connection that stored nothing (a refused or broken job) also
    // ends a --once run; queue queries and port probes do not.
    if (m_options.once && m_onceConnection == 0 && jobCommand)
        m_onceConnection = id;
    if (id == m_onceConnection)
        m_onceEnded = true;
    emit connectionClosed(id, storedJobs);
    checkOnce();
}

void lpdServer::checkOnce()
{
    if (!m_options.once || !m_onceEnded || m_pendingReports.contains(m_onceConnection))
        return;
    m_onceEnded = false; // report once
    m_onceConnection = -1;
    emit onceDone(m_onceStored);
}
