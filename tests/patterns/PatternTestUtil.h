#pragma once

#include <QString>
#include <QStringList>

#include "core/TVariant.h"
#include "patterns/ParseNode.h"

// Compact structural description of a tree, for comparing parser results:
// comparisons as name+op+value, constants as true/false, other kinds as
// Kind(children...), leaves as L:name.
inline QString describeTree(const ParseNode* node)
{
    if (!node)
        return QStringLiteral("null");
    QStringList children;
    for (const ParseNode* child : node->children)
        children.append(describeTree(child));
    const QString inner = QStringLiteral("(") + children.join(QStringLiteral(",")) + QStringLiteral(")");
    switch (node->type) {
    case ParseNode::Test:
        if (node->name.isEmpty())
            return node->value.toInt() == 0 ? QStringLiteral("false") : QStringLiteral("true");
        return node->name + ParseNode::operatorToString(node->op) + node->value.toString();
    case ParseNode::And:
        return QStringLiteral("And") + inner;
    case ParseNode::Or:
        return QStringLiteral("Or") + inner;
    case ParseNode::Not:
        return QStringLiteral("Not") + inner;
    case ParseNode::Star:
        return QStringLiteral("Star") + inner;
    case ParseNode::Plus:
        return QStringLiteral("Plus") + inner;
    case ParseNode::Repeat:
        return QStringLiteral("Repeat") + node->value.toString() + inner;
    case ParseNode::Leaf:
        return QStringLiteral("L:") + node->glyph.name;
    default:
        return QStringLiteral("K%1").arg(node->type) + inner;
    }
}
