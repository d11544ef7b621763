#include "TestRegistry.h"

#include "core/ShareText.h"

#include <QtTest>

class ShareTextTest : public QObject
{
    Q_OBJECT
private slots:
    void percent_data();
    void percent();
};

void ShareTextTest::percent_data()
{
    QTest::addColumn<qint64>("part");
    QTest::addColumn<qint64>("whole");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << qint64(0) << qint64(20000) << "0";
    QTest::newRow("no whole") << qint64(0) << qint64(0) << "0";
    // Too small to show: the bound below which it lies, not a smaller one.
    QTest::newRow("one of twenty thousand") << qint64(1) << qint64(20000) << "<0.05";
    QTest::newRow("just under the half of a thousandth") << qint64(1) << qint64(2001) << "<0.05";
    // Halves go up, also where a product of doubles falls short of them.
    QTest::newRow("half of a thousandth") << qint64(1) << qint64(2000) << "0.1";
    QTest::newRow("half above a half") << qint64(1001) << qint64(2000) << "50.1";
    QTest::newRow("one third") << qint64(1) << qint64(3) << "33.3";
    QTest::newRow("half of three billion") << qint64(1500000000) << qint64(3000000000) << "50";
    QTest::newRow("all") << qint64(20000) << qint64(20000) << "100";
}

void ShareTextTest::percent()
{
    QFETCH(qint64, part);
    QFETCH(qint64, whole);
    QFETCH(QString, text);
    QCOMPARE(ShareText::percent(part, whole), text);
}

LUMIVANE_TEST(ShareTextTest)
#include "ShareTextTest.moc"
