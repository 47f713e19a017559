// The vexlor-gs program as the application runs it: its argument contract,
// pages, failures, the scene file's life cycle, and what the procedure set
// makes of the painting operators.

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>

namespace {

QString devicePath()
{
    return QStringLiteral(VEXLOR_BINARY_DIR "/bin/vexlor-gs");
}

QStringList standardArguments(const QString &scene, const QString &job, int resolution = 72)
{
    return { QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-dBATCH"), QStringLiteral("-dSAFER"),
        QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=vexlor"),
        QStringLiteral("-r%1").arg(resolution), QStringLiteral("-sDitheringType=floyd"),
        QStringLiteral("-sJobType=mono"), QStringLiteral("-sOutputFile=") + scene, job };
}

struct Run
{
    int exitCode = -1;
    QString output;
};

Run runDevice(const QStringList &arguments)
{
    QProcess device;
    device.setProcessChannelMode(QProcess::SeparateChannels);
    device.start(devicePath(), arguments);
    Run run;
    if (!device.waitForFinished(120000))
        return run;
    run.exitCode = device.exitStatus() == QProcess::NormalExit ? device.exitCode() : -1;
    run.output = QString::fromLocal8Bit(device.readAllStandardOutput());
    return run;
}

// One element of the scene with its attributes and, for path elements, the
// segments of its outline and of its clip.
struct SceneItem
{
    QString name;
    QXmlStreamAttributes attributes;
    QStringList path;
    QStringList clip;
    QString text;
};

QVector<SceneItem> readScene(const QString &file, QSize *page = nullptr)
{
    QVector<SceneItem> items;
    QFile scene(file);
    if (!scene.open(QIODevice::ReadOnly))
        return items;
    QXmlStreamReader xml(&scene);
    SceneItem current;
    bool inClip = false;
    QString parent;
    while (!xml.atEnd()) {
        xml.readNext();
        const QString name = xml.name().toString();
        if (xml.isStartElement()) {
            if (name == QLatin1String("fill_path") || name == QLatin1String("stroke_path")) {
                current = SceneItem { name, xml.attributes(), {}, {}, {} };
                inClip = false;
            } else if (name == QLatin1String("clippath")) {
                inClip = true;
                if (current.name.isEmpty())
                    current = SceneItem { QStringLiteral("image"), {}, {}, {}, {} };
            } else if (name == QLatin1String("image")) {
                current.attributes = xml.attributes();
            } else if (name == QLatin1String("imfile")) {
                current.text = xml.readElementText();
                items.append(current);
                current = SceneItem();
            } else if (name == QLatin1String("width") && page) {
                page->setWidth(xml.readElementText().toInt());
            } else if (name == QLatin1String("height") && page) {
                page->setHeight(xml.readElementText().toInt());
            } else if (name == QLatin1String("moveto") || name == QLatin1String("lineto")
                || name == QLatin1String("curveto")) {
                const QString segment = name + QLatin1Char(' ') + xml.readElementText();
                (inClip ? current.clip : current.path).append(segment);
            } else if (name == QLatin1String("closepath")) {
                (inClip ? current.clip : current.path).append(name);
            }
        } else if (xml.isEndElement()
            && (name == QLatin1String("fill_path") || name == QLatin1String("stroke_path"))) {
            items.append(current);
            current = SceneItem();
        }
    }
    return items;
}

// bounding box of segments written as "kind x,y [x,y ...]"
QRectF boundsOf(const QStringList &segments)
{
    double left = 1e9, top = 1e9, right = -1e9, bottom = -1e9;
    for (const QString &segment : segments) {
        const QStringList parts = segment.split(QLatin1Char(' '));
        for (int i = 1; i < parts.size(); ++i) {
            const QStringList xy = parts.at(i).split(QLatin1Char(','));
            if (xy.size() != 2)
                continue;
            left = qMin(left, xy.at(0).toDouble());
            right = qMax(right, xy.at(0).toDouble());
            top = qMin(top, xy.at(1).toDouble());
            bottom = qMax(bottom, xy.at(1).toDouble());
        }
    }
    return left > right ? QRectF() : QRectF(QPointF(left, top), QPointF(right, bottom));
}

// Ghostscript's own rendering of a job, first page, without anti-aliasing
QImage gsRendering(const QString &job, int resolution)
{
    const QString png = job + QStringLiteral(".gs.png");
    QProcess gs;
    gs.setProcessChannelMode(QProcess::MergedChannels);
    gs.start(QStringLiteral("gs"),
        { QStringLiteral("-q"), QStringLiteral("-dBATCH"), QStringLiteral("-dNOPAUSE"),
            QStringLiteral("-dSAFER"), QStringLiteral("-dDOINTERPOLATE"), QStringLiteral("-sDEVICE=png16m"),
            QStringLiteral("-r%1").arg(resolution), QStringLiteral("-dFirstPage=1"),
            QStringLiteral("-dLastPage=1"), QStringLiteral("-sOutputFile=") + png, job });
    if (!gs.waitForFinished(120000) || gs.exitCode() != 0)
        return QImage();
    return QImage(png).convertToFormat(QImage::Format_RGB32);
}

QPainterPath pathOf(const QStringList &segments)
{
    QPainterPath path;
    for (const QString &segment : segments) {
        const QStringList parts = segment.split(QLatin1Char(' '));
        QVector<QPointF> points;
        for (int i = 1; i < parts.size(); ++i) {
            const QStringList xy = parts.at(i).split(QLatin1Char(','));
            if (xy.size() == 2)
                points << QPointF(xy.at(0).toDouble(), xy.at(1).toDouble());
        }
        if (parts.first() == QLatin1String("moveto") && points.size() == 1)
            path.moveTo(points.at(0));
        else if (parts.first() == QLatin1String("lineto") && points.size() == 1)
            path.lineTo(points.at(0));
        else if (parts.first() == QLatin1String("curveto") && points.size() == 3)
            path.cubicTo(points.at(0), points.at(1), points.at(2));
        else if (parts.first() == QLatin1String("closepath"))
            path.closeSubpath();
    }
    return path;
}

// The fills and images of a scene painted on a white page the way the
// scene's reader places them (no anti-aliasing, so that edges compare
// with the interpreter's).
QImage paintScene(const QString &folder, const QVector<SceneItem> &items, const QSize &page)
{
    QImage image(page, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (const SceneItem &item : items) {
        painter.save();
        if (item.clip.size() >= 3)
            painter.setClipPath(pathOf(item.clip));
        if (item.name == QLatin1String("image")) {
            const QXmlStreamAttributes &a = item.attributes;
            auto value = [&a](const char *name) { return a.value(QLatin1String(name)).toDouble(); };
            const double width = value("width");
            const double height = value("height");
            const QTransform transform = QTransform::fromTranslate(0, -height)
                * QTransform(value("xx") / width, value("xy") / width, -value("yx") / height,
                    -value("yy") / height, 0, 0)
                * QTransform::fromTranslate(value("tx"), value("ty"));
            painter.setTransform(transform);
            painter.drawImage(0, 0, QImage(folder + QLatin1Char('/') + item.text));
        } else if (item.name == QLatin1String("fill_path")) {
            QPainterPath path = pathOf(item.path);
            if (item.attributes.value(QLatin1String("rule")) == QLatin1String("even-odd"))
                path.setFillRule(Qt::OddEvenFill);
            else
                path.setFillRule(Qt::WindingFill);
            painter.fillPath(
                path, QColor(QRgb(item.attributes.value(QLatin1String("color")).toUInt(nullptr, 16))));
        }
        painter.restore();
    }
    painter.end();
    return image;
}

// The share of pixels of a that have a pixel of b within one pixel whose
// channels all differ by at most tolerance, taken both ways; pixels white
// in both pages are left out.
double agreement(const QImage &a, const QImage &b, int tolerance)
{
    if (a.size() != b.size())
        return 0;
    auto close = [tolerance](QRgb p, QRgb q) {
        return std::abs(qRed(p) - qRed(q)) <= tolerance && std::abs(qGreen(p) - qGreen(q)) <= tolerance
            && std::abs(qBlue(p) - qBlue(q)) <= tolerance;
    };
    auto near = [&](const QImage &page, int x, int y, QRgb p) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int u = x + dx, v = y + dy;
                if (u >= 0 && v >= 0 && u < page.width() && v < page.height() && close(page.pixel(u, v), p))
                    return true;
            }
        return false;
    };
    qint64 counted = 0, agreeing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (p == 0xffffffffu && q == 0xffffffffu)
                continue;
            ++counted;
            if (near(b, x, y, p) && near(a, x, y, q))
                ++agreeing;
        }
    return counted == 0 ? 1.0 : double(agreeing) / counted;
}

