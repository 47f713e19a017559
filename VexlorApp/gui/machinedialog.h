#ifndef MACHINEDIALOG_H
#define MACHINEDIALOG_H

#include "vexlortypes.h"

#include <QDialog>
#include <QHostAddress>

namespace Ui {
class MachineDialog;
}

// Entry of one engraver (name, address, model), reused for every add and edit.
class MachineDialog : public QDialog
{
    Q_OBJECT
public:
    explicit MachineDialog(QWidget *parent = nullptr);
    ~MachineDialog() override;

    void setIP(const QHostAddress &address);
    void setName(const QString &name);
    void setType(Vexlor::vexlorMachineType type);
    void setActionType(int type);
    int getActionType() const;

    // The address of four octet texts, each a decimal number from 0 to 255
    // (leading zeros allowed, never read as octal). A null address with the
    // reason when they do not form one.
    static QHostAddress addressFromOctets(const QStringList &octets, QString *reason = nullptr);

public slots:
    // Closes the dialog only with a valid address; otherwise an "Error" box
    // says what is wrong and the dialog stays open with what was typed.
    void accept() override;

signals:
    void emitMachine(Vexlor::vexlorMachine machine);

private slots:
    void acceptClicked();

private:
    Ui::MachineDialog *ui;
    int actionType = 0;
};

#endif // MACHINEDIALOG_H
