// The engraver list: its file when it is damaged, missing or cannot be
// written, names that XML must escape, and the addresses the engraver dialog
// takes.

#include "locations.h"
#include "machinedialog.h"
#include "machinelistfile.h"
#include "mainwindow.h"
#include "vexlortypes.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/resource.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QStringList names(const QList<Vexlor::vexlorMachine> &machines)
{
    QStringList out;
    for (const Vexlor::vexlorMachine &m : machines)
        out << m.name;
    return out;
}

QStringList rows(QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

Vexlor::vexlorMachine machine(const QString &name, const QString &address)
{
    Vexlor::vexlorMachine m;
    m.name = name;
    m.addr = QHostAddress(address);
    return m;
}

// Files kept aside beside settings.xml.
QStringList keptFiles(const QString &folder)
{
    return QDir(folder).entryList({ QStringLiteral("settings.xml.unreadable-*") }, QDir::Files);
}

// The log lines written while it is alive.
class logCapture
{
public:
    logCapture() { m_previous = qInstallMessageHandler(&logCapture::handle); }
    ~logCapture() { qInstallMessageHandler(m_previous); }
    static QStringList lines;

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &text) { lines << text; }
    QtMessageHandler m_previous;
};
QStringList logCapture::lines;

} // namespace

class tst_MachineList : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }

    void damagedFileIsKeptAside_data();
    void damagedFileIsKeptAside();
    void writingOverDamagedFileKeepsItAside();
    void freshHomeFolder();
    void namesSurviveSaveAndLoad();
    void writeFailuresNameTheReason();
    void octets_data();
    void octets();
    void dialogRefusesBadAddress();

private:
    std::unique_ptr<MainWindow> openWindow(const QTemporaryDir &dir, const QString &support);
    static QMessageBox *messageBox(QWidget *window, const QString &title);
};

std::unique_ptr<MainWindow> tst_MachineList::openWindow(const QTemporaryDir &dir, const QString &support)
{
    for (const char *sub : { "spool", "options", "gs" })
        QDir().mkpath(dir.filePath(sub));
    return std::make_unique<MainWindow>(dir.filePath("no-such-gs"), dir.filePath("spool"),
        dir.filePath("options"), dir.filePath("gs"), support);
}

QMessageBox *tst_MachineList::messageBox(QWidget *window, const QString &title)
{
    for (QMessageBox *box : window->findChildren<QMessageBox *>()) {
        if (box->windowTitle() == title)
            return box;
    }
    return nullptr;
}

void tst_MachineList::damagedFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("readable");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListStart default=\"0\">\n";
    const QByteArray a = "    <Machine name=\"Alpha\" addr=\"10.0.0.1\" type=\"0\"/>\n";
    const QByteArray b = "    <Machine name=\"Beta\" addr=\"10.0.0.2\" type=\"0\"/>\n";
    const QByteArray c = "    <Machine name=\"Gamma\" addr=\"10.0.0.3\" type=\"0\"/>\n";
    const QByteArray tail = "</ListStart>\n";

    QTest::newRow("unescaped ampersand")
        << head + a + "    <Machine name=\"Shop & Lab\" addr=\"10.0.0.9\" type=\"0\"/>\n" + b + c + tail
        << QStringList { "Alpha" };
    QTest::newRow("garbage at the start") << "\x01\x02garbage" + head + a + b + c + tail << QStringList {};
    const QByteArray whole = head + a + b + c + tail;
    QTest::newRow("truncated") << whole.left(whole.indexOf("Gamma")) << QStringList { "Alpha", "Beta" };
}

void tst_MachineList::damagedFileIsKeptAside()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, readable);
    QTemporaryDir dir;
    const QString support = dir.filePath("support");
    const QString path = support + "/settings.xml";
    writeFile(path, content);

    const Vexlor::machineListRead read = Vexlor::readMachineList(path);
    QCOMPARE(read.status, Vexlor::machineListRead::Damaged);
    QVERIFY(!read.problem.isEmpty());
    QCOMPARE(names(read.machines), readable);

    auto window = openWindow(dir, support);
    // The list starts from what could be read.
    QCOMPARE(rows(window->findChild<QListWidget *>("machineList")), readable);
    // The damaged file is kept, byte for byte, under a name that says so.
    const QStringList kept = keptFiles(support);
    QCOMPARE(kept.size(), 1);
    const QString keptPath = support + "/" + kept.first();
    QCOMPARE(readAll(keptPath), content);
    QVERIFY(!QFile::exists(path));
    // The user is told what happened and where the old file is.
    QMessageBox *box = messageBox(window.get(), "Engraver List");
    QVERIFY(box);
    QVERIFY2(box->text().contains(keptPath), qPrintable(box->text()));
    QVERIFY2(box->text().contains(read.problem), qPrintable(box->text()));

    // At exit the readable part is written; the kept file stays as it was.
    window.reset();
    const Vexlor::machineListRead after = Vexlor::readMachineList(path);
    QCOMPARE(after.status, Vexlor::machineListRead::Complete);
    QCOMPARE(names(after.machines), readable);
    QCOMPARE(readAll(keptPath), content);
    QCOMPARE(keptFiles(support).size(), 1);
}

