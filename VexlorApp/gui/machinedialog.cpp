#include "machinedialog.h"

#include "ui_machinedialog.h"

#include <QIntValidator>

MachineDialog::MachineDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::MachineDialog)
{
    ui->setupUi(this);
    for (QLineEdit *octet : { ui->first, ui->second, ui->third, ui->fourth })
        octet->setValidator(new QIntValidator(0, 255, octet));
    ui->comboBox->addItem(QStringLiteral("Ostrel"));
    connect(this, &QDialog::accepted, this, &MachineDialog::acceptClicked);
}

MachineDialog::~MachineDialog()
{
    delete ui;
}

void MachineDialog::setIP(const QHostAddress &address)
{
    const QStringList parts = address.toString().split(QLatin1Char('.'));
    if (parts.size() < 4)
        return;
    ui->first->setText(parts.at(0));
    ui->second->setText(parts.at(1));
    ui->third->setText(parts.at(2));
    ui->fourth->setText(parts.at(3));
}

void MachineDialog::setName(const QString &name)
{
    ui->name->setText(name);
    ui->name->setFocus(Qt::OtherFocusReason);
}

void MachineDialog::setType(Vexlor::vexlorMachineType type)
{
    if (type == Vexlor::Ostrel)
        ui->comboBox->setCurrentIndex(0);
}

void MachineDialog::setActionType(int type)
{
    actionType = type;
}

int MachineDialog::getActionType() const
{
    return actionType;
}

void MachineDialog::acceptClicked()
{
    Vexlor::vexlorMachine machine;
    const QString text = ui->first->text() + QLatin1Char('.') + ui->second->text() + QLatin1Char('.')
        + ui->third->text() + QLatin1Char('.') + ui->fourth->text();
    // An empty octet gives no address at all; the engraver is then kept with a
    // null address rather than a guessed one.
    QHostAddress address;
    if (address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol)
        machine.addr = address;
    machine.name = ui->name->text();
    machine.type = static_cast<Vexlor::vexlorMachineType>(ui->comboBox->currentIndex());
    emit emitMachine(machine);
}
