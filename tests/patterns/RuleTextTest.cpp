#include "TestRegistry.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include "PatternTestUtil.h"
#include "core/StringScanner.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

namespace {

using Tree = std::unique_ptr<ParseNode>;

// A nine-field glyph item with black colours and no condition.
QString item(const QString& name, int shape = 0)
{
    return QString("[ %1,%2,(0;0;0),(0;0;0),(0;0;0),true,%3,0,1 ]").arg(name, name.toLower()).arg(shape);
}

Tree parse(const QString& text)
{
    return Tree(Rule::parse(text));
}

} // namespace

class RuleTextTest : public QObject
{
    Q_OBJECT
private slots:
    void sequenceOfTwoGlyphs_data();
    void sequenceOfTwoGlyphs();
    void shapes_data();
    void shapes();
    void repeatBounds();
    void glyphStack();
    void quantifierField();
    void quantifierWritten_data();
    void quantifierWritten();
    void conditionField();
    void conditionThatDoesNotRead_data();
    void conditionThatDoesNotRead();
    void deleteItem();
    void colours_data();
    void colours();
    void nonNumericFields();
    void commaInNameShiftsFields();
    void incompleteText_data();
    void incompleteText();
    void deepNestingGivesNoTree();
    void writers();
    void parsesOnTwoThreads();
};

void RuleTextTest::sequenceOfTwoGlyphs_data()
{
    QTest::addColumn<QString>("text");
    const QString a = "[ A,a,(1;2;3),(4;5;6),(7;8;9),true,0,0,1 ]";
    const QString b = "[ B,b,(1;2;3),(4;5;6),(7;8;9),true,1,0,1 ]";
    QTest::newRow("adjacent") << "&&" + a + b;
    QTest::newRow("blank between items") << "&&" + a + " " + b;
    QTest::newRow("blanks before the operator") << "  \t&&" + a + b;
    QTest::newRow("first item without its bracket") << "&&" + a.mid(1) + b;
}

void RuleTextTest::sequenceOfTwoGlyphs()
{
    QFETCH(QString, text);
    Tree tree = parse(text);
    QVERIFY(tree);
    QCOMPARE(describeTree(tree.get()), QString("And(L:A,L:B)"));
    for (int i = 0; i < 2; ++i) {
        const ParseNode* leaf = tree->children.at(i);
        QCOMPARE(leaf->parentNode, tree.get());
        const BinItem& glyph = leaf->glyph;
        QCOMPARE(glyph.label, i == 0 ? QString("a") : QString("b"));
        QCOMPARE(glyph.shape, i);
        QCOMPARE(glyph.fillColor, QColor(1, 2, 3, 255));
        QCOMPARE(glyph.edgeColor, QColor(4, 5, 6, 255));
        QCOMPARE(glyph.thirdColor, QColor(7, 8, 9, 255));
        QCOMPARE(glyph.edgeWidth, 1);
        QCOMPARE(glyph.edgeStyle, 0);
        QCOMPARE(glyph.mode, NORMAL);
        QVERIFY(!glyph.condition);
    }
}

void RuleTextTest::shapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tree");
    QTest::newRow("or absorbs the following terms")
        << "&&||" + item("A") + item("B") + item("C") << "And(Or(L:A,L:B,L:C))";
    QTest::newRow("terminator closes a list")
        << "&&||" + item("A") + item("B") + ")" + item("C") << "And(Or(L:A,L:B),L:C)";
    QTest::newRow("epsilon inside a list")
        << "&&" + item("A") + " epsilon" + item("B") << "And(L:A,L:B)";
    QTest::newRow("unary operators")
        << "&&*" + item("A") + "+" + item("B") + "!" + item("C") << "And(Star(L:A),Plus(L:B),Not(L:C))";
    QTest::newRow("single leaf") << item("A") << "L:A";
    QTest::newRow("single item without its bracket") << item("A").mid(1) << "L:A";
    QTest::newRow("nested lists")
        << "||&&" + item("A") + item("B") + "))" << "Or(And(L:A,L:B))";
}

void RuleTextTest::shapes()
{
    QFETCH(QString, text);
    QFETCH(QString, tree);
    Tree result = parse(text);
    QCOMPARE(describeTree(result.get()), tree);
}

