#include "patterns/LabelRelations.h"

#include <QStringList>

#include <utility>
#include <vector>

#include "items/BinItem.h"
#include "patterns/ParseNode.h"

namespace {

const QString WILDCARD = QStringLiteral("WildCard");

// Steps one question may take before it is answered no.
const int StepBudget = 20000;

QStringList childNames(const BinItem& glyph)
{
    QStringList names;
    for (const BinItem& child : glyph.children)
        names.append(child.name);
    return names;
}

QStringList sortedChildNames(const BinItem& glyph)
{
    QStringList names = childNames(glyph);
    names.sort();
    return names;
}

// The stacked names an item must carry for the glyph to match it.
QStringList requiredChildNames(const BinItem& glyph)
{
    QStringList names;
    for (const BinItem& child : glyph.children)
        if (child.name != WILDCARD)
            names.append(child.name);
    return names;
}

bool isFalseConstant(const TVariant& value)
{
    return (value.isNumber() || value.type == TVariant::Bool) && value.toDouble() == 0.0;
}

// A glyph whose names hold for every item: the plain "WildCard", or a stack
// of nothing but "WildCard" glyphs.
bool namesAlways(const BinItem& glyph)
{
    if (glyph.mode == NONE)
        return false;
    return glyph.children.isEmpty() ? glyph.name == WILDCARD : requiredChildNames(glyph).isEmpty();
}

// A glyph no item matches: an exact combination of nothing, or a condition
// under a quantifier that is not one of the four.
bool glyphNever(const BinItem& glyph)
{
    if (glyph.mode == NONE && glyph.children.isEmpty())
        return true;
    return glyph.condition && (glyph.quantifier < 0 || glyph.quantifier > 3);
}

// Whether every item whose names fit glyph b has names that fit glyph a
// (the name steps of matchGlyph).
bool namesImply(const BinItem& b, const BinItem& a)
{
    if (a.mode == NONE)
        return b.mode == NONE && sortedChildNames(a) == sortedChildNames(b);
    if (a.children.isEmpty()) {
        // a needs an item named a.name or carrying a.name in its stack.
        if (a.name == WILDCARD)
            return true;
        if (b.mode == NONE)
            return childNames(b).contains(a.name);
        if (b.children.isEmpty())
            return b.name == a.name;
        return requiredChildNames(b).contains(a.name);
    }
    // a needs its stacked names (other than "WildCard") among the item's.
    const QStringList needed = requiredChildNames(a);
    if (needed.isEmpty())
        return true;
    if (b.mode == NONE || b.children.isEmpty())
        return false;
    const QStringList given = requiredChildNames(b);
    for (const QString& name : needed)
        if (!given.contains(name))
            return false;
    return true;
}

// Whether some name of glyph h (which is not an exact combination) lies
// outside the combination `names`, so that no item of that combination fits h.
bool namesOutside(const BinItem& h, const QStringList& names)
{
    if (h.children.isEmpty())
        return h.name != WILDCARD && !names.contains(h.name);
    for (const QString& name : requiredChildNames(h))
        if (!names.contains(name))
            return true;
    return false;
}

class Judge
{
public:
    bool labelCovers(const ParseNode* a, const ParseNode* b);

private:
    bool spend() { return --budget >= 0; }

    bool labelAlways(const ParseNode* label);
    bool labelNever(const ParseNode* label);
    bool labelsDisjoint(const ParseNode* c, const ParseNode* b);
    bool glyphCovers(const BinItem& a, const BinItem& b);
    bool glyphsDisjoint(const BinItem& g, const BinItem& h);

    bool conditionAlways(const ParseNode* condition);
    bool conditionNever(const ParseNode* condition);
    bool conditionCovers(const ParseNode* a, const ParseNode* b);
    bool conditionsDisjoint(const ParseNode* c, const ParseNode* b);
    static bool testCovers(const ParseNode* a, const ParseNode* b);
    static bool testsDisjoint(const ParseNode* c, const ParseNode* b);

