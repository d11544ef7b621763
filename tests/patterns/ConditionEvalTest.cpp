#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

#include <memory>

#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"

namespace {

// Columns of the events below.
enum { ColProto, ColLength, ColFlags, ColA, ColB, ColName, ColumnCount };

THash<QString, int> attributeMap()
{
    THash<QString, int> map;
    map[QStringLiteral("proto")] = ColProto;
    map[QStringLiteral("frame.length")] = ColLength;
    map[QStringLiteral("flags")] = ColFlags;
    map[QStringLiteral("a")] = ColA;
    map[QStringLiteral("b")] = ColB;
    map[QStringLiteral("name")] = ColName;
    map[QStringLiteral("gone")] = -1;
    return map;
}

// An event with the given values by column; absent columns stay none.
std::unique_ptr<Packet> makeEvent(const QMap<int, TVariant>& values)
{
    TList<TVariant> row;
    for (int i = 0; i < ColumnCount; ++i)
        row.append(values.value(i));
    return std::make_unique<Packet>(row);
}

ParseNode* test(const QString& name, int op, const TVariant& value, bool variable = false)
{
    ParseNode* node = new ParseNode(ParseNode::Test);
    node->name = name;
    node->op = op;
    node->value = value;
    node->isVariable = variable;
    return node;
}

ParseNode* constant(int value)
{
    ParseNode* node = new ParseNode(ParseNode::Test);
    node->value = TVariant(value);
    return node;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children)
{
    ParseNode* n = new ParseNode(type);
    for (ParseNode* child : children)
        n->addChild(child);
    return n;
}

TVariant text(const char* s)
{
    return TVariant(QString::fromUtf8(s), false);
}

// Kind, name, operator, value (kind and text), variable flag and children.
QString shape(const ParseNode* n)
{
    QString out = QString::number(n->type) + QLatin1Char('[') + n->name + QLatin1Char('|')
                  + QString::number(n->op) + QLatin1Char('|') + QString::number(n->value.type)
                  + QLatin1Char(':') + n->value.toString() + QLatin1Char('|')
                  + QString::number(n->isVariable);
    for (const ParseNode* child : n->children)
        out += QLatin1Char(' ') + shape(child);
    return out + QLatin1Char(']');
}

} // namespace

Q_DECLARE_METATYPE(ParseNode*)

class ConditionEvalTest : public QObject
{
    Q_OBJECT

private slots:
    void constants();
    void structureWithoutChildrenIsTrue();
    void noEventIsFalse();
    void operators_data();
    void operators();
    void absentValueRules_data();
    void absentValueRules();
    void unknownAttributeIsFalse();
    void resolvedColumns();
    void variablesBindOnFirstUse();
    void unsupportedOperatorLogs();
    void andOrStopAtTheDecidingChild();
    void longChainEvaluates();
    void storeColumns();
    void operatorNames();
    void printing_data();
    void printing();
    void printingLongChain();
    void printedConditionsReadBack_data();
    void printedConditionsReadBack();
};

void ConditionEvalTest::constants()
{
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({});
    std::unique_ptr<ParseNode> t(constant(1));
    std::unique_ptr<ParseNode> f(constant(0));
    QVERIFY(t->evaluate(e.get(), &map, nullptr));
    QVERIFY(!f->evaluate(e.get(), &map, nullptr));
    QVERIFY(!f->evaluate(e.get(), nullptr, nullptr));
    QCOMPARE(t->toString(), QStringLiteral("true"));
    QCOMPARE(f->toString(), QStringLiteral("false"));
}

void ConditionEvalTest::structureWithoutChildrenIsTrue()
{
    auto e = makeEvent({});
    for (int type : {ParseNode::And, ParseNode::Or, ParseNode::Not}) {
        ParseNode n(type);
        QVERIFY2(n.evaluate(e.get(), nullptr, nullptr), qPrintable(QString::number(type)));
    }
    // With a name (never built by the parser) the lists decide as lists do.
    ParseNode namedOr(ParseNode::Or);
    namedOr.name = QStringLiteral("a");
    QVERIFY(!namedOr.evaluate(e.get(), nullptr, nullptr));
    ParseNode namedAnd(ParseNode::And);
    namedAnd.name = QStringLiteral("a");
    QVERIFY(namedAnd.evaluate(e.get(), nullptr, nullptr));
}

