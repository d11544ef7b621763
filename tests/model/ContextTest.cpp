#include "TestRegistry.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include "core/Constants.h"

#include <QSignalSpy>
#include <QtTest>

#include <limits>
#include <memory>

using namespace fixture;

namespace {

// Column layout of the small logs below.
const QStringList kNames = {"frame.time_epoch", "ip.src", "ip.dst", "frame.len", "uid"};
const QList<int> kKinds = {1, 3, 3, 1, 4};

int convColumn(const QString& name)
{
    static const QStringList conv = {
        "conv.convid", "conv.length", "conv.from_epoch", "conv.to_epoch", "conv.duration",
        "conv.src_country", "conv.dst_country", "conv.src", "conv.dst",
        "conv.from_second", "conv.from_minute", "conv.from_hour", "conv.from_day",
        "conv.from_week", "conv.from_month", "conv.from_year", "conv.from_strday",
        "conv.from_strmonth", "conv.to_second", "conv.to_minute", "conv.to_hour",
        "conv.to_day", "conv.to_week", "conv.to_month", "conv.to_year", "conv.to_strday",
        "conv.to_strmonth"};
    return conv.indexOf(name);
}

TVariant recordValue(const Context& ctx, int record, const QString& attribute)
{
    return ctx.conversationPackets.at(record)->get(convColumn(attribute));
}

// Events whose only attribute is the time, given as values, all in trace 1.
Packets timedTrace(const QList<TVariant>& times)
{
    Packets events;
    for (const TVariant& t : times) {
        TList<TVariant> row;
        row.append(t);
        PacketPtr p(new Packet(row));
        p->conversationId = 1;
        events.append(p);
    }
    return events;
}

} // namespace

class ContextTest : public QObject
{
    Q_OBJECT

private slots:
    void constructionLinksParentAndMakesSlots();
    void progressLabelsAndDebugLines();
    void conversationsGroupedById();
    void duration_data();
    void duration();
    void missingAttributesGiveSubstitutes();
    void countriesTakenFromFirstEvent();
    void dateParts_data();
    void dateParts();
    void histogramKinds();
    void orderedHistogramMergesEquivalentKeys();
    void updateHistogramsCountsKeyColumn();
    void cancellation_data();
    void cancellation();
};

void ContextTest::constructionLinksParentAndMakesSlots()
{
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    DebugCapture cap;
    cap.setForward(false);
    Packets events = list({makeEvent({"1", "a", "b", "10", "x"}, 0)});
    Context* root = new Context(nullptr, "All", events, store.get(), false);
    store->rootContext = root;
    QCOMPARE(cap.lines(), QStringList{"start Freq"});
    QCOMPARE(root->histograms.size(), kNames.size());
    for (const auto& h : root->histograms.items) {
        QVERIFY(h.isEmpty());
        QVERIFY(!h.isOrdered());
    }
    QCOMPARE(root->packets.size(), 1);
    QVERIFY(root->conversations.isOrdered());
    QVERIFY(!root->modified);
    QVERIFY(!root->cancelled);

    Context* child = new Context(root, "sel", events, store.get(), true);
    Context* second = new Context(root, "sel2", events, store.get(), true);
    QCOMPARE(root->children.size(), 2);
    QCOMPARE(root->children.at(0), child);
    QCOMPARE(root->children.at(1), second);
    QCOMPARE(child->parent, root);
    QCOMPARE(child->conversationCount(), 1);
    QCOMPARE(child->size(), 1);

    // A context deleted on its own leaves its parent's list of children.
    delete child;
    QCOMPARE(root->children.size(), 1);
    QCOMPARE(root->children.at(0), second);
}

