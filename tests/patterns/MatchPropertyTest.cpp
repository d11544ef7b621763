#include "TestRegistry.h"
#include "DebugCapture.h"
#include "MatchTestUtil.h"

#include "patterns/RuleMatcher.h"

#include <QRandomGenerator>
#include <QScopedPointer>
#include <QtTest>

#include <algorithm>
#include <set>

using namespace matchtest;

namespace {

// Random condition-free patterns over a few glyph names.
class PatternMaker
{
public:
    explicit PatternMaker(quint32 seed) : random(seed) {}

    int below(int n) { return int(random.bounded(n)); }

    QString name()
    {
        static const QStringList names{"A", "B", "C", "WildCard"};
        return names.at(below(names.size()));
    }

    ParseNode* pattern(int depth)
    {
        const int choice = depth <= 0 ? below(2) : below(8);
        switch (choice) {
        case 0:
            return leaf(name());
        case 1:
            return below(3) == 0 ? unary(ParseNode::Not, leaf(name())) : leaf(name());
        case 2:
        case 3: {
            auto* node = new ParseNode(ParseNode::And);
            for (int i = 1 + below(3); i > 0; --i)
                node->addChild(pattern(depth - 1));
            return node;
        }
        case 4: {
            auto* node = new ParseNode(ParseNode::Or);
            for (int i = 1 + below(3); i > 0; --i)
                node->addChild(pattern(depth - 1));
            return node;
        }
        case 5:
            return unary(ParseNode::Star, pattern(depth - 1));
        case 6:
            return unary(ParseNode::Plus, pattern(depth - 1));
        default: {
            const int min = below(3);
            const int max = below(3) == 0 ? -1 : min + below(3);
            return repeat(pattern(depth - 1), min, max);
        }
        }
    }

    QString sequence()
    {
        static const QString letters = QStringLiteral("ABCD");
        QString out;
        for (int i = below(9); i > 0; --i)
            out += letters.at(below(letters.size()));
        return out;
    }

private:
    QRandomGenerator random;
};

// The positions where a match of the node starting at `from` can end, by
// plain backtracking over the tree.
std::set<int> ends(const ParseNode* node, const QString& s, int from)
{
    std::set<int> out;
    auto one = [&](const QString& glyph, bool negated) {
        if (from >= s.size())
            return;
        const bool fits = glyph == QLatin1String("WildCard") || QString(s.at(from)) == glyph;
        if (fits != negated)
            out.insert(from + 1);
    };
    auto star = [&](const ParseNode* body, std::set<int> reached) {
        std::vector<int> work(reached.begin(), reached.end());
        while (!work.empty()) {
            const int at = work.back();
            work.pop_back();
            for (int end : ends(body, s, at))
                if (reached.insert(end).second)
                    work.push_back(end);
        }
        return reached;
    };
    auto times = [&](const ParseNode* body, const std::set<int>& start, int count) {
        std::set<int> current = start;
        for (int i = 0; i < count; ++i) {
            std::set<int> next;
            for (int at : current)
                for (int end : ends(body, s, at))
                    next.insert(end);
            current = next;
        }
        return current;
    };
    switch (node->type) {
    case ParseNode::Leaf:
        one(node->glyph.name, false);
        break;
    case ParseNode::Not:
        one(node->children.first()->glyph.name, true);
        break;
    case ParseNode::And:
        out = times(nullptr, {from}, 0);
        for (const ParseNode* child : node->children)
            out = times(child, out, 1);
        break;
    case ParseNode::Or:
        for (const ParseNode* child : node->children)
            for (int end : ends(child, s, from))
                out.insert(end);
        break;
    case ParseNode::Star:
        out = star(node->children.first(), {from});
        break;
    case ParseNode::Plus:
        out = star(node->children.first(), times(node->children.first(), {from}, 1));
        break;
    case ParseNode::Repeat: {
        const int min = int(node->value.toPair().first);
        const int max = int(node->value.toPair().second);
        const ParseNode* body = node->children.first();
        if (max == -1) {
            out = star(body, times(body, {from}, min));
        } else {
            std::set<int> current = times(body, {from}, min);
            out = current;
            for (int k = min; k < max; ++k) {
                current = times(body, current, 1);
                out.insert(current.begin(), current.end());
            }
        }
        break;
    }
    default:
        break;
    }
    return out;
}

// Longest non-empty match at each position, left to right, no overlaps.
QString referenceLongest(const ParseNode* root, const QString& s)
{
    QStringList out;
    int i = 0;
    while (i < s.size()) {
        const std::set<int> e = ends(root, s, i);
        const int best = e.empty() ? i : *e.rbegin();
        if (best > i) {
            out.append(QStringLiteral("%1-%2").arg(i).arg(best));
            i = best;
        } else {
            ++i;
        }
    }
    return out.join(QLatin1Char(' '));
}

QString spans(const TList<TList<BinItem*>>& matches, const TList<BinItem*>& sequence)
{
    QStringList out;
    for (const TList<BinItem*>& match : matches) {
        const int start = sequence.indexOf(match.first());
        out.append(QStringLiteral("%1-%2").arg(start).arg(start + match.size()));
    }
    return out.join(QLatin1Char(' '));
}

}  // namespace

