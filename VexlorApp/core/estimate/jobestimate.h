#ifndef JOBESTIMATE_H
#define JOBESTIMATE_H

#include "machinetiming.h"

#include <QByteArray>
#include <QString>

namespace JobDecoder {
struct DecodedJob;
}

namespace Vexlor {

// How long the engraver takes for a job, worked out from the stream it is
// sent, so that the application and the virtual engraver give the same
// figure for the same bytes.
//
// Raster: every row sent is one pass of the head across the bytes of the row,
// run on by the turnaround at both ends, at the raster speed; rows sent in
// reverse run from right to left. Between passes, and from the head's home at
// the top left corner to the first pass, the head moves straight to where the
// next pass begins, at the top vector speed.
// Vector: every line and every Bézier curve with the pen down is a cut, every
// pen-up point a move from where the head stands, all at the vector speed.
// Each move and each cut starts and ends at rest: it reaches the speed after
// the acceleration distance, or, when it is too short for that, turns back to
// braking half-way (a trapezoidal, or triangular, speed profile).
// Speeds are the machine's top speeds times the job's percentages; the head
// starts at home (0, 0) and the time to come back there is not counted.
class jobEstimate
{
public:
    static jobEstimate fromJob(const JobDecoder::DecodedJob &job, const machineTiming &timing);
    // Decodes the stream (without drawing it); an unreadable stream gives an
    // estimate that is not valid, and the decoder's message in *error.
    static jobEstimate fromStream(
        const QByteArray &stream, const machineTiming &timing, QString *error = nullptr);
    // With the figures of the named engraver from the timing file in the
    // user's library folder; the defaults when the file or the engraver's
    // entry is missing, or when the file cannot be read (*problems says why).
    static jobEstimate forEngraver(
        const QByteArray &stream, const QString &engraverName, QStringList *problems = nullptr);

    // Time of one straight move of the given length from rest to rest.
    static double moveSeconds(double inches, double topSpeed, double acceleration);

    // "2 h 05 min", "4 min 07 s", "12 s", "under 1 s".
    static QString formatDuration(double seconds);
    // One line for people: the total, then raster and vector parts.
    QString describe() const;

    bool valid = false;
    double rasterSeconds = 0;
    double vectorSeconds = 0;
    double totalSeconds() const { return rasterSeconds + vectorSeconds; }

    int rasterRows = 0;
    // Length of all raster passes, turnarounds included, and of the moves
    // between them, inches.
    double rasterPassInches = 0;
    double rasterMoveInches = 0;
    // Number of cuts (runs of pen-down lines and curves), their length, and
    // the length of the pen-up moves between them, inches.
    int cuts = 0;
    double cutInches = 0;
    double travelInches = 0;
    // The speeds used, inches per second.
    double rasterSpeed = 0;
    double vectorSpeed = 0;
};

} // namespace Vexlor

#endif // JOBESTIMATE_H
