#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

#include <memory>

#include "PatternTestUtil.h"
#include "core/Packet.h"
#include "patterns/ConditionParser.h"
#include "patterns/Automaton.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "patterns/RuleMatcher.h"

namespace {

ParseNode* leaf(const QString& name, const QString& condition = QString())
{
    ParseNode* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    node->glyph.label = name.toLower();
    node->glyph.edgeWidth = 1;
    if (!condition.isEmpty())
        node->glyph.condition = ConditionParser::parse(condition);
    return node;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children)
{
    ParseNode* result = new ParseNode(type);
    for (ParseNode* child : children)
        result->addChild(child);
    return result;
}

QString text(const QString& name)
{
    return QString("[ %1,%2,(222;226;230),(0;0;0),(0;0;0),true,0,0,1 ]").arg(name, name.toLower());
}

ParseNode* withChild(ParseNode* parent, ParseNode* child)
{
    parent->addChild(child);
    return parent;
}

ParseNode* slot()
{
    return new ParseNode(ParseNode::Group);
}

// The glyph modes of the leaves, each followed by those of its stack.
QString leafModes(const ParseNode* n)
{
    QString out;
    if (n && n->type == ParseNode::Leaf) {
        out += QString::number(n->glyph.mode);
        for (const BinItem& child : n->glyph.children)
            out += QString::number(child.mode);
        out += QLatin1Char(' ');
    }
    for (const ParseNode* child : n ? n->children : QList<ParseNode*>())
        out += leafModes(child);
    return out;
}

// The length of the longest match at the start of every sequence of up to
// three of the glyphs A, B and C: "0 1 0 ..." in a fixed order.
QString matchLengths(ParseNode* pattern)
{
    std::unique_ptr<Automaton> automaton(Automaton::build(pattern));
    RuleMatcher matcher(nullptr);
    QStringList sequences{QString()};
    for (int i = 0; i < sequences.size() && sequences.at(i).size() < 3; ++i)
        for (const char* c : {"A", "B", "C"})
            sequences.append(sequences.at(i) + c);
    QStringList lengths;
    for (const QString& letters : sequences) {
        TList<BinItem> items;
        for (const QChar c : letters) {
            BinItem item(nullptr, nullptr);
            item.name = c;
            items.append(item);
        }
        TList<BinItem*> sequence;
        for (BinItem& item : items.items)
            sequence.append(&item);
        lengths << QString::number(matcher.matchFrom(0, sequence, automaton.get(), false).size());
    }
    return lengths.join(QLatin1Char(' '));
}

} // namespace

class RuleFileLineTest : public QObject
{
    Q_OBJECT
private slots:
    void lineOfARule();
    void deleteLeafLine();
    void repeatBounds();
    void notNode();
    void leftOutNodes();
    void displayTexts_data();
    void displayTexts();
    void leafDisplayWithCondition();
    void glyphStackPrintsOneLevel();
    void listNotOnTheRightEdge_data();
    void listNotOnTheRightEdge();
    void olderListTextStillReads();
    void flags_data();
    void flags();
    void lineWithoutArrow();
    void shortLines_data();
    void shortLines();
    void nullTreesPrintEmpty();
    void rewriteSides_data();
    void rewriteSides();
    void emptyItemsAndModes_data();
    void emptyItemsAndModes();
    void normalisedMeansTheSame_data();
    void normalisedMeansTheSame();
    void conditionNumbersKeepTheirValue_data();
    void conditionNumbersKeepTheirValue();
};

