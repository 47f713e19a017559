#ifndef VEXLORPDE_H
#define VEXLORPDE_H

#include "vexlorpdebundle.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cups/ppd.h>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;
class QWidget;
class VexlorPDEHost;

// The engraving options panel of the print dialog. Every choice is handed to the
// dialog as a PPD option value at once; the numeric values are also kept as
// private print settings so that the panel shows them again next time.
class VexlorPDE : public QObject
{
    Q_OBJECT

public:
    // The panel for the host's queue, or null when the queue's PPD lacks one of
    // the options the panel sets.
    static std::unique_ptr<VexlorPDE> initWithCallback(
        VexlorPDEHost *callback, const VexlorPDEBundle &bundle = VexlorPDEBundle::bundleForClass());
    ~VexlorPDE() override;

    // Operations called by the print dialog.
    QWidget *panelView();
    QString panelName();
    QString panelKind() const;
    // The panel kind identifier, also the name of the folder of its print settings.
    static QString panelKindIdentifier();
    QStringList supportedPPDOptionKeys() const;
    bool shouldShowHelp();
    void willShow();
    bool shouldHide();
    void PPDOptionKeyValueDidChange(const QString &option, const QString &choice);
    bool restoreValuesAndReturnError(QString *error = nullptr);
    bool saveValuesAndReturnError(QString *error = nullptr);
    // One entry: the panel name and the display text of the current job type;
    // nothing when the job type keyword is not a choice of the PPD.
    std::optional<QMap<QString, QString>> summaryInfo();

    // Actions of the controls.
    void requestNewJobType(QComboBox *sender);
    void requestNewCenterEngraving(QComboBox *sender);
    void requestNewEngraveDir(QComboBox *sender);
    void requestNewDithering(QComboBox *sender);
    void requestNewVSorting(QComboBox *sender);
    void requestNewDirectPrint(QCheckBox *sender);
    void requestNewAutoFocus(QCheckBox *sender);
    void requestNewVectorGrid(QCheckBox *sender);
    void requestNewVSpeedComp(QCheckBox *sender);
    void requestNewVPowerComp(QCheckBox *sender);
    void requestNewRSpeed(QSlider *sender);
    void requestNewRPower(QSlider *sender);
    void requestNewVSpeed(QSlider *sender);
    void requestNewVPower(QSlider *sender);
    void requestNewVFreq(QSlider *sender);
    void requestNewResolution(QSlider *sender);
    void requestNewMaterialThickness(QLineEdit *sender);

    // Internal operations, public for the hosts' tests.
    void setNewUserChoice(const QString &choice, long choiceType);
    void updateUI();
    void setDefaults();
    void initializePopup();
    void popupValueChange(
        QComboBox *sender, const QString &senderKey, long choiceType, const QString &oldChoice);
    void checkboxValueChange(QCheckBox *sender, const QString &senderKey, long *internalValue);
    // The slider's value (or the resolution step's) is passed as the sender's value.
    void sliderValueChange(float senderValue, const QString &optionKey, const QString &customKey,
        long *internalValue, const QString &saveKey);
    void textBoxValueChange(float senderValue, const QString &optionKey, const QString &customKey,
        float *internalValue, const QString &saveKey);
    bool setPPDCustomIntOpt(const QString &key, const QString &customKey, long value, long *internalValue);
    bool setPPDCustomFloatOpt(
        const QString &key, const QString &customKey, float value, float *internalValue);
    long getPPDCustomIntOpt(const QString &key, const QString &customKey);
    float getPPDCustomFloatOpt(const QString &key, const QString &customKey);
    void getNonPPDSettingsFromPrintSettings();
    void writeNonPPDSettingToPrintSettings(const QString &key, const QString &value);

    // The print-setting key of a numeric option: the panel kind, a full stop and
    // the suffix ("rasterSpeed", "resolution", ...).
    QString printSettingKey(const QString &suffix) const;

    // Fields.
    VexlorPDEHost *pdePluginCallbackObject = nullptr;
    QString thePDEName;

    QComboBox *jobTypePopup = nullptr;
    QComboBox *centerEngravingPopup = nullptr;
    QComboBox *ditheringPopup = nullptr;
    QComboBox *engravingDirectionPopup = nullptr;
    QComboBox *vSortingPopup = nullptr;
    QCheckBox *directPrintCheckBox = nullptr;
    QCheckBox *autoFocusCheckBox = nullptr;
    QCheckBox *vectorGridCheckBox = nullptr;
    QCheckBox *vSpeedCompCheckBox = nullptr;
    QCheckBox *vPowerCompCheckBox = nullptr;
    QLineEdit *materialTextBox = nullptr;
    QLabel *materialText = nullptr;
    QLineEdit *rPowerTextBox = nullptr;
    QLineEdit *rSpeedTextBox = nullptr;
    QLineEdit *vSpeedTextBox = nullptr;
    QLineEdit *vPowerTextBox = nullptr;
    QLineEdit *vFreqTextBox = nullptr;
    QLineEdit *resolutionTextBox = nullptr;
    QSlider *rPowerSlider = nullptr;
    QSlider *rSpeedSlider = nullptr;
    QSlider *vSpeedSlider = nullptr;
    QSlider *vPowerSlider = nullptr;
    QSlider *vFreqSlider = nullptr;
    QSlider *resolutionSlider = nullptr;
    QPointer<QWidget> vexlorView;

    bool popUpIsInited = false;
    QString jobTypeChoice;
    QString centerEngravingChoice;
    QString engraveDirChoice;
    QString ditheringChoice;
    QString vectorSortingChoice;

    ppd_file_t *ppd = nullptr;
    ppd_option_t *jobTypeOption = nullptr;
    ppd_option_t *centerEngravingOption = nullptr;
    ppd_option_t *rasterSpeedOption = nullptr;
    ppd_option_t *rasterPowerOption = nullptr;
    ppd_option_t *engraveDirOption = nullptr;
    ppd_option_t *ditheringOption = nullptr;
    ppd_option_t *vectorSpeedOption = nullptr;
    ppd_option_t *vectorPowerOption = nullptr;
    ppd_option_t *vectorFreqOption = nullptr;
    ppd_option_t *vectorSortingOption = nullptr;
    ppd_option_t *vectorSpeedCompOption = nullptr;
    ppd_option_t *vectorPowerCompOption = nullptr;
    ppd_option_t *resolutionOption = nullptr;

    VexlorPDEBundle pdeBundle;

    long rPower = 50;
    long rSpeed = 50;
    long vPower = 50;
    long vSpeed = 50;
    long vFreq = 50;
    long vSpeedComp = 0;
    long vPowerComp = 1;
    long oDirectPrint = 0;
    long oAutoFocus = 0;
    long oVectorGrid = 0;
    float oMaterialThickness = 0.0f;
    long resolution = 600;
    QStringList resolutionSliderValues;
    long resolutionIndex = 5;

private:
    VexlorPDE(VexlorPDEHost *callback, const VexlorPDEBundle &bundle);

    bool m_setHostChoice(const QString &key, const QString &choice);
    void m_bindOutlets();
    void m_applyCustomRanges();
    void m_applyAutoFocusInterlock(bool autoFocusOn);
    void m_logCustomResolution();
};

#endif // VEXLORPDE_H
