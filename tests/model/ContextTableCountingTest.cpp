#include "TestRegistry.h"
#include "CountedHistogram.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include "core/ValueInterner.h"
#include "core/ValueTable.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

using namespace fixture;

// Events read from a log keep positions into the log's value table, and a
// context counts those by position. Everything a context derives must come
// out exactly as for the same rows held as values: the histograms (keys in
// iteration order, which of several equal keys is kept, counts), the
// traces and their records.

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

// Rows of positions into one interner's table (0 = absent) and their traces.
struct Log
{
    ValueInterner values;
    std::vector<std::vector<quint32>> rows;
    std::vector<int> ids;
};

// Kinds of the columns: a range (ordered), two texts, a number (hashed), a
// key (not counted), then more of the counted kinds.
QStringList columnNames(int columns)
{
    QStringList names = {"frame.time_epoch", "ip.src", "ip.dst", "frame.len", "uid"};
    for (int c = names.size(); c < columns; ++c)
        names << QStringLiteral("attr%1").arg(c);
    return names.mid(0, columns);
}

QList<int> columnKinds(int columns)
{
    QList<int> kinds = {1, 3, 3, 0, 4};
    const int cycle[] = {1, 3, 0, 2};
    for (int c = kinds.size(); c < columns; ++c)
        kinds << cycle[c % 4];
    return kinds.mid(0, columns);
}

int traceId(QRandomGenerator& rng)
{
    const int ids[] = {-1, 0, 1, 3, 7, 12, 2000000000, -5};
    return ids[rng.bounded(8)];
}

