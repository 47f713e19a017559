#include "engraveroptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>

namespace {

const struct
{
    lpdStep step;
    const char *name;
} stepNames[] = {
    { lpdStep::ReceiveJob, "receive-job" },
    { lpdStep::ControlSubcommand, "control-subcommand" },
    { lpdStep::ControlFile, "control-file" },
    { lpdStep::DataSubcommand, "data-subcommand" },
    { lpdStep::Data, "data" },
};

QString allStepNames()
{
    QStringList names;
    for (const auto &entry : stepNames)
        names << QLatin1String(entry.name);
    return names.join(QStringLiteral(", "));
}

bool readSteps(const QStringList &values, const QString &option, QSet<lpdStep> *steps, QString *error)
{
    for (const QString &value : values) {
        // Several steps may be given at once, separated by commas.
        for (const QString &name : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            lpdStep step;
            if (!lpdStepFromName(name.trimmed(), &step)) {
                *error = QStringLiteral("--%1: unknown step \"%2\" (one of %3)")
                             .arg(option, name, allStepNames());
                return false;
            }
            steps->insert(step);
        }
    }
    return true;
}

bool readNumber(
    const QString &text, const QString &option, qint64 min, qint64 max, qint64 *value, QString *error)
{
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (!ok || number < min || number > max) {
        *error = QStringLiteral("--%1: \"%2\" is not a number from %3 to %4")
                     .arg(option, text)
                     .arg(min)
                     .arg(max);
        return false;
    }
    *value = number;
    return true;
}

} // namespace

QString lpdStepName(lpdStep step)
{
    for (const auto &entry : stepNames) {
        if (entry.step == step)
            return QLatin1String(entry.name);
    }
    return QString();
}

bool lpdStepFromName(const QString &name, lpdStep *step)
{
    for (const auto &entry : stepNames) {
        if (name == QLatin1String(entry.name)) {
            *step = entry.step;
            return true;
        }
    }
    return false;
}

QString engraverOptions::defaultSpoolDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/vexlor-engraver/jobs");
}

