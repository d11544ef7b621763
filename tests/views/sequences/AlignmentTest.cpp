#include "TestRegistry.h"

#include "DebugCapture.h"
#include "items/BinItem.h"
#include "views/events/EventWidget.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/SequenceAlignment.h"
#include "views/sequences/SequenceWidget.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <array>
#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Rows = TList<TList<BinItem*>>;

// Owns the input glyphs of a test and frees the gap glyphs of results.
class Glyphs
{
public:
    ~Glyphs()
    {
        for (BinItem* gap : gaps)
            delete gap;
    }

    BinItem* get(const QString& name)
    {
        owned.push_back(std::make_unique<BinItem>(nullptr, nullptr));
        owned.back()->name = name;
        inputs.insert(owned.back().get());
        return owned.back().get();
    }

    TList<BinItem*> sequence(const QString& names)
    {
        TList<BinItem*> seq;
        for (const QString& name : names.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            seq.append(get(name));
        return seq;
    }

    void markInput(BinItem* item) { inputs.insert(item); }
    bool isInput(const BinItem* item) const { return inputs.count(item) > 0; }

    // Takes over the gap glyph of a result (the profiles of one call):
    // false if an entry is neither an input glyph nor the result's one gap
    // glyph, a fresh item named "<dummy>".
    bool adopt(const Rows& rows) { return adopt(TList<Rows>{rows}); }
    bool adopt(const TList<Rows>& parts)
    {
        BinItem* gap = nullptr;
        for (const Rows& rows : parts)
            for (const auto& row : rows)
                for (BinItem* item : row) {
                    if (isInput(item) || (gap && item == gap))
                        continue;
                    if (gap || !item || item->name != QLatin1String("<dummy>") || gaps.count(item))
                        return false;
                    gap = item;
                    gaps.insert(item);
                }
        return true;
    }

    // A row as text: names, "-" for a gap glyph, "0" for a null entry.
    QString text(const TList<BinItem*>& row) const
    {
        QStringList parts;
        for (BinItem* item : row)
            parts << (!item ? QStringLiteral("0") : isInput(item) ? item->name : QStringLiteral("-"));
        return parts.join(QLatin1Char(' '));
    }

    QStringList text(const Rows& rows) const
    {
        QStringList list;
        for (const auto& row : rows)
            list << text(row);
        return list;
    }

private:
    std::vector<std::unique_ptr<BinItem>> owned;
    std::set<const BinItem*> inputs;
    std::set<BinItem*> gaps;
};

struct Costs
{
    Costs(int insertion, int substitution)
        : savedInsertion(insertionCost), savedSubstitution(substitutionCost)
    {
        insertionCost = insertion;
        substitutionCost = substitution;
    }
    ~Costs()
    {
        insertionCost = savedInsertion;
        substitutionCost = savedSubstitution;
    }
    int savedInsertion;
    int savedSubstitution;
};

// ---- A plain rendering of the alignment's recurrence, the yardstick ----

struct Cell
{
    BinItem* item = nullptr;
    bool gap = false;
};
using Profile = std::vector<std::vector<Cell>>;

QString nameOf(const Cell& c) { return c.gap ? QStringLiteral("<dummy>") : c.item ? c.item->name : QString(); }

// Counts by name; the alphabets here are tiny, so a list does.
class Counts
{
public:
    void add(const QString& name)
    {
        for (auto& entry : entries)
            if (entry.first == name) {
                ++entry.second;
                return;
            }
        entries.emplace_back(name, 1);
    }
    int value(const QString& name) const
    {
        for (const auto& entry : entries)
            if (entry.first == name)
                return entry.second;
        return 0;
    }
    std::vector<std::pair<QString, int>> entries;
};

double plainColumn(const Profile& a, const Profile& b, int i, int j, int sub)
{
    Counts ca;
    Counts cb;
    for (const auto& row : a)
        ca.add(nameOf(row.at(std::size_t(i))));
    for (const auto& row : b)
        cb.add(nameOf(row.at(std::size_t(j))));
    double sum = 0.0;
    for (const auto& x : ca.entries)
        for (const auto& y : cb.entries) {
            const double w = (i != 0 && j != 0) ? (x.first == y.first ? 1.0 : sub)
                                                : (i == j ? 1.0 : sub);
            sum += x.second * y.second * w;
        }
    return sum;
}

// x + "," + y, remembered: the few names here form few keys.
const QString& joinedKey(const QString& x, const QString& y)
{
    static std::vector<std::array<QString, 3>> known;
    for (const auto& k : known)
        if (k[0] == x && k[1] == y)
            return k[2];
    known.push_back({x, y, x + "," + y});
    return known.back()[2];
}

double plainGap(const Profile& p, int a, int b, int ins)
{
    const int n = int(p.at(0).size());
    if (a >= n || b >= n)
        return 0.0;  // one of the name tables stays empty
    Counts one;
    Counts two;
    Counts three;
    for (const auto& row : p) {
        const Cell& x = row.at(std::size_t(a));
        const Cell& y = row.at(std::size_t(b));
        const bool hasA = x.gap || x.item;
        const bool hasB = y.gap || y.item;
        if (hasA)
            one.add(nameOf(x));
        if (hasB)
            two.add(nameOf(y));
        if (hasA && hasB)
            three.add(joinedKey(nameOf(x), nameOf(y)));
    }
    double sum = 0.0;
    for (const auto& x : one.entries)
        for (const auto& y : two.entries)
            sum += three.value(joinedKey(x.first, y.first)) * ins;
    return sum;
}

Profile plainAlign(const Profile& a, const Profile& b, int sub, int ins)
{
    const int la = int(a.at(0).size());
    const int lb = int(b.at(0).size());
    std::vector<std::vector<int>> m(std::size_t(la + 1), std::vector<int>(std::size_t(lb + 1), 0));
    std::vector<std::vector<std::array<int, 3>>> t(
        std::size_t(la + 1), std::vector<std::array<int, 3>>(std::size_t(lb + 1)));
    for (int i = 1; i <= la; ++i)
        m[i][0] = int(m[i - 1][0] + plainGap(a, i, i - 1, ins));
    for (int j = 1; j <= lb; ++j)
        m[0][j] = int(m[0][j - 1] + plainGap(b, j - 1, j, ins));
    for (int i = 1; i <= la; ++i)
        for (int j = 1; j <= lb; ++j) {
            const double d = plainColumn(a, b, i - 1, j - 1, sub);
            const double ga = plainGap(a, i - 1, j, ins);
            const double gb = plainGap(b, i, j - 1, ins);
            m[i][j] = int(std::max({m[i - 1][j - 1] + d, m[i][j - 1] + gb, m[i - 1][j] + ga}));
            t[i][j] = {int(d), int(ga), int(gb)};
        }
    Profile outA(a.size());
    Profile outB(b.size());
    auto column = [](const Profile& from, Profile& to, int c) {
        for (std::size_t r = 0; r < from.size(); ++r)
            to[r].push_back(c < 0 ? Cell{nullptr, true} : from[r].at(std::size_t(c)));
    };
    int i = la;
    int j = lb;
    while (i > 0 || j > 0) {
        if (i >= 1 && j >= 1 && m[i][j] == m[i - 1][j - 1] + t[i][j][0]) {
            column(a, outA, i - 1);
            column(b, outB, j - 1);
            --i;
            --j;
        } else if (i >= 1 && j >= 1 && m[i][j] == m[i - 1][j] + t[i][j][1]) {
            column(a, outA, i - 1);
            column(b, outB, -1);
            --i;
        } else if (i >= 1 && j >= 1 && m[i][j] == m[i][j - 1] + t[i][j][2]) {
            column(a, outA, -1);
            column(b, outB, j - 1);
            --j;
        } else if (i == 0) {
            column(a, outA, -1);
            column(b, outB, --j);
        } else if (j == 0) {
            column(a, outA, --i);
            column(b, outB, -1);
        } else {
            return {};  // no valid predecessor: the yardstick gives up
        }
    }
    Profile joined;
    for (auto& row : outA) {
        std::reverse(row.begin(), row.end());
        joined.push_back(row);
    }
    for (auto& row : outB) {
        std::reverse(row.begin(), row.end());
        joined.push_back(row);
    }
    return joined;
}

Profile plainAlongTree(const GNode<int>* node, const Rows& sequences, int sub, int ins)
{
    if (node->children.isEmpty()) {
        std::vector<Cell> row;
        for (BinItem* item : sequences.at(node->id))
            row.push_back(Cell{item, false});
        return {row};
    }
    Profile acc = plainAlongTree(node->children.at(0), sequences, sub, ins);
    for (int k = 1; k < node->children.size(); ++k)
        acc = plainAlign(acc, plainAlongTree(node->children.at(k), sequences, sub, ins), sub, ins);
    return acc;
}

// Runs f on its own thread; a hang ends the test program instead of
// stalling the run.
template <typename F>
auto withinSeconds(int seconds, F f) -> decltype(f())
{
    auto task = std::make_shared<std::packaged_task<decltype(f())()>>(f);
    auto result = task->get_future();
    std::thread([task]() { (*task)(); }).detach();
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
        qFatal("the alignment did not end within %d seconds", seconds);
    return result.get();
}

} // namespace

class AlignmentTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void oneSequenceUnchanged();
    void equalSequencesGetNoGap();
    void firstColumnsShared_data();
    void firstColumnsShared();
    void zeroPenalties();
    void rowsInLeafOrder();
    void gapGlyphsMatchGaps();
    void gapKeysCollideWithCommas();
    void oneDebugLinePerStep();
    void emptySequencesTerminate_data();
    void emptySequencesTerminate();
    void profileWithoutRowsThrows();
    void matchesPlainRecurrence();
    void largeProfilesMatchPlainRecurrence_data();
    void largeProfilesMatchPlainRecurrence();
    void budgetStops_data();
    void budgetStops();
    void budgetCountsTheViewsStates_data();
    void budgetCountsTheViewsStates();
    void growingProfileStopsOnTheWay();

private:
    std::unique_ptr<DebugCapture> capture;
};

void AlignmentTest::init()
{
    capture = std::make_unique<DebugCapture>();
    capture->setForward(false);
}

void AlignmentTest::cleanup()
{
    capture.reset();
    insertionCost = -1;
    substitutionCost = -1;
}

void AlignmentTest::oneSequenceUnchanged()
{
    Glyphs g;
    const Rows input{g.sequence("a b dummy c")};
    const Rows result = SequenceWidget::computeAlignment(input);
    QVERIFY(g.adopt(result));
    QCOMPARE(result.size(), 1);
    QCOMPARE(result[0].toQList(), input[0].toQList());
}