void ContextTest::progressLabelsAndDebugLines()
{
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    Packets events;
    for (int i = 0; i < 2500; ++i)
        events.append(makeEvent({QString::number(i), "a", "b", "1", QString::number(i)}, i % 250));

    DebugCapture cap;
    cap.setForward(false);
    Context ctx(nullptr, "All", events, store.get(), false);
    QSignalSpy progress(&ctx, &Context::progress);
    QSignalSpy labels(&ctx, &Context::setLabelText);
    ctx.createConversations();

    QList<int> values;
    for (const auto& args : progress)
        values << args.at(0).toInt();
    QCOMPARE(values, (QList<int>{0, 1, 2, 3, 4}));

    QStringList texts;
    for (const auto& args : labels)
        texts << args.at(0).toString();
    const QStringList expected = {
        "Initializing histograms",
        "Initializing histograms packets 0/2500 packets",
        "Initializing histograms packets 1000/2500 packets",
        "Initializing histograms packets 2000/2500 packets",
        "Building conversation data",
        "Initializing histograms conversations 0/250 conversations",
        "Initializing histograms conversations 100/250 conversations",
        "Initializing histograms conversations 200/250 conversations",
    };
    QCOMPARE(texts, expected);
    QCOMPARE(cap.lines(), (QStringList{"start Freq", "build conversation data", "done", "end Freq",
                                       "create conversations", "done"}));
    QCOMPARE(ctx.conversationCount(), 250);
    QCOMPARE(ctx.conversations.size(), 250);
    QCOMPARE(ctx.conversationHistograms.size(), 27);
}

void ContextTest::conversationsGroupedById()
{
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    PacketPtr a = makeEvent({"100", "10.0.0.1", "10.0.0.2", "60", "u1"}, 7);
    PacketPtr b = makeEvent({"105", "10.0.0.3", "10.0.0.4", "70", "u2"}, 3);
    PacketPtr c = makeEvent({"130", "10.0.0.5", "10.0.0.6", "80", "u3"}, 7);
    Context ctx(nullptr, "All", list({a, b, c}), store.get(), true);

    QCOMPARE(ctx.conversations.keys().toQList(), (QList<int>{3, 7}));
    QCOMPARE(ctx.conversations.at(7).toQList(), (QList<PacketPtr>{a, c}));
    QCOMPARE(ctx.conversationCount(), 2);
    QCOMPARE(recordValue(ctx, 0, "conv.convid"), TVariant(3));
    QCOMPARE(recordValue(ctx, 1, "conv.convid"), TVariant(7));
    QCOMPARE(recordValue(ctx, 1, "conv.length"), TVariant(2));
    QCOMPARE(recordValue(ctx, 1, "conv.from_epoch"), TVariant(100));
    QCOMPARE(recordValue(ctx, 1, "conv.to_epoch"), TVariant(130));
    QCOMPARE(recordValue(ctx, 1, "conv.duration"), TVariant(30));
    QCOMPARE(recordValue(ctx, 1, "conv.src").toString(), QString("10.0.0.1"));
    QCOMPARE(recordValue(ctx, 1, "conv.dst").toString(), QString("10.0.0.2"));
    QCOMPARE(ctx.conversationPackets.at(1)->conversationId, -1);

    // Trace histograms count records; event histograms count events.
    QCOMPARE(ctx.conversationHistograms.at(convColumn("conv.length")).value(TVariant(2)), 1);
    QCOMPARE(ctx.conversationHistograms.at(convColumn("conv.convid")).size(), 2);
    QCOMPARE(ctx.histograms.at(3).value(TVariant(70)), 1);
    QCOMPARE(ctx.histograms.at(1).size(), 3);
}

void ContextTest::duration_data()
{
    QTest::addColumn<TVariant>("first");
    QTest::addColumn<TVariant>("last");
    QTest::addColumn<int>("duration");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("equal times") << TVariant(50) << TVariant(50) << 1;
    QTest::newRow("seconds") << TVariant(100) << TVariant(160) << 60;
    QTest::newRow("backwards") << TVariant(160) << TVariant(100) << 1;
    QTest::newRow("fractions dropped") << TVariant(1.9) << TVariant(3.2) << 2;
    QTest::newRow("millisecond epochs") << TVariant(1600000000000.0) << TVariant(1600000005000.0) << 5000;
    QTest::newRow("huge last") << TVariant(0) << TVariant(1e20) << std::numeric_limits<int>::max();
    QTest::newRow("huge first") << TVariant(1e20) << TVariant(0) << 1;
    QTest::newRow("both extreme") << TVariant(-1e30) << TVariant(1e30) << std::numeric_limits<int>::max();
    QTest::newRow("nan") << TVariant(nan) << TVariant(10) << 10;
    QTest::newRow("no time") << TVariant() << TVariant() << 1;
}

