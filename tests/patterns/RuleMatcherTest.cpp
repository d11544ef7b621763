#include "TestRegistry.h"
#include "DebugCapture.h"
#include "MatchTestUtil.h"

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "patterns/Rule.h"
#include "patterns/RuleMatcher.h"
#include "core/ValueInterner.h"

#include <QScopedPointer>
#include <QtTest>

using namespace matchtest;

namespace {

QSharedPointer<Packet> makeEvent(int v, int w = 0)
{
    return QSharedPointer<Packet>::create(TList<TVariant>{TVariant(v), TVariant(w)});
}

BinItem itemWithEvents(const QString& name, const QList<int>& values)
{
    BinItem result = item(name);
    for (int v : values)
        result.packets.append(makeEvent(v));
    return result;
}

}  // namespace

class RuleMatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        capture.reset(new DebugCapture);
        capture->setForward(false);
    }
    void cleanup() { capture.reset(); }

    void names_data();
    void names();
    void quantifiers_data();
    void quantifiers();
    void bindingsSpanTheItemsEvents();
    void evalLabel_data();
    void evalLabel();
    void compileIgnoresTheRewrite();
    void attributeMapComesFromTheStore();
    void readAhead_data();
    void readAhead();
    void plainCondition_data();
    void plainCondition();

private:
    QScopedPointer<DebugCapture> capture;
    const THash<QString, int> attributes = [] {
        THash<QString, int> map;
        map.insert(QStringLiteral("v"), 0);
        map.insert(QStringLiteral("w"), 1);
        return map;
    }();
};

void RuleMatcherTest::names_data()
{
    QTest::addColumn<QString>("itemName");
    QTest::addColumn<QStringList>("itemChildren");
    QTest::addColumn<QString>("glyphName");
    QTest::addColumn<QStringList>("glyphChildren");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("matches");

    const QStringList none;
    QTest::newRow("same name") << "Blue" << none << "Blue" << none << NORMAL << true;
    QTest::newRow("other name") << "Red" << none << "Blue" << none << NORMAL << false;
    QTest::newRow("WildCard matches anything") << "Red" << QStringList{"Green"} << "WildCard" << none
                                               << NORMAL << true;
    QTest::newRow("stacked child names the glyph") << "Red" << QStringList{"Blue"} << "Blue" << none
                                                   << NORMAL << true;
    QTest::newRow("glyph children found among item children")
        << "Red" << QStringList{"Green", "Blue", "Gray"} << "Any" << QStringList{"Blue", "WildCard"} << NORMAL
        << true;
    QTest::newRow("glyph child missing") << "Blue" << QStringList{"Green"} << "Any"
                                         << QStringList{"Blue", "WildCard"} << NORMAL << false;
    QTest::newRow("own name plays no part") << "Blue" << none << "Blue" << QStringList{"Blue"} << NORMAL
                                            << false;
    QTest::newRow("combination without children") << "A" << none << "None" << none << NONE << false;
    // The names must agree as a whole, and then every glyph child must be
    // among the stacked items, as for any glyph with children.
    QTest::newRow("combination in any order") << "B" << QStringList{"B", "A"} << "None"
                                              << QStringList{"A", "B", "B"} << NONE << true;
    QTest::newRow("combination also needs the stacked names")
        << "B" << QStringList{"A"} << "None" << QStringList{"A", "B"} << NONE << false;
    QTest::newRow("combination with extra item child")
        << "A" << QStringList{"B", "C"} << "None" << QStringList{"A", "B"} << NONE << false;
    QTest::newRow("combination keeps duplicates") << "A" << QStringList{"B", "B"} << "None"
                                                  << QStringList{"A", "B"} << NONE << false;
    QTest::newRow("combination then child names") << "A" << QStringList{"B"} << "None"
                                                  << QStringList{"B", "A"} << NONE << false;
    QTest::newRow("combination of one") << "A" << none << "None" << QStringList{"A"} << NONE << false;
}

