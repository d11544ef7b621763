#include "patterns/Rule.h"

#include <QBrush>
#include <QPainter>
#include <QPen>
#include <QPixmap>

#include <algorithm>
#include <memory>

// A rule is laid out by the pattern editor that draws its two trees.
#include "editors/MapWidget.h"
#include "items/ArrowItem.h"
#include "items/EmptyItem.h"
#include "patterns/ParseNode.h"

#include <QDebug>
#include <QRegExp>
#include <QStringList>
#include <QVector>

#include "core/OnExit.h"
#include "core/StringScanner.h"
#include "core/TVariant.h"
#include "patterns/ConditionParser.h"
#include "patterns/QueryTokens.h"

namespace {

// A deep copy that becomes a stored root: it hangs under nothing.
ParseNode* copyRoot(const ParseNode* tree)
{
    if (!tree)
        return nullptr;
    ParseNode* copy = tree->clone();
    copy->parentNode = nullptr;
    return copy;
}

void deleteAll(TList<BinItem*>& row)
{
    for (BinItem* item : row.items)
        delete item;
    row.clear();
}

// What a side of a rule draws, left to right: the elements of a sequence,
// or any other tree (one bare item, a negation, a choice, a repetition) as
// the one element it is. Empty for no tree and for a sequence of nothing.
QList<ParseNode*> drawnElements(ParseNode* side)
{
    if (!side)
        return {};
    if (side->type == ParseNode::And)
        return side->children;
    return {side};
}

} // namespace

Rule::Rule(const QString& name, ParseNode* pre, ParseNode* post, bool match, bool visible)
    : BinItem(nullptr, nullptr),
      match(match),
      pre(pre),
      post(post),
      margin(3),
      itemSize(int(matrixItemSize)),
      halfItemSize(int(matrixItemSize * 0.5))
{
    this->visible = visible;
    this->name = name;
    // Stored trees are roots, also when they were cloned out of a larger tree.
    if (pre)
        pre->parentNode = nullptr;
    if (post)
        post->parentNode = nullptr;
}

Rule::Rule(const Rule& other)
    : BinItem(other),
      match(other.match),
      margin(other.margin),
      itemSize(other.itemSize),
      halfItemSize(other.halfItemSize)
{
    // Both trees are copied before the rule holds either: a copy that runs
    // out of memory frees the other.
    std::unique_ptr<ParseNode> newPre(copyRoot(other.pre));
    std::unique_ptr<ParseNode> newPost(copyRoot(other.post));
    pre = newPre.release();
    post = newPost.release();
}

Rule& Rule::operator=(const Rule& other)
{
    if (this == &other)
        return *this;
    // Copy before freeing our own trees, so a failure leaves them intact
    // and frees the copies.
    std::unique_ptr<ParseNode> newPre(copyRoot(other.pre));
    std::unique_ptr<ParseNode> newPost(copyRoot(other.post));
    BinItem::operator=(other);
    delete pre;
    delete post;
    pre = newPre.release();
    post = newPost.release();
    match = other.match;
    margin = other.margin;
    itemSize = other.itemSize;
    halfItemSize = other.halfItemSize;
    return *this;
}

Rule::~Rule()
{
    delete pre;
    delete post;
}

bool Rule::paintable() const
{
    return !drawnElements(pre).isEmpty();
}

bool Rule::hasSinglePostGlyph() const
{
    if (!pre || !pre->hasChildren() || !post)
        return false;
    return pre->children.size() == 1 && post->glyph.mode != DELETE;
}