// the processes whose parent is the given one
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &entry : file.readAll().split(' '))
            if (!entry.trimmed().isEmpty())
                children << entry.trimmed().toLongLong();
    return children;
}

bool processAlive(qint64 pid)
{
    // a zombie has ended
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = status.readAll();
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

QStringList workFolders(const QString &folder)
{
    return QDir(folder).entryList({ QStringLiteral(".vexlor-gs-*") }, QDir::Dirs | QDir::Hidden);
}

} // namespace

class tst_vexlorgs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void refusesOtherArguments_data();
    void refusesOtherArguments();
    void firstPageOnly();
    void failures_data();
    void failures();
    void sceneLifeCycle();

    void fillRulesAndColours();
    void strokesInDevicePixels();
    void dashesBecomeSegments();
    void clipsNestAndRestore();
    void textAsOutlines();
    void imagesPlacedAndConverted();
    void imageMaskAndType3Font();
    void separateSourcesAndPatterns();
    void saveRestoreAcrossPages();
    void leftOutIsReported();

    void shadingsAsTheInterpreterPaintsThem();
    void imagesWithASeparateMask();
    void compositeFontsThroughEveryShowOperator();
    void imageClipIsTheClipInForce();
    void fineDashesWithinABudget();
    void helpVersionAndUnknownOptions();
    void endedWithItsInterpreterAndFolder_data();
    void endedWithItsInterpreterAndFolder();

private:
    // runs a PostScript text through the device into a fresh folder
    QVector<SceneItem> scene(
        const QByteArray &postscript, int resolution, QSize *page = nullptr, Run *run = nullptr);
    QTemporaryDir m_dir;
    int m_jobs = 0;
};

void tst_vexlorgs::initTestCase()
{
    QVERIFY2(QFileInfo(devicePath()).isExecutable(), qPrintable(devicePath() + " is not built"));
    QVERIFY(m_dir.isValid());
    QFile::remove(QStringLiteral("/tmp/vexlor-gs-escape.txt"));
}

QVector<SceneItem> tst_vexlorgs::scene(const QByteArray &postscript, int resolution, QSize *page, Run *run)
{
    const QString folder = m_dir.filePath(QString::number(++m_jobs));
    QDir().mkpath(folder);
    QFile job(folder + QStringLiteral("/job.ps"));
    if (!job.open(QIODevice::WriteOnly))
        return {};
    job.write(postscript);
    job.close();
    const Run result
        = runDevice(standardArguments(folder + QStringLiteral("/o.xml"), job.fileName(), resolution));
    if (run)
        *run = result;
    if (result.exitCode != 0)
        qWarning().noquote() << result.output;
    return readScene(folder + QStringLiteral("/o.xml"), page);
}

void tst_vexlorgs::refusesOtherArguments_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("replacement"); // "<drop>" removes, "<add>" appends an entry

    QTest::newRow("nine entries") << 9 << "<drop>";
    QTest::newRow("eleven entries") << 10 << "<add>";
    QTest::newRow("no interpolation switch") << 0 << "-dNOINTERPOLATE";
    QTest::newRow("without -dSAFER") << 2 << "-dNOSAFER";
    QTest::newRow("another device") << 4 << "-sDEVICE=png16m";
    QTest::newRow("resolution missing") << 5 << "-r";
    QTest::newRow("resolution not a number") << 5 << "-rhigh";
    QTest::newRow("resolution zero") << 5 << "-r0";
    QTest::newRow("resolution pair") << 5 << "-r300x300";
    QTest::newRow("resolution too high") << 5 << "-r20000";
    QTest::newRow("dithering entry renamed") << 6 << "-sDither=floyd";
    QTest::newRow("colour job type") << 7 << "-sJobType=color";
    QTest::newRow("output entry without a path") << 8 << "-sOutputFile=";
    QTest::newRow("file before the output entry") << 8 << "job.ps";
    QTest::newRow("empty file name") << 9 << "";
}

void tst_vexlorgs::refusesOtherArguments()
{
    QFETCH(int, index);
    QFETCH(QString, replacement);
    QTemporaryDir dir;
    QFile job(dir.filePath(QStringLiteral("job.ps")));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write("%!PS\n0 0 10 10 rectfill showpage\n");
    job.close();
    const QString sceneFile = dir.filePath(QStringLiteral("o.xml"));
    QStringList arguments = standardArguments(sceneFile, job.fileName());
    if (replacement == QLatin1String("<drop>"))
        arguments.removeAt(index);
    else if (replacement == QLatin1String("<add>"))
        arguments.append(QStringLiteral("-dQUIET"));
    else
        arguments[index] = replacement;

    const Run run = runDevice(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.output.contains(QLatin1String("usage: vexlor-gs")), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(sceneFile));

    // the same list unchanged is accepted
    QCOMPARE(runDevice(standardArguments(sceneFile, job.fileName())).exitCode, 0);
    QVERIFY(QFileInfo::exists(sceneFile));
}