void ConditionEvalTest::noEventIsFalse()
{
    std::unique_ptr<ParseNode> t(constant(1));
    QVERIFY(!t->evaluate(nullptr, nullptr, nullptr));
}

void ConditionEvalTest::operators_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<TVariant>("eventValue");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("op");
    QTest::addColumn<TVariant>("value");
    QTest::addColumn<bool>("expected");

    const TVariant tcp = text("TCP");
    QTest::newRow("contains") << int(ColProto) << tcp << "proto" << int(ParseNode::Contains) << text("CP") << true;
    QTest::newRow("not contains") << int(ColProto) << tcp << "proto" << int(ParseNode::NotContains) << text("CP") << false;
    QTest::newRow("equal is case-sensitive") << int(ColProto) << tcp << "proto" << int(ParseNode::Equal) << text("tcp") << false;
    QTest::newRow("equal text") << int(ColProto) << tcp << "proto" << int(ParseNode::Equal) << text("TCP") << true;
    QTest::newRow("not equal text") << int(ColProto) << tcp << "proto" << int(ParseNode::NotEqual) << text("UDP") << true;

    const TVariant plusList = text("A+B + C");
    QTest::newRow("one of B") << int(ColFlags) << plusList << "flags" << int(ParseNode::OneOf) << text("B") << true;
    QTest::newRow("one of C trimmed") << int(ColFlags) << plusList << "flags" << int(ParseNode::OneOf) << text("C") << true;
    QTest::newRow("one of AB") << int(ColFlags) << plusList << "flags" << int(ParseNode::OneOf) << text("AB") << false;
    QTest::newRow("one of tab trimmed") << int(ColFlags) << text("A\t+\tB ") << "flags" << int(ParseNode::OneOf) << text("B") << true;
    QTest::newRow("one of trailing plus") << int(ColFlags) << text("A+") << "flags" << int(ParseNode::OneOf) << text("") << true;
    QTest::newRow("one of non-ASCII") << int(ColFlags) << text("\xc3\x84 + B") << "flags" << int(ParseNode::OneOf) << text("\xc3\x84") << true;
    QTest::newRow("one of no-break space trimmed") << int(ColFlags) << text("A+\xc2\xa0" "B") << "flags" << int(ParseNode::OneOf) << text("B") << true;
    QTest::newRow("one of number value") << int(ColFlags) << text("1+ 2") << "flags" << int(ParseNode::OneOf) << TVariant(2) << true;
    QTest::newRow("contains non-ASCII") << int(ColProto) << text("Gr\xc3\xbc\xc3\x9f" "e") << "proto" << int(ParseNode::Contains) << text("\xc3\xbc\xc3\x9f") << true;
    QTest::newRow("contains number in text") << int(ColProto) << text("port8080") << "proto" << int(ParseNode::Contains) << TVariant(80) << true;
    QTest::newRow("one of empty part") << int(ColFlags) << text("A++B") << "flags" << int(ParseNode::OneOf) << text(" ") << false;

    QTest::newRow(">= int") << int(ColLength) << TVariant(100) << "frame.length" << int(ParseNode::GreaterEqual) << TVariant(100) << true;
    QTest::newRow(">= double") << int(ColLength) << TVariant(100.0) << "frame.length" << int(ParseNode::GreaterEqual) << TVariant(100) << true;
    QTest::newRow("== int text") << int(ColLength) << TVariant(100) << "frame.length" << int(ParseNode::Equal) << TVariant(100) << true;
    QTest::newRow("== double text") << int(ColLength) << TVariant(100.0) << "frame.length" << int(ParseNode::Equal) << TVariant(100) << false;
    QTest::newRow("!= int and double") << int(ColLength) << TVariant(100.0) << "frame.length" << int(ParseNode::NotEqual) << TVariant(100) << true;
    QTest::newRow("> ") << int(ColLength) << TVariant(101) << "frame.length" << int(ParseNode::Greater) << TVariant(100) << true;
    QTest::newRow("> equal") << int(ColLength) << TVariant(100) << "frame.length" << int(ParseNode::Greater) << TVariant(100) << false;
    QTest::newRow("<=") << int(ColLength) << TVariant(100) << "frame.length" << int(ParseNode::LessEqual) << TVariant(100) << true;
    QTest::newRow("<") << int(ColLength) << TVariant(99.5) << "frame.length" << int(ParseNode::Less) << TVariant(100) << true;
    QTest::newRow("< reads no number from text") << int(ColLength) << text("5x") << "frame.length" << int(ParseNode::Less) << TVariant(1) << true;
    QTest::newRow("pair inside") << int(ColLength) << TVariant(5) << "frame.length" << int(ParseNode::Equal) << TVariant(0.0, 10.0) << true;
    QTest::newRow("pair upper bound") << int(ColLength) << TVariant(10.0) << "frame.length" << int(ParseNode::Equal) << TVariant(0.0, 10.0) << true;
    QTest::newRow("pair outside") << int(ColLength) << TVariant(10.5) << "frame.length" << int(ParseNode::Equal) << TVariant(0.0, 10.0) << false;
    QTest::newRow("bool and int text") << int(ColA) << TVariant(QStringLiteral("true")) << "a" << int(ParseNode::Equal) << TVariant(1) << true;
    // A missing value reads as the empty text.
    QTest::newRow("== text, value missing") << int(ColProto) << TVariant() << "proto" << int(ParseNode::Equal) << tcp << false;
    QTest::newRow("== empty text, value missing") << int(ColProto) << TVariant() << "proto" << int(ParseNode::Equal) << text("") << true;
    QTest::newRow("== int, value missing") << int(ColLength) << TVariant() << "frame.length" << int(ParseNode::Equal) << TVariant(0) << false;
    QTest::newRow("!= int, value missing") << int(ColLength) << TVariant() << "frame.length" << int(ParseNode::NotEqual) << TVariant(0) << true;
}

