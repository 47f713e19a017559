#include "jobboundary.h"

#include <cstring>

namespace {

const char kMarker[] = "%%EOF\n";
constexpr int kMarkerLength = 6;
const char kBegin[] = "%%BeginDocument";
constexpr int kBeginLength = 15;
const char kEnd[] = "%%EndDocument";
constexpr int kEndLength = 13;

} // namespace

qint64 jobBoundary::scan(const char *data, qint64 length)
{
    for (qint64 i = 0; i < length; ++i) {
        const char c = data[i];
        ++m_scanned;

        // The marker may stand anywhere, also inside a line. After a mismatch
        // the only way back into it is through '%': "%%%EOF" still ends a job.
        if (c == kMarker[m_markerMatched])
            ++m_markerMatched;
        else if (c == '%')
            m_markerMatched = m_markerMatched == 2 ? 2 : 1;
        else
            m_markerMatched = 0;

        if (c == '\n' || c == '\r') {
            m_headLength = 0;
            m_headDone = false;
        } else if (!m_headDone) {
            lineByte(c);
        }

        if (m_markerMatched == kMarkerLength) {
            m_markerMatched = 0;
            if (m_depth == 0) {
                reset();
                return i + 1;
            }
            m_lastInnerMarkerEnd = m_scanned;
        }
    }
    return -1;
}

void jobBoundary::lineByte(char c)
{
    m_head[m_headLength++] = c;
    const bool begin = std::memcmp(m_head, kBegin, size_t(qMin(m_headLength, kBeginLength))) == 0;
    const bool end = std::memcmp(m_head, kEnd, size_t(qMin(m_headLength, kEndLength))) == 0;
    if (begin && m_headLength == kBeginLength) {
        ++m_depth;
        m_headDone = true;
    } else if (end && m_headLength == kEndLength) {
        // A stray end without a begin does not let a later figure's marker
        // end the job early.
        if (m_depth > 0)
            --m_depth;
        m_headDone = true;
    } else if (!begin && !end) {
        m_headDone = true;
    }
}

void jobBoundary::reset()
{
    *this = jobBoundary();
}
