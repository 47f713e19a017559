#include "picturedata.h"

#include <QByteArray>
#include <QFile>

namespace Vexlor {

namespace {

constexpr int kMinDataLine = 60;
constexpr qint64 kMostRead = qint64(16) << 20;
constexpr qint64 kBlock = qint64(1) << 20;

} // namespace

bool holdsPictureData(const QString &fileName, qint64 atLeast)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray block(int(kBlock), Qt::Uninitialized);
    qint64 data = 0;
    qint64 line = 0; // length of the line read so far
    bool spaced = false; // whether it has a space
    qint64 total = 0;
    while (total < kMostRead && data < atLeast) {
        const qint64 read = file.read(block.data(), kBlock);
        if (read <= 0)
            break;
        total += read;
        const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
        for (qint64 i = 0; i < read; ++i) {
            const uchar c = bytes[i];
            if (c == '\n' || c == '\r') {
                if (line >= kMinDataLine && !spaced)
                    data += line;
                line = 0;
                spaced = false;
            } else {
                ++line;
                spaced |= c == ' ';
                data += c >> 7;
            }
        }
    }
    if (line >= kMinDataLine && !spaced)
        data += line;
    return data >= atLeast;
}

} // namespace Vexlor
