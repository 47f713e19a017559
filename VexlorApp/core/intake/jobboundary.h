#ifndef JOBBOUNDARY_H
#define JOBBOUNDARY_H

#include <QtGlobal>

// Finds where a PostScript job ends in the bytes of a connection: at the first
// "%%EOF" followed by a line feed that is not inside an embedded document.
//
// An EPS figure placed in a document keeps its own "%%EOF" line, wrapped in
// "%%BeginDocument" ... "%%EndDocument" (nested to any depth); that line ends
// the figure, not the job. The comments count only at the start of a line.
// The bytes may arrive in pieces of any size: a marker or a comment split
// between two reads is still found.
class jobBoundary
{
public:
    // Scans data[0, length) and returns the offset just past the marker that
    // ends the job, or -1 when the job goes on past these bytes. After a
    // marker the scanner is ready for the next job's bytes.
    qint64 scan(const char *data, qint64 length);

    // Forgets everything: the next byte is the first of a job.
    void reset();

    // Embedded documents opened and not yet closed.
    int depth() const { return m_depth; }
    // Bytes of the current job scanned so far.
    qint64 scanned() const { return m_scanned; }
    // The offset in the current job just past the last "%%EOF" line found
    // inside an embedded document; 0 when there is none. A job whose embedded
    // documents never close is cut here when its connection ends.
    qint64 lastInnerMarkerEnd() const { return m_lastInnerMarkerEnd; }

private:
    void lineByte(char c);

    int m_markerMatched = 0;
    int m_depth = 0;
    qint64 m_scanned = 0;
    qint64 m_lastInnerMarkerEnd = 0;
    // The start of the current line, as far as a comment needs to be seen.
    char m_head[16] = {};
    int m_headLength = 0;
    bool m_headDone = false;
};

#endif // JOBBOUNDARY_H
