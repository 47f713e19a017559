// The job flow of the main window: from a received spool file through the
// options, Ghostscript, the scene and the preview to the engraver job and its
// transmission, one job at a time, the others waiting in order of arrival.
//
// Workers answer in the order they were asked and carry no job of their own.
// The window therefore asks each worker one thing at a time for a job and
// keeps a ticket (job, run) per request; an answer is matched with the oldest
// outstanding ticket of its worker and used only when that ticket belongs to
// the job and run being worked on. Everything else is drained and dropped, so
// a cancelled job or an earlier run never reaches the preview, out.prn or the
// engraver.
#include "ditherer.h"
#include "editsettings.h"
#include "gsmanager.h"
#include "imageprocessor.h"
#include "jobestimate.h"
#include "largeimage.h"
#include "mainwindow.h"
#include "picturedata.h"
#include "rasterpipeline.h"
#include "renderingmanager.h"
#include "securefs.h"
#include "settingslookup.h"
#include "ui_mainwindow.h"
#include "vexlorlog.h"
#include "vexlorsocket.h"
#include "xml2gfxlist.h"

#include <QDebug>
#include <QDoubleValidator>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsItemGroup>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Rounds to the nearest integer, halves towards positive infinity.
int roundHalfUp(double value)
{
    return static_cast<int>(std::floor(value + 0.5));
}

quint16 engraverPort()
{
    // The engraver listens on the LPD port; a virtual engraver for tests and
    // demonstrations may listen elsewhere.
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("VEXLOR_ENGRAVER_PORT", &ok);
    return ok && port > 0 && port < 65536 ? static_cast<quint16>(port) : 515;
}

// Coordinates the engraver job can carry: a table of 40 by 28 inches at the
// highest resolution is far below this, and anything beyond it would wrap the
// job's integers.
constexpr double kCoordinateLimit = 1 << 28;

// Picture data in a job's file that makes the raster part of the job worth
// setting memory aside for: a picture over a good part of the table, far more
// than a font.
constexpr qint64 kPictureData = qint64(256) << 10;

bool withinEngraverRange(const QRectF &rect)
{
    return std::isfinite(rect.left()) && std::isfinite(rect.top()) && std::isfinite(rect.right())
        && std::isfinite(rect.bottom()) && std::fabs(rect.left()) < kCoordinateLimit
        && std::fabs(rect.right()) < kCoordinateLimit && std::fabs(rect.top()) < kCoordinateLimit
        && std::fabs(rect.bottom()) < kCoordinateLimit;
}

// Ghostscript runs in a process group of its own, so that stopping a job ends
// the interpreter that vexlor-gs starts as well; and it ends when the
// application dies without a chance to stop it.
class GhostscriptProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
};

void signalGroup(QProcess *process, int signal)
{
    const qint64 pid = process->processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), signal);
}

// The line in Ghostscript's output that names the failure.
QString ghostscriptErrorLine(const QString &output)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Error:")))
            return trimmed;
    }
    return QString();
}

bool tilesHaveInk(const Vexlor::SceneTile &tiles)
{
    for (const auto &tile : tiles) {
        const QImage bits = tile.second.toImage();
        if (bits.format() == QImage::Format_Mono || bits.format() == QImage::Format_MonoLSB) {
            if (ditherer::hasInk(bits))
                return true;
            continue;
        }
        const QImage image = bits.convertToFormat(QImage::Format_Grayscale8);
        for (int y = 0; y < image.height(); ++y) {
            const uchar *line = image.constScanLine(y);
            for (int x = 0; x < image.width(); ++x) {
                if (line[x] < 255)
                    return true;
            }
        }
    }
    return false;
}

} // namespace

int MainWindow::gsTimeLimit()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("VEXLOR_GS_TIME_LIMIT", &ok);
    return ok && seconds > 0 ? seconds : 600;
}

JobRecord *MainWindow::job(int id)
{
    for (JobRecord &record : m_jobs) {
        if (record.id == id)
            return &record;
    }
    return nullptr;
}

bool MainWindow::isCurrentRun(const JobTicket &ticket) const
{
    return !ticket.withdrawn && ticket.job == m_currentJob && ticket.run == m_run && m_busy;
}

void MainWindow::openProgressDialog()
{
    closeProgressDialog();
    // Not modal: the job list and the rest of the window stay usable while a
    // job is worked on, and Cancel stops it.
    auto *dialog = new QProgressDialog(
        QStringLiteral("Preparing new job."), QStringLiteral("Cancel"), 0, 0, this, Qt::Dialog);
    dialog->setWindowTitle(QStringLiteral("Processing Job"));
    dialog->setModal(false);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setMinimumDuration(0);
    connect(dialog, SIGNAL(canceled()), this, SLOT(progressCanceled()));
    connect(this, SIGNAL(finishedPrep()), dialog, SLOT(close()));
    connect(this, SIGNAL(updateProgressString(QString)), dialog, SLOT(setLabelText(QString)));
    dialog->show();
    m_progressDialog = dialog;
}

void MainWindow::closeProgressDialog()
{
    // A progress dialog reports its closing as a cancel: it must not cancel
    // the job it is closed for.
    if (m_progressDialog)
        disconnect(m_progressDialog, SIGNAL(canceled()), this, SLOT(progressCanceled()));
    emit finishedPrep();
}

void MainWindow::renewGroup(QGraphicsItemGroup *&group, bool addToScene)
{
    m_scene->removeItem(group);
    delete group;
    group = new QGraphicsItemGroup;
    if (addToScene)
        m_scene->addItem(group);
}

void MainWindow::resetSceneGroups()
{
    for (QGraphicsItemGroup **group : { &m_previewGroup, &m_rulerGroup, &m_finalGroup, &m_vectorGroup })
        renewGroup(*group);
    m_finalTiles.clear();
}