void Rule::paint(QPainter* painter, QPen& pen, QBrush& brush)
{
    const double w = width();
    const double h = height();
    painter->fillRect(QRectF(0, 0, w, h), Qt::white);
    if (!paintable())
        return;

    // A window-less editor lends its layout; our trees stay ours.
    MapWidget layout(false, nullptr, nullptr);
    layout.resize(int(w), int(h));
    const int yc = int(h * 0.5);

    TList<BinItem*> row;
    // The items made go also when memory runs out on the way.
    OnExit freeRow([&row]() { deleteAll(row); });
    // Shrink the glyphs one pixel at a time until the row fits; size 1 is
    // drawn as it is. Only the glyph size changes: the spacing stays the
    // margin, and empty slots and operator labels keep the layout's sizes.
    for (int s = std::max(itemSize, 1);; --s) {
        layout.gap = margin;
        layout.itemSize = s;

        auto layOut = [&](ParseNode* side, double x) {
            for (ParseNode* child : drawnElements(side)) {
                TList<BinItem*> items;
                OnExit freeItems([&items]() { deleteAll(items); });
                layout.layoutTree(child, items, x, yc, yc);
                if (!items.isEmpty())
                    x = int(margin + items.last()->right());
                row.append(items);
                items.clear();
            }
            return x;
        };

        double x = layOut(pre, margin);

        std::unique_ptr<ArrowItem> arrow(new ArrowItem(nullptr));
        arrow->setWidth(s);
        arrow->setHeight(s);
        const double arrowX = row.isEmpty() ? x : margin + int(margin + row.last()->right());
        arrow->setX(arrowX);
        arrow->setY(yc - s * 0.5);
        row.append(arrow.get());
        const ArrowItem* placed = arrow.release();
        x = int(arrowX + placed->width());

        // A rule read without a rewrite shows its precondition and the arrow.
        x = layOut(post, x);

        const bool fits = x <= w && halfItemSize + layout.subtreeExtent(pre) <= h;
        if (fits || s <= 1) {
            for (BinItem* item : row.items)
                item->paint(painter, pen, brush);
            deleteAll(row);
            return;
        }
        deleteAll(row);
    }
}

QIcon Rule::icon(double w, double h)
{
    QPixmap pixmap{int(w), int(h)};
    const double oldX = x;
    const double oldY = y;
    const double oldWidth = storedWidth;
    const double oldHeight = storedHeight;
    // The rule's own place and size come back also when memory runs out.
    OnExit restore([&]() {
        setPos(QPointF(oldX, oldY));
        setWidth(oldWidth);
        setHeight(oldHeight);
    });
    setPos(QPointF(0, 0));
    setWidth(w);
    setHeight(h);

    if (!pixmap.isNull()) {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing, true);
        QPen pen;
        QBrush brush;
        paint(&painter, pen, brush);
        painter.end();
    }
    return QIcon(pixmap);
}

// ---------------------------------------------------------------------------
// Rule text form (prefix notation of a pattern tree) and the rules-file line.
// ---------------------------------------------------------------------------