void AlignmentTest::equalSequencesGetNoGap()
{
    Costs costs(-1, -1);
    Glyphs g;
    const Rows input{g.sequence("a b c d"), g.sequence("a b c d")};
    const Rows result = SequenceWidget::computeAlignment(input);
    QVERIFY(g.adopt(result));
    QCOMPARE(result.size(), 2);
    QCOMPARE(result[0].toQList(), input[0].toQList());
    QCOMPARE(result[1].toQList(), input[1].toQList());
}

void AlignmentTest::firstColumnsShared_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("first glyphs differ") << "x a b" << "y a b" << QStringList{"x a b", "y a b"};
    QTest::newRow("longer against shorter") << "p q r" << "s" << QStringList{"p q r", "s - -"};
    QTest::newRow("shorter against longer") << "s" << "p q r" << QStringList{"s - -", "p q r"};
    QTest::newRow("only first glyphs shared")
        << "a b c" << "x b c d" << QStringList{"a b c -", "x b c d"};
}

void AlignmentTest::firstColumnsShared()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QStringList, rows);
    Glyphs g;
    const TList<TList<TList<BinItem*>>> both =
        alignProfiles(Rows{g.sequence(a)}, Rows{g.sequence(b)});
    QCOMPARE(both.size(), 2);
    QVERIFY(g.adopt(both));
    QCOMPARE(QStringList({g.text(both[0][0]), g.text(both[1][0])}), rows);
}

