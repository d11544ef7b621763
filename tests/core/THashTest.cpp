#include "TestRegistry.h"

#include "core/THash.h"
#include "core/TVariant.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {
TVariant num(int i) { return TVariant(i, nullptr); }
TVariant dbl(double d) { return TVariant(d, nullptr); }
TVariant str(const char* s) { return TVariant(QString::fromUtf8(s), false, nullptr); }

QStringList texts(const TList<TVariant>& l)
{
    QStringList out;
    for (const TVariant& v : l)
        out << v.toString();
    return out;
}

QStringList strings(const TList<QString>& l) { return QStringList(l.toQList()); }
}

class THashTest : public QObject
{
    Q_OBJECT
private slots:
    void indexInsertsDefault_data();
    void indexInsertsDefault();
    void insertKeepsOldValue();
    void valueDoesNotInsert();
    void removeAndClear();
    void orderedVariantKeys();
    void intAndDoubleKeys();
    void keysAndValuesAlign();
    void iteration();
    void atThrows();
    void keysSortedByValue();
    void keysSortedByValueNaN();
    void keysSortedByValueHashedTies();
    void pointerKeysAndListValues();
    void copyKeepsMode();
};

void THashTest::indexInsertsDefault_data()
{
    QTest::addColumn<bool>("ordered");
    QTest::newRow("hashed") << false;
    QTest::newRow("ordered") << true;
}

void THashTest::indexInsertsDefault()
{
    QFETCH(bool, ordered);
    THash<QString, int> h(ordered);
    QCOMPARE(h.isOrdered(), ordered);
    QCOMPARE(h[QStringLiteral("a")], 0);
    QVERIFY(h.contains(QStringLiteral("a")));
    QCOMPARE(strings(h.keys()), QStringList { "a" });
    h[QStringLiteral("a")] += 2;
    QCOMPARE(h.value(QStringLiteral("a")), 2);

    THash<QString, TVariant> pool(ordered);
    QVERIFY(!pool[QStringLiteral("x")].isValid());
    THash<int, TList<int>> lists(ordered);
    QVERIFY(lists[3].isEmpty());
    THash<QString, double> doubles(ordered);
    QCOMPARE(doubles[QStringLiteral("d")], 0.0);
}

void THashTest::insertKeepsOldValue()
{
    for (bool ordered : { false, true }) {
        THash<QString, int> h(ordered);
        auto it = h.insert(QStringLiteral("k"), 1);
        QCOMPARE(it.key(), QStringLiteral("k"));
        QCOMPARE(it.value(), 1);
        it = h.insert(QStringLiteral("k"), 5);
        QCOMPARE(it.value(), 1);
        QCOMPARE(h.value(QStringLiteral("k")), 1);
        QCOMPARE(h.size(), 1);
    }
}

void THashTest::valueDoesNotInsert()
{
    for (bool ordered : { false, true }) {
        const THash<QString, int> empty(ordered);
        QCOMPARE(empty.value(QStringLiteral("x"), 42), 42);
        QCOMPARE(empty.value(QStringLiteral("x")), 0);
        QVERIFY(empty.isEmpty());
        THash<QString, int> h(ordered);
        QCOMPARE(h.value(QStringLiteral("x"), -1), -1);
        QCOMPARE(h.size(), 0);
        QVERIFY(h.find(QStringLiteral("x")) == h.end());
    }
}

void THashTest::removeAndClear()
{
    for (bool ordered : { false, true }) {
        THash<int, int> h(ordered);
        h[1] = 10;
        h[2] = 20;
        QCOMPARE(h.remove(1), 1);
        QCOMPARE(h.remove(1), 0);
        QVERIFY(!h.contains(1));
        QCOMPARE(h.size(), 1);
        h.clear();
        QVERIFY(h.isEmpty());
        QCOMPARE(h.isOrdered(), ordered); // the mode stays
        h[5] = 1;
        QCOMPARE(h.keys().size(), 1);
    }
}

void THashTest::orderedVariantKeys()
{
    THash<TVariant, int> h(true);
    h[num(10)] = 1;
    h[num(2)] = 1;
    h[dbl(2.5)] = 1;
    QCOMPARE(texts(h.keys()), (QStringList { "2", "2.500000", "10" }));
}

void THashTest::intAndDoubleKeys()
{
    THash<TVariant, int> ordered(true);
    ordered[num(3)] += 1;
    ordered[dbl(3.0)] += 1;
    QCOMPARE(ordered.size(), 1);
    QCOMPARE(ordered.value(num(3)), 2);

    THash<TVariant, int> hashed;
    hashed[num(3)] += 1;
    hashed[dbl(3.0)] += 1;
    QCOMPARE(hashed.size(), 2);
}