namespace {
namespace ruletext {

const QString kEpsilon = QStringLiteral("epsilon");
// An empty slot, and with a glyph stack behind it an empty item that
// carries the stack.
const QString kEmptyItem = QStringLiteral("[ ]");
const QString kDelete = QStringLiteral("delete");
const QString kStackSeparator = QStringLiteral(";");
const QString kArrow = QStringLiteral(" --> ");
const QString kFieldSeparator = QStringLiteral("~");
const QString kTrue = QStringLiteral("true");
const QString kFalse = QStringLiteral("false");

// Deeper nesting gives no tree, so hostile text cannot exhaust the stack.
const int kMaxDepth = 1000;

// The scanner's match state lives in the expression, so every skip works on
// its own copy and parses on other threads never share one.
void skipWhitespace(StringScanner& scanner)
{
    // The expression can only match where a blank, tab or line break stands.
    if (!scanner.hasMore())
        return;
    const QChar c = scanner.text.at(scanner.position);
    if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n')
        && c != QLatin1Char('\r'))
        return;
    QRegExp whitespace = QueryTokens::WHITESPACE;
    if (scanner.lookingAt(whitespace))
        scanner.take(whitespace);
}

// A parsed glyph owns the conditions it holds until a leaf takes it over;
// a glyph that is dropped must free them.
void freeConditions(BinItem& glyph)
{
    delete glyph.condition;
    glyph.condition = nullptr;
    for (BinItem& child : glyph.children.items)
        freeConditions(child);
}

// Clears the condition pointers of a glyph that shares them, without
// freeing them.
void forgetConditions(BinItem& glyph)
{
    glyph.condition = nullptr;
    for (BinItem& child : glyph.children.items)
        forgetConditions(child);
}

int readInt(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? value : 0;
}

// Repetition bounds print truncated; a bound that is no number prints 0.
QString boundText(double bound)
{
    if (!(bound == bound))
        return QStringLiteral("0");
    return QString::number(qint64(qBound(-2147483648.0, bound, 2147483647.0)));
}

// The glyph stack "<[...];[...]>" that may follow an item, into the glyph's
// children; false (the glyph's conditions freed) when an item of it does
// not read.
bool readStack(StringScanner& scanner, BinItem& glyph)
{
    skipWhitespace(scanner);
    if (scanner.lookingAt(QueryTokens::LT)) {
        scanner.take(QueryTokens::LT);
        TList<BinItem> stack;
        // The items read so far own their conditions until the glyph takes
        // them; out of memory they are freed.
        OnExit freeStack([&stack] {
            for (BinItem& item : stack.items)
                freeConditions(item);
        });
        while (scanner.lookingAt(QueryTokens::LBRACKET)) {
            bool ok = false;
            BinItem child = Rule::parseGlyph(scanner, &ok);
            OnExit freeChild([&child] { freeConditions(child); });
            if (!ok) {
                freeConditions(glyph);
                return false;
            }
            stack.items.push_back(child);
            freeChild.dismiss();
            if (scanner.lookingAt(kStackSeparator))
                scanner.take(kStackSeparator);
        }
        glyph.children.items.swap(stack.items);
        // What the glyph held before (nothing, as read) goes with the stack.
        freeStack.dismiss();
    }
    if (scanner.lookingAt(QueryTokens::GT))
        scanner.take(QueryTokens::GT);
    skipWhitespace(scanner);
    return true;
}

// "[ ]", blanks or none between the brackets: an empty item. No file that
// read before holds one (no glyph item has fewer than nine fields).
bool takeEmptyItem(StringScanner& scanner)
{
    const int start = scanner.position;
    if (!scanner.lookingAt(QueryTokens::LBRACKET))
        return false;
    scanner.take(QueryTokens::LBRACKET);
    skipWhitespace(scanner);
    if (scanner.lookingAt(QueryTokens::RBRACKET)) {
        scanner.take(QueryTokens::RBRACKET);
        return true;
    }
    scanner.position = start;
    return false;
}

// A leaf that takes over the conditions the glyph holds; out of memory
// they are freed.
ParseNode* leafOf(BinItem& glyph)
{
    OnExit freeGlyph([&glyph] { freeConditions(glyph); });
    std::unique_ptr<ParseNode> node(new ParseNode(ParseNode::Leaf));
    try {
        node->glyph = glyph;
    } catch (...) {
        // Assigned half way: the node lets go of what the glyph still owns.
        forgetConditions(node->glyph);
        throw;
    }
    freeGlyph.dismiss();
    return node.release();
}

ParseNode* parseLeaf(StringScanner& scanner)
{
    if (takeEmptyItem(scanner)) {
        // An empty slot, or with a stack the empty item of a stack that
        // waits for its glyph.
        BinItem glyph = EmptyItem(false, nullptr);
        if (!readStack(scanner, glyph))
            return nullptr;
        if (glyph.children.isEmpty())
            return new ParseNode(ParseNode::Group);
        return leafOf(glyph);
    }
    bool ok = false;
    BinItem glyph = Rule::parseGlyph(scanner, &ok);
    // Its conditions are the glyph's until a leaf takes them over.
    OnExit freeGlyph([&glyph] { freeConditions(glyph); });
    if (!ok)
        return nullptr;
    if (!readStack(scanner, glyph))
        return nullptr;
    if (scanner.lookingAt(kDelete)) {
        scanner.take(kDelete);
        glyph.mode = DELETE;
        // The printer writes "[ delete ]": the word's item ends at one "]".
        skipWhitespace(scanner);
        if (scanner.lookingAt(QueryTokens::RBRACKET)) {
            scanner.take(QueryTokens::RBRACKET);
            skipWhitespace(scanner);
        }
    }
    if (glyph.mode == DELETE) {
        // A delete item is nothing but its mode, also when a glyph item
        // names the mode in its fields: it is written "[ delete ]" and must
        // read back as what it was read as.
        freeConditions(glyph);
        glyph = BinItem(nullptr, nullptr);
        glyph.mode = DELETE;
    }
    // A freshly parsed glyph: the leaf takes over the conditions it holds.
    freeGlyph.dismiss();
    return leafOf(glyph);
}

bool isPlaceholder(const BinItem& glyph)
{
    return glyph.mode == EMPTY || glyph.mode == EMPTYSMALL;
}

// An empty slot, and a leaf whose empty item carries a glyph stack: the
// text writes both.
bool isEmptySlot(const ParseNode* node)
{
    return node->type == ParseNode::Group && node->children.isEmpty();
}

bool isWaitingStack(const ParseNode* node)
{
    return node->type == ParseNode::Leaf && isPlaceholder(node->glyph)
           && !node->glyph.children.isEmpty();
}

bool leftOutOfText(const ParseNode* node)
{
    return node->type == ParseNode::Group || isPlaceholder(node->glyph);
}

QString repeatText(const ParseNode* node)
{
    const QPair<double, double> bounds = node->value.toPair();
    return QueryTokens::LBRACE + boundText(bounds.first) + QStringLiteral(",")
           + boundText(bounds.second) + QueryTokens::RBRACE;
}

QString bracketed(const BinItem& glyph)
{
    return QueryTokens::LBRACKET + QStringLiteral(" ") + Rule::glyphToText(glyph)
           + QStringLiteral(" ") + QueryTokens::RBRACKET;
}

// "<[ ... ];[ ... ]>" for a glyph with child items; one level only.
QString stackText(const BinItem& glyph)
{
    if (glyph.children.isEmpty())
        return QString();
    QStringList stacked;
    for (const BinItem& child : glyph.children.items)
        stacked.append(bracketed(child));
    return QueryTokens::LT + stacked.join(kStackSeparator) + QueryTokens::GT;
}

// ---- Normalising a tree for saving (Rule::normalised) ----

ParseNode* emptySlot()
{
    return new ParseNode(ParseNode::Group);
}

// Adds a child made for the parent, which then owns it; freed when memory
// runs out before the parent holds it. The nodes below are made the same
// way: what is made goes again when memory runs out on the way.
void adopt(ParseNode* parent, ParseNode* child)
{
    std::unique_ptr<ParseNode> held(child);
    parent->addChild(child);
    held.release();
}

// The rewrite of nothing: one empty item, as "Create rule.." makes it.
ParseNode* emptyRewrite()
{
    std::unique_ptr<ParseNode> root(new ParseNode(ParseNode::And));
    std::unique_ptr<ParseNode> item(new ParseNode(ParseNode::Leaf));
    item->setGlyph(EmptyItem(false, nullptr));
    adopt(root.get(), item.release());
    return root.release();
}

// The leaf alone, its glyph stack one level deep; null for an empty item
// without a stack.
ParseNode* normalisedLeaf(const ParseNode* leaf)
{
    if (leaf->glyph.mode != DELETE && isPlaceholder(leaf->glyph) && leaf->glyph.children.isEmpty())
        return nullptr;
    std::unique_ptr<ParseNode> node(new ParseNode(ParseNode::Leaf));
    if (leaf->glyph.mode == DELETE) {
        // The text keeps nothing of a delete item but its mode.
        node->glyph.mode = DELETE;
        return node.release();
    }
    // Shares the source's conditions until setGlyph clones the ones kept.
    BinItem glyph = isPlaceholder(leaf->glyph) ? BinItem(EmptyItem(false, nullptr)) : leaf->glyph;
    glyph.children = leaf->glyph.children;
    for (BinItem& child : glyph.children.items)
        child.children.clear();
    node->setGlyph(glyph);
    return node.release();
}

ParseNode* normalisedTest(const ParseNode* node);

// What holds for no item, as the negation of what holds for every item.
ParseNode* nothing()
{
    std::unique_ptr<ParseNode> every(new ParseNode(ParseNode::Not));
    adopt(every.get(), emptySlot());
    return every.release();
}

// A negation: its first child as an item test.
ParseNode* normalisedNegation(const ParseNode* node)
{
    std::unique_ptr<ParseNode> negation(new ParseNode(ParseNode::Not));
    adopt(negation.get(), node->children.isEmpty() ? nothing() : normalisedTest(node->children.first()));
    return negation.release();
}

// What a negation tests one item against: a glyph, a negation, all or one
// of a list of tests; anything else holds for no item and is kept only
// when it writes readably. Never null.
ParseNode* normalisedTest(const ParseNode* node)
{
    switch (node->type) {
    case ParseNode::Leaf: {
        ParseNode* leaf = normalisedLeaf(node);
        return leaf ? leaf : emptySlot();
    }
    case ParseNode::Not:
        return normalisedNegation(node);
    case ParseNode::And:
    case ParseNode::Or: {
        if (node->children.isEmpty()) {
            // All of no test holds, one of them does not.
            return node->type == ParseNode::Or ? emptySlot() : nothing();
        }
        std::unique_ptr<ParseNode> list(new ParseNode(node->type));
        for (const ParseNode* child : node->children)
            adopt(list.get(), normalisedTest(child));
        return list.release();
    }
    case ParseNode::Star:
    case ParseNode::Plus:
    case ParseNode::Repeat: {
        if (node->children.isEmpty())
            return emptySlot();
        std::unique_ptr<ParseNode> repetition(new ParseNode(node->type));
        repetition->value = node->value;
        adopt(repetition.get(), normalisedTest(node->children.first()));
        return repetition.release();
    }
    default:
        return emptySlot();
    }
}

// A pattern as matching reads it; null for one that stands for nothing.
ParseNode* normalisedPattern(const ParseNode* node)
{
    switch (node->type) {
    case ParseNode::Leaf:
        return normalisedLeaf(node);
    case ParseNode::Not:
        return normalisedNegation(node);
    case ParseNode::Star:
    case ParseNode::Plus:
    case ParseNode::Repeat: {
        std::unique_ptr<ParseNode> body(node->children.isEmpty() ? nullptr
                                                                 : normalisedPattern(node->children.first()));
        if (!body)
            return nullptr;
        std::unique_ptr<ParseNode> repetition(new ParseNode(node->type));
        repetition->value = node->value;
        adopt(repetition.get(), body.release());
        return repetition.release();
    }
    case ParseNode::And:
    case ParseNode::Or: {
        std::unique_ptr<ParseNode> list(new ParseNode(node->type));
        bool any = false;
        for (const ParseNode* child : node->children) {
            ParseNode* kept = normalisedPattern(child);
            any = any || kept;
            if (kept)
                adopt(list.get(), kept);
            else if (node->type == ParseNode::Or)
                adopt(list.get(), emptySlot());
        }
        if (!any)
            return nullptr;
        return list.release();
    }
    default:
        // Empty slots, groups without their repetition, and what the
        // editor never holds.
        return nullptr;
    }
}

} // namespace ruletext
} // namespace