void RuleMatcherTest::names()
{
    QFETCH(QString, itemName);
    QFETCH(QStringList, itemChildren);
    QFETCH(QString, glyphName);
    QFETCH(QStringList, glyphChildren);
    QFETCH(int, mode);
    BinItem target = item(itemName, itemChildren);
    BinItem glyph = item(glyphName, glyphChildren);
    glyph.mode = mode;
    RuleMatcher matcher(nullptr);
    QTEST(matcher.matchGlyph(&target, &glyph, &attributes, nullptr), "matches");
}

void RuleMatcherTest::quantifiers_data()
{
    QTest::addColumn<int>("quantifier");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<bool>("matches");

    QTest::newRow("all: every event") << 0 << QList<int>{1, 1} << true;
    QTest::newRow("all: one fails") << 0 << QList<int>{1, 2} << false;
    QTest::newRow("all: no events") << 0 << QList<int>{} << true;
    QTest::newRow("any: one passes") << 1 << QList<int>{2, 1} << true;
    QTest::newRow("any: none passes") << 1 << QList<int>{2, 3} << false;
    QTest::newRow("any: no events") << 1 << QList<int>{} << false;
    QTest::newRow("first passes") << 2 << QList<int>{1, 2} << true;
    QTest::newRow("first fails") << 2 << QList<int>{2, 1} << false;
    QTest::newRow("first: no events") << 2 << QList<int>{} << false;
    QTest::newRow("last passes") << 3 << QList<int>{2, 1} << true;
    QTest::newRow("last fails") << 3 << QList<int>{1, 2} << false;
    QTest::newRow("last: no events") << 3 << QList<int>{} << false;
    QTest::newRow("unknown quantifier") << 4 << QList<int>{1} << false;
}

void RuleMatcherTest::quantifiers()
{
    QFETCH(int, quantifier);
    QFETCH(QList<int>, values);
    BinItem target = itemWithEvents("Blue", values);
    QScopedPointer<ParseNode> label(leaf("Blue"));
    label->glyph.condition = test("v", ParseNode::Equal, TVariant(1));
    label->glyph.quantifier = quantifier;
    RuleMatcher matcher(nullptr);
    QTEST(matcher.matchGlyph(&target, &label->glyph, &attributes, nullptr), "matches");
}

void RuleMatcherTest::bindingsSpanTheItemsEvents()
{
    QScopedPointer<ParseNode> label(leaf("Blue"));
    ParseNode* condition = test("v", ParseNode::Equal, TVariant(QStringLiteral("?x"), false));
    condition->isVariable = true;
    label->glyph.condition = condition;
    RuleMatcher matcher(nullptr);

    // One bindings object for the whole item: the first event binds ?x.
    BinItem same = itemWithEvents("Blue", {5, 5});
    BinItem differ = itemWithEvents("Blue", {5, 6});
    THash<QString, TVariant> bindings;
    QVERIFY(matcher.matchGlyph(&same, &label->glyph, &attributes, &bindings));
    QCOMPARE(bindings.value(QStringLiteral("?x")).toString(), QStringLiteral("5"));
    bindings.clear();
    QVERIFY(!matcher.matchGlyph(&differ, &label->glyph, &attributes, &bindings));
    // Without bindings variables do not hold.
    QVERIFY(!matcher.matchGlyph(&same, &label->glyph, &attributes, nullptr));

    // Bindings made by one child of an AND are in force for the next.
    ParseNode* other = leaf("Blue");
    ParseNode* second = test("w", ParseNode::Equal, TVariant(QStringLiteral("?x"), false));
    second->isVariable = true;
    other->glyph.condition = second;
    QScopedPointer<ParseNode> both(seqOf({label->clone(), other}));
    BinItem agree = item("Blue");
    agree.packets.append(makeEvent(5, 5));
    BinItem disagree = item("Blue");
    disagree.packets.append(makeEvent(5, 6));
    bindings.clear();
    QVERIFY(matcher.evalLabel(&agree, both.data(), &attributes, &bindings));
    bindings.clear();
    QVERIFY(!matcher.evalLabel(&disagree, both.data(), &attributes, &bindings));
}

