#include "optionlimits.h"

#include <QLatin1String>

#include <cmath>

namespace Vexlor {

namespace {

// Kept equal to the *ParamCustom... lines and the defaults of vexlor.ppd (a
// test compares them).
const OptionRange kRanges[] = {
    { "cResolution", 75, 1200, true, "600" },
    { "rasterSpeed", 1, 100, true, "50" },
    { "rasterPower", 0, 100, true, "50" },
    { "vectorSpeed", 1, 100, true, "50" },
    { "vectorPower", 0, 100, true, "50" },
    { "vectorFreq", 1, 100, true, "50" },
    { "materialThickness", 0, 100, false, "0" },
};

QString number(double value)
{
    return QString::number(value, 'g', 12);
}

} // namespace

const OptionRange *optionRange(const QString &key)
{
    const QString plain = key.startsWith(QLatin1String("Custom")) ? key.mid(6) : key;
    for (const OptionRange &range : kRanges) {
        if (plain == QLatin1String(range.key))
            return &range;
    }
    return nullptr;
}

QString checkedOptionValue(const QString &key, const QString &value, QString *message)
{
    if (message)
        message->clear();
    const OptionRange *range = optionRange(key);
    if (!range)
        return value;

    bool isNumber = false;
    const double v = value.trimmed().toDouble(&isNumber);
    QString used;
    if (!isNumber || !std::isfinite(v)) {
        used = QLatin1String(range->fallback);
    } else {
        double nearest = qBound(range->minimum, v, range->maximum);
        if (range->integer)
            nearest = std::round(nearest);
        if (nearest == v) {
            // A whole number written as "600.0" or "6e2" is given as "600".
            bool isInteger = false;
            value.trimmed().toInt(&isInteger);
            return range->integer && !isInteger ? number(nearest) : value;
        }
        used = number(nearest);
    }
    if (message) {
        const QString wanted = range->integer ? QStringLiteral("a whole number") : QStringLiteral("a number");
        *message
            = QStringLiteral("The option %1 has the value \"%2\", which is not %3 from %4 to %5: %6 is used")
                  .arg(key, value, wanted, number(range->minimum), number(range->maximum), used);
    }
    return used;
}

} // namespace Vexlor