void tst_vexlorgs::firstPageOnly()
{
    QSize page;
    Run run;
    // later pages are never interpreted: the error on page 2 goes unseen
    QVector<SceneItem> items
        = scene("%!PS-Adobe-3.0\n%%Pages: 3\n%%EndComments\n%%Page: 1 1\n"
                "1 0 0 setrgbcolor 10 10 50 50 rectfill showpage\n"
                "%%Page: 2 2\n0 0 1 setrgbcolor 100 100 50 50 rectfill nosuchop showpage\n"
                "%%Page: 3 3\n0 1 0 setrgbcolor 200 200 50 50 rectfill showpage\n%%EOF\n",
            72, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.output.contains(QLatin1String("the document has 3 pages; only the first page was drawn.")),
        qPrintable(run.output));
    QVERIFY2(!run.output.contains(QLatin1String("Error")), qPrintable(run.output));
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.first().attributes.value(QLatin1String("color")).toString(), QStringLiteral("0xFF0000"));

    // the count from the trailer, and from the page comments when there is
    // no count; the pages of an embedded document do not count
    scene("%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n%%Page: 1 1\n0 0 5 5 rectfill showpage\n"
          "%%Page: 2 2\nshowpage\n%%Trailer\n%%Pages: 2\n%%EOF\n",
        72, &page, &run);
    QVERIFY2(run.output.contains(QLatin1String("the document has 2 pages")), qPrintable(run.output));
    scene("%!PS-Adobe-3.0\n%%Page: 1 1\n%%BeginDocument: fig.eps\n%%Page: 1 1\n%%EndDocument\n"
          "0 0 5 5 rectfill showpage\n%%Page: 2 2\nshowpage\n%%Page: 3 3\nshowpage\n%%Page: 4 4\nshowpage\n",
        72, &page, &run);
    QVERIFY2(run.output.contains(QLatin1String("the document has 4 pages")), qPrintable(run.output));

    // one page, or no comments at all, says nothing about pages
    scene("%!PS\n10 10 50 50 rectfill showpage\n", 72, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.output.contains(QLatin1String("pages")), qPrintable(run.output));
    items = scene("%!PS\n10 10 50 50 rectfill showpage\n20 20 50 50 rectfill showpage\n", 72, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(items.size(), 1);
    QVERIFY2(!run.output.contains(QLatin1String("pages")), qPrintable(run.output));
}

void tst_vexlorgs::failures_data()
{
    QTest::addColumn<QByteArray>("content"); // "<missing>": no file at all
    QTest::addColumn<QString>("message");

    QTest::newRow("undefined name") << QByteArray("%!PS\n0 0 10 10 rectfill\n/x nosuchop\nshowpage\n")
                                    << "Error: /undefined in nosuchop";
    QTest::newRow("stack underflow on page 1")
        << QByteArray("%!PS\n0 0 10 10 rectfill\nmoveto\nshowpage\n") << "Error: /stackunderflow";
    QTest::newRow("unterminated string") << QByteArray("%!PS\n(never closed\n") << "Error: /syntaxerror";
    QTest::newRow("empty file") << QByteArray() << "is empty";
    QTest::newRow("blank file") << QByteArray(" \n\n\t\n") << "is empty";
    QTest::newRow("missing file") << QByteArray("<missing>") << "Error: /undefinedfilename";
    QTest::newRow("writing outside the output folder")
        << QByteArray("%!PS\n(/tmp/vexlor-gs-escape.txt) (w) file closefile showpage\n")
        << "Error: /invalidfileaccess";
    QTest::newRow("writing beside the job")
        << QByteArray("%!PS\n(escape.txt) (w) file closefile showpage\n") << "Error: /invalidfileaccess";
}

void tst_vexlorgs::failures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString jobFile = dir.filePath(QStringLiteral("job.ps"));
    if (content != "<missing>") {
        QFile job(jobFile);
        QVERIFY(job.open(QIODevice::WriteOnly));
        job.write(content);
    }
    // the scene of an earlier job must not survive a failed one
    const QString sceneFile = dir.filePath(QStringLiteral("o.xml"));
    QFile stale(sceneFile);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("<scene/>");
    stale.close();

    const Run run = runDevice(standardArguments(sceneFile, jobFile));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(!QFileInfo::exists(sceneFile));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/vexlor-gs-escape.txt")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("escape.txt"))));
    // nothing half-written is left beside it
    const QStringList left
        = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left, content == "<missing>" ? QStringList() : QStringList { QStringLiteral("job.ps") });
}

void tst_vexlorgs::sceneLifeCycle()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    QFile job(folder + QStringLiteral("/job.ps"));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write("%!PS\n0 0 1 setrgbcolor 0 0 20 20 rectfill\n"
              "gsave 10 10 translate 40 40 scale 2 1 8 [2 0 0 1 0 0] <ff0000> false 3 colorimage grestore\n"
              "showpage\n");
    job.close();
    // an earlier job left a scene and three images
    for (const QString &name : { QStringLiteral("o.xml"), QStringLiteral("o_img1.png"), QStringLiteral("o_img7.pgm"),
             QStringLiteral("o_img8.ppm") }) {
        QFile old(folder + QLatin1Char('/') + name);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    const Run run = runDevice(standardArguments(folder + QStringLiteral("/o.xml"), job.fileName()));
    QCOMPARE(run.exitCode, 0);
    // exactly the new scene and its one image, no temporary files
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
        QStringList({ QStringLiteral("job.ps"), QStringLiteral("o.xml"), QStringLiteral("o_img1.ppm") }));
    const QVector<SceneItem> items = readScene(folder + QStringLiteral("/o.xml"));
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(1).text, QStringLiteral("o_img1.ppm"));
    QVERIFY(!QImage(folder + QStringLiteral("/o_img1.ppm")).isNull());

    // a scene in a folder that does not exist is refused before any work
    const Run nowhere
        = runDevice(standardArguments(folder + QStringLiteral("/no/such/o.xml"), job.fileName()));
    QCOMPARE(nowhere.exitCode, 1);
    QVERIFY2(nowhere.output.contains(QLatin1String("does not exist")), qPrintable(nowhere.output));
}