void tst_MachineList::writingOverDamagedFileKeepsItAside()
{
    // Damaged after the list was read (by hand, by another program): the
    // write at exit still does not destroy it.
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.xml");
    const QByteArray damaged = "<ListStart default=\"0\"><Machine name=\"A & B\"";
    writeFile(path, damaged);
    QString why, keptAs;
    QVERIFY2(
        Vexlor::writeMachineList(path, { machine("New", "10.1.1.1") }, 0, &why, &keptAs), qPrintable(why));
    QVERIFY(keptAs.startsWith(path + ".unreadable-"));
    QCOMPARE(readAll(keptAs), damaged);
    QCOMPARE(names(Vexlor::readMachineList(path).machines), QStringList { "New" });
}

void tst_MachineList::freshHomeFolder()
{
    QTemporaryDir dir;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(dir.filePath("home")));
    QVERIFY(QDir().mkdir(dir.filePath("home")));
    const QString support = Vexlor::supportFolder();
    qputenv("HOME", oldHome);
    QCOMPARE(support, dir.filePath("home") + "/Library/Vexlor");
    QVERIFY(!QFileInfo::exists(dir.filePath("home/Library")));

    {
        logCapture::lines.clear();
        std::unique_ptr<MainWindow> window;
        {
            logCapture capture;
            window = openWindow(dir, support);
        }
        // Reported as a first start, not as a failure.
        const QString expected
            = QStringLiteral("INFO: \"No engraver list yet: %1/settings.xml does not exist; it is "
                             "made when the application quits\"")
                  .arg(support);
        QVERIFY2(logCapture::lines.contains(expected), qPrintable(logCapture::lines.join('\n')));
        for (const QString &line : qAsConst(logCapture::lines))
            QVERIFY2(!line.contains("settings.xml") || !line.startsWith("ERROR:"), qPrintable(line));
        auto *list = window->findChild<QListWidget *>("machineList");
        QCOMPARE(list->count(), 0);
        // A first start is not a damaged file: no box, nothing kept aside.
        QVERIFY(!messageBox(window.get(), "Engraver List"));

        // Two engravers entered through the dialog, as a user would.
        auto *dialog = window->findChild<MachineDialog *>();
        const QList<QPair<QString, QStringList>> entered { { "Workshop", { "192", "168", "001", "010" } },
            { "Spare", { "10", "0", "0", "09" } } };
        for (const auto &entry : entered) {
            QTest::mouseClick(window->findChild<QToolButton *>("addMachineButton"), Qt::LeftButton);
            QVERIFY(dialog->isVisible());
            dialog->findChild<QLineEdit *>("name")->setText(entry.first);
            const char *fields[] = { "first", "second", "third", "fourth" };
            for (int i = 0; i < 4; ++i)
                dialog->findChild<QLineEdit *>(fields[i])->setText(entry.second.at(i));
            QTest::mouseClick(
                dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
            QVERIFY(!dialog->isVisible());
        }
        QCOMPARE(rows(list), QStringList({ "Workshop", "Spare" }));
    }
    QCOMPARE(readAll(support + "/settings.xml"),
        QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<ListStart default=\"1\">\n"
                   "    <Machine name=\"Workshop\" addr=\"192.168.1.10\" type=\"0\"/>\n"
                   "    <Machine name=\"Spare\" addr=\"10.0.0.9\" type=\"0\"/>\n"
                   "</ListStart>\n"));

    auto window = openWindow(dir, support);
    auto *list = window->findChild<QListWidget *>("machineList");
    QCOMPARE(rows(list), QStringList({ "Workshop", "Spare" }));
    QCOMPARE(list->currentRow(), 1);
}

void tst_MachineList::namesSurviveSaveAndLoad()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("deep/er/settings.xml");
    const QStringList special { "Shop & Lab", "<Laser>", "\"Big\" 'one'", "Gravür Ærø 雕刻機 🔥", "  spaced  ",
        "tab\there", "line\nbreak", "a]]>b", "&amp;" };
    QList<Vexlor::vexlorMachine> list;
    for (int i = 0; i < special.size(); ++i)
        list << machine(special.at(i), QStringLiteral("10.0.%1.%2").arg(i).arg(200 + i));
    list << Vexlor::vexlorMachine(); // no name, no address
    QString why;
    QVERIFY2(Vexlor::writeMachineList(path, list, 4, &why), qPrintable(why));

    const Vexlor::machineListRead read = Vexlor::readMachineList(path);
    QCOMPARE(read.status, Vexlor::machineListRead::Complete);
    QCOMPARE(read.defaultIndex, 4);
    QCOMPARE(read.machines.size(), list.size());
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(read.machines.at(i).name, list.at(i).name);
        QCOMPARE(read.machines.at(i).addr, list.at(i).addr);
        QCOMPARE(read.machines.at(i).type, list.at(i).type);
    }

    // A control character XML cannot carry is left out, not written raw into
    // a file that could then not be read at all.
    QVERIFY(Vexlor::writeMachineList(path, { machine(QStringLiteral("bell\x07name"), "10.0.0.1") }, 0, &why));
    const Vexlor::machineListRead control = Vexlor::readMachineList(path);
    QCOMPARE(control.status, Vexlor::machineListRead::Complete);
    QCOMPARE(names(control.machines), QStringList { "bellname" });
}

