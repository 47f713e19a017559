#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "jobrecord.h"
#include "machinedialog.h"
#include "vexlortypes.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QMainWindow>
#include <QMultiHash>
#include <QPointer>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <memory>

class QDoubleValidator;
class QGraphicsItemGroup;
class QGraphicsScene;
class QProgressDialog;
class QThread;
class QTimer;
class QTreeWidget;
class QPushButton;
class QLabel;

class EditSettings;
class gsManager;
class imageProcessor;
class pclGenerator;
class printListener;
class psOptionParser;
class renderingManager;
class xml2gfxList;

namespace Ui {
class MainWindow;
}

// The one window of the application and the hub of the job pipeline: it owns
// the seven workers, each on a thread of its own, and hands every job from one
// stage to the next through queued signals.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    enum lengthUnit { Inches = 0 };

    MainWindow(const QString &gsProgram, const QString &spoolDir, const QString &optionsDir,
        const QString &gsOutputDir, const QString &supportDir, QWidget *parent = nullptr);
    ~MainWindow() override;

    void drawRulers(unsigned long long width, unsigned long long height, MainWindow::lengthUnit unit);
    void drawRulers(QPoint size, MainWindow::lengthUnit unit);
    void updateGfx();
    QString getValue(const QString &key, const QString &defaultValue, const QString &alternativeKey) const;
    void sanitizeSettings();

    // Read-only views of the job state, for the status of the window.
    int jobStage() const { return m_jobStage; }
    int jobResolution() const { return m_resolution; }
    int ditheringType() const { return m_ditheringType; }
    const vexlorSettings &jobSettings() const { return m_settings; }
    const Vexlor::LaserItemList &jobItems() const { return m_items; }
    QByteArray jobBytes() const { return m_jobBytes; }
    QRect jobBounds() const { return m_jobBounds; }

    // The jobs of this run of the application, in order of arrival, and the
    // one the window shows (0 when none).
    const QVector<JobRecord> &jobs() const { return m_jobs; }
    int currentJobId() const { return m_currentJob; }
    // Whether a job is being worked on (from its start to its end, direct
    // printing included).
    bool isBusy() const { return m_busy; }
    // Shows a job of the list again from its spool and options files.
    bool reopenJob(int id);
    bool removeJob(int id);
    // Stops the job being worked on, as the progress dialog's Cancel does,
    // at any stage, its transmission to the engraver included.
    void cancelCurrentJob();
    // Stops the transmissions of a job (the Cancel of its sending panel);
    // false when none is under way.
    bool cancelSending(int id);
    // Seconds a Ghostscript run may take (VEXLOR_GS_TIME_LIMIT, default 600).
    static int gsTimeLimit();
    // The rectangle the engraver job covers: the union of the items that the
    // job type engraves, pens included. Items beyond the engraver's range are
    // left out of the bounds and of the kept list, and reported. rasterBounds,
    // when given, gets the union of the kept items the final raster picture
    // takes (pictures and engraved paths; none for a vector job).
    static QRect computeJobBounds(const Vexlor::LaserItemList &items, const QString &jobType,
        Vexlor::LaserItemList *kept = nullptr, bool *outOfRange = nullptr, QRect *rasterBounds = nullptr);

signals:
    void finished();
    void startGS(QString path);
    void startImgProc();
    void setDithering(int type);
    void startPCLProc();
    void sendSettings(vexlorSettings settings);
    void sendVectors(VectorList vectors);
    void finishedPrep();
    void updateProgressString(QString text);
    void sendRasters(VectorList rasters);
    void setTableRect(QRect rect);
    void startGsXMLProc();
    void sendBoundingRect(QRect rect);
    void renderList(Vexlor::LaserItemList items);
    void sendFinalDither(Vexlor::SceneTile tiles);
    void killRender();
    void startRender();

public slots:
    void newJobRecived(QString filename);
    void errorString(QString err);
    void infoString(QString info);
    void optionHandler(QString path2XML);
    void optionHandler(vexlorSettings es);
    void gsLauncher(QStringList arguments);
    void gsStarted();
    void readGSOutput();
    void gsFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void gsResolution(int res);
    void reciveDitheringType(QString dType);
    void getPCL(QByteArray arr);
    void progressCanceled();
    void socketError(QString err);
    void getMachine(Vexlor::vexlorMachine mac);
    void updateSettings();
    void getWidth(QString width);
    void getHeight(QString height);
    void getGfxItems(Vexlor::LaserItemList laserList);
    void getWidthList(Vexlor::WidthList widthL);
    void getSceneTiles(Vexlor::SceneTile tiles);
    void itemOutOfBounds();
    void reciveDitheredTiles(Vexlor::SceneTile tiles);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_addMachineButton_clicked();
    void on_editMachineButton_clicked();
    void on_removeMachineButton_clicked();
    void on_machineList_currentRowChanged(int row);
    void on_editSettingsButton_released();
    void on_lineEdit_editingFinished();
    void on_widthDial_valueChanged(int value);
    void on_widthTextBox_editingFinished();
    void on_widthSlider_sliderReleased();
    void on_finalChkBx_toggled(bool checked);
    void on_pushButton_clicked();

    // Failure paths that would otherwise leave a job hanging behind the
    // modal progress dialog.
    void listenFailed(QString serverError);
    void listenerError(QString err);
    void parserError(QString err);
    void optionProcessorError(QString err);
    void sceneReaderError(QString err);
    void gsProcessError(QProcess::ProcessError error);
    void gsTimedOut();
    void sceneWidths(Vexlor::WidthList widths);
    void previewFence(quint64 serial);
    void jobListSelectionChanged();
    void openSelectedJob();
    void removeSelectedJob();
    void showAbout();
    void showUserGuide();

