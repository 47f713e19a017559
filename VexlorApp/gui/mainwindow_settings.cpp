// The job settings of the main window: normalising a new job's keys, the
// settings table, and the reaction to edited settings.
#include "editsettings.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QGraphicsItemGroup>
#include <QGraphicsScene>
#include <QProgressDialog>
#include <QTreeWidgetItemIterator>

void MainWindow::sanitizeSettings()
{
    static const char *const numericKeys[] = { "rasterSpeed", "rasterPower", "vectorSpeed", "vectorPower",
        "vectorFreq", "cResolution", "materialThickness" };
    const QStringList keys = m_settings.settings.keys();
    for (const QString &key : keys) {
        for (const char *numeric : numericKeys) {
            if (key == QLatin1String(numeric)) {
                m_settings.settings.insert(QStringLiteral("Custom") + key, m_settings.settings.value(key));
                m_settings.settings.remove(key);
                break;
            }
        }
    }
    if (!m_settings.settings.contains(QStringLiteral("Title")))
        m_settings.settings.insert(QStringLiteral("Title"), QStringLiteral("Untitled"));
}

void MainWindow::updateSettings()
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

    const int resolution
        = getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
              .toInt();
    if (resolution == m_resolution) {
        if (m_jobStage > 3) {
            m_finalPreviewNeeded = true;
            updateGfx();
            renderFinal();
        }
        return;
    }

    // A new resolution needs a new page description: run Ghostscript again.
    renewGroup(m_rulerGroup);
    renewGroup(m_previewGroup);

    m_resolution = resolution;
    const QStringList arguments {
        QStringLiteral("-dDOINTERPOLATE"),
        QStringLiteral("-dBATCH"),
        QStringLiteral("-dSAFER"),
        QStringLiteral("-dNOPAUSE"),
        QStringLiteral("-sDEVICE=vexlor"),
        QStringLiteral("-r")
            + getValue(
                QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution")),
        QStringLiteral("-sDitheringType=") + m_settings.settings.value(QStringLiteral("dithering")),
        QStringLiteral("-sJobType=mono"),
        QStringLiteral("-sOutputFile=/tmp/GSTemp/o.xml"),
        m_settings.settings.value(QStringLiteral("PostScriptFile")),
    };
    openProgressDialog();
    m_finalPreviewNeeded = true;
    gsLauncher(arguments);
}

void MainWindow::on_editSettingsButton_released()
{
    ui->finalChkBx->setChecked(false);
    settingsDialog->setSettings();
    settingsDialog->show();
}
