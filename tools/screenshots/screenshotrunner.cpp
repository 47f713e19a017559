#include "screenshotrunner.h"

#include "editsettings.h"
#include "mainwindow.h"
#include "securefs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWheelEvent>
#include <QWindow>

#include <cmath>
#include <cstdio>

namespace {

const char *const kSpoolDir = "/tmp/PSLib";
const char *const kOptionsDir = "/tmp/XMLLib";
const char *const kGsOutputDir = "/tmp/GSTemp";

// Two engravers, so that the list shows a selection among several.
const char *const kEngraverList = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<ListStart default=\"0\">\n"
                                  "    <Machine name=\"Workshop\" addr=\"192.168.1.40\" type=\"0\"/>\n"
                                  "    <Machine name=\"Virtual engraver\" addr=\"127.0.0.1\" type=\"0\"/>\n"
                                  "</ListStart>\n";

void pressKey(QWidget *target, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers)
{
    QKeyEvent event(type, key, modifiers);
    QCoreApplication::sendEvent(target, &event);
}

// The settings dialog is a window of its own, not a child of the main window.
EditSettings *settingsDialog()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<EditSettings *>(widget))
            return dialog;
    }
    return nullptr;
}

QAbstractButton *dialogButton(QWidget *dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog ? dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox")) : nullptr;
    return box ? box->button(which) : nullptr;
}

} // namespace

ScreenshotRunner::ScreenshotRunner(const Options &options)
    : m_options(options)
{
}

ScreenshotRunner::~ScreenshotRunner() = default;

bool ScreenshotRunner::fail(const QString &why)
{
    std::fprintf(stderr, "vexlor-screenshots: %s\n", qPrintable(why));
    return false;
}

bool ScreenshotRunner::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        // Wake up at least every 20 ms to look again, even when no event comes.
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void ScreenshotRunner::settle()
{
    // Layouts, geometry changes and repaints are posted events; a few rounds
    // of the event loop let them all land before a picture is taken.
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

bool ScreenshotRunner::save(QWidget *widget, const QString &name)
{
    settle();
    const QPixmap picture = widget->grab();
    const QString path = QDir(m_options.outputDir).filePath(name + QStringLiteral(".png"));
    if (picture.isNull() || !picture.save(path, "PNG"))
        return fail(QStringLiteral("could not write %1").arg(path));
    m_saved << path;
    std::printf("%s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
    return true;
}

bool ScreenshotRunner::listenerFailed() const
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == QLatin1String("PrintListener"))
            return true;
    }
    return false;
}

bool ScreenshotRunner::openWindow()
{
    if (!m_work.isValid())
        return fail(QStringLiteral("no temporary folder"));
    const QString support = m_work.filePath(QStringLiteral("support"));
    QDir().mkpath(support);
    QFile list(support + QStringLiteral("/settings.xml"));
    if (!list.open(QIODevice::WriteOnly) || list.write(kEngraverList) < 0)
        return fail(QStringLiteral("could not write the engraver list in %1").arg(support));
    list.close();
    for (const char *dir : { kSpoolDir, kOptionsDir, kGsOutputDir })
        Vexlor::makePrivateDir(QString::fromLatin1(dir));
    {
        // The job must reach this window, not another program on the port.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 55000))
            return fail(
                QStringLiteral("port 55000 is taken (%1); is VexlorApp running?").arg(probe.errorString()));
    }

    m_window = std::make_unique<MainWindow>(m_options.gsProgram, QString::fromLatin1(kSpoolDir),
        QString::fromLatin1(kOptionsDir), QString::fromLatin1(kGsOutputDir), support);
    m_window->show();
    if (!waitUntil(
            [this]() { return m_window->windowHandle() && m_window->windowHandle()->isExposed(); }, 10000))
        return fail(QStringLiteral("the window was never shown"));
    settle();
    return true;
}

