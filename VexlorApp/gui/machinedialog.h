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

signals:
    void emitMachine(Vexlor::vexlorMachine machine);

private slots:
    void acceptClicked();

private:
    Ui::MachineDialog *ui;
    int actionType = 0;
};

#endif // MACHINEDIALOG_H
