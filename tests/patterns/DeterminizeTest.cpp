#include "TestRegistry.h"
#include "DebugCapture.h"
#include "MatchTestUtil.h"

#include "patterns/ConditionParser.h"
#include "patterns/LabelRelations.h"

#include <QScopedPointer>
#include <QtTest>

using namespace matchtest;

namespace {

ParseNode* conditional(const QString& name, ParseNode* condition)
{
    ParseNode* node = leaf(name);
    node->glyph.condition = condition;
    return node;
}

ParseNode* variableTest(const QString& name, int op, const TVariant& value)
{
    ParseNode* node = test(name, op, value);
    node->isVariable = true;
    return node;
}

ParseNode* complementOf(std::initializer_list<ParseNode*> registered)
{
    ParseNode* node = unary(ParseNode::Not, altOf(registered));
    node->ignoreBindings = true;
    return node;
}

ParseNode* stacked(const QString& name, const QStringList& stack, int mode = NORMAL)
{
    ParseNode* node = leaf(name);
    node->glyph = item(name, stack);
    node->glyph.mode = mode;
    return node;
}

ParseNode* quantified(const QString& name, const QString& condition, int quantifier)
{
    ParseNode* node = conditional(name, ConditionParser::parse(condition));
    node->glyph.quantifier = quantifier;
    return node;
}

QSet<Node> subsetOf(std::initializer_list<int> ids)
{
    QSet<Node> set;
    for (int id : ids)
        set.insert(Node(id));
    return set;
}

}  // namespace

class DeterminizeTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        capture.reset(new DebugCapture);
        capture->setForward(false);
    }
    void cleanup() { capture.reset(); }

    void labelCovers_data();
    void labelCovers();
    void deterministic_data();
    void deterministic();
    void stateSetKey_data();
    void stateSetKey();
    void closureAndMove();
    void equalLabelsMerge();
    void labelKeys();
    void stackedAndQuantifiedLabelsStayApart();
    void emptyPattern();
    void buildDumpsBothAutomata();

private:
    QScopedPointer<DebugCapture> capture;
};

