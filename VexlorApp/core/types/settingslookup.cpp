#include "settingslookup.h"

namespace Vexlor {

QString lookupSetting(const QMap<QString, QString> &settings, const QString &key, const QString &defaultValue,
    const QString &alternativeKey)
{
    auto it = settings.constFind(key);
    if (it != settings.constEnd())
        return it.value();
    if (!alternativeKey.isEmpty()) {
        it = settings.constFind(alternativeKey);
        if (it != settings.constEnd())
            return it.value();
    }
    return defaultValue;
}

} // namespace Vexlor
