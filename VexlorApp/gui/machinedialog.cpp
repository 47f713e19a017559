#include "machinedialog.h"

#include "ui_machinedialog.h"

#include <QIntValidator>
#include <QMessageBox>
#include <QRegularExpression>

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

QHostAddress MachineDialog::addressFromOctets(const QStringList &octets, QString *reason)
{
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,3}$"));
    const auto refuse = [&](const QString &why) {
        if (reason)
            *reason = why;
        return QHostAddress();
    };
    if (octets.size() != 4)
        return refuse(QStringLiteral("An address has four numbers."));
    quint32 value = 0;
    for (int i = 0; i < 4; ++i) {
        const QString text = octets.at(i).trimmed();
        if (text.isEmpty())
            return refuse(QStringLiteral("Number %1 of the address is empty.").arg(i + 1));
        const uint octet = decimal.match(text).hasMatch() ? text.toUInt(nullptr, 10) : 256;
        if (octet > 255)
            return refuse(QStringLiteral("Number %1 of the address, \"%2\", is not a number from 0 to 255.")
                              .arg(i + 1)
                              .arg(text));
        value = (value << 8) | octet;
    }
    return QHostAddress(value);
}

void MachineDialog::accept()
{
    QString why;
    const QHostAddress address = addressFromOctets(
        { ui->first->text(), ui->second->text(), ui->third->text(), ui->fourth->text() }, &why);
    if (address.isNull()) {
        auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("The IP address is not valid. %1\nEach of its four numbers must be from 0 to 255.")
                .arg(why),
            QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    QDialog::accept();
}

void MachineDialog::acceptClicked()
{
    Vexlor::vexlorMachine machine;
    machine.addr
        = addressFromOctets({ ui->first->text(), ui->second->text(), ui->third->text(), ui->fourth->text() });
    machine.name = ui->name->text();
    machine.type = static_cast<Vexlor::vexlorMachineType>(ui->comboBox->currentIndex());
    emit emitMachine(machine);
}