void ContextTest::duration()
{
    QFETCH(TVariant, first);
    QFETCH(TVariant, last);
    QFETCH(int, duration);
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch"}, {0}));
    Context ctx(nullptr, "All", timedTrace({first, last}), store.get(), true);
    QCOMPARE(ctx.conversationCount(), 1);
    QCOMPARE(recordValue(ctx, 0, "conv.duration"), TVariant(duration));
}

void ContextTest::missingAttributesGiveSubstitutes()
{
    // No time, source, destination or country attribute at all.
    std::unique_ptr<GlyphStore> store(makeStore({"other"}, {3}));
    Context ctx(nullptr, "All", list({makeEvent({"x"}, 1), makeEvent({"y"}, 2)}), store.get(), true);
    QCOMPARE(ctx.conversationCount(), 2);
    for (int r = 0; r < 2; ++r) {
        QCOMPARE(recordValue(ctx, r, "conv.src_country").toString(), QString("Unknown"));
        QCOMPARE(recordValue(ctx, r, "conv.dst_country").toString(), QString("Unknown"));
        QVERIFY(!recordValue(ctx, r, "conv.src").isValid());
        QVERIFY(!recordValue(ctx, r, "conv.dst").isValid());
        QVERIFY(!recordValue(ctx, r, "conv.from_epoch").isValid());
        QCOMPARE(recordValue(ctx, r, "conv.duration"), TVariant(1));
        QCOMPARE(recordValue(ctx, r, "conv.from_year"), TVariant(1970));
    }
    const auto& countries = ctx.conversationHistograms.at(convColumn("conv.src_country"));
    QCOMPARE(countries.size(), 1);
    QCOMPARE(countries.value(val("Unknown")), 2);
    // Absent values are not counted.
    QVERIFY(ctx.conversationHistograms.at(convColumn("conv.src")).isEmpty());
}

void ContextTest::countriesTakenFromFirstEvent()
{
    const QString savedSrc = SRC_ATTRIBUTE;
    SRC_ATTRIBUTE = "host";
    std::unique_ptr<GlyphStore> store(
        makeStore({"frame.time_epoch", "host", "ip.geoip.src_country"}, {1, 3, 3}));
    Context ctx(nullptr, "All",
                list({makeEvent({"1", "h1", "Norway"}, 4), makeEvent({"2", "h2", "Chile"}, 4)}),
                store.get(), true);
    SRC_ATTRIBUTE = savedSrc;
    QCOMPARE(recordValue(ctx, 0, "conv.src_country").toString(), QString("Norway"));
    QCOMPARE(recordValue(ctx, 0, "conv.dst_country").toString(), QString("Unknown"));
    QCOMPARE(recordValue(ctx, 0, "conv.src").toString(), QString("h1"));
    QVERIFY(!recordValue(ctx, 0, "conv.dst").isValid());
}

void ContextTest::dateParts_data()
{
    QTest::addColumn<TVariant>("time");
    QTest::addColumn<QList<int>>("parts");   // second .. year
    QTest::addColumn<QString>("day");
    QTest::addColumn<QString>("month");
    QTest::newRow("epoch") << TVariant(0) << QList<int>{0, 0, 0, 1, 1, 1, 1970} << "Thursday" << "January";
    QTest::newRow("2020") << TVariant(1600000000) << QList<int>{40, 26, 12, 13, 37, 9, 2020}
                          << "Sunday" << "September";
    QTest::newRow("fraction") << TVariant(1600000000.75) << QList<int>{40, 26, 12, 13, 37, 9, 2020}
                              << "Sunday" << "September";
    // Seconds are an unsigned 32-bit count: -1 is the last second it holds.
    QTest::newRow("negative") << TVariant(-1) << QList<int>{15, 28, 6, 7, 5, 2, 2106}
                              << "Sunday" << "February";
    // Out of the int range: saturated, not undefined.
    QTest::newRow("milliseconds") << TVariant(1600000000000.0) << QList<int>{7, 14, 3, 19, 3, 1, 2038}
                                  << "Tuesday" << "January";
    QTest::newRow("nan") << TVariant(std::numeric_limits<double>::quiet_NaN())
                         << QList<int>{0, 0, 0, 1, 1, 1, 1970} << "Thursday" << "January";
}

