#include "vexlorpde.h"

#include "vexlorpdehost.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QSlider>
#include <QWidget>

#include <cmath>
#include <cstring>

// The PPD interface of CUPS is deprecated but is the one that gives the marked
// choices and custom parameters of a queue's PPD.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

const char kPanelKind[] = "com.vexlor.print.pde.vexlorKind";

QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}

void setValueQuietly(QSlider *slider, long value)
{
    if (!slider)
        return;
    const QSignalBlocker blocker(slider);
    slider->setValue(static_cast<int>(value));
}

void setText(QLineEdit *field, const QString &text)
{
    if (field)
        field->setText(text);
}

void setChecked(QCheckBox *box, bool on)
{
    if (box)
        box->setChecked(on);
}

void selectChoice(QComboBox *popup, const QString &choice)
{
    if (popup)
        popup->setCurrentIndex(popup->findData(choice));
}

} // namespace

std::unique_ptr<VexlorPDE> VexlorPDE::initWithCallback(VexlorPDEHost *callback, const VexlorPDEBundle &bundle)
{
    std::unique_ptr<VexlorPDE> panel(new VexlorPDE(callback, bundle));

    if (callback) {
        panel->ppd = callback->ppdFile();
        if (ppd_file_t *file = panel->ppd) {
            panel->jobTypeOption = ppdFindOption(file, "JobType");
            panel->centerEngravingOption = ppdFindOption(file, "CenterEngraving");
            panel->rasterPowerOption = ppdFindOption(file, "rasterPower");
            panel->rasterSpeedOption = ppdFindOption(file, "rasterSpeed");
            panel->engraveDirOption = ppdFindOption(file, "EngravingDirection");
            panel->ditheringOption = ppdFindOption(file, "dithering");
            panel->vectorSpeedOption = ppdFindOption(file, "vectorSpeed");
            panel->vectorPowerOption = ppdFindOption(file, "vectorPower");
            panel->vectorFreqOption = ppdFindOption(file, "vectorFreq");
            panel->vectorSortingOption = ppdFindOption(file, "vectorSort");
            panel->vectorSpeedCompOption = ppdFindOption(file, "vectorSpeedComp");
            panel->vectorPowerCompOption = ppdFindOption(file, "vectorPowerComp");
            panel->resolutionOption = ppdFindOption(file, "cResolution");
        }
    } else {
        qDebug("This version of the Vexlor PDE does not run properly on 10.4 or earlier!");
    }

    const bool complete = panel->jobTypeOption && panel->centerEngravingOption && panel->rasterPowerOption
        && panel->rasterSpeedOption && panel->engraveDirOption && panel->ditheringOption
        && panel->vectorSpeedOption && panel->vectorPowerOption && panel->vectorFreqOption
        && panel->vectorSortingOption && panel->vectorSpeedCompOption && panel->vectorPowerCompOption
        && panel->resolutionOption;
    if (!complete)
        return nullptr;

    panel->setDefaults();
    panel->getNonPPDSettingsFromPrintSettings();
    const QString book
        = panel->pdeBundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString();
    if (!callback->registerHelpBook(book))
        qDebug("Vexlor PDE got an error registering its help book!");
    return panel;
}

VexlorPDE::VexlorPDE(VexlorPDEHost *callback, const VexlorPDEBundle &bundle)
    : pdePluginCallbackObject(callback)
    , pdeBundle(bundle)
    , resolutionSliderValues({ QStringLiteral("75"), QStringLiteral("150"), QStringLiteral("200"),
          QStringLiteral("300"), QStringLiteral("400"), QStringLiteral("600"), QStringLiteral("1200") })
{
}

VexlorPDE::~VexlorPDE()
{
    delete vexlorView.data();
}

QWidget *VexlorPDE::panelView()
{
    if (!vexlorView && pdePluginCallbackObject) {
        vexlorView = pdePluginCallbackObject->loadInterface(QStringLiteral("VexlorPDE"), this);
        m_bindOutlets();
        m_applyCustomRanges();
    }
    return vexlorView;
}

QString VexlorPDE::panelName()
{
    if (thePDEName.isNull())
        thePDEName = pdeBundle.localizedString(QStringLiteral("Vexlor Settings"));
    return thePDEName;
}

QString VexlorPDE::panelKind() const
{
    return panelKindIdentifier();
}

