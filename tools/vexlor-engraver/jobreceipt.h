#ifndef JOBRECEIPT_H
#define JOBRECEIPT_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// What the LPD exchange told about a stored job.
struct jobReceipt
{
    struct dataFile
    {
        QByteArray lpdName; // the name the client gave it ("dfA001host")
        QString fileName; // the name in the job folder ("job.prn")
        qint64 size = 0;
    };

    int connection = 0;
    QString peer; // address:port of the client
    QByteArray queue; // queue named by the receive-job command
    QByteArray controlName; // "cfA001host"
    QByteArray control; // the control file as received, without its zero byte
    QList<dataFile> dataFiles;
    QDateTime received;

    // The value of the first control file line with this command letter
    // ('H' host, 'P' user, 'J' job name, 'N' source file name), or an empty
    // array when there is none.
    QByteArray controlValue(char command) const;
    // The job's title: the J line, else the N line, else the first data file.
    QString title() const;
};

Q_DECLARE_METATYPE(jobReceipt)

#endif // JOBRECEIPT_H
