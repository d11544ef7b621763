#pragma once

#include <QIcon>
#include <QString>

#include "items/BinItem.h"

class ParseNode;
class QBrush;
class QPainter;
class QPen;
class StringScanner;

// A named rewrite rule over glyph sequences: the precondition `pre` is matched
// against a trace's glyphs, the rewrite `post` stands for a match. A rule is
// listed and drawn like a glyph (name, visibility, a picture of its trees).
//
// A Rule owns both trees: the constructor takes them over, copies copy them
// deeply (a null tree stays null) and the destructor frees them. A side
// that is a sequence draws its elements in a row; any other tree (one bare
// item, a negation, a choice, a repetition, as rules files may hold them)
// draws as the one element it is. A rule without a precondition, or with a
// sequence of nothing as one, paints as a white area; one without a rewrite
// (a rules-file line that ends in the arrow) paints its precondition and
// the arrow. Neither has a single post glyph.
class Rule : public BinItem
{
public:
    // With no arguments: the empty rule, which stands for "no rule".
    explicit Rule(const QString& name = QString(), ParseNode* pre = nullptr,
                  ParseNode* post = nullptr, bool match = false, bool visible = false);
    Rule(const Rule& other);
    Rule& operator=(const Rule& other);
    ~Rule() override;

    // pre has exactly one child and post's root glyph is not a delete item.
    bool hasSinglePostGlyph() const;

    // The rule as one row: the items of pre, an arrow, the items of post,
    // shrunk one pixel at a time (down to size 1) until the row fits.
    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;
    QIcon icon(double w, double h) override;

    // Rule text form: the prefix text of a pattern tree in which rules are
    // stored ("&&[ A,... ][ B,... ]"). parse() returns the tree of a complete
    // text (the caller owns it) or null. The helpers read from the scanner's
    // position; parseExpression() and parseChild() give null when the text
    // cannot be completed or nests deeper than the reader allows.
    static ParseNode* parse(const QString& text);
    static ParseNode* parseExpression(StringScanner& scanner, int depth = 0);
    // Null for the word "epsilon" too; *failed tells the two apart.
    static ParseNode* parseChild(StringScanner& scanner, bool* failed = nullptr, int depth = 0);
    // One glyph item "[ name,label,(r;g;b),(r;g;b),(r;g;b),condition,shape,style,width ]",
    // optionally followed by ",quantifier". *ok is false when the item has no
    // "]", fewer than nine fields, or a condition that does not read.
    static BinItem parseGlyph(StringScanner& scanner, bool* ok = nullptr);
    static QColor parseColor(const QString& text);
    static QString colorToText(const QColor& color);
    // The fields of a glyph item without its brackets; the quantifier only
    // when it is not 0 or a mode follows, the mode only when the glyph is
    // neither a plain one nor an empty item (the "None" glyph of an exact
    // stack, for one).
    static QString glyphToText(const BinItem& glyph);
    // Look-ahead tests; none of them skips white space.
    static bool startsUnary(const StringScanner& scanner);
    static bool startsList(const StringScanner& scanner);
    static bool startsGlyph(const StringScanner& scanner);
    static bool startsTerm(const StringScanner& scanner);
    static bool hasMoreChildren(const StringScanner& scanner);

    // Printers: the text form above (read back by parse()) and the readable
    // form shown in the rule list ("A.(B||C)D"). A null tree prints as "".
    // An empty slot is written "[ ]" and an empty item carrying a glyph
    // stack (a stack waiting for its glyph) "[ ]<...>"; a group with
    // content and an empty item without a stack are left out.
    static QString treeToText(const ParseNode* root);
    static QString treeToDisplayText(const ParseNode* root);
    static QString displayText(const Rule& rule);
    QString displayText() const { return displayText(*this); }

    // The rules-file line "name~match~visible~pre --> post" of the rule's
    // trees as normalised() makes them, so that the line reads back as
    // those trees. A rewrite of nothing but empty slots (what "Create
    // rule.." gives) is written "&&", a precondition of nothing "&&[ ]"; a
    // rule without a rewrite tree ends in the arrow.
    static QString toString(const Rule& rule);
    QString toString() const { return toString(*this); }
    // Never fails: a side that does not read leaves that tree null (a short
    // or empty line gives a rule without trees). A rewrite side that is
    // "&&" alone reads as the empty rewrite, a sequence of one empty slot;
    // an empty rewrite side as no rewrite tree. *readable tells whether the
    // line holds a rule: four "~"-separated fields, a precondition that
    // reads (a bare "&&" does not), and a rewrite that reads, is "&&" or is
    // empty.
    static Rule fromString(const QString& line, bool* readable = nullptr);

    // A copy of a pattern tree (the caller owns it; null for null) without
    // what matching never reads, in the form a rules-file line keeps, so
    // that the rule editor saves what an export and an import give back:
    // - empty slots, groups whose repetition was never chosen, empty items
    //   without a glyph stack, and a star, plus or bounded repetition of
    //   nothing stand for nothing: a sequence leaves them out, a choice
    //   keeps each as an empty branch ("or nothing"), a choice and a
    //   sequence of nothing are nothing themselves;
    // - a glyph leaf loses the nodes it took over from a group or a
    //   negation (matching reads its glyph only), and its glyph stack is
    //   kept one level deep; a delete leaf becomes the plain delete item;
    // - a negation tests one item against its first child only: the others
    //   go, and inside it whatever holds for no item (an empty slot, a
    //   group, a repetition of nothing) becomes an empty slot; a negation
    //   of nothing, which holds for no item, becomes the negation of "![ ]"
    //   (which holds for every item);
    // - a tree of nothing becomes the editor's empty pattern, a sequence of
    //   one empty slot, or as a rewrite the sequence of one empty item that
    //   "Create rule.." gives its filter rule.
    static ParseNode* normalised(const ParseNode* tree, bool rewrite);

    bool match = false;
    ParseNode* pre = nullptr;
    ParseNode* post = nullptr;
    qint32 margin = 3;        // left margin and gap between drawn items
    qint32 itemSize = 40;     // first glyph size paint() tries
    qint32 halfItemSize = 20; // vertical allowance of paint()'s fit test

private:
    bool paintable() const;
};