QString VexlorPDE::panelKindIdentifier()
{
    return QString::fromLatin1(kPanelKind);
}

QStringList VexlorPDE::supportedPPDOptionKeys() const
{
    return { QStringLiteral("JobType"), QStringLiteral("CenterEngraving"), QStringLiteral("rasterSpeed"),
        QStringLiteral("rasterPower"), QStringLiteral("EngravingDirection"), QStringLiteral("dithering"),
        QStringLiteral("vectorSpeed"), QStringLiteral("vectorPower"), QStringLiteral("vectorFreq"),
        QStringLiteral("vectorSort"), QStringLiteral("vectorSpeedComp"), QStringLiteral("vectorPowerComp"),
        QStringLiteral("cResolution"), QStringLiteral("CustomvectorPower"), QStringLiteral("autoFocus"),
        QStringLiteral("directPrint"), QStringLiteral("vectorGrid"), QStringLiteral("materialThickness") };
}

bool VexlorPDE::shouldShowHelp()
{
    const QVariant book = pdeBundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName"));
    if (!book.isValid())
        return true;
    if (pdePluginCallbackObject)
        pdePluginCallbackObject->openHelpAnchor(QStringLiteral("AppleTitle"), book.toString());
    return false;
}

void VexlorPDE::willShow()
{
    initializePopup();
    updateUI();
}

bool VexlorPDE::shouldHide()
{
    return true;
}

void VexlorPDE::PPDOptionKeyValueDidChange(const QString &option, const QString &choice)
{
    qDebug("Entering PPDOptionKeyValueDidChange");
    if (option.isNull() || choice.isNull())
        return;
    if (option == QLatin1String("JobType"))
        setNewUserChoice(choice, 0);
    else if (option == QLatin1String("CenterEngraving"))
        setNewUserChoice(choice, 1);
    else if (option == QLatin1String("EngravingDirection"))
        setNewUserChoice(choice, 3);
    else if (option == QLatin1String("dithering"))
        setNewUserChoice(choice, 2);
    else if (option == QLatin1String("vectorSort"))
        setNewUserChoice(choice, 4);
}

bool VexlorPDE::restoreValuesAndReturnError(QString *error)
{
    if (error)
        error->clear();
    qDebug("Entering restoreValuesAndReturnError");
    qDebug("The custom vector power is 2set to: %ld",
        getPPDCustomIntOpt(QStringLiteral("vectorPower"), QStringLiteral("vPower")));

    setDefaults();
    getNonPPDSettingsFromPrintSettings();

    struct Marked
    {
        const char *key;
        long type;
        const char *log;
    };
    static const Marked popups[] = {
        { "JobType", 0, "The current jobtype choice is: %s" },
        { "CenterEngraving", 1, "The current center engraving choice is: %s" },
        { "dithering", 2, "The current dithering choice is: %s" },
        { "EngravingDirection", 3, "The current engraving direction choice is: %s" },
        { "vectorSort", 4, "The current vector sorting choice is: %s" },
    };
    for (const Marked &m : popups) {
        if (ppd_choice_t *c = ppdFindMarkedChoice(ppd, m.key)) {
            setNewUserChoice(QString::fromLatin1(c->choice), m.type);
            qDebug(m.log, c->choice);
        }
    }

    if (ppd_choice_t *c = ppdFindMarkedChoice(ppd, "autoFocus")) {
        oAutoFocus = std::strcmp(c->choice, "enabled") == 0 ? 1 : 0;
        setChecked(autoFocusCheckBox, oAutoFocus != 0);
        m_applyAutoFocusInterlock(oAutoFocus != 0);
        qDebug("The current Auto Focus choice is: %s", c->choice);
    }
    if (ppd_choice_t *c = ppdFindMarkedChoice(ppd, "vectorGrid")) {
        oVectorGrid = std::strcmp(c->choice, "enabled") == 0 ? 1 : 0;
        setChecked(vectorGridCheckBox, oVectorGrid != 0);
        qDebug("The current Vector Grid choice is: %s", c->choice);
    }
    if (ppd_choice_t *c = ppdFindMarkedChoice(ppd, "directPrint")) {
        oDirectPrint = std::strcmp(c->choice, "enabled") == 0 ? 1 : 0;
        setChecked(directPrintCheckBox, oDirectPrint != 0);
        qDebug("The current Direct Print choice is: %s", c->choice);
    }
    if (ppd_choice_t *c = ppdFindMarkedChoice(ppd, "cResolution")) {
        m_logCustomResolution();
        qDebug("The current resolution choice is: %s\nText: %s", c->choice, c->text);
    } else {
        qDebug("Unable to find the resolution choice.");
    }

    updateUI();
    return true;
}

