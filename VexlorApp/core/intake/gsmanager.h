#ifndef GSMANAGER_H
#define GSMANAGER_H

#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// Turns a job's options file into the argument list of the Ghostscript
// program with the engraver device, and reports the job's resolution and
// dithering type on the way.
class gsManager : public QObject
{
    Q_OBJECT
public:
    explicit gsManager(QObject *parent = nullptr);

    // Reads the options file into the option groups: every element whose name
    // contains "Settings" starts a group, every other element is an option of
    // the last group.
    void importXMLOptions(QString path);

signals:
    void info(QString);
    void error(QString);
    void done(QString);
    void launchGS(QStringList);
    void finished();
    void gsResolution(int);
    void sendDitheringType(QString);

public slots:
    void processOptions(QString path);

private:
    using OptionGroup = QPair<QString, QMap<QString, QString>>;

    // Empty between jobs.
    QList<OptionGroup> m_groups;
};

#endif // GSMANAGER_H
