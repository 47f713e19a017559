// The job flow of the main window: from a received spool file through the
// options, Ghostscript, the scene and the preview to the engraver job and its
// transmission.
#include "mainwindow.h"
#include "settingslookup.h"
#include "ui_mainwindow.h"
#include "vexlorlog.h"
#include "vexlorsocket.h"

#include <QDebug>
#include <QDoubleValidator>
#include <QFile>
#include <QGraphicsItemGroup>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QSaveFile>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

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

} // namespace

void MainWindow::openProgressDialog()
{
    auto *dialog = new QProgressDialog(QStringLiteral("Preparing new job."), QStringLiteral("Cancel"), 0, 0,
        this, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    dialog->setModal(true);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setCancelButton(nullptr);
    dialog->setFixedSize(dialog->sizeHint());
    dialog->setMinimumDuration(0);
    connect(dialog, SIGNAL(canceled()), this, SLOT(progressCanceled()));
    connect(this, SIGNAL(finishedPrep()), dialog, SLOT(close()));
    connect(this, SIGNAL(updateProgressString(QString)), dialog, SLOT(setLabelText(QString)));
    dialog->show();
    m_progressDialog = dialog;
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
}

QDoubleValidator *MainWindow::decimalValidator(double bottom, double top, int decimals, QObject *parent)
{
    auto *validator = new QDoubleValidator(bottom, top, decimals, parent);
    validator->setNotation(QDoubleValidator::StandardNotation);
    return validator;
}

void MainWindow::failJob(const QString &what)
{
    // The job cannot go on: close the progress dialog so the window is usable
    // again and tell the user what happened.
    errorString(what);
    emit finishedPrep();
    ui->renderingProgressBar->setRange(0, 1);
    ui->renderingProgressBar->setValue(0);
    ui->renderingProgressLabel->setText(QStringLiteral("Job failed"));
    showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"), what, this);
}

void MainWindow::newJobRecived(QString filename)
{
    ui->finalChkBx->setEnabled(false);
    ui->pushButton->setEnabled(false);
    ui->finalChkBx->setChecked(false);

    emit killRender();
    qCDebug(lcWindow) << filename;

    m_items.clear();
    resetSceneGroups();
    openProgressDialog();

    m_finalPreviewNeeded = true;
    m_jobStage = 1;
}

void MainWindow::optionHandler(QString path2XML)
{
    ui->widthTextBox->setValidator(decimalValidator(0, 1, 2, ui->widthTextBox));
    ui->widthDial->setMaximum(1);
    m_smallestStrokeWidth = std::numeric_limits<double>::infinity();

    m_jobStage = 2;
    qCDebug(lcWindow) << path2XML;

    emit updateProgressString(QStringLiteral("Running Processing Engine."));
    emit startGS(path2XML);
}

void MainWindow::optionHandler(vexlorSettings es)
{
    m_settings = es;
    sanitizeSettings();

    for (auto it = m_settings.settings.constBegin(); it != m_settings.settings.constEnd(); ++it)
        qCDebug(lcWindow) << it.key() << it.value();
    m_jobStage = 2;

    m_resolution
        = getValue(QStringLiteral("cResolution"), QStringLiteral("600"), QStringLiteral("CustomcResolution"))
              .toInt();
    updateSettings();
    ui->jobLabel->setText(getValue(QStringLiteral("Title"), QStringLiteral("Untitled"), QString()));
}

void MainWindow::gsResolution(int res)
{
    m_resolution = res;
}

void MainWindow::reciveDitheringType(QString dType)
{
    static const struct
    {
        const char *name;
        int type;
    } methods[] = { { "brighten", 1 }, { "lowres", 2 }, { "floyd", 3 }, { "jarvis", 4 }, { "stucki", 5 } };
    int type = 0;
    for (const auto &method : methods) {
        if (dType.contains(QLatin1String(method.name)))
            type |= method.type;
    }
    m_ditheringType = type;
    emit setDithering(m_ditheringType);
}

void MainWindow::gsLauncher(QStringList arguments)
{
    qCDebug(lcGs) << "Starting GS..." << arguments << m_gsProgram << m_gsOutputDir.absolutePath();

    // A scene left by an earlier job must never be taken for this job's.
    QFile::remove(gsSceneFile());

    m_gsProcess.setWorkingDirectory(m_gsOutputDir.absolutePath());
    m_gsProcess.start(m_gsProgram, arguments, QIODevice::ReadWrite);
    m_jobStage = 3;
}

void MainWindow::gsStarted()
{
    qCDebug(lcGs) << "GS Started";
}

void MainWindow::readGSOutput()
{
    const QByteArray output = m_gsProcess.readAllStandardOutput();
    const int zero = output.indexOf('\0');
    m_gsOutput += QString::fromLocal8Bit(zero < 0 ? output : output.left(zero));
}

void MainWindow::gsProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    failJob(QStringLiteral("The processing engine could not be started (%1): %2")
                .arg(m_gsProgram, m_gsProcess.errorString()));
}

