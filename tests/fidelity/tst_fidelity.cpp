// Fidelity of the engraver device: each file of the corpus (PostScript
// written by real programs) goes through vexlor-gs, the scene reader and
// the tile renderer at 300 dpi, and the page is compared with Ghostscript's
// own anti-aliased rendering of the same file.

#include "pagecomparison.h"
#include "renderingmanager.h"
#include "vexlortypes.h"
#include "xml2gfxlist.h"

#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int resolution = 300;
constexpr double target = 0.99;

QString devicePath()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs");
}

// VEXLOR_FIDELITY_CORPUS measures the files of another folder instead
QString corpusDir()
{
    const QString other = qEnvironmentVariable("VEXLOR_FIDELITY_CORPUS");
    return other.isEmpty() ? QStringLiteral(VEXLOR_SOURCE_DIR "/tests/fidelity/corpus") : other;
}
} // namespace

class tst_fidelity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void corpus_data();
    void corpus();
    void cleanupTestCase();

private:
    bool runDevice(const QString &file, const QString &folder, QString *output);
    QImage readAndRender(const QString &folder, int *itemCount);
    QImage reference(const QString &file, const QString &folder);

    QStringList m_rows;
};

void tst_fidelity::initTestCase()
{
    Vexlor::registerMetaTypes();
    QVERIFY2(QFileInfo(devicePath()).isExecutable(), qPrintable(devicePath() + " is not built"));
    QVERIFY2(
        !QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty(), "Ghostscript (gs) is not installed");
}

bool tst_fidelity::runDevice(const QString &file, const QString &folder, QString *output)
{
    QProcess device;
    device.setProcessChannelMode(QProcess::MergedChannels);
    device.start(devicePath(),
        { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
            QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"),
            QStringLiteral("-r%1").arg(resolution), QStringLiteral("-sDitheringType=floyd"),
            QStringLiteral("-sJobType=mono"),
            QStringLiteral("-sOutputFile=") + folder + QStringLiteral("/o.xml"), file });
    const bool finished = device.waitForFinished(240000);
    *output = QString::fromLocal8Bit(device.readAll());
    return finished && device.exitStatus() == QProcess::NormalExit && device.exitCode() == 0;
}

QImage tst_fidelity::readAndRender(const QString &folder, int *itemCount)
{
    xml2gfxList reader { QDir(folder) };
    QSignalSpy items(&reader, &xml2gfxList::sendItems);
    QSignalSpy widths(&reader, &xml2gfxList::width);
    QSignalSpy heights(&reader, &xml2gfxList::height);
    reader.setTableRect(QRect(0, 0, 40 * resolution, 28 * resolution));
    reader.processGSOutput();
    if (items.count() != 1 || widths.count() != 1 || heights.count() != 1)
        return QImage();
    const auto list = items.first().first().value<Vexlor::LaserItemList>();
    *itemCount = list.size();
    const QSize page(widths.first().first().toString().toInt(), heights.first().first().toString().toInt());

    QImage image(page, QImage::Format_RGB32);
    image.fill(Qt::white);
    renderingManager renderer;
    QSignalSpy finished(&renderer, &renderingManager::finished);
    renderer.getList(list);
    renderer.startRender();
    if (finished.isEmpty() && !finished.wait(120000))
        return QImage();
    const auto tiles = finished.first().first().value<Vexlor::SceneTile>();
    QPainter painter(&image);
    for (const auto &tile : tiles)
        painter.drawPixmap(tile.first.topLeft(), tile.second);
    painter.end();
    return image;
}

