#include "views/sequences/SequenceAlignment.h"

#include "core/Saturate.h"
#include "core/THash.h"
#include "items/BinItem.h"
#include "views/events/EventWidget.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/SequenceWidget.h"

#include <QDebug>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

qint32 insertionCost = -1;
qint32 substitutionCost = -1;
const QString GAP_GLYPH_NAME = QStringLiteral("<dummy>");

namespace {

// The product of two counts as a 32-bit integer, wrapping like the
// original arithmetic instead of overflowing.
qint32 product32(qint32 x, qint32 y)
{
    return qint32(quint32(x) * quint32(y));
}

const QString& entryName(const BinItem* item)
{
    static const QString none;
    return item ? item->name : none;
}

BinItem* newGap()
{
    auto* gap = new BinItem(nullptr, nullptr);
    gap->name = GAP_GLYPH_NAME;
    return gap;
}

// A profile in the making. A block holds its rows (column by column, each
// entry with the id of its name); a merge holds its two aligned parts and,
// per output column, the column of each part (-1 for gap glyphs). Rows are
// only written out at the end: a merge costs the size of its score table,
// not the size of the profiles.
struct Node
{
    int rows = 0;
    int len = 0;
    bool hasNull = false;

    // Block
    bool block = false;
    std::vector<BinItem*> items;  // items[c * rows + r]
    std::vector<int> names;       // name id of the same entry; null counts as ""

    // Merge
    std::shared_ptr<Node> left;
    std::shared_ptr<Node> right;
    std::vector<std::pair<int, int>> columns;

    // Per column, the distinct names (ascending ids) with their counts;
    // dropped once the node has been aligned into a bigger one.
    std::vector<int> countStart;  // len + 1 offsets into counts
    std::vector<std::pair<int, int>> counts;
};
using NodePtr = std::shared_ptr<Node>;

// The entries of a profile written out: name ids, and whether a glyph
// (input or gap) is there, column by column.
struct NameMatrix
{
    int rows = 0;
    std::vector<int> names;
    std::vector<char> present;
    int name(int r, int c) const { return names[std::size_t(c) * std::size_t(rows) + std::size_t(r)]; }
    bool has(int r, int c) const { return present[std::size_t(c) * std::size_t(rows) + std::size_t(r)]; }
};

// Calls f(block, first row of the block within node, map from the block's
// columns to node's columns) for every block under node, top row first.
template <typename F>
void forEachBlock(const Node* node, const std::vector<int>& map, int rowOffset, F& f)
{
    if (node->block) {
        f(node, rowOffset, map);
        return;
    }
    std::vector<int> leftMap(static_cast<std::size_t>(node->left->len), -1);
    std::vector<int> rightMap(static_cast<std::size_t>(node->right->len), -1);
    for (std::size_t c = 0; c < node->columns.size(); ++c) {
        if (node->columns[c].first >= 0)
            leftMap[std::size_t(node->columns[c].first)] = map[c];
        if (node->columns[c].second >= 0)
            rightMap[std::size_t(node->columns[c].second)] = map[c];
    }
    forEachBlock(node->left.get(), leftMap, rowOffset, f);
    forEachBlock(node->right.get(), rightMap, rowOffset + node->left->rows, f);
}

// Cells of rows written out between two progress reports.
constexpr std::size_t TICK_CELLS = std::size_t(1) << 21;
// And every so many comparisons of rows.
constexpr std::size_t TICK_COMPARES = std::size_t(1) << 14;

std::vector<int> identity(int len)
{
    std::vector<int> map(static_cast<std::size_t>(len));
    for (int c = 0; c < len; ++c)
        map[std::size_t(c)] = c;
    return map;
}

// The engine behind alignProfiles and the guide-tree walk: names are
// interned once and column counts follow each merge. As long as no pair of
// names can form the same gap key and no entry is null, the gap score is
// insertionCost times the rows of a profile (or 0 past its end); otherwise
// the two profiles are written out and scored entry by entry.
class Aligner
{
public:
    Aligner() { gapName = nameId(GAP_GLYPH_NAME); }