bool VexlorPDE::saveValuesAndReturnError(QString *error)
{
    if (error)
        error->clear();
    qDebug("Entering saveValuesAndReturnError");
    return true;
}

std::optional<QMap<QString, QString>> VexlorPDE::summaryInfo()
{
    ppd_choice_t *choice
        = jobTypeOption ? ppdFindChoice(jobTypeOption, latin1(jobTypeChoice).constData()) : nullptr;
    if (!choice)
        return std::nullopt;
    QMap<QString, QString> summary;
    summary.insert(
        pdeBundle.localizedString(QStringLiteral("Vexlor Settings")), QString::fromUtf8(choice->text));
    return summary;
}

void VexlorPDE::requestNewJobType(QComboBox *sender)
{
    popupValueChange(sender, QStringLiteral("JobType"), 0, jobTypeChoice);
}

void VexlorPDE::requestNewCenterEngraving(QComboBox *sender)
{
    popupValueChange(sender, QStringLiteral("CenterEngraving"), 1, centerEngravingChoice);
}

void VexlorPDE::requestNewEngraveDir(QComboBox *sender)
{
    popupValueChange(sender, QStringLiteral("EngravingDirection"), 3, engraveDirChoice);
}

void VexlorPDE::requestNewDithering(QComboBox *sender)
{
    popupValueChange(sender, QStringLiteral("dithering"), 2, ditheringChoice);
}

void VexlorPDE::requestNewVSorting(QComboBox *sender)
{
    popupValueChange(sender, QStringLiteral("vectorSort"), 4, vectorSortingChoice);
}

void VexlorPDE::requestNewDirectPrint(QCheckBox *sender)
{
    checkboxValueChange(sender, QStringLiteral("directPrint"), &oDirectPrint);
}

void VexlorPDE::requestNewAutoFocus(QCheckBox *sender)
{
    if (!sender)
        return;
    const bool on = sender->isChecked();
    if (!on && vectorGridCheckBox && vectorGridCheckBox->isChecked()) {
        vectorGridCheckBox->setChecked(false);
        checkboxValueChange(vectorGridCheckBox, QStringLiteral("vectorGrid"), &oVectorGrid);
    }
    m_applyAutoFocusInterlock(on);
    checkboxValueChange(sender, QStringLiteral("autoFocus"), &oAutoFocus);
    // A refused change put the box back; the dependent controls follow it.
    if ((oAutoFocus != 0) != on)
        m_applyAutoFocusInterlock(oAutoFocus != 0);
}

void VexlorPDE::requestNewVectorGrid(QCheckBox *sender)
{
    checkboxValueChange(sender, QStringLiteral("vectorGrid"), &oVectorGrid);
}

void VexlorPDE::requestNewVSpeedComp(QCheckBox *sender)
{
    checkboxValueChange(sender, QStringLiteral("vectorSpeedComp"), &vSpeedComp);
}

void VexlorPDE::requestNewVPowerComp(QCheckBox *sender)
{
    checkboxValueChange(sender, QStringLiteral("vectorPowerComp"), &vPowerComp);
}

void VexlorPDE::requestNewRSpeed(QSlider *sender)
{
    if (sender)
        sliderValueChange(sender->value(), QStringLiteral("rasterSpeed"), QStringLiteral("CustomrasterSpeed"),
            &rSpeed, printSettingKey(QStringLiteral("rasterSpeed")));
}

void VexlorPDE::requestNewRPower(QSlider *sender)
{
    if (sender)
        sliderValueChange(sender->value(), QStringLiteral("rasterPower"), QStringLiteral("CustomrasterPower"),
            &rPower, printSettingKey(QStringLiteral("rasterPower")));
}

void VexlorPDE::requestNewVSpeed(QSlider *sender)
{
    if (sender)
        sliderValueChange(sender->value(), QStringLiteral("vectorSpeed"), QStringLiteral("CustomvectorSpeed"),
            &vSpeed, printSettingKey(QStringLiteral("vectorSpeed")));
}