void tst_MachineList::writeFailuresNameTheReason()
{
    QTemporaryDir dir;
    // A file where a folder should be.
    writeFile(dir.filePath("blocker"), "x");
    QString why;
    QVERIFY(!Vexlor::writeMachineList(dir.filePath("blocker/Vexlor/settings.xml"), {}, -1, &why));
    QVERIFY2(why.contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))), qPrintable(why));

    // A full disk, played by a file size limit: the old file stays whole and
    // the reason is the system's.
    const QString path = dir.filePath("settings.xml");
    QList<Vexlor::vexlorMachine> many;
    for (int i = 0; i < 20; ++i)
        many << machine(QStringLiteral("Engraver %1").arg(i), "10.0.0.1");
    QVERIFY(Vexlor::writeMachineList(path, many, 0, &why));
    const QByteArray before = readAll(path);

    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit tiny = old;
    tiny.rlim_cur = 100;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const bool written = Vexlor::writeMachineList(path, many + many, 0, &why);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    QVERIFY(!written);
    QVERIFY2(why.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(why));
    QCOMPARE(readAll(path), before);
    // No temporary file is left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({ "blocker", "settings.xml" }));
}

void tst_MachineList::octets_data()
{
    QTest::addColumn<QStringList>("octets");
    QTest::addColumn<QString>("address"); // empty: refused

    QTest::newRow("plain") << QStringList { "192", "168", "1", "10" } << "192.168.1.10";
    QTest::newRow("leading zeros are decimal")
        << QStringList { "192", "168", "001", "010" } << "192.168.1.10";
    QTest::newRow("09 is nine") << QStringList { "10", "0", "0", "09" } << "10.0.0.9";
    QTest::newRow("all zeros") << QStringList { "000", "0", "00", "0" } << "0.0.0.0";
    QTest::newRow("highest") << QStringList { "255", "255", "255", "255" } << "255.255.255.255";
    QTest::newRow("above 255") << QStringList { "256", "1", "1", "1" } << "";
    QTest::newRow("empty octet") << QStringList { "10", "", "0", "1" } << "";
    QTest::newRow("negative") << QStringList { "10", "-1", "0", "1" } << "";
    QTest::newRow("hexadecimal") << QStringList { "0x1", "0", "0", "1" } << "";
    QTest::newRow("sign") << QStringList { "+1", "0", "0", "1" } << "";
    QTest::newRow("three octets") << QStringList { "10", "0", "1" } << "";
}

void tst_MachineList::octets()
{
    QFETCH(QStringList, octets);
    QFETCH(QString, address);
    QString why;
    const QHostAddress got = MachineDialog::addressFromOctets(octets, &why);
    if (address.isEmpty()) {
        QVERIFY(got.isNull());
        QVERIFY(!why.isEmpty());
    } else {
        QCOMPARE(got, QHostAddress(address));
        QCOMPARE(got.toString(), address);
    }
}

void tst_MachineList::dialogRefusesBadAddress()
{
    MachineDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Engraver"));
    QSignalSpy emitted(&dialog, &MachineDialog::emitMachine);
    dialog.setName("Laser");
    dialog.show();
    const char *fields[] = { "first", "second", "third", "fourth" };
    const QStringList bad { "10", "300", "0", "1" };
    for (int i = 0; i < 4; ++i)
        dialog.findChild<QLineEdit *>(fields[i])->setText(bad.at(i));
    QPushButton *ok = dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    QTest::mouseClick(ok, Qt::LeftButton);

    // Refused clearly; the dialog stays open with what was typed.
    QMessageBox *box = messageBox(&dialog, "Error");
    QVERIFY(box);
    QVERIFY2(box->text().contains("\"300\""), qPrintable(box->text()));
    QVERIFY(dialog.isVisible());
    QCOMPARE(emitted.count(), 0);
    QCOMPARE(dialog.findChild<QLineEdit *>("second")->text(), QStringLiteral("300"));
    box->close();

    dialog.findChild<QLineEdit *>("second")->setText("030");
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(emitted.count(), 1);
    const auto entered = emitted.at(0).at(0).value<Vexlor::vexlorMachine>();
    QCOMPARE(entered.name, QStringLiteral("Laser"));
    QCOMPARE(entered.addr, QHostAddress("10.30.0.1"));
}

QTEST_MAIN(tst_MachineList)
#include "tst_machinelist.moc"
