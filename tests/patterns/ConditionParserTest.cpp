#include "TestRegistry.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include "PatternTestUtil.h"
#include "Timing.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "patterns/ConditionParser.h"

namespace {

using Tree = std::unique_ptr<ParseNode>;

Tree parse(const QString& text, const THash<QString, int>* attributes = nullptr,
           int* error = nullptr, QString* name = nullptr, const Context* context = nullptr)
{
    return Tree(ConditionParser::parse(text, attributes, error, name, context));
}

QSharedPointer<Packet> makeEvent(const QStringList& fields)
{
    TList<TVariant> row;
    for (const QString& field : fields)
        row.items.push_back(TVariant(field, true, nullptr));
    return QSharedPointer<Packet>(new Packet(row));
}

} // namespace

class ConditionParserTest : public QObject
{
    Q_OBJECT
private slots:
    void trees_data();
    void trees();
    void failures_data();
    void failures();
    void constants();
    void blanksDoNotMatter();
    void operatorsLongestFirst_data();
    void operatorsLongestFirst();
    void valueKinds_data();
    void valueKinds();
    void variables();
    void quotedNamesAndValues();
    void attributeMapAndReportedName();
    void valuesCheckedAgainstContext();
    void nestingIsCapped();
    void longChainsDoNotRecurse();
    void parsesOnTwoThreads();
};

void ConditionParserTest::trees_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tree");
    QTest::newRow("and then or groups right")
        << "a == 1 && b == 2 || c == 3" << "And(a==1,Or(b==2,c==3))";
    QTest::newRow("or then and groups right")
        << "a == 1 || b == 2 && c == 3" << "Or(a==1,And(b==2,c==3))";
    QTest::newRow("negation takes the whole rest")
        << "!a == 1 || b == 2" << "Not(Or(a==1,b==2))";
    QTest::newRow("negation ends at its parenthesis")
        << "(!a == 1) && b == 2" << "And(Not(a==1),b==2)";
    QTest::newRow("parentheses group left")
        << "(a == 1 || b == 2) && c == 3" << "And(Or(a==1,b==2),c==3)";
    QTest::newRow("constant in a chain") << "true && x == 1" << "And(true,x==1)";
    QTest::newRow("example")
        << "ip.src == 10.0.0.1 && (frame.length > 100 || !smb2.cmd == 5)"
        << "And(ip.src==10.0.0.1,Or(frame.length>100,Not(smb2.cmd==5)))";
    QTest::newRow("no blanks") << "ip.src==10.0.0.1" << "ip.src==10.0.0.1";
}

void ConditionParserTest::trees()
{
    QFETCH(QString, text);
    QFETCH(QString, tree);
    int error = 0;
    Tree result = parse(text, nullptr, &error);
    QCOMPARE(describeTree(result.get()), tree);
    QCOMPARE(error, 0);
}

void ConditionParserTest::failures_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("error");
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("blanks only") << "   " << 1;
    QTest::newRow("single equals") << "a = 1" << 2;
    QTest::newRow("no value") << "a ==" << 3;
    QTest::newRow("dangling and") << "a == 1 &&" << 1;
    QTest::newRow("unclosed parenthesis") << "(a == 1" << 4;
    QTest::newRow("text after parenthesis") << "(a == 1) b == 2" << 0;
    QTest::newRow("constant prefix") << "trueValue == 3" << 0;
    QTest::newRow("blank after question mark") << "a == ? x" << 3;
    QTest::newRow("unclosed quoted name") << "\"abc == 1" << 1;
    QTest::newRow("empty quoted name") << "\"\" == 1" << 1;
    QTest::newRow("unclosed quoted value") << "a == \"x" << 3;
    QTest::newRow("operator where a name belongs") << "== 1" << 1;
    QTest::newRow("negation of nothing") << "!" << 1;
}

void ConditionParserTest::failures()
{
    QFETCH(QString, text);
    QFETCH(int, error);
    int reported = 0;
    Tree result = parse(text, nullptr, &reported);
    QVERIFY(!result);
    QCOMPARE(reported, error);
}