void DeterminizeTest::labelCovers_data()
{
    QTest::addColumn<void*>("a");
    QTest::addColumn<void*>("b");
    QTest::addColumn<bool>("covers");

    auto row = [](const char* name, ParseNode* a, ParseNode* b, bool covers) {
        QTest::newRow(name) << static_cast<void*>(a) << static_cast<void*>(b) << covers;
    };
    auto eps = []() { return new ParseNode(ParseNode::Epsilon); };
    auto notBlue = []() { return unary(ParseNode::Not, leaf("Blue")); };
    auto x = [](int op, int value) { return test("x", op, TVariant(value)); };

    row("epsilon covers epsilon", eps(), eps(), true);
    row("epsilon does not cover a leaf", eps(), leaf("A"), false);
    row("leaf does not cover epsilon", leaf("A"), eps(), false);
    row("negation does not cover epsilon", notBlue(), eps(), false);

    // An item named Blue with Red in its stack satisfies both Red and Blue.
    row("not Blue does not cover Red", notBlue(), leaf("Red"), false);
    row("not Blue does not cover Blue", notBlue(), leaf("Blue"), false);
    row("not Blue does not cover WildCard", notBlue(), leaf("WildCard"), false);
    row("not Blue does not cover the complement", notBlue(), complementOf({leaf("Blue")}), false);
    row("not Blue covers not Blue", notBlue(), notBlue(), true);
    row("not WildCard does not cover not Blue", unary(ParseNode::Not, leaf("WildCard")), notBlue(), false);
    row("not WildCard does not cover the complement", unary(ParseNode::Not, leaf("WildCard")),
        complementOf({leaf("Blue")}), false);
    row("not Blue covers not WildCard", notBlue(), unary(ParseNode::Not, leaf("WildCard")), true);
    row("negated conditions swap", unary(ParseNode::Not, test("x", ParseNode::Equal, TVariant(2))),
        unary(ParseNode::Not, test("x", ParseNode::NotEqual, TVariant(1))), true);
    row("negation without child", new ParseNode(ParseNode::Not), leaf("A"), false);

    row("same name", leaf("A"), leaf("A"), true);
    row("other name", leaf("A"), leaf("B"), false);
    row("WildCard covers a name", leaf("WildCard"), leaf("A"), true);
    row("a name does not cover WildCard", leaf("A"), leaf("WildCard"), false);
    row("WildCard covers the complement", leaf("WildCard"), complementOf({leaf("A")}), true);
    row("no condition covers a condition", leaf("A"), conditional("A", x(ParseNode::Equal, 1)), true);
    row("condition does not cover none", conditional("A", x(ParseNode::Equal, 1)), leaf("A"), false);
    row("conditions compared", conditional("A", x(ParseNode::NotEqual, 1)),
        conditional("A", x(ParseNode::Equal, 2)), true);

    row("x != 1 covers x == 2", x(ParseNode::NotEqual, 1), x(ParseNode::Equal, 2), true);
    row("x != 1 does not cover x == 1", x(ParseNode::NotEqual, 1), x(ParseNode::Equal, 1), false);
    row("x == 1 does not cover x != 2", x(ParseNode::Equal, 1), x(ParseNode::NotEqual, 2), false);
    row("x == 1 covers x == 1", x(ParseNode::Equal, 1), x(ParseNode::Equal, 1), true);
    row("x < 1 covers x < 1", x(ParseNode::Less, 1), x(ParseNode::Less, 1), true);
    row("other attribute", x(ParseNode::Equal, 1), test("y", ParseNode::Equal, TVariant(1)), false);
    row("variable flag differs", x(ParseNode::Equal, 1), variableTest("x", ParseNode::Equal, TVariant(1)), false);

    row("and pairs children", seqOf({leaf("WildCard"), leaf("B")}), seqOf({leaf("A"), leaf("B")}), true);
    row("and fails on one child", seqOf({leaf("A"), leaf("B")}), seqOf({leaf("A"), leaf("C")}), false);
    row("and without children", seqOf({}), seqOf({}), true);
    row("and against fewer children", seqOf({leaf("A"), leaf("B")}), seqOf({leaf("A")}), false);
    row("and against more children", seqOf({leaf("A")}), seqOf({leaf("A"), leaf("B")}), false);
    row("and against a leaf", seqOf({leaf("A")}), leaf("A"), false);
    // A C item satisfies the second choice, not the first.
    row("or needs every child covered", altOf({leaf("A"), leaf("B")}), altOf({leaf("C"), leaf("B")}), false);
    row("or covers child by child", altOf({leaf("WildCard"), leaf("B")}), altOf({leaf("A"), leaf("B")}), true);
    row("or without children", altOf({}), altOf({}), false);
    row("or against fewer children", altOf({leaf("A"), leaf("B")}), altOf({leaf("A")}), false);
    // A C item may carry A and B in its stack.
    row("negated group next to a leaf", unary(ParseNode::Not, seqOf({leaf("A"), leaf("B")})), leaf("C"), false);

    row("stack covers itself", stacked("Blue", {"Red"}), stacked("Blue", {"Red"}), true);
    row("stacks differ", stacked("Blue", {"Green"}), stacked("Blue", {"Red"}), false);
    row("no stack does not cover a stack", leaf("Blue"), stacked("Blue", {"Red"}), false);
    row("a stacked name covers its glyph", leaf("Red"), stacked("Blue", {"Red"}), true);
    row("fewer stacked names cover more", stacked("X", {"Red"}), stacked("Y", {"Green", "Red"}), true);
    row("WildCard stack covers anything", stacked("X", {"WildCard"}), leaf("A"), true);
    row("WildCard with a stack does not cover a name", stacked("WildCard", {"Red"}), leaf("A"), false);
    row("exact combinations in any order", stacked("X", {"A", "B"}, NONE), stacked("Y", {"B", "A"}, NONE), true);
    row("exact combinations differ", stacked("X", {"A", "B"}, NONE), stacked("X", {"A"}, NONE), false);
    row("not Blue covers a combination without Blue", notBlue(), stacked("X", {"A", "C"}, NONE), true);
    row("not Blue does not cover a combination with Blue", notBlue(), stacked("X", {"A", "Blue"}, NONE), false);
    row("same quantifier", quantified("A", "a == 1", 1), quantified("A", "a == 1", 1), true);
    row("quantifiers differ", quantified("A", "a == 1", 1), quantified("A", "a == 1", 0), false);
    row("negated condition covers another value", quantified("A", "!a == 1", 0), quantified("A", "a == 2", 0), true);
    row("negated condition does not cover another attribute", quantified("A", "!a == 1", 0),
        quantified("A", "b == 2", 0), false);
    row("conditional WildCard does not cover a name", quantified("WildCard", "a == 1", 0), leaf("A"), false);
    row("a name does not cover a conditional WildCard", leaf("A"), quantified("WildCard", "a == 1", 0), false);
    row("nameless glyph does not cover a negation", leaf(""), unary(ParseNode::Not, leaf("A")), false);
    row("nameless glyph does not cover a sequence", leaf(""), seqOf({leaf("A")}), false);
    row("nameless glyph does not cover a choice", leaf(""), altOf({leaf("A")}), false);
    row("nameless glyph covers itself", leaf(""), leaf(""), true);
    // A repetition holds for no single item, so its negation holds for all.
    row("negated repetition covers itself", unary(ParseNode::Not, unary(ParseNode::Plus, leaf("A"))),
        unary(ParseNode::Not, unary(ParseNode::Plus, leaf("A"))), true);
    row("negated repetition covers a leaf", unary(ParseNode::Not, unary(ParseNode::Star, leaf("A"))), leaf("B"),
        true);
    row("negated repetition does not cover epsilon", unary(ParseNode::Not, unary(ParseNode::Star, leaf("A"))),
        eps(), false);

    row("star covers nothing", unary(ParseNode::Star, leaf("A")), unary(ParseNode::Star, leaf("A")), false);
    row("repeat covers nothing", repeat(leaf("A"), 1, 2), repeat(leaf("A"), 1, 2), false);
}

