#include "vexlorsocket.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

// How often a waiting sender looks at its abort switch.
constexpr int kAbortPollMs = 50;

int timeoutFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

vexlorSocket::vexlorSocket(
    QHostAddress address, quint16 port, QByteArray job, QString jobName, QObject *parent)
    : QObject(parent)
    , m_jobData(job)
    , m_jobName(jobName)
    , m_port(port)
    , m_address(address)
{
    // A child, so that it moves to the sender's thread together with it.
    m_connectTimer.setParent(this);
    m_abortPoll.setParent(this);
    m_connectTimeout = timeoutFromEnvironment("VEXLOR_LPD_CONNECT_TIMEOUT_MS", m_connectTimeout);
    m_ackTimeout = timeoutFromEnvironment("VEXLOR_LPD_ACK_TIMEOUT_MS", m_ackTimeout);
}

void vexlorSocket::setConnectTimeout(int msecs)
{
    if (msecs > 0)
        m_connectTimeout = msecs;
}

void vexlorSocket::setAckTimeout(int msecs)
{
    if (msecs > 0)
        m_ackTimeout = msecs;
}

QByteArray vexlorSocket::protocolText(const QString &text)
{
    QString clean = text;
    for (QChar &c : clean) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    return clean.toLocal8Bit();
}

void vexlorSocket::start()
{
    if (m_socket || m_finished) // a sender carries one job over one connection
        return;
    if (abortRequested()) {
        emit info(QStringLiteral("Transfer cancelled before it began."));
        emit aborted(false);
        finish();
        return;
    }
    // While the connection is being made the thread's event loop runs; the
    // switch is looked at from there.
    m_abortPoll.setInterval(kAbortPollMs);
    connect(&m_abortPoll, SIGNAL(timeout()), this, SLOT(checkAbort()));
    m_abortPoll.start();

    m_socket = new QTcpSocket(this);
    connect(m_socket, SIGNAL(connected()), this, SLOT(socketConnected()));
    connect(m_socket, SIGNAL(bytesWritten(qint64)), this, SLOT(sBytesWritten(qint64)));
    // A refused connection is known at once; there is no point in letting the
    // user wait for the time-out.
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &vexlorSocket::socketFailed);
    m_socket->connectToHost(m_address, m_port, QIODevice::ReadWrite);
    if (m_finished)
        return;

    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(m_connectTimeout);
    connect(m_socket, SIGNAL(connected()), &m_connectTimer, SLOT(stop()));
    connect(&m_connectTimer, SIGNAL(timeout()), this, SLOT(failedConnect()));
    m_connectTimer.start();
}

void vexlorSocket::socketFailed(QAbstractSocket::SocketError)
{
    // Errors during the exchange show up as a missing answer of the step.
    if (m_connected)
        return;
    failedConnect();
}

void vexlorSocket::failedConnect()
{
    if (m_finished || m_connected)
        return;
    m_connectTimer.stop();
    if (m_socket) {
        // A connection that comes about after we gave up must not start an
        // exchange nobody listens to any more.
        m_socket->disconnect(this);
        m_socket->disconnect(&m_connectTimer);
        m_socket->abort();
    }
    fail(QStringLiteral("Could not connect to engraver!"));
}

void vexlorSocket::checkAbort()
{
    if (m_finished || m_connected || !abortRequested())
        return;
    stopOnAbort();
}

void vexlorSocket::stopOnAbort()
{
    m_connectTimer.stop();
    // A job whose last byte the engraver has taken cannot be called back:
    // the user is told so rather than that it was stopped.
    const bool wholeJobSent
        = m_phase == phase::DataSent || (m_phase == phase::SendingData && nothingQueued());
    if (m_socket && m_phase == phase::AtFileBoundary) {
        // Between two files the engraver understands being told to forget
        // the job; a plain close follows, so that the line goes out first.
        m_socket->disconnect(this);
        m_socket->write("\x01\n", 2);
        m_socket->waitForBytesWritten(kAbortPollMs);
        m_socket->disconnectFromHost();
    } else if (m_socket) {
        dropConnection();
    }
    emit info(wholeJobSent
            ? QStringLiteral("Transfer cancelled after the engraver had received the whole job.")
            : QStringLiteral("Transfer cancelled: the engraver did not receive the whole job."));
    emit aborted(wholeJobSent);
    finish();
}

