// The command line of every program the package installs: --help and --version
// answer on standard output and end at once, also where no display is, and an
// option the program does not know is refused on standard error with a
// non-zero exit code, before anything else happens.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct runResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program of the build with no display at all: --help and --version
// must not need one.
runResult run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VEXLOR_BINARY_DIR "/bin/") + program, arguments);
    runResult result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not end");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

void addPrograms()
{
    QTest::addColumn<QString>("program");
    // A word that the program's help must contain: one of its own options.
    QTest::addColumn<QString>("helpWord");
    QTest::newRow("VexlorApp") << QStringLiteral("VexlorApp") << QStringLiteral("--verbose");
    QTest::newRow("vexlor") << QStringLiteral("vexlor") << QStringLiteral("--retry");
    QTest::newRow("vexlor-options") << QStringLiteral("vexlor-options") << QStringLiteral("--ppd");
    QTest::newRow("vexlor-engraver") << QStringLiteral("vexlor-engraver") << QStringLiteral("--spool");
    QTest::newRow("vexlor-screenshots") << QStringLiteral("vexlor-screenshots") << QStringLiteral("--sample");
}

} // namespace

class tst_programOptions : public QObject
{
    Q_OBJECT

private slots:
    void help_data() { addPrograms(); }
    void help();
    void version_data() { addPrograms(); }
    void version();
    void unknownOption_data() { addPrograms(); }
    void unknownOption();
    void applicationTakesNoFiles();
    void applicationLog_data();
    void applicationLog();
    void hugePagesAskedForAtStart_data();
    void hugePagesAskedForAtStart();
};

void tst_programOptions::help()
{
    QFETCH(QString, program);
    QFETCH(QString, helpWord);
    for (const QString &option : { QStringLiteral("--help"), QStringLiteral("-h") }) {
        const runResult result = run(program, { option });
        QVERIFY2(result.exitCode == 0, qPrintable(option + QStringLiteral(": ") + result.err));
        QVERIFY2(result.out.contains(QLatin1String("Usage: ")), qPrintable(result.out));
        QVERIFY2(result.out.contains(helpWord), qPrintable(result.out));
        // Qt's own options are the application object's business, not the help's.
        QVERIFY2(!result.out.contains(QLatin1String("qwindowgeometry")), qPrintable(result.out));
    }
}

void tst_programOptions::version()
{
    QFETCH(QString, program);
    const runResult result = run(program, { QStringLiteral("--version") });
    QCOMPARE(result.exitCode, 0);
    // The project's version from the build, on one line after the program's name.
    QCOMPARE(result.out, QStringLiteral("%1 %2\n").arg(program, QStringLiteral(VEXLOR_VERSION)));
    QVERIFY(
        QRegularExpression(QStringLiteral("^\\d+\\.\\d+")).match(QStringLiteral(VEXLOR_VERSION)).hasMatch());
}

void tst_programOptions::unknownOption()
{
    QFETCH(QString, program);
    for (const QString &option : { QStringLiteral("--frobnicate"), QStringLiteral("--versoin") }) {
        const runResult result = run(program, { option });
        QVERIFY2(result.exitCode > 0,
            qPrintable(QStringLiteral("%1 %2: exit code %3; %4")
                           .arg(program, option)
                           .arg(result.exitCode)
                           .arg(result.err)));
        // The message names the option it refused, on standard error.
        QVERIFY2(result.err.contains(option.mid(2)), qPrintable(result.err));
        QVERIFY2(!result.out.contains(QLatin1String(VEXLOR_VERSION " ")), qPrintable(result.out));
    }
}

// VexlorApp takes its jobs from the print queue: a file name on its command
// line would be ignored silently, so it is refused with a word on why.
void tst_programOptions::applicationTakesNoFiles()
{
    const runResult result = run(QStringLiteral("VexlorApp"), { QStringLiteral("drawing.ps") });
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(QLatin1String("'drawing.ps'")), qPrintable(result.err));
    QVERIFY2(result.err.contains(QLatin1String("engraver queue")), qPrintable(result.err));

    // Qt's own options stay usable and do not count as mistakes.
    const runResult withQtOption = run(QStringLiteral("VexlorApp"),
        { QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--version") });
    QCOMPARE(withQtOption.exitCode, 0);
    QCOMPARE(withQtOption.out, QStringLiteral("VexlorApp " VEXLOR_VERSION "\n"));
}

void tst_programOptions::applicationLog_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("rules");
    QTest::addColumn<bool>("traces");
    QTest::newRow("quiet by default") << QStringList() << QString() << false;
    QTest::newRow("--verbose") << QStringList { QStringLiteral("--verbose") } << QString() << true;
    QTest::newRow("one worker by rule")
        << QStringList() << QStringLiteral("vexlor.listener.debug=true") << true;
    QTest::newRow("a rule beats --verbose")
        << QStringList { QStringLiteral("--verbose") } << QStringLiteral("vexlor.*.debug=false") << false;
}