void ConditionEvalTest::operators()
{
    QFETCH(int, column);
    QFETCH(TVariant, eventValue);
    QFETCH(QString, attribute);
    QFETCH(int, op);
    QFETCH(TVariant, value);
    QFETCH(bool, expected);
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({{column, eventValue}});
    std::unique_ptr<ParseNode> condition(test(attribute, op, value));
    QCOMPARE(condition->evaluate(e.get(), &map, nullptr), expected);
}

void ConditionEvalTest::absentValueRules_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<bool>("eventHasIt");
    QTest::addColumn<bool>("expected");
    QTest::newRow("== lacking") << int(ParseNode::Equal) << false << true;
    QTest::newRow("== having") << int(ParseNode::Equal) << true << false;
    QTest::newRow("!= lacking") << int(ParseNode::NotEqual) << false << false;
    QTest::newRow("!= having") << int(ParseNode::NotEqual) << true << true;
    QTest::newRow("> lacking") << int(ParseNode::Greater) << false << true;
    QTest::newRow("> having") << int(ParseNode::Greater) << true << false;
    QTest::newRow("?= lacking") << int(ParseNode::Contains) << false << true;
}

void ConditionEvalTest::absentValueRules()
{
    QFETCH(int, op);
    QFETCH(bool, eventHasIt);
    QFETCH(bool, expected);
    THash<QString, int> map = attributeMap();
    auto e = eventHasIt ? makeEvent({{ColName, text("x")}}) : makeEvent({});
    std::unique_ptr<ParseNode> condition(test(QStringLiteral("name"), op, TVariant()));
    QCOMPARE(condition->evaluate(e.get(), &map, nullptr), expected);
}

// A tree resolved against a map reads the columns found there; evaluated
// with another map, or copied, it looks the names up.
void ConditionEvalTest::resolvedColumns()
{
    THash<QString, int> map = attributeMap();
    THash<QString, int> other = attributeMap();
    other[QStringLiteral("proto")] = ColName;
    auto e = makeEvent({{ColProto, text("TCP")}, {ColName, text("UDP")}});
    std::unique_ptr<ParseNode> condition(
        node(ParseNode::Or, {test(QStringLiteral("nosuch"), ParseNode::Equal, text("TCP")),
                             test(QStringLiteral("proto"), ParseNode::Equal, text("UDP"))}));
    condition->resolveColumns(&map);
    QVERIFY(!condition->evaluate(e.get(), &map, nullptr));
    QVERIFY(condition->evaluate(e.get(), &other, nullptr));
    std::unique_ptr<ParseNode> copy(condition->clone());
    map[QStringLiteral("proto")] = ColName;
    QVERIFY(copy->evaluate(e.get(), &map, nullptr));
}

