#include "TestRegistry.h"
#include "CountedHistogram.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include "core/ValueInterner.h"
#include "core/ValueTable.h"

#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

using namespace fixture;

// The root context counts its columns on several threads
// (LUMIVANE_THREADS). Whatever the number of threads, it must derive
// exactly what one thread derives: histograms (keys in order, the key kept
// among equal ones, counts), traces, trace records, labels and the point
// where a cancel stops.

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

const QStringList kNames = {"frame.time_epoch", "ip.src", "ip.dst", "frame.len", "uid",
                            "tcp.srcport", "info", "ratio", "flag"};
const QList<int> kKinds = {1, 3, 3, 0, 4, 0, 3, 1, 3};

// A log of `rows` events in one value table: rising times, a few sources,
// near-unique texts, ints and doubles equal as numbers, NaNs and absent
// values, events in `traces` traces (some without one).
Packets makeLog(ValueInterner& values, int rows, int traces, quint32 seed)
{
    QRandomGenerator rng(seed);
    const quint32 nan = values.value(TVariant(kNaN));
    const quint32 three = values.add(TVariant(3.0));
    const quint32 threeInt = values.add(TVariant(3));
    Packets events;
    std::vector<quint32> row(std::size_t(kNames.size()));
    for (int r = 0; r < rows; ++r) {
        row[0] = values.add(TVariant(1600000000.0 + r / 4));
        row[1] = values.value(TVariant(QStringLiteral("10.0.0.%1").arg(rng.bounded(40)), true, nullptr));
        row[2] = rng.bounded(10) == 0 ? 0u : values.value(TVariant(QStringLiteral("10.1.0.%1").arg(rng.bounded(7)), true, nullptr));
        row[3] = values.value(TVariant(int(rng.bounded(1500))));
        row[4] = values.add(TVariant(r));
        switch (rng.bounded(5)) {
        case 0: row[5] = nan; break;
        case 1: row[5] = values.add(TVariant(kNaN)); break;
        case 2: row[5] = three; break;
        case 3: row[5] = threeInt; break;
        default: row[5] = 0; break;
        }
        row[6] = values.add(TVariant(QStringLiteral("text %1").arg(rng.bounded(rows)), true, nullptr));
        row[7] = values.value(TVariant(rng.bounded(100) / 8.0));
        row[8] = rng.bounded(3) == 0 ? 0u : values.value(TVariant(QStringLiteral("f%1").arg(rng.bounded(3)), true, nullptr));
        QSharedPointer<Packet> p = values.packet(row.data(), int(row.size()));
        p->conversationId = rng.bounded(20) == 0 ? -1 : int(rng.bounded(uint(traces)));
        events.append(p);
    }
    return events;
}

void compareHistograms(const THash<TVariant, int>& actual, const THash<TVariant, int>& expected,
                       const QString& what)
{
    QVERIFY2(actual.isOrdered() == expected.isOrdered(), qPrintable(what));
    QVERIFY2(actual.size() == expected.size(),
             qPrintable(QStringLiteral("%1: %2 keys instead of %3").arg(what).arg(actual.size()).arg(expected.size())));
    auto a = actual.constBegin();
    int k = 0;
    for (auto e = expected.constBegin(); e != expected.constEnd(); ++e, ++a, ++k) {
        QVERIFY2(identical(a.key(), e.key()) && a.value() == e.value(),
                 qPrintable(QStringLiteral("%1, key %2: %3 x%4 instead of %5 x%6")
                                .arg(what).arg(k).arg(a.key().toString()).arg(a.value())
                                .arg(e.key().toString()).arg(e.value())));
    }
}