void VexlorPDE::requestNewVPower(QSlider *sender)
{
    if (sender)
        sliderValueChange(sender->value(), QStringLiteral("vectorPower"), QStringLiteral("CustomvectorPower"),
            &vPower, printSettingKey(QStringLiteral("vectorPower")));
}

void VexlorPDE::requestNewVFreq(QSlider *sender)
{
    if (sender)
        sliderValueChange(sender->value(), QStringLiteral("vectorFreq"), QStringLiteral("CustomvectorFreq"),
            &vFreq, printSettingKey(QStringLiteral("vectorFreq")));
}

void VexlorPDE::requestNewResolution(QSlider *sender)
{
    if (!sender)
        return;
    const int index = sender->value();
    if (index < 0 || index >= resolutionSliderValues.size()) {
        updateUI();
        return;
    }
    const long previousIndex = resolutionIndex;
    const long step = resolutionSliderValues.at(index).toLong();
    resolutionIndex = index;
    sliderValueChange(static_cast<float>(step), QStringLiteral("cResolution"),
        QStringLiteral("CustomcResolution"), &resolution, printSettingKey(QStringLiteral("resolution")));
    // Refused: the slider goes back to the step of the resolution still in force.
    if (resolution != step) {
        resolutionIndex = previousIndex;
        updateUI();
    }
}

void VexlorPDE::requestNewMaterialThickness(QLineEdit *sender)
{
    if (!sender)
        return;
    const QString text = sender->text().trimmed();
    bool ok = false;
    float value = QLocale::c().toFloat(text, &ok);
    if (!ok)
        value = QLocale().toFloat(text, &ok);
    if (!ok || !std::isfinite(value)) {
        qDebug("We were unsuccessful in updating %s!", "materialThickness");
        updateUI();
        return;
    }
    textBoxValueChange(value, QStringLiteral("materialThickness"), QStringLiteral("CustommaterialThickness"),
        &oMaterialThickness, printSettingKey(QStringLiteral("materialThickness")));
}

void VexlorPDE::setNewUserChoice(const QString &choice, long choiceType)
{
    qDebug("A new user choice has been selected\nThe choice is: %s\n The type is: %ld",
        qUtf8Printable(choice), choiceType);
    switch (choiceType) {
    case 0:
        jobTypeChoice = choice;
        break;
    case 1:
        centerEngravingChoice = choice;
        break;
    case 2:
        ditheringChoice = choice;
        break;
    case 3:
        engraveDirChoice = choice;
        break;
    case 4:
        vectorSortingChoice = choice;
        break;
    default:
        qDebug("Vexlor PDE got an unhandled type in setNewUserChoice! %d", static_cast<int>(choiceType));
        break;
    }
}

void VexlorPDE::updateUI()
{
    if (popUpIsInited) {
        selectChoice(jobTypePopup, jobTypeChoice);
        selectChoice(centerEngravingPopup, centerEngravingChoice);
        selectChoice(ditheringPopup, ditheringChoice);
        selectChoice(engravingDirectionPopup, engraveDirChoice);
        selectChoice(vSortingPopup, vectorSortingChoice);
    }
    setText(materialTextBox, QString::number(oMaterialThickness));
    setValueQuietly(rSpeedSlider, rSpeed);
    setText(rSpeedTextBox, QString::number(rSpeed));
    setValueQuietly(rPowerSlider, rPower);
    setText(rPowerTextBox, QString::number(rPower));
    setValueQuietly(vSpeedSlider, vSpeed);
    setText(vSpeedTextBox, QString::number(vSpeed));
    setValueQuietly(vPowerSlider, vPower);
    setText(vPowerTextBox, QString::number(vPower));
    setValueQuietly(vFreqSlider, vFreq);
    setText(vFreqTextBox, QString::number(vFreq));
    setChecked(vPowerCompCheckBox, vPowerComp != 0);
    setChecked(vSpeedCompCheckBox, vSpeedComp != 0);
    setValueQuietly(resolutionSlider, resolutionIndex);
    setText(resolutionTextBox, QString::number(resolution));
}