void ConditionParserTest::constants()
{
    Tree yes = parse("true");
    QVERIFY(yes);
    QCOMPARE(int(yes->type), int(ParseNode::Test));
    QVERIFY(yes->name.isEmpty());
    QCOMPARE(yes->value.type, quint16(TVariant::Int));
    QCOMPARE(yes->value.toInt(), 1);

    Tree no = parse("false");
    QVERIFY(no);
    QCOMPARE(no->value.type, quint16(TVariant::Int));
    QCOMPARE(no->value.toInt(), 0);
}

void ConditionParserTest::blanksDoNotMatter()
{
    const QString expected = describeTree(parse("a==1").get());
    QCOMPARE(expected, QString("a==1"));
    QCOMPARE(describeTree(parse("a == 1").get()), expected);
    QCOMPARE(describeTree(parse(" \t a == 1 \r\n").get()), expected);
    QCOMPARE(describeTree(parse("( a==1 )").get()), expected);
}

void ConditionParserTest::operatorsLongestFirst_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("op");
    QTest::newRow("==") << "a==1" << int(ParseNode::Equal);
    QTest::newRow("!=") << "a!=1" << int(ParseNode::NotEqual);
    QTest::newRow("<= is one token") << "a<=1" << int(ParseNode::LessEqual);
    QTest::newRow(">= is one token") << "a>=1" << int(ParseNode::GreaterEqual);
    QTest::newRow("<") << "a<1" << int(ParseNode::Less);
    QTest::newRow(">") << "a > 1" << int(ParseNode::Greater);
    QTest::newRow("?\?= before ?=") << "a ?\?= 1" << int(ParseNode::OneOf);
    QTest::newRow("?=") << "a ?= 1" << int(ParseNode::Contains);
    QTest::newRow("!?=") << "a !?= 1" << int(ParseNode::NotContains);
}

void ConditionParserTest::operatorsLongestFirst()
{
    QFETCH(QString, text);
    QFETCH(int, op);
    Tree tree = parse(text);
    QVERIFY(tree);
    QCOMPARE(int(tree->op), op);
    QCOMPARE(tree->value.toString(), QString("1"));
}

void ConditionParserTest::valueKinds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("value");
    QTest::newRow("int") << "a == 5" << int(TVariant::Int) << "5";
    QTest::newRow("quoted int") << "a == \"5\"" << int(TVariant::Int) << "5";
    QTest::newRow("double") << "a == 5.0" << int(TVariant::Double) << "5.000000";
    QTest::newRow("word") << "a == TCP" << int(TVariant::String) << "TCP";
    QTest::newRow("empty quotes give none") << "a == \"\"" << int(TVariant::None) << "";
    QTest::newRow("bool word") << "a == false" << int(TVariant::Bool) << "0";
}

void ConditionParserTest::valueKinds()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    QFETCH(QString, value);
    Tree tree = parse(text);
    QVERIFY(tree);
    QCOMPARE(int(tree->value.type), type);
    QCOMPARE(tree->value.toString(), value);
    QVERIFY(!tree->isVariable);
}

void ConditionParserTest::variables()
{
    Tree tree = parse("a == ?x && b == ?x");
    QVERIFY(tree);
    const ParseNode* first = tree->children.at(0);
    QCOMPARE(first->value.toString(), QString("?x"));
    QVERIFY(first->isVariable);
    QVERIFY(tree->children.at(1)->isVariable);
}

void ConditionParserTest::quotedNamesAndValues()
{
    Tree tree = parse("\"my attr\" == \"my value\" && b != \"x y\" && \"c\"==\"d\"");
    QCOMPARE(describeTree(tree.get()),
             QString("And(my attr==my value,And(b!=x y,c==d))"));

    // A quoted name may begin with "true".
    Tree named = parse("\"trueValue\" == 3");
    QCOMPARE(describeTree(named.get()), QString("trueValue==3"));

    // A value of many megabytes (a hovered histogram bar's query) with line
    // breaks in it reads whole, and at once.
    const QString huge = QString(40 * 1024 * 1024, QLatin1Char('v')) + QStringLiteral("\n,\nend");
    QElapsedTimer timer;
    timer.start();
    Tree big = parse("a == \"" + huge + "\" && b == 1");
    LUMIVANE_VERIFY_TIME(timer.elapsed(), 1500);
    QVERIFY(big && big->type == ParseNode::And);
    QCOMPARE(big->children.at(0)->value.toString(), huge);
    QCOMPARE(describeTree(big->children.at(1)), QString("b==1"));
}

