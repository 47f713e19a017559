#include "lpdsession.h"

#include "engraverlog.h"
#include "lpdserver.h"

#include <QDir>
#include <QHostAddress>
#include <QStorageInfo>
#include <QTcpSocket>
#include <QThread>

namespace {

// Control files are a few lines; anything much larger is not one.
constexpr qint64 MaxControlFile = 1 << 20;
// Subcommand lines carry a count and a file name.
constexpr int MaxLine = 64 * 1024;
constexpr int PollMs = 100;
constexpr qint64 ChunkSize = 1 << 20;

// Protocol text as it may appear in a log line: printable ASCII as it is, the
// rest as \xNN, cut after 200 characters.
QString printable(const QByteArray &bytes)
{
    QString out;
    for (int i = 0; i < bytes.size(); ++i) {
        if (out.size() >= 200) {
            out += QStringLiteral("...");
            break;
        }
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out += QLatin1Char(static_cast<char>(c));
        else
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace

lpdSession::lpdSession(int id, qintptr descriptor, const engraverOptions &options, const jobSpool &spool,
    const std::atomic_bool *stop, lpdServer *server)
    : m_id(id)
    , m_descriptor(descriptor)
    , m_options(options)
    , m_spool(spool)
    , m_stop(stop)
    , m_server(server)
{
}

lpdSession::~lpdSession() = default;

void lpdSession::run()
{
    QTcpSocket socket;
    // Unbuffered: data files go from the socket straight into our chunk and
    // on into the file, without a copy through the socket's own buffer.
    if (!socket.setSocketDescriptor(
            m_descriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        engraverLog::connection(m_id, QStringLiteral("cannot take the connection: ") + socket.errorString());
        m_server->sessionEnded(m_id, 0, false);
        return;
    }
    m_socket = &socket;
    m_peer = QStringLiteral("%1:%2").arg(socket.peerAddress().toString()).arg(socket.peerPort());
    engraverLog::connection(m_id, QStringLiteral("from %1").arg(m_peer));

    if (!m_options.transcriptDir.isEmpty()) {
        QDir().mkpath(m_options.transcriptDir);
        m_transcript.setFileName(
            QStringLiteral("%1/connection-%2.bin").arg(m_options.transcriptDir).arg(m_id));
        if (!m_transcript.open(QIODevice::WriteOnly | QIODevice::Truncate))
            engraverLog::connection(m_id,
                QStringLiteral("cannot write the transcript \"%1\": %2")
                    .arg(m_transcript.fileName(), m_transcript.errorString()));
    }

    if (m_options.acceptDelayMs > 0) {
        engraverLog::connection(
            m_id, QStringLiteral("waiting %1 ms before answering").arg(m_options.acceptDelayMs));
        QElapsedTimer delay;
        delay.start();
        while (!*m_stop && delay.elapsed() < m_options.acceptDelayMs)
            QThread::msleep(
                static_cast<unsigned long>(qMin<qint64>(PollMs, m_options.acceptDelayMs - delay.elapsed())));
    }

    m_idle.start();
    char command = 0;
    QByteArray operand;
    if (readByte(&command) && readLine(&operand)) {
        switch (command) {
        case 0x02:
            m_queue = operand;
            receiveJob(operand);
            break;
        case 0x01:
            engraverLog::connection(m_id,
                QStringLiteral("print waiting jobs on queue \"%1\": nothing waits").arg(printable(operand)));
            break;
        case 0x03:
        case 0x04: {
            engraverLog::connection(m_id, QStringLiteral("queue state of \"%1\"").arg(printable(operand)));
            const int space = operand.indexOf(' ');
            const QByteArray queue = space < 0 ? operand : operand.left(space);
            send("vexlor-engraver: queue \"" + queue + "\" is ready; no entries\n");
            break;
        }
        case 0x05:
            engraverLog::connection(
                m_id, QStringLiteral("remove jobs \"%1\": nothing to remove").arg(printable(operand)));
            break;
        default:
            engraverLog::connection(m_id,
                QStringLiteral("unknown command \\x%1 \"%2\"; closing")
                    .arg(static_cast<unsigned char>(command), 2, 16, QLatin1Char('0'))
                    .arg(printable(operand)));
            break;
        }
    } else if (m_end == End::LineTooLong) {
        engraverLog::connection(m_id, QStringLiteral("command line too long; closing"));
    }

    if (m_job) {
        engraverLog::connection(m_id,
            QStringLiteral("job incomplete when the connection ended (%1): %2; dropped")
                .arg(endReason(), missingParts()));
        m_job.reset();
    }
    engraverLog::connection(
        m_id, QStringLiteral("closed (%1), %2 job(s) stored").arg(endReason()).arg(m_storedJobs));
    socket.abort();
    m_socket = nullptr;
    if (m_transcript.isOpen())
        m_transcript.close();
    m_server->sessionEnded(m_id, m_storedJobs, command == 0x02);
}

QString lpdSession::endReason() const
{
    switch (m_end) {
    case End::None:
        return QStringLiteral("done");
    case End::Closed:
        return QStringLiteral("the client closed the connection");
    case End::Idle:
        return QStringLiteral("the client sent nothing for %1 s").arg(m_options.idleTimeoutMs / 1000.0);
    case End::Stopped:
        return QStringLiteral("the engraver is stopping");
    case End::LineTooLong:
        return QStringLiteral("a line without end");
    }
    return QString();
}

bool lpdSession::waitForData()
{
    if (m_end != End::None)
        return false;
    while (m_socket->bytesAvailable() == 0) {
        if (*m_stop) {
            m_end = End::Stopped;
            return false;
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            m_end = End::Closed;
            return false;
        }
        if (m_socket->waitForReadyRead(PollMs))
            break;
        if (m_socket->error() != QAbstractSocket::SocketTimeoutError
            && m_socket->state() != QAbstractSocket::ConnectedState && m_socket->bytesAvailable() == 0) {
            m_end = End::Closed;
            return false;
        }
        if (m_idle.elapsed() > m_options.idleTimeoutMs) {
            m_end = End::Idle;
            return false;
        }
    }
    m_idle.restart();
    return true;
}

void lpdSession::record(const char *data, qint64 size)
{
    if (m_transcript.isOpen() && size > 0)
        m_transcript.write(data, size);
}

bool lpdSession::readByte(char *c)
{
    while (waitForData()) {
        const qint64 got = m_socket->read(c, 1);
        if (got == 1) {
            record(c, 1);
            return true;
        }
        if (got < 0) {
            m_end = End::Closed;
            return false;
        }
        // Woken without data after all: wait again.
    }
    return false;
}

bool lpdSession::readLine(QByteArray *line)
{
    line->clear();
    char c = 0;
    while (readByte(&c)) {
        if (c == '\n')
            return true;
        if (line->size() >= MaxLine) {
            m_end = End::LineTooLong;
            return false;
        }
        line->append(c);
    }
    return false;
}

bool lpdSession::readExact(qint64 count, QFile *file, QByteArray *bytes)
{
    QByteArray chunk;
    chunk.resize(static_cast<int>(qMin(count, ChunkSize)));
    while (count > 0) {
        if (!waitForData())
            return false;
        const qint64 got = m_socket->read(chunk.data(), qMin<qint64>(count, chunk.size()));
        if (got < 0) {
            m_end = End::Closed;
            return false;
        }
        record(chunk.constData(), got);
        if (file && file->write(chunk.constData(), got) != got) {
            engraverLog::connection(
                m_id, QStringLiteral("cannot write \"%1\": %2").arg(file->fileName(), file->errorString()));
            return false;
        }
        if (bytes)
            bytes->append(chunk.constData(), static_cast<int>(got));
        count -= got;
    }
    return true;
}

void lpdSession::send(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_socket->flush();
    while (m_socket->bytesToWrite() > 0 && m_socket->state() == QAbstractSocket::ConnectedState && !*m_stop) {
        if (!m_socket->waitForBytesWritten(PollMs)
            && m_socket->error() != QAbstractSocket::SocketTimeoutError)
            break;
    }
}

bool lpdSession::answer(lpdStep step)
{
    const QString name = lpdStepName(step);
    if (m_options.failAt.contains(step)) {
        send(QByteArray(1, '\x01'));
        engraverLog::connection(m_id, QStringLiteral("%1: refused as told (answered 1)").arg(name));
        return false;
    }
    if (m_options.silentAt.contains(step)) {
        engraverLog::connection(m_id, QStringLiteral("%1: no answer, as told").arg(name));
        return true;
    }
    if (m_options.twoBytesAt.contains(step)) {
        send(QByteArray(2, '\0'));
        engraverLog::connection(m_id, QStringLiteral("%1: answered two zero bytes, as told").arg(name));
        return true;
    }
    if (m_options.nonzeroAt.contains(step)) {
        send(QByteArray(1, '\x01'));
        engraverLog::connection(m_id, QStringLiteral("%1: answered 1 but goes on, as told").arg(name));
        return true;
    }
    send(QByteArray(1, '\0'));
    return true;
}

void lpdSession::refuse(const QString &why)
{
    send(QByteArray(1, '\x01'));
    engraverLog::connection(m_id, QStringLiteral("refused: %1").arg(why));
}

void lpdSession::ignoreRest()
{
    if (m_job) {
        engraverLog::connection(m_id, QStringLiteral("job dropped"));
        m_job.reset();
    }
    // Whatever the client sends now is not part of a job; it is read (and kept
    // in the transcript) until the client goes.
    qint64 ignored = 0;
    QByteArray chunk(static_cast<int>(ChunkSize), Qt::Uninitialized);
    while (waitForData()) {
        const qint64 got = m_socket->read(chunk.data(), chunk.size());
        if (got < 0)
            break;
        record(chunk.constData(), got);
        ignored += got;
    }
    if (ignored > 0)
        engraverLog::connection(m_id, QStringLiteral("ignored %1 byte(s) after the refusal").arg(ignored));
}

void lpdSession::receiveJob(const QByteArray &queue)
{
    engraverLog::connection(m_id, QStringLiteral("receive job, queue \"%1\"").arg(printable(queue)));
    if (!answer(lpdStep::ReceiveJob)) {
        ignoreRest();
        return;
    }
    char code = 0;
    while (readByte(&code)) {
        if (code == '\0') {
            // The zero byte that clients following the RFC send after a data
            // file, once its count has been received and answered.
            continue;
        }
        QByteArray line;
        if (!readLine(&line)) {
            if (m_end == End::LineTooLong) {
                refuse(QStringLiteral("subcommand line too long"));
                ignoreRest();
            }
            return;
        }
        if (code == 0x01) {
            engraverLog::connection(m_id, QStringLiteral("abort job"));
            m_job.reset();
            continue;
        }
        if (code != 0x02 && code != 0x03) {
            refuse(QStringLiteral("unknown subcommand \\x%1 \"%2\"")
                       .arg(static_cast<unsigned char>(code), 2, 16, QLatin1Char('0'))
                       .arg(printable(line)));
            ignoreRest();
            return;
        }
        if (!receiveFile(code, line))
            return;
    }
}

bool lpdSession::receiveFile(char code, const QByteArray &line)
{
    const bool control = code == 0x02;
    const lpdStep subcommandStep = control ? lpdStep::ControlSubcommand : lpdStep::DataSubcommand;
    const lpdStep fileStep = control ? lpdStep::ControlFile : lpdStep::Data;
    const QString what = control ? QStringLiteral("control file") : QStringLiteral("data file");

    const int space = line.indexOf(' ');
    const QByteArray countText = space < 0 ? line : line.left(space);
    const QByteArray name = space < 0 ? QByteArray() : line.mid(space + 1);
    bool numberOk = !countText.isEmpty();
    for (const char c : countText)
        numberOk = numberOk && c >= '0' && c <= '9';
    const qint64 count = numberOk && countText.size() <= 18 ? countText.toLongLong(&numberOk) : -1;
    if (!numberOk || count < 0 || name.isEmpty()) {
        refuse(QStringLiteral("bad %1 line \"%2\"").arg(what, printable(line)));
        ignoreRest();
        return false;
    }
    engraverLog::connection(
        m_id, QStringLiteral("%1 \"%2\", %3 bytes").arg(what, printable(name)).arg(count));
    if (control && count > MaxControlFile) {
        refuse(QStringLiteral("a control file of %1 bytes is too large").arg(count));
        ignoreRest();
        return false;
    }
    const qint64 freeBytes = QStorageInfo(m_spool.root()).bytesAvailable();
    if (freeBytes >= 0 && count > freeBytes) {
        refuse(QStringLiteral("%1 bytes do not fit into the %2 bytes left in the spool")
                   .arg(count)
                   .arg(freeBytes));
        ignoreRest();
        return false;
    }
    if (!m_job) {
        m_job = std::make_unique<pendingJob>();
        QString error;
        m_job->dir = m_spool.newIncoming(&error);
        if (!m_job->dir) {
            m_job.reset();
            refuse(error);
            ignoreRest();
            return false;
        }
    }
    if (!answer(subcommandStep)) {
        ignoreRest();
        return false;
    }

    if (control) {
        QByteArray bytes;
        char terminator = 1;
        if (!readExact(count, nullptr, &bytes) || !readByte(&terminator)) {
            engraverLog::connection(m_id, QStringLiteral("control file cut off (%1)").arg(endReason()));
            return false;
        }
        if (terminator != '\0') {
            refuse(QStringLiteral("the control file is not followed by a zero byte (its count is wrong)"));
            ignoreRest();
            return false;
        }
        if (m_job->hasControl)
            engraverLog::connection(m_id, QStringLiteral("a second control file replaces the first"));
        m_job->hasControl = true;
        m_job->controlName = name;
        m_job->control = bytes;
        QFile file(m_job->dir->filePath(QStringLiteral("control")));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
            refuse(QStringLiteral("cannot write the control file: ") + file.errorString());
            ignoreRest();
            return false;
        }
    } else {
        const int number = m_job->dataFiles.size() + 1;
        jobReceipt::dataFile entry;
        entry.lpdName = name;
        entry.fileName = number == 1 ? QStringLiteral("job.prn") : QStringLiteral("job-%1.prn").arg(number);
        entry.size = count;
        QFile file(m_job->dir->filePath(entry.fileName));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            refuse(QStringLiteral("cannot write the data file: ") + file.errorString());
            ignoreRest();
            return false;
        }
        if (!readExact(count, &file, nullptr)) {
            if (m_end == End::None) {
                refuse(QStringLiteral("cannot write the data file"));
                ignoreRest();
            } else {
                engraverLog::connection(m_id, QStringLiteral("data file cut off (%1)").arg(endReason()));
            }
            return false;
        }
        if (!file.flush()) {
            refuse(QStringLiteral("cannot write the data file: ") + file.errorString());
            ignoreRest();
            return false;
        }
        file.close();
        m_job->dataFiles << entry;
    }

    // A refused file must not end up among the stored jobs.
    if (m_options.failAt.contains(fileStep)) {
        answer(fileStep);
        ignoreRest();
        return false;
    }
    if (jobComplete() && !storeJob()) {
        refuse(QStringLiteral("the job could not be stored"));
        ignoreRest();
        return false;
    }
    answer(fileStep);
    return true;
}

bool lpdSession::jobComplete() const
{
    return m_job && m_job->hasControl && !m_job->dataFiles.isEmpty() && missingDataFiles().isEmpty();
}

QList<QByteArray> lpdSession::missingDataFiles() const
{
    QList<QByteArray> missing;
    if (!m_job)
        return missing;
    // Every file the control file prints must have come.
    for (const QByteArray &line : m_job->control.split('\n')) {
        if (line.size() < 2 || !QByteArray("cdfglnoprtvz").contains(line.at(0)))
            continue;
        const QByteArray file = line.mid(1);
        bool found = false;
        for (const auto &entry : m_job->dataFiles)
            found = found || entry.lpdName == file;
        if (!found && !missing.contains(file))
            missing << file;
    }
    return missing;
}

QString lpdSession::missingParts() const
{
    QStringList parts;
    if (!m_job->hasControl)
        parts << QStringLiteral("no control file came");
    if (m_job->dataFiles.isEmpty())
        parts << QStringLiteral("no data file came");
    QStringList names;
    for (const QByteArray &name : missingDataFiles())
        names << QStringLiteral("\"%1\"").arg(printable(name));
    if (!names.isEmpty())
        parts << QStringLiteral("the control file names %1, which never came")
                     .arg(names.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}

bool lpdSession::storeJob()
{
    jobReceipt receipt;
    receipt.connection = m_id;
    receipt.peer = m_peer;
    receipt.queue = m_queue;
    receipt.controlName = m_job->controlName;
    receipt.control = m_job->control;
    receipt.dataFiles = m_job->dataFiles;
    receipt.received = QDateTime::currentDateTime();

    QString error;
    const QString folder = m_spool.commit(m_job->dir.get(), receipt.title(), &error);
    m_job.reset();
    if (folder.isEmpty()) {
        engraverLog::connection(m_id, QStringLiteral("cannot store the job: ") + error);
        return false;
    }
    ++m_storedJobs;
    engraverLog::connection(m_id, QStringLiteral("job \"%1\" stored in \"%2\"").arg(receipt.title(), folder));
    m_server->sessionStoredJob(folder, receipt);
    return true;
}
