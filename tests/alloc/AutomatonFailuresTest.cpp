#include "FailingNew.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "patterns/Automaton.h"
#include "patterns/ConditionParser.h"
#include "patterns/Edge.h"
#include "patterns/LabelRelations.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "patterns/RuleMatcher.h"

#include <QtTest>

#include <algorithm>
#include <memory>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Every allocation of compiling a rule, of copying a pattern tree and of
// editing an automaton fails in turn. The exception comes out (or the call
// runs through with its usual result), nothing leaks, what existed before is
// as it was, and the same call done again gives what it gives without fail.

namespace {

ParseNode* leaf(const QString& name, const QString& condition = QString(), int quantifier = 0)
{
    auto* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    node->glyph.condition = condition.isEmpty() ? nullptr : ConditionParser::parse(condition);
    node->glyph.quantifier = quantifier;
    return node;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children, const TVariant& value = TVariant())
{
    auto* result = new ParseNode(type);
    result->value = value;
    for (ParseNode* child : children)
        result->addChild(child);
    return result;
}

// A glyph with a condition that stacks two glyphs, one with a condition.
ParseNode* stackedLeaf()
{
    ParseNode* result = leaf(QStringLiteral("S"), QStringLiteral("x == 1 && y != \"b\""), 2);
    for (const char* name : {"A", "B"}) {
        BinItem child(nullptr, nullptr);
        child.name = QLatin1String(name);
        child.condition = child.name == QLatin1String("B") ? ConditionParser::parse(QStringLiteral("!(w == 4)")) : nullptr;
        result->glyph.children.append(child);
    }
    return result;
}

ParseNode* pattern(const QString& kind)
{
    const QString a = QStringLiteral("A"), b = QStringLiteral("B"), c = QStringLiteral("C");
    if (kind == QLatin1String("sequence"))
        return node(ParseNode::And, {leaf(a), leaf(b), leaf(c)});
    if (kind == QLatin1String("choice"))
        return node(ParseNode::Or, {leaf(a), node(ParseNode::And, {leaf(b), leaf(c)}), node(ParseNode::And, {})});
    if (kind == QLatin1String("star and plus"))
        return node(ParseNode::And, {node(ParseNode::Star, {leaf(a)}), node(ParseNode::Plus, {leaf(b)})});
    if (kind == QLatin1String("repetition"))
        return node(ParseNode::And, {node(ParseNode::Repeat, {leaf(a)}, TVariant(1.0, 3.0)),
                                     node(ParseNode::Repeat, {leaf(b)}, TVariant(2.0, -1.0))});
    if (kind == QLatin1String("negation"))
        return node(ParseNode::And, {leaf(a), node(ParseNode::Not, {leaf(b)}), leaf(a)});
    // Around a plain wildcard, which the subset construction splits
    // against the registered labels.
    return node(ParseNode::And, {leaf(a, QStringLiteral("x > 2")),
                                 node(ParseNode::Star, {leaf(QStringLiteral("WildCard"))}), stackedLeaf()});
}

QString treeText(const ParseNode* tree);

QString glyphText(const BinItem& glyph)
{
    QString text = QStringLiteral(" [%1 %2 %3 ").arg(glyph.name).arg(glyph.mode).arg(glyph.quantifier)
                   + (glyph.condition ? treeText(glyph.condition) : QStringLiteral("-"));
    for (const BinItem& child : glyph.children)
        text += glyphText(child);
    return text + QLatin1Char(']');
}

// Node by node with every condition; "^" marks a child whose parent
// pointer is wrong.
QString treeText(const ParseNode* tree)
{
    QString text = QStringLiteral("(%1 %2 %3 %4 %5 %6").arg(tree->type).arg(tree->op).arg(tree->name,
                   tree->value.toString()).arg(tree->isVariable).arg(tree->ignoreBindings);
    if (tree->type == ParseNode::Leaf)
        text += glyphText(tree->glyph);
    for (const ParseNode* child : tree->children)
        text += (child->parent() == tree ? QString() : QStringLiteral("^")) + treeText(child);
    return text + QLatin1Char(')');
}

QString automatonText(const Automaton* automaton)
{
    QList<int> accepting;
    for (const Node& state : automaton->accepting)
        accepting << state.id;
    std::sort(accepting.begin(), accepting.end());
    QString text = QStringLiteral("start %1 edges %2 accepting").arg(automaton->start().id).arg(automaton->edges.size());
    for (int id : accepting)
        text += QLatin1Char(' ') + QString::number(id);
    for (const Node& state : automaton->stateList) {
        text += QStringLiteral("\n%1 in %2:").arg(state.id).arg(automaton->inEdges(state).size());
        for (const Edge* edge : automaton->outEdges(state))
            text += QStringLiteral(" >%1 ").arg(edge->to.id) + LabelRelations::key(edge->label);
    }
    QStringList registered = automaton->labelTexts.values();
    registered.sort();
    for (const QString& key : registered) {
        const ParseNode* clone = automaton->labelCache.value(key);
        text += QStringLiteral("\nlabel ") + (clone ? treeText(clone) : QStringLiteral("missing ") + key);
    }
    return text;
}

// What one action works on, made before the failures are armed.
struct Fixture
{
    explicit Fixture(const QString& kind) : kind(kind)
    {
        if (kind == QLatin1String("clone") || kind == QLatin1String("copy constructor")) {
            tree.reset(pattern(QString()));
            tree->addChild(node(ParseNode::Not, {stackedLeaf()}));
        } else if (kind == QLatin1String("add edge") || kind.startsWith(QLatin1String("remove state"))) {
            made = std::make_unique<Automaton>();
            Node states[4];
            for (Node& state : states)
                made->addState(state);
            made->addEdge(states[0], states[1], leaf(QStringLiteral("A"), QStringLiteral("x == 1")));
            made->addEdge(states[1], states[2], stackedLeaf());
            made->addEdge(states[2], states[2], leaf(QStringLiteral("B")));
            made->addEdge(states[2], states[3], nullptr);
            made->addEdge(states[0], states[2], leaf(QStringLiteral("A"), QStringLiteral("x == 1")));
            made->accepting = {states[3]};
            // A label that no edge carries: the removal makes the registry anew.
            const std::unique_ptr<ParseNode> unused(leaf(QStringLiteral("X")));
            if (kind.endsWith(QLatin1String("registry made anew")))
                made->registerLabel(unused.get());
        } else {
            rule = std::make_unique<Rule>(kind, pattern(kind), leaf(QStringLiteral("R")), true, true);
        }
        prepare();
    }
    void prepare()
    {
        if (kind == QLatin1String("add edge"))
            label.reset(leaf(QStringLiteral("C"), QStringLiteral("y == 2")));
    }
    void run()
    {
        if (kind == QLatin1String("clone"))
            copy.reset(tree->clone());
        else if (kind == QLatin1String("copy constructor"))
            copy.reset(new ParseNode(*tree));
        else if (kind == QLatin1String("add edge"))
            made->addEdge(Node(3), Node(1), label.release());
        else if (kind.startsWith(QLatin1String("remove state")))
            made->removeState(Node(2));
        else
            made.reset(RuleMatcher(nullptr).compile(rule->pre, rule->post));
    }
    // The objects the action reads (an edited automaton: before the edit).
    QString existing() const
    {
        if (rule)
            return treeText(rule->pre) + treeText(rule->post);
        return tree ? treeText(tree.get()) : automatonText(made.get());
    }
    QString result() const { return tree ? treeText(copy.get()) : automatonText(made.get()); }

