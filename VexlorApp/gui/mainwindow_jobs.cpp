// The job list, the status line, the menus and the first-steps hints of the
// main window.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const char kListenAddress[] = "127.0.0.1:55000";

enum JobColumn { TitleColumn, ReceivedColumn, StateColumn, WhyColumn, EstimateColumn };

} // namespace

void MainWindow::setupJobFlowWidgets()
{
    // Notices of the job on show, below its title.
    m_noticeLabel = new QLabel(this);
    m_noticeLabel->setObjectName(QStringLiteral("jobNoticeLabel"));
    m_noticeLabel->setWordWrap(true);
    m_noticeLabel->setVisible(false);
    ui->settingsLayout->insertWidget(1, m_noticeLabel);

    // The jobs of this run, as a third pane below the engraver list.
    auto *pane = new QWidget(ui->splitter_v);
    pane->setObjectName(QStringLiteral("jobListPane"));
    auto *layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *label = new QLabel(QStringLiteral("Jobs"), pane);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    m_jobList = new QTreeWidget(pane);
    m_jobList->setObjectName(QStringLiteral("jobList"));
    m_jobList->setColumnCount(5);
    m_jobList->setHeaderLabels({ QStringLiteral("Title"), QStringLiteral("Received"), QStringLiteral("State"),
        QStringLiteral("Why"), QStringLiteral("Time") });
    m_jobList->setRootIsDecorated(false);
    m_jobList->setAlternatingRowColors(true);
    m_jobList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_jobList->setMinimumWidth(200);
    layout->addWidget(m_jobList);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addStretch();
    m_openJobButton = new QPushButton(QStringLiteral("Open"), pane);
    m_openJobButton->setObjectName(QStringLiteral("openJobButton"));
    m_openJobButton->setToolTip(
        QStringLiteral("Show the selected job again to preview, change and print it"));
    m_openJobButton->setEnabled(false);
    m_removeJobButton = new QPushButton(QStringLiteral("Remove"), pane);
    m_removeJobButton->setObjectName(QStringLiteral("removeJobButton"));
    m_removeJobButton->setToolTip(QStringLiteral("Remove the selected job from the list"));
    m_removeJobButton->setEnabled(false);
    buttons->addWidget(m_openJobButton);
    buttons->addWidget(m_removeJobButton);
    layout->addLayout(buttons);
    ui->splitter_v->addWidget(pane);

    connect(m_jobList, SIGNAL(itemSelectionChanged()), this, SLOT(jobListSelectionChanged()));
    connect(m_jobList, SIGNAL(itemDoubleClicked(QTreeWidgetItem *, int)), this, SLOT(openSelectedJob()));
    connect(m_openJobButton, SIGNAL(clicked()), this, SLOT(openSelectedJob()));
    connect(m_removeJobButton, SIGNAL(clicked()), this, SLOT(removeSelectedJob()));

    // First steps: how to add an engraver while there is none.
    m_machineHint = new QLabel(QStringLiteral("No engraver yet: press \"+\" below to add one."), this);
    m_machineHint->setObjectName(QStringLiteral("machineHint"));
    m_machineHint->setWordWrap(true);
    m_machineHint->setAlignment(Qt::AlignCenter);
    ui->machineListLayout->insertWidget(2, m_machineHint);
    QAbstractItemModel *machineModel = ui->machineList->model();
    connect(machineModel, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateMachineHint);
    connect(machineModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateMachineHint);
    connect(machineModel, &QAbstractItemModel::modelReset, this, &MainWindow::updateMachineHint);

    auto *status = new QLabel(this);
    status->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addWidget(status, 1);

    m_gsTimer = new QTimer(this);
    m_gsTimer->setSingleShot(true);
    connect(m_gsTimer, SIGNAL(timeout()), this, SLOT(gsTimedOut()));

    // The tool bar of the form holds nothing.
    if (auto *toolBar = findChild<QWidget *>(QStringLiteral("mainToolBar")))
        toolBar->hide();
}

void MainWindow::setupMenus()
{
    QMenu *file = ui->menuBar->addMenu(QStringLiteral("&File"));
    QAction *quit = file->addAction(QStringLiteral("&Quit"));
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu *help = ui->menuBar->addMenu(QStringLiteral("&Help"));
    QAction *guide = help->addAction(QStringLiteral("User &Guide"));
    guide->setObjectName(QStringLiteral("actionUserGuide"));
    guide->setShortcut(QKeySequence::HelpContents);
    connect(guide, SIGNAL(triggered()), this, SLOT(showUserGuide()));
    QAction *about = help->addAction(QStringLiteral("&About VexlorApp"));
    about->setObjectName(QStringLiteral("actionAbout"));
    connect(about, SIGNAL(triggered()), this, SLOT(showAbout()));
}