void RuleTextTest::repeatBounds()
{
    Tree tree = parse("{1,3}" + item("A"));
    QVERIFY(tree);
    QCOMPARE(int(tree->type), int(ParseNode::Repeat));
    QVERIFY(tree->value.isPair());
    QCOMPARE(tree->value.toPair(), qMakePair(1.0, 3.0));
    QCOMPARE(describeTree(tree->children.first()), QString("L:A"));

    Tree unbounded = parse("{0,-1}" + item("A"));
    QVERIFY(unbounded);
    QCOMPARE(unbounded->value.toPair(), qMakePair(0.0, -1.0));

    Tree spaced = parse("{ 2 , 5 }" + item("A"));
    QVERIFY(spaced);
    QCOMPARE(spaced->value.toPair(), qMakePair(2.0, 5.0));
}

void RuleTextTest::glyphStack()
{
    Tree tree = parse(item("A") + "<" + item("B") + ";" + item("C") + ">");
    QVERIFY(tree);
    QCOMPARE(int(tree->type), int(ParseNode::Leaf));
    QCOMPARE(tree->glyph.name, QString("A"));
    QCOMPARE(tree->glyph.children.size(), 2);
    QCOMPARE(tree->glyph.children.at(0).name, QString("B"));
    QCOMPARE(tree->glyph.children.at(1).name, QString("C"));

    // A stack item with a condition: the leaf owns and frees it.
    Tree conditioned = parse(item("A") + "<[ B,b,(0;0;0),(0;0;0),(0;0;0),x == 1,0,0,1 ]>");
    QVERIFY(conditioned);
    QVERIFY(conditioned->glyph.children.at(0).condition);
}

void RuleTextTest::quantifierField()
{
    Tree ten = parse("[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,1,2 ]");
    QVERIFY(ten);
    QCOMPARE(ten->glyph.quantifier, 2);
    Tree nine = parse(item("A"));
    QCOMPARE(nine->glyph.quantifier, 0);
    Tree eleven = parse("[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,1,3,junk ]");
    QVERIFY(eleven);
    QCOMPARE(eleven->glyph.quantifier, 3);
}

void RuleTextTest::quantifierWritten_data()
{
    QTest::addColumn<QString>("line");
    // Items without a quantifier keep their nine fields, byte for byte.
    QTest::newRow("none") << "R~true~false~&&[ A,a,(0;0;0),(0;0;0),(0;0;0),x == 1,0,0,1 ] --> &&[ delete ]";
    QTest::newRow("any") << "R~true~false~&&[ A,a,(0;0;0),(0;0;0),(0;0;0),x == 1,0,0,1,1 ] --> &&[ delete ]";
    QTest::newRow("last, on a stacked glyph")
        << "R~false~true~[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,1 ]<[ B,b,(0;0;0),(0;0;0),(0;0;0),x == 2,0,0,1,3 ]>"
           " --> &&[ C,c,(0;0;0),(0;0;0),(0;0;0),true,0,0,1,2 ]";
}

void RuleTextTest::quantifierWritten()
{
    QFETCH(QString, line);
    const Rule rule = Rule::fromString(line);
    QVERIFY(rule.pre && rule.post);
    QCOMPARE(Rule::toString(rule), line);

    // Written from a tree, read back: the same quantifiers.
    Tree tree(Rule::parse("&&[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,5 ]"));
    for (int quantifier : {0, 1, 2, 3}) {
        tree->children.first()->glyph.quantifier = quantifier;
        const QString text = Rule::treeToText(tree.get());
        QCOMPARE(text.endsWith(QStringLiteral(",5 ]")), quantifier == 0);
        Tree back(Rule::parse(text));
        QVERIFY(back);
        QCOMPARE(back->children.first()->glyph.quantifier, quantifier);
        QCOMPARE(Rule::treeToText(back.get()), text);
    }
}

void RuleTextTest::conditionField()
{
    Tree tree = parse("[ A,a,(0;0;0),(0;0;0),(0;0;0),ip.src == 10.0.0.1 && len > 5,2,1,3 ]");
    QVERIFY(tree);
    QCOMPARE(describeTree(tree->glyph.condition), QString("And(ip.src==10.0.0.1,len>5)"));
    QCOMPARE(tree->glyph.shape, 2);
    QCOMPARE(tree->glyph.edgeStyle, 1);
    QCOMPARE(tree->glyph.edgeWidth, 3);

    // No condition at all: "true" or an empty field.
    Tree blank = parse("[ A,a,(0;0;0),(0;0;0),(0;0;0), ,2,1,3 ]");
    QVERIFY(blank);
    QVERIFY(!blank->glyph.condition);
    QCOMPARE(blank->glyph.shape, 2);
}

