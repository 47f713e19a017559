// The engraver list of the main window and its file "settings.xml".
#include "machinelistfile.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QMessageBox>

void MainWindow::loadMachineList()
{
    const QString path = m_supportDir.absolutePath() + QStringLiteral("/settings.xml");
    const Vexlor::machineListRead read = Vexlor::readMachineList(path);
    if (read.status == Vexlor::machineListRead::Missing) {
        infoString(
            QStringLiteral("No engraver list yet: %1 does not exist; it is made when the application quits")
                .arg(path));
        return;
    }
    infoString(QStringLiteral("Reading settings from: settings.xml"));
    for (const QString &line : read.log)
        infoString(line);

    for (const Vexlor::vexlorMachine &machine : read.machines) {
        machines.append(machine);
        ui->machineList->addItem(machine.name);
    }

    if (read.status == Vexlor::machineListRead::Damaged) {
        errorString(QStringLiteral("XML error: ") + read.problem);
        // Writing the list at exit would replace the damaged file with the
        // part of it that could be read: it goes aside first, where the user
        // can still get at the rest.
        QString why;
        const QString aside = Vexlor::keepAside(path, &why);
        const QString found = read.machines.isEmpty()
            ? QStringLiteral("The list starts empty: no engraver could be read before the fault.")
            : read.machines.size() == 1
            ? QStringLiteral("The list starts with the 1 engraver that could be read before the fault.")
            : QStringLiteral("The list starts with the %1 engravers that could be read before the fault.")
                  .arg(read.machines.size());
        QString text;
        if (!aside.isEmpty()) {
            text = QStringLiteral(
                "The engraver list %1 could not be read whole (%2).\n\nIt was kept as %3.\n\n%4")
                       .arg(path, read.problem, aside, found);
        } else {
            text = QStringLiteral(
                "The engraver list %1 could not be read whole (%2).\n\nIt could not be moved "
                "aside (%3), so it will not be overwritten: changes to the engraver list are not "
                "saved until the file is repaired or removed.\n\n%4")
                       .arg(path, read.problem, why, found);
        }
        // One log line per failure.
        errorString(QString(text).replace(QStringLiteral("\n\n"), QStringLiteral(" ")));
        showMessage(QMessageBox::Warning, QStringLiteral("Engraver List"), text, this);
    } else {
        infoString(QStringLiteral("Reached xml end... done"));
    }

    if (!machines.isEmpty())
        ui->machineList->setCurrentRow(read.defaultIndex);
}

void MainWindow::saveMachineList()
{
    const QString path = m_supportDir.absolutePath() + QStringLiteral("/settings.xml");
    QString why;
    QString keptAs;
    const bool written
        = Vexlor::writeMachineList(path, machines, ui->machineList->currentRow(), &why, &keptAs);
    if (!keptAs.isEmpty())
        errorString(QStringLiteral("%1 could not be read whole; it was kept as %2").arg(path, keptAs));
    if (!written)
        errorString(
            QStringLiteral("Problem writing settings.xml: %1; the file on disk was not changed").arg(why));
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
