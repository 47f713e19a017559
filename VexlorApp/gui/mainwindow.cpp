#include "mainwindow.h"

#include "editsettings.h"
#include "gsmanager.h"
#include "imageprocessor.h"
#include "pclgenerator.h"
#include "printlistener.h"
#include "psoptionparser.h"
#include "renderingmanager.h"
#include "settingslookup.h"
#include "ui_mainwindow.h"
#include "xml2gfxlist.h"

#include <QDebug>
#include <QDoubleValidator>
#include <QFile>
#include <QGraphicsItemGroup>
#include <QGraphicsScene>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScreen>
#include <QThread>

#include <csignal>
#include <limits>

// The form's icons live in this static library; without an explicit
// initialisation the linker drops them from the application.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace {

// Each worker lives on a parentless thread of its own; the thread deletes the
// worker from its own event loop when it ends, so the worker never dies on a
// foreign thread.
QThread *makeWorkerThread(QObject *worker)
{
    auto *thread = new QThread;
    worker->moveToThread(thread);
    QObject::connect(thread, SIGNAL(finished()), worker, SLOT(deleteLater()));
    return thread;
}

} // namespace

MainWindow::MainWindow(const QString &gsProgram, const QString &spoolDir, const QString &optionsDir,
    const QString &gsOutputDir, const QString &supportDir, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_smallestStrokeWidth(std::numeric_limits<double>::infinity())
{
    // The window's widgets and scene.
    initIconResources();
    ui->setupUi(this);
    machineDialog.setParent(this, machineDialog.windowFlags() | Qt::Dialog);
    machineDialog.setModal(true);
    settingsDialog = new EditSettings(&m_settings);
    m_scene = new QGraphicsScene(this);
    ui->graphicsView->setScene(m_scene);

    ui->lineEdit->setValidator(decimalValidator(10, 200, 1, ui->lineEdit));
    ui->widthTextBox->setValidator(decimalValidator(0, 99, 2, ui->widthTextBox));
    ui->widthDial->setMaximum(9900);
    ui->graphicsView->viewport()->installEventFilter(this);
    ui->strokeWidthLabel->setText(QStringLiteral("Vector Less Than:"));

    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        resize(qRound(available.width() * 0.75), qRound(available.height() * 0.75));
    }
    ui->settingsTree->expandAll();
    ui->settingsTree->resizeColumnToContents(0);

    m_previewGroup = new QGraphicsItemGroup;
    m_rulerGroup = new QGraphicsItemGroup;
    m_finalGroup = new QGraphicsItemGroup;
    m_vectorGroup = new QGraphicsItemGroup;
    for (QGraphicsItemGroup *group : { m_previewGroup, m_rulerGroup, m_finalGroup, m_vectorGroup })
        m_scene->addItem(group);
    drawRulers(40, 28, Inches);

    // The five working locations.
    m_gsProgram = gsProgram;
    m_spoolDir = QDir(spoolDir);
    m_optionsDir = QDir(optionsDir);
    m_gsOutputDir = QDir(gsOutputDir);
    m_supportDir = QDir(supportDir);

    connect(&machineDialog, SIGNAL(emitMachine(Vexlor::vexlorMachine)), this,
        SLOT(getMachine(Vexlor::vexlorMachine)));
    connect(settingsDialog, SIGNAL(updateJobSettings()), this, SLOT(updateSettings()));

    // 1. Print listener.
    m_listener = new printListener(m_spoolDir, nullptr);
    m_listenerThread = makeWorkerThread(m_listener);
    connect(m_listener, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(m_listener, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_listener, SIGNAL(error(QString)), this, SLOT(listenerError(QString)));
    connect(m_listener, SIGNAL(listenFailed(QString)), this, SLOT(listenFailed(QString)));
    connect(m_listener, SIGNAL(finished()), m_listenerThread, SLOT(quit()));
    connect(m_listener, SIGNAL(finished()), m_listener, SLOT(deleteLater()));
    connect(m_listenerThread, SIGNAL(finished()), m_listenerThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_listenerThread, SLOT(quit()));
    connect(m_listenerThread, SIGNAL(started()), m_listener, SLOT(start()));
    connect(m_listener, SIGNAL(recived(QString)), this, SLOT(newJobRecived(QString)));

    // 2. Option parser.
    m_parser = new psOptionParser(m_optionsDir, nullptr);
    m_parserThread = makeWorkerThread(m_parser);
    connect(m_listener, SIGNAL(recived(QString)), m_parser, SLOT(name2Parse(QString)));
    connect(m_parser, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(m_parser, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_parser, SIGNAL(error(QString)), this, SLOT(parserError(QString)));
    connect(m_parser, SIGNAL(finished()), m_parserThread, SLOT(quit()));
    connect(m_parser, SIGNAL(finished()), m_parser, SLOT(deleteLater()));
    connect(m_parserThread, SIGNAL(finished()), m_parserThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_parserThread, SLOT(quit()));
    connect(m_parser, SIGNAL(done(QString)), this, SLOT(optionHandler(QString)));
    connect(m_parser, SIGNAL(done(vexlorSettings)), this, SLOT(optionHandler(vexlorSettings)));

    // 3. Option processor.
    m_optionProcessor = new gsManager(nullptr);
    m_optionThread = makeWorkerThread(m_optionProcessor);
    connect(m_optionProcessor, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(m_optionProcessor, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_optionProcessor, SIGNAL(error(QString)), this, SLOT(optionProcessorError(QString)));
    connect(m_optionProcessor, SIGNAL(finished()), m_optionThread, SLOT(quit()));
    connect(m_optionProcessor, SIGNAL(finished()), m_optionProcessor, SLOT(deleteLater()));
    connect(m_optionThread, SIGNAL(finished()), m_optionThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_optionThread, SLOT(quit()));
    connect(this, SIGNAL(startGS(QString)), m_optionProcessor, SLOT(processOptions(QString)));
    connect(m_optionProcessor, SIGNAL(gsResolution(int)), this, SLOT(gsResolution(int)));
    connect(m_optionProcessor, SIGNAL(sendDitheringType(QString)), this, SLOT(reciveDitheringType(QString)));
    connect(m_optionProcessor, SIGNAL(launchGS(QStringList)), this, SLOT(gsLauncher(QStringList)));
    // The Ghostscript process is made anew for every run (see gsLauncher).

    // 4. Image processor.
    m_imageProcessor = new imageProcessor(nullptr);
    m_imageThread = makeWorkerThread(m_imageProcessor);
    connect(m_imageProcessor, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_imageThread, SIGNAL(finished()), m_imageThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_imageThread, SLOT(quit()));
    connect(this, SIGNAL(startImgProc()), m_imageProcessor, SLOT(process()));
    connect(this, SIGNAL(setDithering(int)), m_imageProcessor, SLOT(setDithering(int)));
    connect(this, SIGNAL(sendRasters(VectorList)), m_imageProcessor, SLOT(getRasters(VectorList)));
    connect(m_imageProcessor, SIGNAL(sendDitheredTiles(Vexlor::SceneTile)), this,
        SLOT(reciveDitheredTiles(Vexlor::SceneTile)));
    connect(m_imageProcessor, SIGNAL(setRangeProgBar(int, int)), ui->renderingProgressBar,
        SLOT(setRange(int, int)));
    connect(m_imageProcessor, SIGNAL(setValueProgBar(int)), ui->renderingProgressBar, SLOT(setValue(int)));
    connect(m_imageProcessor, SIGNAL(setLabelTextProgBar(QString)), ui->renderingProgressLabel,
        SLOT(setText(QString)));

    // 5. Job generator.
    m_pclGenerator = new pclGenerator(nullptr);
    m_pclThread = makeWorkerThread(m_pclGenerator);
    connect(m_pclGenerator, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(m_pclGenerator, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_pclGenerator, SIGNAL(finished()), m_pclThread, SLOT(quit()));
    connect(m_pclGenerator, SIGNAL(finished()), m_pclGenerator, SLOT(deleteLater()));
    connect(m_pclThread, SIGNAL(finished()), m_pclThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_pclThread, SLOT(quit()));
    connect(m_pclGenerator, SIGNAL(setRangeProgBar(int, int)), ui->renderingProgressBar,
        SLOT(setRange(int, int)));
    connect(m_pclGenerator, SIGNAL(setValueProgBar(int)), ui->renderingProgressBar, SLOT(setValue(int)));
    connect(m_pclGenerator, SIGNAL(setLabelTextProgBar(QString)), ui->renderingProgressLabel,
        SLOT(setText(QString)));
    connect(this, SIGNAL(sendFinalDither(Vexlor::SceneTile)), m_pclGenerator,
        SLOT(setPixTiles(Vexlor::SceneTile)));
    connect(this, SIGNAL(startPCLProc()), m_pclGenerator, SLOT(process()));
    connect(m_pclGenerator, SIGNAL(done(QByteArray)), this, SLOT(getPCL(QByteArray)));
    connect(this, SIGNAL(sendSettings(vexlorSettings)), m_pclGenerator, SLOT(setSettings(vexlorSettings)));
    connect(this, SIGNAL(sendVectors(VectorList)), m_pclGenerator, SLOT(getVectors(VectorList)));
    connect(this, SIGNAL(sendBoundingRect(QRect)), m_pclGenerator, SLOT(getBoundingRect(QRect)));

    // 6. Scene reader.
    m_sceneReader = new xml2gfxList(m_gsOutputDir, nullptr);
    m_sceneThread = makeWorkerThread(m_sceneReader);
    connect(m_sceneReader, SIGNAL(info(QString)), this, SLOT(infoString(QString)));
    connect(m_sceneReader, SIGNAL(error(QString)), this, SLOT(errorString(QString)));
    connect(m_sceneReader, SIGNAL(error(QString)), this, SLOT(sceneReaderError(QString)));
    connect(m_sceneThread, SIGNAL(finished()), m_sceneThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_sceneThread, SLOT(quit()));
    connect(this, SIGNAL(setTableRect(QRect)), m_sceneReader, SLOT(setTableRect(QRect)));
    connect(this, SIGNAL(startGsXMLProc()), m_sceneReader, SLOT(processGSOutput()));
    connect(m_sceneReader, SIGNAL(height(QString)), this, SLOT(getHeight(QString)));
    connect(m_sceneReader, SIGNAL(width(QString)), this, SLOT(getWidth(QString)));
    connect(m_sceneReader, SIGNAL(sendItems(Vexlor::LaserItemList)), this,
        SLOT(getGfxItems(Vexlor::LaserItemList)));
    // The widths and the out-of-bounds notice belong to the scene just
    // received; they pass only when that scene was this job's.
    connect(m_sceneReader, SIGNAL(sendWidths(Vexlor::WidthList)), this, SLOT(sceneWidths(Vexlor::WidthList)));
    connect(m_sceneReader, SIGNAL(itemOutOfBounds()), this, SLOT(itemOutOfBounds()));

    // 7. Preview renderer.
    m_renderer = new renderingManager(nullptr);
    // The preview holds about what a screen shows; zoomed in, it paints the items.
    m_renderer->setPixelBudget(qint64(16) << 20);
    m_renderThread = makeWorkerThread(m_renderer);
    connect(m_renderThread, SIGNAL(finished()), m_renderThread, SLOT(deleteLater()));
    connect(this, SIGNAL(finished()), m_renderThread, SLOT(quit()));
    connect(
        this, SIGNAL(renderList(Vexlor::LaserItemList)), m_renderer, SLOT(getList(Vexlor::LaserItemList)));
    connect(this, SIGNAL(killRender()), m_renderer, SLOT(kill()));
    connect(this, SIGNAL(startRender()), m_renderer, SLOT(startRender()));
    connect(m_renderer, SIGNAL(finished(Vexlor::SceneTile)), this, SLOT(getSceneTiles(Vexlor::SceneTile)));

    for (QThread *thread : { m_listenerThread, m_parserThread, m_optionThread, m_imageThread, m_pclThread,
             m_sceneThread, m_renderThread })
        thread->start(QThread::InheritPriority);

    setupJobFlowWidgets();
    setupMenus();
    loadMachineList();
    updateMachineHint();
    // Nothing has been rendered yet: no full bar and no "Done" before a job.
    ui->renderingProgressBar->setRange(0, 100);
    ui->renderingProgressBar->setValue(0);
    ui->renderingProgressLabel->setText(QStringLiteral("No job yet"));
    refreshStatus();
}

MainWindow::~MainWindow()
{
    // The widgets outlive this body by a little; events they get while they
    // are torn down must not reach the filter once the form is gone.
    ui->graphicsView->viewport()->removeEventFilter(this);

    emit killRender();
    saveMachineList();

    // Ghostscript and whatever it started end with the application; there is
    // no event loop left to wait for them, so it is done here.
    stopGhostscript();
    for (const QPointer<QProcess> &process : qAsConst(m_stoppingGs)) {
        if (!process || process->waitForFinished(2000))
            continue;
        if (process->processId() > 0)
            ::kill(-static_cast<pid_t>(process->processId()), SIGKILL);
        process->waitForFinished(2000);
    }

    // The threads delete themselves through deleteLater once they have ended,
    // but the event loop has stopped by now, so they are deleted here; the
    // workers were already deleted on their own threads as those ended.
    const QList<QPointer<QThread>> workerThreads { m_listenerThread, m_parserThread, m_optionThread,
        m_imageThread, m_pclThread, m_sceneThread, m_renderThread };
    emit finished();
    for (const QPointer<QThread> &thread : workerThreads) {
        if (thread)
            thread->wait();
    }
    for (const QPointer<QThread> &thread : workerThreads)
        delete thread.data();

    // A transmission still running gets a moment to finish its current step;
    // it must not outlive the objects it reports to.
    for (const QPointer<QThread> &thread : qAsConst(m_senderThreads)) {
        if (thread && thread->isRunning())
            thread->wait(2000);
    }

    delete settingsDialog;
    delete ui;
}

void MainWindow::errorString(QString err)
{
    qDebug().noquote() << "ERROR:" << QStringLiteral("\"%1\"").arg(err);
}

void MainWindow::infoString(QString info)
{
    qDebug().noquote() << "INFO:" << QStringLiteral("\"%1\"").arg(info);
}

QString MainWindow::getValue(
    const QString &key, const QString &defaultValue, const QString &alternativeKey) const
{
    return Vexlor::lookupSetting(m_settings.settings, key, defaultValue, alternativeKey);
}

QString MainWindow::gsSceneFile() const
{
    return m_gsOutputDir.absolutePath() + QStringLiteral("/o.xml");
}

void MainWindow::showMessage(int icon, const QString &title, const QString &text, QWidget *parent)
{
    // Never blocks the job flow: the box is window-modal and deletes itself.
    auto *box = new QMessageBox(static_cast<QMessageBox::Icon>(icon), title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (parent)
        box->open();
    else
        box->show();
}
