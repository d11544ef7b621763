#include "TestRegistry.h"
#include "Timing.h"
#include "DebugCapture.h"
#include "TempWorkDir.h"

#include <QtTest>

#include <memory>

#include "RandomPatterns.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

using Tree = std::unique_ptr<ParseNode>;

namespace {

QString readFixture(const QString& name)
{
    QFile file(testDataPath("patterns/" + name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll());
}

// Tokens and fragments that the readers treat specially.
const QStringList kFragments = {
    "&&", "||", "!", "*", "+", "{", "}", "{1,2}", "{0,-1}", "[", "]", " ]", "[ ", "(", ")", "<",
    ">", ";", ",", "~", " --> ", "\"", "?", "delete", " delete ", "epsilon", " epsilon", " ", "\t",
    "\n", "==", "!=", "<=", ">=", "?=", "?\?=", "!?=", "true", "false", "(0;0;0)", "x255;0;0y",
    "a == 1", "[ A,a,(1;2;3),(4;5;6),(7;8;9),true,0,0,1 ]", "-1", "99999999999", "\xe9"};

// The language has no escape for a double quote inside a name or value:
// such a condition reads once but cannot be written back.
bool unwritable(const ParseNode* root)
{
    QVector<const ParseNode*> pending{root};
    while (!pending.isEmpty()) {
        const ParseNode* node = pending.takeLast();
        if (node->name.contains('"') || node->value.toString().contains('"'))
            return true;
        if (node->glyph.condition)
            pending.append(node->glyph.condition);
        for (const BinItem& child : node->glyph.children.items) {
            if (child.condition)
                pending.append(child.condition);
        }
        for (const ParseNode* child : node->children)
            pending.append(child);
    }
    return false;
}

// A printed "&&"/"||" chain nests one parenthesis per operand and a printed
// negation of a list two levels; past the reader's nesting limit such a text
// does not read back.
bool beyondNesting(const QString& printed)
{
    return printed.count('(') + printed.count('!') >= ConditionParser::MaxDepth;
}

} // namespace

class FuzzTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void corpus_data();
    void corpus();
    void mutatedInputs_data();
    void mutatedInputs();

private:
    // Runs every reader on the input; returns false (with a message) when a
    // text that read once does not print and read back as the same text.
    bool exercise(const QString& input, QString* problem);

    std::unique_ptr<GlyphStore> store;
    std::unique_ptr<Context> context;
    THash<QString, int> attributes;
};

void FuzzTest::initTestCase()
{
    store.reset(new GlyphStore);
    store->setAttributes(TList<QString>(QList<QString>{"a", "b", "proto"}),
                         TList<int>(QList<int>{3, 1, 4}));
    TList<QSharedPointer<Packet>> packets;
    for (int i = 0; i < 3; ++i) {
        TList<TVariant> row;
        row.items.push_back(TVariant(QString::number(i), true, nullptr));
        row.items.push_back(TVariant(i * 10, nullptr));
        row.items.push_back(TVariant(QStringLiteral("TCP"), true, nullptr));
        packets.items.push_back(QSharedPointer<Packet>(new Packet(row)));
    }
    DebugCapture quiet;
    quiet.setForward(false);
    context.reset(new Context(nullptr, "All", packets, store.get(), true));
    attributes = store->attributeMap(false);
}

void FuzzTest::cleanupTestCase()
{
    context.reset();
    store.reset();
}

bool FuzzTest::exercise(const QString& input, QString* problem)
{
    Tree pattern(Rule::parse(input));
    if (pattern && !unwritable(pattern.get())) {
        const QString printed = Rule::treeToText(pattern.get());
        Tree again(Rule::parse(printed));
        if (!again || Rule::treeToText(again.get()) != printed) {
            *problem = "pattern text does not settle: " + printed;
            return false;
        }
    }

    int error = 0;
    QString name;
    Tree condition(ConditionParser::parse(input, nullptr, &error, &name));
    if (condition && !unwritable(condition.get())) {
        const QString printed = condition->toString();
        Tree again(ConditionParser::parse(printed));
        if ((!again && !beyondNesting(printed)) || (again && again->toString() != printed)) {
            *problem = "condition does not settle: " + printed;
            return false;
        }
    }
    Tree checked(ConditionParser::parse(input, &attributes, &error, &name, context.get()));
    if (checked)
        checked->toString();

    for (const QString& line : input.split('\n')) {
        const Rule rule = Rule::fromString(line);
        const QString written = Rule::toString(rule);
        Rule::displayText(rule);
        // A printed side holding " --> " of its own cannot be split again.
        if (written.count(" --> ") == 1 && !written.contains('\n')
            && !(rule.pre && unwritable(rule.pre)) && !(rule.post && unwritable(rule.post))
            && Rule::toString(Rule::fromString(written)) != written) {
            *problem = "rules-file line does not settle: " + written;
            return false;
        }
    }
    return true;
}