QImage tst_fidelity::reference(const QString &file, const QString &folder)
{
    const QString png = folder + QStringLiteral("/reference.png");
    QProcess gs;
    gs.setProcessChannelMode(QProcess::MergedChannels);
    gs.start(QStringLiteral("gs"),
        { QStringLiteral("-q"), QStringLiteral("-dBATCH"), QStringLiteral("-dNOPAUSE"),
            QStringLiteral("-dSAFER"), QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-sDEVICE=png16m"),
            QStringLiteral("-r%1").arg(resolution), QStringLiteral("-dTextAlphaBits=4"),
            QStringLiteral("-dGraphicsAlphaBits=4"), QStringLiteral("-dFirstPage=1"),
            QStringLiteral("-dLastPage=1"), QStringLiteral("-sOutputFile=") + png, file });
    if (!gs.waitForFinished(240000) || gs.exitCode() != 0)
        return QImage();
    return QImage(png);
}

void tst_fidelity::corpus_data()
{
    QTest::addColumn<QString>("file");
    const QFileInfoList files = QDir(corpusDir()).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &file : files)
        if (file.suffix() == QLatin1String("ps") || file.suffix() == QLatin1String("eps"))
            QTest::newRow(qPrintable(file.fileName())) << file.absoluteFilePath();
    QVERIFY(!files.isEmpty());
}

void tst_fidelity::corpus()
{
    QFETCH(QString, file);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());

    QElapsedTimer clock;
    clock.start();
    QString output;
    QVERIFY2(runDevice(file, folder.path(), &output), qPrintable(output));
    const qint64 deviceMs = clock.elapsed();
    int itemCount = 0;
    const QImage ours = readAndRender(folder.path(), &itemCount);
    QVERIFY2(!ours.isNull(), "the scene could not be read or rendered");
    const QImage theirs = reference(file, folder.path());
    QVERIFY2(!theirs.isNull(), "Ghostscript could not render the reference");

    const pageComparison::Result result = pageComparison::compare(ours, theirs);
    QVERIFY2(result.sameSize,
        qPrintable(QStringLiteral("page sizes differ: %1x%2 against %3x%4")
                       .arg(ours.width())
                       .arg(ours.height())
                       .arg(theirs.width())
                       .arg(theirs.height())));
    const QString name = QFileInfo(file).fileName();
    m_rows << QStringLiteral("| %1 | %2 x %3 | %4 | %5 | %6 % | %7 % | %8 |")
                  .arg(name)
                  .arg(ours.width())
                  .arg(ours.height())
                  .arg(itemCount)
                  .arg(result.inkPixels)
                  .arg(100.0 * result.inkAgreement(), 0, 'f', 2)
                  .arg(100.0 * result.pageAgreement(), 0, 'f', 3)
                  .arg(deviceMs);
    const QString keep = qEnvironmentVariable("VEXLOR_FIDELITY_KEEP");
    if (!keep.isEmpty()) {
        QDir().mkpath(keep);
        const QString stem = QDir(keep).filePath(QFileInfo(file).completeBaseName());
        ours.save(stem + QStringLiteral("-scene.png"));
        theirs.save(stem + QStringLiteral("-gs.png"));
        result.differences.save(stem + QStringLiteral("-diff.png"));
    }
    QVERIFY2(result.inkAgreement() >= target,
        qPrintable(QStringLiteral("%1: %2 % of the ink pixels agree, below %3 %")
                       .arg(name)
                       .arg(100.0 * result.inkAgreement(), 0, 'f', 2)
                       .arg(100.0 * target)));
}

void tst_fidelity::cleanupTestCase()
{
    QStringList table;
    table << QStringLiteral(
        "| File | Page (px) | Items | Ink pixels | Ink agreeing | Page agreeing | vexlor-gs (ms) |")
          << QStringLiteral("|---|---|---|---|---|---|---|") << m_rows;
    for (const QString &row : table)
        qInfo().noquote() << row;
    const QString report = qEnvironmentVariable("VEXLOR_FIDELITY_REPORT");
    if (!report.isEmpty()) {
        QFile file(report);
        if (file.open(QIODevice::WriteOnly | QIODevice::Text))
            file.write(table.join(QLatin1Char('\n')).toUtf8() + '\n');
    }
}

QTEST_MAIN(tst_fidelity)
#include "tst_fidelity.moc"
