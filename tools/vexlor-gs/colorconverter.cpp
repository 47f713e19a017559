#include "colorconverter.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <lcms2.h>

namespace {
int toByte(double v)
{
    return std::clamp(int(std::lround(v * 255.0)), 0, 255);
}
} // namespace

colorConverter::colorConverter() = default;

void *colorConverter::transform() const
{
    if (m_tried)
        return m_transform;
    m_tried = true;
    const QString folder = profileFolder();
    if (folder.isEmpty())
        return nullptr;
    const QByteArray cmykPath = QFile::encodeName(folder + QStringLiteral("/default_cmyk.icc"));
    const QByteArray rgbPath = QFile::encodeName(folder + QStringLiteral("/default_rgb.icc"));
    cmsHPROFILE cmyk = cmsOpenProfileFromFile(cmykPath.constData(), "r");
    cmsHPROFILE rgb = cmsOpenProfileFromFile(rgbPath.constData(), "r");
    if (cmyk && rgb)
        m_transform = cmsCreateTransform(cmyk, TYPE_CMYK_8, rgb, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC,
            cmsFLAGS_BLACKPOINTCOMPENSATION);
    if (cmyk)
        cmsCloseProfile(cmyk);
    if (rgb)
        cmsCloseProfile(rgb);
    return m_transform;
}

bool colorConverter::hasProfiles() const
{
    return transform() != nullptr;
}

colorConverter::~colorConverter()
{
    if (m_transform)
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(m_transform));
}

QString colorConverter::profileFolder()
{
    const QString fromEnvironment = qEnvironmentVariable("VEXLOR_GS_ICCDIR");
    QStringList candidates;
    if (!fromEnvironment.isEmpty())
        candidates << fromEnvironment;
    const QDir shared(QStringLiteral("/usr/share/ghostscript"));
    const QStringList versions
        = shared.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    for (const QString &version : versions)
        candidates << shared.filePath(version + QStringLiteral("/iccprofiles"));
    candidates << QStringLiteral("/usr/share/color/icc/ghostscript");
    for (const QString &candidate : candidates) {
        if (QFileInfo::exists(candidate + QStringLiteral("/default_cmyk.icc"))
            && QFileInfo::exists(candidate + QStringLiteral("/default_rgb.icc")))
            return candidate;
    }
    return QString();
}

QRgb colorConverter::fromGray(double g)
{
    const int v = toByte(g);
    return qRgb(v, v, v);
}

QRgb colorConverter::fromRgb(double r, double g, double b)
{
    return qRgb(toByte(r), toByte(g), toByte(b));
}

QRgb colorConverter::fromCmyk(double c, double m, double y, double k) const
{
    const uchar in[4] = { uchar(toByte(c)), uchar(toByte(m)), uchar(toByte(y)), uchar(toByte(k)) };
    QRgb out;
    cmykToRgb(in, &out, 1);
    return out;
}

void colorConverter::cmykToRgb(const uchar *cmyk, QRgb *rgb, int count) const
{
    if (void *lcms = transform()) {
        cmsDoTransform(static_cast<cmsHTRANSFORM>(lcms), cmyk, rgb, cmsUInt32Number(count));
        for (int i = 0; i < count; ++i)
            rgb[i] |= 0xff000000u;
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int k = cmyk[4 * i + 3];
        rgb[i] = qRgb(255 - std::min(255, cmyk[4 * i] + k), 255 - std::min(255, cmyk[4 * i + 1] + k),
            255 - std::min(255, cmyk[4 * i + 2] + k));
    }
}