void DeterminizeTest::labelCovers()
{
    QFETCH(void*, a);
    QFETCH(void*, b);
    QScopedPointer<ParseNode> left(static_cast<ParseNode*>(a));
    QScopedPointer<ParseNode> right(static_cast<ParseNode*>(b));
    QTEST(Automaton::labelCovers(left.data(), right.data()), "covers");
}

void DeterminizeTest::deterministic_data()
{
    QTest::addColumn<int>("tree");
    QTest::addColumn<QString>("registry");
    QTest::addColumn<QString>("states");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("accepting");
    QTest::addColumn<QString>("edges");

    QTest::newRow("one leaf") << 0 << "E:Blue" << "0,1" << 0 << "1" << "0>1:E:Blue";
    // The wildcard splits into the named glyph and the complement (last).
    QTest::newRow("WildCard then Blue") << 1 << "E:Blue" << "0,1,2" << 0 << "2"
                                        << "0>1:E:Blue 0>1:(!E:Blue) 1>2:E:Blue";
    QTest::newRow("only WildCard") << 2 << "" << "0,1" << 0 << "1" << "0>1:E:WildCard";
    QTest::newRow("WildCard with condition") << 3 << "E:Blue,E:WildCardx == 1" << "0,1,2" << 0 << "2"
                                             << "0>1:E:WildCardx == 1 1>2:E:Blue";
    // Blue after a wildcard: the Blue item follows both continuations.
    QTest::newRow("WildCard star then Blue")
        << 4 << "E:Blue" << "0,1,2" << 0 << "1"
        << "0>1:E:Blue 0>2:(!E:Blue) 1>1:E:Blue 1>2:(!E:Blue) 2>1:E:Blue 2>2:(!E:Blue)";
    QTest::newRow("alternation") << 5 << "E:A,E:B" << "0,1,2" << 0 << "1,2" << "0>1:E:A 0>2:E:B";
}

