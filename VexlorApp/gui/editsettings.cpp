#include "editsettings.h"

#include "cutorder.h"
#include "ui_editsettings.h"

#include <QDoubleValidator>
#include <QIntValidator>

namespace {

// Selects the first entry whose text contains the value, ignoring case; no
// selection when none does.
void selectContaining(QComboBox *box, const QString &value)
{
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemText(i).contains(value, Qt::CaseInsensitive)) {
            box->setCurrentIndex(i);
            return;
        }
    }
    box->setCurrentIndex(-1);
}

QString enabledText(bool on)
{
    return on ? QStringLiteral("enabled") : QStringLiteral("disabled");
}

} // namespace

EditSettings::EditSettings(vexlorSettings *settings, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::EditSettings)
    , m_settings(settings)
    , dpiTable { 75, 150, 200, 300, 400, 600, 1200 }
{
    ui->setupUi(this);
    auto *thickness = new QDoubleValidator(0, 12, 3, ui->materialThicknessLineEdit);
    thickness->setNotation(QDoubleValidator::StandardNotation);
    ui->materialThicknessLineEdit->setValidator(thickness);
    ui->rSpeedTextBox->setValidator(new QIntValidator(1, 100, ui->rSpeedTextBox));
    ui->rPowerTextBox->setValidator(new QIntValidator(0, 100, ui->rPowerTextBox));
    ui->vSpeedTextBox->setValidator(new QIntValidator(1, 100, ui->vSpeedTextBox));
    ui->vPowerTextBox->setValidator(new QIntValidator(0, 100, ui->vPowerTextBox));
    ui->vFreqTextBox->setValidator(new QIntValidator(1, 100, ui->vFreqTextBox));
}

EditSettings::~EditSettings()
{
    delete ui;
}

void EditSettings::setSettings()
{
    const QMap<QString, QString> &s = m_settings->settings;

    const QString jobType = s.value(QStringLiteral("JobType"));
    if (jobType == QLatin1String("combo"))
        ui->jobTypeComboBox->setCurrentIndex(0);
    else
        selectContaining(ui->jobTypeComboBox, jobType);

    const QString centre = s.value(QStringLiteral("CenterEngraving"));
    if (centre == QLatin1String("center"))
        ui->centerEngravingComboBox->setCurrentIndex(3);
    else
        selectContaining(ui->centerEngravingComboBox, centre);

    const bool autoFocus = s.value(QStringLiteral("autoFocus")) != QLatin1String("disabled");
    ui->autoFocusCheckBox->setChecked(autoFocus);
    ui->vectorGridCheckBox->setEnabled(autoFocus);
    ui->materialThicknessLabel->setEnabled(autoFocus);
    ui->materialThicknessLineEdit->setEnabled(autoFocus);
    if (!autoFocus) {
        ui->vectorGridCheckBox->setChecked(false);
        ui->materialThicknessLineEdit->setText(s.value(QStringLiteral("CustommaterialThickness")));
    } else {
        ui->vectorGridCheckBox->setChecked(
            s.value(QStringLiteral("vectorGrid")) != QLatin1String("disabled"));
        ui->materialThicknessLineEdit->setText(
            QString::number(s.value(QStringLiteral("CustommaterialThickness")).toDouble(), 'f', 3));
    }

    auto loadPair = [&s](QLineEdit *box, QSlider *slider, const QString &key) {
        const QString value = s.value(key, QStringLiteral("50"));
        box->setText(value);
        slider->setValue(value.toInt());
    };
    loadPair(ui->rSpeedTextBox, ui->rSpeedSlider, QStringLiteral("CustomrasterSpeed"));
    loadPair(ui->rPowerTextBox, ui->rPowerSlider, QStringLiteral("CustomrasterPower"));

    selectContaining(ui->engDirComboBox, s.value(QStringLiteral("EngravingDirection")));
    const QString dithering = s.value(QStringLiteral("dithering"));
    if (dithering == QLatin1String("lowres"))
        ui->ditherComboBox->setCurrentIndex(2);
    else
        selectContaining(ui->ditherComboBox, dithering);

    loadPair(ui->vSpeedTextBox, ui->vSpeedSlider, QStringLiteral("CustomvectorSpeed"));
    loadPair(ui->vPowerTextBox, ui->vPowerSlider, QStringLiteral("CustomvectorPower"));
    loadPair(ui->vFreqTextBox, ui->vFreqSlider, QStringLiteral("CustomvectorFreq"));

    ui->speedCompCheckBox->setChecked(
        s.value(QStringLiteral("vectorSpeedComp")) != QLatin1String("disabled"));
    ui->powerCompCheckBox->setChecked(
        s.value(QStringLiteral("vectorPowerComp")) != QLatin1String("disabled"));
    // Entries in the order of the cutting orders: document order for a job
    // that names none or one this program does not know.
    ui->vectorSortingComboBox->setCurrentIndex(
        int(Vexlor::cutOrderFromSetting(s.value(QStringLiteral("vectorSort")))));

    // A job without a resolution runs at the default one; showing it (rather
    // than an empty field) keeps an unchanged OK from writing an empty
    // resolution that would fail the job.
    ui->dpiTextBox->setText(s.value(QStringLiteral("CustomcResolution"), QStringLiteral("600")));
    const int resolution = s.value(QStringLiteral("CustomcResolution"), QStringLiteral("600")).toInt();
    for (int i = 0; i < 7; ++i) {
        if (resolution == dpiTable[i])
            ui->dpiSlider->setValue(i);
    }
}

