#ifndef OPTIONLIMITS_H
#define OPTIONLIMITS_H

#include <QString>

namespace Vexlor {

// The range the engraver queue's PPD allows for one numeric job option, under
// its plain and its custom name.
struct OptionRange
{
    const char *key; // plain name, e.g. "rasterSpeed"
    double minimum;
    double maximum;
    bool integer; // whole numbers only
    const char *fallback; // the queue's default, used for a value that is no number
};

// The range of a numeric option named by its plain or custom key, or null for
// any other key.
const OptionRange *optionRange(const QString &key);

// Checks one value of a numeric option. Returns the value to use: the value
// itself when it is a number within the range (text unchanged), else the
// nearest allowed value, or the queue's default when it is no number at all.
// When the value had to change, *message (if given) names the option, the
// value, the range and the value used; otherwise it is cleared.
QString checkedOptionValue(const QString &key, const QString &value, QString *message = nullptr);

} // namespace Vexlor

#endif // OPTIONLIMITS_H
