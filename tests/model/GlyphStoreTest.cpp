#include "TestRegistry.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include "core/Constants.h"
#include "items/BinItem.h"
#include "patterns/Rule.h"

#include <QtTest>

#include <memory>

using namespace fixture;

namespace {

// "x" is a range attribute with values 0 (once), 5 (twice) and 10 (three
// times); "t" text; "k" an identifier; "n" numeric but not ranged.
struct Data
{
    Data()
        : store(makeStore({"x", "t", "k", "n"}, {1, 3, 4, 0}))
    {
        const QList<int> xs = {0, 5, 5, 10, 10, 10};
        const QStringList ts = {"b", "a", "b", "c", "b", "a"};
        Packets events;
        for (int i = 0; i < xs.size(); ++i)
            events.append(makeEvent({QString::number(xs.at(i)), ts.at(i), "id" + QString::number(i), "7"}, i % 2));
        ctx = new Context(nullptr, "All", events, store.get(), true);
        store->rootContext = ctx;
    }
    std::unique_ptr<GlyphStore> store;
    Context* ctx = nullptr;
};

QStringList texts(const TList<TVariant>& values)
{
    QStringList out;
    for (const TVariant& v : values.items)
        out << v.toString();
    return out;
}

// "key:count" pairs, keys sorted by value.
QStringList entries(const THash<TVariant, int>& hist)
{
    QList<TVariant> keys = hist.keys().toQList();
    std::sort(keys.begin(), keys.end());
    QStringList out;
    for (const TVariant& k : keys)
        out << k.toString() + ":" + QString::number(hist.value(k));
    return out;
}

// A store whose range attribute "r" has the given distinct values.
struct Range
{
    explicit Range(const QList<double>& values)
        : store(makeStore({"r"}, {1}))
    {
        Packets events;
        for (double v : values)
            events.append(makeEvent({QString::number(v)}));
        ctx.reset(new Context(nullptr, "r", events, store.get(), true));
    }
    std::unique_ptr<GlyphStore> store;
    std::unique_ptr<Context> ctx;
};

} // namespace

class GlyphStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void defaultGlyphs_data();
    void defaultGlyphs();
    void defaultGlyphOrder();
    void addGlyphNumbersFromEight();
    void findGlyph_data();
    void findGlyph();
    void setAndHasGlyph();
    void findRule();
    void attributeTables();
    void conversationAttributes();
    void histogram_data();
    void histogram();
    void bins_data();
    void bins();
    void rankedValues_data();
    void rankedValues();
    void firstAndLastValues_data();
    void firstAndLastValues();
    void minMaxTotals();
    void addAttributeReachesDescendants();
    void addAttributeWithTooFewValues();
    void collectDistinctValues_data();
    void collectDistinctValues();
    void checkPacketColumns();
};

void GlyphStoreTest::defaultGlyphs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<QColor>("edge");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("edgeWidth");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("mode");
    const QColor grey(200, 200, 200);
    QTest::newRow("WildCard") << "WildCard" << grey << grey << "." << 1 << 1 << NORMAL;
    QTest::newRow("DeleteItem") << "DeleteItem" << DEFAULT_FILL_COLOR << QColor(Qt::black) << "" << 0 << 0 << DELETE;
    QTest::newRow("Gray") << "Gray" << QColor(240, 240, 240) << grey << "" << 1 << 2 << NORMAL;
    QTest::newRow("Blue") << "Blue" << QColor(0, 128, 255) << grey << "" << 1 << 3 << NORMAL;
    QTest::newRow("None") << "None" << DEFAULT_FILL_COLOR << QColor(Qt::black) << "" << 0 << 0 << NONE;
    QTest::newRow("Purple") << "Purple" << QColor(200, 80, 255) << grey << "" << 1 << 4 << NORMAL;
    QTest::newRow("Green") << "Green" << QColor(0, 200, 0) << grey << "" << 1 << 5 << NORMAL;
    QTest::newRow("Yellow") << "Yellow" << QColor(255, 255, 100) << grey << "" << 1 << 6 << NORMAL;
    QTest::newRow("Red") << "Red" << QColor(255, 100, 100) << grey << "" << 1 << 7 << NORMAL;
}