void ConditionEvalTest::unknownAttributeIsFalse()
{
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({{ColProto, text("TCP")}});
    for (int op : {int(ParseNode::Equal), int(ParseNode::NotEqual)}) {
        std::unique_ptr<ParseNode> missing(test(QStringLiteral("nosuch"), op, text("TCP")));
        QVERIFY(!missing->evaluate(e.get(), &map, nullptr));
        std::unique_ptr<ParseNode> minusOne(test(QStringLiteral("gone"), op, text("TCP")));
        QVERIFY(!minusOne->evaluate(e.get(), &map, nullptr));
    }
    std::unique_ptr<ParseNode> noMap(test(QStringLiteral("proto"), ParseNode::Equal, text("TCP")));
    QVERIFY(!noMap->evaluate(e.get(), nullptr, nullptr));
}

void ConditionEvalTest::variablesBindOnFirstUse()
{
    THash<QString, int> map = attributeMap();
    std::unique_ptr<ParseNode> bindA(test(QStringLiteral("a"), ParseNode::Equal, text("?x"), true));
    std::unique_ptr<ParseNode> useB(test(QStringLiteral("b"), ParseNode::Equal, text("?x"), true));

    auto first = makeEvent({{ColA, text("host1")}, {ColB, text("host2")}});
    auto second = makeEvent({{ColA, text("host9")}, {ColB, text("host1")}});

    THash<QString, TVariant> bindings;
    QVERIFY(bindA->evaluate(first.get(), &map, &bindings));  // binds ?x = host1
    QCOMPARE(bindings.value(QStringLiteral("?x")).toString(), QStringLiteral("host1"));
    QVERIFY(!useB->evaluate(first.get(), &map, &bindings));  // host2 != host1
    QVERIFY(useB->evaluate(second.get(), &map, &bindings));  // host1 == host1
    QVERIFY(!bindA->evaluate(second.get(), &map, &bindings)); // bound now: host9 != host1

    QVERIFY(!bindA->evaluate(first.get(), &map, nullptr));
    QVERIFY(!useB->evaluate(second.get(), &map, nullptr));

    // Binding order inside one condition: the left operand binds first.
    THash<QString, TVariant> fresh;
    std::unique_ptr<ParseNode> both(node(ParseNode::And, {bindA->clone(), useB->clone()}));
    QVERIFY(!both->evaluate(first.get(), &map, &fresh));
    auto same = makeEvent({{ColA, text("h")}, {ColB, text("h")}});
    THash<QString, TVariant> again;
    QVERIFY(both->evaluate(same.get(), &map, &again));
}

void ConditionEvalTest::unsupportedOperatorLogs()
{
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({{ColProto, text("TCP")}});
    std::unique_ptr<ParseNode> condition(test(QStringLiteral("proto"), 9, text("TCP")));
    DebugCapture capture;
    capture.setForward(false);
    QVERIFY(!condition->evaluate(e.get(), &map, nullptr));
    QCOMPARE(capture.lines(), QStringList{QStringLiteral("operator not supported")});
}

void ConditionEvalTest::andOrStopAtTheDecidingChild()
{
    // The second operand would bind ?y if it were evaluated.
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({{ColA, text("x")}});
    std::unique_ptr<ParseNode> orNode(node(ParseNode::Or, {
        test(QStringLiteral("a"), ParseNode::Equal, text("x")),
        test(QStringLiteral("a"), ParseNode::Equal, text("?y"), true)}));
    THash<QString, TVariant> bindings;
    QVERIFY(orNode->evaluate(e.get(), &map, &bindings));
    QVERIFY(!bindings.contains(QStringLiteral("?y")));

    std::unique_ptr<ParseNode> andNode(node(ParseNode::And, {
        test(QStringLiteral("a"), ParseNode::Equal, text("nope")),
        test(QStringLiteral("a"), ParseNode::Equal, text("?y"), true)}));
    QVERIFY(!andNode->evaluate(e.get(), &map, &bindings));
    QVERIFY(!bindings.contains(QStringLiteral("?y")));

    std::unique_ptr<ParseNode> negated(node(ParseNode::Not, {
        node(ParseNode::And, {constant(1), constant(0)})}));
    QVERIFY(negated->evaluate(e.get(), &map, &bindings));
}