    // Checked like the rows themselves: a profile without rows or with a
    // row shorter than its first throws.
    NodePtr block(const TList<TList<BinItem*>>& rows)
    {
        auto node = std::make_shared<Node>();
        node->block = true;
        node->rows = rows.size();
        node->len = rows.first().size();
        node->items.resize(std::size_t(node->rows) * std::size_t(node->len));
        node->names.resize(node->items.size());
        for (int r = 0; r < node->rows; ++r) {
            const TList<BinItem*>& row = rows[r];
            for (int c = 0; c < node->len; ++c) {
                BinItem* item = row[c];
                const std::size_t k = std::size_t(c) * std::size_t(node->rows) + std::size_t(r);
                node->items[k] = item;
                node->names[k] = nameId(entryName(item));
                if (!item)
                    node->hasNull = true;
            }
        }
        countBlock(*node);
        return node;
    }

    // Decides, over every name interned so far, whether two different
    // pairs of names can form one gap key. That needs names with "," on
    // both sides: x + "," + s + "," + y read as (x, s + "," + y) and as
    // (x + "," + s, y).
    void checkGapKeys()
    {
        literalGaps = false;
        std::vector<int> withComma;
        for (int id = 0; id < int(names.size()); ++id)
            if (names[std::size_t(id)].contains(QLatin1Char(',')))
                withComma.push_back(id);
        for (int first : withComma) {
            const QString& left = names[std::size_t(first)];
            for (int k = left.indexOf(QLatin1Char(',')); k >= 0;
                 k = left.indexOf(QLatin1Char(','), k + 1)) {
                if (!ids.contains(left.left(k)))
                    continue;
                const QString middle = left.mid(k + 1) + QLatin1Char(',');
                for (int second : withComma) {
                    const QString& right = names[std::size_t(second)];
                    if (right.startsWith(middle) && ids.contains(right.mid(middle.size()))) {
                        literalGaps = true;
                        return;
                    }
                }
            }
        }
    }

    // Aligns a with b: the result holds a's rows, then b's. tick, when
    // set, is called every so often while the scores are filled in.
    NodePtr align(const NodePtr& a, const NodePtr& b);
    std::function<void()> tick;

    // The rows of a finished profile. One gap glyph is made for them and
    // stands at every gap position; it belongs to the receiver of the rows
    // (none is made when there is no gap).
    // tick is called every so often.
    static TList<TList<BinItem*>> rowsOf(const Node* node, const std::function<void()>& tick = {})
    {
        std::unique_ptr<BinItem> gap;
        TList<TList<BinItem*>> rows;
        rows.items.resize(std::size_t(node->rows));
        std::size_t written = 0;
        auto write = [&rows, &gap, &written, &tick, node](const Node* block, int rowOffset,
                                                          const std::vector<int>& map) {
            for (int r = 0; r < block->rows; ++r) {
                written += std::size_t(node->len);
                if (tick && written >= TICK_CELLS) {
                    written = 0;
                    tick();
                }
                std::vector<BinItem*>& row = rows.items[std::size_t(rowOffset + r)].items;
                row.assign(std::size_t(node->len), nullptr);
                for (int c = 0; c < block->len; ++c)
                    row[std::size_t(map[std::size_t(c)])] =
                        block->items[std::size_t(c) * std::size_t(block->rows) + std::size_t(r)];
                if (block->len == node->len)
                    continue;
                if (!gap)
                    gap.reset(newGap());
                // The block's columns stand in ascending order in the row.
                int next = 0;
                for (int c = 0; c < block->len; ++c) {
                    const int to = map[std::size_t(c)];
                    for (; next < to; ++next)
                        row[std::size_t(next)] = gap.get();
                    next = to + 1;
                }
                for (; next < node->len; ++next)
                    row[std::size_t(next)] = gap.get();
            }
        };
        forEachBlock(node, identity(node->len), 0, write);
        gap.release();
        return rows;
    }

