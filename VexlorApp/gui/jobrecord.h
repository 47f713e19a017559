#ifndef JOBRECORD_H
#define JOBRECORD_H

#include "vexlortypes.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// One job of this run of the application, from the moment the listener has
// spooled it: where its files are, what it asked for, and how far it got.
struct JobRecord
{
    enum State { Waiting, Processing, Ready, Sending, Sent, Failed, Cancelled };

    int id = 0;
    QString spoolFile;
    QString optionsFile;
    vexlorSettings settings;
    bool parsed = false;
    // The user changed its settings after it arrived.
    bool edited = false;
    QString title;
    QDateTime received;
    State state = Waiting;
    QString reason;
    // Things the user should know about the job (page count, parts of the
    // page that could not be drawn, values taken to the nearest allowed one).
    QStringList notices;
    // How long the engraver takes for its job, once the job is generated.
    QString estimate;

    static QString stateText(State state);
};

// A worker answers its requests in the order they were made. The window keeps
// one ticket per request it has sent a worker, so that every answer can be
// matched with the job and the run that asked for it; an answer for another
// job or an earlier run is dropped.
struct JobTicket
{
    int job = 0;
    int run = 0;
    // A request that was withdrawn (its render was stopped): it may have
    // answered before it was stopped, or it never answers.
    bool withdrawn = false;
    quint64 serial = 0;

    bool operator==(const JobTicket &other) const { return job == other.job && run == other.run; }
};

class TicketLine
{
public:
    JobTicket push(int job, int run)
    {
        JobTicket ticket { job, run, false, ++m_serial };
        m_tickets.append(ticket);
        return ticket;
    }
    bool isEmpty() const { return m_tickets.isEmpty(); }
    int size() const { return m_tickets.size(); }
    // The request that the next answer belongs to.
    const JobTicket *front() const { return m_tickets.isEmpty() ? nullptr : &m_tickets.first(); }
    JobTicket take() { return m_tickets.isEmpty() ? JobTicket { -1, -1, true, 0 } : m_tickets.takeFirst(); }
    // Marks every outstanding request as withdrawn; returns the serial of the
    // newest one.
    quint64 withdrawAll()
    {
        for (JobTicket &ticket : m_tickets)
            ticket.withdrawn = true;
        return m_serial;
    }
    // Requests up to the serial that were withdrawn will never answer now.
    void forgetWithdrawn(quint64 upTo)
    {
        while (!m_tickets.isEmpty() && m_tickets.first().withdrawn && m_tickets.first().serial <= upTo)
            m_tickets.removeFirst();
    }
    // Whether a live request of that job and run is outstanding.
    bool awaits(int job, int run) const
    {
        for (const JobTicket &ticket : m_tickets) {
            if (!ticket.withdrawn && ticket.job == job && ticket.run == run)
                return true;
        }
        return false;
    }

private:
    QList<JobTicket> m_tickets;
    quint64 m_serial = 0;
};

#endif // JOBRECORD_H
