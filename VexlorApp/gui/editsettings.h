#ifndef EDITSETTINGS_H
#define EDITSETTINGS_H

#include "vexlorsettings.h"

#include <QDialog>

namespace Ui {
class EditSettings;
}

// Edits the current job's settings in place; OK writes every setting back and
// tells the window, Cancel discards the changes.
class EditSettings : public QDialog
{
    Q_OBJECT
public:
    explicit EditSettings(vexlorSettings *settings, QWidget *parent = nullptr);
    ~EditSettings() override;

    void setSettings();

signals:
    void updateJobSettings();

private slots:
    void on_buttonBox_accepted();
    void on_autoFocusCheckBox_clicked();
    void on_rSpeedSlider_valueChanged(int value);
    void on_rSpeedTextBox_textChanged(const QString &text);
    void on_rPowerSlider_valueChanged(int value);
    void on_rPowerTextBox_textChanged(const QString &text);
    void on_vSpeedSlider_valueChanged(int value);
    void on_vSpeedTextBox_textChanged(const QString &text);
    void on_vPowerSlider_valueChanged(int value);
    void on_vPowerTextBox_textChanged(const QString &text);
    void on_vFreqSlider_valueChanged(int value);
    void on_vFreqTextBox_textChanged(const QString &text);
    void on_dpiSlider_valueChanged(int value);

private:
    Ui::EditSettings *ui;
    vexlorSettings *m_settings;
    int dpiTable[7];
};

#endif // EDITSETTINGS_H
