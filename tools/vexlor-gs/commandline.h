#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>
#include <QStringList>

// The argument list that the application builds for the engraver device,
// checked entry by entry. Nothing else is accepted.
class commandLine
{
public:
    // Parses the arguments without the program name.
    explicit commandLine(const QStringList &arguments);

    bool isValid() const { return m_error.isEmpty(); }
    QString errorText() const { return m_error; }
    static QString usage();

    int resolution() const { return m_resolution; }
    QString ditheringType() const { return m_dithering; }
    QString jobType() const { return m_jobType; }
    // Empty when the output entry itself was unusable.
    QString outputFile() const { return m_outputFile; }
    QString inputFile() const { return m_inputFile; }

    static constexpr int maxResolution = 9600;

private:
    QString m_error;
    int m_resolution = 0;
    QString m_dithering;
    QString m_jobType;
    QString m_outputFile;
    QString m_inputFile;
};

#endif // COMMANDLINE_H