// The scenarios, by name.
void build(const QString& name, Log& log, int& columns)
{
    QRandomGenerator rng(uint(qHash(name)));
    ValueInterner& v = log.values;
    auto addRow = [&](std::vector<quint32> row) {
        log.rows.push_back(std::move(row));
        log.ids.push_back(traceId(rng));
    };
    if (name == "int and double equal as numbers" || name == "double stored first, int seen first") {
        // Each kind at a position of its own; which of two equal keys an
        // ordered histogram keeps is the one seen first.
        columns = 6;
        quint32 i3, d3, i2, d2;
        if (name.startsWith("int")) {
            i3 = v.add(TVariant(3));
            d3 = v.add(TVariant(3.0));
            i2 = v.add(TVariant(2));
            d2 = v.add(TVariant(2.0));
        } else {
            d2 = v.add(TVariant(2.0));
            d3 = v.add(TVariant(3.0));
            i2 = v.add(TVariant(2));
            i3 = v.add(TVariant(3));
        }
        const quint32 seq[] = {d3, i3, i3, d3, i2, d2, d3, i2, i3, d2};
        for (int r = 0; r < 40; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(seq[(r + c * 3) % 10]);
            addRow(row);
        }
    } else if (name == "positions out of order") {
        columns = 6;
        std::vector<quint32> stored;
        for (int i = 0; i < 60; ++i) {
            switch (i % 4) {
            case 0: stored.push_back(v.add(TVariant(i))); break;
            case 1: stored.push_back(v.add(TVariant(i / 4.0))); break;
            case 2: stored.push_back(v.add(TVariant(QStringLiteral("s%1").arg(i % 9), true, nullptr))); break;
            default: stored.push_back(v.add(TVariant(double(i), i + 1.0))); break;
            }
        }
        for (int r = 0; r < 60; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(stored[std::size_t((59 - r + c) % 60)]);
            addRow(row);
        }
        for (int r = 0; r < 400; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(stored[rng.bounded(60)]);
            addRow(row);
        }
    } else if (name == "absent values over 40 columns") {
        columns = 40;
        std::vector<quint32> stored;
        for (int i = 0; i < 30; ++i)
            stored.push_back(i % 2 ? v.value(TVariant(i % 7))
                                   : v.value(TVariant(QStringLiteral("t%1").arg(i % 5), true, nullptr)));
        for (int r = 0; r < 700; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(rng.bounded(100) < 35 ? 0u : stored[rng.bounded(30)]);
            // Some rows hold every column, some none.
            if (r % 50 == 7)
                std::fill(row.begin(), row.end(), stored[r % 30]);
            if (r % 50 == 8)
                std::fill(row.begin(), row.end(), 0u);
            addRow(row);
        }
    } else if (name == "nan values") {
        columns = 6;
        const quint32 reused = v.value(TVariant(kNaN));
        for (int r = 0; r < 300; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c) {
                switch (rng.bounded(4)) {
                case 0: row.push_back(v.value(TVariant(kNaN))); break;
                case 1: row.push_back(reused); break;
                case 2: row.push_back(v.value(TVariant(double(rng.bounded(5))))); break;
                default: row.push_back(0); break;
                }
            }
            addRow(row);
        }
    } else if (name == "equal values at separate positions") {
        columns = 6;
        const TVariant shared(QStringLiteral("dup"), true, nullptr);
        const quint32 same[] = {v.add(shared), v.add(shared), v.add(TVariant(QStringLiteral("dup"), true, nullptr)),
                                v.add(TVariant(5)), v.add(TVariant(5)), v.add(TVariant(5.0)),
                                v.add(TVariant(1.0, 2.0)), v.add(TVariant(1.0, 2.0))};
        for (int r = 0; r < 200; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(same[rng.bounded(8)]);
            addRow(row);
        }
    } else if (name == "rising positions") {
        // Every value new, as in a column of running numbers.
        columns = 6;
        for (int r = 0; r < 3000; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(v.add(c % 2 ? TVariant(r * 2 + c)
                                          : TVariant(QStringLiteral("r%1").arg(r), true, nullptr)));
            addRow(row);
        }
    } else if (name == "many events and traces") {
        // Several stretches of a thousand events and enough distinct
        // values for the counting tables to grow.
        columns = 7;
        std::vector<quint32> stored;
        for (int i = 0; i < 2500; ++i)
            stored.push_back(i % 3 ? v.add(TVariant(i % 1700)) : v.add(TVariant(i / 8.0)));
        for (int r = 0; r < 5200; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(c == 6 && r % 5 == 0 ? 0u : stored[rng.bounded(r < 1200 ? 2500 : 300)]);
            addRow(row);
            log.ids.back() = rng.bounded(10) == 0 ? traceId(rng) : int(rng.bounded(400));
        }
    } else if (name == "few events over a large table") {
        // Positions on both sides of the stretch a few events count by
        // position: equal values there and beyond, NaNs, repeats.
        columns = 6;
        std::vector<quint32> stored;
        for (int i = 0; i < 3000; ++i) {
            switch (i % 5) {
            case 0: stored.push_back(v.add(TVariant(i % 13))); break;
            case 1: stored.push_back(v.add(TVariant(double(i % 13)))); break;
            case 2: stored.push_back(v.add(TVariant(QStringLiteral("s%1").arg(i % 11), true, nullptr))); break;
            case 3: stored.push_back(v.add(TVariant(kNaN))); break;
            default: stored.push_back(v.add(TVariant(i))); break;
            }
        }
        for (int r = 0; r < 12; ++r) {
            std::vector<quint32> row;
            for (int c = 0; c < columns; ++c)
                row.push_back(stored[rng.bounded(2) ? rng.bounded(40) : 1500 + rng.bounded(40)]);
            addRow(row);
        }
    } else if (name == "texts of a log") {
        columns = 6;
        THash<QString, TVariant> pool;
        pool.insert(QString(), TVariant());
        const QStringList texts = {"10.0.0.1", "10.0.0.2", "60", "1500", "", "1600000000",
                                   "1600000000.5", "a", "b", "nan", "-0", "0", "7.", "007", "7"};
        for (int r = 0; r < 600; ++r) {
            QStringList fields;
            for (int c = 0; c < columns; ++c)
                fields << texts.at(int(rng.bounded(texts.size())));
            std::vector<QStringView> views(fields.begin(), fields.end());
            std::vector<quint32> row(std::size_t(columns), 0u);
            v.texts(views.data(), columns, &pool, row.data());
            addRow(row);
        }
    }
}

// The same rows as events holding their own values.
Packets ownedEvents(const Log& log)
{
    Packets events;
    for (std::size_t r = 0; r < log.rows.size(); ++r) {
        TList<TVariant> row;
        for (quint32 p : log.rows[r])
            row.append(log.values.table()->at(p));
        PacketPtr packet(new Packet(row));
        packet->conversationId = log.ids[r];
        events.append(packet);
    }
    return events;
}