void ContextTest::dateParts()
{
    QFETCH(TVariant, time);
    QFETCH(QList<int>, parts);
    QFETCH(QString, day);
    QFETCH(QString, month);
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch"}, {1}));
    Context ctx(nullptr, "All", timedTrace({TVariant(5), time}), store.get(), true);
    const QStringList names = {"second", "minute", "hour", "day", "week", "month", "year"};
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(recordValue(ctx, 0, "conv.to_" + names.at(i)), TVariant(parts.at(i)));
    const TVariant strday = recordValue(ctx, 0, "conv.to_strday");
    QCOMPARE(strday.type, quint16(TVariant::String));
    QCOMPARE(strday.toString(), day);
    QCOMPARE(recordValue(ctx, 0, "conv.to_strmonth").toString(), month);
    QCOMPARE(recordValue(ctx, 0, "conv.from_strday").toString(), QString("Thursday"));
}

void ContextTest::histogramKinds()
{
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    Context ctx(nullptr, "All",
                list({makeEvent({"5", "a", "b", "30", "k1"}, 0), makeEvent({"2", "a", "c", "10", "k2"}, 0),
                      makeEvent({"9", "", "c", "20", "k3"}, 1)}),
                store.get(), true);
    // Range attributes are ordered by value, others hashed; identifiers are
    // not counted at load time.
    QVERIFY(ctx.histograms.at(0).isOrdered());
    QCOMPARE(ctx.histograms.at(0).keys().toQList(), (QList<TVariant>{TVariant(2), TVariant(5), TVariant(9)}));
    QVERIFY(!ctx.histograms.at(1).isOrdered());
    QCOMPARE(ctx.histograms.at(1).value(val("a")), 2);
    QCOMPARE(ctx.histograms.at(1).size(), 1);
    QCOMPARE(ctx.histograms.at(2).value(val("c")), 2);
    QVERIFY(ctx.histograms.at(4).isEmpty());
    QVERIFY(ctx.conversationHistograms.at(convColumn("conv.duration")).isOrdered());
    QVERIFY(ctx.conversationHistograms.at(convColumn("conv.length")).isOrdered());
    QVERIFY(!ctx.conversationHistograms.at(convColumn("conv.src")).isOrdered());
}