class MatchPropertyTest : public QObject
{
    Q_OBJECT

private slots:
    void findMatchesAgreesWithBacktracking();
};

void MatchPropertyTest::findMatchesAgreesWithBacktracking()
{
    DebugCapture capture;
    capture.setForward(false);
    // A failing case names its pattern; MATCH_SEED explores other seeds.
    const quint32 seed = qEnvironmentVariableIsSet("MATCH_SEED") ? quint32(qEnvironmentVariableIntValue("MATCH_SEED"))
                                                                 : 20261206u;
    PatternMaker maker(seed);
    RuleMatcher matcher(nullptr);
    int compared = 0;
    int timedOut = 0;
    for (int p = 0; p < 400; ++p) {
        QScopedPointer<ParseNode> root(maker.pattern(3));
        QScopedPointer<Automaton> dfa(Automaton::build(root.data()));
        for (int q = 0; q < 12; ++q) {
            const QString letters = maker.sequence();
            Sequence sequence(letters);
            const TList<BinItem*> items = sequence.pointers();
            capture.clear();
            const QString longest = spans(matcher.findMatches(dfa.data(), items, false, false), items);
            const TList<TList<BinItem*>> firsts = matcher.findMatches(dfa.data(), items, true, false);
            const TList<TList<BinItem*>> whole = matcher.findMatches(dfa.data(), items, false, true);
            if (capture.contains("timeout for matching sequence")) {
                ++timedOut;
                continue;
            }
            ++compared;
            const QString context = QStringLiteral("pattern %1 (%2) on %3")
                                        .arg(p)
                                        .arg(root->toString(), letters);
            const QString expected = referenceLongest(root.data(), letters);
            QVERIFY2(longest == expected,
                     qPrintable(context + QStringLiteral(": got '%1', expected '%2'").arg(longest, expected)));

            // Stop at first: every match is a real one, starting at the
            // leftmost position after the previous match that has any.
            int from = 0;
            for (const TList<BinItem*>& match : firsts) {
                const int start = items.indexOf(match.first());
                for (int i = from; i < start; ++i) {
                    const std::set<int> e = ends(root.data(), letters, i);
                    QVERIFY2(e.empty() || *e.rbegin() <= i, qPrintable(context));
                }
                const std::set<int> e = ends(root.data(), letters, start);
                QVERIFY2(e.count(start + match.size()) == 1, qPrintable(context));
                from = start + match.size();
            }
            QCOMPARE(firsts.isEmpty(), expected.isEmpty());
            QCOMPARE(whole.size(), expected.isEmpty() ? 0 : 1);
        }
    }
    // The budget must leave nearly every case comparable.
    QVERIFY2(compared > 20 * timedOut, qPrintable(QStringLiteral("%1 compared, %2 timed out").arg(compared).arg(timedOut)));
}

LUMIVANE_TEST(MatchPropertyTest)
#include "MatchPropertyTest.moc"
