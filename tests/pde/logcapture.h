#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the debug lines written through Qt's message handler while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // The lines that start with the prefix, in order.
    QStringList linesStartingWith(const QString &prefix) const;
    void clear();

private:
    QtMessageHandler m_previous;
};

#endif // LOGCAPTURE_H