void GlyphStoreTest::defaultGlyphs()
{
    QFETCH(QString, name);
    QFETCH(QColor, fill);
    QFETCH(QColor, edge);
    QFETCH(QString, label);
    QFETCH(int, edgeWidth);
    QFETCH(int, id);
    QFETCH(int, mode);
    GlyphStore store;
    const BinItem g = store.findGlyph(name);
    QCOMPARE(g.name, name);
    QCOMPARE(g.fillColor, fill);
    QCOMPARE(g.fillColor.alpha(), 255);
    QCOMPARE(g.edgeColor, edge);
    QCOMPARE(g.label, label);
    QCOMPARE(g.edgeWidth, edgeWidth);
    QCOMPARE(g.id, id);
    QCOMPARE(g.mode, mode);
    QCOMPARE(g.shape, SQUARE);
    QCOMPARE(g.sizeFactor, 1.0);
    QCOMPARE(g.edgeStyle, 0);
    QVERIFY(g.condition == nullptr);
}

void GlyphStoreTest::defaultGlyphOrder()
{
    GlyphStore store;
    QStringList first, second;
    for (const BinItem& g : store.glyphs.items)
        first << g.name;
    for (const BinItem& g : store.colorGlyphs.items)
        second << g.name;
    QCOMPARE(first, (QStringList{"WildCard", "DeleteItem", "Gray"}));
    QCOMPARE(second, (QStringList{"Blue", "Purple", "Green", "Yellow", "Red"}));
    QCOMPARE(store.noneGlyph.name, QString("None"));
    QCOMPARE(store.noneGlyph.mode, NONE);
    QCOMPARE(nextGlyphId, 8);
    QVERIFY(store.rules.isEmpty());
    QVERIFY(store.fileName.isEmpty());
    QVERIFY(store.rootContext == nullptr);
    QVERIFY(store.ruleCounts.isEmpty());
}

void GlyphStoreTest::addGlyphNumbersFromEight()
{
    GlyphStore store;
    QList<int> ids;
    for (const QString name : {"a", "b", "c"}) {
        BinItem g(nullptr, nullptr);
        g.name = name;
        store.addGlyph(g);
        ids << g.id;   // the caller's glyph gets the id too
    }
    QCOMPARE(ids, (QList<int>{8, 9, 10}));
    QCOMPARE(store.glyphs.size(), 6);
    QCOMPARE(store.glyphs.last().id, 10);

    store.addDefaultGlyphs();
    QCOMPARE(store.glyphs.size(), 3);
    QCOMPARE(nextGlyphId, 8);
    BinItem g(nullptr, nullptr);
    store.addGlyph(g);
    QCOMPARE(g.id, 8);
}

void GlyphStoreTest::findGlyph_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("id");
    QTest::newRow("first list") << "Gray" << NORMAL << 2;
    QTest::newRow("second list") << "Yellow" << NORMAL << 6;
    QTest::newRow("none glyph") << "None" << NONE << 0;
    QTest::newRow("case matters") << "none" << EMPTY << 0;
    QTest::newRow("unknown") << "nothing" << EMPTY << 0;
    QTest::newRow("empty name") << "" << EMPTY << 0;
}

void GlyphStoreTest::findGlyph()
{
    QFETCH(QString, name);
    QFETCH(int, mode);
    QFETCH(int, id);
    GlyphStore store;
    const BinItem g = store.findGlyph(name);
    QCOMPARE(g.mode, mode);
    QCOMPARE(g.id, id);
    if (mode == EMPTY) {
        // The large dashed placeholder.
        QVERIFY(g.name.isEmpty());
        QCOMPARE(g.width(), 50.0);
        QCOMPARE(g.height(), 50.0);
        QCOMPARE(g.fillColor.alpha(), 0);
        QCOMPARE(g.edgeColor, EDGE_COLOR);
        QCOMPARE(g.edgeStyle, 1);
        QCOMPARE(g.edgeWidth, 1);
    } else {
        QCOMPARE(g.name, name);
    }
}