void ConditionEvalTest::longChainEvaluates()
{
    // a == 1 && (a == 1 && (... && !(a == 2))) with 100000 operands.
    THash<QString, int> map = attributeMap();
    auto e = makeEvent({{ColA, TVariant(1)}});
    ParseNode* root = new ParseNode(ParseNode::And);
    ParseNode* tail = root;
    for (int i = 0; i < 100000; ++i) {
        tail->addChild(test(QStringLiteral("a"), ParseNode::Equal, TVariant(1)));
        ParseNode* next = new ParseNode(ParseNode::And);
        tail->addChild(next);
        tail = next;
    }
    tail->addChild(node(ParseNode::Not, {test(QStringLiteral("a"), ParseNode::Equal, TVariant(2))}));
    std::unique_ptr<ParseNode> chain(root);
    QVERIFY(chain->evaluate(e.get(), &map, nullptr));
}

void ConditionEvalTest::storeColumns()
{
    // The store's event-side map gives the column a condition reads.
    GlyphStore store;
    store.setAttributes(TList<QString>{QStringLiteral("ip.src"), QStringLiteral("proto")},
                        TList<int>{4, 3});
    TList<TVariant> row;
    row.append(text("10.0.0.1"));
    row.append(text("UDP"));
    Packet e(row);
    std::unique_ptr<ParseNode> condition(test(QStringLiteral("proto"), ParseNode::Equal, text("UDP")));
    QVERIFY(condition->evaluate(&e, &store.attributeColumns, nullptr));
}

void ConditionEvalTest::operatorNames()
{
    const QStringList texts{"==", ">=", ">", "<=", "<", "!=", "?=", "!?=", "?\?="};
    for (int op = 0; op < texts.size(); ++op) {
        QCOMPARE(ParseNode::operatorToString(op), texts.at(op));
        QCOMPARE(ParseNode::operatorFromString(texts.at(op)), op);
    }
    QCOMPARE(ParseNode::operatorToString(9), QString());
    QCOMPARE(ParseNode::operatorToString(-1), QString());
    QCOMPARE(ParseNode::operatorFromString(QStringLiteral("=")), -1);
    QCOMPARE(ParseNode::operatorFromString(QString()), -1);
}