void tst_vexlorgs::fillRulesAndColours()
{
    QSize page;
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [200 100] >> setpagedevice\n"
                "0.5 setgray 0 0 10 10 rectfill\n"
                "1 0 0 setrgbcolor newpath 10 10 moveto 20 10 lineto 20 20 lineto eofill\n"
                "0 0 0 1 setcmykcolor newpath 30 30 moveto 40 30 lineto 40 40 lineto fill\n"
                "[/Indexed /DeviceRGB 1 <000000 00ff00>] setcolorspace 1 setcolor\n"
                "50 50 10 10 rectfill\n"
                "[/Separation /Spot /DeviceRGB { 0 0 3 -1 roll }] setcolorspace 1 setcolor\n"
                "60 60 10 10 rectfill\n"
                "showpage\n",
            144, &page);
    QCOMPARE(page, QSize(400, 200));
    QCOMPARE(items.size(), 5);
    QCOMPARE(items.at(0).attributes.value(QLatin1String("rule")).toString(), QStringLiteral("nonzero"));
    QCOMPARE(items.at(1).attributes.value(QLatin1String("rule")).toString(), QStringLiteral("even-odd"));
    const QString grey = items.at(0).attributes.value(QLatin1String("color")).toString();
    QVERIFY2(grey == QLatin1String("0x808080") || grey == QLatin1String("0x7F7F7F"), qPrintable(grey));
    QCOMPARE(items.at(1).attributes.value(QLatin1String("color")).toString(), QStringLiteral("0xFF0000"));
    // black ink through the interpreter's CMYK profile is a very dark grey, not pure black
    const QRgb black
        = items.at(2).attributes.value(QLatin1String("color")).toString().mid(2).toUInt(nullptr, 16);
    QVERIFY(qRed(black) < 80 && qGreen(black) < 80 && qBlue(black) < 80);
    QCOMPARE(items.at(3).attributes.value(QLatin1String("color")).toString(), QStringLiteral("0x00FF00"));
    QCOMPARE(items.at(4).attributes.value(QLatin1String("color")).toString(), QStringLiteral("0x0000FF"));
    // device pixels, y downwards: the unit square at (0,0)-(10,10) points lies at the page's bottom
    QCOMPARE(boundsOf(items.at(0).path), QRectF(0, 180, 20, 20));
}

void tst_vexlorgs::strokesInDevicePixels()
{
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [612 792] >> setpagedevice\n10 setlinewidth 1 setlinecap 2 setlinejoin 3 "
                "setmiterlimit\n"
                "newpath 72 72 moveto 144 72 lineto stroke\n"
                "gsave 2 2 scale 0 setlinejoin 0 setlinecap newpath 36 72 moveto 72 72 lineto"
                " closepath stroke grestore\n"
                "0 0 100 50 rectstroke\n"
                "showpage\n",
            144);
    QCOMPARE(items.size(), 3);
    const QXmlStreamAttributes &first = items.at(0).attributes;
    QCOMPARE(first.value(QLatin1String("width")).toString(), QStringLiteral("20"));
    QCOMPARE(first.value(QLatin1String("cap")).toString(), QStringLiteral("1"));
    QCOMPARE(first.value(QLatin1String("join")).toString(), QStringLiteral("2"));
    QCOMPARE(first.value(QLatin1String("miter")).toString(), QStringLiteral("3"));
    QCOMPARE(items.at(0).path,
        QStringList({ QStringLiteral("moveto 144,1440"), QStringLiteral("lineto 288,1440") }));
    QCOMPARE(items.at(1).attributes.value(QLatin1String("width")).toString(), QStringLiteral("40"));
    QCOMPARE(items.at(1).path.last(), QStringLiteral("closepath"));
    QCOMPARE(boundsOf(items.at(2).path), QRectF(0, 1484, 200, 100));
}

void tst_vexlorgs::dashesBecomeSegments()
{
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [612 792] >> setpagedevice\n2 setlinewidth [10 5] 0 setdash newpath 0 "
                "100 moveto 60 100 lineto stroke\n"
                "[] 0 setdash newpath 0 200 moveto 60 200 lineto stroke showpage\n",
            72);
    QCOMPARE(items.size(), 2);
    // 60 points of 10 on, 5 off: dashes at 0, 15, 30 and 45
    const QStringList dashed = items.at(0).path;
    QCOMPARE(dashed.count(QStringLiteral("moveto 0,692")) + dashed.count(QStringLiteral("moveto 15,692"))
            + dashed.count(QStringLiteral("moveto 30,692")) + dashed.count(QStringLiteral("moveto 45,692")),
        4);
    QCOMPARE(dashed.filter(QStringLiteral("moveto")).size(), 4);
    QVERIFY(dashed.contains(QStringLiteral("lineto 55,692")));
    QCOMPARE(items.at(1).path.size(), 2);
}

void tst_vexlorgs::clipsNestAndRestore()
{
    QSize page;
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [300 300] >> setpagedevice\n"
                "gsave newpath 0 0 moveto 200 0 lineto 200 200 lineto 0 200 lineto closepath clip\n"
                "newpath 100 100 50 0 360 arc clip\n"
                "0 0 300 300 rectfill\n"
                "grestore 0 0 300 300 rectfill\n"
                "gsave 10 10 20 20 rectclip 20 20 20 20 rectclip 0 0 300 300 rectfill grestore\n"
                "gsave 0 0 10 10 rectclip 100 100 10 10 rectclip 0 0 300 300 rectfill grestore\n"
                "initclip 0 0 5 5 rectfill showpage\n",
            72, &page);
    QCOMPARE(items.size(), 4); // the fill inside two disjoint clips paints nothing
    const QRectF circle = boundsOf(items.at(0).clip);
    QVERIFY2(qAbs(circle.left() - 50) < 1.5 && qAbs(circle.right() - 150) < 1.5,
        qPrintable(QString::number(circle.left())));
    QVERIFY(qAbs(circle.top() - 150) < 1.5 && qAbs(circle.bottom() - 250) < 1.5);
    // after grestore the page is the clip again
    QCOMPARE(boundsOf(items.at(1).clip), QRectF(0, 0, 300, 300));
    const QRectF square = boundsOf(items.at(2).clip);
    QCOMPARE(square, QRectF(20, 270, 10, 10));
    QCOMPARE(boundsOf(items.at(3).clip), QRectF(0, 0, 300, 300));
}

void tst_vexlorgs::textAsOutlines()
{
    const QByteArray text = "%!PS\n/Times-Roman findfont 20 scalefont setfont 0 0 1 setrgbcolor\n"
                            "100 100 moveto (HIH) show\n"
                            "100 200 moveto 10 0 (HIH) ashow\n"
                            "100 300 moveto (HIH) [30 0 30 0 30 0] xyshow\n"
                            "100 400 moveto /H glyphshow\n"
                            "showpage\n";
    const QVector<SceneItem> items = scene(text, 72);
    // one filled outline per glyph, in the text colour
    QCOMPARE(items.size(), 10);
    for (const SceneItem &item : items) {
        QCOMPARE(item.name, QStringLiteral("fill_path"));
        QCOMPARE(item.attributes.value(QLatin1String("color")).toString(), QStringLiteral("0x0000FF"));
        QVERIFY(item.path.filter(QStringLiteral("curveto")).size()
                + item.path.filter(QStringLiteral("lineto")).size()
            > 3);
    }
    // the spacing of each show operator: the third H of each line
    const double plain = boundsOf(items.at(2).path).left();
    const double spaced = boundsOf(items.at(5).path).left();
    const double placed = boundsOf(items.at(8).path).left();
    QVERIFY2(qAbs(spaced - plain - 20) < 0.5, qPrintable(QStringLiteral("%1 %2").arg(plain).arg(spaced)));
    QVERIFY2(
        qAbs(placed - boundsOf(items.at(6).path).left() - 60) < 0.5, qPrintable(QString::number(placed)));
}

