#include "views/sequences/SequenceAlignment.h"

#include "core/Saturate.h"
#include "core/THash.h"
#include "items/BinItem.h"
#include "views/events/EventWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QDebug>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <map>
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

// A profile held column by column, each entry with the id of its name.
struct Profile
{
    int rows = 0;
    int len = 0;
    std::vector<BinItem*> items;  // items[c * rows + r]
    std::vector<int> names;       // name id of the same entry; null counts as ""
    bool hasNull = false;

    BinItem* item(int r, int c) const { return items[std::size_t(c) * std::size_t(rows) + std::size_t(r)]; }
    int name(int r, int c) const { return names[std::size_t(c) * std::size_t(rows) + std::size_t(r)]; }
};

// Per column, the distinct names (ascending ids) with their counts.
struct ColumnCounts
{
    std::vector<int> start;  // len + 1 offsets into entries
    std::vector<std::pair<int, int>> entries;
};

// The engine behind alignProfiles and the guide-tree walk: names are
// interned once, column counts are built once per merge, and with no pair
// of names able to form the same gap key the gap score is the count of
// rows holding both entries.
class Aligner
{
public:
    Aligner() { gapName = nameId(GAP_GLYPH_NAME); }

    // Checked like the rows themselves: a profile without rows or with a
    // row shorter than its first throws.
    Profile fromRows(const TList<TList<BinItem*>>& rows)
    {
        Profile p;
        p.rows = rows.size();
        p.len = rows.first().size();
        p.items.resize(std::size_t(p.rows) * std::size_t(p.len));
        p.names.resize(p.items.size());
        for (int r = 0; r < p.rows; ++r) {
            const TList<BinItem*>& row = rows[r];
            for (int c = 0; c < p.len; ++c) {
                BinItem* item = row[c];
                const std::size_t k = std::size_t(c) * std::size_t(p.rows) + std::size_t(r);
                p.items[k] = item;
                p.names[k] = nameId(entryName(item));
                if (!item)
                    p.hasNull = true;
            }
        }
        return p;
    }