ParseNode* Rule::parse(const QString& text)
{
    StringScanner scanner(text);
    std::unique_ptr<ParseNode> tree(parseExpression(scanner));
    if (!tree || scanner.hasMore())
        return nullptr;
    return tree.release();
}

ParseNode* Rule::parseExpression(StringScanner& scanner, int depth)
{
    using namespace ruletext;
    if (depth >= kMaxDepth)
        return nullptr;
    skipWhitespace(scanner);

    int unary = -1;
    if (scanner.lookingAt(QueryTokens::STAR))
        unary = ParseNode::Star;
    else if (scanner.lookingAt(QueryTokens::PLUS))
        unary = ParseNode::Plus;
    else if (scanner.lookingAt(QueryTokens::NOT))
        unary = ParseNode::Not;
    if (unary >= 0) {
        scanner.take(1);
        std::unique_ptr<ParseNode> child(parseExpression(scanner, depth + 1));
        if (!child)
            return nullptr;
        std::unique_ptr<ParseNode> node(new ParseNode(unary));
        adopt(node.get(), child.release());
        return node.release();
    }

    if (scanner.lookingAt(QueryTokens::LBRACE)) {
        scanner.take(QueryTokens::LBRACE);
        skipWhitespace(scanner);
        QString bounds = scanner.takeThrough(QueryTokens::RBRACE);
        // Without "}" the scanner has gone back to the start: give up rather
        // than read the text again.
        if (!bounds.endsWith(QueryTokens::RBRACE))
            return nullptr;
        bounds.chop(1);
        const QStringList parts = bounds.split(QStringLiteral(","));
        if (parts.size() < 2)
            return nullptr;
        std::unique_ptr<ParseNode> child(parseExpression(scanner, depth + 1));
        if (!child)
            return nullptr;
        std::unique_ptr<ParseNode> node(new ParseNode(ParseNode::Repeat));
        node->value = TVariant(double(readInt(parts.at(0))), double(readInt(parts.at(1))));
        adopt(node.get(), child.release());
        return node.release();
    }

    int list = -1;
    if (scanner.lookingAt(QueryTokens::AND))
        list = ParseNode::And;
    else if (scanner.lookingAt(QueryTokens::OR))
        list = ParseNode::Or;
    if (list < 0)
        return parseLeaf(scanner);

    scanner.take(2);
    std::unique_ptr<ParseNode> first(parseExpression(scanner, depth + 1));
    if (!first)
        return nullptr;
    std::unique_ptr<ParseNode> node(new ParseNode(list));
    adopt(node.get(), first.release());
    while (hasMoreChildren(scanner)) {
        bool failed = false;
        ParseNode* child = parseChild(scanner, &failed, depth + 1);
        if (failed)
            return nullptr;
        if (child)
            adopt(node.get(), child);
    }
    // A list that does not end its side is closed by ")" (older files have
    // none, so it is optional).
    if (scanner.lookingAt(QueryTokens::RPAREN)) {
        scanner.take(QueryTokens::RPAREN);
        skipWhitespace(scanner);
    }
    return node.release();
}

