#include "TestRegistry.h"

#include "core/Constants.h"
#include "core/Packet.h"
#include "core/PresenceBits.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "core/ValueInterner.h"
#include "core/ValueTable.h"

#include <QtTest>

#include <cstring>
#include <vector>

// An event read from a log keeps positions into the log's value table; it
// must answer every question exactly as an event holding its own values.

namespace {

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

// Column c holds a value when it is listed; values alternate between
// texts and numbers so that neighbours differ.
TList<TVariant> rowOf(int columns, const QList<int>& present)
{
    TList<TVariant> row;
    for (int c = 0; c < columns; ++c) {
        if (!present.contains(c))
            row.append(TVariant());
        else if (c % 2)
            row.append(TVariant(QStringLiteral("v%1").arg(c), true, nullptr));
        else
            row.append(TVariant(c * 1.5));
    }
    return row;
}

std::vector<quint32> positionsOf(ValueInterner& values, const TList<TVariant>& row)
{
    std::vector<quint32> positions;
    for (const TVariant& v : row.items)
        positions.push_back(values.value(v));
    return positions;
}

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i < to; ++i)
        out << i;
    return out;
}

// Every question an event answers about its columns, compared.
void compareWithOwned(const Packet& tabled, const Packet& owned)
{
    QCOMPARE(tabled.baseCount, owned.baseCount);
    QCOMPARE(tabled.presentCount, owned.presentCount);
    QCOMPARE(tabled.values.size(), owned.values.size());
    QCOMPARE(tabled.values.isEmpty(), owned.values.isEmpty());
    QCOMPARE(tabled.columnCount(), owned.columnCount());
    for (int k = 0; k < owned.values.size(); ++k)
        QVERIFY2(identical(tabled.values.at(k), owned.values.at(k)), qPrintable(QString::number(k)));
    for (int i = -2; i < owned.columnCount() + 3; ++i) {
        const TVariant& v = tabled.get(i);
        QVERIFY2(identical(v, owned.get(i)), qPrintable(QStringLiteral("column %1").arg(i)));
        // An absent base value is the one shared absent value.
        if (!v.isValid() && (i < owned.baseCount || i >= owned.columnCount()))
            QCOMPARE(&v, NULL_VALUE);
        int rank = -1;
        int ownedRank = -1;
        QCOMPARE(tabled.presence->test(i, &rank), owned.presence->test(i, &ownedRank));
        QCOMPARE(rank, ownedRank);
    }
}

} // namespace

class TablePacketTest : public QObject
{
    Q_OBJECT

private slots:
    void answersAsOwnedEvent_data();
    void answersAsOwnedEvent();
    void presenceSharedByPattern();
    void widePacketsAmongNarrowOnes();
    void appendedValues();
    void absorbedTableKeepsItsValues_data();
    void absorbedTableKeepsItsValues();
};

void TablePacketTest::answersAsOwnedEvent_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<QList<int>>("present");

    QTest::newRow("no columns") << 0 << QList<int>{};
    QTest::newRow("all present") << 5 << range(0, 5);
    QTest::newRow("first absent") << 5 << range(1, 5);
    QTest::newRow("last absent") << 5 << range(0, 4);
    QTest::newRow("none of 40") << 40 << QList<int>{};
    QTest::newRow("exactly one word") << 31 << QList<int>{0, 15, 30};
    QTest::newRow("word edges 30 and 31") << 32 << QList<int>{30, 31};
    QTest::newRow("only column 31") << 32 << QList<int>{31};
    QTest::newRow("0, 2 and 40 of 45") << 45 << QList<int>{0, 2, 40};
    QTest::newRow("second word full") << 62 << range(31, 62);
    QTest::newRow("three words, last bit") << 93 << QList<int>{1, 61, 62, 92};
    QTest::newRow("all of 70") << 70 << range(0, 70);
    QTest::newRow("all but 35 of 70") << 70 << (range(0, 35) + range(36, 70));
    // Wider than a shared block of positions.
    QTest::newRow("5000 present") << 5000 << range(0, 5000);
    QTest::newRow("5000 of 5100") << 5100 << (range(0, 2000) + range(2100, 5100));
}

