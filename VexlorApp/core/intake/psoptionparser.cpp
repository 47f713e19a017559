#include "psoptionparser.h"

#include "securefs.h"
#include "vexlorlog.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>
#include <QVector>
#include <QXmlStreamWriter>

#include <algorithm>

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

} // namespace

psOptionParser::psOptionParser(QDir optionsDir, QObject *parent)
    : QObject(parent)
    , m_optionsDir(optionsDir)
    , m_blockSize(kDefaultBlockSize)
{
    patterns.append(qMakePair(QStringLiteral("Title"),
        QRegularExpression(QStringLiteral("%%Title: \\({0,1}([^\\(][.\\w\\s]*[^\\)])\\){0,1}\\s+"))));
    patterns.append(qMakePair(QStringLiteral("Option"),
        QRegularExpression(
            QStringLiteral("%%BeginFeature: \\*(\\w*) (\\w*)\\s{1}([.\\w]*){0,1}\\s{0,1}%%EndFeature"))));
    patterns.append(qMakePair(QStringLiteral("BoundingBox"),
        QRegularExpression(QStringLiteral("%%BoundingBox: (\\d+ \\d+ \\d+ \\d+)\\s"))));
    for (auto &pattern : patterns)
        pattern.second.optimize();
}

void psOptionParser::setBlockSize(int characters)
{
    m_blockSize = qMax(1, characters);
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
// blocks, and each pattern goes on searching where its last match ended. A
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

    QTextStream in(&device);
    QString text;
    bool atEnd = false;
    while (!atEnd) {
        text += in.read(m_blockSize);
        // A block never ends between the two halves of a surrogate pair: the
        // engine refuses text with half a pair in it.
        while (!in.atEnd() && !text.isEmpty() && text.at(text.size() - 1).isHighSurrogate())
            text += in.read(1);
        atEnd = in.atEnd();

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

        // Keep only what some pattern has yet to search.
        const int keepFrom = *std::min_element(next.constBegin(), next.constEnd());
        text.remove(0, keepFrom);
        for (int &n : next)
            n -= keepFrom;
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
        settings.settings.insert(it.key(), value);
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