void GlyphStoreTest::setAndHasGlyph()
{
    GlyphStore store;
    BinItem a(nullptr, nullptr);
    a.name = "twin";
    a.label = "first";
    BinItem b = a;
    b.label = "second";
    store.addGlyph(a);
    store.addGlyph(b);
    QCOMPARE(store.findGlyph("twin").label, QString("first"));

    BinItem change = a;
    change.label = "changed";
    change.fillColor = Qt::red;
    store.setGlyph(change);
    QCOMPARE(store.glyphs.at(3).label, QString("changed"));
    QCOMPARE(store.glyphs.at(4).label, QString("second"));

    BinItem red(nullptr, nullptr);
    red.name = "Red";
    red.label = "R";
    store.setGlyph(red);
    QCOMPARE(store.colorGlyphs.at(4).label, QString("R"));

    BinItem stranger(nullptr, nullptr);
    stranger.name = "stranger";
    store.setGlyph(stranger);
    QCOMPARE(store.glyphs.size(), 5);
    QVERIFY(!store.hasGlyph(stranger));
    QVERIFY(store.hasGlyph(red));
    QVERIFY(store.hasGlyph(change));
    QVERIFY(!store.hasGlyph(store.noneGlyph));
}

void GlyphStoreTest::findRule()
{
    GlyphStore store;
    store.rules.append(Rule("r1", nullptr, nullptr, true, true));
    store.rules.append(Rule("r1", nullptr, nullptr, false, true));
    const Rule found = store.findRule("r1");
    QCOMPARE(found.name, QString("r1"));
    QVERIFY(found.match);
    const Rule missing = store.findRule("r2");
    QVERIFY(missing.name.isEmpty());
    QVERIFY(!missing.match);
    QVERIFY(!missing.visible);
    QVERIFY(missing.pre == nullptr);
    QVERIFY(missing.post == nullptr);
}

void GlyphStoreTest::attributeTables()
{
    std::unique_ptr<GlyphStore> store(makeStore({"a", "b", "c", "d", "e", "f"}, {0, 1, 2, 3, 4, 9}));
    QCOMPARE(store->attributeNames(false).toQList(), (QStringList{"a", "b", "c", "d", "e", "f"}));
    QCOMPARE(store->attributeMap(false).value("e", -1), 4);
    QVERIFY(store->isNumericAttribute("a"));
    QVERIFY(!store->isRangeAttribute("a"));
    QVERIFY(store->isRangeAttribute("b"));
    QVERIFY(store->isRangeAttribute("c"));
    QVERIFY(!store->isRangeAttribute("d") && !store->isNumericAttribute("d") && !store->isKeyAttribute("d"));
    QVERIFY(store->isKeyAttribute("e"));
    QVERIFY(!store->isKeyAttribute("f") && !store->isRangeAttribute("f"));
    // Only the trace side counts for hasAttribute.
    QVERIFY(!store->hasAttribute("a"));
    QVERIFY(store->hasAttribute("conv.duration"));

    // A caller giving more kinds than names gets a debug line, not a throw.
    DebugCapture cap;
    cap.setForward(false);
    GlyphStore other;
    other.setAttributes(TList<QString>{"x"}, TList<int>{1, 4});
    QVERIFY(other.isRangeAttribute("x"));
    QCOMPARE(cap.lines().size(), 1);
}

void GlyphStoreTest::conversationAttributes()
{
    GlyphStore store;
    store.resetConversationAttributes();
    store.resetConversationAttributes();   // no duplicates
    const TList<QString> names = store.attributeNames(true);
    QCOMPARE(names.size(), 27);
    QCOMPARE(names.at(0), QString("conv.convid"));
    QCOMPARE(names.at(4), QString("conv.duration"));
    QCOMPARE(names.at(26), QString("conv.to_strmonth"));
    QCOMPARE(store.attributeMap(true).value("conv.to_year", -1), 24);
    QCOMPARE(store.attributeMap(true).size(), 27);
    QVERIFY(store.isKeyAttribute("conv.convid"));
    QCOMPARE(store.rangeAttributes.size(), 16);
    QVERIFY(store.rangeAttributes.contains("conv.length"));
    QVERIFY(!store.isRangeAttribute("conv.length"));
    QVERIFY(store.isRangeAttribute("conv.from_week"));
    QVERIFY(!store.isRangeAttribute("conv.from_strday"));
    QVERIFY(!store.isRangeAttribute("conv.from_epoch"));
}