void THashTest::keysAndValuesAlign()
{
    for (bool ordered : { false, true }) {
        THash<QString, int> h(ordered);
        for (int i = 0; i < 50; ++i)
            h[QString::number(i)] = i;
        const TList<QString> keys = h.keys();
        const TList<int> values = h.values();
        QCOMPARE(keys.size(), 50);
        QCOMPARE(values.size(), 50);
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(values[i], keys[i].toInt());
        if (ordered) {
            QStringList sorted = strings(keys);
            std::sort(sorted.begin(), sorted.end());
            QCOMPARE(strings(keys), sorted);
        }
    }
}

void THashTest::iteration()
{
    for (bool ordered : { false, true }) {
        THash<QString, int> h(ordered);
        h[QStringLiteral("b")] = 2;
        h[QStringLiteral("a")] = 1;
        h[QStringLiteral("c")] = 3;
        QStringList seen;
        for (auto it = h.begin(); it != h.end(); ++it) {
            it.value() *= 10;
            seen << it.key();
        }
        QCOMPARE(seen, strings(h.keys()));
        int sum = 0;
        for (int v : qAsConst(h))
            sum += v;
        QCOMPARE(sum, 60);
        auto it = h.find(QStringLiteral("b"));
        QVERIFY(it != h.end());
        it = h.erase(it);
        QCOMPARE(h.size(), 2);
        QVERIFY(!h.contains(QStringLiteral("b")));
    }
}

void THashTest::atThrows()
{
    THash<int, int> ordered(true);
    ordered[1] = 5;
    QCOMPARE(ordered.at(1), 5);
    bool thrown = false;
    try {
        ordered.at(2);
    } catch (const std::out_of_range& e) {
        thrown = true;
        QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("map::at"));
    }
    QVERIFY(thrown);
    const THash<int, int> hashed;
    QVERIFY_EXCEPTION_THROWN(hashed.at(2), std::out_of_range);
}

void THashTest::keysSortedByValue()
{
    THash<QString, int> h(true);
    h[QStringLiteral("b")] = 1;
    h[QStringLiteral("a")] = 1;
    h[QStringLiteral("c")] = 0;
    QCOMPARE(strings(h.keysSortedByValue()), (QStringList { "c", "a", "b" }));
    const THash<QString, int> emptyOrdered(true);
    QVERIFY(emptyOrdered.keysSortedByValue().isEmpty());
    const THash<QString, double> emptyHashed;
    QVERIFY(emptyHashed.keysSortedByValue().isEmpty());

    THash<TVariant, int> counts(true);
    counts[str("x")] = 5;
    counts[num(1)] = 2;
    counts[num(-4)] = 5;
    QCOMPARE(texts(counts.keysSortedByValue()), (QStringList { "1", "-4", "x" }));
}

void THashTest::keysSortedByValueNaN()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    THash<QString, double> h(true);
    h[QStringLiteral("d")] = nan;
    h[QStringLiteral("a")] = 2.0;
    h[QStringLiteral("b")] = nan;
    h[QStringLiteral("c")] = -1.0;
    h[QStringLiteral("e")] = 2.0;
    // NaN-valued keys come last, in the map's order; every key appears once.
    QCOMPARE(strings(h.keysSortedByValue()), (QStringList { "c", "a", "e", "b", "d" }));
}

void THashTest::keysSortedByValueHashedTies()
{
    THash<QString, double> h;
    for (int i = 0; i < 20; ++i)
        h[QStringLiteral("k%1").arg(i)] = i % 3;
    const QStringList byValue = strings(h.keysSortedByValue());
    QCOMPARE(byValue.size(), 20);
    // Within one value, the hashed store's own order.
    QStringList expected;
    for (double v : { 0.0, 1.0, 2.0 })
        for (auto it = h.constBegin(); it != h.constEnd(); ++it)
            if (it.value() == v)
                expected << it.key();
    QCOMPARE(byValue, expected);
}

void THashTest::pointerKeysAndListValues()
{
    int a = 0;
    int b = 0;
    THash<int*, TList<int*>> h;
    h[&a].append(&b);
    const TList<int*> missing = h.value(&b, TList<int*>());
    QVERIFY(missing.isEmpty());
    QCOMPARE(h.size(), 1);
    QVERIFY(!h.contains(&b));
    QCOMPARE(h.value(&a).first(), &b);
}

void THashTest::copyKeepsMode()
{
    THash<TVariant, int> h(true);
    h[num(2)] = 1;
    h[num(1)] = 1;
    THash<TVariant, int> copy = h;
    QVERIFY(copy.isOrdered());
    copy[num(0)] = 1;
    QCOMPARE(texts(copy.keys()), (QStringList { "0", "1", "2" }));
    QCOMPARE(h.size(), 2);
}

LUMIVANE_TEST(THashTest)
#include "THashTest.moc"