void ConditionEvalTest::printing_data()
{
    QTest::addColumn<ParseNode*>("tree");
    QTest::addColumn<QString>("expected");

    auto t = [](const char* name, int op, const TVariant& v) { return test(QString::fromUtf8(name), op, v); };

    // The documented forms.
    QTest::newRow("plain") << t("ip.src", ParseNode::Equal, text("10.0.0.1")) << "ip.src == 10.0.0.1";
    QTest::newRow("blank quoted") << t("file", ParseNode::Equal, text("my file")) << "file == \"my file\"";
    QTest::newRow("double") << t("frame.length", ParseNode::Greater, TVariant(1.5)) << "frame.length > 1.500000";
    QTest::newRow("bool value") << t("flag", ParseNode::NotEqual, TVariant(QStringLiteral("false"))) << "flag != 0";
    QTest::newRow("and of or") << node(ParseNode::And, {t("a", ParseNode::Equal, TVariant(1)),
                                                        node(ParseNode::Or, {t("b", ParseNode::Equal, TVariant(2)),
                                                                             t("c", ParseNode::Equal, TVariant(3))})})
                               << "(a == 1 && (b == 2 || c == 3))";
    QTest::newRow("not of and") << node(ParseNode::Not, {node(ParseNode::And, {t("a", ParseNode::Equal, TVariant(1)),
                                                                               t("b", ParseNode::Equal, TVariant(2))})})
                                << "(!(a == 1 && b == 2))";
    QTest::newRow("not") << node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))}) << "!a == 1";
    ParseNode* blue = new ParseNode(ParseNode::Leaf);
    blue->glyph.name = QStringLiteral("Blue");
    QTest::newRow("star leaf") << node(ParseNode::Star, {blue}) << "E:Blue*";
    ParseNode* web = new ParseNode(ParseNode::Leaf);
    web->glyph.name = QStringLiteral("Web");
    web->glyph.condition = t("port", ParseNode::Equal, TVariant(80));
    QTest::newRow("leaf with condition") << node(ParseNode::Plus, {web}) << "E:Webport == 80+";
    QTest::newRow("variable") << test(QStringLiteral("a"), ParseNode::Equal, text("?x"), true) << "a == ?x";
    QTest::newRow("constant in and") << node(ParseNode::And, {constant(1), t("x", ParseNode::Equal, TVariant(1))})
                                     << "(true && x == 1)";
    QTest::newRow("epsilon") << new ParseNode(ParseNode::Epsilon) << "";
    ParseNode* repeat = new ParseNode(ParseNode::Repeat);
    repeat->value = TVariant(1.0, 3.0);
    QTest::newRow("repeat") << repeat << "";
    QTest::newRow("group") << new ParseNode(ParseNode::Group) << "";

    // What has to be quoted or parenthesised to read back.
    QTest::newRow("absent value") << t("name", ParseNode::Equal, TVariant()) << "name == \"\"";
    QTest::newRow("operator in value") << t("q", ParseNode::Equal, text("a==b")) << "q == \"a==b\"";
    QTest::newRow("parenthesis in value") << t("q", ParseNode::Equal, text("f(x)")) << "q == \"f(x)\"";
    QTest::newRow("ampersand in value") << t("q", ParseNode::Contains, text("a&b")) << "q ?= \"a&b\"";
    QTest::newRow("tab in value") << t("q", ParseNode::Equal, text("a\tb")) << "q == \"a\tb\"";
    QTest::newRow("inner quote stays bare") << t("q", ParseNode::Equal, text("a\"b")) << "q == a\"b";
    QTest::newRow("quote after false stays bare") << t("q", ParseNode::Equal, text("false\"p")) << "q == false\"p";
    QTest::newRow("blank beats inner quote") << t("q", ParseNode::Equal, text("my \"x\" file")) << "q == \"my \"x\" file\"";
    QTest::newRow("value like a variable") << t("q", ParseNode::Equal, text("?x")) << "q == \"?x\"";
    QTest::newRow("value starting true") << t("q", ParseNode::Equal, text("trueish")) << "q == \"trueish\"";
    QTest::newRow("name starting true") << t("trueValue", ParseNode::Equal, TVariant(3)) << "\"trueValue\" == 3";
    QTest::newRow("name starting false") << t("falsehood", ParseNode::Less, TVariant(3)) << "\"falsehood\" < 3";
    QTest::newRow("name with blank") << t("my attr", ParseNode::Equal, TVariant(3)) << "\"my attr\" == 3";
    QTest::newRow("negation first") << node(ParseNode::And, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))}),
                                                             t("b", ParseNode::Equal, TVariant(2))})
                                    << "((!a == 1) && b == 2)";
    QTest::newRow("negation last") << node(ParseNode::Or, {t("b", ParseNode::Equal, TVariant(2)),
                                                           node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))})})
                                   << "(b == 2 || !a == 1)";
    // A one-operand list has no parentheses of its own: what follows it
    // still follows the negation inside.
    QTest::newRow("negation under bare list") << node(ParseNode::And, {
                                                     node(ParseNode::Or, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))})}),
                                                     t("b", ParseNode::Equal, TVariant(2))})
                                              << "((!a == 1) && b == 2)";
    QTest::newRow("double negation") << node(ParseNode::And, {node(ParseNode::Not, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))})}),
                                                              t("b", ParseNode::Equal, TVariant(2))})
                                     << "((!!a == 1) && b == 2)";
}