void tst_vexlorgs::imagesPlacedAndConverted()
{
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [200 200] >> setpagedevice\n"
                "gsave 100 50 translate 30 rotate 40 20 scale\n"
                "2 1 8 [2 0 0 1 0 0] <ff0000 0000ff> false 3 colorimage grestore\n"
                "gsave 0 100 translate 20 20 scale 2 2 1 [2 0 0 -2 0 2] <40 80> image grestore\n"
                "gsave 150 150 translate 20 20 scale /DeviceCMYK setcolorspace\n"
                "<< /ImageType 1 /Width 1 /Height 1 /BitsPerComponent 8 /Decode [1 0 1 0 1 0 1 0]\n"
                "   /ImageMatrix [1 0 0 1 0 0] /DataSource <ffffffff> >> image grestore\n"
                "showpage\n",
            72);
    QCOMPARE(items.size(), 3);
    // reproduce the reader's placement: pixel (x, y) of the picture goes to
    // (m11 x + m21 (y - h) + tx, m12 x + m22 (y - h) + ty)
    const QXmlStreamAttributes &a = items.at(0).attributes;
    const double w = a.value(QLatin1String("width")).toDouble();
    const double h = a.value(QLatin1String("height")).toDouble();
    const double m11 = a.value(QLatin1String("xx")).toDouble() / w,
                 m12 = a.value(QLatin1String("xy")).toDouble() / w;
    const double m21 = -a.value(QLatin1String("yx")).toDouble() / h,
                 m22 = -a.value(QLatin1String("yy")).toDouble() / h;
    auto place = [&](double x, double y) {
        return QPointF(m11 * x + m21 * (y - h) + a.value(QLatin1String("tx")).toDouble(),
            m12 * x + m22 * (y - h) + a.value(QLatin1String("ty")).toDouble());
    };
    // the image's origin is at (100, 50) points, i.e. (100, 150) on the page y downwards
    const QPointF origin = place(0, 0);
    QVERIFY2(QLineF(origin, QPointF(100, 150)).length() < 0.01,
        qPrintable(QStringLiteral("%1,%2").arg(origin.x()).arg(origin.y())));
    // its width runs 40 points along 30 degrees, upwards on the page
    const QPointF across = place(w, 0) - origin;
    QVERIFY(qAbs(across.x() - 40 * std::cos(M_PI / 6)) < 0.01
        && qAbs(across.y() + 40 * std::sin(M_PI / 6)) < 0.01);

    const QImage rgb(folder + QLatin1Char('/') + items.at(0).text);
    QVERIFY(!rgb.isNull());
    QVERIFY(qRed(rgb.pixel(0, 0)) > 215 && qBlue(rgb.pixel(0, 0)) < 40);
    QVERIFY(qBlue(rgb.pixel(rgb.width() - 1, 0)) > 215 && qRed(rgb.pixel(rgb.width() - 1, 0)) < 40);
    const QImage grey(folder + QLatin1Char('/') + items.at(1).text);
    // the picture holds the rows in the order of the data; its placement flips them
    QVERIFY(qGray(grey.pixel(0, 0)) < 40);
    QVERIFY(qGray(grey.pixel(grey.width() - 1, 0)) > 215);
    QVERIFY(qGray(grey.pixel(0, grey.height() - 1)) > 215);
    QVERIFY(qGray(grey.pixel(grey.width() - 1, grey.height() - 1)) < 40);
    // a colour picture keeps its colour file; a grey one is handed over as 8-bit
    // grey, which the scene's reader widens to 32 bits: every pixel must come
    // back as the grey it was, in all three channels
    QVERIFY(rgb.format() != QImage::Format_Grayscale8);
    QCOMPARE(grey.format(), QImage::Format_Grayscale8);
    const QImage widened = grey.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const int g = grey.constScanLine(y)[x];
            QCOMPARE(widened.pixel(x, y), qRgb(g, g, g));
        }
    }
    // a decode array that inverts CMYK: all ones become no ink, white paper
    const QImage cmyk(folder + QLatin1Char('/') + items.at(2).text);
    QVERIFY(qGray(cmyk.pixel(0, 0)) > 250);
}

void tst_vexlorgs::imageMaskAndType3Font()
{
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [100 100] >> setpagedevice\n"
                "/Boxes 8 dict begin /FontType 3 def /FontMatrix [0.01 0 0 0.01 0 0] def /FontBBox [0 0 100 "
                "100] def\n"
                " /Encoding 256 array def 0 1 255 { Encoding exch /.notdef put } for Encoding 65 /A put\n"
                " /BuildChar { pop 100 0 0 0 100 100 setcachedevice 10 10 80 80 rectfill\n"
                "   gsave 80 80 scale 2 2 true [2 0 0 -2 0 2] <80 40> imagemask grestore } def\n"
                " currentdict end definefont pop\n"
                "/Boxes findfont 20 scalefont setfont 0 1 0 setrgbcolor 10 10 moveto (AA) show\n"
                "showpage\n",
            72);
    // each glyph: its box and its mask, drawn every time (no glyph cache)
    QCOMPARE(items.size(), 4);
    QCOMPARE(items.at(0).attributes.value(QLatin1String("color")).toString(), QStringLiteral("0x00FF00"));
    QCOMPARE(boundsOf(items.at(0).path), QRectF(12, 72, 16, 16));
    QCOMPARE(boundsOf(items.at(2).path), QRectF(32, 72, 16, 16));
    const QImage mask(folder + QLatin1Char('/') + items.at(1).text);
    QVERIFY(mask.hasAlphaChannel());
    // polarity true: the set bit paints in the current colour, the clear one is transparent
    QCOMPARE(mask.pixel(0, 0), 0xff00ff00u);
    QCOMPARE(qAlpha(mask.pixel(mask.width() - 1, 0)), 0);
}