void AlignmentTest::zeroPenalties()
{
    Costs costs(0, 0);
    Glyphs g;
    const Rows p{g.sequence("a b c"), g.sequence("a x c")};
    const Rows q{g.sequence("a y c")};
    QCOMPARE(gapScore(p, 0, 1), 0.0);
    QCOMPARE(gapScore(p, 1, 2), 0.0);
    QCOMPARE(columnScore(p, q, 1, 1), 0.0);  // b, x against y: no match, no cost
    QCOMPARE(columnScore(p, q, 2, 2), 2.0);
    QCOMPARE(columnScore(p, q, 0, 0), 2.0);
    QCOMPARE(columnScore(p, q, 0, 2), 0.0);

    Costs paid(-2, -3);
    QCOMPARE(gapScore(p, 0, 1), -4.0);
    QCOMPARE(gapScore(p, 2, 3), 0.0);  // column 3 is past the end
    QCOMPARE(columnScore(p, q, 1, 1), -6.0);
    QCOMPARE(columnScore(p, q, 2, 2), 2.0);
    QCOMPARE(columnScore(p, q, 0, 2), -6.0);  // column 0 against another: no name counts
}

void AlignmentTest::rowsInLeafOrder()
{
    Glyphs g;
    const Rows input{g.sequence("a b c"), g.sequence("x y z w"), g.sequence("a b c")};
    const Rows result = SequenceWidget::computeAlignment(input);
    QVERIFY(g.adopt(result));
    QCOMPARE(result.size(), 3);
    auto withoutGaps = [&g](const TList<BinItem*>& row) {
        QList<BinItem*> items;
        for (BinItem* item : row)
            if (g.isInput(item))
                items << item;
        return items;
    };
    QCOMPARE(withoutGaps(result[0]), input[0].toQList());
    QCOMPARE(withoutGaps(result[1]), input[2].toQList());
    QCOMPARE(withoutGaps(result[2]), input[1].toQList());
}

void AlignmentTest::gapGlyphsMatchGaps()
{
    Costs costs(-1, -2);
    Glyphs g;
    BinItem* gapA = g.get("<dummy>");
    BinItem* gapB = g.get("<dummy>");
    const Rows p{TList<BinItem*>{g.get("a"), gapA}};
    const Rows q{TList<BinItem*>{g.get("b"), gapB}};
    QCOMPARE(columnScore(p, q, 1, 1), 1.0);

    // An input glyph whose name holds "dummy" stays an input glyph.
    const Rows input{g.sequence("a dummy b"), g.sequence("a b")};
    const Rows result = SequenceWidget::computeAlignment(input);
    QVERIFY(g.adopt(result));
    QCOMPARE(g.text(result), QStringList({"a dummy b", "a - b"}));
    QCOMPARE(result[0].toQList(), input[0].toQList());
}

void AlignmentTest::gapKeysCollideWithCommas()
{
    Costs costs(-1, -1);
    Glyphs g;
    // Row 0 forms "a" + "," + "a,a", row 1 "a,a" + "," + "a": one key,
    // counted for both pairs of names that form it.
    const Rows p{TList<BinItem*>{g.get("a"), g.get("a,a")},
                 TList<BinItem*>{g.get("a,a"), g.get("a")}};
    QCOMPARE(gapScore(p, 0, 1), -4.0);
    const Rows plain{TList<BinItem*>{g.get("a"), g.get("b")},
                     TList<BinItem*>{g.get("b"), g.get("a")}};
    QCOMPARE(gapScore(plain, 0, 1), -2.0);
}

void AlignmentTest::oneDebugLinePerStep()
{
    Glyphs g;
    const auto both = alignProfiles(Rows{g.sequence("a b c")}, Rows{g.sequence("a c")});
    QVERIFY(g.adopt(both));
    const QStringList steps =
        capture->lines().filter(QRegularExpression(QStringLiteral("^\\d+ \\d+$")));
    QCOMPARE(steps.size(), both[0][0].size());
    QCOMPARE(steps.first(), QStringLiteral("3 2"));
    QCOMPARE(steps.last(), QStringLiteral("1 1"));
    QVERIFY(!capture->contains(QStringLiteral("error msa")));
}

void AlignmentTest::emptySequencesTerminate_data()
{
    QTest::addColumn<QStringList>("sequences");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("empty against one") << QStringList{"", "a b"} << QStringList{"- -", "a b"};
    QTest::newRow("one against empty") << QStringList{"a b", ""} << QStringList{"a b", "- -"};
    QTest::newRow("all empty") << QStringList{"", ""} << QStringList{"", ""};
    QTest::newRow("empty among three")
        << QStringList{"a b c", "", "a c"} << QStringList{"a b c", "a - c", "- - -"};
}

