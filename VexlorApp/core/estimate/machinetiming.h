#ifndef MACHINETIMING_H
#define MACHINETIMING_H

#include <QMap>
#include <QString>
#include <QStringList>

namespace Vexlor {

// What the time estimate needs to know of an engraver. The defaults are those
// of a typical desktop engraver of the supported model; a workshop whose
// machine runs differently sets its own figures per engraver.
struct machineTiming
{
    // Head speed of a raster pass at 100 % raster speed, inches per second.
    double rasterSpeed = 40.0;
    // Head speed of a cut at 100 % vector speed, inches per second.
    double vectorSpeed = 20.0;
    // How fast the head gains or loses speed, inches per second squared.
    double acceleration = 100.0;
    // How far the head runs on beyond each end of an engraved span before it
    // turns, inches.
    double turnaround = 0.25;

    bool operator==(const machineTiming &other) const;
    bool operator!=(const machineTiming &other) const { return !(*this == other); }
};

// The figures of each engraver, by engraver name, kept in a file of their own
// beside the engraver list so that the list's file stays as it is:
//
//   <machinesTiming>
//     <machine name="Workshop" rasterSpeed="40" vectorSpeed="20"
//              acceleration="100" turnaround="0.25"/>
//   </machinesTiming>
//
// An attribute left out takes its default; so does an engraver without an entry.
class machineTimingTable
{
public:
    // "machines-timing.xml" in the user's home folder followed by "/Library/Vexlor".
    static QString defaultPath();

    // Reads the file. A missing file is an empty table, not a failure; a file
    // that is not such a table gives false and a message. Values that are not
    // positive numbers keep their defaults and are named in *warnings.
    bool read(const QString &path, QString *error, QStringList *warnings = nullptr);
    // Writes the table in one step (the old file stays until the new one is whole).
    bool write(const QString &path, QString *error) const;

    machineTiming timingFor(const QString &machineName) const;
    void setTiming(const QString &machineName, const machineTiming &timing);
    void remove(const QString &machineName);
    QStringList machineNames() const { return m_timings.keys(); }

private:
    QMap<QString, machineTiming> m_timings;
};

} // namespace Vexlor

#endif // MACHINETIMING_H