void RuleFileLineTest::lineOfARule()
{
    Rule rule("R", node(ParseNode::And, {leaf("A"), leaf("B")}), node(ParseNode::And, {leaf("C")}),
              true, false);
    const QString line = Rule::toString(rule);
    QCOMPARE(line, "R~true~false~&&" + text("A") + text("B") + " --> &&" + text("C"));
    QCOMPARE(rule.toString(), line);

    const Rule back = Rule::fromString(line);
    QCOMPARE(back.name, QString("R"));
    QVERIFY(back.match);
    QVERIFY(!back.visible);
    QCOMPARE(describeTree(back.pre), QString("And(L:A,L:B)"));
    QCOMPARE(describeTree(back.post), QString("And(L:C)"));
    QCOMPARE(Rule::toString(back), line);
}

void RuleFileLineTest::deleteLeafLine()
{
    ParseNode* gone = new ParseNode(ParseNode::Leaf);
    gone->glyph.mode = DELETE;
    gone->glyph.name = "DeleteItem";
    Rule rule("D", node(ParseNode::And, {leaf("A")}), node(ParseNode::And, {gone}), false, true);
    QCOMPARE(Rule::treeToText(rule.post), QString("&&[ delete ]"));

    const Rule back = Rule::fromString(Rule::toString(rule));
    QVERIFY(back.post);
    QCOMPARE(describeTree(back.post), QString("And(L:)"));
    QCOMPARE(back.post->children.first()->glyph.mode, DELETE);
    QVERIFY(back.visible);
}

void RuleFileLineTest::repeatBounds()
{
    std::unique_ptr<ParseNode> repeat(node(ParseNode::Repeat, {leaf("A")}));
    repeat->value = TVariant(2.0, -1.0);
    QCOMPARE(Rule::treeToText(repeat.get()), "{2,-1}" + text("A"));
    QCOMPARE(Rule::treeToDisplayText(repeat.get()), QString("^{2,-1}A"));

    repeat->value = TVariant(1.9, 3.7);  // bounds are truncated
    QCOMPARE(Rule::treeToText(repeat.get()), "{1,3}" + text("A"));
}

void RuleFileLineTest::notNode()
{
    std::unique_ptr<ParseNode> tree(node(ParseNode::And, {node(ParseNode::Not, {leaf("A")}), leaf("B")}));
    QCOMPARE(Rule::treeToText(tree.get()), "&&!" + text("A") + text("B"));

    DebugCapture capture;
    capture.setForward(false);
    QCOMPARE(Rule::treeToDisplayText(tree.get()), QString("B"));
    QCOMPARE(capture.count("hebben we deze nog?"), 1);
}

void RuleFileLineTest::leftOutNodes()
{
    ParseNode* empty = leaf("E");
    empty->glyph.mode = EMPTY;
    ParseNode* small = leaf("S");
    small->glyph.mode = EMPTYSMALL;
    std::unique_ptr<ParseNode> tree(node(ParseNode::And, {
        leaf("A"), new ParseNode(ParseNode::Epsilon), node(ParseNode::Group, {leaf("G")}),
        empty, small, new ParseNode(ParseNode::Test), leaf("B")}));

    DebugCapture capture;
    capture.setForward(false);
    QCOMPARE(Rule::treeToText(tree.get()), "&&" + text("A") + text("B"));
    QCOMPARE(capture.count("hebben we deze nog?"), 2);
}

void RuleFileLineTest::displayTexts_data()
{
    QTest::addColumn<void*>("tree");
    QTest::addColumn<QString>("display");
    QTest::newRow("sequence") << static_cast<void*>(node(ParseNode::And, {leaf("A"), leaf("B"), leaf("C")}))
                              << "A.B.C";
    QTest::newRow("choice inside a sequence")
        << static_cast<void*>(node(ParseNode::And, {leaf("A"), node(ParseNode::Or, {leaf("B"), leaf("C")}), leaf("D")}))
        << "A.(B||C)D";
    QTest::newRow("plus") << static_cast<void*>(node(ParseNode::And, {leaf("A"), node(ParseNode::Plus, {leaf("B")})}))
                          << "A.^+B";
    QTest::newRow("star") << static_cast<void*>(node(ParseNode::Star, {leaf("A")})) << "^*A";
    QTest::newRow("single leaf") << static_cast<void*>(leaf("A")) << "A";
    QTest::newRow("nested sequence")
        << static_cast<void*>(node(ParseNode::Or, {leaf("A"), node(ParseNode::And, {leaf("B"), leaf("C")})}))
        << "(A||(B.C)";  // only a leaf closes its list
}

