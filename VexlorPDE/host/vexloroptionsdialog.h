#ifndef VEXLOROPTIONSDIALOG_H
#define VEXLOROPTIONSDIALOG_H

#include <QDialog>

class QLabel;
class VexlorCupsHost;
class VexlorPDE;

// The window of vexlor-options: the engraving panel of one queue, the summary of
// its choices, and OK, which stores them for the queue.
class VexlorOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    VexlorOptionsDialog(VexlorPDE *panel, VexlorCupsHost *host, QWidget *parent = nullptr);
    ~VexlorOptionsDialog() override;

    QString summaryText() const;
    // Stores the choices as the queue's options and the print settings in the
    // user's file; false with the reason.
    bool saveChoices(QString *error);

public slots:
    void accept() override;
    void updateSummary();

private slots:
    void showHelp();

private:
    VexlorPDE *m_panel;
    VexlorCupsHost *m_host;
    QLabel *m_summary;
};

#endif // VEXLOROPTIONSDIALOG_H
