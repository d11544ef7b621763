#include "TestRegistry.h"
#include "DebugCapture.h"
#include "TempWorkDir.h"
#include "MatchTestUtil.h"

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "patterns/Rule.h"
#include "patterns/RuleMatcher.h"

#include <QFile>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QtTest>

using namespace matchtest;

namespace {

// Expands the fixture's short glyph items into the rule text form.
QString expandPattern(const QString& shorthand)
{
    static const QRegularExpression item(QStringLiteral("\\[([^\\]|]+)(?:\\|([^\\]|]*))?(?:\\|(\\d+))?\\]"));
    QString out;
    int last = 0;
    auto it = item.globalMatch(shorthand);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += shorthand.mid(last, m.capturedStart() - last);
        const QString name = m.captured(1);
        const QString condition = m.captured(2).isEmpty() ? QStringLiteral("true") : m.captured(2);
        QString text = QStringLiteral("[ %1,%1,(0;0;0),(0;0;0),(0;0;0),%2,0,0,1").arg(name, condition);
        if (!m.captured(3).isEmpty())
            text += QLatin1Char(',') + m.captured(3);
        out += text + QStringLiteral(" ]");
        last = m.capturedEnd();
    }
    return out + shorthand.mid(last);
}

// "Name<Child;Child>:1,2" per blank-separated token.
Sequence parseSequence(const QString& text)
{
    Sequence sequence;
    for (const QString& token : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QString rest = token;
        QStringList values;
        const int colon = rest.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            values = rest.mid(colon + 1).split(QLatin1Char(','));
            rest = rest.left(colon);
        }
        QStringList children;
        const int open = rest.indexOf(QLatin1Char('<'));
        if (open >= 0) {
            children = rest.mid(open + 1).chopped(1).split(QLatin1Char(';'));
            rest = rest.left(open);
        }
        BinItem value = item(rest, children);
        for (const QString& v : values)
            value.packets.append(QSharedPointer<Packet>::create(TList<TVariant>{TVariant(v.toInt()), TVariant(0)}));
        sequence.add(value);
    }
    return sequence;
}

QString describePositions(const TList<TList<BinItem*>>& matches, const TList<BinItem*>& sequence)
{
    if (matches.isEmpty())
        return QStringLiteral("-");
    QStringList out;
    for (const TList<BinItem*>& match : matches) {
        QStringList items;
        for (BinItem* value : match)
            items.append(value->name + QLatin1Char('@') + QString::number(sequence.indexOf(value)));
        out.append(items.join(QLatin1Char('.')));
    }
    return out.join(QLatin1Char('|'));
}

// A chain 0 -> 1 -> ... -> n of WildCard edges; `acceptAll` makes every
// state but the start accepting, else only the last.
Automaton* chain(int n, bool acceptAll)
{
    auto* a = new Automaton;
    QList<Node> nodes;
    for (int i = 0; i <= n; ++i) {
        Node node;
        a->addState(node);
        nodes.append(node);
        if (i > 0 && (acceptAll || i == n))
            a->accepting.insert(node);
    }
    for (int i = 0; i < n; ++i)
        a->addEdge(nodes.at(i), nodes.at(i + 1), leaf("WildCard"));
    return a;
}

}  // namespace

class MatchSequenceTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        nfaReported = false;
        capture.reset(new DebugCapture);
        capture->setForward(false);
    }
    void cleanup() { capture.reset(); }

    void golden_data();
    void golden();
    void rulesFileReproducers_data();
    void rulesFileReproducers();
    void budget_data();
    void budget();
    void nfaDetectedOnce();
    void gateLines();
    void emptyAutomaton();
    void startOutsideSequence();

private:
    QScopedPointer<DebugCapture> capture;
};