QDoubleValidator *MainWindow::decimalValidator(double bottom, double top, int decimals, QObject *parent)
{
    auto *validator = new QDoubleValidator(bottom, top, decimals, parent);
    validator->setNotation(QDoubleValidator::StandardNotation);
    return validator;
}

void MainWindow::addNotice(const QString &text)
{
    if (JobRecord *record = job(m_currentJob)) {
        if (!record->notices.contains(text))
            record->notices.append(text);
        m_noticeLabel->setText(record->notices.join(QLatin1Char('\n')));
        m_noticeLabel->setVisible(true);
    }
}

// --- The queue ------------------------------------------------------------

void MainWindow::newJobRecived(QString filename)
{
    qCDebug(lcWindow) << filename;
    JobRecord record;
    record.id = m_nextJobId++;
    record.spoolFile = filename;
    record.title = QFileInfo(filename).fileName();
    record.received = QDateTime::currentDateTime();
    m_jobs.append(record);
    // The parser takes every spooled job as it comes, in the same order.
    m_parseTickets.push(record.id, 0);
    infoString(QStringLiteral("Job received: %1").arg(filename));

    refreshJobList();
    if (!m_busy)
        startJob(record.id);
    else
        refreshStatus();
}

void MainWindow::startNextJob()
{
    if (m_busy)
        return;
    for (const JobRecord &record : qAsConst(m_jobs)) {
        if (record.state == JobRecord::Waiting) {
            startJob(record.id);
            return;
        }
    }
    refreshStatus();
}

void MainWindow::startJob(int id)
{
    JobRecord *record = job(id);
    if (!record)
        return;

    // The settings dialog edits the job it was opened on; it goes when
    // another job takes the window.
    if (settingsDialog->isVisible() && m_settingsDialogJob != id)
        settingsDialog->reject();

    m_currentJob = id;
    ++m_run;
    m_busy = true;
    record->state = JobRecord::Processing;
    record->reason.clear();

    ui->finalChkBx->setEnabled(false);
    ui->pushButton->setEnabled(false);
    ui->editSettingsButton->setEnabled(false);
    ui->finalChkBx->setChecked(false);

    withdrawPreview();
    m_items.clear();
    m_jobBytes.clear();
    m_jobBounds = QRect();
    m_pageRect = QRect();
    resetSceneGroups();
    openProgressDialog();
    ui->jobLabel->setText(record->title);
    m_noticeLabel->setText(record->notices.join(QLatin1Char('\n')));
    m_noticeLabel->setVisible(!record->notices.isEmpty());
    ui->renderingProgressBar->setRange(0, 0);
    ui->renderingProgressLabel->setText(QStringLiteral("Processing"));

    m_finalPreviewNeeded = true;
    m_finalDeferred = false;
    m_jobStage = 1;
    refreshJobList();
    refreshStatus();

    if (record->parsed)
        beginOptions();
}

void MainWindow::finishJob(JobRecord::State state, const QString &reason)
{
    JobRecord *record = job(m_currentJob);
    if (record) {
        record->state = state;
        record->reason = reason;
    }
    if ((state == JobRecord::Failed || state == JobRecord::Cancelled) && m_jobStage < 6) {
        // Whatever the workers still do for this job is of no use now.
        ++m_run;
        stopGhostscript();
        withdrawPreview();
        // A final rendering under way is of no use either, and the next job's
        // would wait for it; stopped, it answers at its next band.
        if (!m_ditherTickets.isEmpty())
            m_imageProcessor->stopRun();
        ui->editSettingsButton->setEnabled(false);
        ui->pushButton->setEnabled(false);
    }
    m_busy = false;
    Vexlor::releaseLargeMemory();
    closeProgressDialog();
    refreshJobList();
    refreshStatus();
    // The next job starts from the event loop, so that a long row of failing
    // jobs never nests.
    QTimer::singleShot(0, this, &MainWindow::startNextJob);
}

void MainWindow::failCurrent(const QString &what)
{
    // The job cannot go on: tell the user why, keep the window usable and go
    // on with the next job.
    errorString(what);
    ui->renderingProgressBar->setRange(0, 1);
    ui->renderingProgressBar->setValue(0);
    ui->renderingProgressLabel->setText(QStringLiteral("Job failed"));
    showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"), what, this);
    finishJob(JobRecord::Failed, what);
}

void MainWindow::cancelCurrentJob()
{
    if (!m_busy)
        return;
    JobRecord *record = job(m_currentJob);
    infoString(QStringLiteral("Job cancelled: %1").arg(record ? record->title : QString()));
    ui->renderingProgressBar->setRange(0, 1);
    ui->renderingProgressBar->setValue(0);
    ui->renderingProgressLabel->setText(QStringLiteral("Cancelled"));
    if (record && record->state == JobRecord::Sending && cancelSending(record->id))
        return;
    finishJob(JobRecord::Cancelled, QStringLiteral("Cancelled by the user"));
}

bool MainWindow::cancelSending(int id)
{
    JobRecord *record = job(id);
    if (!record || record->state != JobRecord::Sending || !m_sendAborts.contains(id))
        return false;
    // The senders stop within moments on their own threads, and the engraver
    // is left without a complete job; the window does not wait for them.
    for (const std::shared_ptr<std::atomic_bool> &abort : m_sendAborts.values(id))
        abort->store(true);
    const QString reason = QStringLiteral("Cancelled by the user while it was sent");
    if (m_busy && id == m_currentJob) {
        finishJob(JobRecord::Cancelled, reason);
    } else {
        record->state = JobRecord::Cancelled;
        record->reason = reason;
        refreshJobList();
        refreshStatus();
    }
    return true;
}

void MainWindow::progressCanceled()
{
    cancelCurrentJob();
}

