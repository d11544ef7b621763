#pragma once

#include <QString>

class ParseNode;

// What edge labels, and the glyph conditions inside them, say about each
// other: when one label holds for every item that satisfies another (cover),
// and when two labels are one label (key, same).
//
// A label is judged by what RuleMatcher::evalLabel makes of it for one item
// (a glyph leaf by matchGlyph: names, stacked names, the exact-combination
// mode, the condition under its quantifier), a condition by what
// ParseNode::evaluate makes of it for one event. "Covers" is only answered
// yes when it holds for every item, and every label covers itself, so the
// subset construction built on it accepts exactly what the nondeterministic
// automaton accepts. Questions too large to settle within a fixed number of
// steps are answered no, which is always safe.
class LabelRelations
{
public:
    // Whether label a holds for every item that satisfies label b. An
    // epsilon label covers only epsilon labels and is covered only by them.
    static bool covers(const ParseNode* a, const ParseNode* b);

    // The identity of a label: its printed text, followed by what matching
    // reads and the text leaves out (the glyphs' stacked names, the
    // exact-combination mode, a condition's quantifier, the complement's
    // unbound evaluation) when a label has any of it. Labels without such
    // parts keep their printed text as their key.
    static QString key(const ParseNode* label);

    // Whether two trees are the same label or condition, node for node.
    static bool same(const ParseNode* a, const ParseNode* b);
};