// The application's log as a user sees it: a time on every line, the "INFO:"
// lines as they always were, the workers' traces only when asked for.
void tst_programOptions::applicationLog()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, rules);
    QFETCH(bool, traces);

    QTemporaryDir home;
    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!rules.isEmpty())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    app.setProcessEnvironment(environment);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(VEXLOR_BINARY_DIR "/bin/VexlorApp"), arguments);
    QVERIFY(app.waitForStarted(10000));
    QByteArray log;
    QElapsedTimer clock;
    clock.start();
    // The listener reports either way, whether or not it got the port.
    while (!log.contains("PrintListener") && clock.elapsed() < 30000 && app.state() == QProcess::Running) {
        app.waitForReadyRead(200);
        log += app.readAll();
    }
    app.terminate();
    QVERIFY(app.waitForFinished(30000));
    log += app.readAll();
    QVERIFY2(log.contains("PrintListener"), log.constData());

    const QRegularExpression stamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    for (const QByteArray &line : log.split('\n')) {
        if (!line.isEmpty())
            QVERIFY2(stamped.match(QString::fromUtf8(line)).hasMatch(), line.constData());
    }
    QVERIFY2(QRegularExpression(QStringLiteral("\\d INFO: \"PrintListener Started!\"\n"))
                 .match(QString::fromUtf8(log))
                 .hasMatch(),
        log.constData());
    QCOMPARE(
        log.contains(" vexlor.listener: printListener created, spooling jobs into \"/tmp/PSLib\""), traces);
    if (!traces)
        QVERIFY2(!log.contains(" vexlor."), log.constData());
}

void tst_programOptions::hugePagesAskedForAtStart_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    for (const QString &program : { QStringLiteral("VexlorApp"), QStringLiteral("vexlor-gs") }) {
        QTest::addRow("%s, nothing set", qPrintable(program))
            << program << QString() << QStringLiteral("glibc.malloc.hugetlb=1");
        // The C library ends each value it reads with a null in the copy that
        // the system shows, so only the first tunable can be seen there.
        QTest::addRow("%s, another tunable set", qPrintable(program))
            << program << QStringLiteral("glibc.malloc.check=0") << QStringLiteral("glibc.malloc.hugetlb=1");
        QTest::addRow("%s, turned off by the user", qPrintable(program))
            << program << QStringLiteral("glibc.malloc.hugetlb=0") << QStringLiteral("glibc.malloc.hugetlb=0");
    }
}

void tst_programOptions::hugePagesAskedForAtStart()
{
    // The program restarts itself with the C library's huge-page tunable set,
    // as the same process (its parent still sees it), unless the user chose.
    QFETCH(QString, program);
    QFETCH(QString, given);
    QFETCH(QString, expected);
    QTemporaryDir home;
    QFile endless(home.filePath(QStringLiteral("endless.ps")));
    QVERIFY(endless.open(QIODevice::WriteOnly));
    endless.write("%!PS\n{ } loop\n");
    endless.close();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("GLIBC_TUNABLES"));
    if (!given.isEmpty())
        environment.insert(QStringLiteral("GLIBC_TUNABLES"), given);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments = program == QLatin1String("vexlor-gs")
        ? QStringList { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
              QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"), QStringLiteral("-r75"),
              QStringLiteral("-sDitheringType=floyd"), QStringLiteral("-sJobType=mono"),
              QStringLiteral("-sOutputFile=") + home.filePath(QStringLiteral("o.xml")), endless.fileName() }
        : QStringList();
    process.start(QStringLiteral(VEXLOR_BINARY_DIR "/bin/") + program, arguments);
    QVERIFY(process.waitForStarted(10000));
    const QString environ = QStringLiteral("/proc/%1/environ").arg(process.processId());
    // Until the restart the process still shows the environment it was given.
    QByteArray found;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && process.state() == QProcess::Running) {
        QFile file(environ);
        if (file.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> entries = file.readAll().split('\0');
            for (const QByteArray &entry : entries) {
                if (entry.startsWith("GLIBC_TUNABLES="))
                    found = entry.mid(15);
            }
        }
        if (found == expected.toLatin1())
            break;
        process.waitForReadyRead(50);
    }
    const QByteArray output = process.readAll();
    QVERIFY2(process.state() == QProcess::Running, output.constData());
    // Still known by its own name to the system (ps, top, killall).
    QFile comm(QStringLiteral("/proc/%1/comm").arg(process.processId()));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLatin1(comm.readAll().trimmed()), program.left(15));
    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(QString::fromLatin1(found), expected);
}

QTEST_GUILESS_MAIN(tst_programOptions)
#include "tst_programoptions.moc"