void FuzzTest::corpus_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("pattern");
    QTest::addColumn<bool>("condition");
    QTest::newRow("delete item followed by an item") << "delete-then-item.txt" << true << false;
    QTest::newRow("unclosed item in a list") << "unclosed-item-in-list.txt" << false << false;
    QTest::newRow("unclosed brace") << "unclosed-brace.txt" << false << false;
    QTest::newRow("brace without comma") << "brace-without-comma.txt" << false << false;
    QTest::newRow("short colours and bad numbers") << "short-colours-and-numbers.txt" << false << false;
    QTest::newRow("short item") << "short-item.txt" << false << false;
    QTest::newRow("deep parentheses") << "deep-parentheses.txt" << false << false;
    QTest::newRow("deep negations") << "deep-negations.txt" << false << false;
    QTest::newRow("deep unary operators") << "deep-stars.txt" << false << false;
    QTest::newRow("deep lists") << "deep-lists.txt" << false << false;
    QTest::newRow("nested braces") << "nested-braces.txt" << false << false;
    QTest::newRow("long chain") << "long-chain.txt" << false << true;
    QTest::newRow("unclosed quoted value") << "unclosed-quote.txt" << false << false;
    QTest::newRow("unclosed quoted name") << "unclosed-quoted-name.txt" << false << false;
    QTest::newRow("empty line") << "empty-line.kolm" << false << false;
    QTest::newRow("two parts") << "two-parts.kolm" << false << false;
    QTest::newRow("terminated choice") << "terminated-choice.kolm" << false << false;
    QTest::newRow("unclosed stack") << "unclosed-stack.kolm" << false << false;
}

void FuzzTest::corpus()
{
    QFETCH(QString, file);
    QFETCH(bool, pattern);
    QFETCH(bool, condition);
    const QString input = readFixture(file);
    QVERIFY(!input.isEmpty());

    DebugCapture quiet;
    quiet.setForward(false);
    QElapsedTimer timer;
    timer.start();
    QString problem;
    QVERIFY2(exercise(input, &problem), qPrintable(problem));
    LUMIVANE_VERIFY_TIME(timer.elapsed(), 5000);

    QCOMPARE(bool(Tree(Rule::parse(input))), pattern);
    QCOMPARE(bool(Tree(ConditionParser::parse(input))), condition);
    if (file.endsWith(".kolm")) {
        const Rule rule = Rule::fromString(input.split('\n').first());
        if (file == "terminated-choice.kolm") {
            QVERIFY(rule.pre && rule.post);
            QCOMPARE(rule.pre->children.size(), 2);
        } else {
            QVERIFY(!rule.pre || !rule.post);
        }
    }
}

void FuzzTest::mutatedInputs_data()
{
    // Four batches of a quarter each, so that a slow (sanitizer) build stays
    // within the test framework's time limit per row.
    QTest::addColumn<int>("batch");
    for (int batch = 0; batch < 4; ++batch)
        QTest::newRow(qPrintable(QString("batch %1").arg(batch + 1))) << batch;
}

void FuzzTest::mutatedInputs()
{
    QFETCH(int, batch);
    // LUMIVANE_FUZZ_ITERATIONS (the total over the batches) and
    // LUMIVANE_FUZZ_SEED let longer or other runs be started by hand.
    bool ok = false;
    int iterations = qEnvironmentVariableIntValue("LUMIVANE_FUZZ_ITERATIONS", &ok);
    if (!ok || iterations <= 0)
        iterations = 100000;
    iterations = qMax(1, iterations / 4);

    const int seed = qEnvironmentVariableIntValue("LUMIVANE_FUZZ_SEED", &ok);
    RandomPatterns random((ok ? quint32(seed) : 31337u) + quint32(batch) * 7919u);
    QStringList seeds;
    for (int i = 0; i < 40; ++i) {
        const Rule rule(random.ruleName(), random.pattern(3), random.pattern(2), random.chance(50), true);
        seeds.append(Rule::toString(rule));
        Tree condition(random.condition(3));
        seeds.append(condition->toString());
    }
    for (const char* name : {"delete-then-item.txt", "terminated-choice.kolm", "unclosed-stack.kolm",
                             "short-colours-and-numbers.txt", "brace-without-comma.txt"})
        seeds.append(readFixture(name));

    auto quiet = std::make_unique<DebugCapture>();
    quiet->setForward(false);
    QElapsedTimer total;
    total.start();
    qint64 slowest = 0;
    for (int i = 0; i < iterations; ++i) {
        QString input = seeds.at(random.below(seeds.size()));
        const int steps = 1 + random.below(4);
        for (int s = 0; s < steps; ++s) {
            const int at = input.isEmpty() ? 0 : random.below(input.size() + 1);
            switch (random.below(6)) {
            case 0:
                input.insert(at, kFragments.at(random.below(kFragments.size())));
                break;
            case 1:
                input.remove(at, 1 + random.below(12));
                break;
            case 2:
                if (at < input.size())
                    input[at] = kFragments.at(random.below(kFragments.size())).at(0);
                break;
            case 3: {
                // Repeated slices build deep nesting and long lists.
                const QString slice = input.mid(at, 1 + random.below(6));
                input.insert(at, slice.repeated(1 + random.below(300)));
                break;
            }
            case 4:
                input.truncate(at);
                break;
            default: {
                const QString other = seeds.at(random.below(seeds.size()));
                input.insert(at, other.mid(random.below(other.size() + 1)));
                break;
            }
            }
        }
        QElapsedTimer one;
        one.start();
        QString problem;
        QVERIFY2(exercise(input, &problem), qPrintable(problem + "\ninput: " + input));
        slowest = qMax(slowest, one.elapsed());
    }
    quiet.reset();
    qInfo("%d mutated inputs in %lld ms, slowest %lld ms", iterations, total.elapsed(), slowest);
    QVERIFY2(slowest < 5000, "an input took too long");
}

LUMIVANE_TEST(FuzzTest)
#include "FuzzTest.moc"
