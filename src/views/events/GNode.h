#pragma once

#include "core/TList.h"

#include <vector>

// A node of a cluster tree (dendrogram). A leaf stands for one clustered
// item; an inner node for the merge of its two children.
//
// Ownership: a node owns its children, so deleting the root frees the whole
// tree. The destructor walks the subtree without recursion: trees built from
// equal distances lean to one side and are as deep as they have leaves.
template <typename T>
class GNode
{
public:
    GNode() = default;
    GNode(const GNode&) = delete;
    GNode& operator=(const GNode&) = delete;

    ~GNode()
    {
        std::vector<GNode*> pending(children.begin(), children.end());
        children.clear();
        while (!pending.empty()) {
            GNode* node = pending.back();
            pending.pop_back();
            pending.insert(pending.end(), node->children.begin(), node->children.end());
            node->children.clear();
            delete node;
        }
    }

    // The items of every leaf below this node, in leaf order; a leaf holds
    // its own item only.
    TList<T> items;
    // Empty for a leaf; the two merged clusters of an inner node, the one
    // at the lower position first.
    TList<GNode<T>*> children;
    // 0 for a leaf; the linkage distance at which an inner node was formed.
    double height = 0.0;
    // Creation number: leaves 0 .. n - 1 in leaf order, inner nodes n, n + 1,
    // ... in merge order.
    int id = 0;
};
