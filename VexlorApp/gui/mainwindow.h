#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QDir>
#include <QMainWindow>
#include <QString>

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(const QString &gsProgram, const QString &spoolDir, const QString &optionsDir,
               const QString &gsOutputDir, const QString &supportDir, QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void errorString(QString err);
    void infoString(QString info);

private:
    QString m_gsProgram;
    QDir m_spoolDir;
    QDir m_optionsDir;
    QDir m_gsOutputDir;
    QDir m_supportDir;
};

#endif // MAINWINDOW_H
