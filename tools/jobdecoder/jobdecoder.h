#ifndef JOBDECODER_H
#define JOBDECODER_H

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPainterPath>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// A reader of the engraver job stream: the PJL job header, the PCL settings
// commands, the PCL raster rows (PackBits, alternating direction), the HP-GL/2
// vector block, the PJL end of job and the tail of zero bytes. It rebuilds what
// the engraver would engrave (a one-bit bitmap) and cut (vector paths), and the
// settings that came with the job.
//
// It trusts nothing in its input: every read is bounds-checked, a malformed
// stream is rejected with the byte offset and what was expected there, and
// sizes announced by the stream are checked against the bytes that back them
// and against the engraver's table before anything is allocated.
namespace JobDecoder {

// The table of the engraver: 40 x 28 inches. The bitmap never grows beyond it
// at the job's resolution.
constexpr int TableWidthInches = 40;
constexpr int TableHeightInches = 28;
// Resolution assumed when the stream names none.
constexpr int DefaultResolution = 600;
// No engraver comes near this; a larger resolution in a stream is taken as
// this one for the table limit, so that a lying number cannot stretch it.
constexpr int MaxTableResolution = 4800;
// Upper bound of the bitmap's memory, whatever the resolution claims.
constexpr qint64 MaxBitmapBytes = qint64(1) << 30;
// The raw command list stops growing here (a full-table raster job has some
// 70000 commands); decoding goes on.
constexpr int MaxRecordedCommands = 1 << 20;

enum class Section {
    Pjl, // between a universal exit and the language switch, and at the end of the job
    Pcl, // PCL commands: settings and raster
    Hpgl, // HP-GL/2 commands: vector settings and paths
};

// One command as it stands in the stream.
struct Command
{
    qint64 offset = 0; // byte offset of its first byte (the ESC, the mnemonic, the '@')
    Section section = Section::Pcl;
    // PCL: parameter character, group character (if any) and upper-case
    //      terminator, e.g. "&yA", "*bW", "*rC", "%B", "%X" (universal exit), "E" (reset).
    // HP-GL/2: the two-letter mnemonic, e.g. "IN", "PD", "BZ", "YP".
    // PJL: the command word after "@PJL ", e.g. "JOB", "ENTER", "EOJ".
    QByteArray name;
    // PCL: the value field as written ("-1", "250", "" for *rC); for "*bW" the
    //      data bytes are not included.
    // HP-GL/2: the parameter text as written ("100,0,100,100"; "" for none).
    // PJL: the rest of the line after the command word, without the line end.
    QByteArray value;
};

// The settings found in the stream. Fields stay empty when the stream does not
// carry the command. Numbers are the values of the commands as written.
struct JobSettings
{
    // PJL
    std::optional<QString> jobName; // "@PJL JOB NAME=", UTF-8
    std::optional<QString> language; // "@PJL ENTER LANGUAGE="
    bool endOfJob = false; // "@PJL EOJ" seen

    // PCL settings block
    std::optional<double> autoFocus; // ESC &y#A: -1 off, else material thickness in thousandths
    std::optional<int> vectorGrid; // ESC &y#V: 0 off, 1 on
    std::optional<int> engraverL; // ESC &y#L
    std::optional<int> engraverT; // ESC &y#T
    std::optional<int> engraverC; // ESC &y#C
    std::optional<int> centerEngraving; // ESC &y#Z: 0 off, 1 on
    std::optional<int> leftRegistration; // ESC &l#U before the compression command
    std::optional<int> topRegistration; // ESC &l#Z before the compression command
    std::optional<int> unitsPerInch; // ESC &u#D
    std::optional<int> rasterResolution; // ESC *t#R
    std::optional<int> presentationMode; // ESC *r#F
    std::optional<double> rasterPower; // ESC &y#P
    std::optional<double> rasterSpeed; // ESC &z#S
    std::optional<int> engraverR; // ESC &y#R
    std::optional<int> engraverZA; // ESC &z#A
    std::optional<int> rasterHeight; // ESC *r#T: bottom edge of the graphics (inclusive)
    std::optional<int> rasterWidth; // ESC *r#S: right edge of the graphics (inclusive)
    std::optional<int> compression; // ESC *b#M: 2 is PackBits
    // Centring anchors, sent after the compression command when centring is on.
    std::optional<int> centerX; // ESC &l#U
    std::optional<int> centerY; // ESC &l#Z
    std::optional<int> graphicsTop; // ESC &l#V
    std::optional<int> graphicsLeft; // ESC &l#W