    // What the sequence view makes of the rows of node: one state per
    // distinct prefix of names; counts the states. The rows are written out
    // as name ids and sorted: a row makes a state for every prefix longer
    // than the one it shares with the row before it. tick is called every
    // so often.
    void layoutStats(const Node* node, qint64& states, const std::function<void()>& tick) const
    {
        states = 0;
        const std::size_t width = std::size_t(node->len);
        const std::size_t count = std::size_t(node->rows);
        if (width == 0 || count == 0)
            return;
        // Every row is written once, gaps first: the memory is touched row
        // by row, between the progress reports.
        std::unique_ptr<int[]> table(new int[width * count]);
        std::size_t written = 0;
        auto write = [&](const Node* block, int rowOffset, const std::vector<int>& map) {
            for (int r = 0; r < block->rows; ++r) {
                int* row = table.get() + std::size_t(rowOffset + r) * width;
                std::fill(row, row + width, gapName);
                for (int c = 0; c < block->len; ++c)
                    row[map[std::size_t(c)]] =
                        block->names[std::size_t(c) * std::size_t(block->rows) + std::size_t(r)];
                written += width;
                if (tick && written >= TICK_CELLS) {
                    written = 0;
                    tick();
                }
            }
        };
        forEachBlock(node, identity(node->len), 0, write);

        std::vector<int> order(count);
        for (std::size_t r = 0; r < count; ++r)
            order[r] = int(r);
        auto rowAt = [&table, width](int r) { return table.get() + std::size_t(r) * width; };
        std::size_t compared = 0;
        std::sort(order.begin(), order.end(), [&](int x, int y) {
            if (tick && ++compared >= TICK_COMPARES) {
                compared = 0;
                tick();
            }
            return std::lexicographical_compare(rowAt(x), rowAt(x) + width, rowAt(y), rowAt(y) + width);
        });

        const int* previous = nullptr;
        written = 0;
        for (int r : order) {
            const int* row = rowAt(r);
            const std::size_t shared =
                previous ? std::size_t(std::mismatch(row, row + width, previous).first - row) : 0;
            states += qint64(width - shared);
            previous = row;
            written += width;
            if (tick && written >= TICK_CELLS) {
                written = 0;
                tick();
            }
        }
    }

private:
    int nameId(const QString& name)
    {
        auto it = ids.constFind(name);
        if (it != ids.constEnd())
            return it.value();
        const int id = int(names.size());
        ids.insert(name, id);
        names.push_back(name);
        return id;
    }

    void countBlock(Node& node)
    {
        node.countStart.assign(1, 0);
        node.counts.clear();
        tally.resize(names.size(), 0);
        std::vector<int> seen;
        for (int c = 0; c < node.len; ++c) {
            seen.clear();
            const int* column = node.names.data() + std::size_t(c) * std::size_t(node.rows);
            for (int r = 0; r < node.rows; ++r)
                if (tally[std::size_t(column[r])]++ == 0)
                    seen.push_back(column[r]);
            std::sort(seen.begin(), seen.end());
            for (int id : seen) {
                node.counts.emplace_back(id, tally[std::size_t(id)]);
                tally[std::size_t(id)] = 0;
            }
            node.countStart.push_back(int(node.counts.size()));
        }
    }

    NameMatrix writeOut(const Node* node) const
    {
        NameMatrix m;
        m.rows = node->rows;
        const std::size_t cells = std::size_t(node->rows) * std::size_t(node->len);
        m.names.assign(cells, gapName);
        m.present.assign(cells, 1);
        auto write = [&m](const Node* block, int rowOffset, const std::vector<int>& map) {
            for (int c = 0; c < block->len; ++c) {
                const std::size_t to = std::size_t(map[std::size_t(c)]) * std::size_t(m.rows)
                                       + std::size_t(rowOffset);
                const std::size_t from = std::size_t(c) * std::size_t(block->rows);
                for (int r = 0; r < block->rows; ++r) {
                    m.names[to + std::size_t(r)] = block->names[from + std::size_t(r)];
                    m.present[to + std::size_t(r)] = block->items[from + std::size_t(r)] != nullptr;
                }
            }
        };
        forEachBlock(node, identity(node->len), 0, write);
        return m;
    }

