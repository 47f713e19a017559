// The engraver list of the main window and its file "settings.xml".
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QMessageBox>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

void MainWindow::loadMachineList()
{
    QFile file(m_supportDir.absolutePath() + QStringLiteral("/settings.xml"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        errorString(QStringLiteral("Problem opening image file: settings.xml"));
        return;
    }
    infoString(QStringLiteral("Reading settings from: settings.xml"));

    int defaultIndex = 0;
    QXmlStreamReader reader(&file);
    while (!reader.atEnd() && !reader.hasError()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            infoString(QStringLiteral("Name: ") + reader.name().toString());
            const QXmlStreamAttributes attributes = reader.attributes();
            if (reader.name() == QLatin1String("Machine")) {
                Vexlor::vexlorMachine machine;
                machine.name = attributes.value(QLatin1String("name")).toString();
                machine.type
                    = static_cast<Vexlor::vexlorMachineType>(attributes.value(QLatin1String("type")).toInt());
                QHostAddress address;
                if (address.setAddress(attributes.value(QLatin1String("addr")).toString()))
                    machine.addr = address;
                machines.append(machine);
                ui->machineList->addItem(machine.name);
            } else if (reader.name() == QLatin1String("ListStart")) {
                defaultIndex = attributes.value(QLatin1String("default")).toInt();
            }
        } else if (!reader.hasError()) {
            infoString(reader.tokenString());
        }
    }
    if (reader.hasError())
        errorString(QStringLiteral("XML error: ") + reader.errorString());
    else
        infoString(QStringLiteral("Reached xml end... done"));
    file.close();

    if (!machines.isEmpty())
        ui->machineList->setCurrentRow(defaultIndex);
}

void MainWindow::saveMachineList()
{
    // Written whole under a temporary name and renamed over the old file only
    // once every byte is on disk: a failed write (full disk, no permission)
    // keeps the old list intact.
    QSaveFile file(m_supportDir.absolutePath() + QStringLiteral("/settings.xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        errorString(QStringLiteral("Problem opening option file: settings.xml"));
        return;
    }
    QByteArray document;
    QXmlStreamWriter writer(&document);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("ListStart"));
    writer.writeAttribute(QStringLiteral("default"), QString::number(ui->machineList->currentRow()));
    for (const Vexlor::vexlorMachine &machine : qAsConst(machines)) {
        writer.writeStartElement(QStringLiteral("Machine"));
        writer.writeAttribute(QStringLiteral("name"), machine.name);
        writer.writeAttribute(
            QStringLiteral("addr"), machine.addr.isNull() ? QString() : machine.addr.toString());
        writer.writeAttribute(QStringLiteral("type"), QString::number(machine.type));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    // QSaveFile buffers; a failure that only shows when the buffer is flushed
    // would otherwise still let commit() replace the old file.
    if (file.write(document) != document.size() || !file.flush() || !file.commit()) {
        errorString(QStringLiteral("Problem writing settings.xml: %1; the previous file was kept")
                        .arg(file.errorString()));
        file.cancelWriting();
    }
}

void MainWindow::getMachine(Vexlor::vexlorMachine mac)
{
    if (mac.name.isEmpty()) {
        machineDialog.show();
        showMessage(QMessageBox::Warning, QStringLiteral("Error"), QStringLiteral("You must put in a name."),
            &machineDialog);
        return;
    }
    const QList<QListWidgetItem *> sameName
        = ui->machineList->findItems(mac.name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    auto refuse = [this]() {
        machineDialog.show();
        showMessage(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Machine with that name already exists. Please rename."), &machineDialog);
        errorString(QStringLiteral("There are multipule items in the machineList with the same name..."));
    };

    if (machineDialog.getActionType() == 0) {
        if (!sameName.isEmpty()) {
            refuse();
            return;
        }
        machines.append(mac);
        ui->machineList->addItem(mac.name);
        ui->machineList->setCurrentRow(ui->machineList->count() - 1);
        return;
    }

    const int row = ui->machineList->currentRow();
    if (row < 0 || row >= machines.size())
        return;
    if (!sameName.isEmpty() && ui->machineList->item(row)->text() != mac.name) {
        refuse();
        return;
    }
    machines[row].name = mac.name;
    machines[row].addr = mac.addr;
    machines[row].type = mac.type;
    delete ui->machineList->takeItem(row);
    ui->machineList->insertItem(row, mac.name);
    ui->machineList->setCurrentRow(row);
}

void MainWindow::on_addMachineButton_clicked()
{
    machineDialog.setIP(QHostAddress());
    machineDialog.setName(QString());
    machineDialog.setActionType(0);
    machineDialog.show();
}

void MainWindow::on_editMachineButton_clicked()
{
    const int row = ui->machineList->currentRow();
    if (row < 0 || row >= machines.size())
        return;
    const Vexlor::vexlorMachine &machine = machines.at(row);
    machineDialog.setIP(machine.addr);
    machineDialog.setName(machine.name);
    machineDialog.setType(machine.type);
    machineDialog.setActionType(1);
    machineDialog.show();
}

void MainWindow::on_removeMachineButton_clicked()
{
    const int row = ui->machineList->currentRow();
    if (row < 0 || row >= machines.size())
        return;
    machines.removeAt(row);
    delete ui->machineList->takeItem(row);
}

void MainWindow::on_machineList_currentRowChanged(int row)
{
    ui->editMachineButton->setEnabled(row >= 0);
    ui->removeMachineButton->setEnabled(row >= 0);
}