void RuleFileLineTest::displayTexts()
{
    QFETCH(void*, tree);
    QFETCH(QString, display);
    std::unique_ptr<ParseNode> root(static_cast<ParseNode*>(tree));
    QCOMPARE(Rule::treeToDisplayText(root.get()), display);
}

void RuleFileLineTest::leafDisplayWithCondition()
{
    std::unique_ptr<ParseNode> single(leaf("A", "proto == TCP"));
    QCOMPARE(Rule::treeToDisplayText(single.get()), QString("A[proto == TCP]"));

    Rule rule("R", node(ParseNode::And, {leaf("A"), leaf("B")}), leaf("C"), false, false);
    QCOMPARE(Rule::displayText(rule), QString("A.B --> C"));
    QCOMPARE(rule.displayText(), QString("A.B --> C"));
}

void RuleFileLineTest::glyphStackPrintsOneLevel()
{
    std::unique_ptr<ParseNode> tree(leaf("A"));
    BinItem b(nullptr, nullptr);
    b.name = "B";
    BinItem deeper(nullptr, nullptr);
    deeper.name = "Z";
    b.children.items.push_back(deeper);
    BinItem c(nullptr, nullptr);
    c.name = "C";
    tree->glyph.children.items.push_back(b);
    tree->glyph.children.items.push_back(c);

    const QString printed = Rule::treeToText(tree.get());
    QCOMPARE(printed, text("A") + "<[ B,,(222;226;230),(0;0;0),(0;0;0),true,0,0,0 ];"
                                  "[ C,,(222;226;230),(0;0;0),(0;0;0),true,0,0,0 ]>");
    std::unique_ptr<ParseNode> back(Rule::parse(printed));
    QVERIFY(back);
    QCOMPARE(back->glyph.children.size(), 2);
    QVERIFY(back->glyph.children.at(0).children.isEmpty());
}

void RuleFileLineTest::listNotOnTheRightEdge_data()
{
    QTest::addColumn<void*>("tree");
    QTest::addColumn<QString>("printed");
    QTest::newRow("choice then glyph")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Or, {leaf("A"), leaf("B")}), leaf("C")}))
        << "&&||" + text("A") + text("B") + ")" + text("C");
    QTest::newRow("nested lists closed in turn")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Or, {leaf("A"), node(ParseNode::And, {leaf("B"), leaf("C")})}), leaf("D")}))
        << "&&||" + text("A") + "&&" + text("B") + text("C") + "))" + text("D");
    QTest::newRow("list under a star")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Star, {node(ParseNode::Or, {leaf("A"), leaf("B")})}), leaf("C")}))
        << "&&*||" + text("A") + text("B") + ")" + text("C");
    QTest::newRow("inner list before an outer terminator")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Or, {node(ParseNode::And, {leaf("A")})}), leaf("B")}))
        << "&&||&&" + text("A") + "))" + text("B");
    QTest::newRow("right edge needs nothing")
        << static_cast<void*>(node(ParseNode::And, {leaf("A"), node(ParseNode::Or, {leaf("B"), leaf("C")})}))
        << "&&" + text("A") + "||" + text("B") + text("C");
}

void RuleFileLineTest::listNotOnTheRightEdge()
{
    QFETCH(void*, tree);
    QFETCH(QString, printed);
    std::unique_ptr<ParseNode> root(static_cast<ParseNode*>(tree));
    QCOMPARE(Rule::treeToText(root.get()), printed);
    std::unique_ptr<ParseNode> back(Rule::parse(printed));
    QCOMPARE(describeTree(back.get()), describeTree(root.get()));
}