void tst_vexlorgs::separateSourcesAndPatterns()
{
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [100 100] >> setpagedevice\n"
                // one procedure per colour, each reading its row from the file in turn
                "/r 2 string def /g 2 string def /b 2 string def\n"
                "gsave 10 10 translate 40 40 scale 2 1 8 [2 0 0 1 0 0]\n"
                "{ currentfile r readhexstring pop } { currentfile g readhexstring pop } { currentfile b "
                "readhexstring pop }\n"
                "true 3 colorimage\nff00 00ff 0000\ngrestore\n"
                // an uncoloured tiling pattern painted in red over a 20 x 20 square
                "<< /PatternType 1 /PaintType 2 /TilingType 1 /BBox [0 0 10 10] /XStep 10 /YStep 10\n"
                "   /PaintProc { pop 0 0 5 5 rectfill } >> matrix makepattern /P exch def\n"
                "[/Pattern /DeviceRGB] setcolorspace 1 0 0 P setcolor 60 60 20 20 rectfill\n"
                "showpage\n",
            72);
    QVERIFY(items.size() >= 5);
    const QImage picture(folder + QLatin1Char('/') + items.at(0).text);
    QVERIFY(!picture.isNull());
    // first sample: red ff, green 00, blue 00; second: 00 ff 00
    QVERIFY(qRed(picture.pixel(0, 0)) > 215 && qGreen(picture.pixel(0, 0)) < 40);
    QVERIFY(qGreen(picture.pixel(picture.width() - 1, 0)) > 215
        && qRed(picture.pixel(picture.width() - 1, 0)) < 40);
    // the pattern's cells: red squares clipped to the filled square
    int cells = 0;
    for (int i = 1; i < items.size(); ++i) {
        QCOMPARE(items.at(i).attributes.value(QLatin1String("color")).toString(), QStringLiteral("0xFF0000"));
        const QRectF clip = boundsOf(items.at(i).clip);
        QVERIFY(QRectF(59.5, 19.5, 21, 21).contains(clip));
        ++cells;
    }
    QVERIFY2(cells >= 4 && cells <= 16, qPrintable(QString::number(cells)));
}

void tst_vexlorgs::saveRestoreAcrossPages()
{
    Run run;
    const QVector<SceneItem> items = scene(
        "%!PS\n%%Pages: 3\n/pg save def 1 0 0 setrgbcolor 0 0 10 10 rectfill showpage pg restore\n"
        "/pg save def 0 0 1 setrgbcolor 20 20 10 10 rectfill showpage pg restore\n"
        "/pg save def << /PageSize [612 792] >> setpagedevice 30 30 10 10 rectfill showpage pg restore\n",
        72, nullptr, &run);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(items.size(), 1);
    QVERIFY2(run.output.contains(QLatin1String("the document has 3 pages")), qPrintable(run.output));
}

void tst_vexlorgs::leftOutIsReported()
{
    // a scene holds a bounded number of items; the rest of the page is
    // reported on the one "Not drawn: " line, with the other omissions
    qputenv("VEXLOR_GS_MAX_ITEMS", "50");
    Run run;
    const QVector<SceneItem> items
        = scene("%!PS\n0 1 99 { 4 mul 10 3 3 rectfill } for\n"
                "[1e-30 1e-30] 0 setdash 10 100 moveto 200 100 lineto stroke showpage\n",
            72, nullptr, &run);
    qunsetenv("VEXLOR_GS_MAX_ITEMS");
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(items.size(), 50);
    // the first fifty, in order
    QCOMPARE(boundsOf(items.last().path).left(), 49 * 4.0);
    const QStringList lines = run.output.split(QLatin1Char('\n')).filter(QStringLiteral("Not drawn: "));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("Not drawn: ")), qPrintable(run.output));
    QVERIFY2(lines.first().contains(QLatin1String("everything after the scene's limit of items")),
        qPrintable(run.output));
}

void tst_vexlorgs::shadingsAsTheInterpreterPaintsThem()
{
    const int resolution = 100;
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    QSize page;
    Run run;
    const QVector<SceneItem> items = scene(
        "%!PS\n<< /PageSize [400 400] >> setpagedevice\n"
        // axial, extended, inside a rectangular clip
        "gsave 20 300 moveto 180 0 rlineto 0 80 rlineto -180 0 rlineto closepath clip\n"
        "<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [20 0 200 0] /Extend [true true]\n"
        "   /Function << /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> >> shfill grestore\n"
        // radial, not extended: a disc, transparent around it
        "gsave << /ShadingType 3 /ColorSpace /DeviceRGB /Coords [300 320 0 300 320 60]\n"
        "   /Function << /FunctionType 2 /Domain [0 1] /C0 [1 1 0] /C1 [0 0.5 0] /N 1 >> >> shfill grestore\n"
        // a free-form triangle mesh
        "gsave << /ShadingType 4 /ColorSpace /DeviceRGB\n"
        "   /DataSource [0 20 20 1 0 0  0 180 20 0 1 0  0 100 200 0 0 1] >> shfill grestore\n"
        // a shading pattern filling a rectangle, in grey
        "<< /PatternType 2 /Shading << /ShadingType 2 /ColorSpace /DeviceGray /Coords [220 0 380 0]\n"
        "   /Function << /FunctionType 2 /Domain [0 1] /C0 [0] /C1 [0.9] /N 1 >> /Extend [true true] >> >>\n"
        "matrix makepattern setpattern 220 40 160 100 rectfill\n"
        // a mesh read from the job itself, which goes on after it
        "<< /ShadingType 4 /ColorSpace /DeviceGray /BitsPerCoordinate 8 /BitsPerComponent 8 /BitsPerFlag 8\n"
        "   /Decode [300 380 160 240 0 1] /DataSource currentfile /ASCIIHexDecode filter >> shfill\n"
        "00 00 00 00  00 ff 00 80  00 80 ff ff>\n"
        "showpage\n",
        resolution, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.output.contains(QLatin1String("Not drawn")), qPrintable(run.output));
    QCOMPARE(items.size(), 5);
    for (const SceneItem &item : items)
        QCOMPARE(item.name, QStringLiteral("image"));

    // the axial shading fills its clip, which the image keeps as its box
    const QImage axial(folder + QLatin1Char('/') + items.at(0).text);
    QVERIFY(!axial.isNull());
    // 180 x 80 points at 100 dpi, in whole pixels
    QVERIFY(std::abs(items.at(0).attributes.value(QLatin1String("xx")).toDouble() - 250) <= 1);
    QVERIFY(std::abs(items.at(0).attributes.value(QLatin1String("yy")).toDouble() + 111) <= 1);
    QVERIFY(qRed(axial.pixel(2, 50)) > 240 && qBlue(axial.pixel(2, 50)) < 15);
    QVERIFY(qBlue(axial.pixel(axial.width() - 3, 50)) > 240 && qRed(axial.pixel(axial.width() - 3, 50)) < 15);
    // the disc's corners are transparent, its centre yellow
    const QImage disc(folder + QLatin1Char('/') + items.at(1).text);
    QVERIFY(disc.hasAlphaChannel());
    QCOMPARE(qAlpha(disc.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(disc.pixel(disc.width() - 1, disc.height() - 1)), 0);
    const QRgb centre = disc.pixel(disc.width() / 2, disc.height() / 2);
    QVERIFY(qAlpha(centre) == 255 && qRed(centre) > 230 && qGreen(centre) > 230 && qBlue(centre) < 20);
    // only the painted part is kept: the disc's picture is about its diameter
    QVERIFY2(std::abs(disc.width() - 167) <= 3, qPrintable(QString::number(disc.width())));

    // and the whole page is what the interpreter paints
    const QImage ours = paintScene(folder, items, page);
    const QImage theirs = gsRendering(folder + QStringLiteral("/job.ps"), resolution);
    QVERIFY(!theirs.isNull());
    const double agreeing = agreement(ours, theirs, 8);
    QVERIFY2(agreeing > 0.995, qPrintable(QString::number(agreeing)));
}

void tst_vexlorgs::imagesWithASeparateMask()
{
    const int resolution = 100;
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    QSize page;
    Run run;
    const QVector<SceneItem> items
        = scene("%!PS\n<< /PageSize [400 300] >> setpagedevice /DeviceRGB setcolorspace\n"
                // a separate mask of another resolution: a diamond
                "gsave 20 60 translate 160 160 scale\n"
                "<< /ImageType 3 /InterleaveType 3\n"
                "   /DataDict << /ImageType 1 /Width 2 /Height 2 /BitsPerComponent 8 /Decode [0 1 0 1 0 1]\n"
                "      /ImageMatrix [2 0 0 -2 0 2] /DataSource <ff0000 00ff00 0000ff ffff00> >>\n"
                "   /MaskDict << /ImageType 1 /Width 8 /Height 8 /BitsPerComponent 1 /Decode [1 0]\n"
                "      /ImageMatrix [8 0 0 -8 0 8] /DataSource <183c7effff7e3c18> >> >> image grestore\n"
                // the mask as the first sample of each pixel, read from the job itself
                "gsave 220 60 translate 150 100 scale\n"
                "<< /ImageType 3 /InterleaveType 1\n"
                "   /DataDict << /ImageType 1 /Width 3 /Height 2 /BitsPerComponent 8 /Decode [0 1 0 1 0 1]\n"
                "      /ImageMatrix [3 0 0 -2 0 2] /DataSource currentfile /ASCIIHexDecode filter >>\n"
                "   /MaskDict << /ImageType 1 /Width 3 /Height 2 /BitsPerComponent 8 /Decode [0 1]\n"
                "      /ImageMatrix [3 0 0 -2 0 2] >> >> image\n"
                "ffff0000 0000ff00 ff0000ff\nff808080 00000000 ffff8000>\ngrestore\n"
                // what follows the image data is still read as the job
                "0 0 1 setrgbcolor 20 250 360 20 rectfill\n"
                "showpage\n",
            resolution, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.output.contains(QLatin1String("Not drawn")), qPrintable(run.output));
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.at(2).name, QStringLiteral("fill_path"));
    // the diamond's corners are transparent
    const QImage diamond(folder + QLatin1Char('/') + items.at(0).text);
    QVERIFY(diamond.hasAlphaChannel());
    QCOMPARE(qAlpha(diamond.pixel(1, 1)), 0);
    QCOMPARE(qAlpha(diamond.pixel(diamond.width() / 2, diamond.height() / 2)), 255);

    const QImage ours = paintScene(folder, items, page);
    const QImage theirs = gsRendering(folder + QStringLiteral("/job.ps"), resolution);
    QVERIFY(!theirs.isNull());
    const double agreeing = agreement(ours, theirs, 8);
    QVERIFY2(agreeing > 0.995, qPrintable(QString::number(agreeing)));
}