void AlignmentTest::emptySequencesTerminate()
{
    QFETCH(QStringList, sequences);
    QFETCH(QStringList, rows);
    Glyphs g;
    Rows input;
    for (const QString& s : sequences)
        input.append(g.sequence(s));
    const Rows result =
        withinSeconds(60, [&input]() { return SequenceWidget::computeAlignment(input); });
    QVERIFY(g.adopt(result));
    QCOMPARE(g.text(result), rows);
}

void AlignmentTest::profileWithoutRowsThrows()
{
    Glyphs g;
    const Rows one{g.sequence("a b")};
    QVERIFY_EXCEPTION_THROWN(alignProfiles(Rows{}, one), std::out_of_range);
    QVERIFY_EXCEPTION_THROWN(gapScore(Rows{}, 0, 1), std::out_of_range);
    const Rows ragged{g.sequence("a b"), g.sequence("a")};
    QVERIFY_EXCEPTION_THROWN(alignProfiles(ragged, one), std::out_of_range);
}

void AlignmentTest::matchesPlainRecurrence()
{
    // Four names: one holds "," and one "dummy". In every other round "a"
    // and "a,a" (drawn twice as often) form colliding gap keys; in every
    // third some glyphs are null.
    const QStringList colliding{"a", "a,a", "x dummy", "b", "a", "a,a"};
    const QStringList apart{"a", "b,c", "x dummy", "b"};
    QRandomGenerator random(2024);
    int withGaps = 0;
    // Thousands of debug lines per round: only "error msa" matters here.
    capture.reset();
    static int failedCells;
    failedCells = 0;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            if (text == QLatin1String("error msa"))
                ++failedCells;
        });
    struct Restore
    {
        QtMessageHandler handler;
        ~Restore() { qInstallMessageHandler(handler); }
    } restore{previous};
    for (int round = 0; round < 1000; ++round) {
        const QStringList& names = round % 2 ? colliding : apart;
        const bool nulls = round % 3 == 0;
        Glyphs g;
        const int count = random.bounded(2, 9);
        Rows input;
        for (int s = 0; s < count; ++s) {
            TList<BinItem*> seq;
            const int len = random.bounded(0, 13);
            for (int k = 0; k < len; ++k) {
                if (nulls && random.bounded(15) == 0) {
                    seq.append(nullptr);
                    continue;
                }
                seq.append(g.get(names.at(random.bounded(names.size()))));
            }
            input.append(seq);
        }
        g.markInput(nullptr);
        const int ins = -random.bounded(0, 6);
        const int sub = -random.bounded(0, 6);
        Costs costs(ins, sub);

        const Rows result = SequenceWidget::computeAlignment(input);
        QVERIFY(g.adopt(result));

        QList<int> keys;
        for (int k = 0; k < count; ++k)
            keys << k;
        std::unique_ptr<GNode<int>> root(
            EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), input, keys));
        const Profile expected = plainAlongTree(root.get(), input, sub, ins);
        QCOMPARE(int(expected.size()), count);
        QCOMPARE(result.size(), count);
        for (int r = 0; r < count; ++r) {
            const auto& want = expected[std::size_t(r)];
            const auto& got = result[r];
            QCOMPARE(got.size(), int(want.size()));
            for (int c = 0; c < got.size(); ++c) {
                if (want[std::size_t(c)].gap) {
                    QVERIFY2(!g.isInput(got[c]), qPrintable(QStringLiteral("round %1").arg(round)));
                    ++withGaps;
                } else {
                    QVERIFY2(got[c] == want[std::size_t(c)].item,
                             qPrintable(QStringLiteral("round %1").arg(round)));
                }
            }
        }
        QCOMPARE(failedCells, 0);
    }
    QVERIFY(withGaps > 1000);
}

void AlignmentTest::largeProfilesMatchPlainRecurrence_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("penalty");
    // Scores past what 32 bits hold without care (1500 x 1500 row pairs at
    // penalty 99), and an ordinary size.
    QTest::newRow("large scores") << 1500 << 99;
    QTest::newRow("ordinary") << 30 << 3;
}

