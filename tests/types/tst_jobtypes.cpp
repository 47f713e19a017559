#include "securefs.h"
#include "settingslookup.h"
#include "vexlortypes.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_JobTypes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Vexlor::registerMetaTypes(); }
    void metaTypeNames();
    void settingsCopyDropsParent();
    void settingsSelfAssignment();
    void settingsTravelThroughQueuedSignal();
    void lookupRule_data();
    void lookupRule();
    void privateDirRefusesLinksAndOpenFolders();
    void privateFileIsClosedToOthers();
};

void tst_JobTypes::metaTypeNames()
{
    const char *names[] = { "vexlorSettings", "VectorList", "LaserOp::LaserOp", "Vexlor::vexlorMachine",
        "Vexlor::LaserItemList", "Vexlor::WidthList", "Vexlor::SceneTile" };
    int previous = 0;
    for (const char *name : names) {
        const int id = QMetaType::type(name);
        QVERIFY2(id != QMetaType::UnknownType, name);
        QVERIFY2(id > previous, name);
        previous = id;
    }
}

void tst_JobTypes::settingsCopyDropsParent()
{
    QObject parent;
    vexlorSettings original(&parent);
    original.settings.insert("Title", "Sign");
    vexlorSettings copy(original);
    QCOMPARE(copy.parent(), nullptr);
    QCOMPARE(copy.settings, original.settings);

    vexlorSettings assigned(&parent);
    assigned = original;
    QCOMPARE(assigned.parent(), &parent);
    QCOMPARE(assigned.settings.value("Title"), QStringLiteral("Sign"));
}

void tst_JobTypes::settingsSelfAssignment()
{
    vexlorSettings s;
    s.settings.insert("JobType", "vector");
    vexlorSettings &alias = s;
    s = alias;
    QCOMPARE(s.settings.size(), 1);
    QCOMPARE(s.settings.value("JobType"), QStringLiteral("vector"));
}

class SettingsSender : public QObject
{
    Q_OBJECT
signals:
    void send(vexlorSettings settings);
};

class SettingsReceiver : public QObject
{
    Q_OBJECT
public:
    QMap<QString, QString> received;
public slots:
    void take(vexlorSettings settings) { received = settings.settings; }
};

void tst_JobTypes::settingsTravelThroughQueuedSignal()
{
    SettingsSender sender;
    SettingsReceiver receiver;
    QThread thread;
    receiver.moveToThread(&thread);
    thread.start();
    connect(&sender, SIGNAL(send(vexlorSettings)), &receiver, SLOT(take(vexlorSettings)));
    vexlorSettings s;
    s.settings.insert("cResolution", "600");
    emit sender.send(s);
    QTRY_COMPARE(receiver.received.value("cResolution"), QStringLiteral("600"));
    thread.quit();
    thread.wait();
}

void tst_JobTypes::lookupRule_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("expected");
    QTest::newRow("key wins") << QStringList { "cResolution", "CustomcResolution" }
                              << QStringList { "600", "1200" } << "600";
    QTest::newRow("alternative") << QStringList { "CustomcResolution" } << QStringList { "1000" } << "1000";
    QTest::newRow("default") << QStringList {} << QStringList {} << "600";
    QTest::newRow("empty value kept") << QStringList { "cResolution" } << QStringList { "" } << "";
}

void tst_JobTypes::lookupRule()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, values);
    QFETCH(QString, expected);
    QMap<QString, QString> map;
    for (int i = 0; i < keys.size(); ++i)
        map.insert(keys[i], values[i]);
    QCOMPARE(Vexlor::lookupSetting(map, "cResolution", "600", "CustomcResolution"), expected);
}

void tst_JobTypes::privateDirRefusesLinksAndOpenFolders()
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("spool");
    QVERIFY(Vexlor::makePrivateDir(dir));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(dir).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);

    const QString link = tmp.filePath("link");
    QVERIFY(QFile::link(dir, link));
    QString reason;
    QVERIFY(!Vexlor::makePrivateDir(link, &reason));
    QVERIFY(reason.contains("symbolic link"));

    const QString plainFile = tmp.filePath("file");
    QFile f(plainFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(!Vexlor::isPrivateDir(plainFile, &reason));
}

void tst_JobTypes::privateFileIsClosedToOthers()
{
    QTemporaryDir tmp;
    QFile file(tmp.filePath("job.txt"));
    QVERIFY(Vexlor::openPrivateFile(file, QIODevice::WriteOnly));
    file.write("abc");
    file.close();
    QCOMPARE(
        file.permissions() & (QFile::ReadOther | QFile::ReadGroup | QFile::WriteOther), QFile::Permissions());

    QString why;
    QVERIFY2(Vexlor::openPrivateFile(file, QIODevice::Append, &why), qPrintable(why));
    file.write("def");
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("abcdef"));
    file.close();

    const QString link = tmp.filePath("link.txt");
    QVERIFY(QFile::link(file.fileName(), link));
    QFile viaLink(link);
    QVERIFY(!Vexlor::openPrivateFile(viaLink, QIODevice::WriteOnly));
}

QTEST_GUILESS_MAIN(tst_JobTypes)
#include "tst_jobtypes.moc"