    // columnScore for column i of a and column j of b. For i, j >= 1 the
    // counts of a's column i must have been spread into `dense`.
    qint64 columnPairScore(const Node& a, const Node& b, int i, int j, qint32 sub) const
    {
        const qint64 pairs = qint64(a.rows) * qint64(b.rows);
        const auto* y0 = b.counts.data() + b.countStart[std::size_t(j)];
        const auto* y1 = b.counts.data() + b.countStart[std::size_t(j) + 1];
        if (pairs > 2147483647) {
            // Counts whose products wrap: every pair of names on its own.
            const auto* x0 = a.counts.data() + a.countStart[std::size_t(i)];
            const auto* x1 = a.counts.data() + a.countStart[std::size_t(i) + 1];
            qint64 sum = 0;
            for (const auto* x = x0; x != x1; ++x)
                for (const auto* y = y0; y != y1; ++y) {
                    const qint64 w = (i != 0 && j != 0) ? (x->first == y->first ? 1 : sub)
                                                        : (i == j ? 1 : sub);
                    sum += qint64(product32(x->second, y->second)) * w;
                }
            return sum;
        }
        if (i == 0 || j == 0)
            return (i == j ? 1 : qint64(sub)) * pairs;
        qint64 matches = 0;
        for (const auto* y = y0; y != y1; ++y)
            matches += qint64(dense[std::size_t(y->first)]) * qint64(y->second);
        return matches + qint64(sub) * (pairs - matches);
    }

    void spread(const Node& a, int i)
    {
        for (int k = a.countStart[std::size_t(i)]; k < a.countStart[std::size_t(i) + 1]; ++k)
            dense[std::size_t(a.counts[std::size_t(k)].first)] = a.counts[std::size_t(k)].second;
    }

    void unspread(const Node& a, int i)
    {
        for (int k = a.countStart[std::size_t(i)]; k < a.countStart[std::size_t(i) + 1]; ++k)
            dense[std::size_t(a.counts[std::size_t(k)].first)] = 0;
    }

    // gapScore for columns x and y of a profile written out.
    qint64 gap(const Node& p, const NameMatrix& m, int x, int y, qint32 ins)
    {
        if (literalGaps)
            return literalGap(p, m, x, y, ins);
        if (x >= p.len || y >= p.len)
            return 0;
        qint64 both = 0;
        for (int r = 0; r < p.rows; ++r)
            both += m.has(r, x) && m.has(r, y);
        return qint64(ins) * both;
    }

    // The id of the key name(x) + "," + name(y); pairs of names that form
    // the same text share it.
    int keyOf(int x, int y)
    {
        const quint64 pair = (quint64(quint32(x)) << 32) | quint32(y);
        auto known = pairKeys.constFind(pair);
        if (known != pairKeys.constEnd())
            return known.value();
        const QString text = names[std::size_t(x)] + QLatin1Char(',') + names[std::size_t(y)];
        auto it = keyIds.constFind(text);
        const int id = it != keyIds.constEnd() ? it.value() : keyIds.size();
        if (it == keyIds.constEnd())
            keyIds.insert(text, id);
        pairKeys.insert(pair, id);
        return id;
    }

    // The gap score exactly as its definition reads (names counted at each
    // column, keys counted per row, every pair of names looking its key
    // up), for profiles whose names can form one key from two pairs.
    qint64 literalGap(const Node& p, const NameMatrix& m, int x, int y, qint32 ins)
    {
        std::vector<int> one;
        std::vector<int> two;
        std::vector<int> keys;
        keyCount.resize(std::max<std::size_t>(keyCount.size(), std::size_t(keyIds.size())), 0);
        tally.resize(names.size(), 0);
        tallyTwo.resize(names.size(), 0);
        for (int r = 0; r < p.rows; ++r) {
            const bool first = x < p.len && m.has(r, x);
            const bool second = y < p.len && m.has(r, y);
            if (first && tally[std::size_t(m.name(r, x))]++ == 0)
                one.push_back(m.name(r, x));
            if (second && tallyTwo[std::size_t(m.name(r, y))]++ == 0)
                two.push_back(m.name(r, y));
            if (first && second) {
                const int key = keyOf(m.name(r, x), m.name(r, y));
                if (std::size_t(key) >= keyCount.size())
                    keyCount.resize(std::size_t(key) + 1, 0);
                if (keyCount[std::size_t(key)]++ == 0)
                    keys.push_back(key);
            }
        }
        qint64 sum = 0;
        for (int a : one)
            for (int b : two) {
                const int key = keyOf(a, b);
                const int count = std::size_t(key) < keyCount.size() ? keyCount[std::size_t(key)] : 0;
                sum += qint64(product32(count, ins));
            }
        for (int a : one)
            tally[std::size_t(a)] = 0;
        for (int b : two)
            tallyTwo[std::size_t(b)] = 0;
        for (int k : keys)
            keyCount[std::size_t(k)] = 0;
        return sum;
    }

