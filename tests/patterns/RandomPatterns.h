#pragma once

#include <QColor>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include "core/TVariant.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

// Random condition and pattern trees for property and fuzz tests. Texts avoid
// what the text forms cannot carry: "," "]" "~" and line breaks, a double
// quote, " --> ", a glyph name starting with a blank or with "delete".
class RandomPatterns
{
public:
    explicit RandomPatterns(quint32 seed) : random(seed) {}

    int below(int n) { return int(random.bounded(n)); }
    bool chance(int percent) { return below(100) < percent; }

    QString word(int maxLength = 8)
    {
        static const QString letters = QStringLiteral("abcxyzABQ019._:/");
        QString out;
        const int length = 1 + below(maxLength);
        for (int i = 0; i < length; ++i)
            out += letters.at(below(letters.size()));
        return out;
    }

    // Texts with the characters that end words or open quotes and variables.
    QString awkwardText()
    {
        static const QStringList pieces = {
            "a b", "x=y", "p<q", "r>s", "!n", "(g)", "a&b", "c|d", "true", "falsehood",
            "?v", "tab\there", "<=", "??", "+", "*", "{1", "epsilon", "[x", "A+B + C", ";"};
        return pieces.at(below(pieces.size())) + (chance(50) ? word(3) : QString());
    }

    QString nameText() { return chance(75) ? word() : awkwardText(); }

    TVariant valueOf()
    {
        switch (below(7)) {
        case 0:
            return TVariant(below(2000) - 1000, nullptr);
        case 1:
            return TVariant((below(20000) - 10000) / 8.0, nullptr);
        case 2:
            return TVariant();
        case 3:
            return TVariant(awkwardText(), true, nullptr);
        default:
            return TVariant(word(), true, nullptr);
        }
    }

    // Binary And/Or, as the condition parser builds them.
    ParseNode* condition(int depth)
    {
        const int pick = depth <= 0 ? 0 : below(10);
        if (pick <= 4) {
            ParseNode* test = new ParseNode(ParseNode::Test);
            if (chance(8)) {
                test->value = TVariant(below(2), nullptr);
                return test;
            }
            test->name = nameText();
            test->op = below(9);
            if (chance(15)) {
                test->value = TVariant(QStringLiteral("?") + word(4), true, nullptr);
                test->isVariable = true;
            } else {
                test->value = valueOf();
            }
            return test;
        }
        if (pick <= 6) {
            ParseNode* negation = new ParseNode(ParseNode::Not);
            negation->addChild(condition(depth - 1));
            return negation;
        }
        ParseNode* list = new ParseNode(pick <= 8 ? ParseNode::And : ParseNode::Or);
        list->addChild(condition(depth - 1));
        list->addChild(condition(depth - 1));
        return list;
    }

    QColor colour() { return QColor(below(256), below(256), below(256)); }

    BinItem glyph(bool withStack)
    {
        BinItem item(nullptr, nullptr);
        do {
            item.name = chance(80) ? word() : awkwardText().trimmed();
        } while (item.name.isEmpty() || item.name.startsWith(QStringLiteral("delete")));
        item.label = chance(30) ? QString() : nameText();
        item.fillColor = colour();
        item.edgeColor = colour();
        item.thirdColor = colour();
        item.shape = below(5);
        item.edgeStyle = below(3);
        item.edgeWidth = below(6);
        if (chance(25))
            item.quantifier = below(4);
        if (chance(40)) {
            // A lone constant "true" prints as the empty condition.
            ParseNode* tree = condition(3);
            while (tree->type == ParseNode::Test && tree->name.isEmpty() && tree->value.toInt() != 0) {
                delete tree;
                tree = condition(3);
            }
            item.condition = tree;
        }
        if (withStack && chance(20)) {
            const int count = 1 + below(3);
            for (int i = 0; i < count; ++i)
                item.children.items.push_back(glyph(false));
        }
        return item;
    }

    ParseNode* pattern(int depth)
    {
        const int pick = depth <= 0 ? 0 : below(12);
        if (pick <= 3) {
            ParseNode* leaf = new ParseNode(ParseNode::Leaf);
            if (chance(5)) {
                leaf->glyph.mode = DELETE;
            } else {
                // A fresh glyph: the leaf takes over its conditions.
                leaf->glyph = glyph(true);
            }
            return leaf;
        }
        static const int unary[] = {ParseNode::Star, ParseNode::Plus, ParseNode::Not, ParseNode::Repeat};
        if (pick <= 7) {
            ParseNode* node = new ParseNode(unary[pick - 4]);
            if (node->type == ParseNode::Repeat) {
                const int low = below(5);
                node->value = TVariant(double(low), chance(30) ? -1.0 : double(low + below(5)));
            }
            node->addChild(pattern(depth - 1));
            return node;
        }
        ParseNode* list = new ParseNode(pick <= 9 ? ParseNode::And : ParseNode::Or);
        const int count = 1 + below(4);
        for (int i = 0; i < count; ++i)
            list->addChild(pattern(depth - 1));
        return list;
    }

    QString ruleName()
    {
        return chance(80) ? word() : QStringLiteral(" ") + awkwardText() + QStringLiteral(" ");
    }

private:
    QRandomGenerator random;
};

// Every field the text form keeps, for comparing a tree with its read-back.
inline QString describeGlyph(const BinItem& glyph)
{
    auto rgb = [](const QColor& c) { return QString("%1;%2;%3;%4").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha()); };
    QString out = QString("%1|%2|%3|%4|%5|%6|%7|%8|%9")
                      .arg(glyph.name, glyph.label, rgb(glyph.fillColor), rgb(glyph.edgeColor),
                           rgb(glyph.thirdColor),
                           glyph.condition ? glyph.condition->toString() : QStringLiteral("-"))
                      .arg(glyph.shape)
                      .arg(glyph.edgeStyle)
                      .arg(glyph.edgeWidth);
    out += QString("|m%1|q%2").arg(glyph.mode).arg(glyph.quantifier);
    if (!glyph.children.isEmpty()) {
        QStringList stack;
        for (const BinItem& child : glyph.children.items)
            stack.append(describeGlyph(child));
        out += "<" + stack.join(";") + ">";
    }
    return out;
}

inline QString describePattern(const ParseNode* node)
{
    if (!node)
        return QStringLiteral("null");
    QString out = QString::number(node->type);
    if (node->type == ParseNode::Repeat)
        out += node->value.toString();
    if (node->type == ParseNode::Leaf)
        out += "[" + describeGlyph(node->glyph) + "]";
    if (!node->children.isEmpty()) {
        QStringList children;
        for (const ParseNode* child : node->children)
            children.append(describePattern(child));
        out += "(" + children.join(",") + ")";
    }
    return out;
}