bool MainWindow::reopenJob(int id)
{
    JobRecord *record = job(id);
    if (!record || (m_busy && id == m_currentJob) || record->state == JobRecord::Waiting)
        return false;
    if (!record->parsed || !QFileInfo::exists(record->spoolFile) || !QFileInfo::exists(record->optionsFile)) {
        showMessage(QMessageBox::Warning, QStringLiteral("Open Job"),
            QStringLiteral("The files of \"%1\" are no longer there; the job cannot be opened again.")
                .arg(record->title),
            this);
        return false;
    }
    // Opened again to look at, change and print: it is not sent by itself.
    record->settings.settings.remove(QStringLiteral("directPrint"));
    record->notices.clear();
    record->state = JobRecord::Waiting;
    record->reason.clear();
    if (m_busy) {
        // Its turn comes after the jobs that are already waiting.
        const JobRecord moved = *record;
        m_jobs.removeAt(static_cast<int>(record - m_jobs.data()));
        m_jobs.append(moved);
        refreshJobList();
        refreshStatus();
        return true;
    }
    startJob(id);
    return true;
}

bool MainWindow::removeJob(int id)
{
    JobRecord *record = job(id);
    if (!record || (m_busy && id == m_currentJob) || record->state == JobRecord::Sending)
        return false;
    QFile::remove(record->spoolFile);
    if (!record->optionsFile.isEmpty())
        QFile::remove(record->optionsFile);
    m_jobs.removeAt(static_cast<int>(record - m_jobs.data()));
    refreshJobList();
    refreshStatus();
    return true;
}

// --- Options --------------------------------------------------------------

void MainWindow::optionHandler(QString path2XML)
{
    const JobTicket ticket = m_parseTickets.take();
    m_parsedJob = ticket.job;
    qCDebug(lcWindow) << path2XML;
    if (JobRecord *record = job(ticket.job))
        record->optionsFile = path2XML;
}

void MainWindow::optionHandler(vexlorSettings es)
{
    JobRecord *record = job(m_parsedJob);
    m_parsedJob = 0;
    if (!record)
        return;
    normaliseSettings(es);
    record->settings = es;
    record->parsed = true;
    record->title
        = Vexlor::lookupSetting(es.settings, QStringLiteral("Title"), QStringLiteral("Untitled"), QString());
    const int pages = es.settings.value(QStringLiteral("PageCount")).toInt();
    if (pages > 1)
        record->notices.append(
            QStringLiteral("The document has %1 pages; only page 1 is engraved.").arg(pages));
    refreshJobList();

    if (record->id == m_currentJob && m_busy && m_jobStage == 1)
        beginOptions();
}

void MainWindow::beginOptions()
{
    JobRecord *record = job(m_currentJob);
    if (!record)
        return;

    ui->widthTextBox->setValidator(decimalValidator(0, 1, 2, ui->widthTextBox));
    ui->widthDial->setMaximum(1);
    m_smallestStrokeWidth = std::numeric_limits<double>::infinity();

    m_settings = record->settings;
    for (auto it = m_settings.settings.constBegin(); it != m_settings.settings.constEnd(); ++it)
        qCDebug(lcWindow) << it.key() << it.value();
    m_jobStage = 2;
    m_resolution
        = getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
              .toInt();
    refreshSettingsTable();
    ui->jobLabel->setText(record->title);
    m_noticeLabel->setText(record->notices.join(QLatin1Char('\n')));
    m_noticeLabel->setVisible(!record->notices.isEmpty());

    emit updateProgressString(QStringLiteral("Running Processing Engine."));
    m_optionTickets.push(m_currentJob, m_run);
    emit startGS(record->optionsFile);
}

void MainWindow::gsResolution(int res)
{
    // The option processor's answer waits for its command line, which says
    // whether it is this job's.
    if (sender() == m_optionProcessor)
        m_pendingResolution = res;
    else
        m_resolution = res;
}

void MainWindow::reciveDitheringType(QString dType)
{
    if (sender() == m_optionProcessor) {
        m_pendingDithering = dType;
        return;
    }
    const int type = Vexlor::ditheringIndex(dType);
    // Handed to the image processor with the next final rendering, never
    // while it may still be busy with another one.
    m_ditheringType = type;
}

