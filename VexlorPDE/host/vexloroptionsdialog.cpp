#include "vexloroptionsdialog.h"

#include "vexlorcupshost.h"
#include "vexlorpde.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

VexlorOptionsDialog::VexlorOptionsDialog(VexlorPDE *panel, VexlorCupsHost *host, QWidget *parent)
    : QDialog(parent)
    , m_panel(panel)
    , m_host(host)
    , m_summary(new QLabel(this))
{
    const QString queue = host->queueName();
    setWindowTitle(
        queue.isEmpty() ? panel->panelName() : panel->panelName() + QStringLiteral(" \u2014 ") + queue);

    auto *layout = new QVBoxLayout(this);
    if (QWidget *view = panel->panelView())
        layout->addWidget(view);
    m_summary->setObjectName(QStringLiteral("summaryLabel"));
    layout->addWidget(m_summary);

    auto *buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!queue.isEmpty());
    connect(buttons, &QDialogButtonBox::accepted, this, &VexlorOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &VexlorOptionsDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &VexlorOptionsDialog::showHelp);
    layout->addWidget(buttons);

    // The panel records a choice after the host has taken it: read it afterwards.
    host->setChangeListener([this]() { QTimer::singleShot(0, this, &VexlorOptionsDialog::updateSummary); });
    updateSummary();
}

VexlorOptionsDialog::~VexlorOptionsDialog()
{
    m_host->setChangeListener({});
}

QString VexlorOptionsDialog::summaryText() const
{
    const auto summary = m_panel->summaryInfo();
    if (!summary || summary->isEmpty())
        return m_panel->panelName() + QStringLiteral(": the job type is not one of this printer's");
    return summary->firstKey() + QStringLiteral(": ") + summary->first();
}

void VexlorOptionsDialog::updateSummary()
{
    m_summary->setText(summaryText());
}

bool VexlorOptionsDialog::saveChoices(QString *error)
{
    m_panel->saveValuesAndReturnError(error);
    return m_host->saveQueueOptions(error) && m_host->savePrintSettings(error);
}

void VexlorOptionsDialog::accept()
{
    QString error;
    if (!saveChoices(&error)) {
        QMessageBox::critical(this, QStringLiteral("Error"), error);
        return;
    }
    QDialog::accept();
}

void VexlorOptionsDialog::showHelp()
{
    if (m_panel->shouldShowHelp())
        QMessageBox::information(this, m_panel->panelName(), QStringLiteral("No help is installed."));
}
