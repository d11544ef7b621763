#include "patterns/Node.h"

#include <QHash>

Node::Node()
    : id(-1), valid(true)
{
}

Node::Node(qint32 id)
    : id(id), valid(true)
{
}

uint qHash(const Node& node, uint seed)
{
    return ::qHash(node.id, seed);
}
