#include "jobdecoder.h"

namespace JobDecoder {

// Work in progress: the parser follows in the next commit.
bool decodeJob(const QByteArray &, DecodedJob *out, QString *error)
{
    if (out)
        *out = DecodedJob();
    if (error)
        *error = QStringLiteral("the job decoder is not complete yet");
    return false;
}

bool unpackBits(const char *, int, int, QByteArray *, QString *error)
{
    if (error)
        *error = QStringLiteral("the job decoder is not complete yet");
    return false;
}

QStringList describeSettings(const JobSettings &)
{
    return {};
}

} // namespace JobDecoder