void GlyphStoreTest::histogram_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("two bins") << "x" << 2 << QStringList{"0.000000:3", "5.000000:3"};
    QTest::newRow("three bins") << "x" << 3 << QStringList{"0.000000:1", "3.333333:2", "6.666667:3"};
    QTest::newRow("no binning") << "x" << 0 << QStringList{"0:1", "5:2", "10:3"};
    QTest::newRow("not a range") << "t" << 3 << QStringList{"a:2", "b:3", "c:1"};
    QTest::newRow("identifier") << "k" << -1 << QStringList{};
    QTest::newRow("trace side") << "conv.length" << 2 << QStringList{"3:2"};
    QTest::newRow("unlisted") << "nope" << 2 << QStringList{};
}

void GlyphStoreTest::histogram()
{
    QFETCH(QString, name);
    QFETCH(int, n);
    QFETCH(QStringList, expected);
    Data d;
    const THash<TVariant, int> h = d.store->histogram(name, d.ctx, n);
    QCOMPARE(entries(h), expected);
}

void GlyphStoreTest::bins_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("range pairs") << "x" << 2 << QStringList{"(0,5)", "(5,10)"};
    QTest::newRow("range four") << "x" << 4 << QStringList{"(0,2.5)", "(2.5,5)", "(5,7.5)", "(7.5,10)"};
    QTest::newRow("range all keys") << "x" << -1 << QStringList{"0", "5", "10"};
    QTest::newRow("range zero") << "x" << 0 << QStringList{};
    QTest::newRow("first key") << "n" << 1 << QStringList{"7"};
    QTest::newRow("more than keys") << "n" << 9 << QStringList{"7"};
    QTest::newRow("zero keys") << "n" << 0 << QStringList{};
    QTest::newRow("negative count") << "x" << -2 << QStringList{};
    QTest::newRow("negative text") << "t" << -5 << QStringList{};
    QTest::newRow("unlisted") << "nope" << -1 << QStringList{};
}

void GlyphStoreTest::bins()
{
    QFETCH(QString, name);
    QFETCH(int, n);
    QFETCH(QStringList, expected);
    Data d;
    QCOMPARE(texts(d.store->bins(name, d.ctx, n)), expected);
}

void GlyphStoreTest::rankedValues_data()
{
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<double>("n");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("part example") << QList<double>{0, 5, 10} << 2.0 << QStringList{"(5,10)", "(0,5)"};
    QTest::newRow("all equal") << QList<double>{4, 4, 4} << 3.0 << QStringList{"0"};
    QTest::newRow("fractional count") << QList<double>{0, 9, 10} << 2.5 << QStringList{"(8,12)", "(0,4)"};
    QTest::newRow("no binning") << QList<double>{1, 1, 2} << 0.0 << QStringList{"1", "2"};
}

void GlyphStoreTest::rankedValues()
{
    QFETCH(QList<double>, values);
    QFETCH(double, n);
    QFETCH(QStringList, expected);
    Range r(values);
    QCOMPARE(texts(r.store->rankedValues("r", n, r.ctx.get())), expected);
}

void GlyphStoreTest::firstAndLastValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("n");
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("last");
    QTest::newRow("all") << "t" << -1.0 << QStringList{"b", "a", "c"} << QStringList{"c", "a", "b"};
    QTest::newRow("two") << "t" << 2.0 << QStringList{"b", "a"} << QStringList{"c", "a"};
    QTest::newRow("truncated") << "t" << 1.9 << QStringList{"b"} << QStringList{"c"};
    QTest::newRow("none") << "t" << 0.0 << QStringList{} << QStringList{};
    QTest::newRow("negative") << "t" << -2.0 << QStringList{} << QStringList{};
    // conv.length ranks its distinct values although it is kept ordered.
    QTest::newRow("trace length") << "conv.length" << 5.0 << QStringList{"3"} << QStringList{"3"};
    QTest::newRow("range") << "x" << 2.0 << QStringList{"(5,10)", "(0,5)"} << QStringList{"(0,5)", "(5,10)"};
}