ParseNode* Rule::parseChild(StringScanner& scanner, bool* failed, int depth)
{
    ruletext::skipWhitespace(scanner);
    if (startsTerm(scanner)) {
        ParseNode* child = parseExpression(scanner, depth);
        if (!child && failed)
            *failed = true;
        return child;
    }
    if (scanner.lookingAt(ruletext::kEpsilon))
        scanner.take(ruletext::kEpsilon);
    return nullptr;
}

BinItem Rule::parseGlyph(StringScanner& scanner, bool* ok)
{
    if (ok)
        *ok = false;
    if (scanner.lookingAt(QueryTokens::LBRACKET))
        scanner.take(QueryTokens::LBRACKET);
    ruletext::skipWhitespace(scanner);

    BinItem glyph(nullptr, nullptr);
    if (scanner.lookingAt(ruletext::kDelete)) {
        // The word is left for the leaf, which turns the whole item into a
        // delete item.
        glyph.mode = DELETE;
        if (ok)
            *ok = true;
        return glyph;
    }

    QString item = scanner.takeThrough(QueryTokens::RBRACKET);
    if (!item.endsWith(QueryTokens::RBRACKET))
        return glyph;
    item.chop(1);
    const QStringList fields = item.trimmed().split(QStringLiteral(","), Qt::KeepEmptyParts);
    if (fields.size() < 9)
        return glyph;

    // "true" (or nothing) is no condition. A condition that does not read
    // (a broken comparison, nesting too deep) gives no glyph at all: read as
    // no condition, the glyph would match every event.
    const QString& condition = fields.at(5);
    if (condition != ruletext::kTrue && !condition.trimmed().isEmpty()) {
        glyph.condition = ConditionParser::parse(condition);
        if (!glyph.condition)
            return glyph;
    }
    glyph.name = fields.at(0);
    glyph.label = fields.at(1);
    glyph.fillColor = parseColor(fields.at(2));
    glyph.edgeColor = parseColor(fields.at(3));
    glyph.thirdColor = parseColor(fields.at(4));
    glyph.shape = ruletext::readInt(fields.at(6));
    glyph.edgeStyle = ruletext::readInt(fields.at(7));
    glyph.edgeWidth = ruletext::readInt(fields.at(8));
    glyph.quantifier = fields.size() >= 10 ? ruletext::readInt(fields.at(9)) : 0;
    if (fields.size() >= 11) {
        // An empty item has a form of its own ("[ ]"), never this field.
        const int mode = ruletext::readInt(fields.at(10));
        if (mode >= NORMAL && mode <= GROUP && mode != EMPTY && mode != EMPTYSMALL)
            glyph.mode = mode;
    }
    if (ok)
        *ok = true;
    return glyph;
}