    // Raster block
    std::optional<int> rasterDirection; // ESC &y#O: 0 top-down, 1 bottom-up
    bool rasterBlock = false; // ESC &r1A ... ESC *rC seen

    // HP-GL/2 vector settings, as written ("050", "50", ...)
    std::optional<QByteArray> vectorPower; // YP
    std::optional<QByteArray> vectorSpeed; // ZS
    std::optional<QByteArray> vectorFreq; // XR
    std::optional<int> vectorSpeedComp; // XS: 0 off, 1 on
    std::optional<int> vectorPowerComp; // XP: 0 off, 1 on
    std::optional<QByteArray> lineType; // LT parameters ("" for solid)

    // Tail
    qint64 trailingZeros = 0; // zero bytes after the end of job
};

// One raster row as sent.
struct RasterRow
{
    qint64 offset = 0; // offset of its ESC *b#W command
    int y = 0; // ESC *p#Y
    int x = 0; // ESC *p#X: first pixel of the row's first byte
    int byteCount = 0; // ESC *b#A as sent: negative for a reversed row
    int encodedBytes = 0; // ESC *b#W: bytes that followed, padding included
};

// One coordinate pair of the vector block, in the order written, with its role
// in the path (QPainterPath's element types): a pen-up point is a move-to, a
// pen-down point a line-to, the three pairs of a Bézier a curve-to followed by
// two curve-to data points. Pen-up Béziers are moves to their end point.
struct VectorPoint
{
    QPainterPath::ElementType type = QPainterPath::MoveToElement;
    QPointF point;
};

struct DecodedJob
{
    JobSettings settings;
    QList<Command> commands; // every command, in stream order (at most MaxRecordedCommands)
    QList<RasterRow> rows; // every raster row, in stream order
    // What would be engraved, in device pixels of the page (origin at the top
    // left, y downwards): QImage::Format_Mono, colour index 1 (black) for
    // engraved pixels, 0 (white) elsewhere. It covers the page from (0, 0) to
    // the farther of the raster width/height commands (inclusive edges) and
    // the rows sent, clipped to the table. Null when the job has no raster
    // block.
    QImage bitmap;
    int resolution = DefaultResolution; // dots per inch used for the table limit
    // What would be cut, in device pixels of the page: pen-down lines and
    // Béziers (as cubic curves); every pen-up stretch starts a new subpath.
    QPainterPath vectors;
    QVector<VectorPoint> vectorPoints; // every coordinate pair written
    // Things a real engraver would get over with, such as raster pixels beyond
    // the table (dropped).
    QStringList warnings;
    // Offset of the fault when decoding failed, else -1.
    qint64 errorOffset = -1;
};

// Decodes a whole job stream. Returns true on success. On failure returns
// false, sets *error (when given) to a message naming the byte offset and what
// was expected there, and leaves in *out what was decoded before the fault
// (commands, settings, and the raster rows and vectors up to it).
bool decodeJob(const QByteArray &stream, DecodedJob *out, QString *error = nullptr);

// The same without the bitmap (DecodedJob::bitmap stays null): the settings,
// commands, raster rows and vectors, for readers that need no picture, such
// as the time estimate, whatever the size of the raster.
bool decodeJobStructure(const QByteArray &stream, DecodedJob *out, QString *error = nullptr);

// PackBits (TIFF compression 2) of data: every 0x80 is skipped, a byte h below
// 0x80 copies the next h + 1 bytes, a byte above it repeats the next byte
// 257 - h times. Returns false on a run that goes past the end of data or when
// the output would exceed maxOutput bytes.
bool unpackBits(const char *data, int size, int maxOutput, QByteArray *out, QString *error = nullptr);

// A one-line readable summary of each group of settings, for logs and reports.
QStringList describeSettings(const JobSettings &settings);

} // namespace JobDecoder

#endif // JOBDECODER_H