void AlignmentTest::largeProfilesMatchPlainRecurrence()
{
    QFETCH(int, rows);
    QFETCH(int, penalty);
    Costs costs(-penalty, -penalty);
    const QStringList names{"a", "b", "c", "d"};
    QRandomGenerator random(uint(rows + penalty));
    Glyphs g;
    auto profile = [&](int count, int len) {
        Rows p;
        for (int r = 0; r < count; ++r) {
            TList<BinItem*> row;
            for (int c = 0; c < len; ++c)
                row.append(g.get(names.at(random.bounded(c % 3 == 0 ? 1 : names.size()))));
            p.append(row);
        }
        return p;
    };
    const Rows a = profile(rows, 7);
    const Rows b = profile(rows, 5);
    const auto both = alignProfiles(a, b);
    QVERIFY(g.adopt(both));

    auto cells = [](const Rows& p) {
        Profile out;
        for (const auto& row : p) {
            std::vector<Cell> r;
            for (BinItem* item : row)
                r.push_back(Cell{item, false});
            out.push_back(r);
        }
        return out;
    };
    const Profile expected = plainAlign(cells(a), cells(b), -penalty, -penalty);
    QCOMPARE(int(expected.size()), 2 * rows);
    for (int r = 0; r < 2 * rows; ++r) {
        const auto& got = r < rows ? both[0][r] : both[1][r - rows];
        const auto& want = expected[std::size_t(r)];
        QCOMPARE(got.size(), int(want.size()));
        for (int c = 0; c < got.size(); ++c)
            QVERIFY(want[std::size_t(c)].gap ? !g.isInput(got[c]) : got[c] == want[std::size_t(c)].item);
    }
}

void AlignmentTest::budgetStops_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("phase");   // -1: the alignment completes
    QTest::addColumn<bool>("atLeast");
    QTest::newRow("the estimate of the result fits") << "exact" << -1 << false;
    QTest::newRow("a byte less: stopped before the rows")
        << "exact - 1" << int(AlignmentBudget::LayingOut) << false;
    QTest::newRow("room for the longest only: stopped once a profile is wider")
        << "longest" << int(AlignmentBudget::Aligning) << true;
    QTest::newRow("no room for the longest: not started")
        << "longest - 1" << int(AlignmentBudget::Clustering) << false;
    QTest::newRow("cancelled after the first merge") << "cancel" << int(AlignmentBudget::Aligning) << false;
}

// The checks stop an alignment where its memory first goes beyond the
// limit; one that fits gives the result it gives without them.
void AlignmentTest::budgetStops()
{
    QFETCH(QString, limit);
    QFETCH(int, phase);
    QFETCH(bool, atLeast);
    Glyphs g;
    // The first three widen to five columns before the last one joins.
    Rows input;
    for (const char* s : {"a b c d", "a b c e", "a c d e", "f"})
        input.append(g.sequence(QString::fromLatin1(s)));
    const Rows plain = SequenceWidget::computeAlignment(input);
    QVERIFY(g.adopt(plain));
    AlignmentBudget probe(std::numeric_limits<qint64>::max());
    const Rows probed = SequenceWidget::computeAlignment(input, &probe);
    QVERIFY(g.adopt(probed));
    QCOMPARE(g.text(probed), g.text(plain));
    QCOMPARE(plain.first().size(), 5);

    qint64 bytes = std::numeric_limits<qint64>::max();
    if (limit == QLatin1String("exact"))
        bytes = probe.needed;
    else if (limit == QLatin1String("exact - 1"))
        bytes = probe.needed - 1;
    else if (limit == QLatin1String("longest"))
        bytes = probe.resultBytes(4, 4);
    else if (limit == QLatin1String("longest - 1"))
        bytes = probe.resultBytes(4, 4) - 1;
    const bool cancel = limit == QLatin1String("cancel");
    AlignmentBudget budget(bytes);
    QList<int> reports;
    budget.progress = [&](AlignmentBudget::Phase p, int done, int) {
        reports << p;
        return !(cancel && p == AlignmentBudget::Aligning && done >= 1);
    };
    try {
        const Rows result = SequenceWidget::computeAlignment(input, &budget);
        QVERIFY(g.adopt(result));
        QCOMPARE(phase, -1);
        QCOMPARE(g.text(result), g.text(plain));
        QCOMPARE(budget.needed, probe.needed);
        // Every phase is reported, the merges one by one.
        QCOMPARE(reports, QList<int>({AlignmentBudget::Clustering, AlignmentBudget::Aligning,
                                      AlignmentBudget::Aligning, AlignmentBudget::Aligning,
                                      AlignmentBudget::Aligning, AlignmentBudget::LayingOut}));
    } catch (const AlignmentBudget::Stopped& stop) {
        QCOMPARE(int(stop.phase), phase);
        QCOMPARE(stop.atLeast, atLeast);
        QCOMPARE(stop.limit, bytes);
        if (cancel) {
            QCOMPARE(stop.reason, AlignmentBudget::Cancelled);
        } else {
            QCOMPARE(stop.reason, AlignmentBudget::OutOfMemory);
            QVERIFY(stop.needed > bytes);
        }
    }
}