Packets tabledEvents(Log& log)
{
    Packets events;
    for (std::size_t r = 0; r < log.rows.size(); ++r) {
        PacketPtr packet = log.values.packet(log.rows[r].data(), int(log.rows[r].size()));
        packet->conversationId = log.ids[r];
        events.append(packet);
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
        QVERIFY2(identical(a.key(), e.key()),
                 qPrintable(QStringLiteral("%1, key %2: %3 (type %4) instead of %5 (type %6)")
                                .arg(what)
                                .arg(k)
                                .arg(a.key().toString())
                                .arg(a.key().type)
                                .arg(e.key().toString())
                                .arg(e.key().type)));
        QVERIFY2(a.value() == e.value(),
                 qPrintable(QStringLiteral("%1, key %2 (%3): count %4 instead of %5")
                                .arg(what)
                                .arg(k)
                                .arg(e.key().toString())
                                .arg(a.value())
                                .arg(e.value())));
    }
}

// Everything the two contexts derived, compared; events are matched by
// their place in the log.
void compareContexts(const Context& tabled, const Context& owned, const Packets& tabledList,
                     const Packets& ownedList, const GlyphStore& store, bool complete = true)
{
    QCOMPARE(tabled.histograms.size(), owned.histograms.size());
    for (int c = 0; c < tabled.histograms.size(); ++c) {
        const QString name = store.packetAttributeNames.at(c);
        compareHistograms(tabled.histograms.at(c), owned.histograms.at(c), QStringLiteral("column ") + name);
        if (QTest::currentTestFailed())
            return;
        if (complete && !store.isKeyAttribute(name)) {
            compareHistograms(tabled.histograms.at(c),
                              countedOneByOne(tabledList, c, store.isOrderedAttribute(name)),
                              QStringLiteral("column %1 counted one by one").arg(name));
            if (QTest::currentTestFailed())
                return;
        }
    }

    QHash<const Packet*, int> tabledIndex;
    QHash<const Packet*, int> ownedIndex;
    for (int i = 0; i < tabledList.size(); ++i) {
        tabledIndex.insert(tabledList.at(i).data(), i);
        ownedIndex.insert(ownedList.at(i).data(), i);
    }
    QCOMPARE(tabled.conversations.keys().toQList(), owned.conversations.keys().toQList());
    auto t = tabled.conversations.constBegin();
    for (auto o = owned.conversations.constBegin(); o != owned.conversations.constEnd(); ++o, ++t) {
        QList<int> a;
        QList<int> b;
        for (const PacketPtr& p : t.value().items)
            a << tabledIndex.value(p.data(), -1);
        for (const PacketPtr& p : o.value().items)
            b << ownedIndex.value(p.data(), -1);
        QCOMPARE(a, b);
    }

    QCOMPARE(tabled.conversationPackets.size(), owned.conversationPackets.size());
    for (int r = 0; r < owned.conversationPackets.size(); ++r) {
        const Packet& a = *tabled.conversationPackets.at(r);
        const Packet& b = *owned.conversationPackets.at(r);
        QCOMPARE(a.columnCount(), b.columnCount());
        for (int c = 0; c < b.columnCount(); ++c)
            QVERIFY2(identical(a.get(c), b.get(c)), qPrintable(QStringLiteral("record %1 column %2").arg(r).arg(c)));
    }
    QCOMPARE(tabled.conversationHistograms.size(), owned.conversationHistograms.size());
    for (int c = 0; c < owned.conversationHistograms.size(); ++c) {
        compareHistograms(tabled.conversationHistograms.at(c), owned.conversationHistograms.at(c),
                          QStringLiteral("trace column ") + store.conversationAttributeNames.at(c));
        if (QTest::currentTestFailed())
            return;
    }
}

} // namespace

class ContextTableCountingTest : public QObject
{
    Q_OBJECT

private slots:
    void sameAsOwnedValues_data();
    void sameAsOwnedValues();
    void mixedEventsCountedByValue_data();
    void mixedEventsCountedByValue();
    void cancelledAlike_data();
    void cancelledAlike();
};