    // Counts of one output column from the counts of the two parts (a gap
    // side counts its rows under the gap name).
    void mergeCounts(const Node& a, int ca, const Node& b, int cb, Node& into) const
    {
        const std::pair<int, int> gapA(gapName, a.rows);
        const std::pair<int, int> gapB(gapName, b.rows);
        const auto* x0 = ca >= 0 ? a.counts.data() + a.countStart[std::size_t(ca)] : &gapA;
        const auto* x1 = ca >= 0 ? a.counts.data() + a.countStart[std::size_t(ca) + 1] : &gapA + 1;
        const auto* y0 = cb >= 0 ? b.counts.data() + b.countStart[std::size_t(cb)] : &gapB;
        const auto* y1 = cb >= 0 ? b.counts.data() + b.countStart[std::size_t(cb) + 1] : &gapB + 1;
        while (x0 != x1 || y0 != y1) {
            if (y0 == y1 || (x0 != x1 && x0->first < y0->first)) {
                into.counts.push_back(*x0++);
            } else if (x0 == x1 || y0->first < x0->first) {
                into.counts.push_back(*y0++);
            } else {
                into.counts.emplace_back(x0->first, x0->second + y0->second);
                ++x0;
                ++y0;
            }
        }
        into.countStart.push_back(int(into.counts.size()));
    }

