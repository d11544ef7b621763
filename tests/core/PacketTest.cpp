#include "TestRegistry.h"
#include "PacketRows.h"

#include "core/Constants.h"
#include "core/Packet.h"
#include "core/PresenceBits.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QtTest>

namespace {

// A row of `columns` values with ints at the given columns (value = column
// number + 100) and absent values elsewhere.
TList<TVariant> sparseRow(int columns, const QList<int>& present)
{
    TList<TVariant> row;
    for (int c = 0; c < columns; ++c)
        row.append(present.contains(c) ? TVariant(c + 100) : TVariant());
    return row;
}

} // namespace

class PacketTest : public QObject
{
    Q_OBJECT
private slots:
    void emptyRow();
    void allAbsent();
    void sparseColumns_data();
    void sparseColumns();
    void presenceRank();
    void appendedColumns();
    void outOfRangeIsAbsent_data();
    void outOfRangeIsAbsent();
    void presenceBitsPastEnd();
    void sharedAcrossPointers();
};

void PacketTest::emptyRow()
{
    Packet p{TList<TVariant>()};
    QCOMPARE(p.baseCount, 0);
    QCOMPARE(p.presentCount, 0);
    QCOMPARE(p.presence->wordCount(), 0);
    QCOMPARE(p.conversationId, -1);
    QVERIFY(!p.get(0).isValid());
    p.append(TVariant(7));
    QCOMPARE(p.get(0).toInt(), 7);
}

void PacketTest::allAbsent()
{
    Packet p(sparseRow(40, {}));
    QCOMPARE(p.presentCount, 0);
    QVERIFY(p.values.isEmpty());
    for (int i = 0; i < 40; ++i)
        QCOMPARE(&p.get(i), NULL_VALUE);
}

void PacketTest::sparseColumns_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<int>("words");

    QTest::newRow("0, 2 and 40 of 45") << 45 << QList<int>{0, 2, 40} << 2;
    QTest::newRow("word edges 30 and 31") << 32 << QList<int>{30, 31} << 2;
    QTest::newRow("exactly one word") << 31 << QList<int>{0, 15, 30} << 1;
    QTest::newRow("three words, last bit") << 93 << QList<int>{1, 61, 62, 92} << 3;
    QTest::newRow("dense") << 14 << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13} << 1;
}

void PacketTest::sparseColumns()
{
    QFETCH(int, columns);
    QFETCH(QList<int>, present);
    QFETCH(int, words);

    Packet p(sparseRow(columns, present));
    QCOMPARE(p.baseCount, columns);
    QCOMPARE(p.presentCount, present.size());
    QCOMPARE(p.values.size(), present.size());
    QCOMPARE(p.presence->wordCount(), words);
    for (int c = 0; c < columns; ++c) {
        if (present.contains(c))
            QCOMPARE(p.get(c), TVariant(c + 100));
        else
            QCOMPARE(&p.get(c), NULL_VALUE);
    }
}

void PacketTest::presenceRank()
{
    // Column 31 is bit 0 of the second word; column 30 the last of the first.
    PresenceBits bits(45, 31);
    for (int c = 0; c < 45; ++c)
        bits.append(c == 0 || c == 2 || c == 30 || c == 31 || c == 40);
    QCOMPARE(bits.next, 45);
    QCOMPARE(bits.words[0], (1u << 0) | (1u << 2) | (1u << 30));
    QCOMPARE(bits.words[1], (1u << 0) | (1u << 9));
    QCOMPARE(bits.counts[0], 3u);
    QCOMPARE(bits.counts[1], 2u);

    int rank = -1;
    QVERIFY(bits.test(40, &rank));
    QCOMPARE(rank, 4);
    QVERIFY(!bits.test(1, &rank));
    QCOMPARE(rank, 1);
    QVERIFY(bits.test(31, &rank));
    QCOMPARE(rank, 3);
    QVERIFY(bits.test(0, nullptr));
}

void PacketTest::appendedColumns()
{
    Packet p(sparseRow(3, {1}));
    p.append(TVariant(QStringLiteral("derived")));
    p.append(TVariant());
    QCOMPARE(p.columnCount(), 5);
    QCOMPARE(p.get(3).toString(), QStringLiteral("derived"));
    QVERIFY(!p.get(4).isValid());
    QCOMPARE(p.get(1).toInt(), 101);
}

void PacketTest::outOfRangeIsAbsent_data()
{
    QTest::addColumn<int>("column");
    QTest::newRow("-1 (no such attribute)") << -1;
    QTest::newRow("one past the appended columns") << 5;
    QTest::newRow("far beyond") << 1000000;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
    QTest::newRow("largest") << std::numeric_limits<int>::max();
}

void PacketTest::outOfRangeIsAbsent()
{
    QFETCH(int, column);
    Packet p(sparseRow(4, {0, 1, 2, 3}));
    p.append(TVariant(9));
    QCOMPARE(&p.get(column), NULL_VALUE);
}

void PacketTest::presenceBitsPastEnd()
{
    // More set bits than the set has words for must not write past it.
    PresenceBits bits(2, 31);
    for (int i = 0; i < 40; ++i)
        bits.append(true);
    QCOMPARE(bits.next, 40);
    QCOMPARE(bits.words[0], 0x7fffffffu);
    QCOMPARE(bits.counts[0], 31u);
    QVERIFY(!bits.test(35));
    QVERIFY(!bits.test(-3));
}

void PacketTest::sharedAcrossPointers()
{
    // An event is one object however many lists hold it; values appended
    // later are seen through every holder.
    const QSharedPointer<Packet> p = PacketRows::make({"0", "a", "", "3"}, 4);
    TList<QSharedPointer<Packet>> first{p};
    TList<QSharedPointer<Packet>> second{p};
    first.at(0)->append(TVariant(QStringLiteral("x")));
    QCOMPARE(second.at(0)->get(4).toString(), QStringLiteral("x"));
    QCOMPARE(PacketRows::texts(p), (QStringList{"0", "a", "", "3", "x"}));
    QCOMPARE(p->conversationId, 4);
    QCOMPARE(p->presentCount, 3);
}

LUMIVANE_TEST(PacketTest)
#include "PacketTest.moc"
