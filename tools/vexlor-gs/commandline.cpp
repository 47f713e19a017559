#include "commandline.h"

#include <QRegularExpression>

namespace {
const QString ditheringPrefix = QStringLiteral("-sDitheringType=");
const QString outputPrefix = QStringLiteral("-sOutputFile=");
const QStringList fixedHead = { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"),
    QStringLiteral("-dSAFER"), QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor") };
const QString jobTypeEntry = QStringLiteral("-sJobType=mono");
} // namespace

commandLine::commandLine(const QStringList &arguments)
{
    // The output entry is read first and on its own, so that a caller can
    // still clear an earlier scene when another entry is wrong.
    if (arguments.size() > 8 && arguments.at(8).startsWith(outputPrefix)
        && arguments.at(8).size() > outputPrefix.size())
        m_outputFile = arguments.at(8).mid(outputPrefix.size());

    // an option of this program's own that it does not know is named as such
    static const QStringList ownOptions
        = { QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("--version") };
    // (the tenth entry is the job's file, whatever its name)
    for (int i = 0; i < arguments.size() && i < 9; ++i) {
        const QString &argument = arguments.at(i);
        if (argument.startsWith(QLatin1String("--")) && !ownOptions.contains(argument)) {
            m_error = QStringLiteral("unknown option \"%1\" (see vexlor-gs --help)").arg(argument);
            return;
        }
    }
    if (arguments.size() != 10) {
        m_error = QStringLiteral("expected 10 arguments, got %1").arg(arguments.size());
        return;
    }
    for (int i = 0; i < fixedHead.size(); ++i) {
        if (arguments.at(i) != fixedHead.at(i)) {
            m_error = QStringLiteral("argument %1 must be \"%2\", got \"%3\"")
                          .arg(i + 1)
                          .arg(fixedHead.at(i), arguments.at(i));
            return;
        }
    }
    static const QRegularExpression resolutionPattern(QStringLiteral("^-r([0-9]{1,5})$"));
    const QRegularExpressionMatch match = resolutionPattern.match(arguments.at(5));
    m_resolution = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (m_resolution < 1 || m_resolution > maxResolution) {
        m_error = QStringLiteral("argument 6 must be \"-r\" and a resolution from 1 to %1 dpi, got \"%2\"")
                      .arg(maxResolution)
                      .arg(arguments.at(5));
        return;
    }
    if (!arguments.at(6).startsWith(ditheringPrefix)) {
        m_error = QStringLiteral("argument 7 must be \"%1\" and the dithering type, got \"%2\"")
                      .arg(ditheringPrefix, arguments.at(6));
        return;
    }
    m_dithering = arguments.at(6).mid(ditheringPrefix.size());
    if (arguments.at(7) != jobTypeEntry) {
        m_error = QStringLiteral("argument 8 must be \"%1\", got \"%2\"").arg(jobTypeEntry, arguments.at(7));
        return;
    }
    m_jobType = QStringLiteral("mono");
    if (m_outputFile.isEmpty()) {
        m_error = QStringLiteral("argument 9 must be \"%1\" and the scene file, got \"%2\"")
                      .arg(outputPrefix, arguments.at(8));
        return;
    }
    m_inputFile = arguments.at(9);
    if (m_inputFile.isEmpty()) {
        m_error = QStringLiteral("argument 10 must be the PostScript file");
        return;
    }
}

QString commandLine::usage()
{
    return QStringLiteral(
        "usage: vexlor-gs -dDOINTERPOLATE -dBATCH -dSAFER -dNOPAUSE -sDEVICE=vexlor -r<dpi>\n"
        "                 -sDitheringType=<type> -sJobType=mono -sOutputFile=<scene.xml> <file.ps>\n"
        "Interprets the first page of <file.ps> and writes it as an engraver scene (paths, fills,\n"
        "strokes and images in device pixels at <dpi>) to <scene.xml>, with its image files beside it.\n"
        "Later pages are not interpreted; their number is reported when the document's comments give it.\n"
        "What the scene cannot carry is listed on one line starting \"Not drawn: \".\n"
        "       vexlor-gs --help | --version\n");
}