void MainWindow::gsFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readGSOutput();
    qCDebug(lcGs) << "GS exited with code: " << exitCode;
    qCDebug(lcGs).noquote() << m_gsOutput;

    // A failed run has left no scene of its own; reading on would show nothing
    // or, worse, a stale picture, so the job stops here with the reason.
    if (exitStatus != QProcess::NormalExit || exitCode != 0 || !QFile::exists(gsSceneFile())) {
        const QStringList lines = m_gsOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QString tail = lines.mid(qMax(0, lines.size() - 8)).join(QLatin1Char('\n'));
        failJob(
            QStringLiteral("The processing engine could not read the print job (exit code %1).\n%2")
                .arg(exitStatus == QProcess::NormalExit ? QString::number(exitCode) : QStringLiteral("crash"),
                    tail));
        m_gsOutput.clear();
        return;
    }
    m_gsOutput.clear();

    const double zoom = 100.0 / m_resolution;
    m_tableRect = QRect(QPoint(0, 0), QPoint(40 * m_resolution, 28 * m_resolution));
    ui->graphicsView->setTransform(QTransform::fromScale(zoom, zoom));
    ui->lineEdit->setText(QString::number(zoom * 100, 'f', 1));

    emit updateProgressString(QStringLiteral("Rendering Scene."));
    emit setTableRect(m_tableRect);
    emit startGsXMLProc();
    m_jobStage = 4;
}

void MainWindow::getWidth(QString width)
{
    m_pageRect.setRight(width.toInt());
}

void MainWindow::getHeight(QString height)
{
    m_pageRect.setBottom(height.toInt());
}

void MainWindow::getGfxItems(Vexlor::LaserItemList laserList)
{
    infoString(QStringLiteral("graphics items recived"));
    emit killRender();
    emit renderList(laserList);
    emit startRender();

    m_items = laserList;

    if (getValue(QStringLiteral("CenterEngraving"), QStringLiteral("none"), QString())
            .contains(QLatin1String("page"))) {
        m_jobBounds = m_pageRect;
        emit sendBoundingRect(m_pageRect);
        return;
    }

    const QString jobType = getValue(QStringLiteral("JobType"), QStringLiteral("combo"), QString());
    QRectF bounds;
    for (const LaserOp::LaserOp &item : qAsConst(m_items)) {
        if (item.type == LaserOp::Hidden)
            continue;
        QRectF rect;
        if (item.type == LaserOp::Image) {
            if (jobType == QLatin1String("vector"))
                continue;
            rect = QRectF(item.transform.mapRect(item.pixmap.rect()));
        } else {
            if (jobType == QLatin1String("raster"))
                continue;
            rect = item.path.boundingRect();
            if (item.pen.style() != Qt::NoPen) {
                const double w = item.pen.widthF();
                rect.adjust(-w, -w, w, w);
            }
        }
        if (item.clipPath.elementCount() >= 3)
            rect = rect.intersected(item.clipPath.boundingRect());
        bounds = bounds.united(rect);
    }
    m_jobBounds = QRect(roundHalfUp(bounds.x()), roundHalfUp(bounds.y()), roundHalfUp(bounds.width()),
        roundHalfUp(bounds.height()));
    emit sendBoundingRect(m_jobBounds);
}

void MainWindow::itemOutOfBounds()
{
    qCDebug(lcWindow) << "Item Out Of Bounds: some items did not fit the table and were removed";
    showMessage(QMessageBox::Warning, QStringLiteral("Item Out Of Bounds"),
        QStringLiteral("Grapical items were outside of the engravable area and removed"), this);
}