    int budget = StepBudget;
};

// --- labels: what RuleMatcher::evalLabel makes of them for one item ---------

bool Judge::labelAlways(const ParseNode* label)
{
    if (!spend())
        return false;
    switch (label->type) {
    case ParseNode::Leaf:
        return !label->glyph.condition && namesAlways(label->glyph);
    case ParseNode::And:
        for (const ParseNode* child : label->children)
            if (!labelAlways(child))
                return false;
        return true;
    case ParseNode::Or:
        for (const ParseNode* child : label->children)
            if (labelAlways(child))
                return true;
        return false;
    case ParseNode::Not:
        return !label->children.isEmpty() && labelNever(label->children.first());
    default:
        return false;
    }
}

bool Judge::labelNever(const ParseNode* label)
{
    if (!spend())
        return false;
    switch (label->type) {
    case ParseNode::Epsilon:
        return false;
    case ParseNode::Leaf:
        return glyphNever(label->glyph);
    case ParseNode::And:
        for (const ParseNode* child : label->children)
            if (labelNever(child))
                return true;
        return false;
    case ParseNode::Or:
        for (const ParseNode* child : label->children)
            if (!labelNever(child))
                return false;
        return true;
    case ParseNode::Not:
        return label->children.isEmpty() || labelAlways(label->children.first());
    default:
        // Comparisons, repetitions and groups hold for no single item.
        return true;
    }
}

bool Judge::labelCovers(const ParseNode* a, const ParseNode* b)
{
    if (!spend())
        return false;
    if (b->type == ParseNode::Epsilon)
        return a->type == ParseNode::Epsilon;
    if (a->type == ParseNode::Epsilon)
        return false;
    // Every label that can hold covers itself, whatever its parts.
    if (LabelRelations::same(a, b) && !labelNever(a))
        return true;
    if (labelAlways(a))
        return true;
    switch (a->type) {
    case ParseNode::Leaf:
        return b->type == ParseNode::Leaf && glyphCovers(a->glyph, b->glyph);
    case ParseNode::And:
        // Children pair up by position; groups of different sizes are not
        // compared.
        if (b->type != ParseNode::And || a->children.size() != b->children.size())
            return false;
        for (int i = 0; i < a->children.size(); ++i)
            if (!labelCovers(a->children.at(i), b->children.at(i)))
                return false;
        return true;
    case ParseNode::Or:
        // Whichever alternative of b holds, a's alternative at its position
        // must hold too.
        if (b->type != ParseNode::Or || b->children.isEmpty() || a->children.size() != b->children.size())
            return false;
        for (int i = 0; i < a->children.size(); ++i)
            if (!labelNever(b->children.at(i)) && !labelCovers(a->children.at(i), b->children.at(i)))
                return false;
        return true;
    case ParseNode::Not:
        if (a->children.isEmpty())
            return false;
        // !x holds wherever !y does exactly when y holds wherever x does.
        if (b->type == ParseNode::Not)
            return !b->children.isEmpty() && labelCovers(b->children.first(), a->children.first());
        // !x holds wherever b does when x and b never hold together.
        return labelsDisjoint(a->children.first(), b);
    case ParseNode::Test:
        return b->type == ParseNode::Test && testCovers(a, b);
    default:
        return false;
    }
}

// Whether no item satisfies both labels.
bool Judge::labelsDisjoint(const ParseNode* c, const ParseNode* b)
{
    if (!spend())
        return false;
    if (labelNever(c) || labelNever(b))
        return true;
    if (c->type == ParseNode::Not && !c->children.isEmpty())
        return labelCovers(c->children.first(), b);
    if (b->type == ParseNode::Not && !b->children.isEmpty())
        return labelCovers(b->children.first(), c);
    if (c->type == ParseNode::And) {
        for (const ParseNode* child : c->children)
            if (labelsDisjoint(child, b))
                return true;
    }
    if (b->type == ParseNode::And) {
        for (const ParseNode* child : b->children)
            if (labelsDisjoint(c, child))
                return true;
    }
    if (c->type == ParseNode::Or || b->type == ParseNode::Or) {
        const bool splitC = c->type == ParseNode::Or;
        for (const ParseNode* child : (splitC ? c : b)->children)
            if (!(splitC ? labelsDisjoint(child, b) : labelsDisjoint(c, child)))
                return false;
        return true;
    }
    if (c->type == ParseNode::Leaf && b->type == ParseNode::Leaf)
        return glyphsDisjoint(c->glyph, b->glyph);
    return false;
}

bool Judge::glyphCovers(const BinItem& a, const BinItem& b)
{
    if (!namesImply(b, a))
        return false;
    if (!a.condition)
        return true;
    if (!b.condition || a.quantifier != b.quantifier)
        return false;
    return conditionCovers(a.condition, b.condition);
}

bool Judge::glyphsDisjoint(const BinItem& g, const BinItem& h)
{
    if (glyphNever(g) || glyphNever(h))
        return true;
    // An item of an exact combination carries no name outside it. Two
    // glyphs of plain names can always meet in one stacked item.
    if (g.mode == NONE && h.mode == NONE)
        return sortedChildNames(g) != sortedChildNames(h);
    if (g.mode == NONE)
        return namesOutside(h, childNames(g));
    if (h.mode == NONE)
        return namesOutside(g, childNames(h));
    if (!g.condition || !h.condition)
        return false;
    // Conditions that no event meets together keep the glyphs apart when
    // both look at one same event: the first, or the last, or one event
    // that "all" also covers.
    const int p = g.quantifier;
    const int q = h.quantifier;
    const bool oneEvent = (p == q && (p == 2 || p == 3)) || (p == 0 && q >= 1 && q <= 3)
                          || (q == 0 && p >= 1 && p <= 3);
    return oneEvent && conditionsDisjoint(g.condition, h.condition);
}

// --- conditions: what ParseNode::evaluate makes of them for one event --------

bool Judge::conditionAlways(const ParseNode* condition)
{
    if (!spend())
        return false;
    if (condition->type == ParseNode::Test && condition->name.isEmpty())
        return !isFalseConstant(condition->value);
    if (condition->name.isEmpty() && condition->children.isEmpty())
        return true;
    switch (condition->type) {
    case ParseNode::Not:
        return !condition->children.isEmpty() && conditionNever(condition->children.first());
    case ParseNode::And:
        for (const ParseNode* child : condition->children)
            if (!conditionAlways(child))
                return false;
        return true;
    case ParseNode::Or:
        for (const ParseNode* child : condition->children)
            if (conditionAlways(child))
                return true;
        return false;
    default:
        return false;
    }
}

bool Judge::conditionNever(const ParseNode* condition)
{
    if (!spend())
        return false;
    if (condition->type == ParseNode::Test && condition->name.isEmpty())
        return isFalseConstant(condition->value);
    if (condition->name.isEmpty() && condition->children.isEmpty())
        return false;
    switch (condition->type) {
    case ParseNode::Not:
        return !condition->children.isEmpty() && conditionAlways(condition->children.first());
    case ParseNode::And:
        for (const ParseNode* child : condition->children)
            if (conditionNever(child))
                return true;
        return false;
    case ParseNode::Or:
        for (const ParseNode* child : condition->children)
            if (!conditionNever(child))
                return false;
        return true;
    default:
        return false;
    }
}

bool Judge::conditionCovers(const ParseNode* a, const ParseNode* b)
{
    if (!spend())
        return false;
    if (conditionAlways(a) || LabelRelations::same(a, b))
        return true;
    switch (a->type) {
    case ParseNode::Test:
        return b->type == ParseNode::Test && testCovers(a, b);
    case ParseNode::And:
        if (b->type != ParseNode::And || a->children.size() != b->children.size())
            return false;
        for (int i = 0; i < a->children.size(); ++i)
            if (!conditionCovers(a->children.at(i), b->children.at(i)))
                return false;
        return true;
    case ParseNode::Or:
        if (b->type != ParseNode::Or || b->children.isEmpty() || a->children.size() != b->children.size())
            return false;
        for (int i = 0; i < a->children.size(); ++i)
            if (!conditionNever(b->children.at(i)) && !conditionCovers(a->children.at(i), b->children.at(i)))
                return false;
        return true;
    case ParseNode::Not:
        if (a->children.isEmpty())
            return false;
        if (b->type == ParseNode::Not)
            return !b->children.isEmpty() && conditionCovers(b->children.first(), a->children.first());
        return conditionsDisjoint(a->children.first(), b);
    default:
        return false;
    }
}

bool Judge::conditionsDisjoint(const ParseNode* c, const ParseNode* b)
{
    if (!spend())
        return false;
    if (conditionNever(c) || conditionNever(b))
        return true;
    if (c->type == ParseNode::Not && !c->children.isEmpty())
        return conditionCovers(c->children.first(), b);
    if (b->type == ParseNode::Not && !b->children.isEmpty())
        return conditionCovers(b->children.first(), c);
    if (c->type == ParseNode::And) {
        for (const ParseNode* child : c->children)
            if (conditionsDisjoint(child, b))
                return true;
    }
    if (b->type == ParseNode::And) {
        for (const ParseNode* child : b->children)
            if (conditionsDisjoint(c, child))
                return true;
    }
    if ((c->type == ParseNode::Or && !c->children.isEmpty())
        || (b->type == ParseNode::Or && !b->children.isEmpty())) {
        const bool splitC = c->type == ParseNode::Or && !c->children.isEmpty();
        for (const ParseNode* child : (splitC ? c : b)->children)
            if (!(splitC ? conditionsDisjoint(child, b) : conditionsDisjoint(c, child)))
                return false;
        return true;
    }
    if (c->type == ParseNode::Test && b->type == ParseNode::Test)
        return testsDisjoint(c, b);
    return false;
}

// One comparison implies another. "==" and "!=" compare value texts, so
// "x != 1" follows from "x == 2"; a range (pair) value or a variable has no
// such reading.
bool Judge::testCovers(const ParseNode* a, const ParseNode* b)
{
    if (a->isVariable != b->isVariable || a->name != b->name)
        return false;
    if (a->op == b->op)
        return a->value.isValid() == b->value.isValid() && a->value.isPair() == b->value.isPair()
               && a->value.toString() == b->value.toString();
    return !a->isVariable && a->op == ParseNode::NotEqual && b->op == ParseNode::Equal
           && !a->value.isPair() && !b->value.isPair() && a->value.toString() != b->value.toString();
}

bool Judge::testsDisjoint(const ParseNode* c, const ParseNode* b)
{
    if (c->name.isEmpty() || c->name != b->name || c->isVariable || b->isVariable || c->value.isPair()
        || b->value.isPair())
        return false;
    const bool sameText = c->value.toString() == b->value.toString();
    if (c->op == ParseNode::Equal && b->op == ParseNode::Equal)
        return !sameText;
    const bool oneOfEach = (c->op == ParseNode::Equal && b->op == ParseNode::NotEqual)
                           || (c->op == ParseNode::NotEqual && b->op == ParseNode::Equal);
    return oneOfEach && sameText && c->value.isValid() == b->value.isValid();
}

// --- identity ---------------------------------------------------------------

bool sameValue(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && a.toString() == b.toString();
}

bool sameGlyph(const BinItem& g, const BinItem& h)
{
    if (g.name != h.name || (g.mode == NONE) != (h.mode == NONE) || childNames(g) != childNames(h))
        return false;
    if (!g.condition || !h.condition)
        return !g.condition && !h.condition;
    return g.quantifier == h.quantifier;
}

} // namespace

