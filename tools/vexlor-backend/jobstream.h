#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Shapes the bytes of one print job for the wire to VexlorApp.
//
// The application takes the first "%%EOF" followed by a line feed as the end of
// the job, so the stream must end with exactly that and hold it nowhere else:
// - input that ends with "%%EOF" (followed at most by white space and 0x04
//   bytes, as a filter leaves it) ends with "%%EOF\n" on the wire; the bytes
//   after the marker are dropped, since the application would start a new,
//   never finished job with them;
// - input without that ending gets "\n%%EOF\n" appended (no extra line feed
//   when it already ends with one);
// - an earlier "%%EOF\n" inside the job (an embedded EPS figure, a second
//   document) is sent as "%%EOF \n", which is still the same comment to a
//   PostScript reader but does not cut the job short.
// Input is handled in chunks of any size; only a short tail is held back.
class jobStream
{
public:
    // Appends to out what can be sent after the chunk.
    void feed(const char *data, std::size_t size, std::string &out);
    // Appends to out the end of the job; call once after the last chunk.
    void finish(std::string &out);

    bool markerAppended() const { return m_markerAppended; }
    std::size_t markersEscaped() const { return m_markersEscaped; }
    std::uint64_t bytesIn() const { return m_bytesIn; }

    // Longest run of trailing white space kept back after a final marker; past
    // it the marker is taken as one inside the job.
    static constexpr std::size_t maxHeldBack = 1 << 20;

private:
    void emit(const char *data, std::size_t size, std::string &out);

    std::string m_buffer;
    std::string m_pending;
    char m_lastOut = '\n';
    bool m_anyOut = false;
    bool m_markerAppended = false;
    bool m_finished = false;
    std::size_t m_markersEscaped = 0;
    std::uint64_t m_bytesIn = 0;
};

// Whether the start of a job shows that the print system converted a PDF with
// Ghostscript's PostScript writer ("%%Creator: ... Ghostscript ... (ps2write)"
// among the header comments): the print system's pages then arrive as one
// bitmap each, with no line left to cut.
bool convertedByPageRasteriser(const char *data, std::size_t size);