QColor Rule::parseColor(const QString& text)
{
    // The enclosing characters are dropped whatever they are; missing or
    // unreadable parts read 0 and every part is kept within 0..255.
    const QStringList parts = text.mid(1, text.size() - 2).split(QStringLiteral(";"));
    int rgb[3] = {0, 0, 0};
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        rgb[i] = qBound(0, ruletext::readInt(parts.at(i)), 255);
    return QColor(rgb[0], rgb[1], rgb[2], 255);
}

QString Rule::colorToText(const QColor& color)
{
    return QStringLiteral("(") + QString::number(color.red()) + QStringLiteral(";")
           + QString::number(color.green()) + QStringLiteral(";")
           + QString::number(color.blue()) + QStringLiteral(")");
}

QString Rule::glyphToText(const BinItem& glyph)
{
    QStringList fields = {
        glyph.name,
        glyph.label,
        colorToText(glyph.fillColor),
        colorToText(glyph.edgeColor),
        colorToText(glyph.thirdColor),
        glyph.condition ? glyph.condition->toString() : ruletext::kTrue,
        QString::number(glyph.shape),
        QString::number(glyph.edgeStyle),
        QString::number(glyph.edgeWidth)};
    // The quantifier is a tenth field and the mode an eleventh, each
    // written only when needed, so that plain items keep their nine fields.
    const bool plain = glyph.mode == NORMAL || ruletext::isPlaceholder(glyph);
    if (glyph.quantifier != 0 || !plain)
        fields.append(QString::number(glyph.quantifier));
    if (!plain)
        fields.append(QString::number(glyph.mode));
    return fields.join(QStringLiteral(","));
}

