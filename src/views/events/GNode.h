#pragma once

#include "core/TList.h"

#include <vector>

// A node of a cluster tree (dendrogram). A leaf stands for one clustered
// item; an inner node for the merge of its two children.
//
// Ownership: a node owns its children, so deleting the root frees the whole
// tree. The destructor walks the subtree without recursion (trees built from
// equal distances lean to one side and are as deep as they have leaves) and
// without allocating, so that a tree can go also where no memory is left:
// the way back up is kept in the child slot the walk went down through.
template <typename T>
class GNode
{
public:
    GNode() = default;
    GNode(const GNode&) = delete;
    GNode& operator=(const GNode&) = delete;

    ~GNode()
    {
        GNode* up = nullptr;
        GNode* node = this;
        for (;;) {
            std::vector<GNode*>& below = node->children.items;
            if (!below.empty()) {
                GNode* child = below.back();
                if (!child) {
                    below.pop_back();
                    continue;
                }
                below.back() = up;
                up = node;
                node = child;
                continue;
            }
            if (node == this)
                return;
            // Without children its own destructor has nothing to walk.
            delete node;
            node = up;
            up = node->children.items.back();
            node->children.items.pop_back();
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