void TablePacketTest::answersAsOwnedEvent()
{
    QFETCH(int, columns);
    QFETCH(QList<int>, present);
    const TList<TVariant> row = rowOf(columns, present);
    ValueInterner values;
    const std::vector<quint32> positions = positionsOf(values, row);
    const QSharedPointer<Packet> tabled = values.packet(positions.data(), columns);
    const Packet owned(row);
    compareWithOwned(*tabled, owned);
    QCOMPARE(tabled->presence->totalBits, columns);
}

void TablePacketTest::presenceSharedByPattern()
{
    ValueInterner values;
    auto make = [&](int columns, const QList<int>& present) {
        const std::vector<quint32> positions = positionsOf(values, rowOf(columns, present));
        return values.packet(positions.data(), columns);
    };
    const auto a = make(5, {0, 2, 4});
    const auto b = make(5, {0, 2, 4});
    const auto other = make(5, {0, 2});
    QCOMPARE(a->presence, b->presence);
    QVERIFY(a->presence != other->presence);

    // Same set bits, different widths: 3 of 3 columns is not 3 of 5, and
    // 31 columns fit one word where 32 need two.
    const auto narrow = make(3, {0, 1, 2});
    const auto wider = make(5, {0, 1, 2});
    QVERIFY(narrow->presence != wider->presence);
    QVERIFY(!wider->get(3).isValid());
    const auto oneWord = make(31, range(0, 31));
    const auto twoWords = make(32, range(0, 31));
    QVERIFY(oneWord->presence != twoWords->presence);
    QCOMPARE(twoWords->presence->totalBits, 32);
    QVERIFY(!twoWords->get(31).isValid());

    // Patterns of several words.
    const auto wideA = make(70, {0, 33, 69});
    const auto wideB = make(70, {0, 33, 69});
    const auto wideC = make(70, {0, 34, 69});
    QCOMPARE(wideA->presence, wideB->presence);
    QVERIFY(wideA->presence != wideC->presence);
    compareWithOwned(*wideC, Packet(rowOf(70, {0, 34, 69})));

    // Many one-word patterns, then each again: shared, and still right.
    std::vector<QSharedPointer<Packet>> first;
    for (int p = 0; p < 64; ++p) {
        QList<int> present;
        for (int c = 0; c < 8; ++c)
            if (p & (1 << (c % 6)))
                present << c;
        first.push_back(make(8, present));
    }
    for (int p = 0; p < 64; ++p) {
        QList<int> present;
        for (int c = 0; c < 8; ++c)
            if (p & (1 << (c % 6)))
                present << c;
        const auto again = make(8, present);
        QCOMPARE(again->presence, first[std::size_t(p)]->presence);
        compareWithOwned(*again, Packet(rowOf(8, present)));
        compareWithOwned(*first[std::size_t(p)], Packet(rowOf(8, present)));
    }
}

void TablePacketTest::widePacketsAmongNarrowOnes()
{
    // Narrow events fill shared blocks of positions; an event wider than a
    // block's quarter gets one of its own. Whatever the order, no event's
    // positions are written over by a later one.
    ValueInterner values;
    std::vector<QSharedPointer<Packet>> events;
    std::vector<TList<TVariant>> rows;
    auto add = [&](const TList<TVariant>& row) {
        const std::vector<quint32> positions = positionsOf(values, row);
        events.push_back(values.packet(positions.data(), row.size()));
        rows.push_back(row);
    };
    auto narrow = [&](int seed) {
        TList<TVariant> row;
        for (int c = 0; c < 20; ++c)
            row.append(c == seed % 20 ? TVariant() : TVariant(seed * 100 + c));
        return row;
    };
    auto wide = [&](int columns, int seed) {
        TList<TVariant> row;
        for (int c = 0; c < columns; ++c)
            row.append(TVariant(QStringLiteral("w%1-%2").arg(seed).arg(c % 50), true, nullptr));
        return row;
    };
    add(wide(5000, 0));
    add(narrow(1));
    add(wide(6000, 1));
    add(wide(4200, 2));
    for (int i = 0; i < 2500; ++i) {
        add(narrow(i + 2));
        if (i % 700 == 0)
            add(wide(4500, i));
    }
    for (std::size_t e = 0; e < events.size(); ++e) {
        const Packet owned(rows[e]);
        QCOMPARE(events[e]->presentCount, owned.presentCount);
        for (int c = 0; c < owned.baseCount; ++c) {
            if (!identical(events[e]->get(c), owned.get(c)))
                QFAIL(qPrintable(QStringLiteral("event %1 column %2: %3 instead of %4")
                                     .arg(e)
                                     .arg(c)
                                     .arg(events[e]->get(c).toString(), owned.get(c).toString())));
        }
    }
}