void VexlorPDE::setDefaults()
{
    qDebug("Entering setDefaults");
    setNewUserChoice(QString::fromLatin1(jobTypeOption->defchoice), 0);
    setNewUserChoice(QString::fromLatin1(centerEngravingOption->defchoice), 1);
    setNewUserChoice(QString::fromLatin1(engraveDirOption->defchoice), 3);
    setNewUserChoice(QString::fromLatin1(ditheringOption->defchoice), 2);

    if (!setPPDCustomIntOpt(
            QStringLiteral("cResolution"), QStringLiteral("CustomcResolution"), 600, &resolution))
        qDebug("Failed to set custom resolution");

    qDebug("The resolution is set to: %ld",
        getPPDCustomIntOpt(QStringLiteral("cResolution"), QStringLiteral("cRes")));
    qDebug("The custom vector power is 1set to: %ld",
        getPPDCustomIntOpt(QStringLiteral("vectorPower"), QStringLiteral("vPower")));

    if (!setPPDCustomFloatOpt(QStringLiteral("materialThickness"), QStringLiteral("CustommaterialThickness"),
            0.0f, &oMaterialThickness))
        qDebug("Failed to set custom material thickness");
    if (!setPPDCustomIntOpt(QStringLiteral("rasterPower"), QStringLiteral("CustomrasterPower"), 50, &rPower))
        qDebug("Failed to set custom raster power");
    if (!setPPDCustomIntOpt(QStringLiteral("rasterSpeed"), QStringLiteral("CustomrasterSpeed"), 50, &rSpeed))
        qDebug("Failed to set custom raster speed");
    if (!setPPDCustomIntOpt(QStringLiteral("vectorFreq"), QStringLiteral("CustomvectorFreq"), 50, &vFreq))
        qDebug("Failed to set custom vector frequency");
    if (!setPPDCustomIntOpt(QStringLiteral("vectorPower"), QStringLiteral("CustomvectorPower"), 50, &vPower))
        qDebug("Failed to set custom vector power");
    if (!setPPDCustomIntOpt(QStringLiteral("vectorSpeed"), QStringLiteral("CustomvectorSpeed"), 50, &vSpeed))
        qDebug("Failed to set custom vector speed");
}

void VexlorPDE::initializePopup()
{
    // The menus can only be filled once the interface is loaded.
    if (popUpIsInited || !vexlorView)
        return;
    const std::pair<QComboBox *, ppd_option_t *> menus[] = {
        { jobTypePopup, jobTypeOption },
        { centerEngravingPopup, centerEngravingOption },
        { ditheringPopup, ditheringOption },
        { engravingDirectionPopup, engraveDirOption },
        { vSortingPopup, vectorSortingOption },
    };
    for (const auto &menu : menus) {
        QComboBox *popup = menu.first;
        if (!popup || !menu.second)
            continue;
        const QSignalBlocker blocker(popup);
        popup->clear();
        for (int i = 0; i < menu.second->num_choices; ++i) {
            const ppd_choice_t &choice = menu.second->choices[i];
            popup->addItem(QString::fromUtf8(choice.text), QString::fromLatin1(choice.choice));
        }
    }
    popUpIsInited = true;
}

void VexlorPDE::popupValueChange(
    QComboBox *sender, const QString &senderKey, long choiceType, const QString &oldChoice)
{
    if (!sender)
        return;
    const QString choice = sender->currentData().toString();
    if (m_setHostChoice(senderKey, choice)) {
        setNewUserChoice(choice, choiceType);
    } else {
        const QSignalBlocker blocker(sender);
        sender->setCurrentIndex(sender->findData(oldChoice));
    }
}

void VexlorPDE::checkboxValueChange(QCheckBox *sender, const QString &senderKey, long *internalValue)
{
    if (!sender || !internalValue)
        return;
    const bool on = sender->isChecked();
    const QString choice = on ? QStringLiteral("enabled") : QStringLiteral("disabled");
    if (m_setHostChoice(senderKey, choice)) {
        qDebug("We have made a new choice for %s: %s!", qUtf8Printable(senderKey), qUtf8Printable(choice));
        *internalValue = on ? 1 : 0;
    } else {
        qDebug("We were unsuccessful in updating %s!", qUtf8Printable(senderKey));
        // The box must not show a state the dialog did not take.
        sender->setChecked(*internalValue != 0);
    }
    updateUI();
}