    QHash<QString, int> ids;
    std::vector<QString> names;
    std::vector<int> tally;
    std::vector<int> tallyTwo;
    std::vector<int> dense;
    QHash<quint64, int> pairKeys;
    QHash<QString, int> keyIds;
    std::vector<int> keyCount;
    int gapName = 0;
    bool literalGaps = false;
};

NodePtr Aligner::align(const NodePtr& pa, const NodePtr& pb)
{
    const Node& a = *pa;
    const Node& b = *pb;
    const qint32 sub = substitutionCost;
    const qint32 ins = insertionCost;
    const int lenA = a.len;
    const int lenB = b.len;
    dense.assign(names.size(), 0);

    // Gap increments. Plain case: every row of a profile holds a glyph at
    // every column, so gapScore(P, x, y) is insertionCost x rows while both
    // columns exist, else 0. Otherwise the entries decide.
    const bool plain = !literalGaps && !a.hasNull && !b.hasNull;
    NameMatrix ma;
    NameMatrix mb;
    if (!plain) {
        ma = writeOut(&a);
        mb = writeOut(&b);
    }
    auto gapA = [&](int x, int y) -> qint64 {
        if (plain)
            return x < lenA && y < lenA ? qint64(ins) * a.rows : 0;
        return gap(a, ma, x, y, ins);
    };
    auto gapB = [&](int x, int y) -> qint64 {
        if (plain)
            return x < lenB && y < lenB ? qint64(ins) * b.rows : 0;
        return gap(b, mb, x, y, ins);
    };

    const std::size_t width = std::size_t(lenB) + 1;
    // Every cell is written below, row 0 and column 0 first: the memory is
    // touched as the rows are filled in, between the progress reports.
    std::unique_ptr<int[]> score(new int[(std::size_t(lenA) + 1) * width]);
    score[0] = 0;
    auto at = [width](int i, int j) { return std::size_t(i) * width + std::size_t(j); };
    for (int i = 1; i <= lenA; ++i)
        score[at(i, 0)] = saturatedInt(double(qint64(score[at(i - 1, 0)]) + gapA(i, i - 1)));
    for (int j = 1; j <= lenB; ++j)
        score[at(0, j)] = saturatedInt(double(qint64(score[at(0, j - 1)]) + gapB(j - 1, j)));

    // The recurrence scores a's column i-1 against a gap with the cell's
    // column j, and b's column j-1 with the cell's row i.
    std::vector<qint64> gaByColumn;
    if (plain) {
        gaByColumn.resize(width);
        for (int j = 1; j <= lenB; ++j)
            gaByColumn[std::size_t(j)] = saturatedInt(double(gapA(0, j)));
    }
    // With every increment and every sum of them well inside 32 bits (the
    // usual case) nothing needs to be clamped, and the loop stays tight.
    const qint64 pairs = qint64(a.rows) * qint64(b.rows);
    const qint64 costs = std::max<qint64>({1, std::abs(qint64(sub)), std::abs(qint64(ins))});
    const qint64 bound = (qint64(lenA) + lenB + 2) * costs * (pairs + a.rows + b.rows);
    if (plain && bound < 2147483647LL) {
        const qint64 zeroZero = pairs;
        const qint64 zeroOther = qint64(sub) * pairs;
        std::size_t filled = 0;
        for (int i = 1; i <= lenA; ++i) {
            filled += std::size_t(lenB);
            if (tick && filled >= TICK_CELLS) {
                filled = 0;
                tick();
            }
            spread(a, i - 1);
            const qint64 gb = gapB(i, 0);
            const int* above = &score[at(i - 1, 0)];
            int* here = &score[at(i, 0)];
            for (int j = 1; j <= lenB; ++j) {
                qint64 d;
                if (i == 1 || j == 1) {
                    d = i == j ? zeroZero : zeroOther;
                } else {
                    const auto* y = b.counts.data() + b.countStart[std::size_t(j - 1)];
                    const auto* y1 = b.counts.data() + b.countStart[std::size_t(j)];
                    qint64 matches = 0;
                    for (; y != y1; ++y)
                        matches += qint64(dense[std::size_t(y->first)]) * y->second;
                    d = matches + qint64(sub) * (pairs - matches);
                }
                const qint64 best = std::max({above[j - 1] + d, here[j - 1] + gb,
                                              above[j] + gaByColumn[std::size_t(j)]});
                here[j] = int(best);
            }
            unspread(a, i - 1);
        }
    } else for (int i = 1; i <= lenA; ++i) {
        if (tick && i % std::max<int>(1, int(TICK_CELLS / 8 / std::size_t(std::max(lenB, 1)))) == 0)
            tick();
        spread(a, i - 1);
        const qint64 gbRow = plain ? saturatedInt(double(gapB(i, 0))) : 0;
        const int* above = &score[at(i - 1, 0)];
        int* here = &score[at(i, 0)];
        for (int j = 1; j <= lenB; ++j) {
            const qint64 d = saturatedInt(double(columnPairScore(a, b, i - 1, j - 1, sub)));
            const qint64 ga = plain ? gaByColumn[std::size_t(j)] : saturatedInt(double(gapA(i - 1, j)));
            const qint64 gb = plain ? gbRow : saturatedInt(double(gapB(i, j - 1)));
            const qint64 best = std::max({qint64(above[j - 1]) + d, qint64(here[j - 1]) + gb,
                                          qint64(above[j]) + ga});
            here[j] = saturatedInt(double(best));
        }
        unspread(a, i - 1);
    }

    // Walk back from the far corner; each step is one output column, as
    // (column of a or -1 for a gap, column of b or -1).
    std::vector<std::pair<int, int>> columns;
    columns.reserve(std::size_t(lenA + lenB));
    int i = lenA;
    int j = lenB;
    while (i > 0 || j > 0) {
        qDebug("%d %d", i, j);
        if (i >= 1 && j >= 1) {
            spread(a, i - 1);
            const qint64 d = saturatedInt(double(columnPairScore(a, b, i - 1, j - 1, sub)));
            unspread(a, i - 1);
            const qint64 ga = saturatedInt(double(gapA(i - 1, j)));
            const qint64 gb = saturatedInt(double(gapB(i, j - 1)));
            const qint64 cell = score[at(i, j)];
            if (cell == qint64(score[at(i - 1, j - 1)]) + d) {
                columns.emplace_back(--i, --j);
            } else if (cell == qint64(score[at(i - 1, j)]) + ga) {
                columns.emplace_back(--i, -1);
            } else if (cell == qint64(score[at(i, j - 1)]) + gb) {
                columns.emplace_back(-1, --j);
            } else {
                // Not reached while the scores stay within 32 bits; the
                // pairing step keeps the walk going toward the corner.
                qDebug() << "error msa";
                columns.emplace_back(--i, --j);
            }
        } else if (i == 0) {
            // Row 0 (a is empty or used up): b's columns against gaps.
            columns.emplace_back(-1, --j);
        } else {
            // Column 0 (b is empty or used up): a's columns against gaps.
            columns.emplace_back(--i, -1);
        }
    }
    std::reverse(columns.begin(), columns.end());

    auto joined = std::make_shared<Node>();
    joined->rows = a.rows + b.rows;
    joined->len = int(columns.size());
    joined->hasNull = a.hasNull || b.hasNull;
    joined->countStart.reserve(columns.size() + 1);
    joined->countStart.push_back(0);
    for (const auto& step : columns)
        mergeCounts(a, step.first, b, step.second, *joined);
    joined->columns = std::move(columns);
    joined->left = pa;
    joined->right = pb;
    // The parts are aligned for good: only their structure is needed now.
    pa->counts = {};
    pa->countStart = {};
    pb->counts = {};
    pb->countStart = {};
    return joined;
}

// Profiles of this many positions and more are laid out in the budget's
// terms as they grow (each time their positions have doubled).
constexpr qint64 LAYOUT_CHECK_CELLS = qint64(1) << 16;

// The last profile whose states were counted for the budget.
struct CheckedLayout
{
    const void* profile = nullptr;
    int rows = 0;
    int len = 0;
    qint64 states = 0;
    qint64 cells() const { return qint64(rows) * len; }
};

// The profile of the subtree under node, aligned child by child; a budget
// is asked before and told after every merge. The states of a profile
// are a lower bound of those of the whole result (its rows there only gain
// gap columns), so a growing profile is checked against the budget with
// them now and then.
NodePtr alignSubtree(Aligner& aligner, const GNode<int>* node, std::map<int, NodePtr>& leaves,
                     AlignmentBudget* budget, int merges, CheckedLayout& checked)
{
    if (node->children.isEmpty()) {
        // A copy: aligning drops a part's counts, and a tree may name a
        // leaf twice.
        return std::make_shared<Node>(*leaves[node->id]);
    }
    NodePtr acc = alignSubtree(aligner, node->children.at(0), leaves, budget, merges, checked);
    for (int k = 1; k < node->children.size(); ++k) {
        NodePtr next = alignSubtree(aligner, node->children.at(k), leaves, budget, merges, checked);
        if (budget)
            budget->beforeMerge(acc->len, next->len, merges);
        acc = aligner.align(acc, next);
        if (!budget)
            continue;
        budget->merged();
        const qint64 cells = qint64(acc->rows) * acc->len;
        if (cells >= LAYOUT_CHECK_CELLS && cells >= 2 * checked.cells()) {
            qint64 states = 0;
            aligner.layoutStats(acc.get(), states, [budget]() { budget->stillAligning(); });
            checked = CheckedLayout{acc.get(), acc->rows, acc->len, states};
            budget->reached(acc->len, states);
        }
    }
    return acc;
}

// The leaf ids under node; returns the number of merges of its walk.
int collectLeaves(const GNode<int>* node, std::vector<int>& ids)
{
    int merges = 0;
    std::vector<const GNode<int>*> pending{node};
    while (!pending.empty()) {
        const GNode<int>* n = pending.back();
        pending.pop_back();
        if (n->children.isEmpty())
            ids.push_back(n->id);
        else
            merges += n->children.size() - 1;
        for (const GNode<int>* child : n->children)
            pending.push_back(child);
    }
    return merges;
}

} // namespace

