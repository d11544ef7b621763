#pragma once

#include <QtGlobal>

// A state of an automaton, held by value. Equality and hashing look at the
// id only, so a Node is a cheap key of QHash and QSet.
class Node
{
public:
    Node();
    explicit Node(qint32 id);

    bool operator==(const Node& other) const { return id == other.id; }
    bool operator!=(const Node& other) const { return id != other.id; }

    qint32 id = -1;  // -1: no state
    bool valid = false;
};

uint qHash(const Node& node, uint seed = 0);
