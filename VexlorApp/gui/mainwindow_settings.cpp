// The job settings of the main window: normalising a new job's keys, the
// settings table, and the reaction to edited settings.
#include "editsettings.h"
#include "mainwindow.h"
#include "settingslookup.h"
#include "ui_mainwindow.h"

#include <QGraphicsItemGroup>
#include <QGraphicsScene>
#include <QProgressDialog>
#include <QTreeWidgetItemIterator>

void MainWindow::sanitizeSettings()
{
    normaliseSettings(m_settings);
}

void MainWindow::normaliseSettings(vexlorSettings &settings)
{
    static const char *const numericKeys[] = { "rasterSpeed", "rasterPower", "vectorSpeed", "vectorPower",
        "vectorFreq", "cResolution", "materialThickness" };
    const QStringList keys = settings.settings.keys();
    for (const QString &key : keys) {
        for (const char *numeric : numericKeys) {
            if (key == QLatin1String(numeric)) {
                settings.settings.insert(QStringLiteral("Custom") + key, settings.settings.value(key));
                settings.settings.remove(key);
                break;
            }
        }
    }
    if (!settings.settings.contains(QStringLiteral("Title")))
        settings.settings.insert(QStringLiteral("Title"), QStringLiteral("Untitled"));
}

void MainWindow::refreshSettingsTable()
{
    reciveDitheringType(m_settings.settings.value(QStringLiteral("dithering")));

    ui->settingsTree->expandAll();
    const bool autoFocus = !getValue(QStringLiteral("autoFocus"), QStringLiteral("disabled"), QString())
                                .contains(QLatin1String("disabled"));
    auto yesNo = [](const QString &value) {
        return value.contains(QLatin1String("disabled")) ? QStringLiteral("No") : QStringLiteral("Yes");
    };
    const QString values[] = {
        // Job
        getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution")),
        getValue(QStringLiteral("JobType"), QStringLiteral("Combined"), QString()),
        getValue(QStringLiteral("CenterEngraving"), QStringLiteral("None"), QString()),
        autoFocus ? QStringLiteral("Yes") : QStringLiteral("No"),
        autoFocus ? yesNo(getValue(QStringLiteral("vectorGrid"), QStringLiteral("disabled"), QString()))
                  : QStringLiteral("N/A"),
        autoFocus ? QString::number(getValue(QStringLiteral("materialThickness"), QStringLiteral("0"),
                                        QStringLiteral("CustommaterialThickness"))
                                        .toDouble(),
            'f', 3)
                  : QStringLiteral("N/A"),
        // Raster
        getValue(QStringLiteral("rasterSpeed"), QStringLiteral("50"), QStringLiteral("CustomrasterSpeed")),
        getValue(QStringLiteral("rasterPower"), QStringLiteral("50"), QStringLiteral("CustomrasterPower")),
        getValue(QStringLiteral("EngravingDirection"), QStringLiteral("top"), QString()),
        getValue(QStringLiteral("dithering"), QStringLiteral("Standard"), QString()),
        // Vector
        getValue(QStringLiteral("vectorSpeed"), QStringLiteral("50"), QStringLiteral("CustomvectorSpeed")),
        getValue(QStringLiteral("vectorPower"), QStringLiteral("50"), QStringLiteral("CustomvectorPower")),
        getValue(QStringLiteral("vectorFreq"), QStringLiteral("50"), QStringLiteral("CustomvectorFreq")),
        getValue(QStringLiteral("vectorSort"), QStringLiteral("none"), QString()),
        yesNo(getValue(QStringLiteral("vectorSpeedComp"), QStringLiteral("disabled"), QString())),
        yesNo(getValue(QStringLiteral("vectorPowerComp"), QStringLiteral("disabled"), QString())),
    };

    // Walk the rows below "Job" in display order, stepping over the other
    // top-level rows, and fill the value column of each child row.
    const QList<QTreeWidgetItem *> jobRows
        = ui->settingsTree->findItems(QStringLiteral("Job"), Qt::MatchExactly, 0);
    if (!jobRows.isEmpty()) {
        QTreeWidgetItemIterator it(jobRows.first());
        ++it;
        int index = 0;
        const int count = static_cast<int>(sizeof(values) / sizeof(values[0]));
        for (; *it && index < count; ++it) {
            if (!(*it)->parent())
                continue;
            (*it)->setText(1, values[index++]);
        }
    }
}

void MainWindow::updateSettings()
{
    refreshSettingsTable();

    // The dialog's OK changes the job it was opened on; when that job is no
    // longer on show, its record keeps the change for when it is opened again.
    if (m_settingsDialogJob != m_currentJob) {
        if (JobRecord *record = job(m_settingsDialogJob)) {
            record->settings = m_settings;
            record->edited = true;
        }
        return;
    }
    JobRecord *record = job(m_currentJob);
    if (record) {
        record->settings = m_settings;
        record->edited = true;
        record->title = getValue(QStringLiteral("Title"), QStringLiteral("Untitled"), QString());
    }
    // Before the preview is in, the final stages have not started: they take
    // the changed settings when they do.
    if (m_jobStage <= 4)
        return;

    // A new run of the job: whatever the workers still do for the earlier
    // one is dropped when it comes.
    ++m_run;
    const int resolution
        = getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
              .toInt();
    if (resolution == m_resolution) {
        m_jobStage = 5;
        m_finalPreviewNeeded = true;
        updateGfx();
        renderFinal();
        return;
    }

    // A new resolution needs a new page description: run Ghostscript again.
    renewGroup(m_rulerGroup);
    renewGroup(m_previewGroup);
    withdrawPreview();

    m_resolution = resolution;
    m_busy = true;
    if (record)
        record->state = JobRecord::Processing;
    refreshJobList();
    refreshStatus();
    ui->pushButton->setEnabled(false);
    ui->editSettingsButton->setEnabled(false);
    openProgressDialog();
    m_finalPreviewNeeded = true;
    startGhostscript(ghostscriptArguments());
}

void MainWindow::on_editSettingsButton_released()
{
    ui->finalChkBx->setChecked(false);
    m_settingsDialogJob = m_currentJob;
    settingsDialog->setSettings();
    settingsDialog->show();
}
