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

} // namespace Vexlor

#endif // SETTINGSLOOKUP_H
