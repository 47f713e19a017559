#ifndef PSOPTIONPARSER_H
#define PSOPTIONPARSER_H

#include "vexlorsettings.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QRegularExpression>
#include <QString>

// Reads the document structuring comments of a spooled PostScript job (its
// title, bounding box, number of pages ("PageCount") and the printer features
// the print system wrote in "%%BeginFeature:" blocks) and writes them as the
// job's options file in the options folder. Answers done(QString) with the
// file's path, then done(vexlorSettings) with the same options, numeric ones
// taken into the queue's ranges. Features named like the keys the application
// sets itself are left out and reported.
class psOptionParser : public QObject
{
    Q_OBJECT
public:
    psOptionParser(QDir optionsDir, QObject *parent = nullptr);

    // The file is read in pieces of this many bytes (see parseFile).
    // Mainly there so that tests can put piece borders anywhere.
    void setBlockSize(int bytes);

signals:
    void info(QString);
    void error(QString);
    void done(QString);
    void done(vexlorSettings);
    void finished();

public slots:
    void name2Parse(QString fileName);

private:
    void parseFile(QFile &file);
    void options2XML(const QMap<QString, QString> &options);
    void storeMatch(int pattern, const QRegularExpressionMatch &match, QMap<QString, QString> &found);

    QString fileName;
    QList<QPair<QString, QRegularExpression>> patterns;
    QDir m_optionsDir;
    int m_blockSize;
};

#endif // PSOPTIONPARSER_H