void EditSettings::on_buttonBox_accepted()
{
    QMap<QString, QString> &s = m_settings->settings;
    static const char *const jobTypes[] = { "combo", "vector", "raster" };
    static const char *const centres[] = { "none", "left", "top", "center", "page" };
    static const char *const directions[] = { "top", "bottom" };
    static const char *const ditherings[] = { "standard", "brighten", "lowres", "floyd", "jarvis", "stucki" };
    static const char *const cutOrders[] = { "none", "inner", "nearest" };
    auto pick = [](const QComboBox *box, const char *const *names, int count) {
        const int index = box->currentIndex();
        return index >= 0 && index < count ? QString::fromLatin1(names[index]) : QString();
    };

    s.insert(QStringLiteral("JobType"), pick(ui->jobTypeComboBox, jobTypes, 3));
    s.insert(QStringLiteral("CenterEngraving"), pick(ui->centerEngravingComboBox, centres, 5));
    s.insert(QStringLiteral("autoFocus"), enabledText(ui->autoFocusCheckBox->isChecked()));
    s.insert(QStringLiteral("vectorGrid"), enabledText(ui->vectorGridCheckBox->isChecked()));
    s.insert(QStringLiteral("CustommaterialThickness"), ui->materialThicknessLineEdit->text());
    s.insert(QStringLiteral("CustomrasterSpeed"), ui->rSpeedTextBox->text());
    s.insert(QStringLiteral("CustomrasterPower"), ui->rPowerTextBox->text());
    s.insert(QStringLiteral("EngravingDirection"), pick(ui->engDirComboBox, directions, 2));
    s.insert(QStringLiteral("dithering"), pick(ui->ditherComboBox, ditherings, 6));
    s.insert(QStringLiteral("CustomvectorSpeed"), ui->vSpeedTextBox->text());
    s.insert(QStringLiteral("CustomvectorPower"), ui->vPowerTextBox->text());
    s.insert(QStringLiteral("CustomvectorFreq"), ui->vFreqTextBox->text());
    s.insert(QStringLiteral("vectorSort"), pick(ui->vectorSortingComboBox, cutOrders, 3));
    s.insert(QStringLiteral("vectorSpeedComp"), enabledText(ui->speedCompCheckBox->isChecked()));
    s.insert(QStringLiteral("vectorPowerComp"), enabledText(ui->powerCompCheckBox->isChecked()));
    s.insert(QStringLiteral("CustomcResolution"), ui->dpiTextBox->text());
    emit updateJobSettings();
}

void EditSettings::on_autoFocusCheckBox_clicked()
{
    const bool on = ui->autoFocusCheckBox->isChecked();
    ui->vectorGridCheckBox->setEnabled(on);
    ui->materialThicknessLabel->setEnabled(on);
    ui->materialThicknessLineEdit->setEnabled(on);
    if (!on)
        ui->vectorGridCheckBox->setChecked(false);
}

void EditSettings::on_rSpeedSlider_valueChanged(int value)
{
    ui->rSpeedTextBox->setText(QString::number(value));
}

void EditSettings::on_rSpeedTextBox_textChanged(const QString &text)
{
    ui->rSpeedSlider->setValue(text.toInt());
}

void EditSettings::on_rPowerSlider_valueChanged(int value)
{
    ui->rPowerTextBox->setText(QString::number(value));
}

void EditSettings::on_rPowerTextBox_textChanged(const QString &text)
{
    ui->rPowerSlider->setValue(text.toInt());
}

void EditSettings::on_vSpeedSlider_valueChanged(int value)
{
    ui->vSpeedTextBox->setText(QString::number(value));
}

void EditSettings::on_vSpeedTextBox_textChanged(const QString &text)
{
    ui->vSpeedSlider->setValue(text.toInt());
}

void EditSettings::on_vPowerSlider_valueChanged(int value)
{
    ui->vPowerTextBox->setText(QString::number(value));
}

void EditSettings::on_vPowerTextBox_textChanged(const QString &text)
{
    ui->vPowerSlider->setValue(text.toInt());
}

void EditSettings::on_vFreqSlider_valueChanged(int value)
{
    ui->vFreqTextBox->setText(QString::number(value));
}

void EditSettings::on_vFreqTextBox_textChanged(const QString &text)
{
    ui->vFreqSlider->setValue(text.toInt());
}

void EditSettings::on_dpiSlider_valueChanged(int value)
{
    if (value >= 0 && value < 7)
        ui->dpiTextBox->setText(QString::number(dpiTable[value]));
}