void tst_vexlorgs::compositeFontsThroughEveryShowOperator()
{
    const int resolution = 100;
    const QString folder = m_dir.filePath(QString::number(m_jobs + 1));
    QSize page;
    Run run;
    const QVector<SceneItem> items = scene(
        "%!PS\n<< /PageSize [420 360] >> setpagedevice\n"
        "/T0 << /FontType 0 /FMapType 2 /FontMatrix [1 0 0 1 0 0] /Encoding [0 1 2]\n"
        "  /FDepVector [ /Helvetica findfont /Times-Bold findfont /Courier findfont ] >> definefont pop\n"
        // a CIDFont of glyph procedures, through a CMap
        "/CIDInit /ProcSet findresource pop\n"
        "20 dict begin /CIDFontName /Boxes def /CIDFontType 1 def /FontMatrix [0.001 0 0 0.001 0 0] def\n"
        "  /FontBBox [0 0 1000 1000] def /CIDCount 10 def\n"
        "  /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> def\n"
        "  /BuildGlyph { exch pop 700 0 0 0 600 600 setcachedevice 0 0 600 4 -1 roll 100 mul 100 add\n"
        "    rectfill } bind def currentdict end /Boxes exch /CIDFont defineresource pop\n"
        "/B0 /Identity-H [/Boxes /CIDFont findresource] composefont pop\n"
        "/T0 findfont 24 scalefont setfont\n"
        "20 320 moveto <0048 0065 016C 016C 026F> show\n"
        "20 290 moveto 4 0 <0048 0065 016C 016C 026F> ashow\n"
        "20 260 moveto 10 0 16#020 <0041 0020 0142 0020 0243> widthshow\n"
        "20 230 moveto 10 0 16#020 3 0 <0041 0020 0142 0020 0243> awidthshow\n"
        "20 200 moveto <0041 0142 0243 0044> [30 40 50 60] xshow\n"
        "20 170 moveto <0041 0142 0243 0044> [30 5 40 -5 50 5 60 0] xyshow\n"
        "300 60 moveto <0041 0142 0243> [20 20 20] yshow\n"
        "gsave 250 220 translate 30 rotate 0 0 moveto <0048 0069> [40 0] xshow grestore\n"
        "/B0 findfont 30 scalefont setfont 20 60 moveto <0001 0002 0003> [40 0 40 0 40 0] xyshow\n"
        "20 20 moveto 10 0 <0000 0004> ashow\n"
        "showpage\n",
        resolution, &page, &run);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.output.contains(QLatin1String("Not drawn")), qPrintable(run.output));
    // every glyph that has an outline (spaces have none) is a filled outline
    QCOMPARE(items.size(), 34);
    for (const SceneItem &item : items)
        QCOMPARE(item.name, QStringLiteral("fill_path"));
    const QImage ours = paintScene(folder, items, page);
    const QImage theirs = gsRendering(folder + QStringLiteral("/job.ps"), resolution);
    QVERIFY(!theirs.isNull());
    const double agreeing = agreement(ours, theirs, 8);
    QVERIFY2(agreeing > 0.99, qPrintable(QString::number(agreeing)));
}

