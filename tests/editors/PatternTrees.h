#pragma once

#include <QStringList>

#include <initializer_list>
#include <vector>

#include "editors/MapWidget.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"

// Builders of pattern trees and a printer of their shape, for comparing an
// editor's tree with a golden text:
//   seq(..) sequence, or(..) choice, not(..), star(..), plus(..),
//   rep2..5(..), grp(..) a group, [] an empty slot, eps, a leaf by its glyph
//   name ("_" without one) with "{B,C}" for stacked glyphs and "(..)" for
//   children of its own.
namespace trees {

inline ParseNode* leaf(const QString& name)
{
    auto* n = new ParseNode(ParseNode::Leaf);
    n->glyph.name = name;
    return n;
}

inline ParseNode* node(int type, std::initializer_list<ParseNode*> children = {})
{
    auto* n = new ParseNode(type);
    for (ParseNode* child : children)
        n->addChild(child);
    return n;
}

inline ParseNode* seq(std::initializer_list<ParseNode*> children) { return node(ParseNode::And, children); }
inline ParseNode* choice(std::initializer_list<ParseNode*> children) { return node(ParseNode::Or, children); }
inline ParseNode* slot() { return node(ParseNode::Group); }

inline ParseNode* repeat(int min, int max, std::initializer_list<ParseNode*> children)
{
    ParseNode* n = node(ParseNode::Repeat, children);
    n->value = TVariant(double(min), double(max));
    return n;
}

inline QString glyphText(const BinItem& glyph)
{
    QString text = glyph.name.isEmpty() ? QStringLiteral("_") : glyph.name;
    if (!glyph.children.isEmpty()) {
        QStringList parts;
        for (const BinItem& child : glyph.children)
            parts << glyphText(child);
        text += QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
    }
    return text;
}

inline QString shape(const ParseNode* n)
{
    if (!n)
        return QStringLiteral("null");
    QStringList parts;
    for (const ParseNode* child : n->children)
        parts << shape(child);
    const QString inner = QLatin1Char('(') + parts.join(QLatin1Char(',')) + QLatin1Char(')');
    switch (n->type) {
    case ParseNode::Epsilon: return QStringLiteral("eps");
    case ParseNode::And: return QStringLiteral("seq") + inner;
    case ParseNode::Or: return QStringLiteral("or") + inner;
    case ParseNode::Not: return QStringLiteral("not") + inner;
    case ParseNode::Star: return QStringLiteral("star") + inner;
    case ParseNode::Plus: return QStringLiteral("plus") + inner;
    case ParseNode::Repeat: {
        const QPair<double, double> b = n->value.toPair();
        return QStringLiteral("rep%1..%2").arg(int(b.first)).arg(int(b.second)) + inner;
    }
    case ParseNode::Group: return parts.isEmpty() ? QStringLiteral("[]") : QStringLiteral("grp") + inner;
    case ParseNode::Leaf: return glyphText(n->glyph) + (parts.isEmpty() ? QString() : inner);
    default: return QStringLiteral("?") + inner;
    }
}

// Every parent pointer matches the child lists below n.
inline bool linked(const ParseNode* n)
{
    std::vector<const ParseNode*> pending{n};
    while (!pending.empty()) {
        const ParseNode* current = pending.back();
        pending.pop_back();
        for (const ParseNode* child : current->children) {
            if (child->parentNode != current)
                return false;
            pending.push_back(child);
        }
    }
    return true;
}

// The first node (depth first) that prints as `text`.
inline ParseNode* find(ParseNode* n, const QString& text)
{
    std::vector<ParseNode*> pending{n};
    while (!pending.empty()) {
        ParseNode* current = pending.back();
        pending.pop_back();
        if (shape(current) == text)
            return current;
        for (int i = current->children.size() - 1; i >= 0; --i)
            pending.push_back(current->children.at(i));
    }
    return nullptr;
}

// The editor's node that prints as `text` and its item.
inline ParseNode* findIn(MapWidget& map, const QString& text) { return find(map.root, text); }
inline BinItem* itemOf(MapWidget& map, const QString& text)
{
    return map.nodeItem.value(findIn(map, text), nullptr);
}

// Selects exactly the items of the nodes printed as these texts.
inline TList<BinItem*> select(MapWidget& map, const QStringList& texts)
{
    for (BinItem* item : map.items)
        item->selected = false;
    for (const QString& text : texts) {
        if (BinItem* item = itemOf(map, text))
            item->selected = true;
    }
    return map.selectedItems();
}

inline QString itemLabels(const MapWidget& map)
{
    QStringList parts;
    for (const BinItem* item : map.items)
        parts << (item->label.isEmpty() ? (item->name.isEmpty() ? QStringLiteral("_") : item->name)
                                        : item->label);
    return parts.join(QLatin1Char(' '));
}

} // namespace trees
