#ifndef SCENEBUILDER_H
#define SCENEBUILDER_H

#include "clipstore.h"
#include "sampledimage.h"
#include "scenepath.h"

#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

class colorConverter;

// Reads the records that the procedure set wrote while the job ran and
// writes the engraver scene: the page size, filled and stroked paths with
// the clip in force, and images as picture files beside the scene (PGM for
// grey, PPM for opaque colour, PNG for pictures with transparency).
class sceneBuilder
{
public:
    sceneBuilder(const QString &workDir, const colorConverter &colors);

    // Reads workDir/scene.txt. False, with a message, when it is missing or
    // unreadable; malformed records are skipped and counted.
    bool read(QString *error);
    // Writes the scene file under a temporary name and renames it when it
    // is complete; the image files go beside it.
    // It gives up, writing nothing, as soon as stop() returns true.
    bool write(const QString &sceneFile, const QString &dithering, const QString &jobType, QString *error,
        bool (*stop)() = nullptr);

    // A stroke is dashed only while its dashes stay within this many
    // pieces (per stroke and over the scene); a finer
    // pattern is drawn solid, as it looks on the page, and reported.
    static constexpr int maxDashesPerStroke = 100000;
    static constexpr qint64 maxDashesPerScene = 2000000;

    // Image files of a scene are named by this prefix, a number and ".pgm",
    // ".ppm" or ".png".
    static QString imageFilePrefix(const QString &sceneFile);

    QSize pageSize() const { return m_pageSize; }
    int pageCount() const { return m_pages; }
    int itemCount() const { return m_items.size(); }
    int skippedRecords() const { return m_skipped; }
    // what the page held that the scene cannot carry, with the counts,
    // e.g. "2 patterns of an unknown type"
    QStringList leftOut() const;

private:
    struct Item
    {
        enum Kind { Fill, Stroke, Image };
        Kind kind = Fill;
        int clip = 0;
        scenePath path;
        QRgb color = 0;
        bool evenOdd = false;
        double width = 0;
        int cap = 0;
        int join = 0;
        double miter = 10;
        // images: the samples (data read at write time) and image space
        // to device space, [a b c d e f] as in PostScript
        sampledImage image;
        int imageId = 0;
        double matrix[6] = { 1, 0, 0, 1, 0, 0 };
    };

    bool readImageData(Item *item) const;
    void writePath(QByteArray &out, const scenePath &path) const;
    bool writeImage(
        QByteArray &out, Item &item, const QString &folder, const QString &prefix, QString *error);

    QString m_workDir;
    const colorConverter &m_colors;
    clipStore m_clips;
    QVector<Item> m_items;
    QSize m_pageSize;
    int m_pages = 0;
    int m_skipped = 0;
    qint64 m_dashes = 0;
    QMap<QString, int> m_leftOut;
};

#endif // SCENEBUILDER_H