bool engraverOptions::parse(
    const QStringList &arguments, engraverOptions *options, QString *error, bool *helpShown)
{
    if (helpShown)
        *helpShown = false;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A virtual laser engraver: an LPD print server that stores every job it receives,\n"
                       "draws what the engraver would engrave (black) and cut (red) as a PNG picture and\n"
                       "writes a summary of the job's settings beside it."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Show the version."));
    const QString steps = QStringLiteral("STEP");
    const QCommandLineOption address(QStringLiteral("address"),
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("ADDRESS"));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("TCP port (default 515; 0 picks a free port)."), QStringLiteral("PORT"));
    const QCommandLineOption spool(QStringLiteral("spool"),
        QStringLiteral("Folder for the stored jobs (default %1).").arg(defaultSpoolDir()),
        QStringLiteral("DIR"));
    const QCommandLineOption transcript(QStringLiteral("transcript"),
        QStringLiteral("Keep a raw copy of every byte each connection sends, one file per connection."),
        QStringLiteral("DIR"));
    const QCommandLineOption failAt(QStringLiteral("fail-at"),
        QStringLiteral("Refuse at STEP: answer a non-zero byte and drop the job. Steps: %1.")
            .arg(allStepNames()),
        steps);
    const QCommandLineOption silentAt(
        QStringLiteral("silent-at"), QStringLiteral("Never answer at STEP."), steps);
    const QCommandLineOption twoBytesAt(
        QStringLiteral("two-bytes-at"), QStringLiteral("Answer two zero bytes at STEP."), steps);
    const QCommandLineOption nonzeroAt(QStringLiteral("nonzero-at"),
        QStringLiteral("Answer a non-zero byte at STEP but go on as if the step was accepted."), steps);
    const QCommandLineOption acceptDelay(QStringLiteral("accept-delay"),
        QStringLiteral("Wait MS milliseconds before serving each new connection."), QStringLiteral("MS"));
    const QCommandLineOption idleTimeout(QStringLiteral("idle-timeout"),
        QStringLiteral("Drop a client that sends nothing for S seconds (default 120)."), QStringLiteral("S"));
    const QCommandLineOption once(QStringLiteral("once"),
        QStringLiteral("Exit after the first job connection has ended and its job "
                       "is drawn (exit code 0 when a job was stored, else 1)."));
    const QCommandLineOption noDecode(
        QStringLiteral("no-decode"), QStringLiteral("Store jobs only; draw and summarise nothing."));
    const QCommandLineOption head(QStringLiteral("head"),
        QStringLiteral("Where the head waits, in inches from the table's top left corner: a job with "
                       "centring on is engraved around it (default 20,14, the middle of the table)."),
        QStringLiteral("X,Y"));
    parser.addOptions({ head, versionOption, address, port, spool, transcript, failAt, silentAt, twoBytesAt,
        nonzeroAt, acceptDelay, idleTimeout, once, noDecode });

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        if (parser.isSet(helpOption))
            std::fputs(qPrintable(parser.helpText()), stdout);
        else
            std::printf("vexlor-engraver %s\n", VEXLOR_VERSION);
        std::fflush(stdout);
        if (helpShown)
            *helpShown = true;
        return true;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return false;
    }

    engraverOptions result;
    if (parser.isSet(address)) {
        const QString text = parser.value(address);
        if (text == QLatin1String("localhost"))
            result.address = QHostAddress(QHostAddress::LocalHost);
        else if (!result.address.setAddress(text)) {
            *error = QStringLiteral("--address: \"%1\" is not an IP address").arg(text);
            return false;
        }
    }
    qint64 number = 0;
    if (parser.isSet(port)) {
        if (!readNumber(parser.value(port), QStringLiteral("port"), 0, 65535, &number, error))
            return false;
        result.port = static_cast<quint16>(number);
    }
    result.spoolDir = parser.isSet(spool) ? parser.value(spool) : defaultSpoolDir();
    if (result.spoolDir.isEmpty()) {
        *error = QStringLiteral("--spool: the folder name is empty");
        return false;
    }
    result.spoolDir = QDir::cleanPath(QDir::current().absoluteFilePath(result.spoolDir));
    if (parser.isSet(transcript))
        result.transcriptDir = QDir::cleanPath(QDir::current().absoluteFilePath(parser.value(transcript)));
    if (!readSteps(parser.values(failAt), QStringLiteral("fail-at"), &result.failAt, error)
        || !readSteps(parser.values(silentAt), QStringLiteral("silent-at"), &result.silentAt, error)
        || !readSteps(parser.values(twoBytesAt), QStringLiteral("two-bytes-at"), &result.twoBytesAt, error)
        || !readSteps(parser.values(nonzeroAt), QStringLiteral("nonzero-at"), &result.nonzeroAt, error))
        return false;
    if (parser.isSet(acceptDelay)) {
        if (!readNumber(
                parser.value(acceptDelay), QStringLiteral("accept-delay"), 0, 3600000, &number, error))
            return false;
        result.acceptDelayMs = static_cast<int>(number);
    }
    if (parser.isSet(idleTimeout)) {
        if (!readNumber(parser.value(idleTimeout), QStringLiteral("idle-timeout"), 1, 86400, &number, error))
            return false;
        result.idleTimeoutMs = static_cast<int>(number * 1000);
    }
    if (parser.isSet(head)) {
        const QStringList parts = parser.value(head).split(QLatin1Char(','));
        bool xOk = false;
        bool yOk = false;
        const double x = parts.value(0).trimmed().toDouble(&xOk);
        const double y = parts.value(1).trimmed().toDouble(&yOk);
        if (parts.size() != 2 || !xOk || !yOk || x < 0 || x > 40 || y < 0 || y > 28) {
            *error = QStringLiteral("--head: \"%1\" is not X,Y in inches within the 40 x 28 inch table")
                         .arg(parser.value(head));
            return false;
        }
        result.headInches = QPointF(x, y);
    }
    result.once = parser.isSet(once);
    result.decode = !parser.isSet(noDecode);
    *options = result;
    return true;
}
