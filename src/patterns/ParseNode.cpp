#include "patterns/ParseNode.h"

#include <QDebug>
#include <QLocale>
#include <QStringList>

#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/Packet.h"
#include "patterns/QueryTokens.h"

ParseNode::ParseNode(int type)
    : type(type), glyph(nullptr, nullptr)
{
}

// Delegating makes the node complete before the copying starts, so that
// should the copying run out of memory, the destructor frees what was copied.
ParseNode::ParseNode(const ParseNode& other)
    : ParseNode(Epsilon)
{
    copyFieldsFrom(other);
    parentNode = other.parentNode;
    for (const ParseNode* child : other.children) {
        std::unique_ptr<ParseNode> copy(child->clone());
        addChild(copy.get());
        copy.release();
    }
}

ParseNode::~ParseNode()
{
    deleteConditions(glyph);
    // The nodes of the subtree wait for their turn in a stack chained
    // through their parent links, and each is deleted once its children are
    // taken away: a long chain costs no stack, and freeing the tree needs
    // no memory (the lists are only read, then let go of).
    ParseNode* pending = nullptr;
    const auto takeChildren = [&pending](ParseNode* node) {
        for (ParseNode* child : qAsConst(node->children)) {
            if (!child)
                continue;
            child->parentNode = pending;
            pending = child;
        }
        node->children.clear();
    };
    takeChildren(this);
    while (pending) {
        ParseNode* node = pending;
        pending = node->parentNode;
        takeChildren(node);
        node->parentNode = nullptr;
        delete node;
    }
}

void ParseNode::addChild(ParseNode* child)
{
    children.append(child);
    child->parentNode = this;
}

void ParseNode::insertChild(int index, ParseNode* child)
{
    children.insert(index, child);
    child->parentNode = this;
}

void ParseNode::removeChild(ParseNode* child)
{
    const int index = children.indexOf(child);
    if (index < 0) {
        qDebug() << "child not found";
        return;
    }
    children.removeAt(index);
    child->parentNode = nullptr;
}

ParseNode* ParseNode::parent() const
{
    return parentNode;
}

bool ParseNode::hasChildren() const
{
    return !children.isEmpty();
}

bool ParseNode::isRepetition() const
{
    return type == Star || type == Plus || (type == Group && hasChildren());
}

ParseNode* ParseNode::clone() const
{
    // Every copied node is in the copied tree as soon as it is made, and
    // the tree goes as a whole when a later copy runs out of memory.
    std::unique_ptr<ParseNode> copy(shallowCopy());
    copy->parentNode = parentNode;
    // Copy level by level with an explicit stack: deep trees cost no stack.
    std::vector<std::pair<const ParseNode*, ParseNode*>> pending;
    pending.emplace_back(this, copy.get());
    while (!pending.empty()) {
        const ParseNode* source = pending.back().first;
        ParseNode* target = pending.back().second;
        pending.pop_back();
        for (const ParseNode* child : source->children) {
            std::unique_ptr<ParseNode> childCopy(child->shallowCopy());
            target->addChild(childCopy.get());
            pending.emplace_back(child, childCopy.release());
        }
    }
    return copy.release();
}

void ParseNode::setGlyph(const BinItem& newGlyph)
{
    BinItem copy(newGlyph);
    cloneConditions(copy);
    deleteConditions(glyph);
    try {
        glyph = copy;
    } catch (...) {
        // Assigned half way: the node keeps no condition, the clones go.
        forgetConditions(glyph);
        deleteConditions(copy);
        throw;
    }
}

void ParseNode::resolveColumns(const THash<QString, int>* attributes)
{
    std::vector<ParseNode*> pending{this};
    std::vector<BinItem*> glyphs;
    while (!pending.empty()) {
        ParseNode* node = pending.back();
        pending.pop_back();
        node->resolvedIn = attributes;
        node->resolvedColumn = attributes && !node->name.isEmpty() ? attributes->value(node->name, -1) : -1;
        for (ParseNode* child : qAsConst(node->children))
            pending.push_back(child);
        glyphs.assign(1, &node->glyph);
        while (!glyphs.empty()) {
            BinItem* glyph = glyphs.back();
            glyphs.pop_back();
            if (glyph->condition)
                pending.push_back(glyph->condition);
            for (BinItem& child : glyph->children.items)
                glyphs.push_back(&child);
        }
    }
}

ParseNode* ParseNode::shallowCopy() const
{
    std::unique_ptr<ParseNode> copy(new ParseNode(type));
    copy->copyFieldsFrom(*this);
    return copy.release();
}

