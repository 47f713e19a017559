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

int ditheringIndex(const QString &option)
{
    static const struct
    {
        const char *name;
        int type;
    } methods[] = { { "brighten", 1 }, { "lowres", 2 }, { "floyd", 3 }, { "jarvis", 4 }, { "stucki", 5 } };
    int type = 0;
    for (const auto &method : methods) {
        if (option.contains(QLatin1String(method.name)))
            type |= method.type;
    }
    return type;
}

} // namespace Vexlor