void DeterminizeTest::deterministic()
{
    QFETCH(int, tree);
    ParseNode* root = nullptr;
    switch (tree) {
    case 0:
        root = leaf("Blue");
        break;
    case 1:
        root = seqOf({leaf("WildCard"), leaf("Blue")});
        break;
    case 2:
        root = leaf("WildCard");
        break;
    case 3:
        root = seqOf({conditional("WildCard", test("x", ParseNode::Equal, TVariant(1))), leaf("Blue")});
        break;
    case 4:
        root = seqOf({unary(ParseNode::Star, leaf("WildCard")), leaf("Blue")});
        break;
    default:
        root = altOf({leaf("A"), leaf("B")});
        break;
    }
    QScopedPointer<ParseNode> guard(root);
    QScopedPointer<Automaton> nfa(Automaton::fromParseTree(root));
    QStringList registry = nfa->labelTexts.values();
    registry.sort();
    QTEST(registry.join(QLatin1Char(',')), "registry");

    QScopedPointer<Automaton> dfa(nfa->determinize());
    QTEST(describeStates(dfa.data()), "states");
    QTEST(dfa->start().id, "start");
    QTEST(describeAccepting(dfa.data()), "accepting");
    QTEST(describeEdges(dfa.data()), "edges");
    for (const Edge* edge : dfa->edges)
        QVERIFY(edge->label->type != ParseNode::Epsilon);
    // Only the complement label skips variable bindings.
    for (const Edge* edge : dfa->edges)
        QCOMPARE(edge->label->ignoreBindings, edge->label->type == ParseNode::Not);
}

void DeterminizeTest::stateSetKey_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QString>("key");
    QTest::newRow("sorted as text") << QList<int>{2, 10, 1} << "1,10,2";
    QTest::newRow("empty") << QList<int>{} << "";
    QTest::newRow("one") << QList<int>{7} << "7";
    QTest::newRow("no state") << QList<int>{-1, 3} << "-1,3";
}

void DeterminizeTest::stateSetKey()
{
    QFETCH(QList<int>, ids);
    QSet<Node> subset;
    for (int id : ids)
        subset.insert(Node(id));
    QTEST(Automaton::stateSetKey(subset), "key");
}

void DeterminizeTest::closureAndMove()
{
    // Alternation of A and B: 4 -> 0, 1 -> 5, 4 -> 2, 3 -> 5.
    QScopedPointer<ParseNode> tree(altOf({leaf("A"), leaf("B")}));
    QScopedPointer<Automaton> nfa(Automaton::fromParseTree(tree.data()));
    QCOMPARE(nfa->epsilonClosure(subsetOf({4})), subsetOf({0, 2, 4}));
    QCOMPARE(nfa->epsilonClosure(subsetOf({1})), subsetOf({1, 5}));
    QScopedPointer<ParseNode> a(leaf("A"));
    QScopedPointer<ParseNode> eps(new ParseNode(ParseNode::Epsilon));
    QCOMPARE(nfa->move(subsetOf({0, 2}), a.data(), false), subsetOf({1}));
    // Not transitive: one step only, and the subset itself is not included.
    QCOMPARE(nfa->move(subsetOf({4}), eps.data(), false), subsetOf({0, 2}));
    QVERIFY(nfa->isAccepting(subsetOf({1, 5})));
    QVERIFY(!nfa->isAccepting(subsetOf({0, 1})));

    const QList<ParseNode*> labels = nfa->edgeLabels(subsetOf({0, 2, 4}));
    QStringList texts;
    for (ParseNode* label : labels)
        texts.append(label->type == ParseNode::Epsilon ? QStringLiteral("eps") : label->toString());
    qDeleteAll(labels);
    QCOMPARE(texts, QStringList({"E:A", "E:B", "eps"}));
}

void DeterminizeTest::equalLabelsMerge()
{
    // Two alternatives whose labels print alike become one edge.
    QScopedPointer<ParseNode> tree(altOf({leaf("A"), leaf("A")}));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    QCOMPARE(describeEdges(dfa.data()), QStringLiteral("0>1:E:A"));
    QCOMPARE(dfa->edges.size(), 1);
}

