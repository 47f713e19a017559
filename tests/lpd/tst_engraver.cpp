#include <QtTest>
class tst_engraver : public QObject
{
    Q_OBJECT
};
QTEST_GUILESS_MAIN(tst_engraver)
#include "tst_engraver.moc"