void RuleFileLineTest::olderListTextStillReads()
{
    // Written before lists had a terminator: the choice takes every term.
    std::unique_ptr<ParseNode> tree(Rule::parse("&&||" + text("A") + text("B") + text("C")));
    QCOMPARE(describeTree(tree.get()), QString("And(Or(L:A,L:B,L:C))"));
}

void RuleFileLineTest::flags_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("match");
    QTest::addColumn<bool>("visible");
    QTest::newRow("true false") << "R~true~false~" + text("A") + " --> " + text("B") << true << false;
    QTest::newRow("yes TRUE") << "R~yes~TRUE~" + text("A") + " --> " + text("B") << false << false;
    QTest::newRow("blank around true") << "R~ true~true ~" + text("A") + " --> " + text("B") << false << false;
}

void RuleFileLineTest::flags()
{
    QFETCH(QString, line);
    QFETCH(bool, match);
    QFETCH(bool, visible);
    const Rule rule = Rule::fromString(line);
    QCOMPARE(rule.match, match);
    QCOMPARE(rule.visible, visible);
    QVERIFY(rule.pre);
    QVERIFY(rule.post);
}

void RuleFileLineTest::lineWithoutArrow()
{
    // The whole part is the precondition; the rewrite side is read from the
    // fifth character on.
    const Rule rule = Rule::fromString("R~true~true~" + text("A"));
    QCOMPARE(describeTree(rule.pre), QString("L:A"));
    QVERIFY(!rule.post);  // " A,a,..." : the item from its fifth character

    const Rule both = Rule::fromString("R~true~true~a]b]" + text("A"));
    QVERIFY(!both.pre);
    QCOMPARE(describeTree(both.post), QString("L:A"));

    // The name is kept as written, parts after the fourth are ignored.
    const Rule named = Rule::fromString(" my rule ~true~true~" + text("A") + " --> " + text("B") + "~extra");
    QCOMPARE(named.name, QString(" my rule "));
    QCOMPARE(describeTree(named.post), QString("L:B"));
}

void RuleFileLineTest::shortLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::newRow("empty line") << "" << "";
    QTest::newRow("name only") << "R" << "R";
    QTest::newRow("three parts") << "R~true~true" << "R";
    QTest::newRow("empty rule text") << "R~true~true~" << "R";
    QTest::newRow("arrow only") << "R~true~true~ --> " << "R";
}

void RuleFileLineTest::shortLines()
{
    QFETCH(QString, line);
    QFETCH(QString, name);
    const Rule rule = Rule::fromString(line);
    QCOMPARE(rule.name, name);
    QVERIFY(!rule.pre);
    QVERIFY(!rule.post);
    QCOMPARE(Rule::displayText(rule), QString(" --> "));
}

void RuleFileLineTest::nullTreesPrintEmpty()
{
    QCOMPARE(Rule::treeToText(nullptr), QString());
    QCOMPARE(Rule::treeToDisplayText(nullptr), QString());
    const Rule empty;
    QCOMPARE(Rule::toString(empty), QString("~false~false~ --> "));
}

// What each kind of rewrite side reads as, whether the line holds a rule,
// and the line the rule read writes again.
void RuleFileLineTest::rewriteSides_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QString>("post");   // "null", or the tree
    QTest::addColumn<QString>("written");
    const QString pre = "R~true~false~&&" + text("A");
    QTest::newRow("tree") << pre + " --> &&" + text("B") << true << "And(L:B)" << pre + " --> &&" + text("B");
    // "&&" alone is what the printer makes of a rewrite of empty slots; the
    // rule "Create rule.." makes comes back with its one empty slot.
    QTest::newRow("empty rewrite") << pre + " --> &&" << true << "And(L:)" << pre + " --> &&";
    QTest::newRow("empty rewrite, blanks") << pre + " -->   && " << true << "And(L:)" << pre + " --> &&";
    QTest::newRow("no rewrite") << pre + " --> " << true << "null" << pre + " --> ";
    QTest::newRow("rewrite that does not read") << pre + " --> &&[ B ]" << false << "null" << "";
    QTest::newRow("choice operator alone") << pre + " --> ||" << false << "null" << "";
    QTest::newRow("bare && precondition") << "R~true~false~&& --> &&" + text("B") << false << "And(L:B)" << "";
    QTest::newRow("no precondition") << "R~true~false~ --> &&" << false << "And(L:)" << "";
    QTest::newRow("three parts") << "R~true~false" << false << "null" << "";
}

