#include "views/events/LinkageMatrix.h"

#include <QDebug>

#include <limits>
#include <memory>

namespace {
constexpr double NO_DISTANCE = std::numeric_limits<double>::max();
}

LinkageMatrix::LinkageMatrix(QList<int> ids, const TList<double>& table)
    : distances(table)
{
    init(ids, true);
}

LinkageMatrix::LinkageMatrix(QList<int> ids, TList<double>&& table)
    : distances(std::move(table))
{
    init(ids, true);
}

LinkageMatrix::LinkageMatrix(QList<int> ids, TList<double>&& table, TList<double>&& nearest,
                             TList<int>&& nearestAt)
    : distances(std::move(table)), nearestDistance(std::move(nearest)), nearestIndex(std::move(nearestAt))
{
    const bool found = nearestDistance.size() == ids.size() && nearestIndex.size() == ids.size();
    if (!found) {
        nearestDistance.clear();
        nearestIndex.clear();
    }
    init(ids, !found);
}

LinkageMatrix::~LinkageMatrix() = default;

int LinkageMatrix::nearestInRow(const double* row, int r, int width, double& best)
{
    best = NO_DISTANCE;
    int bestIndex = -1;
    for (int c = 0; c < width; ++c) {
        if (c != r && row[c] < best) {
            best = row[c];
            bestIndex = c;
        }
    }
    return bestIndex;
}

void LinkageMatrix::init(const QList<int>& ids, bool findNearest)
{
    width = ids.size();
    const std::size_t cells = std::size_t(width) * std::size_t(width);
    if (distances.items.size() != cells) {
        qDebug() << "distance table of" << distances.size() << "entries for" << width
                 << "clusters";
        distances.items.resize(cells, 0.0);
    }
    nodes.items.reserve(std::size_t(width));
    slotOf.items.reserve(std::size_t(width));
    // Out of memory on the way, the leaves made so far go: a constructor
    // that throws leaves no matrix to free them.
    try {
        for (int id : ids) {
            std::unique_ptr<GNode<int>> leaf(new GNode<int>);
            leaf->items.append(id);
            leaf->height = 0.0;
            leaf->id = nextId++;
            nodes.append(leaf.release());   // reserved: appending throws nothing
            slotOf.append(slotOf.size());
        }
        if (findNearest) {
            nearestDistance.items.assign(std::size_t(width), NO_DISTANCE);
            nearestIndex.items.assign(std::size_t(width), -1);
        }
    } catch (...) {
        for (GNode<int>* leaf : nodes.items)
            delete leaf;
        nodes.clear();
        throw;
    }
    if (!findNearest)
        return;
    for (int r = 0; r < width; ++r) {
        const double* row = distances.items.data() + std::size_t(r) * std::size_t(width);
        nearestIndex[r] = nearestInRow(row, r, width, nearestDistance[r]);
    }
}

void LinkageMatrix::merge(int a, int b)
{
    const int m = size();
    if (a == b || a < 0 || b < 0 || a >= m || b >= m) {
        qDebug() << "cannot merge clusters" << a << "and" << b << "of" << m;
        return;
    }

    // The new node takes its children only once nothing of it can fail
    // any more: out of memory before, it goes alone and the clusters stay.
    std::unique_ptr<GNode<int>> node(new GNode<int>);
    node->items = nodes[a]->items;
    node->items.append(nodes[b]->items);
    node->children.items.reserve(2);
    node->children.append(nodes[a]);
    node->children.append(nodes[b]);
    node->height = nearestDistance[a];
    node->id = nextId++;

    // Single linkage: the merged cluster is as close to every other cluster
    // as the closer of its two parts. Row first, then column, as over a
    // table that may not be symmetric.
    double* d = distances.items.data();
    const std::size_t w = std::size_t(width);
    const std::size_t sa = std::size_t(slotOf[a]);
    const std::size_t sb = std::size_t(slotOf[b]);
    if (symmetric) {
        // Column a takes the values of row a: what the column pass below
        // gives a symmetric table, in one pass along the rows.
        for (int k = 0; k < m; ++k) {
            const std::size_t sk = std::size_t(slotOf[k]);
            if (sk == sa || sk == sb)
                continue;
            const double v = std::min(d[sa * w + sk], d[sb * w + sk]);
            d[sa * w + sk] = v;
            d[sk * w + sa] = v;
        }
    } else {
        for (int k = 0; k < m; ++k) {
            const std::size_t sk = std::size_t(slotOf[k]);
            d[sa * w + sk] = std::min(d[sa * w + sk], d[sb * w + sk]);
        }
        for (int k = 0; k < m; ++k) {
            const std::size_t sk = std::size_t(slotOf[k]);
            d[sk * w + sa] = std::min(d[sk * w + sa], d[sk * w + sb]);
        }
    }

    nodes[a] = node.release();
    nodes.items.erase(nodes.items.begin() + b);
    nearestDistance.items.erase(nearestDistance.items.begin() + b);
    nearestIndex.items.erase(nearestIndex.items.begin() + b);
    slotOf.items.erase(slotOf.items.begin() + b);

    const int merged = b < a ? a - 1 : a;
    const int left = m - 1;
    double best = NO_DISTANCE;
    int bestIndex = -1;
    for (int k = 0; k < left; ++k) {
        if (k == merged)
            continue;
        const double v = symmetric ? d[sa * w + std::size_t(slotOf[k])] : d[std::size_t(slotOf[k]) * w + sa];
        if (v < best) {
            best = v;
            bestIndex = k;
        }
    }
    nearestDistance[merged] = best;
    nearestIndex[merged] = bestIndex;

    // Under single linkage the other clusters' nearest distances stay exact;
    // only the positions they point at change.
    for (int k = 0; k < left; ++k) {
        if (k == merged)
            continue;
        int& index = nearestIndex[k];
        if (index == b)
            index = merged;
        else if (index > b)
            --index;
    }
}