void tst_vexlorgs::imageClipIsTheClipInForce()
{
    // a page of 48 x 36 inches: the clip in force is the page, larger than
    // the image and than the table; the image goes without a clip
    const QString image
        = QStringLiteral("gsave %1 translate 100 100 scale 2 2 8 [2 0 0 -2 0 2] <00804020> image "
                         "grestore\n");
    QSize page;
    QVector<SceneItem> items = scene("%!PS\n<< /PageSize [3456 2592] >> setpagedevice\n"
            + image.arg(QStringLiteral("1000 1000")).toLatin1() + "showpage\n",
        10, &page);
    QCOMPARE(page, QSize(480, 360));
    QCOMPARE(items.size(), 1);
    QVERIFY2(items.first().clip.isEmpty(), qPrintable(items.first().clip.join(QLatin1Char(' '))));

    // a rectangle that cuts the image: the overlap of the two
    items = scene("%!PS\n<< /PageSize [3456 2592] >> setpagedevice\n1050 0 3000 3000 rectclip\n"
            + image.arg(QStringLiteral("1000 1000")).toLatin1() + "showpage\n",
        10, &page);
    QCOMPARE(items.size(), 1);
    const QRectF overlap = boundsOf(items.first().clip);
    const QRectF expected(
        QPointF(1050 / 7.2, 2592 / 7.2 - 1100 / 7.2), QPointF(1100 / 7.2, 2592 / 7.2 - 1000 / 7.2));
    QVERIFY2(std::abs(overlap.left() - expected.left()) < 0.01
            && std::abs(overlap.top() - expected.top()) < 0.01
            && std::abs(overlap.right() - expected.right()) < 0.01
            && std::abs(overlap.bottom() - expected.bottom()) < 0.01,
        qPrintable(QStringLiteral("%1 %2 %3 %4")
                       .arg(overlap.left())
                       .arg(overlap.top())
                       .arg(overlap.right())
                       .arg(overlap.bottom())));

    // any other shape stays as it is
    items = scene("%!PS\n<< /PageSize [3456 2592] >> setpagedevice\n"
                  "newpath 1050 1050 40 0 360 arc clip newpath\n"
            + image.arg(QStringLiteral("1000 1000")).toLatin1() + "showpage\n",
        10, &page);
    QCOMPARE(items.size(), 1);
    QVERIFY(items.first().clip.filter(QStringLiteral("curveto")).size() >= 4);
}

void tst_vexlorgs::fineDashesWithinABudget()
{
    // Dashes far finer than a pixel would make billions of pieces: the
    // stroke is drawn solid, at once, and reported
    QElapsedTimer clock;
    clock.start();
    Run run;
    QVector<SceneItem> items = scene("%!PS\n[1e-30 1e-30] 0 setdash 100 100 moveto 400 400 lineto stroke\n"
                                     "[0.001] 0 setdash 100 400 moveto 400 400 lineto stroke\n"
                                     // a usual pattern is still cut into its dashes
                                     "[10 5] 0 setdash 100 500 moveto 160 500 lineto stroke showpage\n",
        600, nullptr, &run);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.at(0).path.size(), 2);
    QCOMPARE(items.at(1).path.size(), 2);
    QCOMPARE(items.at(2).path.filter(QStringLiteral("moveto")).size(), 4);
    QVERIFY2(run.output.contains(QLatin1String("Not drawn: 2 dash patterns too fine to cut (drawn solid)")),
        qPrintable(run.output));
}

void tst_vexlorgs::helpVersionAndUnknownOptions()
{
    Run run = runDevice({ QStringLiteral("--help") });
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.output.startsWith(QLatin1String("usage: vexlor-gs -dDOINTERPOLATE")));
    QVERIFY(run.output.contains(QLatin1String("--version")));
    run = runDevice({ QStringLiteral("--version") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, QStringLiteral("vexlor-gs " VEXLOR_VERSION "\n"));
    for (const QStringList &arguments : { QStringList { QStringLiteral("--frobnicate") },
             QStringList { QStringLiteral("--help"), QStringLiteral("--verbose") } }) {
        run = runDevice(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.output.contains(QLatin1String("unknown option \"")), qPrintable(run.output));
    }

    // the ten entries still take a job whose name looks like an option
    QTemporaryDir dir;
    QFile job(dir.filePath(QStringLiteral("--version")));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write("%!PS\n0 0 10 10 rectfill showpage\n");
    job.close();
    QDir::setCurrent(dir.path());
    run = runDevice(standardArguments(dir.filePath(QStringLiteral("o.xml")), QStringLiteral("--version")));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readScene(dir.filePath(QStringLiteral("o.xml"))).size(), 1);
}

void tst_vexlorgs::endedWithItsInterpreterAndFolder_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("SIGTERM") << "TERM";
    QTest::newRow("SIGINT") << "INT";
    QTest::newRow("SIGHUP") << "HUP";
    QTest::newRow("its parent dies") << "parent";
    QTest::newRow("SIGKILL, then the next run") << "KILL";
}

void tst_vexlorgs::endedWithItsInterpreterAndFolder()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    QFile job(dir.filePath(QStringLiteral("endless.ps")));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write("%!PS\n0 0 10 10 rectfill\n{ } loop\n");
    job.close();
    const QString sceneFile = dir.filePath(QStringLiteral("o.xml"));

    // The device runs under a shell that stands for the application.
    QProcess parent;
    QStringList command = standardArguments(sceneFile, job.fileName());
    command.prepend(devicePath());
    for (QString &word : command)
        word = QLatin1Char('\'') + word + QLatin1Char('\'');
    parent.start(QStringLiteral("sh"),
        { QStringLiteral("-c"), command.join(QLatin1Char(' ')) + QStringLiteral(" & wait") });
    QVERIFY(parent.waitForStarted());

    // wait for the device and its interpreter
    qint64 device = 0, interpreter = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && interpreter == 0) {
        const QList<qint64> devices = childrenOf(parent.processId());
        device = devices.value(0);
        if (device)
            interpreter = childrenOf(device).value(0);
        if (interpreter == 0)
            QTest::qWait(50);
    }
    QVERIFY2(interpreter > 0, "the interpreter did not start");
    QTRY_COMPARE_WITH_TIMEOUT(workFolders(dir.path()).size(), 1, 10000);

    if (how == QLatin1String("parent"))
        ::kill(pid_t(parent.processId()), SIGKILL);
    else if (how == QLatin1String("KILL"))
        ::kill(pid_t(device), SIGKILL);
    else
        ::kill(pid_t(device),
            how == QLatin1String("TERM") ? SIGTERM : (how == QLatin1String("INT") ? SIGINT : SIGHUP));

    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(interpreter), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(device), 10000);
    parent.waitForFinished(10000);
    QVERIFY(!QFileInfo::exists(sceneFile));
    if (how == QLatin1String("KILL")) {
        // nothing could clean up; the next run in the folder does
        QCOMPARE(workFolders(dir.path()).size(), 1);
        QFile quick(dir.filePath(QStringLiteral("quick.ps")));
        QVERIFY(quick.open(QIODevice::WriteOnly));
        quick.write("%!PS\n0 0 10 10 rectfill showpage\n");
        quick.close();
        QCOMPARE(runDevice(standardArguments(sceneFile, quick.fileName())).exitCode, 0);
    }
    QCOMPARE(workFolders(dir.path()), QStringList());
}

QTEST_GUILESS_MAIN(tst_vexlorgs)
#include "tst_vexlorgs.moc"