void RuleFileLineTest::rewriteSides()
{
    QFETCH(QString, line);
    QFETCH(bool, readable);
    QFETCH(QString, post);
    QFETCH(QString, written);
    bool ok = !readable;
    const Rule rule = Rule::fromString(line, &ok);
    QCOMPARE(ok, readable);
    QCOMPARE(rule.post ? describeTree(rule.post) : QString("null"), post);
    if (post == "And(L:)")
        QCOMPARE(rule.post->children.first()->glyph.mode, EMPTY);
    if (!readable)
        return;
    // Every rule that reads shows its precondition, with or without a rewrite.
    const QImage picture = Rule(rule).icon(60, 40).pixmap(60, 40).toImage();
    QVERIFY(picture.pixelColor(6, 20) != QColor(Qt::white));
    QCOMPARE(Rule::toString(rule), written);
    const Rule again = Rule::fromString(written, &ok);
    QVERIFY(ok);
    QCOMPARE(again.post ? describeTree(again.post) : QString("null"), post);

    // The editor's own empty rewrite, an empty slot or a placeholder glyph,
    // writes the same line.
    if (post == "And(L:)") {
        auto* empty = new ParseNode(ParseNode::And);
        empty->addChild(new ParseNode(ParseNode::Group));
        const Rule drawn("R", Rule::parse("&&" + text("A")), empty, true, false);
        QCOMPARE(Rule::toString(drawn), written);
    }
}


// The forms of an empty slot, a stack waiting for its glyph and a glyph's
// mode: what they read as and the text they print again. Texts that no
// older file could hold, so older files read as they did.
void RuleFileLineTest::emptyItemsAndModes_data()
{
    QTest::addColumn<QString>("side");
    QTest::addColumn<QString>("tree");     // "null": no tree
    QTest::addColumn<QString>("modes");
    QTest::addColumn<QString>("printed");
    const QString none = "[ None,,(0;0;0),(0;0;0),(0;0;0),true,0,0,0,0,5 ]";
    const QString stackOfA = "<" + text("A") + ">";
    QTest::newRow("empty branch") << "&&" + text("A") + "||" + text("B") + "[ ]"
                                  << "And(L:A,Or(L:B,K9()))" << "0 0 " << "&&" + text("A") + "||" + text("B") + "[ ]";
    QTest::newRow("negated slot, no blank") << "![]" << "Not(K9())" << "" << "![ ]";
    QTest::newRow("precondition of nothing") << "&&[ ]" << "And(K9())" << "" << "&&[ ]";
    QTest::newRow("empty branch before a glyph")
        << "&&||[ ]" + text("A") + ")" + text("B") << "And(Or(K9(),L:A),L:B)" << "0 0 "
        << "&&||[ ]" + text("A") + ")" + text("B");
    QTest::newRow("stack waiting for its glyph") << "&&[ ] " + stackOfA + text("B")
                                                 << "And(L:,L:B)" << "10 0 " << "&&[ ]" + stackOfA + text("B");
    QTest::newRow("empty stack") << "[ ]<>" << "K9()" << "" << "[ ]";
    QTest::newRow("None glyph of an exact stack") << none + stackOfA << "L:None" << "50 " << none + stackOfA;
    QTest::newRow("mode of a stacked glyph") << text("A") + "<[ B,,(0;0;0),(0;0;0),(0;0;0),true,0,0,0,0,6 ]>"
                                             << "L:A" << "06 " << text("A") + "<[ B,,(0;0;0),(0;0;0),(0;0;0),true,0,0,0,0,6 ]>";
    QTest::newRow("an empty item's mode is no field")
        << "[ A,a,(222;226;230),(0;0;0),(0;0;0),true,0,0,1,0,1 ]" << "L:A" << "0 " << text("A");
    QTest::newRow("delete named in the fields") << text("A").replace(" ]", ",0,4 ]") + stackOfA
                                                << "L:" << "4 " << "[ delete ]";
    QTest::newRow("quantifier before a mode") << "[ N,,(0;0;0),(0;0;0),(0;0;0),true,0,0,0,2,5 ]"
                                              << "L:N" << "5 " << "[ N,,(0;0;0),(0;0;0),(0;0;0),true,0,0,0,2,5 ]";
    QTest::newRow("text inside the brackets") << "&&[ x ]" << "null" << "" << "";
    QTest::newRow("bracket left over") << "&&[ ]]" << "null" << "" << "";
    QTest::newRow("bare && still nothing") << "&&" << "null" << "" << "";
}