// Everything the two contexts derived from the same events.
void compareContexts(const Context& several, const Context& one)
{
    QCOMPARE(several.histograms.size(), one.histograms.size());
    for (int c = 0; c < one.histograms.size(); ++c) {
        compareHistograms(several.histograms.at(c), one.histograms.at(c), QStringLiteral("column %1").arg(c));
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(several.conversations.keys().toQList(), one.conversations.keys().toQList());
    auto s = several.conversations.constBegin();
    for (auto o = one.conversations.constBegin(); o != one.conversations.constEnd(); ++o, ++s)
        QVERIFY(s.value().items == o.value().items);
    QCOMPARE(several.conversationPackets.size(), one.conversationPackets.size());
    for (int r = 0; r < one.conversationPackets.size(); ++r) {
        const Packet& a = *several.conversationPackets.at(r);
        const Packet& b = *one.conversationPackets.at(r);
        QCOMPARE(a.columnCount(), b.columnCount());
        for (int c = 0; c < b.columnCount(); ++c)
            QVERIFY2(identical(a.get(c), b.get(c)), qPrintable(QStringLiteral("record %1 column %2").arg(r).arg(c)));
    }
    QCOMPARE(several.conversationHistograms.size(), one.conversationHistograms.size());
    for (int c = 0; c < one.conversationHistograms.size(); ++c) {
        compareHistograms(several.conversationHistograms.at(c), one.conversationHistograms.at(c),
                          QStringLiteral("trace column %1").arg(c));
        if (QTest::currentTestFailed())
            return;
    }
}

// Builds the context of `events` with the given number of threads; a label
// starting with `trigger` (if any) cancels it. Returns the labels shown.
QStringList compute(Context& ctx, int threads, const QString& trigger = QString())
{
    qputenv("LUMIVANE_THREADS", QByteArray::number(threads));
    QStringList labels;
    QObject::connect(&ctx, &Context::setLabelText, &ctx, [&](const QString& text) {
        labels << text;
        if (!trigger.isEmpty() && text.startsWith(trigger))
            ctx.cancelled = true;
    }, Qt::DirectConnection);
    QObject::connect(&ctx, &Context::progress, &ctx, [&](int v) { labels << QString::number(v); },
                     Qt::DirectConnection);
    ctx.createConversations();
    qunsetenv("LUMIVANE_THREADS");
    return labels;
}

} // namespace

class ContextThreadsTest : public QObject
{
    Q_OBJECT

private slots:
    void sameAsOneThread_data();
    void sameAsOneThread();
    void cancelledAlike_data();
    void cancelledAlike();
    void cancelFromAnotherThread();
};

void ContextThreadsTest::sameAsOneThread_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("traces");
    QTest::addColumn<int>("threads");
    QTest::addColumn<QString>("mix");
    QTest::newRow("one event") << 1 << 1 << 4 << "";
    QTest::newRow("a stretch and one") << 1001 << 30 << 4 << "";
    QTest::newRow("several batches, 4 threads") << 20000 << 500 << 4 << "";
    QTest::newRow("several batches, 3 threads") << 17000 << 3000 << 3 << "";
    QTest::newRow("more threads than columns") << 9000 << 50 << 16 << "";
    QTest::newRow("events of two tables") << 9000 << 50 << 4 << "two tables";
    QTest::newRow("appended attribute") << 9000 << 50 << 4 << "appended";
}

void ContextThreadsTest::sameAsOneThread()
{
    QFETCH(int, rows);
    QFETCH(int, traces);
    QFETCH(int, threads);
    QFETCH(QString, mix);
    ValueInterner values;
    ValueInterner others;
    Packets events = makeLog(values, rows, traces, uint(rows + traces));
    QStringList names = kNames;
    QList<int> kinds = kKinds;
    if (mix == "two tables") {
        events.append(makeLog(others, rows / 2, traces, 7));
    } else if (mix == "appended") {
        names << QStringLiteral("derived");
        kinds << 1;
        int i = 0;
        for (const PacketPtr& p : events.items)
            p->append(i++ % 3 ? TVariant(i % 4) : TVariant());
    }
    std::unique_ptr<GlyphStore> store(makeStore(names, kinds));

    DebugCapture cap;
    cap.setForward(false);
    Context one(nullptr, "All", events, store.get(), false);
    Context several(nullptr, "All", events, store.get(), false);
    const QStringList oneLabels = compute(one, 1);
    const QStringList severalLabels = compute(several, threads);
    QCOMPARE(severalLabels, oneLabels);
    compareContexts(several, one);
    if (QTest::currentTestFailed())
        return;
    // And both as counted one event at a time.
    for (int c = 0; c < names.size(); ++c) {
        if (store->isKeyAttribute(names.at(c)))
            continue;
        compareHistograms(several.histograms.at(c), countedOneByOne(events, c, store->isOrderedAttribute(names.at(c))),
                          QStringLiteral("column %1 counted one by one").arg(names.at(c)));
        if (QTest::currentTestFailed())
            return;
    }
}

