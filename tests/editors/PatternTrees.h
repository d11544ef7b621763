#pragma once

#include <QKeyEvent>
#include <QStringList>

#include <vector>

#include "editors/MapWidget.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"

// Pattern trees written as text, for building an editor's tree and comparing
// it with a golden one:
//   seq(..) sequence, or(..) choice, not(..), star(..), plus(..),
//   rep2..5(..), grp(..) group, [] empty slot, eps, a leaf by its glyph name
//   ("_" without one) with {B,C} for stacked glyphs and (..) for children.
namespace trees {

inline BinItem readGlyph(const QString& t, int& i)
{
    BinItem glyph(nullptr, nullptr);
    const int start = i;
    while (i < t.size() && !QStringLiteral("(){},").contains(t.at(i)))
        ++i;
    glyph.name = t.mid(start, i - start);
    if (glyph.name == QLatin1String("_"))
        glyph.name.clear();
    if (i < t.size() && t.at(i) == QLatin1Char('{')) {
        do {
            ++i;
            glyph.children.append(readGlyph(t, i));
        } while (t.at(i) == QLatin1Char(','));
        ++i;  // '}'
    }
    return glyph;
}

inline BinItem glyphOf(const QString& text)
{
    int i = 0;
    return readGlyph(text, i);
}

inline ParseNode* read(const QString& t, int& i)
{
    const int start = i;
    BinItem glyph = readGlyph(t, i);
    const QString word = t.mid(start, i - start);
    static const QStringList kinds = {"eps", "", "seq", "or", "not", "star", "plus", "", "", "grp"};
    ParseNode* n;
    if (word == QLatin1String("[]")) {
        n = new ParseNode(ParseNode::Group);
    } else if (word.startsWith(QLatin1String("rep"))) {
        n = new ParseNode(ParseNode::Repeat);
        const QStringList bounds = word.mid(3).split(QStringLiteral(".."));
        n->value = TVariant(bounds.at(0).toDouble(), bounds.at(1).toDouble());
    } else if (!word.isEmpty() && kinds.contains(word)) {
        n = new ParseNode(kinds.indexOf(word));
    } else {
        n = new ParseNode(ParseNode::Leaf);
        n->glyph = glyph;
    }
    if (i < t.size() && t.at(i) == QLatin1Char('(')) {
        do {
            ++i;
            if (t.at(i) != QLatin1Char(')'))
                n->addChild(read(t, i));
        } while (t.at(i) == QLatin1Char(','));
        ++i;  // ')'
    }
    return n;
}

inline ParseNode* tree(const QString& text)
{
    int i = 0;
    return read(text, i);
}

inline QString glyphText(const BinItem& glyph)
{
    QString text = glyph.name.isEmpty() ? QStringLiteral("_") : glyph.name;
    QStringList parts;
    for (const BinItem& child : glyph.children)
        parts << glyphText(child);
    return parts.isEmpty() ? text : text + QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
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
    for (const ParseNode* child : n->children) {
        if (child->parentNode != n || !linked(child))
            return false;
    }
    return true;
}

// The first node (depth first) that prints as `text`.
inline ParseNode* find(ParseNode* n, const QString& text)
{
    if (shape(n) == text)
        return n;
    for (ParseNode* child : n->children) {
        if (ParseNode* found = find(child, text))
            return found;
    }
    return nullptr;
}

inline BinItem* itemOf(MapWidget& map, const QString& text)
{
    return map.nodeItem.value(find(map.root, text), nullptr);
}

// Selects exactly the items of the nodes printed as these texts.
inline TList<BinItem*> select(MapWidget& map, const QStringList& texts)
{
    for (BinItem* item : map.items)
        item->selected = texts.contains(shape(map.itemNode.value(item, nullptr)));
    return map.selectedItems();
}

inline QString labels(const TList<BinItem*>& items)
{
    QStringList parts;
    for (const BinItem* item : items)
        parts << (!item->label.isEmpty() ? item->label : item->name.isEmpty() ? QStringLiteral("_") : item->name);
    return parts.join(QLatin1Char(' '));
}

inline void press(MapWidget& map, int key)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    map.keyPressEvent(&event);
}

// A window-less editor holding the tree as its first history entry.
struct Editor {
    explicit Editor(const QString& text = QString()) : map(false, nullptr, nullptr)
    {
        map.resize(900, 300);
        if (!text.isEmpty())
            map.setRoot(trees::tree(text));
    }
    QString now() const { return shape(map.root); }
    ParseNode* node(const QString& text) { return find(map.root, text); }
    MapWidget map;
};

} // namespace trees