void RuleTextTest::conditionThatDoesNotRead_data()
{
    QTest::addColumn<QString>("text");
    const QString deep = QString(ConditionParser::MaxDepth + 1, QLatin1Char('(')) + "a == 1"
                         + QString(ConditionParser::MaxDepth + 1, QLatin1Char(')'));
    QTest::newRow("no value") << "[ A,a,(0;0;0),(0;0;0),(0;0;0),a ==,0,0,1 ]";
    QTest::newRow("single equals") << "[ A,a,(0;0;0),(0;0;0),(0;0;0),ip.src = 1,2,1,3 ]";
    QTest::newRow("nesting past the cap") << "[ A,a,(0;0;0),(0;0;0),(0;0;0)," + deep + ",0,0,1 ]";
    QTest::newRow("in a list") << "&&" + item("B") + "[ A,a,(0;0;0),(0;0;0),(0;0;0),a ==,0,0,1 ]";
    QTest::newRow("in a stack") << item("B") + "<[ A,a,(0;0;0),(0;0;0),(0;0;0),(a == 1,0,0,1 ]>";
}

void RuleTextTest::conditionThatDoesNotRead()
{
    // Read as "no condition", the glyph would match every event: the text
    // gives no tree instead.
    QFETCH(QString, text);
    QVERIFY(!parse(text));
    const Rule rule = Rule::fromString("G~true~false~" + text + " --> &&[ delete ]");
    QVERIFY(!rule.pre);
    QVERIFY(rule.post);
}

void RuleTextTest::deleteItem()
{
    Tree alone = parse("[ delete ]");
    QVERIFY(alone);
    QCOMPARE(int(alone->type), int(ParseNode::Leaf));
    QCOMPARE(alone->glyph.mode, DELETE);
    QVERIFY(alone->glyph.name.isEmpty());

    // What follows a delete item is still read.
    Tree list = parse("&&[ delete ]" + item("B"));
    QCOMPARE(describeTree(list.get()), QString("And(L:,L:B)"));
    QCOMPARE(list->children.at(0)->glyph.mode, DELETE);

    Tree spaced = parse("&&[ delete ]  " + item("B") + "[delete]");
    QCOMPARE(describeTree(spaced.get()), QString("And(L:,L:B,L:)"));

    // Whatever was read before the word is dropped.
    Tree replaced = parse(item("A") + " delete ]");
    QVERIFY(replaced);
    QCOMPARE(replaced->glyph.mode, DELETE);
    QVERIFY(replaced->glyph.name.isEmpty());
}

void RuleTextTest::colours_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("parentheses") << "(255;0;0)" << QColor(255, 0, 0);
    QTest::newRow("any enclosing characters") << "x255;0;0y" << QColor(255, 0, 0);
    QTest::newRow("two parts") << "(1;2)" << QColor(1, 2, 0);
    QTest::newRow("one part") << "(7)" << QColor(7, 0, 0);
    QTest::newRow("empty") << "" << QColor(0, 0, 0);
    QTest::newRow("one character") << "(" << QColor(0, 0, 0);
    QTest::newRow("clamped") << "(300;-5;999999999999)" << QColor(255, 0, 0);
    QTest::newRow("not numbers") << "(a;b;c)" << QColor(0, 0, 0);
    QTest::newRow("extra parts ignored") << "(1;2;3;4)" << QColor(1, 2, 3);
}

void RuleTextTest::colours()
{
    QFETCH(QString, text);
    QFETCH(QColor, colour);
    const QColor read = Rule::parseColor(text);
    QVERIFY(read.isValid());
    QCOMPARE(read, colour);
    QCOMPARE(read.alpha(), 255);
}

void RuleTextTest::nonNumericFields()
{
    Tree tree = parse("[ A,a,(0;0;0),(0;0;0),(0;0;0),true,x,1.5,,zz ]");
    QVERIFY(tree);
    QCOMPARE(tree->glyph.shape, 0);
    QCOMPARE(tree->glyph.edgeStyle, 0);
    QCOMPARE(tree->glyph.edgeWidth, 0);
    QCOMPARE(tree->glyph.quantifier, 0);
}

void RuleTextTest::commaInNameShiftsFields()
{
    // The form has no escape: the label takes the rest of the name, and
    // every later field moves on by one.
    Tree tree = parse("[ A,B,a,(1;2;3),(0;0;0),true,0,0,1 ]");
    QVERIFY(tree);
    QCOMPARE(tree->glyph.name, QString("A"));
    QCOMPARE(tree->glyph.label, QString("B"));
    QCOMPARE(tree->glyph.edgeColor, QColor(1, 2, 3));
    // Where a colour moves into the condition field, the item does not read.
    QVERIFY(!parse("[ A,B,a,(1;2;3),(0;0;0),(0;0;0),true,0,0,1 ]"));
}