void MainWindow::showAbout()
{
    showMessage(QMessageBox::Information, QStringLiteral("About VexlorApp"),
        QStringLiteral("VexlorApp %1\n\nTakes jobs from the engraver queue on %2, shows them on the "
                       "engraver's table and sends them to the engraver.")
            .arg(QStringLiteral(VEXLOR_VERSION), QLatin1String(kListenAddress)),
        this);
}

void MainWindow::showUserGuide()
{
    // The guide installed with the program, else the one of the source tree
    // it was built from.
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList candidates { appDir + QStringLiteral("/../share/doc/vexlor/README.md"),
        QStringLiteral("/usr/share/doc/vexlor/README.md") };
#ifdef VEXLOR_SOURCE_README
    candidates << QStringLiteral(VEXLOR_SOURCE_README);
#endif
    for (const QString &candidate : qAsConst(candidates)) {
        if (QFileInfo::exists(candidate)) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(candidate).canonicalFilePath()));
            return;
        }
    }
    showMessage(QMessageBox::Information, QStringLiteral("User Guide"),
        QStringLiteral("The user guide was not found next to the program."), this);
}

void MainWindow::updateMachineHint()
{
    if (m_machineHint)
        m_machineHint->setVisible(ui->machineList->count() == 0);
}

void MainWindow::refreshJobList()
{
    const QList<QTreeWidgetItem *> selected = m_jobList->selectedItems();
    const int selectedId = selected.isEmpty() ? 0 : selected.first()->data(TitleColumn, Qt::UserRole).toInt();

    m_jobList->blockSignals(true);
    m_jobList->clear();
    for (const JobRecord &record : qAsConst(m_jobs)) {
        auto *item = new QTreeWidgetItem(m_jobList);
        item->setText(TitleColumn, record.title);
        item->setData(TitleColumn, Qt::UserRole, record.id);
        item->setText(ReceivedColumn, record.received.toString(QStringLiteral("HH:mm:ss")));
        item->setText(StateColumn, JobRecord::stateText(record.state));
        item->setText(WhyColumn, record.reason.section(QLatin1Char('\n'), 0, 0));
        item->setToolTip(WhyColumn, record.reason);
        item->setText(EstimateColumn, record.estimate);
        if (record.id == m_currentJob) {
            QFont font = item->font(TitleColumn);
            font.setBold(true);
            item->setFont(TitleColumn, font);
        }
        if (record.id == selectedId)
            item->setSelected(true);
    }
    m_jobList->blockSignals(false);
    jobListSelectionChanged();
}

void MainWindow::jobListSelectionChanged()
{
    const QList<QTreeWidgetItem *> selected = m_jobList->selectedItems();
    const JobRecord *record
        = selected.isEmpty() ? nullptr : job(selected.first()->data(TitleColumn, Qt::UserRole).toInt());
    const bool working = record && m_busy && record->id == m_currentJob;
    m_openJobButton->setEnabled(record && !working && record->state != JobRecord::Waiting);
    m_removeJobButton->setEnabled(record && !working && record->state != JobRecord::Sending);
}

void MainWindow::openSelectedJob()
{
    const QList<QTreeWidgetItem *> selected = m_jobList->selectedItems();
    if (!selected.isEmpty())
        reopenJob(selected.first()->data(TitleColumn, Qt::UserRole).toInt());
}

void MainWindow::removeSelectedJob()
{
    const QList<QTreeWidgetItem *> selected = m_jobList->selectedItems();
    if (!selected.isEmpty())
        removeJob(selected.first()->data(TitleColumn, Qt::UserRole).toInt());
}

void MainWindow::refreshStatus()
{
    auto *status = findChild<QLabel *>(QStringLiteral("statusLabel"));
    if (!status)
        return;
    int waiting = 0;
    for (const JobRecord &record : qAsConst(m_jobs)) {
        if (record.state == JobRecord::Waiting)
            ++waiting;
    }
    const QString listening
        = QStringLiteral("Waiting for jobs from the engraver queue on %1").arg(QLatin1String(kListenAddress));
    const JobRecord *record = job(m_currentJob);
    QString text;
    if (!record) {
        text = listening;
    } else if (record->state == JobRecord::Sending) {
        text = QStringLiteral("Sending \"%1\" to the engraver").arg(record->title);
    } else if (m_busy) {
        text = QStringLiteral("Processing \"%1\"").arg(record->title);
    } else if (record->state == JobRecord::Ready) {
        text = QStringLiteral("\"%1\" is ready: press Print to engrave it. %2").arg(record->title, listening);
    } else {
        text = listening;
    }
    if (waiting > 0)
        text += QStringLiteral(" (%1 waiting)").arg(waiting);
    status->setText(text);
}