TList<TList<TList<BinItem*>>> alignProfiles(const TList<TList<BinItem*>>& a,
                                            const TList<TList<BinItem*>>& b)
{
    Aligner aligner;
    const NodePtr pa = aligner.block(a);
    const NodePtr pb = aligner.block(b);
    aligner.checkGapKeys();
    const NodePtr joined = aligner.align(pa, pb);
    TList<TList<BinItem*>> rows = Aligner::rowsOf(joined.get());
    TList<TList<TList<BinItem*>>> result;
    result.append(rows.mid(0, pa->rows));
    result.append(rows.mid(pa->rows));
    return result;
}

double columnScore(const TList<TList<BinItem*>>& a, const TList<TList<BinItem*>>& b, int i, int j)
{
    THash<QString, int> countA;
    THash<QString, int> countB;
    for (const TList<BinItem*>& row : a)
        ++countA[entryName(row[i])];
    for (const TList<BinItem*>& row : b)
        ++countB[entryName(row[j])];
    double sum = 0.0;
    for (auto x = countA.begin(); x != countA.end(); ++x) {
        for (auto y = countB.begin(); y != countB.end(); ++y) {
            double w;
            if (i != 0 && j != 0)
                w = x.key() == y.key() ? 1.0 : double(substitutionCost);
            else
                w = i == j ? 1.0 : double(substitutionCost);
            sum += double(product32(x.value(), y.value())) * w;
        }
    }
    return sum;
}