bool ScreenshotRunner::printSample()
{
    // As a queue would: the PPD's filter, then the queue's backend, which
    // delivers the job to the window's listener.
    const QString filtered = m_work.filePath(QStringLiteral("sample-filtered.ps"));
    QProcess filter;
    filter.setStandardOutputFile(filtered);
    filter.start(QStringLiteral("cupsfilter"),
        { QStringLiteral("-p"), m_options.ppd, QStringLiteral("-m"),
            QStringLiteral("application/vnd.cups-postscript"), m_options.sample });
    if (!waitUntil([&filter]() { return filter.state() == QProcess::NotRunning; }, 60000))
        return fail(QStringLiteral("cupsfilter did not finish"));
    if (filter.exitStatus() != QProcess::NormalExit || filter.exitCode() != 0)
        return fail(QStringLiteral("cupsfilter failed: %1")
                        .arg(QString::fromLocal8Bit(filter.readAllStandardError())));

    QProcess backend;
    backend.start(m_options.backend,
        { QStringLiteral("1"), QStringLiteral("screenshots"), QFileInfo(m_options.sample).fileName(),
            QStringLiteral("1"), QString(), filtered });
    if (!waitUntil([&backend]() { return backend.state() == QProcess::NotRunning; }, 120000))
        return fail(QStringLiteral("the backend did not deliver the job"));
    if (backend.exitStatus() != QProcess::NormalExit || backend.exitCode() != 0)
        return fail(QStringLiteral("the backend failed: %1")
                        .arg(QString::fromLocal8Bit(backend.readAllStandardError())));
    return true;
}

