#include "jobreceipt.h"

QByteArray jobReceipt::controlValue(char command) const
{
    for (const QByteArray &line : control.split('\n')) {
        if (!line.isEmpty() && line.at(0) == command)
            return line.mid(1);
    }
    return QByteArray();
}

QString jobReceipt::title() const
{
    QByteArray value = controlValue('J');
    if (value.isEmpty())
        value = controlValue('N');
    if (value.isEmpty() && !dataFiles.isEmpty())
        value = dataFiles.first().lpdName;
    return QString::fromLocal8Bit(value);
}