void RuleMatcherTest::evalLabel_data()
{
    QTest::addColumn<void*>("label");
    QTest::addColumn<QString>("itemName");
    QTest::addColumn<bool>("holds");
    QTest::addColumn<QString>("line");

    auto row = [](const char* name, ParseNode* label, const char* itemName, bool holds, const char* line) {
        QTest::newRow(name) << static_cast<void*>(label) << QString(itemName) << holds << QString(line);
    };
    row("leaf", leaf("A"), "A", true, "");
    row("leaf of another glyph", leaf("A"), "B", false, "");
    row("and without children", seqOf({}), "A", true, "");
    row("or without children", altOf({}), "A", false, "");
    row("and of two", seqOf({leaf("A"), leaf("WildCard")}), "A", true, "");
    row("and stops at a failure", seqOf({leaf("B"), leaf("A")}), "A", false, "");
    row("or of two", altOf({leaf("B"), leaf("A")}), "A", true, "");
    row("not", unary(ParseNode::Not, leaf("A")), "B", true, "");
    row("not of the item's glyph", unary(ParseNode::Not, leaf("A")), "A", false, "");
    row("not looks at its first child only", nary(ParseNode::Not, {leaf("A"), leaf("B")}), "B", true, "");
    row("not without children", new ParseNode(ParseNode::Not), "A", false, "");
    row("epsilon", new ParseNode(ParseNode::Epsilon), "A", true, "should not be present in dfa");
    row("comparison", test("v", ParseNode::Equal, TVariant(1)), "A", false, "Regexpr not allowed");
    row("star", unary(ParseNode::Star, leaf("A")), "A", false, "");
    row("plus", unary(ParseNode::Plus, leaf("A")), "A", false, "");
    row("repeat", repeat(leaf("A"), 1, 2), "A", false, "");
    row("group", new ParseNode(ParseNode::Group), "A", false, "");
}

void RuleMatcherTest::evalLabel()
{
    QFETCH(void*, label);
    QFETCH(QString, itemName);
    QFETCH(QString, line);
    QScopedPointer<ParseNode> node(static_cast<ParseNode*>(label));
    BinItem target = itemWithEvents(itemName, {1});
    RuleMatcher matcher(nullptr);
    QTEST(matcher.evalLabel(&target, node.data(), &attributes, nullptr), "holds");
    QCOMPARE(capture->lines(), line.isEmpty() ? QStringList() : QStringList{line});
}

void RuleMatcherTest::compileIgnoresTheRewrite()
{
    Rule rule(QStringLiteral("r"), seqOf({leaf("A"), leaf("B")}), leaf("C"), false, true);
    RuleMatcher matcher(nullptr);
    QScopedPointer<Automaton> dfa(matcher.compile(rule.pre, rule.post));
    QCOMPARE(describeEdges(dfa.data()), QStringLiteral("0>1:E:A 1>2:E:B"));
    QScopedPointer<Automaton> same(matcher.compile(rule.pre, nullptr));
    QCOMPARE(describeEdges(same.data()), describeEdges(dfa.data()));
}

void RuleMatcherTest::attributeMapComesFromTheStore()
{
    ControlWidget controller(nullptr);
    controller.glyphStore->attributeColumns.insert(QStringLiteral("v"), 0);
    QScopedPointer<ParseNode> tree(leaf("A"));
    tree->glyph.condition = test("v", ParseNode::Equal, TVariant(1));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    Sequence sequence;
    sequence.add(itemWithEvents("A", {2}));
    sequence.add(itemWithEvents("A", {1}));
    RuleMatcher matcher(&controller);
    QCOMPARE(describeMatches(matcher.findMatches(dfa.data(), sequence.pointers(), false, false)),
             QStringLiteral("A"));
    QCOMPARE(matcher.findMatches(dfa.data(), sequence.pointers(), false, false).first().first(),
             &sequence.storage[1]);
    // The store is read at every call: a replaced map is picked up.
    controller.glyphStore->attributeColumns.clear();
    QVERIFY(matcher.findMatches(dfa.data(), sequence.pointers(), false, false).isEmpty());
}