void ParseNode::copyFieldsFrom(const ParseNode& other)
{
    value = other.value;
    type = other.type;
    op = other.op;
    name = other.name;
    isVariable = other.isVariable;
    ignoreBindings = other.ignoreBindings;
    // The glyph's condition pointers are shared at first, then replaced by
    // clones that this node owns. The glyph held none before (the node is
    // new), so a copy that stops half way leaves it none either.
    try {
        glyph = other.glyph;
    } catch (...) {
        forgetConditions(glyph);
        throw;
    }
    cloneConditions(glyph);
}

namespace {

// Replaces the condition pointers of the item and its stack, in pre-order,
// by clones; `made` counts those replaced.
void cloneEach(BinItem& item, int& made)
{
    if (item.condition) {
        ParseNode* copy = item.condition->clone();
        // A condition is a root of its own.
        copy->parentNode = nullptr;
        item.condition = copy;
        ++made;
    }
    for (BinItem& child : item.children.items)
        cloneEach(child, made);
}

// Undoes cloneEach() that stopped after `made` clones: those are freed, and
// the pointers after them, still the source's, are cleared.
void dropEach(BinItem& item, int& made)
{
    if (item.condition) {
        if (made > 0) {
            --made;
            delete item.condition;
        }
        item.condition = nullptr;
    }
    for (BinItem& child : item.children.items)
        dropEach(child, made);
}

} // namespace

void ParseNode::cloneConditions(BinItem& item)
{
    int made = 0;
    try {
        cloneEach(item, made);
    } catch (...) {
        dropEach(item, made);
        throw;
    }
}

void ParseNode::deleteConditions(BinItem& item)
{
    delete item.condition;
    item.condition = nullptr;
    for (BinItem& child : item.children.items)
        deleteConditions(child);
}

void ParseNode::forgetConditions(BinItem& item)
{
    item.condition = nullptr;
    for (BinItem& child : item.children.items)
        forgetConditions(child);
}

// ---------------------------------------------------------------------------
// Evaluation

bool ParseNode::evaluate(const Packet* event, const THash<QString, int>* attributes,
                         THash<QString, TVariant>* bindings) const
{
    if (!event)
        return false;
    // And/Or decide on the last child only when every earlier one left the
    // outcome open, so that child is evaluated in the loop instead of by a
    // nested call: a right-grouped chain costs no stack.
    const ParseNode* node = this;
    bool negate = false;
    while (true) {
        if (node->type == Test && node->name.isEmpty()) {
            const bool isFalse = (node->value.isNumber() || node->value.type == TVariant::Bool)
                                 && node->value.toDouble() == 0.0;
            return negate != !isFalse;
        }
        if (node->name.isEmpty() && node->children.isEmpty())
            return negate != true;
        if (node->type == Not && !node->children.isEmpty()) {
            negate = !negate;
            node = node->children.first();
            continue;
        }
        if (node->type == Or || node->type == And) {
            const bool decisive = (node->type == Or);  // the result that ends the scan
            const int last = node->children.size() - 1;
            if (last < 0)  // only a named list gets here: none decided
                return negate != !decisive;
            bool decided = false;
            for (int i = 0; i < last; ++i) {
                if (node->children.at(i)->evaluate(event, attributes, bindings) == decisive) {
                    decided = true;
                    break;
                }
            }
            if (decided)
                return negate != decisive;
            node = node->children.at(last);
            continue;
        }
        return negate != node->compare(event, attributes, bindings);
    }
}

