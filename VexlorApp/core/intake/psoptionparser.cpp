#include "psoptionparser.h"

#include "optionlimits.h"
#include "securefs.h"
#include "vexlorlog.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextCodec>
#include <QVector>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cctype>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// How much of the file is read at a time.
constexpr int kDefaultBlockSize = 1024 * 1024;

// How far past its start a match may still be waiting for more of the file
// before it is decided on what has been read. Real comments span a few lines.
constexpr int kMaxPending = 1024 * 1024;

// An option key becomes an element name of the options file, so it must be
// an XML name. The keys are made of word characters; one that is empty or
// starts with a digit is not a name.
bool isElementName(const QString &key)
{
    return !key.isEmpty() && !key.at(0).isDigit();
}

// Characters that XML 1.0 does not allow (most control characters, unpaired
// surrogates, U+FFFE and U+FFFF) would make the whole options file unreadable.
// The title may carry one at either end; such a character is replaced.
QString xmlSafe(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            safe += c;
            safe += text.at(++i);
        } else if (u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF)
            || (u >= 0xE000 && u <= 0xFFFD)) {
            safe += c;
        } else {
            safe += QChar(QChar::ReplacementCharacter);
        }
    }
    return safe;
}

// Keys the application sets itself. A printer feature of the job with one of
// these names, or with "Settings" in its name (which the option processor
// reads as the start of a group), would replace what the application found
// or hide the options after it: such a feature is left out.
bool isReservedKey(const QString &key)
{
    static const char *const reserved[] = { "PostScriptFile", "Title", "BoundingBox", "PageCount" };
    for (const char *name : reserved) {
        if (key == QLatin1String(name))
            return true;
    }
    return key.contains(QLatin1String("Settings"));
}

// The value of a "%%Title:" comment (the text after the colon). A title in
// parentheses is a PostScript string: nested parentheses balance, and the
// escapes \n \r \t \b \f \\ \( \) and \ddd (octal, one byte; the print
// system writes the UTF-8 bytes of other letters so) are decoded. Any other
// text is the title as it stands.
QString decodeTitle(const QString &comment)
{
    const QString text = comment.trimmed();
    if (!text.startsWith(QLatin1Char('(')))
        return text;

    QByteArray bytes; // the string's bytes, read as UTF-8 at the end
    QString asLatin1; // the same with each escaped byte taken as Latin-1
    auto addByte = [&](int byte) {
        bytes.append(char(byte));
        asLatin1.append(QChar(byte));
    };
    int depth = 1;
    int i = 1;
    for (; i < text.size() && depth > 0; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            const QChar e = text.at(++i);
            switch (e.unicode()) {
            case 'n':
                addByte('\n');
                break;
            case 'r':
                addByte('\r');
                break;
            case 't':
                addByte('\t');
                break;
            case 'b':
                addByte('\b');
                break;
            case 'f':
                addByte('\f');
                break;
            default:
                if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                    int value = 0;
                    int digits = 0;
                    while (digits < 3 && i < text.size() && text.at(i) >= QLatin1Char('0')
                        && text.at(i) <= QLatin1Char('7')) {
                        value = value * 8 + (text.at(i).unicode() - '0');
                        ++digits;
                        ++i;
                    }
                    --i;
                    addByte(value & 0xff);
                } else {
                    // "\(", "\)", "\\" and a backslash before any other
                    // character: the character itself.
                    bytes.append(QString(e).toUtf8());
                    asLatin1.append(e);
                }
            }
            continue;
        }
        if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')') && --depth == 0)
            break;
        if (c.isHighSurrogate() && i + 1 < text.size()) {
            const QString pair = text.mid(i, 2);
            bytes.append(pair.toUtf8());
            asLatin1.append(pair);
            ++i;
        } else {
            bytes.append(QString(c).toUtf8());
            asLatin1.append(c);
        }
    }
    // Not one string ("(draft) notes", or no closing parenthesis): the
    // comment's text is the title.
    if (depth != 0 || !text.mid(i + 1).trimmed().isEmpty())
        return text;

    QTextCodec::ConverterState state;
    const QString utf8
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0 ? utf8 : asLatin1;
}

