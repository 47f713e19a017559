#ifndef ENGINEFIXTURE_H
#define ENGINEFIXTURE_H

#include "engraverlog.h"
#include "lpdserver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A virtual engraver in the test's own process, on a free port, with its spool
// and transcripts in a temporary folder.
struct engineFixture
{
    QTemporaryDir dir;
    engraverOptions options;
    std::unique_ptr<lpdServer> server;
    std::unique_ptr<QSignalSpy> stored;
    std::unique_ptr<QSignalSpy> reported;
    std::unique_ptr<QSignalSpy> closed;

    engineFixture()
    {
        engraverLog::setEnabled(qEnvironmentVariableIsSet("VEXLOR_TEST_VERBOSE"));
        options.port = 0;
        options.spoolDir = dir.filePath(QStringLiteral("spool"));
        options.transcriptDir = dir.filePath(QStringLiteral("transcripts"));
    }

    bool start()
    {
        server = std::make_unique<lpdServer>(options);
        stored = std::make_unique<QSignalSpy>(server.get(), &lpdServer::jobStored);
        reported = std::make_unique<QSignalSpy>(server.get(), &lpdServer::jobReported);
        closed = std::make_unique<QSignalSpy>(server.get(), &lpdServer::connectionClosed);
        QString error;
        if (!server->start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        return true;
    }

    quint16 port() const { return server->serverPort(); }

    // Every byte that connection `id` sent, once it has ended.
    QByteArray transcript(int id) const
    {
        QFile file(QStringLiteral("%1/connection-%2.bin").arg(options.transcriptDir).arg(id));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The stored job folders, oldest first.
    QStringList storedJobs() const
    {
        QStringList jobs;
        const QDir spool(options.spoolDir);
        for (const QString &name : spool.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            jobs << spool.filePath(name);
        return jobs;
    }

    QStringList incoming() const
    {
        return QDir(options.spoolDir + QStringLiteral("/.incoming"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

#endif // ENGINEFIXTURE_H
