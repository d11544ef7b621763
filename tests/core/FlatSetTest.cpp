#include "TestRegistry.h"

#include "core/DeferredRelease.h"
#include "core/FlatSet.h"
#include "core/Packet.h"
#include "core/TList.h"

#include <QtTest>

#include <set>
#include <vector>

namespace {

using PacketPtr = QSharedPointer<Packet>;

std::vector<PacketPtr> makeEvents(int n)
{
    std::vector<PacketPtr> events;
    events.reserve(std::size_t(n));
    for (int i = 0; i < n; ++i) {
        PacketPtr p(new Packet(TList<TVariant>{TVariant(i)}));
        p->conversationId = i;
        events.push_back(p);
    }
    return events;
}

// Whether the set holds exactly the expected elements (all different),
// each once, and finds each of them.
template <typename T>
bool sameElements(const FlatSet<T>& set, const std::vector<T>& expected)
{
    std::set<quintptr> seen;
    for (const T& value : set)
        if (!seen.insert(flatSetKey(value)).second)
            return false;
    std::set<quintptr> wanted;
    for (const T& value : expected)
        wanted.insert(flatSetKey(value));
    if (seen != wanted || set.size() != int(expected.size()))
        return false;
    for (const T& value : expected)
        if (!set.contains(value))
            return false;
    return true;
}

} // namespace

class FlatSetTest : public QObject
{
    Q_OBJECT

private slots:
    void insertRemoveAgainstReference();
    void sharedCopiesSeparateOnChange();
    void adoptAll_data();
    void adoptAll();
    void largeSetIsFreedInTheBackground();
};

void FlatSetTest::insertRemoveAgainstReference()
{
    // Many inserts (index growths) and removals (backward shifts and the
    // last element moving into the gap), checked after each step.
    std::vector<int> storage(3000);
    FlatSet<int*> set;
    std::set<int*> reference;
    quint32 state = 777;
    for (int step = 0; step < 20000; ++step) {
        state = state * 1103515245u + 12345u;
        int* p = &storage[(state >> 8) % storage.size()];
        if (step % 3 == 2)
            QCOMPARE(set.remove(p), reference.erase(p) == 1);
        else
            QCOMPARE(set.insert(p), reference.insert(p).second);
        QCOMPARE(set.contains(p), reference.count(p) == 1);
        if (step % 1000 == 0)
            QVERIFY(sameElements(set, std::vector<int*>(reference.begin(), reference.end())));
    }
    QVERIFY(sameElements(set, std::vector<int*>(reference.begin(), reference.end())));
    set.clear();
    QVERIFY(set.isEmpty());
    QVERIFY(!set.contains(&storage[0]));
}

void FlatSetTest::sharedCopiesSeparateOnChange()
{
    const std::vector<PacketPtr> events = makeEvents(10);
    PacketSet a = PacketSet::fromList(events);
    PacketSet b = a;
    QVERIFY(a.isSharedWith(b));
    QVERIFY(b.remove(events[3]));
    QVERIFY(!a.isSharedWith(b));
    QCOMPARE(a.size(), 10);
    QCOMPARE(b.size(), 9);
    QVERIFY(a.contains(events[3]) && !b.contains(events[3]));
    QVERIFY(a != b);
    b.insert(events[3]);
    QVERIFY(a == b);
    // A shared pointer made anew for the same event is the same element.
    const PacketPtr same = events[5];
    QVERIFY(!a.insert(same));
    // The set holds its events: they outlive the list they came from.
    QWeakPointer<Packet> watched;
    {
        std::vector<PacketPtr> more = makeEvents(1);
        watched = more[0];
        a.insert(more[0]);
    }
    QVERIFY(!watched.isNull());
    a.clear();
    QVERIFY(watched.isNull());
}

void FlatSetTest::adoptAll_data()
{
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("startFilled");
    // Below the parallel size the values are entered one by one.
    QTest::newRow("few, one thread") << 1000 << 1 << false;
    QTest::newRow("few, four threads") << 1000 << 4 << false;
    QTest::newRow("many, four threads") << 100000 << 4 << false;
    QTest::newRow("many, into a filled set") << 100000 << 4 << true;
}

void FlatSetTest::adoptAll()
{
    QFETCH(int, events);
    QFETCH(int, threads);
    QFETCH(bool, startFilled);
    std::vector<PacketPtr> all = makeEvents(events);
    // Four lists: every tenth event comes twice in its own list and again
    // in the next one, the way a double click lists a row's glyphs twice.
    std::vector<std::vector<PacketPtr>> parts(4);
    for (int i = 0; i < events; ++i) {
        std::vector<PacketPtr>& part = parts[std::size_t(i * 4 / events)];
        part.push_back(all[std::size_t(i)]);
        if (i % 10 == 0) {
            part.push_back(all[std::size_t(i)]);
            parts[std::size_t((i * 4 / events + 1) % 4)].push_back(all[std::size_t(i)]);
        }
    }
    PacketSet set;
    if (startFilled) {
        // A third of the events is already there.
        for (int i = 0; i < events; i += 3)
            set.insert(all[std::size_t(i)]);
    }
    set.adoptAll(parts, threads);
    QVERIFY(sameElements(set, all));
    QVERIFY(set.remove(all.back()));
    QVERIFY(!set.contains(all.back()));
    QCOMPARE(set.size(), events - 1);
    // No reference was kept or lost for the repeated values: once the
    // lists, the set and the events go, so do the events' last holders.
    std::vector<QWeakPointer<Packet>> watched;
    for (int i = 0; i < events; i += events / 10)
        watched.push_back(all[std::size_t(i)]);
    parts.clear();
    set.clear();
    all.clear();
    deferredrelease::waitForAll();
    for (const QWeakPointer<Packet>& w : watched)
        QVERIFY(w.isNull());
}

void FlatSetTest::largeSetIsFreedInTheBackground()
{
    QWeakPointer<Packet> watched;
    {
        std::vector<PacketPtr> events = makeEvents(50000);
        watched = events.front();
        PacketSet set = PacketSet::fromList(events);
        events.clear();
        QVERIFY(!watched.isNull());
    }
    // The last holder let go: the events go once the background has run.
    deferredrelease::waitForAll();
    QVERIFY(watched.isNull());
}

LUMIVANE_TEST(FlatSetTest)
#include "FlatSetTest.moc"