void GlyphStoreTest::firstAndLastValues()
{
    QFETCH(QString, name);
    QFETCH(double, n);
    QFETCH(QStringList, first);
    QFETCH(QStringList, last);
    Data d;
    QCOMPARE(texts(d.store->firstValues(name, n, d.ctx)), first);
    QCOMPARE(texts(d.store->lastValues(name, n, d.ctx)), last);
}

void GlyphStoreTest::minMaxTotals()
{
    Data d;
    GlyphStore* s = d.store.get();
    QCOMPARE(s->maxValue("x", d.ctx), 10.0);
    QCOMPARE(s->minValue("x", d.ctx), 0.0);
    QCOMPARE(s->maxValue("conv.convid", d.ctx), 1.0);
    QCOMPARE(s->minValue("n", d.ctx), 7.0);
    // Identifiers are not counted at load: no values.
    QCOMPARE(s->maxValue("k", d.ctx), 0.0);
    QVERIFY(!s->hasValues("k", d.ctx));
    QCOMPARE(s->maxValue("nope", d.ctx), -1.0);
    QCOMPARE(s->minValue("nope", d.ctx), -1.0);
    QVERIFY(s->hasValues("t", d.ctx));
    QVERIFY(!s->hasValues("nope", d.ctx));
    QCOMPARE(s->valueTotal(d.ctx, "x"), 6);
    QCOMPARE(s->valueTotal(d.ctx, "conv.length"), 2);
    QCOMPARE(s->valueTotal(d.ctx, "nope"), 0);

    // A context that was never computed has empty histograms.
    Context bare(nullptr, "bare", d.ctx->packets, s, false);
    QVERIFY(!s->hasValues("x", &bare));
    QCOMPARE(s->maxValue("conv.length", &bare), 0.0);
}

void GlyphStoreTest::addAttributeReachesDescendants()
{
    Data d;
    GlyphStore* s = d.store.get();
    Context* child = new Context(d.ctx, "child", d.ctx->packets.mid(0, 4), s, true);
    Context* grandchild = new Context(child, "grandchild", d.ctx->packets.mid(1, 2), s, true);
    child->removePackets(d.ctx->packets.mid(0, 1));   // keeps a snapshot

    TList<TVariant> values;
    for (int i = 0; i < 6; ++i)
        values.append(TVariant(i % 3));
    s->addAttribute(values, "match", true, false);

    QCOMPARE(s->attributeNames(false).last(), QString("match"));
    QCOMPARE(s->attributeMap(false).value("match", -1), 4);
    QVERIFY(s->isRangeAttribute("match"));
    QVERIFY(!s->isKeyAttribute("match"));
    QCOMPARE(d.ctx->packets.at(5)->get(4), TVariant(2));
    QCOMPARE(entries(d.ctx->histograms.at(4)), (QStringList{"0:2", "1:2", "2:2"}));
    QCOMPARE(entries(child->histograms.at(4)), (QStringList{"0:1", "1:1", "2:1"}));
    QCOMPARE(entries(grandchild->histograms.at(4)), (QStringList{"1:1", "2:1"}));
    QVERIFY(grandchild->histograms.at(4).isOrdered());
    QCOMPARE(s->maxValue("match", grandchild), 2.0);
    QCOMPARE(s->minValue("match", grandchild), 1.0);

    // Going back to the snapshot keeps the columns aligned.
    child->revert();
    QCOMPARE(child->histograms.size(), 5);
    QCOMPARE(entries(child->histograms.at(4)), (QStringList{"0:2", "1:1", "2:1"}));

    // A key attribute is counted too, and a second name keeps its column.
    s->addAttribute(values, "match", false, true);
    QCOMPARE(s->attributeMap(false).value("match", -1), 4);
    QCOMPARE(s->attributeNames(false).size(), 6);
    QVERIFY(s->isKeyAttribute("match"));
    QCOMPARE(d.ctx->histograms.size(), 6);
    QCOMPARE(d.ctx->histograms.at(5).size(), 3);
}