void DeterminizeTest::labelKeys()
{
    // Plain labels are known by their text; what the text leaves out makes
    // the key longer and tells the labels apart.
    QScopedPointer<ParseNode> plain(leaf("Blue"));
    QScopedPointer<ParseNode> conditionOnly(quantified("Blue", "a == 1", 0));
    QCOMPARE(LabelRelations::key(plain.data()), QStringLiteral("E:Blue"));
    QCOMPARE(LabelRelations::key(conditionOnly.data()), QStringLiteral("E:Bluea == 1"));

    QList<ParseNode*> labels{leaf("Blue"),
                             stacked("Blue", {"Red"}),
                             stacked("Blue", {"Green"}),
                             stacked("Blue", {"Red", "Green"}),
                             stacked("Blue", {"Red"}, NONE),
                             quantified("Blue", "a == 1", 0),
                             quantified("Blue", "a == 1", 1),
                             quantified("Blue", "a == 1", 3),
                             unary(ParseNode::Not, stacked("Blue", {"Red"})),
                             unary(ParseNode::Not, leaf("Blue"))};
    QStringList keys;
    for (ParseNode* label : labels)
        keys.append(LabelRelations::key(label));
    QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), labels.size());
    for (int i = 0; i < labels.size(); ++i) {
        QScopedPointer<ParseNode> copy(labels.at(i)->clone());
        QCOMPARE(LabelRelations::key(copy.data()), keys.at(i));
        QVERIFY(LabelRelations::same(copy.data(), labels.at(i)));
        QVERIFY(i == 0 || !LabelRelations::same(labels.at(i - 1), labels.at(i)));
    }
    qDeleteAll(labels);
}

void DeterminizeTest::stackedAndQuantifiedLabelsStayApart()
{
    // Alternatives that print alike but match different items keep an edge
    // each, and both enter the registry.
    QScopedPointer<ParseNode> stacks(altOf({stacked("Blue", {"Green"}), stacked("Blue", {"Red"})}));
    QScopedPointer<Automaton> nfa(Automaton::fromParseTree(stacks.data()));
    QCOMPARE(nfa->labelTexts.size(), 2);
    QScopedPointer<Automaton> dfa(nfa->determinize());
    QCOMPARE(describeEdges(dfa.data()), QStringLiteral("0>1:E:Blue 0>2:E:Blue"));

    QScopedPointer<ParseNode> quantifiers(altOf({quantified("Blue", "a == 1", 1), quantified("Blue", "a == 1", 0)}));
    QScopedPointer<Automaton> other(Automaton::build(quantifiers.data()));
    QCOMPARE(describeEdges(other.data()), QStringLiteral("0>1:E:Bluea == 1 0>2:E:Bluea == 1"));

    // A WildCard with a stack is not split: it is a label of its own.
    QScopedPointer<ParseNode> wild(seqOf({stacked("WildCard", {"Red"}), leaf("Blue")}));
    QScopedPointer<Automaton> third(Automaton::build(wild.data()));
    QCOMPARE(describeEdges(third.data()), QStringLiteral("0>1:E:WildCard 1>2:E:Blue"));
}

void DeterminizeTest::emptyPattern()
{
    QScopedPointer<ParseNode> tree(new ParseNode(ParseNode::Group));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    QCOMPARE(dfa->states.size(), 1);
    QVERIFY(dfa->edges.isEmpty());
    QVERIFY(dfa->accepting.isEmpty());
    QCOMPARE(dfa->start().id, 0);
}

void DeterminizeTest::buildDumpsBothAutomata()
{
    QScopedPointer<ParseNode> tree(seqOf({leaf("A"), leaf("B")}));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    QCOMPARE(capture->lines(),
             QStringList({"0 1 A E:A", "1 3 B E:B", "done", "0 1 A E:A", "1 2 B E:B", "done"}));
}

LUMIVANE_TEST(DeterminizeTest)
#include "DeterminizeTest.moc"