void VexlorPDE::sliderValueChange(float senderValue, const QString &optionKey, const QString &customKey,
    long *internalValue, const QString &saveKey)
{
    if (!m_setHostChoice(optionKey, QStringLiteral("Custom"))) {
        qDebug("We were unsuccessful in updating %s!", qUtf8Printable(optionKey));
    } else {
        const long value = static_cast<long>(senderValue);
        if (m_setHostChoice(customKey, QString::asprintf("%ld", value)))
            *internalValue = value;
        else
            qDebug("We were unsuccessful in changing the %s", qUtf8Printable(customKey));
    }
    writeNonPPDSettingToPrintSettings(saveKey, QString::asprintf("%ld", *internalValue));
    updateUI();
}

void VexlorPDE::textBoxValueChange(float senderValue, const QString &optionKey, const QString &customKey,
    float *internalValue, const QString &saveKey)
{
    if (!m_setHostChoice(optionKey, QStringLiteral("Custom"))) {
        qDebug("We were unsuccessful in updating %s!", qUtf8Printable(optionKey));
    } else {
        if (m_setHostChoice(customKey, QString::asprintf("%f", static_cast<double>(senderValue))))
            *internalValue = senderValue;
        else
            qDebug("We were unsuccessful in changing the %s", qUtf8Printable(customKey));
    }
    writeNonPPDSettingToPrintSettings(saveKey, QString::asprintf("%f", static_cast<double>(*internalValue)));
    updateUI();
}

bool VexlorPDE::setPPDCustomIntOpt(
    const QString &key, const QString &customKey, long value, long *internalValue)
{
    if (!m_setHostChoice(key, QStringLiteral("Custom")))
        return false;
    if (!m_setHostChoice(customKey, QString::asprintf("%ld", value)))
        return false;
    *internalValue = value;
    return true;
}

bool VexlorPDE::setPPDCustomFloatOpt(
    const QString &key, const QString &customKey, float value, float *internalValue)
{
    if (!m_setHostChoice(key, QStringLiteral("Custom")))
        return false;
    if (!m_setHostChoice(customKey, QString::asprintf("%f", static_cast<double>(value))))
        return false;
    *internalValue = value;
    return true;
}

long VexlorPDE::getPPDCustomIntOpt(const QString &key, const QString &customKey)
{
    ppd_coption_t *option = ppd ? ppdFindCustomOption(ppd, latin1(key).constData()) : nullptr;
    if (!option) {
        qDebug("Unable to find the custom option: %s.", qUtf8Printable(key));
        return -1;
    }
    ppd_cparam_t *param = ppdFindCustomParam(option, latin1(customKey).constData());
    if (!param) {
        qDebug("Unable to find the custom param: %s.", qUtf8Printable(customKey));
        return -1;
    }
    qDebug("The custom option text is: %s", param->text);
    if (param->type == PPD_CUSTOM_INT)
        return param->current.custom_int;
    qDebug("The type is incorrect for: %s - %s: %d.", qUtf8Printable(key), qUtf8Printable(customKey),
        static_cast<int>(param->type));
    return -1;
}

float VexlorPDE::getPPDCustomFloatOpt(const QString &key, const QString &customKey)
{
    ppd_coption_t *option = ppd ? ppdFindCustomOption(ppd, latin1(key).constData()) : nullptr;
    if (!option) {
        qDebug("Unable to find the custom option: %s.", qUtf8Printable(key));
        return -1.0f;
    }
    ppd_cparam_t *param = ppdFindCustomParam(option, latin1(customKey).constData());
    if (!param) {
        qDebug("Unable to find the custom param: %s.", qUtf8Printable(customKey));
        return -1.0f;
    }
    qDebug("The custom option text is: %s", param->text);
    if (param->type == PPD_CUSTOM_REAL)
        return param->current.custom_real;
    qDebug("The type is incorrect for: %s - %s: %d.", qUtf8Printable(key), qUtf8Printable(customKey),
        static_cast<int>(param->type));
    return -1.0f;
}