void GlyphStoreTest::addAttributeWithTooFewValues()
{
    Data d;
    DebugCapture cap;
    cap.setForward(false);
    TList<TVariant> values;
    for (int i = 0; i < 5; ++i)
        values.append(TVariant(i));
    d.store->addAttribute(values, "short", false, false);
    QCOMPARE(cap.lines().size(), 1);
    QCOMPARE(d.store->attributeNames(false).size(), 4);
    QVERIFY(!d.store->attributeMap(false).contains("short"));
    QCOMPARE(d.ctx->histograms.size(), 4);
    for (const PacketPtr& p : d.ctx->packets.items)
        QCOMPARE(p->columnCount(), 4);
}

void GlyphStoreTest::collectDistinctValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("valid");
    QTest::addColumn<int>("distinct");
    QTest::addColumn<bool>("proposed");
    QTest::newRow("100 distinct") << "c" << 100 << 100 << false;
    QTest::newRow("101 distinct") << "c" << 101 << 101 << true;
    QTest::newRow("exactly three quarters") << "c" << 120 << 90 << true;
    QTest::newRow("below three quarters") << "c" << 120 << 89 << false;
    QTest::newRow("time attribute") << "frame.time_epoch" << 200 << 200 << false;
    QTest::newRow("smb2.filename") << "smb2.filename" << 200 << 200 << false;
    QTest::newRow("smb2.file") << "smb2.file" << 200 << 200 << false;
    QTest::newRow("smb2.cSeq.filename") << "smb2.cSeq.filename" << 200 << 200 << false;
}

void GlyphStoreTest::collectDistinctValues()
{
    QFETCH(QString, name);
    QFETCH(int, valid);
    QFETCH(int, distinct);
    QFETCH(bool, proposed);
    GlyphStore store;
    Packets events;
    // Column 0 is a constant; column 1 the one under test; absent values
    // in between do not count as values.
    for (int i = 0; i < valid; ++i) {
        events.append(makeEvent({"same", QString::number(i % distinct)}));
        events.append(makeEvent({"same", ""}));
    }
    const TList<QString> result = store.collectDistinctValues(events, TList<QString>{"constant", name});
    QCOMPARE(result.toQList(), proposed ? QStringList{name} : QStringList{});
}

void GlyphStoreTest::checkPacketColumns()
{
    Data d;
    GlyphStore* s = d.store.get();
    const PacketPtr p = d.ctx->packets.at(1);   // x 5, t "a"
    const TList<int> columns{0, 1, 2};
    QVERIFY(s->checkPacketColumns(p, d.ctx, columns, false));

    d.ctx->valueSets[1].insert(val("a"));
    QVERIFY(!s->checkPacketColumns(p, d.ctx, columns, false));
    QVERIFY(s->checkPacketColumns(p, d.ctx, TList<int>{0}, false));
    d.ctx->valueSets[1].clear();

    d.ctx->valueSets[0].insert(TVariant(4.0, 6.0));
    QVERIFY(s->checkPacketColumns(p, d.ctx, columns, false));
    d.ctx->valueSets[0] = QSet<TVariant>{TVariant(5.5, 9.0)};
    QVERIFY(!s->checkPacketColumns(p, d.ctx, columns, false));
    d.ctx->valueSets[0] = QSet<TVariant>{TVariant(5.0, 5.0)};
    QVERIFY(s->checkPacketColumns(p, d.ctx, columns, false));

    // Trace side: conv.convid is not ranged; its excluded value fails.
    const PacketPtr record = d.ctx->conversationPackets.at(0);
    d.ctx->conversationValueSets[0].insert(TVariant(0));
    QVERIFY(!s->checkPacketColumns(record, d.ctx, TList<int>{0}, true));
    QVERIFY(s->checkPacketColumns(d.ctx->conversationPackets.at(1), d.ctx, TList<int>{0}, true));
}

LUMIVANE_TEST(GlyphStoreTest)
#include "GlyphStoreTest.moc"