void MatchSequenceTest::golden_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("expected");

    QFile file(testDataPath(QStringLiteral("patterns/matching/golden.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    int number = 0;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        ++number;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        QVERIFY2(fields.size() == 4, qPrintable(line));
        QTest::newRow(qPrintable(QStringLiteral("line %1: %2 / %3 / %4")
                                     .arg(number)
                                     .arg(fields.at(0), fields.at(1), fields.at(2))))
            << fields.at(0) << fields.at(1) << fields.at(2) << fields.at(3);
    }
}

void MatchSequenceTest::golden()
{
    QFETCH(QString, pattern);
    QFETCH(QString, sequence);
    QFETCH(QString, options);
    QScopedPointer<ParseNode> tree(Rule::parse(expandPattern(pattern)));
    QVERIFY2(tree, qPrintable(expandPattern(pattern)));

    ControlWidget controller(nullptr);
    controller.glyphStore->attributeColumns.insert(QStringLiteral("v"), 0);
    controller.glyphStore->attributeColumns.insert(QStringLiteral("w"), 1);
    RuleMatcher matcher(&controller);
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    Sequence items = parseSequence(sequence);
    const TList<BinItem*> pointers = items.pointers();
    const bool stopAtFirst = options.startsWith(QLatin1String("first"));
    const bool whole = options.contains(QLatin1String("whole"));
    QTEST(describePositions(matcher.findMatches(dfa.data(), pointers, stopAtFirst, whole), pointers), "expected");
}

void MatchSequenceTest::rulesFileReproducers_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("expected");

    QFile file(testDataPath(QStringLiteral("patterns/matching/rules-lines.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    int number = 0;
    for (const QString& line : QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'))) {
        ++number;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        QVERIFY2(fields.size() == 4, qPrintable(line));
        QTest::newRow(qPrintable(QStringLiteral("line %1: %2 / %3 / %4")
                                     .arg(number)
                                     .arg(fields.at(0).section(QLatin1Char('~'), 0, 0), fields.at(1), fields.at(2))))
            << fields.at(0) << fields.at(1) << fields.at(2) << fields.at(3);
    }
}

// The rules-file lines of matcher faults, read and compiled the way the
// readers of rules files do.
void MatchSequenceTest::rulesFileReproducers()
{
    QFETCH(QString, line);
    QFETCH(QString, sequence);
    QFETCH(QString, options);
    const Rule rule = Rule::fromString(line);
    QVERIFY2(rule.pre && rule.post, qPrintable(line));

    ControlWidget controller(nullptr);
    controller.glyphStore->attributeColumns.insert(QStringLiteral("a"), 0);
    controller.glyphStore->attributeColumns.insert(QStringLiteral("b"), 1);
    RuleMatcher matcher(&controller);
    QScopedPointer<Automaton> dfa(matcher.compile(rule.pre, rule.post));
    Sequence items = parseSequence(sequence);
    const TList<BinItem*> pointers = items.pointers();
    const bool stopAtFirst = options.startsWith(QLatin1String("first"));
    const bool whole = options.contains(QLatin1String("whole"));
    QTEST(describePositions(matcher.findMatches(dfa.data(), pointers, stopAtFirst, whole), pointers), "expected");
}

void MatchSequenceTest::budget_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("acceptAll");
    QTest::addColumn<bool>("stopAtFirst");
    QTest::addColumn<int>("matched");
    QTest::addColumn<bool>("timeout");

    // One pop per item along a chain: the 1000th pop still pushes when the
    // sequence is longer, and the budget ends the search there.
    QTest::newRow("999 items fit") << 999 << true << false << 999 << false;
    QTest::newRow("1000 items: timeout after 1000 pops") << 1000 << true << false << 1000 << true;
    QTest::newRow("1500 items: longest so far") << 1500 << true << false << 1000 << true;
    QTest::newRow("first match before the budget") << 1500 << true << true << 1 << false;
    QTest::newRow("accepting state out of reach") << 1500 << false << true << 0 << true;
    QTest::newRow("accepting state within reach") << 999 << false << true << 999 << false;
}

void MatchSequenceTest::budget()
{
    QFETCH(int, length);
    QFETCH(bool, acceptAll);
    QFETCH(bool, stopAtFirst);
    QFETCH(bool, timeout);
    QScopedPointer<Automaton> automaton(chain(length, acceptAll));
    Sequence sequence(QString(length, QLatin1Char('A')));
    RuleMatcher matcher(nullptr);
    const TList<BinItem*> match = matcher.matchFrom(0, sequence.pointers(), automaton.data(), stopAtFirst);
    QTEST(match.size(), "matched");
    QCOMPARE(capture->count("timeout for matching sequence"), timeout ? 1 : 0);
}

void MatchSequenceTest::nfaDetectedOnce()
{
    // Two edges of the start state hold for an A item.
    Automaton automaton;
    Node s, e;
    automaton.addState(s);
    automaton.addState(e);
    automaton.accepting.insert(e);
    automaton.addEdge(s, e, leaf("A"));
    automaton.addEdge(s, e, leaf("WildCard"));
    Sequence sequence("AAAA");
    RuleMatcher matcher(nullptr);
    QCOMPARE(describeMatches(matcher.findMatches(&automaton, sequence.pointers(), false, false)),
             QStringLiteral("A|A|A|A"));
    QCOMPARE(capture->count("nfa detected"), 1);
    QVERIFY(nfaReported);

    matcher.findMatches(&automaton, sequence.pointers(), false, false);
    QCOMPARE(capture->count("nfa detected"), 1);
    // A client that clears the flag hears it again.
    nfaReported = false;
    matcher.matchFrom(0, sequence.pointers(), &automaton, true);
    QCOMPARE(capture->count("nfa detected"), 2);
}

void MatchSequenceTest::gateLines()
{
    QScopedPointer<ParseNode> tree(leaf("A"));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    Sequence sequence("XAXA");
    RuleMatcher matcher(nullptr);
    capture->clear();
    QCOMPARE(describeMatches(matcher.findMatches(dfa.data(), sequence.pointers(), false, false)),
             QStringLiteral("A|A"));
    QCOMPARE(capture->lines(), QStringList({"matching 1", "matching 3"}));

    // A negation at the start may hold anywhere: every position is tried.
    QScopedPointer<ParseNode> negated(seqOf({unary(ParseNode::Not, leaf("A")), leaf("A")}));
    QScopedPointer<Automaton> other(Automaton::build(negated.data()));
    capture->clear();
    QCOMPARE(describeMatches(matcher.findMatches(other.data(), sequence.pointers(), false, false)),
             QStringLiteral("XA|XA"));
    QCOMPARE(capture->lines(), QStringList({"matching 0", "matching 2"}));
}

void MatchSequenceTest::emptyAutomaton()
{
    Automaton empty;
    Sequence sequence("AB");
    RuleMatcher matcher(nullptr);
    QVERIFY(matcher.findMatches(&empty, sequence.pointers(), false, true).isEmpty());
    QVERIFY(matcher.matchFrom(0, sequence.pointers(), &empty, false).isEmpty());
    QVERIFY(capture->lines().isEmpty());
}

void MatchSequenceTest::startOutsideSequence()
{
    QScopedPointer<ParseNode> tree(leaf("A"));
    QScopedPointer<Automaton> dfa(Automaton::build(tree.data()));
    Sequence sequence("AA");
    RuleMatcher matcher(nullptr);
    QVERIFY(matcher.matchFrom(2, sequence.pointers(), dfa.data(), false).isEmpty());
    QVERIFY(matcher.matchFrom(-1, sequence.pointers(), dfa.data(), false).isEmpty());
    QCOMPARE(matcher.matchFrom(1, sequence.pointers(), dfa.data(), false).size(), 1);
}

LUMIVANE_TEST(MatchSequenceTest)
#include "MatchSequenceTest.moc"