void MainWindow::gsLauncher(QStringList arguments)
{
    if (sender() == m_optionProcessor) {
        const JobTicket ticket = m_optionTickets.take();
        if (!isCurrentRun(ticket) || m_jobStage != 2) {
            qCDebug(lcWindow) << "Ghostscript command line of an earlier job dropped";
            return;
        }
        m_resolution = m_pendingResolution;
        const QString dithering = m_pendingDithering;
        reciveDitheringType(dithering);
        JobRecord *record = job(m_currentJob);
        const int wanted = getValue(
            QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
                               .toInt();
        if (record && record->edited && wanted != m_resolution) {
            // Opened again after its settings were changed: the options file
            // still holds what the job arrived with.
            m_resolution = wanted;
            arguments = ghostscriptArguments();
        }
    }
    startGhostscript(arguments);
}

QStringList MainWindow::ghostscriptArguments() const
{
    return {
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
}

// --- Ghostscript ----------------------------------------------------------

void MainWindow::startGhostscript(const QStringList &arguments)
{
    qCDebug(lcGs) << "Starting GS..." << arguments << m_gsProgram << m_gsOutputDir.absolutePath();
    stopGhostscript();

    if (m_resolution <= 0 || m_resolution > 10000) {
        failCurrent(QStringLiteral("The job asks for a resolution of %1 dpi, which the engraver cannot use.")
                        .arg(m_resolution));
        return;
    }
    // The scene, its images and out.prn are written there: only into a real
    // folder of ours that nobody else can open.
    QString reason;
    if (!Vexlor::isPrivateDir(m_gsOutputDir.absolutePath(), &reason)) {
        failCurrent(QStringLiteral("Refusing to write the page description into %1: %2")
                        .arg(m_gsOutputDir.absolutePath(), reason));
        return;
    }
    // A scene left by an earlier job must never be taken for this job's.
    QFile::remove(gsSceneFile());

    auto *process = new GhostscriptProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setWorkingDirectory(m_gsOutputDir.absolutePath());
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(readGSOutput()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
        SLOT(gsFinished(int, QProcess::ExitStatus)));
    connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
        SLOT(gsProcessError(QProcess::ProcessError)));
    connect(process, SIGNAL(started()), this, SLOT(gsStarted()));
    m_gsProcess = process;
    m_gsTicket = JobTicket { m_currentJob, m_run, false, 0 };
    m_gsOutput.clear();
    m_gsTimer->start(gsTimeLimit() * 1000);
    m_jobStage = 3;
    emit updateProgressString(QStringLiteral("Running Processing Engine."));
    process->start(m_gsProgram, arguments, QIODevice::ReadWrite);
    reservePictureMemory();
}

void MainWindow::reservePictureMemory()
{
    // The page the job describes, or else the whole table.
    QSizeF points(40 * 72, 28 * 72);
    const QStringList box
        = m_settings.settings.value(QStringLiteral("BoundingBox")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (box.size() == 4) {
        const QSizeF described(box[2].toDouble() - box[0].toDouble(), box[3].toDouble() - box[1].toDouble());
        if (described.width() > 0 && described.height() > 0)
            points = described.boundedTo(points);
    }
    const double scale = m_resolution / 72.0;
    const QSize page(int(std::ceil(points.width() * scale)) + 1, int(std::ceil(points.height() * scale)) + 1);
    // The preview, and the one-bit bands of the final picture with its
    // working bands when the job's file carries pictures (a drawing's final
    // picture is its vectors; a vector job engraves no raster items); what
    // else the job's pictures take comes fresh. Even the largest job keeps no
    // more than this aside.
    constexpr qint64 kMostReserved = qint64(1) << 30;
    const qint64 preview = std::min(m_renderer->memoryFor(page), kMostReserved);
    const bool vectorJob
        = getValue(QStringLiteral("JobType"), QStringLiteral("combo"), QString()) == QLatin1String("vector");
    const qint64 raster = vectorJob
        ? 0
        : std::min(rasterPipeline::memoryFor(page, m_ditheringType), kMostReserved - preview);
    const QString file = m_settings.settings.value(QStringLiteral("PostScriptFile"));
    Vexlor::reserveLargeMemory(
        preview, raster, [file] { return Vexlor::holdsPictureData(file, kPictureData); });
}

void MainWindow::stopGhostscript()
{
    m_gsTimer->stop();
    QPointer<QProcess> process = m_gsProcess;
    m_gsProcess = nullptr;
    if (!process)
        return;
    disconnect(process, nullptr, this, nullptr);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    // Asked politely first, so that vexlor-gs can clean up; whoever is still
    // there after a moment is killed.
    signalGroup(process, SIGTERM);
    m_stoppingGs.removeAll(nullptr);
    m_stoppingGs.append(process);
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), process, SLOT(deleteLater()));
    QTimer::singleShot(2000, process, [process]() {
        if (process->state() != QProcess::NotRunning)
            signalGroup(process, SIGKILL);
    });
}

void MainWindow::gsStarted()
{
    qCDebug(lcGs) << "GS Started";
}

void MainWindow::readGSOutput()
{
    auto *process = qobject_cast<QProcess *>(sender());
    if (!process || process != m_gsProcess)
        return;
    const QByteArray output = process->readAllStandardOutput();
    const int zero = output.indexOf('\0');
    m_gsOutput += QString::fromLocal8Bit(zero < 0 ? output : output.left(zero));
}

void MainWindow::gsProcessError(QProcess::ProcessError error)
{
    auto *process = qobject_cast<QProcess *>(sender());
    if (error != QProcess::FailedToStart || !process || process != m_gsProcess)
        return;
    const QString why = process->errorString();
    failCurrent(QStringLiteral("The processing engine could not be started (%1): %2").arg(m_gsProgram, why));
}

void MainWindow::gsTimedOut()
{
    if (!m_gsProcess || !isCurrentRun(m_gsTicket))
        return;
    failCurrent(QStringLiteral("Ghostscript did not finish the job within %1 seconds and was stopped. "
                               "The time limit is set with VEXLOR_GS_TIME_LIMIT.")
                    .arg(gsTimeLimit()));
}

void MainWindow::gsFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    auto *process = qobject_cast<QProcess *>(sender());
    if (!process || process != m_gsProcess) {
        if (process)
            process->deleteLater();
        return;
    }
    readGSOutput();
    m_gsTimer->stop();
    m_gsProcess = nullptr;
    process->deleteLater();
    // The job's own work begins: memory for it is no longer touched ahead.
    Vexlor::stopTouchingLargeMemory();

    qCDebug(lcGs) << "GS exited with code: " << exitCode;
    qCDebug(lcGs).noquote() << m_gsOutput;
    const QString output = m_gsOutput;
    m_gsOutput.clear();
    if (!isCurrentRun(m_gsTicket))
        return;

    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Not drawn: "))) {
            infoString(trimmed);
            addNotice(trimmed);
        }
    }

    // A failed run has left no scene of its own; reading on would show nothing
    // or, worse, a stale picture, so the job stops here with the reason.
    if (exitStatus != QProcess::NormalExit || exitCode != 0 || !QFile::exists(gsSceneFile())) {
        const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QString tail = lines.mid(qMax(0, lines.size() - 8)).join(QLatin1Char('\n'));
        const QString errorLine = ghostscriptErrorLine(output);
        QString text = QStringLiteral("The processing engine could not read the print job (exit code %1).")
                           .arg(exitStatus == QProcess::NormalExit ? QString::number(exitCode)
                                                                   : QStringLiteral("crash"));
        if (!errorLine.isEmpty())
            text = errorLine + QLatin1Char('\n') + text;
        failCurrent(text + QLatin1Char('\n') + tail);
        return;
    }

    const double zoom = 100.0 / m_resolution;
    m_tableRect = QRect(QPoint(0, 0), QPoint(40 * m_resolution, 28 * m_resolution));
    ui->graphicsView->setTransform(QTransform::fromScale(zoom, zoom));
    ui->lineEdit->setText(QString::number(zoom * 100, 'f', 1));

    emit updateProgressString(QStringLiteral("Rendering Scene."));
    m_pageRect = QRect();
    emit setTableRect(m_tableRect);
    m_sceneTickets.push(m_currentJob, m_run);
    emit startGsXMLProc();
    m_jobStage = 4;
}