    QString kind;
    std::unique_ptr<Rule> rule;
    std::unique_ptr<ParseNode> tree, label, copy;
    std::unique_ptr<Automaton> made;
};

// One failure point: the action with its n-th allocation failing, what it
// left, and after a failure the action done again.
void attempt(const QString& kind, long n, const QString& before, const QString& once, bool& hit)
{
    Fixture fixture(kind);
    bool threw = false;
    {
        failingnew::FailAt fail(n);
        try {
            fixture.run();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        hit = fail.stop();
    }
    const QString where = QStringLiteral("failure point %1: ").arg(n);
    if (threw) {
        QVERIFY2(fixture.existing() == before, qPrintable(where + QStringLiteral("left ") + fixture.existing()));
        fixture.prepare();
        fixture.run();
    }
    QVERIFY2(fixture.result() == once, qPrintable(where + fixture.result() + QStringLiteral("\ninstead of\n") + once));
}

} // namespace

class AutomatonFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void everyAllocation_data();
    void everyAllocation();
};

void AutomatonFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("kind");
    for (const char* kind : {"sequence", "choice", "star and plus", "repetition", "negation", "conditions", "clone",
                             "copy constructor", "add edge", "remove state", "remove state, registry made anew"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void AutomatonFailuresTest::everyAllocation()
{
    QFETCH(QString, kind);
    QString before, once;
    {
        Fixture reference(kind);
        before = reference.existing();
        reference.run();
        once = reference.result();
    }
    const long points = sweep::run(kind, [&](long n) {
        bool hit = false;
        attempt(kind, n, before, once, hit);
        return hit && !QTest::currentTestFailed();
    });
    QVERIFY(!QTest::currentTestFailed());
#if defined(__SANITIZE_ADDRESS__)
    QVERIFY2(__lsan_do_recoverable_leak_check() == 0, "leaks (see the report above)");
#endif
    qInfo().noquote() << kind << points << "failure points";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(AutomatonFailuresTest)
#include "AutomatonFailuresTest.moc"
