#ifndef PCLGENERATOR_H
#define PCLGENERATOR_H

#include "cutorder.h"
#include "vexlortypes.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

#include <vector>

class QImage;

// Builds the engraver job stream of one prepared job: the PJL job header, the
// PCL settings block, the raster rows of the dithered tiles, the HP-GL/2
// vector block with the end of job, and a tail of zero bytes. Lives on a
// worker thread of its own; every slot arrives through a queued connection.
class pclGenerator : public QObject
{
    Q_OBJECT
public:
    explicit pclGenerator(QObject *parent = nullptr);
    ~pclGenerator() override;

    // The bytes in reverse order; the bits inside each byte stay as they are.
    static QByteArray reverse(const QByteArray &bytes);
    // TIFF PackBits with runs of at most 128 bytes; a pair of equal bytes is
    // always sent as a repeat run.
    static QByteArray tiffEncode(const QByteArray &bytes);

    // Whether the raster rows of a large job in the usual one-bit form may be
    // encoded on two threads (the default); the stream is the same either way.
    // Switching it off serves comparisons and measurements.
    static void setTwoThreadRows(bool allowed);

public slots:
    void setSettings(const vexlorSettings &settings);
    void getVectors(const VectorList &vectors);
    void getBoundingRect(const QRect &rect);
    void setPixTiles(const Vexlor::SceneTile &tiles);
    void process();

signals:
    void done(QByteArray job);
    void setRangeProgBar(int minimum, int maximum);
    void setValueProgBar(int value);
    void setLabelTextProgBar(QString text);
    void info(QString text);
    void error(QString text);
    void finished();

private:
    QString getValue(const QString &key, const QString &defaultValue, const QString &altKey) const;

    void writeHeader();
    void writeSettings();
    void writeRaster();
    void writeVectors();
    void addHPGLCommand(const QString &command);
    // Pen-up, pen-down and Bézier commands of the runs, in the order given.
    void writePathCommands(const QList<Vexlor::PathElements> &runs);

    void writeTileRows(const QImage &image, const QRect &rect, bool bottomUp, bool *reverseRow);
    bool writeUsualRowsOnTwoThreads(bool bottomUp);
    void writeRow(const uchar *row, int n, int x, int y, bool reverseRow);
    // The commands and PackBits data of one row (n bytes from row, at device
    // x, y) appended to job; reversed and encoded are scratch space.
    static void encodeRow(QByteArray &job, std::vector<uchar> &reversed, std::vector<uchar> &encoded,
        const uchar *row, int n, int x, int y, bool reverseRow);
    // PackBits of n bytes into out (room for 2 n + 18 bytes: at most 2 n + 2
    // are written, but up to sixteen more may be stored); returns the length.
    static int packBits(const uchar *data, int n, uchar *out);

    QByteArray m_job;
    std::vector<uchar> m_reversed;
    std::vector<uchar> m_encoded;
    Vexlor::SceneTile m_tiles;
    vexlorSettings m_settings;
    QRect m_boundingRect;
    QList<LaserOp::LaserOp> m_vectors;
};

#endif // PCLGENERATOR_H