// Reads the document structuring comments that depend on the document's
// structure, one line at a time: the title and the page count of the
// document itself, not of a document embedded in it ("%%BeginDocument" to
// "%%EndDocument").
class commentLines
{
public:
    void line(const QStringRef &line)
    {
        if (!line.startsWith(QLatin1String("%%")))
            return;
        if (line.startsWith(QLatin1String("%%BeginDocument"))) {
            ++m_depth;
        } else if (line.startsWith(QLatin1String("%%EndDocument"))) {
            m_depth = qMax(0, m_depth - 1);
        } else if (m_depth > 0) {
            return;
        } else if (line.startsWith(QLatin1String("%%Title:"))) {
            if (m_title.isEmpty())
                m_title = decodeTitle(line.mid(8).toString());
        } else if (line.startsWith(QLatin1String("%%Pages:"))) {
            // "(atend)" in the header defers to the trailer; the first number wins.
            bool ok = false;
            const int pages = line.mid(8).trimmed().split(QLatin1Char(' ')).value(0).toInt(&ok);
            if (ok && pages >= 0 && m_pages < 0)
                m_pages = pages;
        } else if (line.startsWith(QLatin1String("%%Page:"))) {
            ++m_pageComments;
        }
    }

    void addTo(QMap<QString, QString> &options) const
    {
        if (!m_title.isEmpty())
            options.insert(QStringLiteral("Title"), m_title);
        if (m_pages >= 0)
            options.insert(QStringLiteral("PageCount"), QString::number(m_pages));
        else if (m_pageComments > 0)
            options.insert(QStringLiteral("PageCount"), QString::number(m_pageComments));
    }

private:
    int m_depth = 0;
    QString m_title;
    int m_pages = -1;
    int m_pageComments = 0;
};

// Only lines with a '%' in them can hold what the parser looks for: every
// pattern and every comment starts with "%%", and a match spans at most a
// feature's line, one line of its value and the "%%EndFeature" line (the
// value, word characters and dots, may stand on a line of its own between
// them). A job's image data is most of its bytes and mostly has no '%': the
// filter passes on the lines with a '%' as they stand, with their line ends,
// and a line of word characters and dots between two of them, and puts one
// line of a single control character in place of each run of other lines.
// No pattern matches that character, so no match can join text that was not
// joined, and the matches, titles and page counts are those of the whole
// text. Lines end at a line feed or a carriage return, as for the comments.
class percentLines
{
public:
    // The filtered bytes of the next piece of the file; atEnd with the last.
    QByteArray feed(const char *data, int size, bool atEnd)
    {
        m_out.clear();
        const char *const end = data + size;
        const char *start = data;
        const char *p = data;
        while ((p = nextSpecial(p, end)) != end) {
            if (*p == '%') {
                m_percent = true;
                ++p;
                continue;
            }
            ++p;
            if (m_carry.isEmpty()) {
                lineDone(start, int(p - start));
            } else {
                m_carry.append(start, int(p - start));
                lineDone(m_carry.constData(), m_carry.size());
                m_carry.clear();
            }
            start = p;
        }
        m_carry.append(start, int(end - start));
        if (atEnd) {
            lineDone(m_carry.constData(), m_carry.size());
            m_carry.clear();
            if (m_waiting)
                dropped();
            m_waiting = false;
        }
        return m_out;
    }

private:
    static bool isSpecial(char c) { return c == '%' || c == '\n' || c == '\r'; }

    static const char *nextSpecial(const char *p, const char *end)
    {
#ifdef __SSE2__
        const __m128i percent = _mm_set1_epi8('%');
        const __m128i feed = _mm_set1_epi8('\n');
        const __m128i ret = _mm_set1_epi8('\r');
        for (; end - p >= 16; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i hit = _mm_or_si128(
                _mm_cmpeq_epi8(v, percent), _mm_or_si128(_mm_cmpeq_epi8(v, feed), _mm_cmpeq_epi8(v, ret)));
            const int mask = _mm_movemask_epi8(hit);
            if (mask)
                return p + __builtin_ctz(unsigned(mask));
        }
#endif
        while (p < end && !isSpecial(*p))
            ++p;
        return p;
    }

    // A line of word characters and dots only (its line end aside).
    static bool isValueLine(const char *line, int size)
    {
        for (int i = 0; i < size; ++i) {
            const uchar c = uchar(line[i]);
            if (c == '\n' || c == '\r')
                return i == size - 1;
            if (!(std::isalnum(c) && c < 0x80) && c != '_' && c != '.')
                return false;
        }
        return true;
    }

    void kept(const char *line, int size)
    {
        m_out.append(line, size);
        m_dropping = false;
    }

    void dropped()
    {
        if (!m_dropping)
            m_out.append("\x01\n", 2);
        m_dropping = true;
    }

    // A whole line with its line end (none for the last line of the file).
    void lineDone(const char *line, int size)
    {
        const bool percent = m_percent;
        m_percent = false;
        if (m_waiting) {
            // A value line is kept when the line after it has a '%'.
            if (percent)
                kept(m_waitingLine.constData(), m_waitingLine.size());
            else
                dropped();
            m_waiting = false;
        }
        if (percent) {
            kept(line, size);
        } else if (m_previousPercent && isValueLine(line, size)) {
            m_waitingLine = QByteArray(line, size);
            m_waiting = true;
        } else {
            dropped();
        }
        m_previousPercent = percent;
    }

