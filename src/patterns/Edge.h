#pragma once

#include "patterns/Node.h"

class ParseNode;

// A transition of an automaton. It owns its label; a label of kind 0
// (epsilon) consumes nothing. Edges live on the heap and belong to the
// automaton that created them.
class Edge
{
public:
    Edge(const Node& from, const Node& to, ParseNode* label);
    Edge(const Edge&) = delete;
    Edge& operator=(const Edge&) = delete;
    ~Edge();

    Node from;
    Node to;
    ParseNode* label = nullptr;
};