void TablePacketTest::appendedValues()
{
    ValueInterner values;
    const TList<TVariant> row = rowOf(33, {0, 1, 32});
    const std::vector<quint32> positions = positionsOf(values, row);
    const QSharedPointer<Packet> tabled = values.packet(positions.data(), 33);
    Packet owned(row);
    for (Packet* p : {tabled.data(), &owned}) {
        p->append(TVariant(QStringLiteral("derived"), true, nullptr));
        p->append(TVariant());
        p->append(TVariant(9));
    }
    compareWithOwned(*tabled, owned);
    QCOMPARE(tabled->columnCount(), 36);
    QCOMPARE(tabled->get(33).toString(), QStringLiteral("derived"));
    QVERIFY(!tabled->get(34).isValid());
    QCOMPARE(tabled->get(35).toInt(), 9);
    // Appending leaves the table alone: other events see their values.
    const QSharedPointer<Packet> other = values.packet(positions.data(), 33);
    QCOMPARE(other->columnCount(), 33);
    QVERIFY(!other->get(33).isValid());
}

void TablePacketTest::absorbedTableKeepsItsValues_data()
{
    QTest::addColumn<int>("before");   // values in the absorbing table
    QTest::addColumn<int>("taken");    // values in the absorbed one
    QTest::newRow("both small") << 5 << 7;
    QTest::newRow("absorbed spans chunks") << 3 << 9000;
    QTest::newRow("absorbing ends a chunk") << 4095 << 10;
    QTest::newRow("absorbing fills a chunk") << 4096 << 4096;
    QTest::newRow("nothing to take") << 20 << 0;
}

// Joining the tables of two parts of a log: the events of the second read
// their values (in place, from the first table) as before, and the first
// table goes on growing afterwards.
void TablePacketTest::absorbedTableKeepsItsValues()
{
    QFETCH(int, before);
    QFETCH(int, taken);
    auto* mine = new ValueTable;
    for (int i = 0; i < before; ++i)
        mine->add(TVariant(QStringLiteral("mine %1").arg(i), false, nullptr));
    auto* theirs = new ValueTable;
    std::vector<quint32> held;
    for (int i = 0; i < taken; ++i)
        held.push_back(theirs->add(i % 2 ? TVariant(i) : TVariant(QStringLiteral("t%1").arg(i), false, nullptr)));
    std::vector<QSharedPointer<Packet>> events;
    std::vector<const TVariant*> addresses;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const quint32 row[3] = {held[i], 0, held[held.size() - 1 - i]};
        events.push_back(QSharedPointer<Packet>::create(theirs, row, 3));
        addresses.push_back(&theirs->at(held[i]));
    }
    const TVariant replaced(QStringLiteral("pooled"), false, nullptr);
    const quint32 offset = mine->absorb(*theirs, [&](TVariant& v) {
        if (v.type == TVariant::String && v.text == "t0")
            v = replaced;
    });
    for (const QSharedPointer<Packet>& e : events)
        e->moveToTable(mine, offset);
    mine->ref(int(events.size()));
    theirs->deref(int(events.size()) + 1);
    for (std::size_t i = 0; i < held.size(); ++i) {
        const int a = int(i), b = int(held.size() - 1 - i);
        const auto expected = [](int k) {
            return k == 0 ? QStringLiteral("pooled") : k % 2 ? QString::number(k) : QStringLiteral("t%1").arg(k);
        };
        QCOMPARE(events[i]->get(0).toString(), expected(a));
        QVERIFY(!events[i]->get(1).isValid());
        QCOMPARE(events[i]->get(2).toString(), expected(b));
        QCOMPARE(&mine->at(held[i] + offset), addresses[i]);
    }
    for (int i = 0; i < before; ++i)
        QCOMPARE(mine->at(quint32(i + 1)).toString(), QStringLiteral("mine %1").arg(i));
    const quint32 later = mine->add(TVariant(QStringLiteral("later"), false, nullptr));
    QVERIFY(later >= offset + quint32(taken));
    QCOMPARE(mine->at(later).toString(), QStringLiteral("later"));
    QCOMPARE(mine->size(), later + 1);
    events.clear();
    mine->deref();
}

LUMIVANE_TEST(TablePacketTest)
#include "TablePacketTest.moc"