    QByteArray m_out;
    QByteArray m_carry; // the start of a line the piece ended in
    bool m_percent = false; // whether the line being read has a '%'
    bool m_previousPercent = false;
    bool m_waiting = false;
    QByteArray m_waitingLine;
    bool m_dropping = false;
};

} // namespace

psOptionParser::psOptionParser(QDir optionsDir, QObject *parent)
    : QObject(parent)
    , m_optionsDir(optionsDir)
    , m_blockSize(kDefaultBlockSize)
{
    patterns.append(qMakePair(QStringLiteral("Option"),
        QRegularExpression(
            QStringLiteral("%%BeginFeature: \\*(\\w*) (\\w*)\\s{1}([.\\w]*){0,1}\\s{0,1}%%EndFeature"))));
    patterns.append(qMakePair(QStringLiteral("BoundingBox"),
        QRegularExpression(QStringLiteral("%%BoundingBox: (\\d+ \\d+ \\d+ \\d+)\\s"))));
    for (auto &pattern : patterns)
        pattern.second.optimize();
}

void psOptionParser::setBlockSize(int bytes)
{
    m_blockSize = qMax(1, bytes);
}

void psOptionParser::name2Parse(QString fileName)
{
    emit info(QStringLiteral("Parsing ") + fileName);
    this->fileName = fileName;

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        emit error(QStringLiteral("The file could not be opened in name2Parse: ") + fileName);
        return;
    }
    parseFile(file);
}

// The patterns only ever match document structuring comments, which span a
// line or, for a feature block, two or three. So the file need not be held in
// memory as a whole (a job may be a gigabyte of image data): it is read in
// blocks, only its lines that can hold a comment are decoded (percentLines),
// and each pattern goes on searching where its last match ended. A
// match is taken only when the regular expression engine has decided it
// without running into the end of what has been read (partial matching
// tells us when it did); otherwise the pattern waits at that place for the
// next block. This gives the matches, and so the "last match wins" results,
// of one search over the whole text. Only a match still undecided after
// kMaxPending characters, which no real comment comes near, is decided on
// what has been read so far, so that memory stays bounded whatever the file.
void psOptionParser::parseFile(QFile &device)
{
    // One map per pattern, merged in pattern order at the end: a key found by
    // a later pattern replaces the same key found by an earlier one, as if
    // each pattern had scanned the whole file in turn.
    QVector<QMap<QString, QString>> found(patterns.size());
    QVector<int> next(patterns.size(), 0);

    // The comments read line by line start at lineStart; a line longer than
    // kMaxPending (image data, never a comment) is skipped to its end.
    commentLines comments;
    int lineStart = 0;
    bool skippingLine = false;

    percentLines filter;
    QTextDecoder decoder(QTextCodec::codecForName("UTF-8"));
    QByteArray block(m_blockSize, Qt::Uninitialized);
    QString text;
    bool atEnd = false;
    while (!atEnd) {
        const qint64 read = device.read(block.data(), block.size());
        atEnd = read <= 0 || device.atEnd();
        if (read < 0)
            break;
        // Complete letters only: the decoder keeps a letter cut by the end
        // of a piece for the next, so no piece ends between the two halves
        // of a surrogate pair (the engine refuses text with half a pair).
        text += decoder.toUnicode(filter.feed(block.constData(), int(read), atEnd));

        for (int p = 0; p < patterns.size(); ++p) {
            const QRegularExpression &re = patterns.at(p).second;
            while (next[p] < text.size()) {
                const QRegularExpressionMatch m = re.match(text, next[p],
                    atEnd ? QRegularExpression::NormalMatch : QRegularExpression::PartialPreferFirstMatch);
                if (m.hasMatch()) {
                    storeMatch(p, m, found[p]);
                    next[p] = qMax(m.capturedEnd(0), next[p] + 1);
                    continue;
                }
                if (!m.hasPartialMatch()) {
                    next[p] = text.size();
                    break;
                }
                const int start = m.capturedStart(0);
                if (text.size() - start <= kMaxPending) {
                    next[p] = start;
                    break;
                }
                // Undecided for too long: decide on what has been read.
                const QRegularExpressionMatch now = re.match(text, start);
                if (now.hasMatch()) {
                    storeMatch(p, now, found[p]);
                    next[p] = qMax(now.capturedEnd(0), start + 1);
                } else {
                    next[p] = start + 1;
                }
            }
        }

        for (;;) {
            int end = lineStart;
            while (
                end < text.size() && text.at(end) != QLatin1Char('\n') && text.at(end) != QLatin1Char('\r'))
                ++end;
            if (end == text.size() && !atEnd) {
                if (end - lineStart > kMaxPending) {
                    skippingLine = true;
                    lineStart = end;
                }
                break;
            }
            if (!skippingLine)
                comments.line(text.midRef(lineStart, end - lineStart));
            skippingLine = false;
            lineStart = end + 1;
            if (end >= text.size())
                break;
        }
        lineStart = qMin(lineStart, text.size());

        // Keep only what some pattern or the line reader has yet to search.
        const int keepFrom = qMin(lineStart, *std::min_element(next.constBegin(), next.constEnd()));
        text.remove(0, keepFrom);
        for (int &n : next)
            n -= keepFrom;
        lineStart -= keepFrom;
    }

    if (device.error() != QFileDevice::NoError) {
        emit error(QStringLiteral("The file could not be read in name2Parse: %1: %2")
                       .arg(fileName, device.errorString()));
        return;
    }

    QMap<QString, QString> options;
    for (const auto &map : found) {
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            options.insert(it.key(), it.value());
    }
    comments.addTo(options);
    options2XML(options);
}

