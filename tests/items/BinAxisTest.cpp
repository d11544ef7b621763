#include "TestRegistry.h"

#include "core/TVariant.h"
#include "items/BinAxis.h"
#include "items/EmptyAxis.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <memory>

namespace {

TList<TVariant> texts(const QStringList& list)
{
    TList<TVariant> values;
    for (const QString& s : list)
        values.append(TVariant(s));
    return values;
}

TList<TVariant> numbers(int from, int to)
{
    TList<TVariant> values;
    for (int i = from; i <= to; ++i)
        values.append(TVariant(i));
    return values;
}

BinAxis* makeAxis(const TList<TVariant>& values, bool misc, double width = 100)
{
    return new BinAxis(QPointF(0, 0), width, 30, "attr", values, THash<QString, int>(), false,
                       misc, false);
}

} // namespace

class BinAxisTest : public QObject
{
    Q_OBJECT

private slots:
    void binsWithoutMisc_data();
    void binsWithoutMisc();
    void miscBin();
    void positionSpread();
    void positionSingleBin_data();
    void positionSingleBin();
    void emptyValues();
    void columnLookup();
    void formatTime_data();
    void formatTime();
    void timeLabels_data();
    void timeLabels();
    void setValuesRebuilds();
    void emptyAxis();
};

void BinAxisTest::binsWithoutMisc_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("bin");
    QTest::addColumn<double>("position");

    QTest::newRow("first") << "a" << 0 << 0.0;
    QTest::newRow("middle") << "b" << 1 << 50.0;
    QTest::newRow("last") << "c" << 2 << 100.0;
    QTest::newRow("outside") << "d" << -1 << -50.0;
}

void BinAxisTest::binsWithoutMisc()
{
    QFETCH(QString, value);
    QFETCH(int, bin);
    QFETCH(double, position);

    std::unique_ptr<BinAxis> axis(makeAxis(texts({"a", "b", "c"}), false));
    QCOMPARE(axis->count(), 3);
    QCOMPARE(axis->binIndex(TVariant(value)), bin);
    QCOMPARE(axis->position(TVariant(value)), position);
    QCOMPARE(axis->binIndex(TVariant()), -1);
    QVERIFY(!axis->edgeLabels);
}

void BinAxisTest::miscBin()
{
    std::unique_ptr<BinAxis> axis(makeAxis(texts({"a", "b", "c"}), true));
    QCOMPARE(axis->count(), 3);
    const TList<TVariant> bins = axis->values();
    QCOMPARE(bins.size(), 3);
    QCOMPARE(bins[0], TVariant("a"));
    QCOMPARE(bins[1], TVariant("b"));
    QCOMPARE(bins[2], TVariant("Misc"));
    QCOMPARE(bins[2].type, quint16(TVariant::String));
    QCOMPARE(axis->labels().toQList(), (QList<QString>{"a", "b", "Misc"}));
    // The last given value has no bin of its own: it falls into "Misc".
    QCOMPARE(axis->binIndex(TVariant("c")), 2);
    QCOMPARE(axis->binIndex(TVariant("z")), 2);
    QCOMPARE(axis->binIndex(TVariant("a")), 0);
    QCOMPARE(axis->binIndex(TVariant()), -1);
    // position has no test for none: the none value falls into "Misc" too.
    QCOMPARE(axis->position(TVariant("z")), 100.0);
    QCOMPARE(axis->value(2), TVariant("Misc"));
}

void BinAxisTest::positionSpread()
{
    std::unique_ptr<BinAxis> axis(makeAxis(numbers(0, 4), false, 200));
    for (int i = 0; i <= 4; ++i)
        QCOMPARE(axis->position(TVariant(i)), 50.0 * i);
}

void BinAxisTest::positionSingleBin_data()
{
    QTest::addColumn<bool>("misc");
    QTest::addColumn<QString>("value");

    QTest::newRow("the bin") << false << "a";
    QTest::newRow("no bin") << false << "z";
    QTest::newRow("misc only") << true << "z";
}

void BinAxisTest::positionSingleBin()
{
    QFETCH(bool, misc);
    QFETCH(QString, value);

    // One bin leaves nothing to spread over: finite 0 instead of 0/0 or -1/0.
    std::unique_ptr<BinAxis> axis(makeAxis(texts({"a"}), misc));
    QCOMPARE(axis->count(), 1);
    QCOMPARE(axis->position(TVariant(value)), 0.0);
}