private:
    void renderFinal();
    bool initiateJobTx(int jobId = 0);
    void loadMachineList();
    void saveMachineList();
    void openProgressDialog();
    void resetSceneGroups();
    void renewGroup(QGraphicsItemGroup *&group, bool addToScene = true);
    void addTiles(QGraphicsItemGroup *group, const Vexlor::SceneTile &tiles);
    // Adds the dithered tiles kept in m_finalTiles to the view of the final job.
    void showFinalTiles();
    void updateFitZoom();
    static QDoubleValidator *decimalValidator(double bottom, double top, int decimals, QObject *parent);
    void showMessage(int icon, const QString &title, const QString &text, QWidget *parent);
    QString gsSceneFile() const;

    // The job queue.
    JobRecord *job(int id);
    void startNextJob();
    void startJob(int id);
    void beginOptions();
    void finishJob(JobRecord::State state, const QString &reason = QString());
    void failCurrent(const QString &what);
    bool isCurrentRun(const JobTicket &ticket) const;
    void startGhostscript(const QStringList &arguments);
    // Sets memory aside for the pictures of the job, touched while
    // Ghostscript runs; it goes when the job ends.
    void reservePictureMemory();
    void stopGhostscript();
    void requestPreview(const Vexlor::LaserItemList &items);
    void withdrawPreview();
    void sendFinalRendering();
    bool hasSomethingToEngrave() const;
    bool sendJob(bool fromQueue);
    QStringList ghostscriptArguments() const;
    static void normaliseSettings(vexlorSettings &settings);
    void addNotice(const QString &text);
    void refreshJobList();
    void refreshStatus();
    void refreshSettingsTable();
    void closeProgressDialog();
    void setupJobFlowWidgets();
    void setupMenus();
    void updateMachineHint();

    Ui::MainWindow *ui;
    MachineDialog machineDialog;
    EditSettings *settingsDialog = nullptr;

    QString m_gsProgram;
    QDir m_spoolDir;
    QDir m_optionsDir;
    QDir m_gsOutputDir;
    QDir m_supportDir;

    QThread *m_listenerThread = nullptr;
    QThread *m_parserThread = nullptr;
    QThread *m_optionThread = nullptr;
    QThread *m_imageThread = nullptr;
    QThread *m_pclThread = nullptr;
    QThread *m_sceneThread = nullptr;
    QThread *m_renderThread = nullptr;
    printListener *m_listener = nullptr;
    psOptionParser *m_parser = nullptr;
    gsManager *m_optionProcessor = nullptr;
    imageProcessor *m_imageProcessor = nullptr;
    pclGenerator *m_pclGenerator = nullptr;
    xml2gfxList *m_sceneReader = nullptr;
    renderingManager *m_renderer = nullptr;
    QList<QPointer<QThread>> m_senderThreads;
    // The abort switches of the transmissions under way, by job.
    QMultiHash<int, std::shared_ptr<std::atomic_bool>> m_sendAborts;

    vexlorSettings m_settings;
    Vexlor::LaserItemList m_items;
    // The dithered tiles of the job on show, until they are added to the view.
    Vexlor::SceneTile m_finalTiles;
    int m_jobStage = 0;
    bool m_finalPreviewNeeded = false;
    int m_resolution = 72;
    int m_ditheringType = 0;
    QRect m_pageRect;
    QRect m_tableSize { 0, 0, 40, 28 };
    QRect m_tableRect;
    QRect m_jobBounds;
    QByteArray m_jobBytes;
    QPointer<QProcess> m_gsProcess;
    QTimer *m_gsTimer = nullptr;
    QString m_gsOutput;
    QPointer<QProgressDialog> m_progressDialog;

    QGraphicsScene *m_scene = nullptr;
    QGraphicsItemGroup *m_previewGroup = nullptr;
    QGraphicsItemGroup *m_rulerGroup = nullptr;
    QGraphicsItemGroup *m_finalGroup = nullptr;
    QGraphicsItemGroup *m_vectorGroup = nullptr;

    QList<Vexlor::vexlorMachine> machines;

    QVector<JobRecord> m_jobs;
    int m_nextJobId = 1;
    int m_currentJob = 0;
    int m_run = 0;
    bool m_busy = false;
    bool m_finalDeferred = false;
    bool m_sceneAccepted = false;
    int m_pendingResolution = 0;
    QString m_pendingDithering;
    QRect m_pendingPage;
    TicketLine m_parseTickets;
    TicketLine m_optionTickets;
    TicketLine m_sceneTickets;
    TicketLine m_previewTickets;
    TicketLine m_ditherTickets;
    TicketLine m_pclTickets;
    JobTicket m_gsTicket;
    int m_parsedJob = 0;
    int m_settingsDialogJob = 0;
    bool m_finalHasContent = false;
    VectorList m_finalVectors;
    QList<QPointer<QProcess>> m_stoppingGs;
    QTreeWidget *m_jobList = nullptr;
    QPushButton *m_openJobButton = nullptr;
    QPushButton *m_removeJobButton = nullptr;
    QLabel *m_noticeLabel = nullptr;
    QLabel *m_machineHint = nullptr;

    bool m_zoomKey = false;
    double m_fitZoom = 0.1;
    double m_smallestStrokeWidth;
    double m_largestStrokeWidth = 0;
};

#endif // MAINWINDOW_H
