#ifndef SETTINGSLOOKUP_H
#define SETTINGSLOOKUP_H

#include <QMap>
#include <QString>

namespace Vexlor {

// The settings lookup rule shared by every reader of job settings: the value
// under key; else the value under the alternative key (when one is given);
// else the default. A key present with an empty value yields the empty text.
QString lookupSetting(const QMap<QString, QString> &settings, const QString &key, const QString &defaultValue,
    const QString &alternativeKey);

// The dithering method the image processor takes for a job's dithering option
// text: 1 brighten, 2 lowres, 3 floyd, 4 jarvis, 5 stucki, 0 (standard) for
// anything else. Names found together add up, as they always have.
int ditheringIndex(const QString &option);

} // namespace Vexlor

#endif // SETTINGSLOOKUP_H