void vexlorSocket::dropConnection()
{
    m_socket->disconnect(this);
#ifdef Q_OS_UNIX
    // A close with a zero linger time resets the connection: the part of the
    // job still queued in the system is thrown away instead of delivered.
    const qintptr fd = m_socket->socketDescriptor();
    if (fd >= 0) {
        const linger reset { 1, 0 };
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
#endif
    m_socket->abort();
}

bool vexlorSocket::nothingQueued() const
{
    if (m_socket->bytesToWrite() > 0)
        return false;
#ifdef Q_OS_LINUX
    int queued = 0;
    return ::ioctl(int(m_socket->socketDescriptor()), SIOCOUTQ, &queued) == 0 && queued == 0;
#else
    // Without a look into the system's queue the data may well be there.
    return true;
#endif
}

bool vexlorSocket::waitForAnswer()
{
    QElapsedTimer waited;
    waited.start();
    // An answer that came while the data was still going out is already here.
    while (m_socket->bytesAvailable() == 0) {
        if (abortRequested() || m_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        const qint64 left = m_ackTimeout - waited.elapsed();
        if (left <= 0)
            return false;
        m_socket->waitForReadyRead(int(qMin<qint64>(left, kAbortPollMs)));
    }
    return true;
}

bool vexlorSocket::acknowledged()
{
    if (!waitForAnswer())
        return false;
    const QByteArray answer = m_socket->readAll();
    return answer.size() == 1 && answer.at(0) == 0;
}

bool vexlorSocket::dataSent()
{
    // First out of our own buffer into the system. A write that makes no
    // progress for the answer's waiting time is an engraver that stopped
    // taking data.
    QElapsedTimer sinceWrite;
    sinceWrite.start();
    while (m_socket->bytesToWrite() > 0) {
        if (abortRequested() || m_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        if (m_socket->waitForBytesWritten(kAbortPollMs))
            sinceWrite.restart();
        else if (sinceWrite.hasExpired(m_ackTimeout))
            return false;
    }
#ifdef Q_OS_LINUX
    // Then out of the system's send queue: the bytes still there have not
    // reached the engraver. A slow engraver drains it slowly, which is not a
    // failure as long as it keeps taking bytes.
    const int fd = int(m_socket->socketDescriptor());
    int queued = 0;
    int lastQueued = -1;
    QElapsedTimer sinceProgress;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
        if (abortRequested())
            return false;
        if (queued != lastQueued) {
            lastQueued = queued;
            sinceProgress.start();
        } else if (sinceProgress.hasExpired(m_ackTimeout)) {
            return false;
        }
        // An answer (or a closed connection) ends the wait: the engraver
        // has said what it thinks of the job.
        if (m_socket->bytesAvailable() > 0 || m_socket->state() != QAbstractSocket::ConnectedState)
            break;
        m_socket->waitForReadyRead(kAbortPollMs);
    }
#endif
    return !abortRequested();
}

void vexlorSocket::fail(const QString &message)
{
    emit error(message);
    finish();
}

void vexlorSocket::finish()
{
    m_finished = true;
    m_abortPoll.stop();
    emit finished();
}

void vexlorSocket::socketConnected()
{
    if (m_finished || m_connected)
        return;
    m_connected = true;
    emit info(QStringLiteral("Sending information."));
    m_connectTimer.stop();
    if (abortRequested()) {
        stopOnAbort();
        return;
    }

    // Each step: what is written, where the exchange stands while its answer
    // is awaited, and the failure reported without one.
    const auto step = [this](const QByteArray &bytes, phase waiting, const char *failure) {
        m_phase = waiting;
        m_socket->write(bytes);
        if (acknowledged())
            return true;
        if (abortRequested())
            stopOnAbort();
        else
            fail(QLatin1String(failure));
        return false;
    };

    // Receive a job, on the default queue. Once it is answered the engraver
    // reads a subcommand next.
    if (!step(QByteArray("\x02\n", 2), phase::AtFileBoundary, "Problem with LPD header"))
        return;

    const QByteArray host = protocolText(QHostInfo::localHostName());
    const QByteArray name = protocolText(m_jobName);
    const QByteArray fileSuffix = name + host;

    QByteArray control;
    control += 'H' + host + '\n';
    control += "PVexlorApp\n";
    control += 'J' + name + '\n';
    control += "ldfA" + fileSuffix + '\n';
    control += "UdfA" + fileSuffix + '\n';
    control += 'N' + name + '\n';

    if (!step('\x02' + QByteArray::number(control.size()) + " cfA" + fileSuffix + '\n', phase::InsideFile,
            "Problem with LPD Settings Config"))
        return;
    if (!step(control + '\0', phase::AtFileBoundary, "Problem with LPD Settings Send"))
        return;
    if (!step('\x03' + QByteArray::number(m_jobData.size()) + " dfA" + fileSuffix + '\n', phase::InsideFile,
            "Problem with LPD Job"))
        return;

    emit info(QStringLiteral("There are ") + QString::number(m_jobData.size())
        + QStringLiteral(" bytes to be written."));
    emit info(QStringLiteral("Writing Data"));
    emit totalBytes(m_jobData.size());

    // The job already ends in zero bytes; no terminating zero follows it.
    m_phase = phase::SendingData;
    m_socket->write(m_jobData);
    // The wait for the engraver's answer starts once the last byte has gone
    // out: a job that takes longer than that wait to send over a slow network
    // is not a failed one (a resend would engrave it twice).
    if (!dataSent()) {
        if (abortRequested())
            stopOnAbort();
        else
            fail(QStringLiteral("Problem with Sending Job"));
        return;
    }
    m_phase = phase::DataSent;

    emit info(QStringLiteral("Engraver Processing"));
    emit totalBytes(0);

    if (!acknowledged()) {
        if (abortRequested())
            stopOnAbort();
        else
            fail(QStringLiteral("Problem with Sending Job"));
        return;
    }

    m_socket->disconnect();
    m_socket->close();
    emit info(QStringLiteral("End of print job"));
    finish();
}

void vexlorSocket::sBytesWritten(qint64 count)
{
    // After a failed step nobody waits for progress any more.
    if (m_finished)
        return;
    if (count > 2147483646) {
        emit error(QStringLiteral("More bytes than INT_MAX to be written to engraver!"));
        return;
    }
    emit bytesWritten(static_cast<int>(count));
}