namespace {

// text(a) == text(b) without building both texts in the common cases: two
// strings compare their UTF-8 bytes, two ints or two bools their numbers.
bool sameText(const TVariant& a, const TVariant& b)
{
    if (a.type == b.type) {
        switch (a.type) {
        case TVariant::String:
            return a.text == b.text;
        case TVariant::Int:
            return int(a.value) == int(b.value);
        case TVariant::Bool:
            return (a.value == 0.0) == (b.value == 0.0);
        default:
            break;
        }
    }
    // A missing value has the empty text, as only an empty string has.
    if (a.type == TVariant::None || b.type == TVariant::None) {
        const TVariant& other = a.type == TVariant::None ? b : a;
        return other.type == TVariant::None || (other.type == TVariant::String && other.text.isEmpty());
    }
    return a.toString() == b.toString();
}

// Texts are stored as UTF-8, in which one text contains another exactly when
// their bytes do.
bool containsText(const TVariant& a, const TVariant& b)
{
    if (a.type == TVariant::String && b.type == TVariant::String)
        return a.text.contains(b.text);
    return a.toString().contains(b.toString());
}

bool isAscii(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// "??=" over ASCII text without building strings: a part between "+" signs,
// trimmed of white space, equal to the wanted text.
bool oneOfAscii(const QByteArray& text, const QByteArray& wanted)
{
    const char* data = text.constData();
    const int size = text.size();
    int start = 0;
    while (start <= size) {
        int end = start;
        while (end < size && data[end] != '+')
            ++end;
        int from = start;
        int to = end;
        while (from < to && isAsciiSpace(data[from]))
            ++from;
        while (to > from && isAsciiSpace(data[to - 1]))
            --to;
        if (to - from == wanted.size() && std::memcmp(data + from, wanted.constData(), std::size_t(to - from)) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

int ParseNode::columnIn(const THash<QString, int>* attributes) const
{
    if (!attributes)
        return -1;
    return attributes == resolvedIn ? resolvedColumn : attributes->value(name, -1);
}

bool ParseNode::isPlainEquality() const
{
    return type == Test && !name.isEmpty() && !isVariable && op == Equal && value.isValid() && !value.isPair();
}

bool ParseNode::equalsValue(const TVariant& attributeValue) const
{
    return sameText(attributeValue, value);
}

bool ParseNode::compare(const Packet* event, const THash<QString, int>* attributes,
                        THash<QString, TVariant>* bindings) const
{
    if (!attributes)
        return false;
    // One lookup: an absent name and the column -1 both give false.
    const int column = columnIn(attributes);
    if (column < 0)
        return false;

    const TVariant& a = event->get(column);
    TVariant bound;
    const TVariant* compared = &value;

    if (isVariable) {
        if (!bindings)
            return false;
        const QString key = value.toString();
        if (!bindings->contains(key)) {
            // The first occurrence binds the variable and always holds.
            (*bindings)[key] = a;
            return true;
        }
        bound = bindings->value(key);
        compared = &bound;
    }
    const TVariant& v = *compared;

    if (!v.isValid()) {
        // An empty quoted value tests whether the event has the attribute.
        if (op == NotEqual)
            return a.isValid();
        return !a.isValid();
    }

    switch (op) {
    case Equal:
        if (v.isPair()) {
            const QPair<double, double> bounds = v.toPair();
            const double number = a.toDouble();
            return bounds.first <= number && number <= bounds.second;
        }
        return sameText(a, v);
    case GreaterEqual:
        return a.toDouble() >= v.toDouble();
    case Greater:
        return a.toDouble() > v.toDouble();
    case LessEqual:
        return a.toDouble() <= v.toDouble();
    case Less:
        return a.toDouble() < v.toDouble();
    case NotEqual:
        return !sameText(a, v);
    case Contains:
        return containsText(a, v);
    case NotContains:
        return !containsText(a, v);
    case OneOf: {
        if (a.type == TVariant::String && v.type == TVariant::String && isAscii(a.text))
            return oneOfAscii(a.text, v.text);
        const QString wanted = v.toString();
        const QStringList parts = a.toString().split(QueryTokens::PLUS);
        for (const QString& part : parts) {
            if (part.trimmed() == wanted)
                return true;
        }
        return false;
    }
    default:
        qDebug() << "operator not supported";
        return false;
    }
}

// ---------------------------------------------------------------------------
// Operators

QString ParseNode::operatorToString(int op)
{
    switch (op) {
    case Equal:
        return QueryTokens::EQ;
    case GreaterEqual:
        return QueryTokens::GE;
    case Greater:
        return QueryTokens::GT;
    case LessEqual:
        return QueryTokens::LE;
    case Less:
        return QueryTokens::LT;
    case NotEqual:
        return QueryTokens::NEQ;
    case Contains:
        return QueryTokens::CONTAINS;
    case NotContains:
        return QueryTokens::NOTCONTAINS;
    case OneOf:
        return QueryTokens::ONEOF;
    default:
        return QString();
    }
}

int ParseNode::operatorFromString(const QString& text)
{
    for (int op = Equal; op <= OneOf; ++op) {
        if (text == operatorToString(op))
            return op;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Printing

bool ParseNode::needsParentheses() const
{
    if ((type == And || type == Or) && children.size() >= 2)
        return true;
    for (const ParseNode* child : children) {
        if (child->hasChildren())
            return true;
    }
    return false;
}

QString ParseNode::toString() const
{
    QString out;
    appendText(out, true);
    return out;
}

namespace {

// Whether a name or value has to be quoted to read back as one word: white
// space and operator characters end a word, a leading "true"/"false" reads as
// a constant (in a name) and a leading "?" as a variable (in a value). A text
// with a double quote in it (and no blank) is left bare: inside quotes the
// quote would end it, while a bare word may hold one.
bool needsQuotes(const QString& text, bool isName)
{
    // A blank is always quoted, as the printed form has always done; with a
    // double quote in it as well, no form reads back.
    if (text.contains(QLatin1Char(' ')))
        return true;
    if (text.contains(QueryTokens::QUOTE))
        return false;
    static const QString wordBreakers = QStringLiteral(" \t\n\r=<>!()&|");
    for (const QChar c : text) {
        if (wordBreakers.contains(c))
            return true;
    }
    return text.startsWith(QueryTokens::TRUEWORD) || text.startsWith(QueryTokens::FALSEWORD)
           || (!isName && text.startsWith(QueryTokens::VARIABLE));
}

QString quoted(const QString& text)
{
    return QueryTokens::QUOTE + text + QueryTokens::QUOTE;
}

// A number as a condition writes it: with six decimals, as conditions always
// have been written, when that text reads back as the very same number;
// otherwise the shortest text that does ("9.9999999", "-2e-24"), since a
// rounded bound would match other events once the condition is read again.
QString numberText(double number)
{
    const QString sixDecimals = QString::number(number, 'f', 6);
    if (!std::isfinite(number))
        return sixDecimals;
    bool ok = false;
    const double back = sixDecimals.toDouble(&ok);
    // Negative zero prints as "0.000000" and compares equal to it.
    if (ok && back == number)
        return sixDecimals;
    return QString::number(number, 'g', QLocale::FloatingPointShortest);
}

} // namespace

QString ParseNode::testText() const
{
    if (name.isEmpty()) {
        const bool isFalse = (value.isNumber() || value.type == TVariant::Bool)
                             && value.toDouble() == 0.0;
        return isFalse ? QueryTokens::FALSEWORD : QueryTokens::TRUEWORD;
    }
    QString valueText = value.type == TVariant::Double ? numberText(value.toDouble()) : value.toString();
    if (!isVariable) {
        // The absent value is written as the empty quoted text, which is
        // how the parser reads it.
        if (valueText.isEmpty() || needsQuotes(valueText, false))
            valueText = quoted(valueText);
    }
    const QString nameText = needsQuotes(name, true) ? quoted(name) : name;
    return nameText + QLatin1Char(' ') + operatorToString(op) + QLatin1Char(' ') + valueText;
}

// lastOperand: nothing of an enclosing "&&"/"||" list follows this node's
// text. A bare negation reaches to the end of the expression when read, so
// one that is followed by more operands is put in parentheses.
void ParseNode::appendText(QString& out, bool lastOperand) const
{
    // The last child of a list or negation continues in this loop; what
    // closes around it is collected in `closing`.
    QString closing;
    const ParseNode* node = this;
    while (node) {
        const ParseNode* next = nullptr;
        switch (node->type) {
        case Test:
            out += node->testText();
            break;
        case And:
        case Or: {
            if (node->children.isEmpty())
                break;
            const bool parenthesised = node->needsParentheses();
            const QString separator = QLatin1Char(' ')
                                      + (node->type == And ? QueryTokens::AND : QueryTokens::OR)
                                      + QLatin1Char(' ');
            if (parenthesised) {
                out += QueryTokens::LPAREN;
                closing.prepend(QueryTokens::RPAREN);
            }
            const int last = node->children.size() - 1;
            for (int i = 0; i < last; ++i) {
                node->children.at(i)->appendText(out, false);
                out += separator;
            }
            if (parenthesised)
                lastOperand = true;
            next = node->children.at(last);
            break;
        }
        case Not: {
            // "(!" when the operand has structure of its own; also when
            // operands of an enclosing list follow.
            if (node->needsParentheses() || !lastOperand) {
                out += QueryTokens::LPAREN;
                closing.prepend(QueryTokens::RPAREN);
            }
            out += QueryTokens::NOT;
            lastOperand = true;
            if (!node->children.isEmpty())
                next = node->children.first();
            break;
        }
        case Star:
        case Plus:
            if (!node->children.isEmpty())
                node->children.first()->appendText(out, true);
            out += node->type == Star ? QueryTokens::STAR : QueryTokens::PLUS;
            break;
        case Leaf:
            out += QStringLiteral("E:") + node->glyph.name;
            if (node->glyph.condition)
                out += node->glyph.condition->toString();
            for (const ParseNode* child : node->children)
                child->appendText(out, true);
            break;
        default:
            // Epsilon, Repeat and Group have no text of their own.
            break;
        }
        node = next;
    }
    out += closing;
}