// --- Scene and preview ----------------------------------------------------

void MainWindow::getWidth(QString width)
{
    const JobTicket *ticket = m_sceneTickets.front();
    if (ticket && isCurrentRun(*ticket))
        m_pageRect.setRight(width.toInt());
}

void MainWindow::getHeight(QString height)
{
    const JobTicket *ticket = m_sceneTickets.front();
    if (ticket && isCurrentRun(*ticket))
        m_pageRect.setBottom(height.toInt());
}

void MainWindow::getGfxItems(Vexlor::LaserItemList laserList)
{
    const JobTicket ticket = m_sceneTickets.take();
    m_sceneAccepted = isCurrentRun(ticket) && m_jobStage == 4;
    if (!m_sceneAccepted) {
        qCDebug(lcWindow) << "Scene of an earlier job dropped";
        return;
    }
    infoString(QStringLiteral("graphics items recived"));
    m_items.clear();

    bool outOfRange = false;
    const QString jobType = getValue(QStringLiteral("JobType"), QStringLiteral("combo"), QString());
    QRect rasterBounds;
    const QRect bounds = computeJobBounds(laserList, jobType, &m_items, &outOfRange, &rasterBounds);
    // Memory set aside for pictures the job does not have goes back.
    Vexlor::trimLargeMemory(m_renderer->memoryFor(bounds.size())
        + rasterPipeline::memoryFor(rasterBounds.size(), m_ditheringType));
    requestPreview(m_items);
    emit updateProgressString(QStringLiteral("Rendering preview."));
    if (outOfRange)
        itemOutOfBounds();

    m_jobBounds = getValue(QStringLiteral("CenterEngraving"), QStringLiteral("none"), QString())
                      .contains(QLatin1String("page"))
        ? m_pageRect
        : bounds;
}

QRect MainWindow::computeJobBounds(const Vexlor::LaserItemList &items, const QString &jobType,
    Vexlor::LaserItemList *kept, bool *outOfRange, QRect *rasterBounds)
{
    QRectF bounds;
    QRectF raster;
    for (const LaserOp::LaserOp &item : items) {
        QRectF rect;
        if (item.type == LaserOp::Image) {
            rect = item.transform.mapRect(QRectF(item.pixmap.rect()));
        } else {
            rect = item.path.boundingRect();
            if (item.pen.style() != Qt::NoPen) {
                const double w = item.pen.widthF();
                rect.adjust(-w, -w, w, w);
            }
        }
        if (item.clipPath.elementCount() >= 3)
            rect = rect.intersected(item.clipPath.boundingRect());
        // Beyond what the engraver job can express: left out like an item
        // off the table, never wrapped into a wrong place.
        if (!withinEngraverRange(rect)) {
            if (outOfRange)
                *outOfRange = true;
            continue;
        }
        if (kept)
            kept->append(item);

        if (item.type == LaserOp::Hidden)
            continue;
        if ((item.type == LaserOp::Image || item.type == LaserOp::EngravedPath
                || item.type == LaserOp::EngravedAndCut)
            && jobType != QLatin1String("vector"))
            raster |= rect;
        if (item.type == LaserOp::Image && jobType == QLatin1String("vector"))
            continue;
        if (item.type != LaserOp::Image && jobType == QLatin1String("raster"))
            continue;
        bounds = bounds.united(rect);
    }
    if (rasterBounds)
        *rasterBounds = raster.toAlignedRect();
    return QRect(roundHalfUp(bounds.x()), roundHalfUp(bounds.y()), roundHalfUp(bounds.width()),
        roundHalfUp(bounds.height()));
}

void MainWindow::sceneWidths(Vexlor::WidthList widths)
{
    if (m_sceneAccepted)
        getWidthList(widths);
}

void MainWindow::itemOutOfBounds()
{
    if (sender() == m_sceneReader && !m_sceneAccepted)
        return;
    // Part of the page is not engraved: that belongs in the user's record.
    infoString(QStringLiteral("Item Out Of Bounds: some items did not fit the table and were removed"));
    addNotice(QStringLiteral("Some items were outside of the engravable area and were removed."));
    showMessage(QMessageBox::Warning, QStringLiteral("Item Out Of Bounds"),
        QStringLiteral("Grapical items were outside of the engravable area and removed"), this);
}

void MainWindow::requestPreview(const Vexlor::LaserItemList &items)
{
    withdrawPreview();
    m_previewTickets.push(m_currentJob, m_run);
    emit renderList(items);
    emit startRender();
}