void RuleMatcherTest::readAhead_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("reached");
    // Over 20 items: events of a value table with none, some or all of
    // their three values present, events with values of their own, items
    // without events and null items.
    QTest::newRow("from the start") << 0 << RuleMatcher::ReadAhead;
    QTest::newRow("to the end") << 10 << 20;
    QTest::newRow("at the end") << 20 << 20;
    QTest::newRow("beyond the end") << 25 << 20;
    QTest::newRow("before the start") << -3 << RuleMatcher::ReadAhead;
}

// Reading the events ahead reads what the items hold, whatever it is, and
// tells how far it got.
void RuleMatcherTest::readAhead()
{
    QFETCH(int, from);
    QFETCH(int, reached);
    ValueInterner values;
    Sequence sequence;
    for (int i = 0; i < 20; ++i) {
        BinItem value = item(QStringLiteral("A"));
        if (i % 5 < 3) {
            std::vector<quint32> positions;
            for (int c = 0; c < 3; ++c)
                positions.push_back(c < i % 5 ? values.value(TVariant(i * 3 + c)) : 0u);
            value.packets.append(values.packet(positions.data(), 3));
        } else if (i % 5 == 3) {
            value.packets.append(makeEvent(i));
        }
        sequence.add(value);
    }
    TList<BinItem*> items = sequence.pointers();
    items[7] = nullptr;
    QCOMPARE(RuleMatcher::readAhead(items, from), reached);
    QCOMPARE(RuleMatcher::readAhead(TList<BinItem*>(), from), 0);
}

void RuleMatcherTest::plainCondition_data()
{
    QTest::addColumn<void*>("label");
    QTest::addColumn<bool>("plain");

    auto row = [](const char* name, ParseNode* label, bool plain) {
        QTest::newRow(name) << static_cast<void*>(label) << plain;
    };
    auto withCondition = [](const QString& name, ParseNode* condition, int quantifier = 0) {
        ParseNode* label = leaf(name);
        label->glyph.condition = condition;
        label->glyph.quantifier = quantifier;
        return label;
    };
    auto equal = [] { return test("v", ParseNode::Equal, TVariant(1)); };
    row("wild card, v == 1", withCondition("WildCard", equal()), true);
    row("quantifier 4", withCondition("WildCard", equal(), 4), false);
    row("a named glyph", withCondition("Blue", equal()), false);
    row("v in a range", withCondition("WildCard", test("v", ParseNode::Equal, TVariant(0.0, 2.0))), false);
    row("v == a variable", withCondition("WildCard", [] {
            ParseNode* t = test("v", ParseNode::Equal, TVariant(QStringLiteral("?x"), false));
            t->isVariable = true;
            return t;
        }()), false);
    ParseNode* stacked = withCondition("WildCard", equal());
    stacked->glyph.children.append(item("Blue"));
    row("stacked glyphs", stacked, false);
}

// A label that the rule pass decides by one comparison of the event's value
// holds for every item of one event, whatever its name, exactly when that
// value compares equal.
void RuleMatcherTest::plainCondition()
{
    QFETCH(void*, label);
    QFETCH(bool, plain);
    QScopedPointer<ParseNode> node(static_cast<ParseNode*>(label));
    const ParseNode* condition = RuleMatcher::plainCondition(node.data());
    QCOMPARE(condition != nullptr, plain);
    if (!condition)
        return;
    RuleMatcher matcher(nullptr);
    for (const char* name : {"Gray", "Blue"}) {
        for (int v : {1, 2}) {
            BinItem target = itemWithEvents(QString::fromLatin1(name), {v});
            QCOMPARE(matcher.evalLabel(&target, node.data(), &attributes, nullptr),
                     condition->columnIn(&attributes) >= 0 && condition->equalsValue(target.packets.first()->get(0)));
        }
    }
}

LUMIVANE_TEST(RuleMatcherTest)
#include "RuleMatcherTest.moc"
