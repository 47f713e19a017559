#include "jobrecord.h"

QString JobRecord::stateText(State state)
{
    switch (state) {
    case Waiting:
        return QStringLiteral("waiting");
    case Processing:
        return QStringLiteral("processing");
    case Ready:
        return QStringLiteral("ready");
    case Sending:
        return QStringLiteral("sending");
    case Sent:
        return QStringLiteral("sent");
    case Failed:
        return QStringLiteral("failed");
    case Cancelled:
        return QStringLiteral("cancelled");
    }
    return QString();
}