void BinAxisTest::emptyValues()
{
    std::unique_ptr<BinAxis> axis(makeAxis(TList<TVariant>(), true));
    QCOMPARE(axis->count(), 0);
    QVERIFY(axis->labels().isEmpty());
    QVERIFY(axis->values().isEmpty());
    QCOMPARE(axis->binIndex(TVariant("a")), -1);
    QCOMPARE(axis->position(TVariant("a")), 0.0);

    QImage img(120, 40, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    QPen pen;
    QBrush brush;
    axis->paint(&painter, brush, pen);
}

void BinAxisTest::columnLookup()
{
    THash<QString, int> columns;
    columns["attr"] = 7;
    columns["other"] = 2;
    BinAxis known(QPointF(0, 0), 10, 10, "attr", texts({"a"}), columns, false, false, false);
    QCOMPARE(known.column, 7);
    QCOMPARE(known.columns.size(), 2);
    BinAxis unknown(QPointF(0, 0), 10, 10, "missing", texts({"a"}), columns, false, false, false);
    QCOMPARE(unknown.column, -1);
    QVERIFY(unknown.otherValues().isEmpty());
}

void BinAxisTest::formatTime_data()
{
    QTest::addColumn<int>("t");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("hi");
    QTest::addColumn<QString>("text");

    // The values are whole seconds since the epoch (UTC in the tests).
    QTest::newRow("no extent: ss:z") << 5 << 0 << 0 << "05:0";
    QTest::newRow("reversed extent: ss:z") << 65 << 10 << 0 << "05:0";
    QTest::newRow("one second: mm:ss") << 75 << 0 << 1 << "01:15";
    QTest::newRow("up to 3599: mm:ss") << 1000 << 0 << 3599 << "16:40";
    QTest::newRow("from 3600: dd:hh") << 5 * 3600 << 0 << 3600 << "01:05";
    QTest::newRow("up to 10079: dd:hh") << 86400 + 7200 << 0 << 10079 << "02:02";
    QTest::newRow("from 10080: MM:dd") << 40 * 86400 << 0 << 10080 << "02:10";
    QTest::newRow("extent beyond int") << 0 << -2000000000 << 2000000000 << "01:01";
}

void BinAxisTest::formatTime()
{
    QFETCH(int, t);
    QFETCH(int, lo);
    QFETCH(int, hi);
    QFETCH(QString, text);

    std::unique_ptr<BinAxis> axis(makeAxis(TList<TVariant>(), false));
    QCOMPARE(axis->formatTime(t, lo, hi), text);
}

void BinAxisTest::timeLabels_data()
{
    QTest::addColumn<int>("hi");
    QTest::addColumn<QString>("firstLabel");
    QTest::addColumn<QString>("lastLabel");

    QTest::newRow("0 to 59: mm:ss") << 59 << "00:00" << "00:59";
    QTest::newRow("0 to 0: ss:z") << 0 << "00:0" << "00:0";
    QTest::newRow("0 to 20000: MM:dd") << 20000 << "01:01" << "01:01";
}

void BinAxisTest::timeLabels()
{
    QFETCH(int, hi);
    QFETCH(QString, firstLabel);
    QFETCH(QString, lastLabel);

    TList<TVariant> values;
    values.append(TVariant(0));
    if (hi != 0)
        values.append(TVariant(hi));
    BinAxis axis(QPointF(0, 0), 100, 30, "frame.time_epoch", values, THash<QString, int>(), true,
                 false, true);
    QCOMPARE(axis.labels().first(), firstLabel);
    QCOMPARE(axis.labels().last(), lastLabel);
}

void BinAxisTest::setValuesRebuilds()
{
    std::unique_ptr<BinAxis> axis(makeAxis(texts({"a", "b", "c"}), false));
    axis->setValues(texts({"x", "y"}));
    QCOMPARE(axis->count(), 2);
    QCOMPARE(axis->binIndex(TVariant("a")), -1);
    QCOMPARE(axis->binIndex(TVariant("y")), 1);
    QCOMPARE(axis->labels().toQList(), (QList<QString>{"x", "y"}));
    QCOMPARE(axis->binOf.size(), 2);
}

void BinAxisTest::emptyAxis()
{
    EmptyAxis axis;
    QCOMPARE(axis.count(), 1);
    QCOMPARE(axis.binIndex(TVariant("anything")), 0);
    QCOMPARE(axis.binIndex(TVariant()), 0);
    axis.x = 17;
    QCOMPARE(axis.position(TVariant(3)), 17.0);
    QVERIFY(axis.labels().isEmpty());
    QVERIFY(axis.name.isEmpty());
    QVERIFY(!axis.vertical);
    QCOMPARE(axis.width, 0.0);
}

LUMIVANE_TEST(BinAxisTest)
#include "BinAxisTest.moc"
