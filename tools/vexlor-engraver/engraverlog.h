#ifndef ENGRAVERLOG_H
#define ENGRAVERLOG_H

#include <QString>

// One line per event on standard output, from any thread, each line whole.
class engraverLog
{
public:
    static void line(const QString &text);
    // Connection events carry the connection's number.
    static void connection(int id, const QString &text);
    // Switches the output off (tests that run the server in their own process).
    static void setEnabled(bool enabled);
};

#endif // ENGRAVERLOG_H