    static TList<TList<BinItem*>> toRows(const Profile& p, int from, int count)
    {
        TList<TList<BinItem*>> rows;
        rows.items.resize(std::size_t(count));
        for (int r = 0; r < count; ++r) {
            auto& row = rows.items[std::size_t(r)].items;
            row.reserve(std::size_t(p.len));
            for (int c = 0; c < p.len; ++c)
                row.push_back(p.item(from + r, c));
        }
        return rows;
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

    // Aligns a with b and returns the joined profile: a's rows, then b's.
    Profile align(const Profile& a, const Profile& b);

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

    ColumnCounts countColumns(const Profile& p)
    {
        ColumnCounts counts;
        counts.start.reserve(std::size_t(p.len) + 1);
        counts.start.push_back(0);
        tally.resize(names.size(), 0);
        std::vector<int> seen;
        for (int c = 0; c < p.len; ++c) {
            seen.clear();
            const int* column = p.names.data() + std::size_t(c) * std::size_t(p.rows);
            for (int r = 0; r < p.rows; ++r)
                if (tally[std::size_t(column[r])]++ == 0)
                    seen.push_back(column[r]);
            std::sort(seen.begin(), seen.end());
            for (int id : seen) {
                counts.entries.emplace_back(id, tally[std::size_t(id)]);
                tally[std::size_t(id)] = 0;
            }
            counts.start.push_back(int(counts.entries.size()));
        }
        return counts;
    }

    // columnScore for columns i of a and j of b.
    qint64 columnPairScore(const Profile& a, const ColumnCounts& ca, const Profile& b,
                           const ColumnCounts& cb, int i, int j, qint32 sub) const
    {
        const qint64 pairs = qint64(a.rows) * qint64(b.rows);
        const auto* x0 = ca.entries.data() + ca.start[std::size_t(i)];
        const auto* x1 = ca.entries.data() + ca.start[std::size_t(i) + 1];
        const auto* y0 = cb.entries.data() + cb.start[std::size_t(j)];
        const auto* y1 = cb.entries.data() + cb.start[std::size_t(j) + 1];
        if (pairs > 2147483647) {
            // Counts whose products wrap: every pair of names on its own.
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
        while (x0 != x1 && y0 != y1) {
            if (x0->first < y0->first) {
                ++x0;
            } else if (y0->first < x0->first) {
                ++y0;
            } else {
                matches += qint64(x0->second) * qint64(y0->second);
                ++x0;
                ++y0;
            }
        }
        return matches + qint64(sub) * (pairs - matches);
    }

    // gapScore for columns x and y of p.
    qint64 gap(const Profile& p, int x, int y, qint32 ins) const
    {
        if (literalGaps)
            return literalGap(p, x, y, ins);
        const bool hasX = x < p.len;
        const bool hasY = y < p.len;
        if (!hasX || !hasY)
            return 0;
        if (!p.hasNull)
            return qint64(ins) * qint64(p.rows);
        qint64 both = 0;
        for (int r = 0; r < p.rows; ++r)
            both += p.item(r, x) && p.item(r, y);
        return qint64(ins) * both;
    }

    // The gap score exactly as its definition reads, for profiles whose
    // names can form one key from two pairs.
    qint64 literalGap(const Profile& p, int x, int y, qint32 ins) const
    {
        QHash<QString, int> one;
        QHash<QString, int> two;
        QHash<QString, int> three;
        for (int r = 0; r < p.rows; ++r) {
            const BinItem* first = x < p.len ? p.item(r, x) : nullptr;
            const BinItem* second = y < p.len ? p.item(r, y) : nullptr;
            if (first)
                ++one[first->name];
            if (second)
                ++two[second->name];
            if (first && second)
                ++three[first->name + QLatin1Char(',') + second->name];
        }
        qint64 sum = 0;
        for (auto i = one.constBegin(); i != one.constEnd(); ++i)
            for (auto j = two.constBegin(); j != two.constEnd(); ++j)
                sum += qint64(product32(three.value(i.key() + QLatin1Char(',') + j.key()), ins));
        return sum;
    }

    QHash<QString, int> ids;
    std::vector<QString> names;
    std::vector<int> tally;
    int gapName = 0;
    bool literalGaps = false;
};

Profile Aligner::align(const Profile& a, const Profile& b)
{
    const qint32 sub = substitutionCost;
    const qint32 ins = insertionCost;
    const int lenA = a.len;
    const int lenB = b.len;
    const ColumnCounts ca = countColumns(a);
    const ColumnCounts cb = countColumns(b);

    const std::size_t width = std::size_t(lenB) + 1;
    std::vector<int> score((std::size_t(lenA) + 1) * width, 0);
    std::vector<int> steps(score.size() * 3, 0);
    auto at = [width](int i, int j) { return std::size_t(i) * width + std::size_t(j); };

    for (int i = 1; i <= lenA; ++i)
        score[at(i, 0)] = saturatedInt(double(qint64(score[at(i - 1, 0)]) + gap(a, i, i - 1, ins)));
    for (int j = 1; j <= lenB; ++j)
        score[at(0, j)] = saturatedInt(double(qint64(score[at(0, j - 1)]) + gap(b, j - 1, j, ins)));

    for (int i = 1; i <= lenA; ++i) {
        for (int j = 1; j <= lenB; ++j) {
            const qint64 d = columnPairScore(a, ca, b, cb, i - 1, j - 1, sub);
            // The quirk of the recurrence: a's column i-1 is scored against
            // the cell's column j, b's column j-1 against the cell's row i.
            const qint64 ga = gap(a, i - 1, j, ins);
            const qint64 gb = gap(b, i, j - 1, ins);
            const qint64 best = std::max({qint64(score[at(i - 1, j - 1)]) + d,
                                          qint64(score[at(i, j - 1)]) + gb,
                                          qint64(score[at(i - 1, j)]) + ga});
            score[at(i, j)] = saturatedInt(double(best));
            int* t = &steps[at(i, j) * 3];
            t[0] = saturatedInt(double(d));
            t[1] = saturatedInt(double(ga));
            t[2] = saturatedInt(double(gb));
        }
    }

    // Walk back from the far corner; each step is one output column, as
    // (column of a or -1 for a gap, column of b or -1).
    std::vector<std::pair<int, int>> columns;
    columns.reserve(std::size_t(lenA + lenB));
    int i = lenA;
    int j = lenB;
    while (i > 0 || j > 0) {
        qDebug() << i << j;
        if (i >= 1 && j >= 1) {
            const qint64 here = score[at(i, j)];
            const int* t = &steps[at(i, j) * 3];
            if (here == qint64(score[at(i - 1, j - 1)]) + t[0]) {
                columns.emplace_back(--i, --j);
            } else if (here == qint64(score[at(i - 1, j)]) + t[1]) {
                columns.emplace_back(--i, -1);
            } else if (here == qint64(score[at(i, j - 1)]) + t[2]) {
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
            columns.emplace_back(--i, -1);
        }
    }

    Profile joined;
    joined.rows = a.rows + b.rows;
    joined.len = int(columns.size());
    joined.hasNull = a.hasNull || b.hasNull;
    joined.items.reserve(std::size_t(joined.rows) * std::size_t(joined.len));
    joined.names.reserve(joined.items.capacity());
    for (auto step = columns.rbegin(); step != columns.rend(); ++step) {
        for (int r = 0; r < a.rows; ++r) {
            if (step->first >= 0) {
                joined.items.push_back(a.item(r, step->first));
                joined.names.push_back(a.name(r, step->first));
            } else {
                joined.items.push_back(newGap());
                joined.names.push_back(gapName);
            }
        }
        for (int r = 0; r < b.rows; ++r) {
            if (step->second >= 0) {
                joined.items.push_back(b.item(r, step->second));
                joined.names.push_back(b.name(r, step->second));
            } else {
                joined.items.push_back(newGap());
                joined.names.push_back(gapName);
            }
        }
    }
    return joined;
}

// Profiles of the subtree under node, aligned child by child.
Profile alignSubtree(Aligner& aligner, const GNode<int>* node, std::map<int, Profile>& leaves)
{
    if (node->children.isEmpty())
        return leaves[node->id];
    Profile acc = alignSubtree(aligner, node->children.at(0), leaves);
    for (int k = 1; k < node->children.size(); ++k)
        acc = aligner.align(acc, alignSubtree(aligner, node->children.at(k), leaves));
    return acc;
}

void collectLeaves(const GNode<int>* node, std::vector<int>& ids)
{
    std::vector<const GNode<int>*> pending{node};
    while (!pending.empty()) {
        const GNode<int>* n = pending.back();
        pending.pop_back();
        if (n->children.isEmpty())
            ids.push_back(n->id);
        for (const GNode<int>* child : n->children)
            pending.push_back(child);
    }
}

} // namespace

TList<TList<TList<BinItem*>>> alignProfiles(const TList<TList<BinItem*>>& a,
                                            const TList<TList<BinItem*>>& b)
{
    Aligner aligner;
    const Profile pa = aligner.fromRows(a);
    const Profile pb = aligner.fromRows(b);
    aligner.checkGapKeys();
    const Profile joined = aligner.align(pa, pb);
    TList<TList<TList<BinItem*>>> result;
    result.append(Aligner::toRows(joined, 0, pa.rows));
    result.append(Aligner::toRows(joined, pa.rows, pb.rows));
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

TList<TList<BinItem*>> SequenceWidget::computeAlignment(const TList<TList<BinItem*>>& sequences)
{
    if (sequences.isEmpty())
        return {};
    QHash<int, TList<TList<BinItem*>>> profiles;
    QList<int> keys;
    for (int k = 0; k < sequences.size(); ++k) {
        keys.append(k);
        TList<TList<BinItem*>> single;
        single.append(sequences.at(k));
        profiles.insert(k, single);
    }
    GNode<int>* root =
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), sequences, keys);
    TList<TList<BinItem*>> result;
    try {
        result = alignAlongTree(root, &profiles);
    } catch (...) {
        delete root;
        throw;
    }
    delete root;
    return result;
}

TList<TList<BinItem*>> SequenceWidget::alignAlongTree(GNode<int>* node,
                                                      QHash<int, TList<TList<BinItem*>>>* profiles)
{
    if (!node || !profiles)
        return {};
    if (node->children.isEmpty())
        return profiles->value(node->id);

    Aligner aligner;
    std::vector<int> ids;
    collectLeaves(node, ids);
    std::map<int, Profile> leaves;
    for (int id : ids)
        if (leaves.find(id) == leaves.end())
            leaves.emplace(id, aligner.fromRows((*profiles)[id]));
    aligner.checkGapKeys();
    const Profile joined = alignSubtree(aligner, node, leaves);
    return Aligner::toRows(joined, 0, joined.rows);
}