void RuleTextTest::incompleteText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("blanks") << "   ";
    QTest::newRow("operator alone") << "&&";
    QTest::newRow("star alone") << "*";
    QTest::newRow("item without bracket") << "[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,1";
    QTest::newRow("list item without bracket") << "&&" + item("A") + "[ B,b,(0;0;0)";
    QTest::newRow("or list item without bracket") << "||[ A,a";
    QTest::newRow("short item") << "[ A,a,(0;0;0) ]";
    QTest::newRow("short item in a list") << "&&" + item("A") + "[ B ]";
    QTest::newRow("brace without closing") << "{1,3" + item("A").replace("]", " ");
    QTest::newRow("brace without comma") << "{13}" + item("A");
    QTest::newRow("repeat of nothing") << "{1,3}";
    QTest::newRow("text left over") << item("A") + " x";
    QTest::newRow("blank after epsilon") << "&&" + item("A") + " epsilon " + item("B");
    QTest::newRow("stack item without bracket") << item("A") + "<[ B,b";
    QTest::newRow("stray terminator") << item("A") + ")";
}

void RuleTextTest::incompleteText()
{
    QFETCH(QString, text);
    QVERIFY(!parse(text));
}

void RuleTextTest::deepNestingGivesNoTree()
{
    QVERIFY(parse(QString("*").repeated(500) + item("A")));
    QVERIFY(!parse(QString("*").repeated(100000) + item("A")));
    QVERIFY(!parse(QString("&&").repeated(100000) + item("A")));
    QVERIFY(!parse(QString("{1,2}").repeated(5000) + item("A")));
    QVERIFY(!parse(QString("!+").repeated(50000) + item("A")));
}

void RuleTextTest::writers()
{
    QCOMPARE(Rule::colorToText(QColor(255, 0, 10)), QString("(255;0;10)"));

    BinItem glyph(nullptr, nullptr);
    glyph.name = "A";
    glyph.label = "a";
    glyph.fillColor = QColor(1, 2, 3);
    glyph.edgeColor = QColor(4, 5, 6);
    glyph.thirdColor = QColor(7, 8, 9);
    glyph.shape = 2;
    glyph.edgeStyle = 1;
    glyph.edgeWidth = 3;
    QCOMPARE(Rule::glyphToText(glyph), QString("A,a,(1;2;3),(4;5;6),(7;8;9),true,2,1,3"));

    StringScanner scanner("[ A,a,(1;2;3),(4;5;6),(7;8;9),true,2,1,3 ]rest");
    bool ok = false;
    const BinItem read = Rule::parseGlyph(scanner, &ok);
    QVERIFY(ok);
    QCOMPARE(Rule::glyphToText(read), Rule::glyphToText(glyph));
    QCOMPARE(scanner.position, scanner.text.size() - 4);

    StringScanner unclosed("[ A,a");
    Rule::parseGlyph(unclosed, &ok);
    QVERIFY(!ok);

    StringScanner lookahead(" epsilon");
    QVERIFY(!Rule::hasMoreChildren(lookahead));
    lookahead.take(1);
    QVERIFY(Rule::hasMoreChildren(lookahead));
    QVERIFY(!Rule::startsTerm(lookahead));
    QVERIFY(Rule::startsUnary(StringScanner("{")));
    QVERIFY(Rule::startsList(StringScanner("||")));
    QVERIFY(Rule::startsGlyph(StringScanner("[")));
}

void RuleTextTest::parsesOnTwoThreads()
{
    // Preprocessing reads rules on a worker while the GUI thread parses.
    const QString text = "&&  *" + item("A") + " {1,2}||" + item("B") + "\t" + item("C")
                         + ")[ D,d,(0;0;0),(0;0;0),(0;0;0),a == \"x y\" && b > 2,0,0,1 ]";
    const QString expected = describeTree(parse(text).get());
    QCOMPARE(expected, QString("And(Star(L:A),Repeat(1,2)(Or(L:B,L:C)),L:D)"));
    std::atomic<int> mismatches{0};
    auto work = [&]() {
        for (int i = 0; i < 1000; ++i) {
            if (describeTree(parse(text).get()) != expected)
                ++mismatches;
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    QCOMPARE(mismatches.load(), 0);
}

LUMIVANE_TEST(RuleTextTest)
#include "RuleTextTest.moc"