void VexlorPDE::getNonPPDSettingsFromPrintSettings()
{
    qDebug("Entering getNonPPDSettingsFromPrintSettings");
    if (!pdePluginCallbackObject || !pdePluginCallbackObject->hasPrintSettings())
        return;

    // A stored value must be a number; anything else counts as a failed read.
    auto read = [this](const QString &suffix, bool logValue, auto fallback) {
        const QString key = printSettingKey(suffix);
        QString text;
        bool ok = pdePluginCallbackObject->printSettingsGetValue(key, &text) == VexlorPDEHost::NoErr;
        decltype(fallback) value = fallback;
        if (ok) {
            if constexpr (std::is_same_v<decltype(fallback), float>) {
                value = QLocale::c().toFloat(text.trimmed(), &ok);
                ok = ok && std::isfinite(value);
            } else {
                value = QLocale::c().toLong(text.trimmed(), &ok);
            }
        }
        if (ok) {
            if (logValue)
                qDebug("PMPrintSettingsGetValue got: %s", qUtf8Printable(text));
            return value;
        }
        qDebug("Unable to get %s", qUtf8Printable(key));
        return fallback;
    };

    const float thickness = read(QStringLiteral("materialThickness"), true, 0.0f);
    const long speedR = read(QStringLiteral("rasterSpeed"), true, 50L);
    const long powerR = read(QStringLiteral("rasterPower"), false, 50L);
    const long powerV = read(QStringLiteral("vectorPower"), false, 50L);
    const long speedV = read(QStringLiteral("vectorSpeed"), false, 50L);
    const long freqV = read(QStringLiteral("vectorFreq"), false, 50L);
    const long dpi = read(QStringLiteral("resolution"), false, 600L);

    // The fields take a stored value only once the dialog has accepted it.
    if (!setPPDCustomFloatOpt(QStringLiteral("materialThickness"), QStringLiteral("CustommaterialThickness"),
            thickness, &oMaterialThickness))
        qDebug("Failed to set custom material thickness");
    if (!setPPDCustomIntOpt(
            QStringLiteral("cResolution"), QStringLiteral("CustomcResolution"), dpi, &resolution))
        qDebug("Failed to set custom resolution");
    if (!setPPDCustomIntOpt(
            QStringLiteral("rasterPower"), QStringLiteral("CustomrasterPower"), powerR, &rPower))
        qDebug("Failed to set custom raster power");
    if (!setPPDCustomIntOpt(
            QStringLiteral("rasterSpeed"), QStringLiteral("CustomrasterSpeed"), speedR, &rSpeed))
        qDebug("Failed to set custom raster speed");
    if (!setPPDCustomIntOpt(QStringLiteral("vectorFreq"), QStringLiteral("CustomvectorFreq"), freqV, &vFreq))
        qDebug("Failed to set custom vector frequency");
    if (!setPPDCustomIntOpt(
            QStringLiteral("vectorPower"), QStringLiteral("CustomvectorPower"), powerV, &vPower))
        qDebug("Failed to set custom vector power");
    if (!setPPDCustomIntOpt(
            QStringLiteral("vectorSpeed"), QStringLiteral("CustomvectorSpeed"), speedV, &vSpeed))
        qDebug("Failed to set custom vector speed");

    resolutionIndex = 5;
    for (int i = 0; i < resolutionSliderValues.size(); ++i) {
        if (resolutionSliderValues.at(i).toLong() == resolution) {
            resolutionIndex = i;
            break;
        }
    }
}

void VexlorPDE::writeNonPPDSettingToPrintSettings(const QString &key, const QString &value)
{
    if (!pdePluginCallbackObject || !pdePluginCallbackObject->hasPrintSettings())
        return;
    const int status = pdePluginCallbackObject->printSettingsSetValue(key, value);
    if (status == VexlorPDEHost::NoErr)
        qDebug("Saved %s to %s", qUtf8Printable(value), qUtf8Printable(key));
    else
        qDebug("Vexlor PDE got an error %d setting the value for %s !", status, qUtf8Printable(key));
}

QString VexlorPDE::printSettingKey(const QString &suffix) const
{
    return panelKind() + QLatin1Char('.') + suffix;
}

bool VexlorPDE::m_setHostChoice(const QString &key, const QString &choice)
{
    return pdePluginCallbackObject && pdePluginCallbackObject->willChangePPDOptionKeyValue(key, choice);
}