void ContextThreadsTest::cancelledAlike_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("label of event 0") << "Initializing histograms packets 0/";
    QTest::newRow("label of event 1000") << "Initializing histograms packets 1000/";
    QTest::newRow("label at a batch's end") << "Initializing histograms packets 8000/";
    QTest::newRow("label in a later batch") << "Initializing histograms packets 13000/";
    QTest::newRow("last label") << "Initializing histograms packets 19000/";
    QTest::newRow("trace pass") << "Initializing histograms conversations 100/";
}

void ContextThreadsTest::cancelledAlike()
{
    // A cancel asked for while a label is shown stops every count at the
    // same event, whatever the number of threads.
    QFETCH(QString, trigger);
    ValueInterner values;
    const Packets events = makeLog(values, 19500, 400, 11);
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));

    DebugCapture cap;
    cap.setForward(false);
    Context one(nullptr, "All", events, store.get(), false);
    Context several(nullptr, "All", events, store.get(), false);
    const QStringList oneLabels = compute(one, 1, trigger);
    const QStringList severalLabels = compute(several, 4, trigger);
    QVERIFY(!oneLabels.filter(trigger).isEmpty());
    QCOMPARE(severalLabels, oneLabels);
    compareContexts(several, one);
}

void ContextThreadsTest::cancelFromAnotherThread()
{
    // A cancel from elsewhere stops the count soon, at the end of some
    // stretch: what was counted is exactly the events of the traces kept.
    ValueInterner values;
    const Packets events = makeLog(values, 200000, 2000, 5);
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));

    DebugCapture cap;
    cap.setForward(false);
    Context ctx(nullptr, "All", events, store.get(), false);
    std::atomic<bool> started{false};
    std::atomic<bool> cancelSet{false};
    // The reporting thread waits until the cancel is set, so that a busy
    // machine cannot let the count run to its end before the cancel lands.
    QObject::connect(&ctx, &Context::setLabelText, &ctx, [&](const QString& text) {
        if (text.startsWith(QLatin1String("Initializing histograms packets 2000/"))) {
            started = true;
            while (!cancelSet)
                std::this_thread::yield();
        }
    }, Qt::DirectConnection);
    qputenv("LUMIVANE_THREADS", "4");
    std::thread worker([&] { ctx.createConversations(); });
    while (!started)
        std::this_thread::yield();
    ctx.cancelled = true;
    cancelSet = true;
    worker.join();
    qunsetenv("LUMIVANE_THREADS");

    int counted = 0;
    for (auto t = ctx.conversations.constBegin(); t != ctx.conversations.constEnd(); ++t)
        counted += t.value().size();
    QVERIFY(counted > 2000);
    QVERIFY2(counted < events.size(), "the cancel was not honoured");
    QVERIFY((counted - 1) % 1000 == 0 || (counted - 2) % 1000 == 0);
    Packets prefix;
    prefix.items.assign(events.items.begin(), events.items.begin() + counted);
    for (int c = 0; c < kNames.size(); ++c) {
        if (store->isKeyAttribute(kNames.at(c)))
            continue;
        compareHistograms(ctx.histograms.at(c), countedOneByOne(prefix, c, store->isOrderedAttribute(kNames.at(c))),
                          QStringLiteral("column %1").arg(kNames.at(c)));
        if (QTest::currentTestFailed())
            return;
    }
}

LUMIVANE_TEST(ContextThreadsTest)
#include "ContextThreadsTest.moc"
