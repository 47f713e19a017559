#ifndef SCREENSHOTRUNNER_H
#define SCREENSHOTRUNNER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class MainWindow;
class QWidget;

// Takes the pictures of the main window and its dialogs: builds the real
// window on the real working folders, prints a sample job to it through the
// engraver queue's filter and backend, and then works the window only through
// its widgets (buttons, fields, key and wheel events), saving a picture after
// each step.
class ScreenshotRunner
{
public:
    struct Options
    {
        QString outputDir;
        QString gsProgram;
        QString sample;
        QString ppd;
        QString backend;
        int timeoutSeconds = 300;
    };

    explicit ScreenshotRunner(const Options &options);
    ~ScreenshotRunner();

    // Returns 0 when every picture was saved, else 1 with the reason on
    // standard error.
    int run();

    // The pictures run() saves, in order.
    QStringList saved() const { return m_saved; }

private:
    bool openWindow();
    bool printSample();
    bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
    void settle();
    bool save(QWidget *widget, const QString &name);
    void zoomWithWheel(int steps);
    void centreOnJob();
    bool fail(const QString &why);
    bool listenerFailed() const;

    Options m_options;
    QTemporaryDir m_work;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_saved;
};

#endif // SCREENSHOTRUNNER_H