void ConditionParserTest::attributeMapAndReportedName()
{
    THash<QString, int> attributes;
    attributes["a"] = 0;
    attributes["b"] = 1;

    int error = 0;
    QString name;
    QVERIFY(!parse("a == 1 && b", &attributes, &error, &name));
    QCOMPARE(error, 2);
    QCOMPARE(name, QString("b"));

    error = 0;
    name.clear();
    QVERIFY(!parse("a == 1 && zz == 2", &attributes, &error, &name));
    QCOMPARE(error, 1);
    QCOMPARE(name, QString("a"));  // the last name accepted

    error = 0;
    QVERIFY(!parse("a == 1 && b ==", &attributes, &error, &name));
    QCOMPARE(error, 3);
    QCOMPARE(name, QString("b"));

    error = 0;
    QVERIFY(parse("a == 1 && b == 2", &attributes, &error, &name));
    QCOMPARE(error, 0);
}

void ConditionParserTest::valuesCheckedAgainstContext()
{
    GlyphStore store;
    store.setAttributes(TList<QString>(QList<QString>{"proto", "ip.src"}),
                        TList<int>(QList<int>{3, 4}));
    TList<QSharedPointer<Packet>> packets;
    packets.items.push_back(makeEvent({"UDP", "10.0.0.1"}));
    packets.items.push_back(makeEvent({"ICMP", "10.0.0.2"}));
    Context context(nullptr, "All", packets, &store, true);
    THash<QString, int> attributes = store.attributeMap(false);

    int error = 0;
    QVERIFY(!parse("proto == TCP", &attributes, &error, nullptr, &context));
    QCOMPARE(error, 3);
    QVERIFY(parse("proto == UDP", &attributes, &error, nullptr, &context));
    // Quoted values are not checked, nor values without a context.
    QVERIFY(parse("proto == \"TCP\"", &attributes, &error, nullptr, &context));
    QVERIFY(parse("proto == TCP", &attributes, &error));
    // Identifier columns keep no histogram: their values are accepted.
    error = 0;
    QVERIFY(parse("ip.src == 10.0.0.1", &attributes, &error, nullptr, &context));
    QVERIFY(parse("ip.src == 10.9.9.9", &attributes, &error, nullptr, &context));
    QCOMPARE(error, 0);

    // A column the context has no histogram for is not looked up.
    attributes["late"] = 57;
    QVERIFY(parse("late == x", &attributes, &error, nullptr, &context));
}

void ConditionParserTest::nestingIsCapped()
{
    const int cap = ConditionParser::MaxDepth;
    auto nested = [](int depth) {
        return QString(depth, '(') + "a == 1" + QString(depth, ')');
    };
    QVERIFY(parse(nested(cap - 10)));
    QVERIFY(!parse(nested(cap + 10)));
    QVERIFY(!parse(QString(100000, '(')));
    QVERIFY(!parse(QString(100000, '!') + "a == 1"));
    QVERIFY(parse(QString(cap - 10, '!') + "a == 1"));
}

void ConditionParserTest::longChainsDoNotRecurse()
{
    QStringList terms;
    for (int i = 0; i < 50000; ++i)
        terms.append(QString("a%1 == %1").arg(i));
    Tree tree = parse(terms.join(" && "));
    QVERIFY(tree);
    // Right-grouped: the last node of the spine holds the last two terms.
    const ParseNode* node = tree.get();
    int depth = 0;
    while (node->type == ParseNode::And) {
        QCOMPARE(node->children.size(), 2);
        node = node->children.at(1);
        ++depth;
    }
    QCOMPARE(depth, 49999);
    QCOMPARE(describeTree(node), QString("a49999==49999"));
}

void ConditionParserTest::parsesOnTwoThreads()
{
    const QString text = "a == \"x y\" && (b >= 2 || !c ?= word) && d == ?v";
    const QString expected = describeTree(parse(text).get());
    std::atomic<int> mismatches{0};
    auto work = [&]() {
        for (int i = 0; i < 2000; ++i) {
            Tree tree = parse(text);
            if (describeTree(tree.get()) != expected)
                ++mismatches;
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    QCOMPARE(mismatches.load(), 0);
}

LUMIVANE_TEST(ConditionParserTest)
#include "ConditionParserTest.moc"
