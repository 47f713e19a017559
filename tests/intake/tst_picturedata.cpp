// The hint that a job carries pictures: their data, hexadecimal, ASCII85 or
// binary, against drawings, fonts and text.
#include "picturedata.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class tst_PictureData : public QObject
{
    Q_OBJECT

private slots:
    void pictureDataAgainstOtherContent_data();
    void pictureDataAgainstOtherContent();
    void unreadableFile();

private:
    QTemporaryDir m_dir;
};

namespace {

QByteArray hexLines(int lines, int width, const char *end = "\n")
{
    QRandomGenerator random(5);
    QByteArray text;
    for (int i = 0; i < lines; ++i) {
        QByteArray bytes(width / 2, Qt::Uninitialized);
        for (char &b : bytes)
            b = char(random.bounded(256));
        text += bytes.toHex() + end;
    }
    return text;
}

QByteArray drawing(int segments)
{
    QByteArray text;
    for (int i = 0; i < segments; ++i)
        text += QByteArray::number(i % 2880) + " " + QByteArray::number(i % 2016) + " moveto "
            + QByteArray::number((i * 7) % 2880) + " " + QByteArray::number((i * 3) % 2016) + " lineto stroke\n";
    return text;
}

} // namespace

void tst_PictureData::pictureDataAgainstOtherContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("pictures");
    const QByteArray head = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 2880 2016\n%%EndComments\n";
    const QByteArray image = "2000 1400 8 [2000 0 0 -1400 0 1400] currentfile /ASCIIHexDecode filter image\n";

    QTest::newRow("hexadecimal picture") << head + image + hexLines(4000, 120) + "showpage\n" << true;
    QTest::newRow("hexadecimal picture, lines ending in CR LF")
        << head + image + hexLines(4000, 120, "\r\n") + "showpage\n" << true;
    QTest::newRow("one long line of data") << head + image + hexLines(1, 600000) + "showpage\n" << true;
    QByteArray binary(400000, Qt::Uninitialized);
    QRandomGenerator random(9);
    for (char &b : binary)
        b = char(random.bounded(256));
    QTest::newRow("binary picture") << head + "currentfile /DCTDecode filter\n" + binary << true;
    QByteArray ascii85;
    for (int i = 0; i < 5000; ++i)
        ascii85 += QByteArray(75, char('!' + i % 85)) + "\n";
    QTest::newRow("ASCII85 picture") << head + image + ascii85 + "~>\n" << true;

    QTest::newRow("drawing") << head + drawing(20000) + "showpage\n" << false;
    // a font's encrypted part is a few dozen KiB of hexadecimal lines
    QTest::newRow("drawing with an embedded font") << head + hexLines(400, 64) + drawing(5000) << false;
    QTest::newRow("short data lines") << head + hexLines(20000, 40) << false;
    QTest::newRow("long lines of text") << head + QByteArray("%%Title: ") + QByteArray(300000, 'a') + " b\n"
                                        << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_PictureData::pictureDataAgainstOtherContent()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, pictures);
    const QString path = m_dir.filePath(QStringLiteral("job.ps"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    QCOMPARE(Vexlor::holdsPictureData(path, qint64(256) << 10), pictures);
}

void tst_PictureData::unreadableFile()
{
    QVERIFY(!Vexlor::holdsPictureData(m_dir.filePath(QStringLiteral("missing.ps")), 1));
    QVERIFY(!Vexlor::holdsPictureData(m_dir.path(), 1));
}

QTEST_GUILESS_MAIN(tst_PictureData)
#include "tst_picturedata.moc"