void RuleFileLineTest::emptyItemsAndModes()
{
    QFETCH(QString, side);
    QFETCH(QString, tree);
    QFETCH(QString, modes);
    QFETCH(QString, printed);
    std::unique_ptr<ParseNode> read(Rule::parse(side));
    QCOMPARE(describeTree(read.get()), tree);
    QCOMPARE(leafModes(read.get()), modes);
    QCOMPARE(Rule::treeToText(read.get()), printed);
}

// What the editor can draw but matching never reads goes; what is left
// matches every sequence as the drawn tree does, and its line reads back
// as it.
void RuleFileLineTest::normalisedMeansTheSame_data()
{
    QTest::addColumn<void*>("tree");
    QTest::addColumn<QString>("kept");
    QTest::newRow("slots in a sequence") << static_cast<void*>(node(ParseNode::And, {slot(), leaf("A"), slot()}))
                                         << "And(L:A)";
    QTest::newRow("empty branch kept")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Or, {leaf("A"), slot()}), leaf("B")}))
        << "And(Or(L:A,K9()),L:B)";
    QTest::newRow("choice of nothing") << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Or, {slot(), node(ParseNode::Star, {})}), leaf("B")}))
                                       << "And(L:B)";
    QTest::newRow("repetitions of nothing")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Plus, {node(ParseNode::And, {slot(), slot()})}), leaf("A"), node(ParseNode::Star, {})}))
        << "And(L:A)";
    QTest::newRow("group without its operator")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Group, {leaf("A")}), leaf("B")})) << "And(L:B)";
    QTest::newRow("glyph that took over content")
        << static_cast<void*>(node(ParseNode::And, {withChild(leaf("A"), leaf("B")), leaf("C")})) << "And(L:A,L:C)";
    QTest::newRow("negation of nothing")
        << static_cast<void*>(node(ParseNode::And, {leaf("A"), node(ParseNode::Not, {})})) << "And(L:A,Not(Not(K9())))";
    QTest::newRow("negation of a group") << static_cast<void*>(node(ParseNode::Not, {node(ParseNode::Group, {leaf("A")})}))
                                         << "Not(K9())";
    QTest::newRow("negation's second child") << static_cast<void*>(node(ParseNode::Not, {leaf("A"), slot()}))
                                             << "Not(L:A)";
    QTest::newRow("slot inside a negated sequence")
        << static_cast<void*>(node(ParseNode::Not, {node(ParseNode::And, {leaf("A"), slot()})})) << "Not(And(L:A,K9()))";
    QTest::newRow("negated star of nothing") << static_cast<void*>(node(ParseNode::Not, {node(ParseNode::Star, {})}))
                                             << "Not(K9())";
    QTest::newRow("negated star kept") << static_cast<void*>(node(ParseNode::Not, {node(ParseNode::Star, {leaf("A")})}))
                                       << "Not(Star(L:A))";
    QTest::newRow("negated empty lists")
        << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Not, {node(ParseNode::And, {})}), node(ParseNode::Not, {node(ParseNode::Or, {})})}))
        << "And(Not(Not(K9())),Not(K9()))";
    QTest::newRow("nothing at all") << static_cast<void*>(node(ParseNode::And, {node(ParseNode::Group, {slot()})}))
                                    << "And(K9())";
}

