#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

#include <memory>

#include "PatternTestUtil.h"
#include "RandomPatterns.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

using Tree = std::unique_ptr<ParseNode>;

namespace {

// The neighbourhood of the first difference, for readable failures.
QByteArray difference(const QString& actual, const QString& expected, const QString& source)
{
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual.at(at) == expected.at(at))
        ++at;
    const int from = qMax(0, at - 60);
    return ("actual ..." + actual.mid(from, 140) + "\nexpected ..." + expected.mid(from, 140)
            + "\nfrom: " + source).toUtf8();
}

} // namespace

#define COMPARE_TEXT(actual, expected, source) \
    QVERIFY2((actual) == (expected), difference((actual), (expected), (source)).constData())

class RoundTripTest : public QObject
{
    Q_OBJECT
private slots:
    void conditions();
    void patterns();
    void rules();
    void printedConditionInsideGlyph();
};

void RoundTripTest::conditions()
{
    RandomPatterns random(20261206);
    for (int i = 0; i < 3000; ++i) {
        Tree condition(random.condition(1 + i % 5));
        const QString text = condition->toString();
        Tree back(ConditionParser::parse(text));
        QVERIFY2(back, qPrintable("does not read back: " + text));
        QCOMPARE(back->toString(), text);
        QCOMPARE(describeTree(back.get()), describeTree(condition.get()));
    }
}

void RoundTripTest::patterns()
{
    RandomPatterns random(7);
    for (int i = 0; i < 3000; ++i) {
        Tree pattern(random.pattern(1 + i % 6));
        const QString text = Rule::treeToText(pattern.get());
        Tree back(Rule::parse(text));
        QVERIFY2(back, qPrintable("does not read back: " + text));
        COMPARE_TEXT(describePattern(back.get()), describePattern(pattern.get()), text);
        QCOMPARE(Rule::treeToText(back.get()), text);
    }
}

void RoundTripTest::rules()
{
    RandomPatterns random(99);
    for (int i = 0; i < 1000; ++i) {
        const Rule rule(random.ruleName(), random.pattern(1 + i % 4), random.pattern(i % 3),
                        random.chance(50), random.chance(50));
        const QString line = Rule::toString(rule);
        const Rule back = Rule::fromString(line);
        QCOMPARE(back.name, rule.name);
        QCOMPARE(back.match, rule.match);
        QCOMPARE(back.visible, rule.visible);
        COMPARE_TEXT(describePattern(back.pre), describePattern(rule.pre), line);
        COMPARE_TEXT(describePattern(back.post), describePattern(rule.post), line);
        QCOMPARE(Rule::toString(back), line);
    }
}

void RoundTripTest::printedConditionInsideGlyph()
{
    // Conditions whose plain printing would not read back: a negation before
    // "&&", values with operator characters or blanks, the absent value.
    const QStringList conditions = {
        "(!a == 1) && b == 2",
        "a == \"x=y\" || b != \"\"",
        "\"true\" == \"false\"",
        "a ?\?= \"A+B + C\" && !(b < 2 || c > 3)",
    };
    for (const QString& text : conditions) {
        Tree condition(ConditionParser::parse(text));
        QVERIFY2(condition, qPrintable(text));
        ParseNode* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph.name = "G";
        leaf->glyph.condition = condition.release();
        Tree pattern(leaf);
        const QString printed = Rule::treeToText(pattern.get());
        Tree back(Rule::parse(printed));
        QVERIFY2(back && back->glyph.condition, qPrintable(printed));
        QCOMPARE(describeTree(back->glyph.condition), describeTree(leaf->glyph.condition));
    }
}

LUMIVANE_TEST(RoundTripTest)
#include "RoundTripTest.moc"