void VexlorPDE::m_bindOutlets()
{
    QWidget *view = vexlorView;
    if (!view)
        return;
    auto outlet = [view](auto **field, const char *name) {
        using Widget = std::remove_pointer_t<std::remove_reference_t<decltype(*field)>>;
        *field = view->findChild<Widget *>(QString::fromLatin1(name));
        if (!*field)
            qDebug("The interface VexlorPDE lacks the outlet %s", name);
    };
    outlet(&jobTypePopup, "jobTypePopup");
    outlet(&centerEngravingPopup, "centerEngravingPopup");
    outlet(&ditheringPopup, "ditheringPopup");
    outlet(&engravingDirectionPopup, "engravingDirectionPopup");
    outlet(&vSortingPopup, "vSortingPopup");
    outlet(&directPrintCheckBox, "directPrintCheckBox");
    outlet(&autoFocusCheckBox, "autoFocusCheckBox");
    outlet(&vectorGridCheckBox, "vectorGridCheckBox");
    outlet(&vSpeedCompCheckBox, "vSpeedCompCheckBox");
    outlet(&vPowerCompCheckBox, "vPowerCompCheckBox");
    outlet(&materialTextBox, "materialTextBox");
    outlet(&materialText, "materialText");
    outlet(&rPowerTextBox, "rPowerTextBox");
    outlet(&rSpeedTextBox, "rSpeedTextBox");
    outlet(&vSpeedTextBox, "vSpeedTextBox");
    outlet(&vPowerTextBox, "vPowerTextBox");
    outlet(&vFreqTextBox, "vFreqTextBox");
    outlet(&resolutionTextBox, "resolutionTextBox");
    outlet(&rPowerSlider, "rPowerSlider");
    outlet(&rSpeedSlider, "rSpeedSlider");
    outlet(&vSpeedSlider, "vSpeedSlider");
    outlet(&vPowerSlider, "vPowerSlider");
    outlet(&vFreqSlider, "vFreqSlider");
    outlet(&resolutionSlider, "resolutionSlider");
}

void VexlorPDE::m_applyCustomRanges()
{
    // The sliders cover what the PPD accepts as a custom value.
    const std::pair<QSlider *, const char *> sliders[] = {
        { rSpeedSlider, "rasterSpeed" },
        { rPowerSlider, "rasterPower" },
        { vSpeedSlider, "vectorSpeed" },
        { vPowerSlider, "vectorPower" },
        { vFreqSlider, "vectorFreq" },
    };
    for (const auto &s : sliders) {
        ppd_coption_t *option = (s.first && ppd) ? ppdFindCustomOption(ppd, s.second) : nullptr;
        ppd_cparam_t *param = option ? ppdFirstCustomParam(option) : nullptr;
        if (param && param->type == PPD_CUSTOM_INT
            && param->minimum.custom_int <= param->maximum.custom_int) {
            const QSignalBlocker blocker(s.first);
            s.first->setRange(param->minimum.custom_int, param->maximum.custom_int);
        }
    }
    if (resolutionSlider) {
        const QSignalBlocker blocker(resolutionSlider);
        resolutionSlider->setRange(0, resolutionSliderValues.size() - 1);
    }
}

void VexlorPDE::m_applyAutoFocusInterlock(bool autoFocusOn)
{
    if (materialText) {
        materialText->setEnabled(autoFocusOn);
        QPalette palette = materialText->palette();
        palette.setColor(QPalette::WindowText, autoFocusOn ? QColor(Qt::black) : QColor(Qt::gray));
        materialText->setPalette(palette);
    }
    if (materialTextBox)
        materialTextBox->setEnabled(autoFocusOn);
    if (vectorGridCheckBox) {
        vectorGridCheckBox->setEnabled(autoFocusOn);
        if (!autoFocusOn)
            vectorGridCheckBox->setChecked(false);
    }
}

void VexlorPDE::m_logCustomResolution()
{
    // The custom option that *CustomcResolution declares is the one of cResolution.
    ppd_coption_t *option = ppdFindCustomOption(ppd, "cResolution");
    if (!option) {
        qDebug("Unable to find the custom option.");
        return;
    }
    ppd_cparam_t *param = ppdFindCustomParam(option, "cRes");
    if (!param) {
        qDebug("Unable to find the custom param.");
        return;
    }
    qDebug("The custom option text is: %s", param->text);
    if (param->type == PPD_CUSTOM_INT)
        qDebug("The custom value is: %d", param->current.custom_int);
}
