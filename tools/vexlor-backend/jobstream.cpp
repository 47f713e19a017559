#include "jobstream.h"

#include <algorithm>
#include <string.h>

namespace {

const char marker[] = "%%EOF";
constexpr std::size_t markerLength = 5;
const char wireMarker[] = "%%EOF\n";
constexpr std::size_t wireMarkerLength = 6;

// PostScript white space, and the end-of-job byte 0x04 that filters add.
bool isTrailer(char c)
{
    switch (c) {
    case ' ':
    case '\t':
    case '\r':
    case '\n':
    case '\f':
    case '\v':
    case '\0':
    case '\x04':
        return true;
    default:
        return false;
    }
}

} // namespace

void jobStream::feed(const char *data, std::size_t size, std::string &out)
{
    m_bytesIn += size;
    m_buffer.assign(m_pending);
    m_buffer.append(data, size);
    m_pending.clear();

    const std::size_t n = m_buffer.size();
    std::size_t w = n;
    while (w > 0 && isTrailer(m_buffer[w - 1]))
        --w;

    // Start of what may still turn out to be the end of the job.
    std::size_t tail = n;
    if (w >= markerLength && m_buffer.compare(w - markerLength, markerLength, marker) == 0) {
        tail = w - markerLength;
    } else if (w == n) {
        for (std::size_t k = std::min(markerLength - 1, n); k > 0; --k) {
            if (m_buffer.compare(n - k, k, marker, k) == 0) {
                tail = n - k;
                break;
            }
        }
    }
    if (n - tail > maxHeldBack)
        tail = n;

    emit(m_buffer.data(), tail, out);
    m_pending.assign(m_buffer, tail, std::string::npos);
}

void jobStream::finish(std::string &out)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_pending.size() >= markerLength && m_pending.compare(0, markerLength, marker) == 0) {
        out.append(wireMarker, wireMarkerLength);
    } else {
        emit(m_pending.data(), m_pending.size(), out);
        if (m_anyOut && m_lastOut != '\n')
            out.push_back('\n');
        out.append(wireMarker, wireMarkerLength);
        m_markerAppended = true;
    }
    m_pending.clear();
}

void jobStream::emit(const char *data, std::size_t size, std::string &out)
{
    if (size == 0)
        return;
    std::size_t from = 0;
    const char *end = data + size;
    for (;;) {
        const void *found = memmem(
            data + from, static_cast<std::size_t>(end - (data + from)), wireMarker, wireMarkerLength);
        if (!found)
            break;
        const char *hit = static_cast<const char *>(found);
        const std::size_t at = static_cast<std::size_t>(hit - data);
        out.append(data + from, at + markerLength - from);
        out.append(" \n", 2);
        from = at + wireMarkerLength;
        ++m_markersEscaped;
    }
    out.append(data + from, size - from);
    m_lastOut = data[size - 1];
    m_anyOut = true;
}

bool convertedByPageRasteriser(const char *data, std::size_t size)
{
    const std::string head(data, std::min<std::size_t>(size, 64 * 1024));
    std::size_t at = 0;
    while (at < head.size()) {
        std::size_t end = head.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = head.size();
        const std::string line = head.substr(at, end - at);
        if (line.compare(0, 13, "%%EndComments") == 0)
            return false;
        if (line.compare(0, 10, "%%Creator:") == 0)
            return line.find("Ghostscript") != std::string::npos
                && line.find("(ps2write)") != std::string::npos;
        at = end + 1;
    }
    return false;
}