void ScreenshotRunner::zoomWithWheel(int steps)
{
    // The zoom key held, the wheel turned over the preview, the key released.
    auto *view = m_window->findChild<QGraphicsView *>(QStringLiteral("graphicsView"));
    QWidget *viewport = view->viewport();
    pressKey(m_window.get(), QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier);
    const QPointF centre = QRectF(viewport->rect()).center();
    const QPoint delta(0, steps > 0 ? 120 : -120);
    for (int i = 0; i < std::abs(steps); ++i) {
        QWheelEvent wheel(centre, viewport->mapToGlobal(centre.toPoint()), QPoint(), delta, Qt::NoButton,
            Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(viewport, &wheel);
    }
    pressKey(m_window.get(), QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier);
    // Scroll bars that come or go resize the viewport; let that happen before
    // anything scrolls the view.
    settle();
}

void ScreenshotRunner::centreOnJob()
{
    auto *view = m_window->findChild<QGraphicsView *>(QStringLiteral("graphicsView"));
    view->centerOn(QRectF(m_window->jobBounds()).center());
}

int ScreenshotRunner::run()
{
    auto stop = [this](const QString &why) {
        fail(why);
        return 1;
    };
    if (!QDir().mkpath(m_options.outputDir))
        return stop(QStringLiteral("cannot make %1").arg(m_options.outputDir));
    for (const QString &file : { m_options.gsProgram, m_options.sample, m_options.ppd, m_options.backend }) {
        if (!QFileInfo::exists(file))
            return stop(QStringLiteral("%1 not found").arg(file));
    }
    if (!openWindow())
        return 1;
    const int timeoutMs = m_options.timeoutSeconds * 1000;

    if (!printSample())
        return 1;
    if (!waitUntil([this]() { return m_window->jobStage() == 6 || listenerFailed(); }, timeoutMs))
        return stop(QStringLiteral("the job did not get ready (stage %1)").arg(m_window->jobStage()));
    if (listenerFailed())
        return stop(
            QStringLiteral("the window could not listen on port 55000; is another instance running?"));

    auto *view = m_window->findChild<QGraphicsView *>(QStringLiteral("graphicsView"));
    auto *finalButton = m_window->findChild<QPushButton *>(QStringLiteral("finalChkBx"));
    auto *zoomField = m_window->findChild<QLineEdit *>(QStringLiteral("lineEdit"));

    // 1. The window as the job arrives.
    if (!save(m_window.get(), QStringLiteral("01-preview")))
        return 1;

    // 2. Zoomed out with the wheel until the whole table fits.
    zoomWithWheel(-40);
    if (!save(m_window.get(), QStringLiteral("02-preview-table")))
        return 1;

    // 3. Zoomed in with the wheel onto the job.
    const QRectF job = m_window->jobBounds();
    const double fit = view->transform().m11();
    if (job.width() > 0 && job.height() > 0 && fit > 0) {
        const double wanted
            = 0.8 * qMin(view->viewport()->width() / job.width(), view->viewport()->height() / job.height());
        zoomWithWheel(qMax(0, static_cast<int>(std::floor(std::log(wanted / fit) / std::log(1.15)))));
    }
    centreOnJob();
    if (!save(m_window.get(), QStringLiteral("03-preview-job")))
        return 1;

    // 4. "Preview Final": the dithered picture with the cut lines over it.
    if (!finalButton->isEnabled())
        return stop(QStringLiteral("\"Preview Final\" is not enabled"));
    finalButton->click();
    centreOnJob();
    if (!save(m_window.get(), QStringLiteral("04-preview-final")))
        return 1;

    // 5. The zoom field at its largest, 200 %, entered with the return key.
    zoomField->setFocus();
    zoomField->selectAll();
    zoomField->insert(QStringLiteral("200"));
    pressKey(zoomField, QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    pressKey(zoomField, QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    centreOnJob();
    if (!save(m_window.get(), QStringLiteral("05-zoom-200")))
        return 1;
    finalButton->click();
    zoomWithWheel(-40);

    // 6. The engraver dialog for a new engraver ("+").
    auto *machineDialog = m_window->findChild<MachineDialog *>();
    m_window->findChild<QToolButton *>(QStringLiteral("addMachineButton"))->click();
    if (!machineDialog || !waitUntil([machineDialog]() { return machineDialog->isVisible(); }, 5000))
        return stop(QStringLiteral("the engraver dialog did not open"));
    if (!save(machineDialog, QStringLiteral("06-engraver-new")))
        return 1;
    dialogButton(machineDialog, QDialogButtonBox::Cancel)->click();

    // 7. The engraver dialog for the second engraver of the list (edit button).
    auto *engravers = m_window->findChild<QListWidget *>(QStringLiteral("machineList"));
    engravers->setCurrentRow(1);
    m_window->findChild<QToolButton *>(QStringLiteral("editMachineButton"))->click();
    if (!waitUntil([machineDialog]() { return machineDialog->isVisible(); }, 5000))
        return stop(QStringLiteral("the engraver dialog did not open for editing"));
    if (!save(machineDialog, QStringLiteral("07-engraver-edit")))
        return 1;
    dialogButton(machineDialog, QDialogButtonBox::Cancel)->click();
    engravers->setCurrentRow(0);

    // 8. The settings dialog, loaded from the job.
    m_window->findChild<QPushButton *>(QStringLiteral("editSettingsButton"))->click();
    EditSettings *dialog = settingsDialog();
    if (!dialog || !waitUntil([dialog]() { return dialog->isVisible(); }, 5000))
        return stop(QStringLiteral("the settings dialog did not open"));
    if (!save(dialog, QStringLiteral("08-settings-dialog")))
        return 1;

    // 9. The window after an edit of the raster power and speed.
    auto *power = dialog->findChild<QLineEdit *>(QStringLiteral("rPowerTextBox"));
    auto *speed = dialog->findChild<QLineEdit *>(QStringLiteral("rSpeedTextBox"));
    power->selectAll();
    power->insert(QStringLiteral("77"));
    speed->selectAll();
    speed->insert(QStringLiteral("23"));
    if (!save(dialog, QStringLiteral("09-settings-dialog-edited")))
        return 1;
    dialogButton(dialog, QDialogButtonBox::Ok)->click();
    if (!waitUntil([this]() { return m_window->jobStage() == 6; }, timeoutMs))
        return stop(QStringLiteral("the edited job did not get ready"));
    if (!save(m_window.get(), QStringLiteral("10-settings-edited")))
        return 1;
    if (!save(m_window->findChild<QTreeWidget *>(QStringLiteral("settingsTree")),
            QStringLiteral("11-settings-table")))
        return 1;
    return 0;
}