bool Rule::startsUnary(const StringScanner& scanner)
{
    return scanner.lookingAt(QueryTokens::STAR) || scanner.lookingAt(QueryTokens::PLUS)
           || scanner.lookingAt(QueryTokens::NOT) || scanner.lookingAt(QueryTokens::LBRACE);
}

bool Rule::startsList(const StringScanner& scanner)
{
    return scanner.lookingAt(QueryTokens::AND) || scanner.lookingAt(QueryTokens::OR);
}

bool Rule::startsGlyph(const StringScanner& scanner)
{
    return scanner.lookingAt(QueryTokens::LBRACKET);
}

bool Rule::startsTerm(const StringScanner& scanner)
{
    return startsUnary(scanner) || startsList(scanner) || startsGlyph(scanner);
}

bool Rule::hasMoreChildren(const StringScanner& scanner)
{
    return startsTerm(scanner) || scanner.lookingAt(ruletext::kEpsilon);
}

QString Rule::treeToText(const ParseNode* root)
{
    using namespace ruletext;
    if (!root)
        return QString();

    // Pre-order with an explicit stack. A list ("&&"/"||") gets a slot after
    // its subtree; the slot becomes the terminator ")" only when more text
    // follows, since the reader would otherwise take that text into the list.
    struct Step {
        const ParseNode* node;
        bool listEnd;
    };
    QVector<Step> stack;
    QStringList pieces;
    QVector<bool> isListEnd;
    stack.append({root, false});
    while (!stack.isEmpty()) {
        const Step step = stack.takeLast();
        if (step.listEnd) {
            pieces.append(QString());
            isListEnd.append(true);
            continue;
        }
        const ParseNode* node = step.node;
        if (node->type == ParseNode::Epsilon || node->type == ParseNode::Test) {
            qDebug() << "hebben we deze nog?";
            continue;
        }
        QString text;
        if (isEmptySlot(node)) {
            text = kEmptyItem;
        } else if (isWaitingStack(node)) {
            text = kEmptyItem + stackText(node->glyph);
        } else if (leftOutOfText(node)) {
            continue;
        }

        switch (text.isEmpty() ? node->type : -1) {
        case ParseNode::Not:
            text = QueryTokens::NOT;
            break;
        case ParseNode::And:
            text = QueryTokens::AND;
            break;
        case ParseNode::Or:
            text = QueryTokens::OR;
            break;
        case ParseNode::Plus:
            text = QueryTokens::PLUS;
            break;
        case ParseNode::Star:
            text = QueryTokens::STAR;
            break;
        case ParseNode::Repeat:
            text = repeatText(node);
            break;
        case ParseNode::Leaf:
            if (node->glyph.mode == DELETE) {
                text = QueryTokens::LBRACKET + QStringLiteral(" ") + kDelete + QStringLiteral(" ")
                       + QueryTokens::RBRACKET;
                break;
            }
            text = bracketed(node->glyph) + stackText(node->glyph);
            break;
        default:
            break;
        }
        pieces.append(text);
        isListEnd.append(false);

        if (node->type == ParseNode::And || node->type == ParseNode::Or)
            stack.append({node, true});
        for (int i = node->children.size() - 1; i >= 0; --i)
            stack.append({node->children.at(i), false});
    }

    bool textFollows = false;
    for (int i = pieces.size() - 1; i >= 0; --i) {
        if (isListEnd.at(i)) {
            if (textFollows)
                pieces[i] = QueryTokens::RPAREN;
        } else if (!pieces.at(i).isEmpty()) {
            textFollows = true;
        }
    }
    return pieces.join(QString());
}