void ConditionEvalTest::printing()
{
    QFETCH(ParseNode*, tree);
    QFETCH(QString, expected);
    std::unique_ptr<ParseNode> owned(tree);
    QCOMPARE(tree->toString(), expected);
}

void ConditionEvalTest::printingLongChain()
{
    ParseNode* root = new ParseNode(ParseNode::Or);
    ParseNode* tail = root;
    const int length = 50000;
    for (int i = 0; i < length; ++i) {
        tail->addChild(test(QStringLiteral("a"), ParseNode::Equal, TVariant(i % 10)));
        ParseNode* next = new ParseNode(ParseNode::Or);
        tail->addChild(next);
        tail = next;
    }
    tail->addChild(test(QStringLiteral("a"), ParseNode::Equal, TVariant(7)));
    std::unique_ptr<ParseNode> chain(root);
    const QString printed = chain->toString();
    QVERIFY(printed.startsWith(QStringLiteral("(a == 0 || (a == 1 || (")));
    QVERIFY(printed.endsWith(QStringLiteral("a == 9 || a == 7") + QString(length, QLatin1Char(')'))));
}

void ConditionEvalTest::printedConditionsReadBack_data()
{
    QTest::addColumn<ParseNode*>("tree");
    auto t = [](const char* name, int op, const TVariant& v) { return test(QString::fromUtf8(name), op, v); };
    auto v = [](const char* s) { return TVariant(QString::fromUtf8(s)); };  // as the parser converts

    QTest::newRow("absent value") << t("name", ParseNode::Equal, TVariant());
    QTest::newRow("operators in value") << t("q", ParseNode::NotEqual, v("a<=b|c"));
    QTest::newRow("parentheses in value") << t("q", ParseNode::Equal, v("f(x)"));
    QTest::newRow("blank and tab") << t("q", ParseNode::Equal, v("a b\tc"));
    QTest::newRow("line break") << t("q", ParseNode::Equal, v("a\nb"));
    QTest::newRow("inner quote") << t("q", ParseNode::Equal, v("a\"b"));
    QTest::newRow("value like a variable") << t("q", ParseNode::Equal, v("?x"));
    QTest::newRow("value starting false") << t("q", ParseNode::Equal, v("falsey"));
    QTest::newRow("value starting false with quote") << t("q", ParseNode::Equal, v("false\"p"));
    QTest::newRow("name starting true") << t("trueValue", ParseNode::Equal, TVariant(3));
    QTest::newRow("name with operator") << t("a!b", ParseNode::OneOf, v("x"));
    QTest::newRow("double") << t("frame.length", ParseNode::Greater, TVariant(1.5));
    QTest::newRow("variable") << test(QStringLiteral("a"), ParseNode::Equal, v("?x"), true);
    QTest::newRow("negation first") << node(ParseNode::And, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))}),
                                                             t("b", ParseNode::Equal, TVariant(2))});
    QTest::newRow("negation inside or") << node(ParseNode::Or, {t("c", ParseNode::Less, TVariant(0)),
                                                                node(ParseNode::And, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))}),
                                                                                      node(ParseNode::Not, {t("b", ParseNode::Equal, TVariant(2))})})});
    QTest::newRow("double negation first") << node(ParseNode::Or, {node(ParseNode::Not, {node(ParseNode::Not, {t("a", ParseNode::Equal, TVariant(1))})}),
                                                                   constant(0)});
    QTest::newRow("negated list first") << node(ParseNode::And, {node(ParseNode::Not, {node(ParseNode::Or, {t("a", ParseNode::Equal, TVariant(1)), constant(1)})}),
                                                                 t("b", ParseNode::Equal, v("my file"))});
}

void ConditionEvalTest::printedConditionsReadBack()
{
    QFETCH(ParseNode*, tree);
    std::unique_ptr<ParseNode> owned(tree);
    const QString printed = tree->toString();
    std::unique_ptr<ParseNode> back(ConditionParser::parse(printed));
    QVERIFY2(back, qPrintable(QStringLiteral("does not read back: ") + printed));
    QCOMPARE(shape(back.get()), shape(tree));
    QCOMPARE(back->toString(), printed);
}

LUMIVANE_TEST(ConditionEvalTest)
#include "ConditionEvalTest.moc"
