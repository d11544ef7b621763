#pragma once

#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include "core/TList.h"
#include "core/TVariant.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"

// Small builders for automaton and matching tests. Trees are plain heap
// ParseNodes; the caller deletes the root.
namespace matchtest {

inline ParseNode* leaf(const QString& name)
{
    auto* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    return node;
}

inline ParseNode* unary(int type, ParseNode* child)
{
    auto* node = new ParseNode(type);
    node->addChild(child);
    return node;
}

inline ParseNode* nary(int type, std::initializer_list<ParseNode*> children)
{
    auto* node = new ParseNode(type);
    for (ParseNode* child : children)
        node->addChild(child);
    return node;
}

inline ParseNode* seqOf(std::initializer_list<ParseNode*> children) { return nary(ParseNode::And, children); }
inline ParseNode* altOf(std::initializer_list<ParseNode*> children) { return nary(ParseNode::Or, children); }

inline ParseNode* repeat(ParseNode* child, double min, double max)
{
    auto* node = unary(ParseNode::Repeat, child);
    node->value = TVariant(min, max);
    return node;
}

// A comparison attribute op value (op as ParseNode::Operator).
inline ParseNode* test(const QString& name, int op, const TVariant& value)
{
    auto* node = new ParseNode(ParseNode::Test);
    node->name = name;
    node->op = op;
    node->value = value;
    return node;
}

inline BinItem item(const QString& name, const QStringList& children = QStringList())
{
    BinItem result(nullptr, nullptr);
    result.name = name;
    for (const QString& child : children) {
        BinItem stacked(nullptr, nullptr);
        stacked.name = child;
        result.children.append(stacked);
    }
    return result;
}

// Items named by the letters of the text ("ABA" -> A, B, A); the list keeps
// the storage, pointers() hands out the sequence.
struct Sequence
{
    explicit Sequence(const QString& letters = QString())
    {
        for (const QChar c : letters)
            add(item(QString(c)));
    }
    void add(const BinItem& value) { storage.append(value); }
    TList<BinItem*> pointers()
    {
        TList<BinItem*> out;
        for (BinItem& value : storage.items)
            out.append(&value);
        return out;
    }
    TList<BinItem> storage;
};

// "0>1:E:A" per edge in automaton order, joined by " ".
inline QString describeEdges(const Automaton* automaton)
{
    QStringList out;
    for (const Node& state : automaton->stateList)
        for (const Edge* edge : automaton->outEdges(state))
            out.append(QStringLiteral("%1>%2:%3").arg(edge->from.id).arg(edge->to.id).arg(
                edge->label->type == ParseNode::Epsilon ? QStringLiteral("eps") : edge->label->toString()));
    return out.join(QLatin1Char(' '));
}

inline QString describeStates(const Automaton* automaton)
{
    QStringList out;
    for (const Node& state : automaton->stateList)
        out.append(QString::number(state.id));
    return out.join(QLatin1Char(','));
}

inline QString describeAccepting(const Automaton* automaton)
{
    QList<int> ids;
    for (const Node& state : automaton->accepting)
        ids.append(state.id);
    std::sort(ids.begin(), ids.end());
    QStringList out;
    for (int id : ids)
        out.append(QString::number(id));
    return out.join(QLatin1Char(','));
}

// Names of the matched items: "AB|B".
inline QString describeMatches(const TList<TList<BinItem*>>& matches)
{
    QStringList out;
    for (const TList<BinItem*>& match : matches) {
        QString text;
        for (const BinItem* value : match)
            text += value->name;
        out.append(text);
    }
    return out.join(QLatin1Char('|'));
}

}  // namespace matchtest