bool LabelRelations::covers(const ParseNode* a, const ParseNode* b)
{
    if (!a || !b)
        return false;
    Judge judge;
    return judge.labelCovers(a, b);
}

namespace {

// The node's own fields (not its children, not a leaf's condition).
bool sameNode(const ParseNode* x, const ParseNode* y)
{
    if (!x || !y)
        return x == y;
    return x->type == y->type && x->op == y->op && x->name == y->name && x->isVariable == y->isVariable
           && x->ignoreBindings == y->ignoreBindings && x->children.size() == y->children.size()
           && sameValue(x->value, y->value) && (x->type != ParseNode::Leaf || sameGlyph(x->glyph, y->glyph));
}

} // namespace

bool LabelRelations::same(const ParseNode* a, const ParseNode* b)
{
    if (!sameNode(a, b))
        return false;
    if (!a || (a->children.isEmpty() && !a->glyph.condition))
        return true;
    std::vector<std::pair<const ParseNode*, const ParseNode*>> pending{{a, b}};
    while (!pending.empty()) {
        const ParseNode* x = pending.back().first;
        const ParseNode* y = pending.back().second;
        pending.pop_back();
        if (!sameNode(x, y))
            return false;
        if (!x)
            continue;
        if (x->type == ParseNode::Leaf)
            pending.emplace_back(x->glyph.condition, y->glyph.condition);
        for (int i = 0; i < x->children.size(); ++i)
            pending.emplace_back(x->children.at(i), y->children.at(i));
    }
    return true;
}

