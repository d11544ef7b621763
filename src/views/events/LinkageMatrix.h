#pragma once

#include "core/TList.h"
#include "views/events/GNode.h"

#include <QList>

// Working state of one single-linkage clustering run.
//
// Clusters are addressed by position: 0 .. m - 1 for the m clusters left,
// in the order of their first leaf. A merge removes the second cluster's
// position and the positions above it move down by one.
//
// The distance table itself never moves: it keeps one row and one column
// per original cluster (its slot), and `slotOf` maps each position to the
// slot of that cluster. Removing a cluster only drops its position, so a
// merge costs O(m) instead of shifting an m x m table.
class LinkageMatrix
{
public:
    // ids: one per cluster, in position order; distances: row-major,
    // ids.size() x ids.size(). The entry (r, c) is the distance from the
    // cluster at position r to the one at c.
    LinkageMatrix(QList<int> ids, const TList<double>& distances);
    LinkageMatrix(QList<int> ids, TList<double>&& distances);
    // As above, with every cluster's nearest distance and position found
    // already (by nearestInRow over its row).
    LinkageMatrix(QList<int> ids, TList<double>&& distances, TList<double>&& nearestDistance,
                  TList<int>&& nearestIndex);
    // Releases the lists; the nodes belong to the tree that is handed out.
    ~LinkageMatrix();
    LinkageMatrix(const LinkageMatrix&) = delete;
    LinkageMatrix& operator=(const LinkageMatrix&) = delete;

    // Merges the cluster at position b into the one at position a under
    // single linkage: the new node (children: a's node, then b's) takes
    // position a, position b is removed.
    void merge(int a, int b);

    // The nearest other cluster of the one at r, from its row of the
    // distance table (width entries): the first position c != r holding
    // the row's smallest distance, or -1 (best the largest finite double)
    // when none is smaller than that.
    static int nearestInRow(const double* row, int r, int width, double& best);

    // Clusters left.
    int size() const { return nodes.size(); }
    // Distance from the cluster at position r to the one at position c.
    double distance(int r, int c) const
    {
        return distances.items[std::size_t(slotOf.items[std::size_t(r)]) * std::size_t(width)
                               + std::size_t(slotOf.items[std::size_t(c)])];
    }

    // The distance table by slot, width x width.
    TList<double> distances;
    // Per position: the smallest distance to another cluster (the largest
    // finite double when none is known) and that cluster's position (-1).
    TList<double> nearestDistance;
    TList<int> nearestIndex;
    // Per position: the cluster's tree node.
    TList<GNode<int>*> nodes;
    int nextId = 0;
    // Per position: the cluster's slot in the distance table.
    TList<int> slotOf;
    // Row length of the distance table: the number of clusters at the start.
    int width = 0;
    // Set by a caller whose table is symmetric: merges then read and write
    // the table along its rows (the results are those of any table).
    bool symmetric = false;

private:
    void init(const QList<int>& ids, bool findNearest);
};
