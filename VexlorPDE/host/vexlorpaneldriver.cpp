#include "vexlorpaneldriver.h"

#include "vexlorcupshost.h"
#include "vexlorpde.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QMetaObject>
#include <QSlider>

#include <cmath>

namespace {

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QString refusal(const VexlorCupsHost *host, const QString &fallback)
{
    return host && !host->lastRefusal().isEmpty() ? host->lastRefusal() : fallback;
}

} // namespace

bool VexlorPanelDriver::applySetting(
    VexlorPDE *panel, const VexlorCupsHost *host, const QString &key, const QString &value, QString *error)
{
    if (!panel || !panel->panelView())
        return fail(error, QStringLiteral("the panel has no interface"));

    struct Popup
    {
        const char *key;
        QComboBox *control;
        const QString *choice;
    };
    const Popup popups[] = {
        { "JobType", panel->jobTypePopup, &panel->jobTypeChoice },
        { "CenterEngraving", panel->centerEngravingPopup, &panel->centerEngravingChoice },
        { "EngravingDirection", panel->engravingDirectionPopup, &panel->engraveDirChoice },
        { "dithering", panel->ditheringPopup, &panel->ditheringChoice },
        { "vectorSort", panel->vSortingPopup, &panel->vectorSortingChoice },
    };
    for (const Popup &p : popups) {
        if (key != QLatin1String(p.key) || !p.control)
            continue;
        const int index = p.control->findData(value);
        if (index < 0)
            return fail(error, QStringLiteral("%1 is not a choice of %2").arg(value, key));
        p.control->setCurrentIndex(index);
        QMetaObject::invokeMethod(p.control, "activated", Q_ARG(int, index));
        if (*p.choice != value)
            return fail(error, refusal(host, QStringLiteral("%1=%2 was refused").arg(key, value)));
        return true;
    }

    struct Box
    {
        const char *key;
        QCheckBox *control;
        const long *state;
    };
    const Box boxes[] = {
        { "directPrint", panel->directPrintCheckBox, &panel->oDirectPrint },
        { "autoFocus", panel->autoFocusCheckBox, &panel->oAutoFocus },
        { "vectorGrid", panel->vectorGridCheckBox, &panel->oVectorGrid },
        { "vectorSpeedComp", panel->vSpeedCompCheckBox, &panel->vSpeedComp },
        { "vectorPowerComp", panel->vPowerCompCheckBox, &panel->vPowerComp },
    };
    for (const Box &b : boxes) {
        if (key != QLatin1String(b.key) || !b.control)
            continue;
        if (value != QLatin1String("enabled") && value != QLatin1String("disabled"))
            return fail(error, QStringLiteral("%1 is \"enabled\" or \"disabled\"").arg(key));
        if (!b.control->isEnabled())
            return fail(error, QStringLiteral("%1 needs autoFocus=enabled").arg(key));
        const bool on = value == QLatin1String("enabled");
        b.control->setChecked(on);
        QMetaObject::invokeMethod(b.control, "clicked", Q_ARG(bool, on));
        if ((*b.state != 0) != on)
            return fail(error, refusal(host, QStringLiteral("%1=%2 was refused").arg(key, value)));
        return true;
    }

    struct Slider
    {
        const char *key;
        QSlider *control;
        const long *field;
    };
    const Slider sliders[] = {
        { "rasterSpeed", panel->rSpeedSlider, &panel->rSpeed },
        { "rasterPower", panel->rPowerSlider, &panel->rPower },
        { "vectorSpeed", panel->vSpeedSlider, &panel->vSpeed },
        { "vectorPower", panel->vPowerSlider, &panel->vPower },
        { "vectorFreq", panel->vFreqSlider, &panel->vFreq },
    };
    QString number = value;
    if (number.startsWith(QLatin1String("Custom.")))
        number = number.mid(7);
    for (const Slider &s : sliders) {
        if (key != QLatin1String(s.key) || !s.control)
            continue;
        bool ok = false;
        const int v = QLocale::c().toInt(number, &ok);
        if (!ok)
            return fail(error, QStringLiteral("%1 takes a whole number").arg(key));
        if (v < s.control->minimum() || v > s.control->maximum())
            return fail(error,
                QStringLiteral("%1 goes from %2 to %3")
                    .arg(key)
                    .arg(s.control->minimum())
                    .arg(s.control->maximum()));
        s.control->setValue(v);
        QMetaObject::invokeMethod(s.control, "valueChanged", Q_ARG(int, v));
        if (*s.field != v)
            return fail(error, refusal(host, QStringLiteral("%1=%2 was refused").arg(key, value)));
        return true;
    }

    if ((key == QLatin1String("cResolution") || key == QLatin1String("resolution"))
        && panel->resolutionSlider) {
        const int index = panel->resolutionSliderValues.indexOf(number);
        if (index < 0)
            return fail(error,
                QStringLiteral("the resolution is one of %1")
                    .arg(panel->resolutionSliderValues.join(QStringLiteral(", "))));
        panel->resolutionSlider->setValue(index);
        QMetaObject::invokeMethod(panel->resolutionSlider, "valueChanged", Q_ARG(int, index));
        if (panel->resolution != number.toLong())
            return fail(error, refusal(host, QStringLiteral("%1=%2 was refused").arg(key, value)));
        return true;
    }

    if (key == QLatin1String("materialThickness") && panel->materialTextBox) {
        bool ok = false;
        const float v = QLocale::c().toFloat(number, &ok);
        if (!ok || !std::isfinite(v))
            return fail(error, QStringLiteral("%1 takes a number").arg(key));
        if (!panel->materialTextBox->isEnabled())
            return fail(error, QStringLiteral("%1 needs autoFocus=enabled").arg(key));
        panel->materialTextBox->setText(number);
        QMetaObject::invokeMethod(panel->materialTextBox, "editingFinished");
        if (panel->oMaterialThickness != v)
            return fail(error, refusal(host, QStringLiteral("%1=%2 was refused").arg(key, value)));
        return true;
    }

    return fail(error, QStringLiteral("the panel has no option %1").arg(key));
}
