#ifndef JOBREPORT_H
#define JOBREPORT_H

#include "jobdecoder.h"
#include "jobreceipt.h"

#include <QImage>
#include <QString>

// What a stored job would do on the engraver, for people: a picture of what
// would be engraved (black) and cut (red), and a summary of its settings.
class jobReport
{
public:
    // Longest side of a picture, in pixels.
    static constexpr int MaxPictureSide = 4000;

    // Draws the job in page coordinates from the top left corner, scaled down
    // by the smallest whole factor that keeps both sides within maxSide: each
    // picture pixel is then the average of scale x scale dots of the bitmap
    // (grey where a dithered area is half engraved), with the cut lines over
    // it. The picture covers the engraved and cut area, clipped to the table;
    // an empty job gives a white table. With numberCuts each cut carries its
    // number in the cutting order, in blue, where it starts.
    static QImage render(const JobDecoder::DecodedJob &job, int maxSide, int *scale, bool numberCuts = false);

    // The readable summary of one decoded data file.
    static QString describe(
        const JobDecoder::DecodedJob &job, bool decoded, const QString &decoderMessage, qint64 fileSize);

    // Decodes every data file of a stored job and writes, beside each, its
    // picture ("job.png" for "job.prn"), and then "summary.txt" for the whole
    // job. The summary is written last: once it is there the report is whole.
    static bool write(const QString &folder, const jobReceipt &receipt, QString *error);
};

#endif // JOBREPORT_H
