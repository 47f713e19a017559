#include "mainwindow.h"

#include <QDebug>

MainWindow::MainWindow(const QString &gsProgram, const QString &spoolDir, const QString &optionsDir,
                       const QString &gsOutputDir, const QString &supportDir, QWidget *parent)
    : QMainWindow(parent)
    , m_gsProgram(gsProgram)
    , m_spoolDir(spoolDir)
    , m_optionsDir(optionsDir)
    , m_gsOutputDir(gsOutputDir)
    , m_supportDir(supportDir)
{
}

MainWindow::~MainWindow() = default;

void MainWindow::errorString(QString err)
{
    qDebug().noquote() << "ERROR:" << '"' + err + '"';
}

void MainWindow::infoString(QString info)
{
    qDebug().noquote() << "INFO:" << '"' + info + '"';
}
