#pragma once

#include <QList>
#include <QString>

#include "core/THash.h"
#include "core/TVariant.h"
#include "items/BinItem.h"

class Packet;

// One node of the pattern language. The same class holds condition trees
// (comparisons, constants, and, or, not), pattern trees (glyph leaves under
// sequence, choice, negation and repetitions) and automaton edge labels.
//
// Ownership: a node owns its children. A Leaf also owns the condition tree of
// its embedded glyph and the conditions of the glyphs stacked under it
// (glyph.children, at every depth), while a BinItem elsewhere only shares a
// condition. So a glyph from the store must enter a leaf through setGlyph(),
// which clones its conditions; assigning `glyph` directly hands the leaf the
// conditions it holds (right for a freshly parsed glyph, wrong for a store
// glyph).
//
// Deep or long trees (a long "&&" chain groups to the right) are copied,
// destroyed, evaluated and printed without recursing along the chain.
class ParseNode
{
public:
    enum Type {
        Epsilon = 0,  // automaton step that consumes nothing
        Test = 1,     // a comparison, or without a name the constant true (1) / false (0)
        And = 2,      // conditions: all hold; patterns: sequence
        Or = 3,       // conditions: one holds; patterns: choice
        Not = 4,
        Star = 5,
        Plus = 6,
        Leaf = 7,     // one item matching `glyph`
        Repeat = 8,   // `value` is the pair (min, max); max -1 = unbounded
        Group = 9     // editor box; with children a repetition waiting for its operator
    };

    enum Operator {
        Equal = 0,
        GreaterEqual = 1,
        Greater = 2,
        LessEqual = 3,
        Less = 4,
        NotEqual = 5,
        Contains = 6,
        NotContains = 7,
        OneOf = 8
    };

    explicit ParseNode(int type);
    // Deep copy; the copy's parentNode is the source's parent (it is not in
    // that parent's child list). Clear it when the copy becomes a root.
    ParseNode(const ParseNode& other);
    ParseNode& operator=(const ParseNode& other) = delete;
    ~ParseNode();

    void addChild(ParseNode* child);
    // index 0 .. child count; the child is inserted before that position.
    void insertChild(int index, ParseNode* child);
    // Detaches the child (the caller owns it afterwards); logs "child not
    // found" and changes nothing when it is not a child of this node.
    void removeChild(ParseNode* child);
    ParseNode* parent() const;
    bool hasChildren() const;
    bool isRepetition() const;
    // A new heap copy of the subtree; its root keeps this node's parent
    // pointer, every copied child points at its copied parent. A copy that
    // runs out of memory frees what it made (so does the copy constructor).
    ParseNode* clone() const;

    // Replaces the embedded glyph by a copy of `glyph` that owns clones of
    // its conditions (the caller keeps `glyph` and its trees); the conditions
    // the node held before are freed. Out of memory before they are freed,
    // the node is unchanged; after, its glyph may be partly replaced and
    // holds no condition.
    void setGlyph(const BinItem& glyph);

    // Truth of a condition tree for one event. `attributes` maps attribute
    // names to columns (needed for comparisons); `bindings` holds the values
    // of "?name" variables during one match attempt and may be null.
    bool evaluate(const Packet* event, const THash<QString, int>* attributes,
                  THash<QString, TVariant>* bindings) const;
    // Looks up, once, the columns of the attributes that this tree (and the
    // conditions of its glyphs) compares in `attributes`, so that evaluating
    // it with that map reads them instead of looking each name up. The map
    // must stay as it is until the tree is evaluated with it for the last
    // time; copies of the tree start without them.
    void resolveColumns(const THash<QString, int>* attributes);
    // The column evaluation with that map reads `name` from (-1: none).
    int columnIn(const THash<QString, int>* attributes) const;
    // Whether this is a comparison of an attribute with a constant by "=="
    // (no variable, no range): it holds for an event exactly when the
    // attribute's column exists and equalsValue() of the event's value there.
    bool isPlainEquality() const;
    bool equalsValue(const TVariant& attributeValue) const;
    // Text form of the subtree; a printed condition reads back through the
    // condition parser as the same condition.
    QString toString() const;
    bool needsParentheses() const;

    // "" for a code outside 0..8; -1 for a text that is no operator.
    static QString operatorToString(int op);
    static int operatorFromString(const QString& text);

    QList<ParseNode*> children;
    TVariant value;
    qint32 type = Epsilon;
    qint32 op = Equal;
    QString name;
    BinItem glyph;
    bool isVariable = false;
    bool ignoreBindings = false;
    ParseNode* parentNode = nullptr;

private:
    // The map resolveColumns() was given and the column of `name` in it.
    const THash<QString, int>* resolvedIn = nullptr;
    qint32 resolvedColumn = -1;

    bool compare(const Packet* event, const THash<QString, int>* attributes,
                 THash<QString, TVariant>* bindings) const;
    void appendText(QString& out, bool lastOperand) const;
    QString testText() const;
    // Copies every field but the children and the parent; the copy owns
    // clones of the glyph's conditions.
    ParseNode* shallowCopy() const;
    // Into a new node, whose glyph holds no condition: when it runs out of
    // memory the glyph holds only conditions the node owns.
    void copyFieldsFrom(const ParseNode& other);
    // Replaces every condition pointer of the glyph and its stack by a
    // clone; when a clone cannot be made, the clones made are freed and
    // every pointer is null.
    static void cloneConditions(BinItem& glyph);
    static void deleteConditions(BinItem& glyph);
    // Clears the condition pointers without freeing them.
    static void forgetConditions(BinItem& glyph);
};