void ContextTest::orderedHistogramMergesEquivalentKeys()
{
    // In a range column an int and an equal double are one key, the one
    // seen first; NaNs are one key after every number.
    std::unique_ptr<GlyphStore> store(makeStore({"v"}, {1}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Packets events = timedTrace({TVariant(3), TVariant(2.5), TVariant(3.0), TVariant(nan),
                                 TVariant(-1), TVariant(nan), TVariant(2.5)});
    Context ctx(nullptr, "All", events, store.get(), true);
    const THash<TVariant, int>& h = ctx.histograms.at(0);
    QStringList entries;
    for (auto it = h.constBegin(); it != h.constEnd(); ++it)
        entries << it.key().toString() + ":" + QString::number(it.value());
    QCOMPARE(entries, (QStringList{"-1:1", "2.500000:2", "3:2", "nan:2"}));
}

void ContextTest::updateHistogramsCountsKeyColumn()
{
    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    Context ctx(nullptr, "All",
                list({makeEvent({"1", "a", "b", "3", "k1"}, 0), makeEvent({"2", "a", "b", "3", "k1"}, 0),
                      makeEvent({"3", "a", "b", "3", ""}, 0)}),
                store.get(), true);
    QVERIFY(ctx.histograms.at(4).isEmpty());
    ctx.updateHistograms(TList<int>{4});
    QCOMPARE(ctx.histograms.at(4).size(), 1);
    QCOMPARE(ctx.histograms.at(4).value(val("k1")), 2);

    // A recount replaces the old counts instead of adding to them.
    ctx.updateHistograms(TList<int>{3, 4});
    QCOMPARE(ctx.histograms.at(3).value(TVariant(3)), 3);
    QCOMPARE(ctx.histograms.at(4).value(val("k1")), 2);

    ctx.appendHistogram();
    QCOMPARE(ctx.histograms.size(), kNames.size() + 1);
    QVERIFY(ctx.histograms.last().isEmpty());
}

void ContextTest::cancellation_data()
{
    QTest::addColumn<QString>("trigger");     // "p<N>" progress value, else a label
    QTest::addColumn<int>("traces");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<int>("histograms");
    QTest::addColumn<int>("groupedEvents");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("traceHistograms");

    QTest::newRow("after progress 0") << "p0" << 3 << QList<int>{0} << 0 << 0 << 0 << 0;
    QTest::newRow("after progress 1") << "p1" << 3 << QList<int>{0, 1} << 5 << 0 << 0 << 0;
    // The flag is tested after each event, before its label: the label of
    // event 0 stops the pass after event 1.
    QTest::newRow("event pass") << "Initializing histograms packets 0/5 packets" << 3
                                << QList<int>{0, 1} << 5 << 2 << 0 << 0;
    QTest::newRow("before trace records") << "p2" << 3 << QList<int>{0, 1, 2} << 5 << 5 << 0 << 0;
    QTest::newRow("trace pass") << "Initializing histograms conversations 0/3 conversations" << 3
                                << QList<int>{0, 1, 2, 3} << 5 << 5 << 1 << 27;
    // After the last trace nothing is tested any more.
    QTest::newRow("last trace") << "Initializing histograms conversations 0/1 conversations" << 1
                                << QList<int>{0, 1, 2, 3, 4} << 5 << 5 << 1 << 27;
}

void ContextTest::cancellation()
{
    QFETCH(QString, trigger);
    QFETCH(int, traces);
    QFETCH(QList<int>, progress);
    QFETCH(int, histograms);
    QFETCH(int, groupedEvents);
    QFETCH(int, records);
    QFETCH(int, traceHistograms);

    std::unique_ptr<GlyphStore> store(makeStore(kNames, kKinds));
    Packets events;
    for (int i = 0; i < 5; ++i)
        events.append(makeEvent({QString::number(i), "a", "b", "1", "k"}, i % traces));
    Context ctx(nullptr, "All", events, store.get(), false);

    // Direct connections: the flag is set inside the emission, exactly at
    // the check point that follows it.
    QList<int> seen;
    connect(&ctx, &Context::progress, this, [&](int value) {
        seen << value;
        if (trigger == "p" + QString::number(value))
            ctx.cancelled = true;
    }, Qt::DirectConnection);
    connect(&ctx, &Context::setLabelText, this, [&](const QString& text) {
        if (text == trigger)
            ctx.cancelled = true;
    }, Qt::DirectConnection);

    DebugCapture cap;
    cap.setForward(false);
    ctx.createConversations();

    QCOMPARE(seen, progress);
    QCOMPARE(ctx.histograms.size(), histograms);
    int grouped = 0;
    for (const auto& trace : ctx.conversations.values().items)
        grouped += trace.size();
    QCOMPARE(grouped, groupedEvents);
    QCOMPARE(ctx.conversationCount(), records);
    QCOMPARE(ctx.conversationHistograms.size(), traceHistograms);
    if (histograms > 0)
        QCOMPARE(ctx.histograms.at(3).value(TVariant(1)), groupedEvents);
    const bool complete = progress.last() == 4;
    QCOMPARE(cap.count("done"), complete ? 2 : 1);
    QCOMPARE(cap.lines().mid(cap.lines().size() - 3),
             (QStringList{"end Freq", "create conversations", "done"}));
}

LUMIVANE_TEST(ContextTest)
#include "ContextTest.moc"