QString Rule::treeToDisplayText(const ParseNode* root)
{
    using namespace ruletext;
    if (!root)
        return QString();

    QString out;
    QVector<const ParseNode*> stack;
    stack.append(root);
    while (!stack.isEmpty()) {
        const ParseNode* node = stack.takeLast();
        if (node->type == ParseNode::Epsilon || node->type == ParseNode::Test
            || node->type == ParseNode::Not) {
            qDebug() << "hebben we deze nog?";
            continue;
        }
        if (leftOutOfText(node))
            continue;

        // The node handed in is the root, whatever its parent pointer says.
        const ParseNode* parent = node == root ? nullptr : node->parentNode;
        switch (node->type) {
        case ParseNode::Or:
            out += QStringLiteral("(");
            break;
        case ParseNode::And:
            if (parent)
                out += QStringLiteral("(");
            break;
        case ParseNode::Repeat:
            out += QStringLiteral("^") + repeatText(node);
            break;
        case ParseNode::Plus:
            out += QStringLiteral("^") + QueryTokens::PLUS;
            break;
        case ParseNode::Star:
            out += QStringLiteral("^") + QueryTokens::STAR;
            break;
        case ParseNode::Leaf: {
            out += node->glyph.name;
            const QString condition =
                node->glyph.condition ? node->glyph.condition->toString() : kTrue;
            if (condition != kTrue)
                out += QStringLiteral("[") + condition + QStringLiteral("]");
            if (parent && (parent->type == ParseNode::And || parent->type == ParseNode::Or)) {
                const bool last = !parent->children.isEmpty() && parent->children.last() == node;
                const bool rootSequence = parent->type == ParseNode::And && parent == root;
                if (last) {
                    if (!rootSequence)
                        out += QStringLiteral(")");
                } else {
                    out += parent->type == ParseNode::And ? QStringLiteral(".") : QueryTokens::OR;
                }
            }
            break;
        }
        default:
            break;
        }
        for (int i = node->children.size() - 1; i >= 0; --i)
            stack.append(node->children.at(i));
    }
    return out;
}

QString Rule::displayText(const Rule& rule)
{
    return treeToDisplayText(rule.pre) + ruletext::kArrow + treeToDisplayText(rule.post);
}

QString Rule::toString(const Rule& rule)
{
    using namespace ruletext;
    const std::unique_ptr<ParseNode> pre(normalised(rule.pre, false));
    const std::unique_ptr<ParseNode> post(normalised(rule.post, true));
    return rule.name + kFieldSeparator + (rule.match ? kTrue : kFalse) + kFieldSeparator
           + (rule.visible ? kTrue : kFalse) + kFieldSeparator + treeToText(pre.get()) + kArrow
           + treeToText(post.get());
}

ParseNode* Rule::normalised(const ParseNode* tree, bool rewrite)
{
    using namespace ruletext;
    if (!tree)
        return nullptr;
    ParseNode* kept = normalisedPattern(tree);
    if (kept)
        return kept;
    if (rewrite)
        return emptyRewrite();
    std::unique_ptr<ParseNode> root(new ParseNode(ParseNode::And));
    adopt(root.get(), emptySlot());
    return root.release();
}

Rule Rule::fromString(const QString& line, bool* readable)
{
    using namespace ruletext;
    // A short line (an empty one among them) reads its missing parts as
    // empty: the rule then has no trees, and the readers of rules files skip it.
    const QStringList parts = line.split(kFieldSeparator, Qt::KeepEmptyParts);
    const auto part = [&parts](int i) { return i < parts.size() ? parts.at(i) : QString(); };

    const QString trees = part(3);
    const int arrow = trees.indexOf(kArrow);
    const QString preText = arrow < 0 ? trees.trimmed() : trees.left(arrow).trimmed();
    // Without the arrow the rewrite side starts at the fifth character.
    const QString postText = trees.mid(arrow + kArrow.size()).trimmed();

    // Each tree is freed should the next step find no memory.
    std::unique_ptr<ParseNode> pre(parse(preText));
    std::unique_ptr<ParseNode> post;
    if (postText == QueryTokens::AND) {
        // The printer leaves empty items out, so a rewrite of nothing is
        // the list operator alone: it reads back as the rewrite "Create
        // rule.." gives, a sequence holding one empty item.
        post.reset(emptyRewrite());
    } else {
        post.reset(parse(postText));
    }
    if (readable)
        *readable = parts.size() >= 4 && pre && (post || postText.isEmpty());
    Rule rule(part(0), nullptr, nullptr, part(1) == kTrue, part(2) == kTrue);
    rule.pre = pre.release();
    rule.post = post.release();
    return rule;
}