void RuleFileLineTest::normalisedMeansTheSame()
{
    QFETCH(void*, tree);
    QFETCH(QString, kept);
    DebugCapture quiet;
    quiet.setForward(false);
    std::unique_ptr<ParseNode> drawn(static_cast<ParseNode*>(tree));
    std::unique_ptr<ParseNode> saved(Rule::normalised(drawn.get(), false));
    QCOMPARE(describeTree(saved.get()), kept);
    QCOMPARE(matchLengths(saved.get()), matchLengths(drawn.get()));
    const QString printed = Rule::treeToText(saved.get());
    std::unique_ptr<ParseNode> back(Rule::parse(printed));
    QCOMPARE(describeTree(back.get()), kept);
    // Saved once is saved: a second pass keeps it.
    std::unique_ptr<ParseNode> again(Rule::normalised(back.get(), false));
    QCOMPARE(Rule::treeToText(again.get()), printed);
    // As a rewrite, nothing is the one empty item "Create rule.." gives.
    std::unique_ptr<ParseNode> rewrite(Rule::normalised(drawn.get(), true));
    if (kept == "And(K9())")
        QCOMPARE(describeTree(rewrite.get()) + leafModes(rewrite.get()), QString("And(L:)1 "));
    else
        QCOMPARE(describeTree(rewrite.get()), kept);
}

// Numbers in a glyph's condition: six decimals while they read back as the
// same number, else the shortest exact text; read back, the rule matches
// the same events.
void RuleFileLineTest::conditionNumbersKeepTheirValue_data()
{
    QTest::addColumn<QString>("condition");
    QTest::addColumn<QString>("written");
    QTest::newRow("integer as double") << "b == 10.0" << "b == 10.000000";
    QTest::newRow("negative zero") << "b <= -0.0" << "b <= 0.000000";
    QTest::newRow("rounds up at six") << "b > 9.9999999" << "b > 9.9999999";
    QTest::newRow("tiny negative") << "b < -2e-24" << "b < -2e-24";
    QTest::newRow("smallest double") << "b > 5e-324" << "b > 5e-324";
    QTest::newRow("huge") << "b < 1e300" << "b < " + QString::number(1e300, 'f', 6);
}

void RuleFileLineTest::conditionNumbersKeepTheirValue()
{
    QFETCH(QString, condition);
    QFETCH(QString, written);
    const Rule rule("R", node(ParseNode::And, {leaf("A", condition)}), nullptr, true, true);
    const QString line = Rule::toString(rule);
    QVERIFY2(line.contains("," + written + ","), qPrintable(line));
    const Rule back = Rule::fromString(line);
    THash<QString, int> columns;
    columns["b"] = 0;
    for (double b : {-1.0, -1e-300, 0.0, 5e-324, 10.0, 1e301}) {
        const Packet event(TList<TVariant>{TVariant(b)});
        QCOMPARE(back.pre->children.first()->glyph.condition->evaluate(&event, &columns, nullptr),
                 rule.pre->children.first()->glyph.condition->evaluate(&event, &columns, nullptr));
    }
}

LUMIVANE_TEST(RuleFileLineTest)
#include "RuleFileLineTest.moc"
