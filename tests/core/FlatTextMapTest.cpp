#include "TestRegistry.h"

#include "core/FlatTextMap.h"
#include "core/THash.h"
#include "core/TVariant.h"

#include <QtTest>

#include <map>

class FlatTextMapTest : public QObject
{
    Q_OBJECT

private slots:
    void viewHashMatchesStringHash();
    void insertFindEraseAgainstReference();
    void eraseWhileIterating();
    void copyAndMoveKeepEntries();
    void fromTextMatchesConstructor_data();
    void fromTextMatchesConstructor();
    void fromTextSharesPooledText();
};

void FlatTextMapTest::viewHashMatchesStringHash()
{
    // Lookups by a view of a field must land where a QString key was stored.
    const QString texts[] = {QString(), QStringLiteral("10.0.3.4"), QStringLiteral("Gr\u00fc\u00dfe"),
                             QStringLiteral("eth:ip:tcp:smb2")};
    for (const QString& t : texts)
        QCOMPARE(qHash(QStringView(t), 0u), qHash(t, 0u));
}

void FlatTextMapTest::insertFindEraseAgainstReference()
{
    // Many inserts (several index growths) and erases (backward shifts and
    // moved last entries), checked against a reference map after each step.
    FlatTextMap<int> map;
    std::map<QString, int> reference;
    quint32 state = 12345;
    const auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % 3000u;
    };
    for (int step = 0; step < 20000; ++step) {
        const QString key = QStringLiteral("k") + QString::number(next());
        if (step % 3 == 2) {
            QCOMPARE(map.erase(key), reference.erase(key));
        } else {
            const auto result = map.emplace(key, step);
            const bool inserted = reference.emplace(key, step).second;
            QCOMPARE(result.second, inserted);
            QCOMPARE(result.first->second, reference.at(key));
        }
    }
    QCOMPARE(map.size(), reference.size());
    for (const auto& entry : reference) {
        const auto it = map.findView(QStringView(entry.first));
        QVERIFY(it != map.cend());
        QCOMPARE(it->second, entry.second);
    }
    std::size_t visited = 0;
    for (auto it = map.cbegin(); it != map.cend(); ++it, ++visited)
        QCOMPARE(reference.at(it->first), it->second);
    QCOMPARE(visited, reference.size());
    QVERIFY(map.find(QStringLiteral("absent")) == map.end());
    QVERIFY_EXCEPTION_THROWN(map.at(QStringLiteral("absent")), std::out_of_range);
}

void FlatTextMapTest::eraseWhileIterating()
{
    THash<QString, int> hash;
    for (int i = 0; i < 100; ++i)
        hash.insert(QString::number(i), i);
    for (auto it = hash.begin(); it != hash.end();) {
        if (it.value() % 2 == 0)
            it = hash.erase(it);
        else
            ++it;
    }
    QCOMPARE(hash.size(), 50);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(hash.contains(QString::number(i)), i % 2 == 1);
}

void FlatTextMapTest::copyAndMoveKeepEntries()
{
    THash<QString, TVariant> pool;
    pool.insert(QStringLiteral("a"), TVariant(QStringLiteral("a"), false));
    THash<QString, TVariant> copy = pool;
    copy[QStringLiteral("b")] = TVariant(2);
    QCOMPARE(pool.size(), 1);
    QCOMPARE(copy.size(), 2);
    THash<QString, TVariant> moved = std::move(copy);
    QCOMPARE(moved.size(), 2);
    QCOMPARE(moved.value(QStringLiteral("b")).toInt(), 2);
    QVERIFY(copy.isEmpty());
    copy[QStringLiteral("c")] = TVariant(3);
    QCOMPARE(copy.size(), 1);
}

void FlatTextMapTest::fromTextMatchesConstructor_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("int") << QStringLiteral("-42");
    QTest::newRow("double") << QStringLiteral("1600000000.568000");
    QTest::newRow("beyond int") << QStringLiteral("2147483648");
    QTest::newRow("exponent") << QStringLiteral("1e5");
    QTest::newRow("overflow") << QStringLiteral("1e400");
    QTest::newRow("date-like") << QStringLiteral("05-09-20");
    QTest::newRow("address") << QStringLiteral("10.0.0.1");
    QTest::newRow("bool") << QStringLiteral("false");
    QTest::newRow("nan") << QStringLiteral("nan");
    QTest::newRow("text") << QStringLiteral("eth:ip:tcp");
    QTest::newRow("non-ascii") << QStringLiteral("Gr\u00fc\u00dfe");
}

void FlatTextMapTest::fromTextMatchesConstructor()
{
    QFETCH(QString, text);
    THash<QString, TVariant> poolA;
    THash<QString, TVariant> poolB;
    poolA.insert(QString(), TVariant());
    poolB.insert(QString(), TVariant());
    // Twice: once missing the pool, once hitting it.
    for (int round = 0; round < 2; ++round) {
        const TVariant expected(text, true, &poolA);
        const TVariant got = TVariant::fromText(QStringView(text), &poolB);
        QCOMPARE(got.type, expected.type);
        QCOMPARE(got == expected, true);
        QCOMPARE(got.toString(), expected.toString());
        QCOMPARE(poolB.size(), poolA.size());
    }
}

void FlatTextMapTest::fromTextSharesPooledText()
{
    THash<QString, TVariant> pool;
    const QString line = QStringLiteral("x,eth:ip:tcp,eth:ip:tcp");
    const TVariant a = TVariant::fromText(QStringView(line).mid(2, 10), &pool);
    const TVariant b = TVariant::fromText(QStringView(line).mid(13, 10), &pool);
    QCOMPARE(a.type, quint16(TVariant::String));
    QCOMPARE(a.text.constData(), b.text.constData());
    QCOMPARE(pool.size(), 1);
}

LUMIVANE_TEST(FlatTextMapTest)
#include "FlatTextMapTest.moc"
