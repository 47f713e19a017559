#ifndef COLORCONVERTER_H
#define COLORCONVERTER_H

#include <QColor>
#include <QString>
#include <QVector>

// Device colours to RGB the way Ghostscript renders them: grey and RGB
// as they are, CMYK through Ghostscript's own default CMYK and RGB ICC
// profiles (relative colorimetric, black point compensation). Without the
// profiles CMYK falls back to the PostScript conversion formula.
class colorConverter
{
public:
    colorConverter();
    ~colorConverter();
    colorConverter(const colorConverter &) = delete;
    colorConverter &operator=(const colorConverter &) = delete;

    bool hasProfiles() const;

    static QRgb fromGray(double g);
    static QRgb fromRgb(double r, double g, double b);
    QRgb fromCmyk(double c, double m, double y, double k) const;
    // count pixels of 4 bytes (C, M, Y, K, 0..255) to RGB32 pixels
    void cmykToRgb(const uchar *cmyk, QRgb *rgb, int count) const;

    // The folder holding default_cmyk.icc and default_rgb.icc, or empty.
    static QString profileFolder();

private:
    // made on first use: building the transform costs more than most jobs
    void *transform() const;

    mutable void *m_transform = nullptr;
    mutable bool m_tried = false;
};

#endif // COLORCONVERTER_H
