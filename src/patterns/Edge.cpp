#include "patterns/Edge.h"

#include "patterns/ParseNode.h"

Edge::Edge(const Node& from, const Node& to, ParseNode* label)
    : from(from), to(to), label(label)
{
}

Edge::~Edge()
{
    delete label;
}
