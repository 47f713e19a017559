#include "vexlorsettings.h"

vexlorSettings::vexlorSettings(QObject *parent)
    : QObject(parent)
{
}

vexlorSettings::vexlorSettings(const vexlorSettings &other)
    : QObject(nullptr)
    , settings(other.settings)
{
}

vexlorSettings::~vexlorSettings() = default;

vexlorSettings &vexlorSettings::operator=(const vexlorSettings &other)
{
    if (this != &other)
        copySettings(other);
    return *this;
}

void vexlorSettings::copySettings(const vexlorSettings &other)
{
    settings = other.settings;
}
