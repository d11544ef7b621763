#include "TestRegistry.h"
#include "CountedHistogram.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

using namespace fixture;

// The context counts values through its own tables and folds them into the
// histograms afterwards; the histograms must come out exactly as counting
// every value straight into them would make them: the same keys (and which
// of several equal keys is kept), the same counts and, for hashed maps, the
// same entry order.

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Identical values: same tag, same number bits, same text.
bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

void compareHistograms(const THash<TVariant, int>& actual, const THash<TVariant, int>& expected)
{
    QCOMPARE(actual.isOrdered(), expected.isOrdered());
    QCOMPARE(actual.size(), expected.size());
    auto a = actual.constBegin();
    for (auto e = expected.constBegin(); e != expected.constEnd(); ++e, ++a) {
        QVERIFY2(identical(a.key(), e.key()), qPrintable(a.key().toString() + " / " + e.key().toString()));
        QCOMPARE(a.value(), e.value());
    }
}

} // namespace

class ContextCountingTest : public QObject
{
    Q_OBJECT

private slots:
    void histogramsAsCountedOneByOne_data();
    void histogramsAsCountedOneByOne();
    void tracesGroupedInLogOrder();
};

void ContextCountingTest::histogramsAsCountedOneByOne_data()
{
    QTest::addColumn<QList<TVariant>>("values");

    const TVariant shared("a", true, nullptr);
    QTest::newRow("rising") << QList<TVariant>{TVariant(1.5), TVariant(2.5), TVariant(2.5), TVariant(3),
                                               TVariant(4.0)};
    QTest::newRow("rising then falling") << QList<TVariant>{TVariant(1), TVariant(2), TVariant(3),
                                                            TVariant(2), TVariant(1), TVariant(5)};
    QTest::newRow("int and equal double") << QList<TVariant>{TVariant(5), TVariant(5.0), TVariant(5),
                                                             TVariant(6.0), TVariant(6)};
    QTest::newRow("zero signs") << QList<TVariant>{TVariant(0.0), TVariant(-0.0), TVariant(0.0), TVariant(-0.0)};
    QTest::newRow("nan") << QList<TVariant>{TVariant(kNaN), TVariant(1), TVariant(kNaN), TVariant(2),
                                            TVariant(kNaN)};
    QTest::newRow("leading nans") << QList<TVariant>{TVariant(kNaN), TVariant(kNaN), TVariant(kNaN), TVariant(1)};
    QTest::newRow("nan after rise") << QList<TVariant>{TVariant(1), TVariant(2), TVariant(kNaN), TVariant(3)};
    QTest::newRow("shared and copied texts")
        << QList<TVariant>{shared, shared, TVariant("a", true, nullptr), TVariant("b", true, nullptr), shared};
    QTest::newRow("texts and numbers") << QList<TVariant>{TVariant(3), shared, TVariant(1), TVariant(3.0),
                                                          TVariant(), TVariant("x", true, nullptr)};
    QTest::newRow("absent values") << QList<TVariant>{TVariant(), TVariant(1), TVariant(), TVariant(1)};
    QTest::newRow("ranges") << QList<TVariant>{TVariant(1.0, 2.0), TVariant(1.0, 2.0), TVariant(1.0, 3.0),
                                               TVariant(1)};

    // Enough distinct values for the tables to grow several times, first
    // rising, then anywhere.
    QList<TVariant> many;
    QRandomGenerator rng(7);
    for (int i = 0; i < 3000; ++i)
        many << TVariant(i / 3);
    for (int i = 0; i < 6000; ++i) {
        const int n = int(rng.bounded(2500));
        many << (n % 2 ? TVariant(n) : TVariant(n / 4.0));
    }
    QTest::newRow("many values") << many;
}

void ContextCountingTest::histogramsAsCountedOneByOne()
{
    QFETCH(QList<TVariant>, values);

    // The same values in a range column (ordered histogram) and a text
    // column (hashed histogram); a third column makes some events sparse.
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch", "ip.src", "frame.len"}, {1, 3, 1}));
    Packets events;
    for (int i = 0; i < values.size(); ++i) {
        TList<TVariant> row;
        row.append(values.at(i));
        row.append(values.at(i));
        row.append(i % 3 ? TVariant(i % 7) : TVariant());
        PacketPtr p(new Packet(row));
        p->conversationId = i % 5 == 4 ? 1000000 + i % 3 : i % 4;
        events.append(p);
    }

    DebugCapture cap;
    cap.setForward(false);
    Context ctx(nullptr, "All", events, store.get(), false);
    ctx.createConversations();

    for (int c = 0; c < 3; ++c)
        compareHistograms(ctx.histograms.at(c), countedOneByOne(events, c, store->isOrderedAttribute(
                                                                         store->packetAttributeNames.at(c))));
    for (int c = 0; c < ctx.conversationHistograms.size(); ++c)
        compareHistograms(ctx.conversationHistograms.at(c),
                          countedOneByOne(ctx.conversationPackets, c, ctx.conversationHistograms.at(c).isOrdered()));
}

void ContextCountingTest::tracesGroupedInLogOrder()
{
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch"}, {1}));
    Packets events;
    std::map<int, QList<Packet*>> expected;
    QRandomGenerator rng(11);
    const int ids[] = {-1, 0, 3, 7, 2000000000, -5, 12};
    for (int i = 0; i < 500; ++i) {
        PacketPtr p = makeEvent({QString::number(i)}, ids[rng.bounded(7)]);
        expected[p->conversationId] << p.data();
        events.append(p);
    }

    DebugCapture cap;
    cap.setForward(false);
    Context ctx(nullptr, "All", events, store.get(), true);

    QCOMPARE(ctx.conversations.size(), int(expected.size()));
    auto it = ctx.conversations.constBegin();
    for (const auto& trace : expected) {
        QCOMPARE(it.key(), trace.first);
        QList<Packet*> grouped;
        for (const PacketPtr& p : it.value().items)
            grouped << p.data();
        QCOMPARE(grouped, trace.second);
        ++it;
    }
    QCOMPARE(ctx.conversationCount(), int(expected.size()));
}

LUMIVANE_TEST(ContextCountingTest)
#include "ContextCountingTest.moc"
