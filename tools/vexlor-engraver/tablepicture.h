#ifndef TABLEPICTURE_H
#define TABLEPICTURE_H

#include "jobdecoder.h"

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>

// Where a job lands on the engraver's table. The page's origin lies on the
// table's top left corner; with centring on, the job's anchor lies under the
// head instead.
struct jobPlacement
{
    // Dots per inch of the table: the job's resolution, at most the largest
    // an engraver takes, so that a lying number cannot blow the table up.
    int resolution = JobDecoder::DefaultResolution;
    // Table dots of the page's origin.
    QPoint offset;
    bool centred = false;
    QPointF headInches; // where the head waits, when centred
    // Why the job could not be placed as its commands ask (empty when it could).
    QString problem;

    QRect table() const;
    static jobPlacement of(const JobDecoder::DecodedJob &job, QPointF headInches);
};

// Extent of what a job engraves and cuts, in table dots.
struct jobExtent
{
    QRect engraved; // the black dots of the bitmap (null when none)
    QRectF cut; // the cut lines (null when none)
    QRectF whole() const;
};

// The picture of a job: the whole 40 x 28 inch table with a frame and rulers
// in inches, the engraved dots in black (grey where a dithered area is partly
// engraved) and the cut lines in red, each in its place on the table.
class tablePicture
{
public:
    // Room for the rulers on the left and at the top, and a margin on the
    // other two sides, in picture pixels.
    static constexpr int RulerWidth = 34;
    static constexpr int RulerHeight = 28;
    static constexpr int Margin = 8;
    // A cut line farther than this many table sizes from the table is not
    // drawn: the painter cannot place it, and it says nothing a user can see.
    static constexpr int FarAway = 4;

    // Draws the table scaled down by the smallest whole factor that keeps the
    // table within maxSide pixels: each picture pixel then averages scale x
    // scale dots.
    static QImage render(
        const JobDecoder::DecodedJob &job, const jobPlacement &placement, int maxSide, int *scale);

    // The picture pixel of a table dot, at the given scale.
    static QPoint pixelOf(QPoint tableDot, int scale);

    static jobExtent extent(const JobDecoder::DecodedJob &job, const jobPlacement &placement);
};

#endif // TABLEPICTURE_H