double gapScore(const TList<TList<BinItem*>>& p, int a, int b)
{
    const int n = p.first().size();
    THash<QString, int> one;
    THash<QString, int> two;
    THash<QString, int> three;
    for (const TList<BinItem*>& row : p) {
        const BinItem* first = a < n ? row[a] : nullptr;
        const BinItem* second = b < n ? row[b] : nullptr;
        if (first)
            ++one[first->name];
        if (second)
            ++two[second->name];
        if (first && second)
            ++three[first->name + QLatin1Char(',') + second->name];
    }
    double sum = 0.0;
    for (auto x = one.begin(); x != one.end(); ++x) {
        for (auto y = two.begin(); y != two.end(); ++y) {
            auto found = three.find(x.key() + QLatin1Char(',') + y.key());
            const int count = found == three.end() ? 0 : found.value();
            sum += double(product32(count, insertionCost));
        }
    }
    return sum;
}

// The sequence view's two alignment operations live here, beside the
// engine they drive.

TList<TList<BinItem*>> SequenceWidget::computeAlignment(const TList<TList<BinItem*>>& sequences,
                                                        AlignmentBudget* budget)
{
    if (sequences.isEmpty())
        return {};
    if (budget) {
        qint64 glyphs = 0;
        qint64 longest = 0;
        for (const TList<BinItem*>& sequence : sequences.items) {
            glyphs += sequence.size();
            longest = std::max<qint64>(longest, sequence.size());
        }
        budget->start(sequences.size(), glyphs, longest);
    }
    QHash<int, TList<TList<BinItem*>>> profiles;
    QList<int> keys;
    for (int k = 0; k < sequences.size(); ++k) {
        keys.append(k);
        // Entered empty, then filled: a hash node whose value fails to be
        // copied in is lost with its memory.
        profiles[k].append(sequences.at(k));
    }
    // The guide tree reports its progress, and a stop (a cancel, a failed
    // check) leaves it from within, once its helper threads have ended.
    std::function<bool(int, int)> treeProgress;
    if (budget)
        treeProgress = [budget](int done, int total) {
            budget->clustering(done, total);
            return true;
        };
    GNode<int>* root =
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), sequences, keys, treeProgress);
    if (!root)
        throw AlignmentBudget::Stopped{AlignmentBudget::Cancelled, 0, budget ? budget->limit : 0, false,
                                       AlignmentBudget::Clustering};
    TList<TList<BinItem*>> result;
    try {
        result = alignAlongTree(root, &profiles, budget);
    } catch (...) {
        delete root;
        throw;
    }
    delete root;
    return result;
}

TList<TList<BinItem*>> SequenceWidget::alignAlongTree(GNode<int>* node,
                                                      QHash<int, TList<TList<BinItem*>>>* profiles,
                                                      AlignmentBudget* budget)
{
    if (!node || !profiles)
        return {};
    if (node->children.isEmpty())
        return profiles->value(node->id);

    Aligner aligner;
    if (budget)
        aligner.tick = [budget]() { budget->stillAligning(); };
    std::vector<int> ids;
    const int merges = collectLeaves(node, ids);
    std::map<int, NodePtr> leaves;
    int made = 0;
    for (int id : ids) {
        if (leaves.find(id) != leaves.end())
            continue;
        leaves.emplace(id, aligner.block((*profiles)[id]));
        if (budget && ++made % 1024 == 0)
            budget->stillAligning();
    }
    aligner.checkGapKeys();
    CheckedLayout checked;
    const NodePtr joined = alignSubtree(aligner, node, leaves, budget, merges, checked);
    leaves.clear();
    if (budget) {
        // The last merge's check may have counted the result already.
        qint64 states = checked.states;
        if (checked.profile != joined.get() || checked.rows != joined->rows || checked.len != joined->len) {
            states = 0;
            aligner.layoutStats(joined.get(), states, [budget]() { budget->stillAligning(); });
        }
        budget->beforeRows(joined->len, states);
    }
    std::function<void()> tick;
    if (budget)
        tick = [budget]() { budget->layingOut(); };
    return Aligner::rowsOf(joined.get(), tick);
}
