#include "jobdecoder.h"

#include <QColor>
#include <QVector>

#include <limits>

namespace JobDecoder {

namespace {

const char Esc = '\x1b';
// No value field of a PCL command or number of an HP-GL/2 command is longer
// than this; a longer one is garbage, not a number.
const int MaxNumberLength = 32;
// PackBits turns two bytes into at most 128.
const int MaxPackBitsExpansion = 64;

QString describeByte(const char *data, qint64 size, qint64 at)
{
    if (at >= size)
        return QStringLiteral("the end of the stream");
    const uchar c = uchar(data[at]);
    if (c == 0x1b)
        return QStringLiteral("ESC");
    if (c >= 0x21 && c < 0x7f)
        return QStringLiteral("'%1'").arg(QLatin1Char(char(c)));
    return QStringLiteral("byte 0x%1").arg(c, 2, 16, QLatin1Char('0'));
}

QString sectionName(Section section)
{
    switch (section) {
    case Section::Pjl:
        return QStringLiteral("PJL");
    case Section::Pcl:
        return QStringLiteral("PCL");
    case Section::Hpgl:
        return QStringLiteral("HP-GL/2");
    }
    return QString();
}

// A PCL value field: optional sign, digits, optional decimal point and digits.
bool isValueChar(char c)
{
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

int countTrailingZeroBits(uchar b)
{
    int n = 0;
    while (!(b & 1)) {
        b >>= 1;
        ++n;
    }
    return n;
}

struct PendingRow
{
    qint64 dataOffset = 0;
    int dataSize = 0;
};

class Parser
{
public:
    Parser(const QByteArray &stream, DecodedJob *job)
        : m_data(stream.constData())
        , m_size(stream.size())
        , m_job(job)
    {
    }

    bool parse();
    bool buildBitmap();

    QString message;
    qint64 errorOffset = -1;
    // False: buildBitmap only settles the resolution.
    bool withBitmap = true;

private:
    enum class Mode { Pjl, Pcl, Hpgl, Tail };

    bool fail(qint64 at, const QString &text);
    void record(const Command &command);
    bool expected(qint64 at, const QString &what);

    bool parseEscape(QList<Command> *commands);
    bool parseValue(QByteArray *value);
    bool parsePjlLine();
    bool parseHpglCommand();

    bool handlePcl(const Command &command);
    bool handleHpgl(const Command &command);
    bool rasterData(const Command &command, qint64 dataOffset);

    bool toInt(const Command &command, int *value);
    bool toDouble(const Command &command, double *value);
    bool hpglNumbers(const Command &command, QVector<double> *numbers);

    const char *m_data;
    qint64 m_size;
    qint64 m_pos = 0;
    DecodedJob *m_job;
    Mode m_mode = Mode::Pjl;
    bool m_commandsCut = false;

    // Raster state
    bool m_inRaster = false;
    bool m_compressionSeen = false;
    qint64 m_x = 0;
    qint64 m_y = 0;
    std::optional<int> m_byteCount;
    QVector<PendingRow> m_rowData;
    qint64 m_extentX = 0;
    qint64 m_extentY = 0;

    // Pen state
    QPointF m_pen;
    bool m_penDown = false;
    bool m_needMove = true;
};

bool Parser::fail(qint64 at, const QString &text)
{
    errorOffset = at;
    message = QStringLiteral("byte %1: %2").arg(at).arg(text);
    return false;
}

void Parser::record(const Command &command)
{
    if (m_job->commands.size() < MaxRecordedCommands) {
        m_job->commands.append(command);
    } else if (m_job->commands.size() == MaxRecordedCommands && !m_commandsCut) {
        m_commandsCut = true;
        m_job->warnings.append(
            QStringLiteral("only the first %1 commands are listed").arg(MaxRecordedCommands));
    }
}

bool Parser::expected(qint64 at, const QString &what)
{
    return fail(at, QStringLiteral("expected %1, found %2").arg(what, describeByte(m_data, m_size, at)));
}

bool Parser::parseValue(QByteArray *value)
{
    const qint64 start = m_pos;
    while (m_pos < m_size && isValueChar(m_data[m_pos])) {
        if (m_pos - start >= MaxNumberLength)
            return fail(
                start, QStringLiteral("a value field longer than %1 characters").arg(MaxNumberLength));
        ++m_pos;
    }
    *value = QByteArray(m_data + start, int(m_pos - start));
    // Sign only at the front, at most one decimal point, digits otherwise.
    int points = 0;
    for (int i = 0; i < value->size(); ++i) {
        const char c = value->at(i);
        if ((c == '+' || c == '-') && i != 0)
            return fail(start + i,
                QStringLiteral("a sign inside the value field \"%1\"").arg(QString::fromLatin1(*value)));
        if (c == '.' && ++points > 1)
            return fail(start + i,
                QStringLiteral("two decimal points in the value field \"%1\"")
                    .arg(QString::fromLatin1(*value)));
    }
    return true;
}

// ESC, then a two-character escape (ESC E) or a parameterised command: a
// parameter character, a group character (none after '%'), and one or more
// value fields, each closed by a terminator; a lower-case terminator combines
// the next command of the same group.
bool Parser::parseEscape(QList<Command> *commands)
{
    const qint64 start = m_pos;
    ++m_pos; // ESC
    if (m_pos >= m_size)
        return expected(m_pos, QStringLiteral("the rest of an escape sequence"));
    const char p = m_data[m_pos];
    if (p >= 0x30 && p <= 0x7e) {
        ++m_pos;
        Command c;
        c.offset = start;
        c.name = QByteArray(1, p);
        commands->append(c);
        return true;
    }
    if (p < 0x21 || p > 0x2f)
        return expected(m_pos, QStringLiteral("a PCL parameter character after ESC"));
    ++m_pos;
    QByteArray prefix(1, p);
    if (p != '%') {
        if (m_pos >= m_size || m_data[m_pos] < 0x60 || m_data[m_pos] > 0x7e)
            return expected(m_pos, QStringLiteral("a PCL group character after ESC %1").arg(QLatin1Char(p)));
        prefix += m_data[m_pos++];
    }
    for (;;) {
        Command c;
        c.offset = start;
        if (!parseValue(&c.value))
            return false;
        if (m_pos >= m_size)
            return expected(
                m_pos, QStringLiteral("the terminator of ESC %1").arg(QString::fromLatin1(prefix)));
        const char t = m_data[m_pos];
        const bool final = t >= 0x40 && t <= 0x5e;
        const bool combined = p != '%' && t >= 0x60 && t <= 0x7e;
        if (!final && !combined)
            return expected(
                m_pos, QStringLiteral("the terminator of ESC %1").arg(QString::fromLatin1(prefix)));
        ++m_pos;
        c.name = prefix + char(final ? t : t - 0x20);
        commands->append(c);
        if (final)
            return true;
    }
}

bool Parser::toInt(const Command &command, int *value)
{
    if (command.value.contains('.'))
        return fail(command.offset,
            QStringLiteral("ESC %1 needs a whole number, found \"%2\"")
                .arg(QString::fromLatin1(command.name), QString::fromLatin1(command.value)));
    if (command.value.isEmpty() || command.value == "+" || command.value == "-") {
        *value = 0; // an empty value field means 0
        return true;
    }
    bool ok = false;
    const qlonglong v = command.value.toLongLong(&ok);
    if (!ok || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return fail(command.offset,
            QStringLiteral("the value \"%1\" of ESC %2 is out of range")
                .arg(QString::fromLatin1(command.value), QString::fromLatin1(command.name)));
    *value = int(v);
    return true;
}

bool Parser::toDouble(const Command &command, double *value)
{
    if (command.value.isEmpty() || command.value == "+" || command.value == "-" || command.value == ".") {
        *value = 0;
        return true;
    }
    bool ok = false;
    *value = command.value.toDouble(&ok);
    if (!ok)
        return fail(command.offset,
            QStringLiteral("the value \"%1\" of ESC %2 is no number")
                .arg(QString::fromLatin1(command.value), QString::fromLatin1(command.name)));
    return true;
}

bool Parser::parsePjlLine()
{
    const qint64 start = m_pos;
    static const char tag[] = "@PJL";
    if (m_size - m_pos < 4 || qstrncmp(m_data + m_pos, tag, 4) != 0)
        return expected(m_pos, QStringLiteral("a PJL command line (\"@PJL\")"));
    qint64 end = m_pos;
    while (end < m_size && m_data[end] != '\n')
        ++end;
    if (end >= m_size)
        return fail(start, QStringLiteral("PJL line without a line end"));
    qint64 lineEnd = end;
    if (lineEnd > start && m_data[lineEnd - 1] == '\r')
        --lineEnd;
    const QByteArray line(m_data + start, int(lineEnd - start));
    m_pos = end + 1;

    Command c;
    c.offset = start;
    c.section = Section::Pjl;
    int i = 4;
    if (i < line.size() && line.at(i) != ' ')
        return expected(start + i, QStringLiteral("a blank after \"@PJL\""));
    while (i < line.size() && line.at(i) == ' ')
        ++i;
    int wordEnd = i;
    while (wordEnd < line.size() && line.at(wordEnd) != ' ')
        ++wordEnd;
    c.name = line.mid(i, wordEnd - i);
    c.value = wordEnd < line.size() ? line.mid(wordEnd + 1) : QByteArray();
    record(c);

    JobSettings &s = m_job->settings;
    if (c.name == "JOB") {
        if (c.value.startsWith("NAME="))
            s.jobName = QString::fromUtf8(c.value.mid(5));
    } else if (c.name == "ENTER") {
        const QByteArray language = c.value.trimmed();
        if (!language.startsWith("LANGUAGE="))
            return fail(start, QStringLiteral("\"@PJL ENTER\" without a language"));
        const QByteArray name = language.mid(9).trimmed();
        s.language = QString::fromLatin1(name);
        if (name != "PCL")
            return fail(start,
                QStringLiteral("unsupported printer language \"%1\", expected PCL")
                    .arg(QString::fromLatin1(name)));
        m_mode = Mode::Pcl;
    } else if (c.name == "EOJ") {
        s.endOfJob = true;
        m_mode = Mode::Tail;
    }
    return true;
}

bool Parser::rasterData(const Command &command, qint64 dataOffset)
{
    int count = 0;
    if (!toInt(command, &count))
        return false;
    if (count < 0)
        return fail(command.offset, QStringLiteral("a negative data length in ESC *b%1W").arg(count));
    if (count > m_size - dataOffset)
        return fail(dataOffset,
            QStringLiteral("raster data of %1 bytes runs past the end of the stream (%2 left)")
                .arg(count)
                .arg(m_size - dataOffset));
    m_pos = dataOffset + count;
    if (!m_inRaster)
        return fail(
            command.offset, QStringLiteral("raster data outside the raster block (no ESC &r1A before it)"));
    if (m_job->settings.compression.value_or(0) != 2)
        return fail(command.offset,
            QStringLiteral("raster data with compression method %1; only 2 (PackBits) "
                           "is understood")
                .arg(m_job->settings.compression.value_or(0)));
    if (!m_byteCount)
        return fail(command.offset, QStringLiteral("raster data without a byte count (ESC *b#A) before it"));
    if (m_x < 0 || m_y < 0)
        return fail(command.offset,
            QStringLiteral("raster row at the negative position x %1, y %2").arg(m_x).arg(m_y));
    if (m_x > std::numeric_limits<int>::max() || m_y > std::numeric_limits<int>::max())
        return fail(command.offset, QStringLiteral("raster row position out of range"));

    const int announced = *m_byteCount;
    m_byteCount.reset();
    const qint64 rowBytes = announced < 0 ? -qint64(announced) : qint64(announced);
    if (rowBytes > std::numeric_limits<int>::max())
        return fail(command.offset, QStringLiteral("a row of %1 bytes is beyond any row").arg(rowBytes));
    if (rowBytes > qint64(count) * MaxPackBitsExpansion)
        return fail(command.offset,
            QStringLiteral("a row of %1 bytes cannot come from %2 bytes of PackBits data")
                .arg(rowBytes)
                .arg(count));
    QByteArray row;
    QString reason;
    if (!unpackBits(m_data + dataOffset, count, int(rowBytes), &row, &reason))
        return fail(dataOffset, QStringLiteral("bad PackBits data: %1").arg(reason));
    if (row.size() != rowBytes)
        return fail(dataOffset,
            QStringLiteral("PackBits data gives %1 bytes, the row announced %2")
                .arg(row.size())
                .arg(rowBytes));

    RasterRow r;
    r.offset = command.offset;
    r.x = int(m_x);
    r.y = int(m_y);
    r.byteCount = announced;
    r.encodedBytes = count;
    m_job->rows.append(r);
    m_rowData.append({ dataOffset, count });

    // The farthest black pixel; a reversed row is sent back to front.
    const uchar *bytes = reinterpret_cast<const uchar *>(row.constData());
    for (qint64 j = rowBytes - 1; j >= 0; --j) {
        const uchar b = announced < 0 ? bytes[rowBytes - 1 - j] : bytes[j];
        if (b) {
            m_extentX = qMax(m_extentX, m_x + 8 * j + (8 - countTrailingZeroBits(b)));
            m_extentY = qMax(m_extentY, m_y + 1);
            break;
        }
    }
    return true;
}

bool Parser::handlePcl(const Command &c)
{
    JobSettings &s = m_job->settings;
    int i = 0;
    double d = 0;
    const QByteArray &n = c.name;
    auto integer = [&](std::optional<int> &field) {
        if (!toInt(c, &i))
            return false;
        field = i;
        return true;
    };
    auto real = [&](std::optional<double> &field) {
        if (!toDouble(c, &d))
            return false;
        field = d;
        return true;
    };

    if (n == "%X") {
        if (c.value != "-12345")
            return fail(c.offset,
                QStringLiteral("ESC %%1X is no universal exit (ESC %-12345X)")
                    .arg(QString::fromLatin1(c.value)));
        m_mode = Mode::Pjl;
        return true;
    }
    if (n == "E") {
        if (m_mode == Mode::Hpgl)
            m_mode = Mode::Pcl;
        return true;
    }
    if (n == "%B" || n == "%A") {
        if (!toInt(c, &i))
            return false;
        m_mode = (n == "%B" && i == 1) ? Mode::Hpgl : Mode::Pcl;
        return true;
    }
    if (m_mode == Mode::Hpgl)
        return fail(c.offset, QStringLiteral("ESC %1 inside HP-GL/2").arg(QString::fromLatin1(n)));
    if (m_mode == Mode::Pjl)
        return fail(c.offset, QStringLiteral("ESC %1 inside the PJL section").arg(QString::fromLatin1(n)));

    if (n == "&yA")
        return real(s.autoFocus);
    if (n == "&yV")
        return integer(s.vectorGrid);
    if (n == "&yL")
        return integer(s.engraverL);
    if (n == "&yT")
        return integer(s.engraverT);
    if (n == "&yC")
        return integer(s.engraverC);
    if (n == "&yZ")
        return integer(s.centerEngraving);
    if (n == "&yP")
        return real(s.rasterPower);
    if (n == "&yR")
        return integer(s.engraverR);
    if (n == "&yO")
        return integer(s.rasterDirection);
    if (n == "&zS")
        return real(s.rasterSpeed);
    if (n == "&zA")
        return integer(s.engraverZA);
    if (n == "&lU")
        return integer(m_compressionSeen ? s.centerX : s.leftRegistration);
    if (n == "&lZ")
        return integer(m_compressionSeen ? s.centerY : s.topRegistration);
    if (n == "&lV")
        return integer(s.graphicsTop);
    if (n == "&lW")
        return integer(s.graphicsLeft);
    if (n == "&uD")
        return integer(s.unitsPerInch);
    if (n == "*tR")
        return integer(s.rasterResolution);
    if (n == "*rF")
        return integer(s.presentationMode);
    if (n == "*rT")
        return integer(s.rasterHeight);
    if (n == "*rS")
        return integer(s.rasterWidth);
    if (n == "*bM") {
        m_compressionSeen = true;
        return integer(s.compression);
    }
    if (n == "&rA") {
        m_inRaster = true;
        s.rasterBlock = true;
        return true;
    }
    if (n == "*rC") {
        if (!m_inRaster)
            return fail(c.offset, QStringLiteral("end of raster graphics (ESC *rC) without a raster block"));
        m_inRaster = false;
        return true;
    }
    if (n == "*pX") {
        if (!toInt(c, &i))
            return false;
        m_x = i;
        return true;
    }
    if (n == "*pY") {
        if (!toInt(c, &i))
            return false;
        m_y = i;
        return true;
    }
    if (n == "*bA") {
        if (!toInt(c, &i))
            return false;
        if (!m_inRaster)
            return fail(c.offset, QStringLiteral("a row byte count outside the raster block"));
        m_byteCount = i;
        return true;
    }
    return fail(c.offset,
        QStringLiteral("unknown PCL command ESC %1%2")
                .arg(QString::fromLatin1(n.left(n.size() - 1)), QString::fromLatin1(c.value))
            + QString::fromLatin1(n.right(1)));
}

bool Parser::hpglNumbers(const Command &command, QVector<double> *numbers)
{
    numbers->clear();
    const QByteArray &v = command.value;
    int i = 0;
    while (i < v.size()) {
        while (i < v.size() && (v.at(i) == ' ' || v.at(i) == ','))
            ++i;
        if (i >= v.size())
            break;
        int end = i;
        while (end < v.size() && v.at(end) != ' ' && v.at(end) != ',')
            ++end;
        bool ok = false;
        const double number = v.mid(i, end - i).toDouble(&ok);
        if (!ok)
            return fail(command.offset,
                QStringLiteral("%1 has the parameter \"%2\", which is no number")
                    .arg(QString::fromLatin1(command.name), QString::fromLatin1(v.mid(i, end - i))));
        numbers->append(number);
        i = end;
    }
    return true;
}

bool Parser::handleHpgl(const Command &c)
{
    JobSettings &s = m_job->settings;
    const QByteArray &n = c.name;
    QVector<double> v;
    if (n == "IN") {
        m_pen = QPointF();
        m_penDown = false;
        m_needMove = true;
        return true;
    }
    if (n == "YP" || n == "ZS" || n == "XR" || n == "LT") {
        if (!hpglNumbers(c, &v))
            return false;
        (n == "YP"          ? s.vectorPower
                : n == "ZS" ? s.vectorSpeed
                : n == "XR" ? s.vectorFreq
                            : s.lineType)
            = c.value;
        return true;
    }
    if (n == "XS" || n == "XP") {
        if (!hpglNumbers(c, &v))
            return false;
        if (v.size() != 1 || (v.at(0) != 0 && v.at(0) != 1))
            return fail(c.offset,
                QStringLiteral("%1 takes 0 or 1, found \"%2\"")
                    .arg(QString::fromLatin1(n), QString::fromLatin1(c.value)));
        (n == "XS" ? s.vectorSpeedComp : s.vectorPowerComp) = int(v.at(0));
        return true;
    }
    if (n == "PU" || n == "PD") {
        if (!hpglNumbers(c, &v))
            return false;
        if (v.size() % 2)
            return fail(c.offset,
                QStringLiteral("%1 needs coordinate pairs, found %2 numbers")
                    .arg(QString::fromLatin1(n))
                    .arg(v.size()));
        m_penDown = n == "PD";
        if (!m_penDown)
            m_needMove = true;
        for (int i = 0; i < v.size(); i += 2) {
            const QPointF p(v.at(i), v.at(i + 1));
            if (m_penDown) {
                if (m_needMove) {
                    m_job->vectors.moveTo(m_pen);
                    m_needMove = false;
                }
                m_job->vectors.lineTo(p);
                m_job->vectorPoints.append({ QPainterPath::LineToElement, p });
            } else {
                m_job->vectorPoints.append({ QPainterPath::MoveToElement, p });
            }
            m_pen = p;
        }
        return true;
    }
    if (n == "BZ") {
        if (!hpglNumbers(c, &v))
            return false;
        if (v.isEmpty() || v.size() % 6)
            return fail(c.offset,
                QStringLiteral("BZ needs groups of three coordinate pairs, found %1 numbers").arg(v.size()));
        for (int i = 0; i < v.size(); i += 6) {
            const QPointF c1(v.at(i), v.at(i + 1)), c2(v.at(i + 2), v.at(i + 3)), e(v.at(i + 4), v.at(i + 5));
            if (m_penDown) {
                if (m_needMove) {
                    m_job->vectors.moveTo(m_pen);
                    m_needMove = false;
                }
                m_job->vectors.cubicTo(c1, c2, e);
                m_job->vectorPoints.append({ QPainterPath::CurveToElement, c1 });
                m_job->vectorPoints.append({ QPainterPath::CurveToDataElement, c2 });
                m_job->vectorPoints.append({ QPainterPath::CurveToDataElement, e });
            } else {
                m_job->vectorPoints.append({ QPainterPath::MoveToElement, e });
            }
            m_pen = e;
        }
        return true;
    }
    return fail(c.offset, QStringLiteral("unknown HP-GL/2 command \"%1\"").arg(QString::fromLatin1(n)));
}

// A two-letter mnemonic, its parameters up to a ';', the next mnemonic or ESC.
bool Parser::parseHpglCommand()
{
    const qint64 start = m_pos;
    auto isLetter = [](char ch) { return ch >= 'A' && ch <= 'Z'; };
    if (m_size - m_pos < 2 || !isLetter(m_data[m_pos]) || !isLetter(m_data[m_pos + 1]))
        return expected(m_pos, QStringLiteral("an HP-GL/2 command"));
    Command c;
    c.offset = start;
    c.section = Section::Hpgl;
    c.name = QByteArray(m_data + m_pos, 2);
    m_pos += 2;
    const qint64 paramStart = m_pos;
    while (m_pos < m_size) {
        const char ch = m_data[m_pos];
        if (ch == ';' || ch == Esc || isLetter(ch))
            break;
        if (!isValueChar(ch) && ch != ',' && ch != ' ')
            return expected(m_pos, QStringLiteral("a parameter of %1").arg(QString::fromLatin1(c.name)));
        ++m_pos;
    }
    c.value = QByteArray(m_data + paramStart, int(m_pos - paramStart));
    if (m_pos < m_size && m_data[m_pos] == ';')
        ++m_pos;
    record(c);
    return handleHpgl(c);
}

bool Parser::parse()
{
    static const char uel[] = "\x1b%-12345X";
    if (m_size < 9 || qstrncmp(m_data, uel, 9) != 0)
        return expected(0, QStringLiteral("the universal exit ESC %-12345X that opens a job"));

    while (m_pos < m_size) {
        const char ch = m_data[m_pos];
        if (m_mode == Mode::Tail) {
            if (ch != '\0')
                return expected(m_pos, QStringLiteral("only zero bytes after the PJL end of job"));
            ++m_pos;
            ++m_job->settings.trailingZeros;
            continue;
        }
        if (ch == Esc) {
            const Section section = m_mode == Mode::Pjl ? Section::Pjl
                : m_mode == Mode::Hpgl                  ? Section::Hpgl
                                                        : Section::Pcl;
            QList<Command> commands;
            if (!parseEscape(&commands))
                return false;
            const qint64 after = m_pos;
            for (Command c : qAsConst(commands)) {
                c.section = section;
                record(c);
                if (m_mode == Mode::Pjl && c.name != "E" && c.name != "%X")
                    return fail(c.offset,
                        QStringLiteral("expected a PJL command line, found ESC %1")
                            .arg(QString::fromLatin1(c.name)));
                if (c.name == "*bW" && m_mode == Mode::Pcl) {
                    if (!rasterData(c, after))
                        return false;
                    continue;
                }
                if (!handlePcl(c))
                    return false;
            }
            continue;
        }
        switch (m_mode) {
        case Mode::Pjl:
            if (!parsePjlLine())
                return false;
            break;
        case Mode::Pcl:
            return expected(m_pos, QStringLiteral("ESC (a PCL command)"));
        case Mode::Hpgl:
            if (ch == ';' || ch == ' ' || ch == '\r' || ch == '\n' || ch == '\t') {
                ++m_pos;
                break;
            }
            if (!parseHpglCommand())
                return false;
            break;
        case Mode::Tail:
            break;
        }
    }
    if (!m_job->settings.endOfJob)
        return fail(m_size,
            QStringLiteral("the stream ends in the %1 section, before the PJL end of job "
                           "(\"@PJL EOJ\")")
                .arg(sectionName(m_mode == Mode::Hpgl ? Section::Hpgl
                        : m_mode == Mode::Pcl         ? Section::Pcl
                                                      : Section::Pjl)));
    return true;
}

bool Parser::buildBitmap()
{
    const JobSettings &s = m_job->settings;
    int resolution = DefaultResolution;
    if (s.rasterResolution && *s.rasterResolution > 0)
        resolution = *s.rasterResolution;
    else if (s.unitsPerInch && *s.unitsPerInch > 0)
        resolution = *s.unitsPerInch;
    m_job->resolution = resolution;
    if (!s.rasterBlock || !withBitmap)
        return true;

    const qint64 tableWidth = qint64(TableWidthInches) * qMin(resolution, MaxTableResolution);
    const qint64 tableHeight = qint64(TableHeightInches) * qMin(resolution, MaxTableResolution);
    qint64 width = qMax<qint64>(m_extentX, s.rasterWidth ? qint64(*s.rasterWidth) + 1 : 0);
    qint64 height = qMax<qint64>(m_extentY, s.rasterHeight ? qint64(*s.rasterHeight) + 1 : 0);
    if (m_extentX > tableWidth || m_extentY > tableHeight)
        m_job->warnings.append(
            QStringLiteral("raster pixels beyond the %1 x %2 inch table at %3 dpi are dropped")
                .arg(TableWidthInches)
                .arg(TableHeightInches)
                .arg(qMin(resolution, MaxTableResolution)));
    width = qBound<qint64>(1, width, tableWidth);
    height = qBound<qint64>(1, height, tableHeight);
    const qint64 bytes = (width + 31) / 32 * 4 * height;
    if (bytes > MaxBitmapBytes)
        return fail(0,
            QStringLiteral("the raster of %1 x %2 pixels needs more than %3 MiB")
                .arg(width)
                .arg(height)
                .arg(MaxBitmapBytes >> 20));

    QImage image(int(width), int(height), QImage::Format_Mono);
    if (image.isNull())
        return fail(0, QStringLiteral("no memory for a raster of %1 x %2 pixels").arg(width).arg(height));
    image.setColorTable({ qRgb(255, 255, 255), qRgb(0, 0, 0) });
    image.fill(0);

    const int bytesPerLine = int((width + 7) / 8);
    QByteArray row;
    for (int k = 0; k < m_rowData.size(); ++k) {
        const RasterRow &r = m_job->rows.at(k);
        if (r.y >= height)
            continue;
        const int rowBytes = r.byteCount < 0 ? -r.byteCount : r.byteCount;
        // Checked when the row was read: the data is complete and unpacks to rowBytes.
        if (!unpackBits(m_data + m_rowData.at(k).dataOffset, m_rowData.at(k).dataSize, rowBytes, &row))
            continue;
        const uchar *src = reinterpret_cast<const uchar *>(row.constData());
        uchar *dst = image.scanLine(r.y);
        const int shift = r.x % 8;
        const qint64 first = r.x / 8;
        for (int j = 0; j < rowBytes; ++j) {
            const uchar b = r.byteCount < 0 ? src[rowBytes - 1 - j] : src[j];
            if (!b)
                continue;
            const qint64 at = first + j;
            if (at >= bytesPerLine)
                break;
            dst[at] |= uchar(b >> shift);
            if (shift && at + 1 < bytesPerLine)
                dst[at + 1] |= uchar(b << (8 - shift));
        }
    }
    // Pixels beyond the width (in the last byte) are outside the picture.
    if (width % 8) {
        const uchar mask = uchar(0xFF << (8 - width % 8));
        for (int y = 0; y < height; ++y)
            image.scanLine(y)[bytesPerLine - 1] &= mask;
    }
    m_job->bitmap = image;
    return true;
}

} // namespace

bool unpackBits(const char *data, int size, int maxOutput, QByteArray *out, QString *error)
{
    out->clear();
    out->reserve(qMax(0, maxOutput));
    auto failWith = [&](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    int i = 0;
    while (i < size) {
        const uchar h = uchar(data[i]);
        if (h == 0x80) {
            ++i;
            continue;
        }
        if (h < 0x80) {
            const int length = h + 1;
            if (length > size - i - 1)
                return failWith(QStringLiteral("a literal run of %1 bytes at data byte %2 runs past the end")
                                    .arg(length)
                                    .arg(i));
            if (length > maxOutput - out->size())
                return failWith(QStringLiteral("the data unpacks to more than %1 bytes").arg(maxOutput));
            out->append(data + i + 1, length);
            i += 1 + length;
        } else {
            const int length = 257 - h;
            if (i + 1 >= size)
                return failWith(QStringLiteral("a repeat run at data byte %1 has no byte to repeat").arg(i));
            if (length > maxOutput - out->size())
                return failWith(QStringLiteral("the data unpacks to more than %1 bytes").arg(maxOutput));
            out->append(length, data[i + 1]);
            i += 2;
        }
    }
    return true;
}

namespace {

bool decode(const QByteArray &stream, DecodedJob *out, QString *error, bool withBitmap)
{
    DecodedJob job;
    Parser parser(stream, &job);
    parser.withBitmap = withBitmap;
    bool ok = parser.parse();
    QString message = parser.message;
    qint64 offset = parser.errorOffset;
    // What came before a fault is still worth showing.
    if (!parser.buildBitmap() && ok) {
        ok = false;
        message = parser.message;
        offset = parser.errorOffset;
    }
    job.errorOffset = ok ? -1 : offset;
    if (error)
        *error = ok ? QString() : message;
    if (out)
        *out = job;
    return ok;
}

} // namespace

bool decodeJob(const QByteArray &stream, DecodedJob *out, QString *error)
{
    return decode(stream, out, error, true);
}

bool decodeJobStructure(const QByteArray &stream, DecodedJob *out, QString *error)
{
    return decode(stream, out, error, false);
}

QStringList describeSettings(const JobSettings &s)
{
    auto number = [](const std::optional<double> &v) {
        return v ? QString::number(*v) : QStringLiteral("(not sent)");
    };
    auto integer
        = [](const std::optional<int> &v) { return v ? QString::number(*v) : QStringLiteral("(not sent)"); };
    auto text = [](const std::optional<QByteArray> &v) {
        return v ? QString::fromLatin1(*v) : QStringLiteral("(not sent)");
    };
    auto flag = [](const std::optional<int> &v) {
        return !v ? QStringLiteral("(not sent)") : *v ? QStringLiteral("on") : QStringLiteral("off");
    };

    QStringList lines;
    lines << QStringLiteral("Job name: %1").arg(s.jobName ? *s.jobName : QStringLiteral("(not sent)"));
    lines << QStringLiteral("Resolution: %1 dpi (unit of measure %2 per inch)")
                 .arg(integer(s.rasterResolution), integer(s.unitsPerInch));
    if (!s.autoFocus)
        lines << QStringLiteral("Auto focus: (not sent)");
    else if (*s.autoFocus == -1)
        lines << QStringLiteral("Auto focus: off");
    else
        lines << QStringLiteral("Auto focus: on, material thickness %1 thousandths").arg(*s.autoFocus);
    lines << QStringLiteral("Vector grid: %1").arg(flag(s.vectorGrid));
    if (s.centerEngraving.value_or(0))
        lines << QStringLiteral("Centring: on, anchor %1, %2, graphics top %3, left %4")
                     .arg(integer(s.centerX), integer(s.centerY), integer(s.graphicsTop),
                         integer(s.graphicsLeft));
    else
        lines << QStringLiteral("Centring: %1").arg(flag(s.centerEngraving));
    lines << QStringLiteral("Raster: power %1, speed %2, height %3, width %4, compression %5")
                 .arg(number(s.rasterPower), number(s.rasterSpeed), integer(s.rasterHeight),
                     integer(s.rasterWidth), integer(s.compression));
    if (s.rasterBlock)
        lines << QStringLiteral("Raster direction: %1")
                     .arg(s.rasterDirection.value_or(0) == 1 ? QStringLiteral("bottom-up")
                                                             : QStringLiteral("top-down"));
    else
        lines << QStringLiteral("Raster direction: no raster block");
    lines << QStringLiteral("Vectors: power %1, speed %2, frequency %3, speed compensation %4, power "
                            "compensation %5")
                 .arg(text(s.vectorPower), text(s.vectorSpeed), text(s.vectorFreq), flag(s.vectorSpeedComp),
                     flag(s.vectorPowerComp));
    lines << QStringLiteral("End of job: %1, followed by %2 zero bytes")
                 .arg(s.endOfJob ? QStringLiteral("yes") : QStringLiteral("missing"))
                 .arg(s.trailingZeros);
    return lines;
}

} // namespace JobDecoder