void psOptionParser::storeMatch(
    int pattern, const QRegularExpressionMatch &match, QMap<QString, QString> &found)
{
    const QString &name = patterns.at(pattern).first;
    const int captures = patterns.at(pattern).second.captureCount();
    QStringList texts;
    for (int i = 1; i <= captures; ++i) {
        if (!match.captured(i).isEmpty())
            texts.append(match.captured(i));
    }
    const int n = texts.size();
    if (captures == 1) {
        emit info(QStringLiteral("Parser: ") + name + QStringLiteral(" - ") + texts.join(QString()));
        found.insert(name, match.captured(1));
    } else {
        emit info(QStringLiteral("Parser: ") + name + QStringLiteral(" - ") + match.captured(1)
            + QStringLiteral(", ") + match.captured(n));
        if (isReservedKey(match.captured(1))) {
            emit error(
                QStringLiteral("The job's option \"%1\" is ignored: the application sets that name itself")
                    .arg(match.captured(1)));
            return;
        }
        found.insert(match.captured(1), match.captured(n));
    }
}

void psOptionParser::options2XML(const QMap<QString, QString> &options)
{
    const QString folder = m_optionsDir.absolutePath();
    const QString path
        = folder + QStringLiteral("/") + QFileInfo(fileName).completeBaseName() + QStringLiteral(".xml");

    QString reason;
    // The options folder is in the shared /tmp: write only into a real
    // folder of ours that nobody else can open.
    if (!Vexlor::isPrivateDir(folder, &reason)) {
        emit error(QStringLiteral("Refusing to write the options file into %1: %2").arg(folder, reason));
        return;
    }
    QFile out(path);
    if (!Vexlor::openPrivateFile(out, QIODevice::WriteOnly | QIODevice::Text, &reason)) {
        emit error(QStringLiteral("Problem opening option file: ") + path);
        emit info(reason);
        return;
    }
    emit info(QStringLiteral("Writing options to: ") + path);

    const QString postScriptFile = xmlSafe(QFileInfo(fileName).absoluteFilePath());
    vexlorSettings settings;
    settings.settings.insert(QStringLiteral("PostScriptFile"), postScriptFile);

    QXmlStreamWriter writer(&out);
    writer.setCodec("UTF-8");
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("InitialSettings"));
    writer.writeTextElement(QStringLiteral("PostScriptFile"), postScriptFile);
    for (auto it = options.constBegin(); it != options.constEnd(); ++it) {
        if (!isElementName(it.key())) {
            emit error(QStringLiteral("The option \"%1\" has no usable name and is left out").arg(it.key()));
            continue;
        }
        qCDebug(lcParser) << it.key();
        const QString value = xmlSafe(it.value());
        // The options file keeps what the job asked for; the option processor
        // reports values outside the queue's ranges. The settings carry the
        // values that are used.
        settings.settings.insert(it.key(), Vexlor::checkedOptionValue(it.key(), value));
        writer.writeTextElement(it.key(), value);
    }
    writer.writeEndElement();
    writer.writeEndDocument();

    const bool flushed = out.flush();
    const QString why = out.errorString();
    out.close();
    if (writer.hasError() || !flushed || out.error() != QFileDevice::NoError) {
        emit error(QStringLiteral("Could not write the option file %1: %2")
                       .arg(path, flushed ? out.errorString() : why));
        out.remove();
        return;
    }

    emit done(path);
    emit done(settings);
}
