#ifndef JOBREPORT_H
#define JOBREPORT_H

#include "jobdecoder.h"
#include "jobreceipt.h"
#include "tablepicture.h"

#include <QImage>
#include <QPointF>
#include <QString>
#include <QStringList>

// What a stored job would do on the engraver, for people: a picture of the
// table with what would be engraved (black) and cut (red), and a summary of
// its settings, its place on the table and what is wrong with it.
class jobReport
{
public:
    // Longest side of the table in a picture, in pixels.
    static constexpr int MaxPictureSide = 4000;

    // Where the head waits when a job asks for centring: the middle of the
    // table, in inches from its top left corner.
    static QPointF defaultHead();

    // The picture of the whole table with the job in place (tablePicture).
    static QImage render(
        const JobDecoder::DecodedJob &job, int maxSide, int *scale, QPointF headInches = defaultHead());

    // The faults of a stream that decoded, or of what was read of one that did
    // not: sizes that contradict each other or the table, a resolution no
    // engraver has, dots and cut lines beyond what the stream announced or off
    // the table. Each is one sentence; figures in them are never wrapped.
    static QStringList streamErrors(const JobDecoder::DecodedJob &job, const jobPlacement &placement);

    // The readable summary of one decoded data file.
    static QString describe(const JobDecoder::DecodedJob &job, bool decoded, const QString &decoderMessage,
        qint64 fileSize, QPointF headInches = defaultHead());

    // Decodes every data file of a stored job and writes, beside each, its
    // picture ("job.png" for "job.prn"), and then "summary.txt" for the whole
    // job. The summary is written last: once it is there the report is whole.
    static bool write(
        const QString &folder, const jobReceipt &receipt, QString *error, QPointF headInches = defaultHead());
};

#endif // JOBREPORT_H
