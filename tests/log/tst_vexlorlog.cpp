#include "vexlorlog.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

QStringList captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    captured << qFormatLogMessage(type, context, message);
}

} // namespace

class tst_VexlorLog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        captured.clear();
        QLoggingCategory::setFilterRules(QString());
        m_previous = qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(m_previous); }

    void tracesAreOffUntilAskedFor();
    void everyLineHasATime();

private:
    QtMessageHandler m_previous = nullptr;
};

static const QList<const QLoggingCategory *> workerCategories()
{
    return { &lcListener(), &lcParser(), &lcGs(), &lcScene(), &lcRender(), &lcImaging(), &lcOutput(),
        &lcLpd(), &lcWindow() };
}

void tst_VexlorLog::tracesAreOffUntilAskedFor()
{
    Vexlor::setUpLogging(false);
    QStringList names;
    for (const QLoggingCategory *category : workerCategories()) {
        names << QString::fromLatin1(category->categoryName());
        QVERIFY2(!category->isDebugEnabled(), category->categoryName());
        // Real trouble stays visible without --verbose.
        QVERIFY2(category->isWarningEnabled(), category->categoryName());
    }
    QCOMPARE(names,
        QStringList({ "vexlor.listener", "vexlor.parser", "vexlor.gs", "vexlor.scene", "vexlor.render",
            "vexlor.imaging", "vexlor.output", "vexlor.lpd", "vexlor.window" }));

    qCDebug(lcParser) << "a trace nobody asked for";
    qDebug().noquote() << "INFO:"
                       << "\"PrintListener Started!\"";
    QCOMPARE(captured.size(), 1);
    QVERIFY2(captured.constFirst().endsWith(QStringLiteral(" INFO: \"PrintListener Started!\"")),
        qPrintable(captured.constFirst()));

    // --verbose turns every worker's traces on, and only those.
    Vexlor::setUpLogging(true);
    for (const QLoggingCategory *category : workerCategories())
        QVERIFY2(category->isDebugEnabled(), category->categoryName());
    QVERIFY(!QLoggingCategory("qt.network.ssl").isDebugEnabled());
    qCDebug(lcScene) << "Item Rect:" << 3;
    QCOMPARE(captured.size(), 2);
    QVERIFY2(
        captured.at(1).endsWith(QStringLiteral(" vexlor.scene: Item Rect: 3")), qPrintable(captured.at(1)));

    // A rule for one worker overrides the default of its category alone.
    QLoggingCategory::setFilterRules(QStringLiteral("vexlor.gs.debug=true"));
    QVERIFY(lcGs().isDebugEnabled());
    QVERIFY(!lcRender().isDebugEnabled());
}

void tst_VexlorLog::everyLineHasATime()
{
    Vexlor::setUpLogging(false);
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    qDebug().noquote() << "ERROR:"
                       << "\"The file could not be opened\"";
    qWarning() << "a warning";
    qCWarning(lcRender) << "The tile could not be painted";
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);
    QCOMPARE(captured.size(), 3);

    const QRegularExpression stamped(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) (.*)$"));
    QStringList rest;
    for (const QString &line : qAsConst(captured)) {
        const QRegularExpressionMatch match = stamped.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QDateTime stamp
            = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(line));
        rest << match.captured(2);
    }
    QCOMPARE(rest,
        QStringList({ "ERROR: \"The file could not be opened\"", "warning: a warning",
            "warning: vexlor.render: The tile could not be painted" }));
}

QTEST_GUILESS_MAIN(tst_VexlorLog)
#include "tst_vexlorlog.moc"