void MainWindow::getSceneTiles(Vexlor::SceneTile tiles)
{
    // Results carry no job of their own. What arrives before this job's scene
    // has been read was asked for by an earlier job (or an earlier run at
    // another resolution) and must not land in this job's preview.
    if (m_jobStage < 4) {
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

    emit finishedPrep();
    activateWindow();
    ui->editSettingsButton->setEnabled(true);
}

void MainWindow::renderFinal()
{
    if (!m_finalPreviewNeeded) {
        ui->finalChkBx->setEnabled(true);
        return;
    }
    m_finalPreviewNeeded = false;
    m_jobStage = 5;
    ui->pushButton->setEnabled(false);
    renewGroup(m_finalGroup);

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
    emit sendRasters(jobType == QLatin1String("vector") ? VectorList() : rasters);
    emit setDithering(m_ditheringType);
    emit sendSettings(m_settings);
    emit sendVectors(jobType == QLatin1String("raster") ? VectorList() : vectors);
    emit startImgProc();
}

void MainWindow::reciveDitheredTiles(Vexlor::SceneTile tiles)
{
    if (m_jobStage < 5) {
        qCDebug(lcWindow) << "Dithered tiles of an earlier job dropped";
        return;
    }
    emit sendFinalDither(tiles);
    infoString(QStringLiteral("Starting PCL Generation."));
    emit startPCLProc();

    addTiles(m_finalGroup, tiles);
    m_finalGroup->hide();
    ui->finalChkBx->setEnabled(true);
}

void MainWindow::getPCL(QByteArray arr)
{
    // An engraver job of an earlier job must neither replace out.prn nor be
    // sent with this job's direct print.
    if (m_jobStage < 5) {
        qCDebug(lcWindow) << "Engraver job of an earlier job dropped";
        return;
    }
    emit finishedPrep();
    ui->renderingProgressBar->setRange(0, 1);
    ui->renderingProgressBar->setValue(1);
    activateWindow();

    infoString(QStringLiteral("Finished PCL Generation."));
    m_jobBytes = arr;
    infoString(QStringLiteral("In the PCL there were %1 bytes").arg(m_jobBytes.size()));

    // Written under a temporary name and renamed, so that a full disk never
    // leaves a truncated job file in place of a good one.
    const QString path = m_gsOutputDir.absolutePath() + QStringLiteral("/out.prn");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        errorString(QStringLiteral("Unable to open file."));
        errorString(file.errorString());
        showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"),
            QStringLiteral("The engraver job could not be written to %1: %2").arg(path, file.errorString()),
            this);
        return;
    }
    if (file.write(m_jobBytes) != m_jobBytes.size() || !file.flush() || !file.commit()) {
        file.cancelWriting();
        errorString(QStringLiteral("Unable to write file."));
        errorString(file.errorString());
        showMessage(QMessageBox::Critical, QStringLiteral("Job Failed"),
            QStringLiteral("The engraver job could not be written to %1: %2").arg(path, file.errorString()),
            this);
        return;
    }

    m_jobStage = 6;
    ui->pushButton->setEnabled(true);
    ui->renderingProgressLabel->setText(QStringLiteral("Done"));

    if (m_settings.settings.value(QStringLiteral("directPrint")) == QLatin1String("enabled")) {
        qCDebug(lcWindow) << "Direct Print enabled";
        m_settings.settings.remove(QStringLiteral("directPrint"));
        initiateJobTx();
    }
}

void MainWindow::initiateJobTx()
{
    infoString(QStringLiteral("Attempting to send information."));
    const int row = ui->machineList->currentRow();
    if (row < 0 || row >= machines.size()) {
        errorString(QStringLiteral("No engraver selected!"));
        showMessage(QMessageBox::Critical, QStringLiteral("Connection Error"),
            QStringLiteral("No Engraver Selected!"), this);
        return;
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
    auto *progress = new QProgressBar;
    progress->setRange(0, 0);
    progress->setFormat(QStringLiteral("Connecting"));
    progress->setTextVisible(true);
    layout->addWidget(titleLabel);
    layout->addWidget(machineLabel);
    layout->addWidget(statusLabel);
    layout->addWidget(progress);
    ui->rightLayout->insertLayout(1, layout);

    connect(thread, SIGNAL(started()), sender, SLOT(start()));
    connect(sender, SIGNAL(finished()), thread, SLOT(quit()));
    connect(sender, SIGNAL(finished()), sender, SLOT(deleteLater()));
    for (QObject *widget :
        std::initializer_list<QObject *> { titleLabel, machineLabel, statusLabel, progress, layout })
        connect(sender, SIGNAL(finished()), widget, SLOT(deleteLater()));
    connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), thread, SLOT(quit()));
    connect(sender, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(sender, SIGNAL(error(QString)), this, SLOT(socketError(QString)));
    connect(sender, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(sender, SIGNAL(info(QString)), statusLabel, SLOT(setText(QString)));
    connect(sender, SIGNAL(bytesWritten(int)), progress, SLOT(setValue(int)));
    connect(sender, SIGNAL(totalBytes(int)), progress, SLOT(setMaximum(int)));

    sender->moveToThread(thread);
    thread->start(QThread::InheritPriority);
}

void MainWindow::socketError(QString err)
{
    showMessage(QMessageBox::Critical, QStringLiteral("Socket Error"), err, this);
}

void MainWindow::progressCanceled() { }

void MainWindow::on_pushButton_clicked()
{
    initiateJobTx();
}

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
    // Only the failures that leave the job without options stop it; a single
    // unusable option is left out and the job goes on.
    static const char *const fatal[] = { "The file could not be opened in name2Parse",
        "The file could not be read", "Problem opening option file", "Refusing to write the options file",
        "Could not write the option file" };
    if (m_jobStage != 1)
        return;
    for (const char *prefix : fatal) {
        if (err.startsWith(QLatin1String(prefix))) {
            failJob(QStringLiteral("The print job could not be read.\n%1").arg(err));
            return;
        }
    }
}

void MainWindow::optionProcessorError(QString err)
{
    if (err == QLatin1String("The xml input options were not parsed properly.") && m_jobStage <= 2)
        failJob(QStringLiteral("The options of the print job could not be read.\n%1").arg(err));
}

void MainWindow::sceneReaderError(QString err)
{
    if (m_jobStage == 4 && err.startsWith(QLatin1String("Problem opening image file")))
        failJob(QStringLiteral("The page description of the print job could not be read.\n%1").arg(err));
}