namespace {

// Whether a leaf carries what its printed text leaves out.
bool beyondText(const BinItem& glyph)
{
    return glyph.mode == NONE || (glyph.condition && glyph.quantifier != 0) || !glyph.children.isEmpty();
}

} // namespace

QString LabelRelations::key(const ParseNode* label)
{
    // Most labels are one plain leaf: their text is their key.
    bool needed = label->ignoreBindings;
    std::vector<const ParseNode*> pending{label};
    while (!needed && !pending.empty()) {
        const ParseNode* node = pending.back();
        pending.pop_back();
        needed = node->type == ParseNode::Leaf && beyondText(node->glyph);
        for (const ParseNode* child : node->children)
            pending.push_back(child);
    }
    if (!needed)
        return label->toString();

    // The parts the text leaves out, leaf by leaf in pre-order; each leaf
    // also gives the length of its name, which the text runs together with
    // its condition.
    QString extra;
    pending.assign(1, label);
    while (!pending.empty()) {
        const ParseNode* node = pending.back();
        pending.pop_back();
        if (node->type == ParseNode::Leaf) {
            const BinItem& glyph = node->glyph;
            extra += QLatin1Char('[') + QString::number(glyph.name.size());
            if (glyph.mode == NONE)
                extra += QStringLiteral("|exact");
            if (glyph.condition && glyph.quantifier != 0)
                extra += QStringLiteral("|q") + QString::number(glyph.quantifier);
            if (!glyph.children.isEmpty()) {
                extra += QLatin1Char('<');
                for (const BinItem& child : glyph.children)
                    extra += QString::number(child.name.size()) + QLatin1Char(':') + child.name + QLatin1Char(';');
                extra += QLatin1Char('>');
            }
            extra += QLatin1Char(']');
        }
        for (int i = node->children.size() - 1; i >= 0; --i)
            pending.push_back(node->children.at(i));
    }
    if (label->ignoreBindings)
        extra += QStringLiteral("|unbound");
    return label->toString() + QChar(0x1f) + extra;
}