void AlignmentTest::budgetCountsTheViewsStates_data()
{
    QTest::addColumn<QString>("names");   // one letter a name, "0" a null entry
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("longest");
    QTest::newRow("two names, many shared beginnings") << "ab" << 200 << 6;
    QTest::newRow("long names, few rows") << "abcdefghij" << 12 << 30;
    QTest::newRow("empty names and nulls") << "ab 0" << 60 << 10;
}

// The budget counts the states the view makes of the aligned rows (one per
// distinct beginning of names).
void AlignmentTest::budgetCountsTheViewsStates()
{
    QFETCH(QString, names);
    QFETCH(int, count);
    QFETCH(int, longest);
    QRandomGenerator random(uint(count + longest));
    Glyphs g;
    g.markInput(nullptr);
    Rows input;
    for (int s = 0; s < count; ++s) {
        TList<BinItem*> seq;
        for (int k = random.bounded(1, longest + 1); k > 0; --k) {
            const QChar c = names.at(random.bounded(names.size()));
            seq.append(c == QLatin1Char('0') ? nullptr
                                             : g.get(c == QLatin1Char(' ') ? QString() : QString(5, c)));
        }
        input.append(seq);
    }
    AlignmentBudget probe(std::numeric_limits<qint64>::max());
    const Rows result = SequenceWidget::computeAlignment(input, &probe);
    QVERIFY(g.adopt(result));

    std::set<QStringList> prefixes;
    for (const auto& row : result) {
        QStringList prefix;
        for (BinItem* item : row) {
            prefix << (item ? item->name : QString());
            prefixes.insert(prefix);
        }
    }
    QCOMPARE(probe.states, qint64(prefixes.size()));
}

// A profile that grows on the way is laid out as the view would lay out
// its rows; once even those need more than can be spared, the alignment
// stops there, before its last merges.
void AlignmentTest::growingProfileStopsOnTheWay()
{
    QRandomGenerator random(31);
    Glyphs g;
    Rows input;
    for (int s = 0; s < 300; ++s) {
        TList<BinItem*> seq;
        for (int k = random.bounded(150, 200); k > 0; --k)
            seq.append(g.get(QString(QLatin1Char(char('a' + random.bounded(4))))));
        input.append(seq);
    }
    AlignmentBudget probe(std::numeric_limits<qint64>::max());
    const Rows result = SequenceWidget::computeAlignment(input, &probe);
    QVERIFY(g.adopt(result));
    capture->clear();
    const qint64 width = result.first().size();

    // Room for rows of the final width and as many states: the merges'
    // own checks pass, the layout of a growing profile does not.
    const qint64 limit = probe.resultBytes(width, width);
    AlignmentBudget budget(limit);
    int merges = 0;
    budget.progress = [&merges](AlignmentBudget::Phase phase, int done, int) {
        if (phase == AlignmentBudget::Aligning)
            merges = done;
        return true;
    };
    try {
        const Rows stopped = SequenceWidget::computeAlignment(input, &budget);
        QVERIFY(g.adopt(stopped));
        QFAIL("the alignment was not stopped");
    } catch (const AlignmentBudget::Stopped& stop) {
        QCOMPARE(stop.reason, AlignmentBudget::OutOfMemory);
        QCOMPARE(int(stop.phase), int(AlignmentBudget::Aligning));
        QVERIFY(stop.atLeast);
        QVERIFY(stop.needed > limit);
        QVERIFY2(merges < input.size() - 1, qPrintable(QString::number(merges)));
    }
}

LUMIVANE_TEST(AlignmentTest)
#include "AlignmentTest.moc"
