#ifndef SAMPLEDIMAGE_H
#define SAMPLEDIMAGE_H

#include <QByteArray>
#include <QImage>
#include <QVector>

class colorConverter;

// The samples of one PostScript image as the interpreter delivered them,
// and their conversion to a picture: grey, RGB, CMYK or indexed samples of
// 1, 2, 4, 8, 12 or 16 bits with a decode array, or a one-bit image mask
// painted in one colour, or an area that the interpreter painted itself,
// delivered twice (8-bit RGB painted on white and on black): its pixels are
// transparent where the two differ. Rows that the data did not reach stay
// transparent.
class sampledImage
{
public:
    enum Space { Gray, Rgb, Cmyk, Indexed, Mask, Painted };

    int width = 0;
    int height = 0;
    int bitsPerComponent = 8;
    int components = 1;
    Space space = Gray;
    QVector<double> decode;
    // one entry per data source: all components interleaved, or one
    // component each when the image had multiple data sources
    QVector<QByteArray> sources;
    QRgb maskColor = qRgb(0, 0, 0);
    // Indexed: the base space (Gray, Rgb or Cmyk), the highest index and
    // the palette bytes, one byte per base component
    Space paletteSpace = Rgb;
    int highIndex = 0;
    QByteArray palette;
    // colour key masking: sample values (or ranges, two per component)
    // that are left transparent
    QVector<int> maskKeys;

    bool isValid() const;
    QImage toImage(const colorConverter &colors) const;

private:
    QImage paintedImage() const;
    int sample(const QByteArray &data, int offset, int index) const;
};

#endif // SAMPLEDIMAGE_H