void ContextTableCountingTest::sameAsOwnedValues_data()
{
    QTest::addColumn<QString>("scenario");
    for (const char* name : {"int and double equal as numbers", "double stored first, int seen first",
                             "positions out of order", "absent values over 40 columns", "nan values",
                             "equal values at separate positions", "rising positions",
                             "many events and traces", "few events over a large table", "texts of a log"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void ContextTableCountingTest::sameAsOwnedValues()
{
    QFETCH(QString, scenario);
    Log log;
    int columns = 0;
    build(scenario, log, columns);
    QVERIFY(!log.rows.empty());
    std::unique_ptr<GlyphStore> store(makeStore(columnNames(columns), columnKinds(columns)));
    const Packets tabledList = tabledEvents(log);
    const Packets ownedList = ownedEvents(log);

    DebugCapture cap;
    cap.setForward(false);
    Context tabled(nullptr, "All", tabledList, store.get(), true);
    Context owned(nullptr, "All", ownedList, store.get(), true);
    compareContexts(tabled, owned, tabledList, ownedList, *store);
}

void ContextTableCountingTest::mixedEventsCountedByValue_data()
{
    QTest::addColumn<QString>("mix");
    QTest::newRow("two tables") << "two tables";
    QTest::newRow("table and owned events") << "table and owned";
    QTest::newRow("different widths") << "different widths";
    QTest::newRow("appended attribute counted") << "appended";
}

void ContextTableCountingTest::mixedEventsCountedByValue()
{
    // Events that cannot all be counted by position in one table: the
    // histograms are the same all the same.
    QFETCH(QString, mix);
    Log first;
    Log second;
    int columns = 0;
    build("positions out of order", first, columns);
    build("equal values at separate positions", second, columns);
    QStringList names = columnNames(columns);
    QList<int> kinds = columnKinds(columns);
    Packets tabledList = tabledEvents(first);
    Packets ownedList = ownedEvents(first);
    if (mix == "two tables") {
        tabledList.append(tabledEvents(second));
        ownedList.append(ownedEvents(second));
    } else if (mix == "table and owned") {
        tabledList.append(ownedEvents(second));
        ownedList.append(ownedEvents(second));
    } else if (mix == "different widths") {
        for (auto& row : second.rows)
            row.pop_back();
        tabledList.append(tabledEvents(second));
        ownedList.append(ownedEvents(second));
    } else {
        // A derived attribute past the base columns.
        names << QStringLiteral("derived");
        kinds << 1;
        for (const Packets* list : {&tabledList, &ownedList}) {
            int i = 0;
            for (const PacketPtr& p : list->items)
                p->append(i++ % 3 ? TVariant(i % 4) : TVariant());
        }
    }
    std::unique_ptr<GlyphStore> store(makeStore(names, kinds));

    DebugCapture cap;
    cap.setForward(false);
    Context tabled(nullptr, "All", tabledList, store.get(), true);
    Context owned(nullptr, "All", ownedList, store.get(), true);
    compareContexts(tabled, owned, tabledList, ownedList, *store);
}

void ContextTableCountingTest::cancelledAlike_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("label of event 0") << "Initializing histograms packets 0/5200 packets";
    QTest::newRow("label of event 1000") << "Initializing histograms packets 1000/5200 packets";
    QTest::newRow("label of event 5000") << "Initializing histograms packets 5000/5200 packets";
    QTest::newRow("trace pass") << "Initializing histograms conversations 100/";
}

void ContextTableCountingTest::cancelledAlike()
{
    // A cancel asked for while a label is shown stops both counts at the
    // same event.
    QFETCH(QString, trigger);
    Log log;
    int columns = 0;
    build("many events and traces", log, columns);
    std::unique_ptr<GlyphStore> store(makeStore(columnNames(columns), columnKinds(columns)));
    const Packets tabledList = tabledEvents(log);
    const Packets ownedList = ownedEvents(log);

    DebugCapture cap;
    cap.setForward(false);
    Context tabled(nullptr, "All", tabledList, store.get(), false);
    Context owned(nullptr, "All", ownedList, store.get(), false);
    QStringList labels[2];
    int k = 0;
    for (Context* ctx : {&tabled, &owned}) {
        QStringList& seen = labels[k++];
        connect(ctx, &Context::setLabelText, this, [ctx, &seen, &trigger](const QString& text) {
            seen << text;
            if (text.startsWith(trigger))
                ctx->cancelled = true;
        }, Qt::DirectConnection);
        ctx->createConversations();
    }
    QVERIFY(!labels[0].filter(trigger).isEmpty());
    QCOMPARE(labels[0], labels[1]);
    compareContexts(tabled, owned, tabledList, ownedList, *store, false);
}

LUMIVANE_TEST(ContextTableCountingTest)
#include "ContextTableCountingTest.moc"