void MainWindow::withdrawPreview()
{
    if (m_previewTickets.isEmpty())
        return;
    // A stopped render never answers, but one that finished just before the
    // stop has answered already. A marker sent after the stop comes back
    // behind any such answer; from then on nothing of the withdrawn renders
    // can arrive.
    const quint64 serial = m_previewTickets.withdrawAll();
    emit killRender();
    QPointer<MainWindow> window(this);
    QMetaObject::invokeMethod(
        m_renderer,
        [window, serial]() {
            if (window)
                QMetaObject::invokeMethod(
                    window, [window, serial]() { window->previewFence(serial); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void MainWindow::previewFence(quint64 serial)
{
    m_previewTickets.forgetWithdrawn(serial);
}

void MainWindow::getSceneTiles(Vexlor::SceneTile tiles)
{
    const JobTicket ticket = m_previewTickets.take();
    if (!isCurrentRun(ticket) || m_jobStage != 4) {
        qCDebug(lcWindow) << "Preview tiles of an earlier job dropped";
        return;
    }
    addTiles(m_previewGroup, tiles);

    m_jobStage = 5;
    updateGfx();
    renderFinal();

    drawRulers(40, 28, Inches);
    m_scene->setSceneRect(m_rulerGroup->boundingRect());
    updateFitZoom();

    // Show the job where it lies on the table, not the table's empty corner.
    // The view takes the new scene rectangle into its scroll bars at the next
    // pass of the event loop; centre after that.
    if (!m_jobBounds.isEmpty()) {
        const QPoint centre = m_jobBounds.center();
        QTimer::singleShot(0, ui->graphicsView, [this, centre]() { ui->graphicsView->centerOn(centre); });
    }
    ui->editSettingsButton->setEnabled(true);
}

// --- Final rendering, job generation, out.prn ----------------------------

void MainWindow::renderFinal()
{
    if (!m_finalPreviewNeeded) {
        ui->finalChkBx->setEnabled(true);
        return;
    }
    if (!m_ditherTickets.isEmpty()) {
        // The image processor still works on an earlier request; this one
        // goes out when that answer is in, which a stop hastens: it is out of
        // date anyway.
        m_finalDeferred = true;
        m_imageProcessor->stopRun();
        return;
    }
    m_finalPreviewNeeded = false;
    m_finalDeferred = false;
    m_jobStage = 5;
    if (!m_busy) {
        // A regeneration of the job on show: the queue waits for it.
        m_busy = true;
        if (JobRecord *record = job(m_currentJob))
            record->state = JobRecord::Processing;
        refreshJobList();
    }
    refreshStatus();
    ui->pushButton->setEnabled(false);
    renewGroup(m_finalGroup);
    m_finalTiles.clear();

    VectorList vectors;
    VectorList rasters;
    for (const LaserOp::LaserOp &item : qAsConst(m_items)) {
        if (item.type == LaserOp::CutLine || item.type == LaserOp::EngravedAndCut)
            vectors.items.append(item);
        if (item.type == LaserOp::EngravedPath || item.type == LaserOp::EngravedAndCut
            || item.type == LaserOp::Image)
            rasters.items.append(item);
    }

    const QString jobType = getValue(QStringLiteral("JobType"), QStringLiteral("combo"), QString());
    m_finalVectors = jobType == QLatin1String("raster") ? VectorList() : vectors;
    const VectorList rasterList = jobType == QLatin1String("vector") ? VectorList() : rasters;
    m_finalHasContent = !m_finalVectors.items.isEmpty();
    // No request is outstanding now: a stop left from an earlier one must
    // not end this one.
    m_imageProcessor->allowRuns();
    m_ditherTickets.push(m_currentJob, m_run);
    emit updateProgressString(QStringLiteral("Rendering the final job."));
    emit sendRasters(rasterList);
    emit setDithering(m_ditheringType);
    emit startImgProc();
}

void MainWindow::reciveDitheredTiles(Vexlor::SceneTile tiles)
{
    const JobTicket ticket = m_ditherTickets.take();
    if (!isCurrentRun(ticket) || m_jobStage != 5) {
        qCDebug(lcWindow) << "Dithered tiles of an earlier job dropped";
        if (m_finalDeferred && m_ditherTickets.isEmpty() && m_busy)
            renderFinal();
        return;
    }
    if (m_finalDeferred) {
        // Asked again since: this answer is already out of date.
        renderFinal();
        return;
    }
    if (!m_finalHasContent)
        m_finalHasContent = tilesHaveInk(tiles);
    // The job's large pictures are all made: what is still set aside for
    // them goes back before the job is generated.
    Vexlor::releaseLargeMemory();

    // Everything the job generator needs goes with the request, so that it
    // never mixes the pieces of two runs.
    m_pclTickets.push(m_currentJob, m_run);
    emit sendBoundingRect(m_jobBounds);
    emit sendSettings(m_settings);
    emit sendVectors(m_finalVectors);
    emit sendFinalDither(tiles);
    infoString(QStringLiteral("Starting PCL Generation."));
    emit updateProgressString(QStringLiteral("Generating the engraver job."));
    emit startPCLProc();

    // The view of the dithered tiles is made once the job is written: its
    // overview would otherwise take a processor from the job generator.
    m_finalTiles = tiles;
}

void MainWindow::showFinalTiles()
{
    addTiles(m_finalGroup, m_finalTiles);
    m_finalTiles.clear();
    m_finalGroup->hide();
    ui->finalChkBx->setEnabled(true);
}

void MainWindow::getPCL(QByteArray arr)
{
    const JobTicket ticket = m_pclTickets.take();
    if (!isCurrentRun(ticket) || m_jobStage != 5) {
        qCDebug(lcWindow) << "Engraver job of an earlier job dropped";
        return;
    }
    ui->renderingProgressBar->setRange(0, 1);
    ui->renderingProgressBar->setValue(1);

    infoString(QStringLiteral("Finished PCL Generation."));
    m_jobBytes = arr;
    infoString(QStringLiteral("In the PCL there were %1 bytes").arg(m_jobBytes.size()));
    const QString folder = m_gsOutputDir.absolutePath();
    const QString path = folder + QStringLiteral("/out.prn");
    QString reason;
    if (!Vexlor::isPrivateDir(folder, &reason)) {
        failCurrent(QStringLiteral("Refusing to write the engraver job into %1: %2").arg(folder, reason));
        return;
    }
    QString why;
    // Written beside it and renamed, so that a full disk never leaves a
    // truncated job file in place of a good one; the reason is the system's.
    if (!Vexlor::replaceFileAtomically(path, m_jobBytes, &why)) {
        failCurrent(QStringLiteral("Unable to write file. %1").arg(why));
        return;
    }
    // Once the job is written: reading the whole stream takes a moment on large jobs.
    {
        // For the engraver selected now, with its figures from the timing file.
        const int row = ui->machineList->currentRow();
        QStringList problems;
        const QString estimate = Vexlor::jobEstimate::forEngraver(
            m_jobBytes, row >= 0 && row < machines.size() ? machines.at(row).name : QString(), &problems)
                                     .describe();
        for (const QString &problem : qAsConst(problems))
            errorString(problem);
        infoString(QStringLiteral("Estimated time: ") + estimate);
        if (JobRecord *record = job(m_currentJob))
            record->estimate = estimate;
        ui->statusBar->showMessage(QStringLiteral("Estimated time: ") + estimate);
        ui->pushButton->setToolTip(QStringLiteral("Estimated time: ") + estimate);
    }

    m_jobStage = 6;
    showFinalTiles();
    ui->pushButton->setEnabled(true);
    ui->renderingProgressLabel->setText(QStringLiteral("Ready"));
    activateWindow();

    JobRecord *record = job(m_currentJob);
    const bool direct = m_settings.settings.value(QStringLiteral("directPrint")) == QLatin1String("enabled");
    if (!direct) {
        finishJob(JobRecord::Ready);
        return;
    }
    qCDebug(lcWindow) << "Direct Print enabled";
    // A later regeneration of the same job is not sent again.
    m_settings.settings.remove(QStringLiteral("directPrint"));
    if (record)
        record->settings.settings.remove(QStringLiteral("directPrint"));
    if (!hasSomethingToEngrave()) {
        const QString text
            = QStringLiteral("The page of \"%1\" is empty: there is nothing to engrave, so it was not sent.")
                  .arg(record ? record->title : QString());
        infoString(text);
        showMessage(QMessageBox::Information, QStringLiteral("Empty Page"), text, this);
        finishJob(JobRecord::Ready, QStringLiteral("Empty page, not sent"));
        return;
    }
    // The progress dialog stays while the job is sent, so that its Cancel
    // can still stop the transmission.
    emit updateProgressString(QStringLiteral("Sending the job to the engraver."));
    if (!sendJob(true))
        finishJob(JobRecord::Ready, QStringLiteral("No engraver selected, not sent"));
}

bool MainWindow::hasSomethingToEngrave() const
{
    return m_finalHasContent;
}

// --- Sending --------------------------------------------------------------

bool MainWindow::sendJob(bool fromQueue)
{
    const int jobId = m_currentJob;
    if (!initiateJobTx(jobId))
        return false;
    if (JobRecord *record = job(jobId))
        record->state = JobRecord::Sending;
    // A press of Print never holds up the queue; a direct print does, until
    // the engraver has the job (see initiateJobTx).
    Q_UNUSED(fromQueue)
    refreshJobList();
    refreshStatus();
    return true;
}

bool MainWindow::initiateJobTx(int jobId)
{
    infoString(QStringLiteral("Attempting to send information."));
    const int row = ui->machineList->currentRow();
    if (row < 0 || row >= machines.size()) {
        errorString(QStringLiteral("No engraver selected!"));
        showMessage(QMessageBox::Critical, QStringLiteral("Connection Error"),
            QStringLiteral("No Engraver Selected!"), this);
        return false;
    }
    const Vexlor::vexlorMachine machine = machines.at(row);
    const QString title = m_settings.settings.value(QStringLiteral("Title"), QStringLiteral("Untitled"));

    auto *sender = new vexlorSocket(machine.addr, engraverPort(), m_jobBytes, title, nullptr);
    auto *thread = new QThread;
    m_senderThreads.append(thread);

    auto *layout = new QVBoxLayout;
    layout->setSpacing(0);
    auto *titleLabel = new QLabel(title);
    auto *machineLabel = new QLabel(machine.name);
    auto *statusLabel = new QLabel(QStringLiteral("Connecting"));
    statusLabel->setObjectName(QStringLiteral("sendStatusLabel"));
    auto *progress = new QProgressBar;
    progress->setRange(0, 0);
    progress->setFormat(QStringLiteral("Connecting"));
    progress->setTextVisible(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelSendButton"));
    cancel->setToolTip(QStringLiteral("Stop sending this job; the engraver does not engrave it"));
    layout->addWidget(titleLabel);
    layout->addWidget(machineLabel);
    layout->addWidget(statusLabel);
    layout->addWidget(progress);
    layout->addWidget(cancel);
    ui->rightLayout->insertLayout(1, layout);

    connect(thread, SIGNAL(started()), sender, SLOT(start()));
    connect(sender, SIGNAL(finished()), thread, SLOT(quit()));
    connect(sender, SIGNAL(finished()), sender, SLOT(deleteLater()));
    for (QObject *widget :
        std::initializer_list<QObject *> { titleLabel, machineLabel, statusLabel, progress, cancel, layout })
        connect(sender, SIGNAL(finished()), widget, SLOT(deleteLater()));
    connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), thread, SLOT(quit()));
    connect(sender, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(sender, SIGNAL(error(QString)), this, SLOT(socketError(QString)));
    connect(sender, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(sender, SIGNAL(info(QString)), statusLabel, SLOT(setText(QString)));
    connect(sender, SIGNAL(bytesWritten(int)), progress, SLOT(setValue(int)));
    connect(sender, SIGNAL(totalBytes(int)), progress, SLOT(setMaximum(int)));

    // The switch is kept here, not the sender: the sender deletes itself on
    // its own thread when it is done, the switch stays valid.
    const std::shared_ptr<std::atomic_bool> abort = sender->abortHandle();
    connect(cancel, &QPushButton::clicked, this, [this, jobId, abort, cancel]() {
        cancel->setEnabled(false);
        if (jobId > 0 && job(jobId) && job(jobId)->state == JobRecord::Sending) {
            infoString(QStringLiteral("Job cancelled: %1").arg(job(jobId)->title));
            cancelSending(jobId);
        } else {
            abort->store(true);
        }
    });
    auto stopped = std::make_shared<bool>(false);
    connect(sender, &vexlorSocket::aborted, this, [this, jobId, stopped](bool wholeJobSent) {
        *stopped = true;
        if (!wholeJobSent)
            return;
        // Too late: the engraver had taken every byte of it.
        const QString title = job(jobId) ? job(jobId)->title : QString();
        const QString text = QStringLiteral("\"%1\" was cancelled after the engraver had received the "
                                            "whole job: the engraver may engrave it all the same.")
                                 .arg(title);
        errorString(text);
        if (JobRecord *record = job(jobId)) {
            record->reason = text;
            refreshJobList();
        }
        showMessage(QMessageBox::Warning, QStringLiteral("Cancel"), text, this);
    });
    m_sendAborts.insert(jobId, abort);
    connect(
        sender, &vexlorSocket::finished, this, [this, jobId, abort]() { m_sendAborts.remove(jobId, abort); });

    // The job's state follows its transmission; a direct print holds the
    // queue until the engraver has it, so jobs reach it in their order.
    if (jobId > 0) {
        auto failure = std::make_shared<QString>();
        connect(sender, &vexlorSocket::error, this, [failure](const QString &text) {
            if (failure->isEmpty())
                *failure = text;
        });
        connect(sender, &vexlorSocket::finished, this, [this, jobId, failure, stopped, abort]() {
            JobRecord *record = job(jobId);
            const JobRecord::State state = failure->isEmpty() ? JobRecord::Sent : JobRecord::Failed;
            if (*stopped) {
                // Its state was set by the cancel; a transmission of the same
                // job started since has its own.
            } else if (record && abort->load() && record->state == JobRecord::Cancelled) {
                // The cancel came when the transfer had already ended.
                record->state = state;
                record->reason
                    = failure->isEmpty() ? QStringLiteral("Sent before the cancel took effect") : *failure;
            } else if (record && record->state == JobRecord::Sending) {
                if (m_busy && m_currentJob == jobId) {
                    finishJob(state, *failure);
                    return;
                }
                record->state = state;
                record->reason = *failure;
            }
            refreshJobList();
            refreshStatus();
        });
    }

    sender->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    return true;
}

void MainWindow::socketError(QString err)
{
    showMessage(QMessageBox::Critical, QStringLiteral("Socket Error"), err, this);
}

void MainWindow::on_pushButton_clicked()
{
    if (hasSomethingToEngrave()) {
        sendJob(false);
        return;
    }
    // An empty page is sent only when the user says so.
    auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("Empty Page"),
        QStringLiteral("The page of \"%1\" is empty: there is nothing to engrave. Send it anyway?")
            .arg(ui->jobLabel->text()),
        QMessageBox::Yes | QMessageBox::No, this);
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const int jobId = m_currentJob;
    connect(box, &QMessageBox::finished, this, [this, box, jobId](int) {
        if (box->clickedButton() == box->button(QMessageBox::Yes) && jobId == m_currentJob
            && ui->pushButton->isEnabled())
            sendJob(false);
    });
    box->open();
}

// --- Failures reported by the workers -------------------------------------

void MainWindow::listenFailed(QString serverError)
{
    showMessage(QMessageBox::Critical, QStringLiteral("PrintListener"),
        QStringLiteral("Unable to start the PrintListener: %1.").arg(serverError), nullptr);
}

void MainWindow::listenerError(QString err)
{
    // A job that arrived but could not be kept (full disk, unsafe spool
    // folder) would otherwise vanish without a word.
    if (err.contains(QLatin1String("the job is dropped")))
        showMessage(QMessageBox::Critical, QStringLiteral("PrintListener"), err, this);
}

void MainWindow::parserError(QString err)
{
    // Only the failures that leave the job without options end its parse; a
    // single unusable option is left out and the job goes on.
    static const char *const fatal[] = { "The file could not be opened in name2Parse",
        "The file could not be read", "Problem opening option file", "Refusing to write the options file",
        "Could not write the option file" };
    for (const char *prefix : fatal) {
        if (!err.startsWith(QLatin1String(prefix)))
            continue;
        const JobTicket ticket = m_parseTickets.take();
        JobRecord *record = job(ticket.job);
        if (!record)
            return;
        const QString what = QStringLiteral("The print job could not be read.\n%1").arg(err);
        if (record->id == m_currentJob && m_busy) {
            // The worker has logged its error already.
            showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"), what, this);
            finishJob(JobRecord::Failed, what);
        } else if (record->state == JobRecord::Waiting) {
            record->state = JobRecord::Failed;
            record->reason = what;
            refreshJobList();
        }
        return;
    }
}

void MainWindow::optionProcessorError(QString err)
{
    if (err == QLatin1String("The xml input options were not parsed properly.")) {
        const JobTicket ticket = m_optionTickets.take();
        if (isCurrentRun(ticket) && m_jobStage == 2) {
            const QString what
                = QStringLiteral("The options of the print job could not be read.\n%1").arg(err);
            showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"), what, this);
            finishJob(JobRecord::Failed, what);
        }
        return;
    }
    // Values taken to the nearest allowed one and the like: the user sees
    // them with the job.
    if (m_busy && !m_optionTickets.isEmpty() && isCurrentRun(*m_optionTickets.front()))
        addNotice(err);
}

void MainWindow::sceneReaderError(QString err)
{
    if (!err.startsWith(QLatin1String("Problem opening image file")))
        return;
    // The reader gives up on this scene: its request is answered.
    const JobTicket ticket = m_sceneTickets.take();
    if (isCurrentRun(ticket) && m_jobStage == 4) {
        const QString what
            = QStringLiteral("The page description of the print job could not be read.\n%1").arg(err);
        showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"), what, this);
        finishJob(JobRecord::Failed, what);
    }
}
