#include "patterns/ConditionParser.h"

#include <memory>

#include <QRegExp>

// Unquoted values are checked against the histograms of the context given.
#include "model/Context.h"
#include "core/StringScanner.h"
#include "core/TVariant.h"
#include "patterns/ParseNode.h"
#include "patterns/QueryTokens.h"

// Per-parse working copies of the lexer expressions (they hold match state,
// so a parse never shares them with another one) and the nesting depth.
struct ConditionParser::State
{
    QRegExp whitespace = QueryTokens::WHITESPACE;
    QRegExp word = QueryTokens::WORD;
    int depth = 0;
};

namespace {

bool atWhitespace(const StringScanner& scanner)
{
    if (!scanner.hasMore())
        return false;
    const QChar c = scanner.text.at(scanner.position);
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
           || c == QLatin1Char('\r');
}

void skipWhitespace(StringScanner& scanner, QRegExp& whitespace)
{
    // The expression can only match where a blank, tab or line break stands;
    // asking it elsewhere would cost a search for nothing.
    if (atWhitespace(scanner) && scanner.lookingAt(whitespace))
        scanner.take(whitespace);
}

// Returns null after writing the code, so failure paths read as one line.
ParseNode* fail(int* error, int code)
{
    if (error)
        *error = code;
    return nullptr;
}

// The quoted text after an opening quote that has already been taken, without
// its closing quote (the text up to the next quote). False when no closing
// quote follows. A plain search for the quote: a value of many megabytes
// (a hovered histogram bar's) reads in a moment.
bool takeQuoted(StringScanner& scanner, QString* out)
{
    if (scanner.text.indexOf(QueryTokens::QUOTE, scanner.position) < 0)
        return false;
    QString quoted = scanner.takeThrough(QueryTokens::QUOTE);
    quoted.chop(1);
    *out = quoted;
    return true;
}

const QString* operatorAt(StringScanner& scanner)
{
    // Longer tokens before their prefixes: "<=" before "<", "??=" before "?=".
    static const QString* const operators[] = {
        &QueryTokens::EQ, &QueryTokens::NEQ, &QueryTokens::LE, &QueryTokens::GE,
        &QueryTokens::LT, &QueryTokens::GT, &QueryTokens::ONEOF, &QueryTokens::CONTAINS,
        &QueryTokens::NOTCONTAINS};
    for (const QString* op : operators) {
        if (scanner.lookingAt(*op))
            return op;
    }
    return nullptr;
}

// Key attributes (identifiers) keep no histogram, so only an attribute whose
// histogram has entries can refuse a value.
bool knownValue(const Context* context, int column, const TVariant& value)
{
    if (column < 0 || column >= context->histograms.size())
        return true;
    const THash<TVariant, int>& histogram = context->histograms.at(column);
    if (histogram.isEmpty())
        return true;
    return histogram.contains(value);
}

} // namespace

ParseNode* ConditionParser::parse(const QString& text, const THash<QString, int>* attributes,
                                  int* error, QString* attributeName, const Context* context)
{
    StringScanner scanner(text);
    State state;
    std::unique_ptr<ParseNode> tree(parseExpression(scanner, attributes, error, attributeName, context, state));
    if (!tree || scanner.hasMore())
        return nullptr;
    return tree.release();
}

ParseNode* ConditionParser::parseExpression(StringScanner& scanner,
                                            const THash<QString, int>* attributes, int* error,
                                            QString* attributeName, const Context* context,
                                            State& state)
{
    if (state.depth >= MaxDepth)
        return nullptr;
    ++state.depth;

    // A chain "t1 && t2 || t3 ..." is read in a loop into the right-grouped
    // tree And(t1, Or(t2, t3)): each operator node waits in `open` for its
    // second child, so long chains cost no stack.
    // The tree so far is freed when a term does not read or finds no
    // memory.
    std::unique_ptr<ParseNode> root;
    ParseNode* open = nullptr;
    ParseNode* result = nullptr;
    for (;;) {
        skipWhitespace(scanner, state.whitespace);
        std::unique_ptr<ParseNode> term;
        if (scanner.lookingAt(QueryTokens::LPAREN))
            term.reset(parseParenthesized(scanner, attributes, error, attributeName, context, state));
        else if (scanner.lookingAt(QueryTokens::NOT))
            term.reset(parseNegation(scanner, attributes, error, attributeName, context, state));
        else
            term.reset(parseTest(scanner, attributes, error, attributeName, context, state));
        if (!term)
            break;
        skipWhitespace(scanner, state.whitespace);

        int kind = -1;
        if (scanner.lookingAt(QueryTokens::AND)) {
            scanner.take(QueryTokens::AND);
            kind = ParseNode::And;
        } else if (scanner.lookingAt(QueryTokens::OR)) {
            scanner.take(QueryTokens::OR);
            kind = ParseNode::Or;
        }
        if (kind < 0) {
            if (open) {
                open->addChild(term.get());
                term.release();
            } else {
                root = std::move(term);
            }
            result = root.release();
            break;
        }
        std::unique_ptr<ParseNode> node(new ParseNode(kind));
        node->addChild(term.get());
        term.release();
        ParseNode* const added = node.get();
        if (open) {
            open->addChild(added);
            node.release();
        } else {
            root = std::move(node);
        }
        open = added;
    }
    --state.depth;
    return result;
}

ParseNode* ConditionParser::parseParenthesized(StringScanner& scanner,
                                               const THash<QString, int>* attributes, int* error,
                                               QString* attributeName, const Context* context,
                                               State& state)
{
    scanner.take(QueryTokens::LPAREN);
    skipWhitespace(scanner, state.whitespace);
    std::unique_ptr<ParseNode> inner(parseExpression(scanner, attributes, error, attributeName, context, state));
    if (!inner)
        return nullptr;
    skipWhitespace(scanner, state.whitespace);
    if (!scanner.lookingAt(QueryTokens::RPAREN))
        return fail(error, ExpectedClosingParenthesis);
    scanner.take(QueryTokens::RPAREN);
    skipWhitespace(scanner, state.whitespace);
    return inner.release();
}

ParseNode* ConditionParser::parseNegation(StringScanner& scanner,
                                          const THash<QString, int>* attributes, int* error,
                                          QString* attributeName, const Context* context,
                                          State& state)
{
    scanner.take(QueryTokens::NOT);
    std::unique_ptr<ParseNode> operand(parseExpression(scanner, attributes, error, attributeName, context, state));
    if (!operand)
        return nullptr;
    std::unique_ptr<ParseNode> node(new ParseNode(ParseNode::Not));
    node->addChild(operand.get());
    operand.release();
    return node.release();
}

ParseNode* ConditionParser::parseTest(StringScanner& scanner, const THash<QString, int>* attributes,
                                      int* error, QString* attributeName, const Context* context,
                                      State& state)
{
    // A prefix test: "trueValue" reads as the constant and leaves "Value".
    if (scanner.lookingAt(QueryTokens::TRUEWORD)) {
        scanner.take(QueryTokens::TRUEWORD);
        ParseNode* node = new ParseNode(ParseNode::Test);
        node->value = TVariant(1, nullptr);
        return node;
    }
    if (scanner.lookingAt(QueryTokens::FALSEWORD)) {
        scanner.take(QueryTokens::FALSEWORD);
        ParseNode* node = new ParseNode(ParseNode::Test);
        node->value = TVariant(0, nullptr);
        return node;
    }

    QString name;
    if (scanner.lookingAt(QueryTokens::QUOTE)) {
        scanner.take(QueryTokens::QUOTE);
        if (!takeQuoted(scanner, &name) || name.isEmpty())
            return fail(error, ExpectedAttribute);
    } else {
        if (!scanner.lookingAt(state.word))
            return fail(error, ExpectedAttribute);
        name = scanner.take(state.word);
    }
    if (attributes && !attributes->contains(name))
        return fail(error, ExpectedAttribute);
    if (attributeName)
        *attributeName = name;

    skipWhitespace(scanner, state.whitespace);
    const QString* op = operatorAt(scanner);
    if (!op)
        return fail(error, ExpectedOperator);
    scanner.take(*op);

    skipWhitespace(scanner, state.whitespace);
    TVariant value;
    bool variable = false;
    if (scanner.lookingAt(QueryTokens::VARIABLE)) {
        scanner.take(QueryTokens::VARIABLE);
        // No white space between "?" and the variable's name.
        if (!scanner.lookingAt(state.word))
            return fail(error, ExpectedValue);
        value = TVariant(QueryTokens::VARIABLE + scanner.take(state.word), true, nullptr);
        variable = true;
    } else if (scanner.lookingAt(QueryTokens::QUOTE)) {
        scanner.take(QueryTokens::QUOTE);
        QString quoted;
        if (!takeQuoted(scanner, &quoted))
            return fail(error, ExpectedValue);
        value = TVariant(quoted, true, nullptr);
    } else {
        if (!scanner.lookingAt(state.word))
            return fail(error, ExpectedValue);
        value = TVariant(scanner.take(state.word), true, nullptr);
        if (attributes && context && !knownValue(context, attributes->value(name, -1), value))
            return fail(error, ExpectedValue);
    }

    std::unique_ptr<ParseNode> node(new ParseNode(ParseNode::Test));
    node->name = name;
    node->op = ParseNode::operatorFromString(*op);
    node->value = value;
    node->isVariable = variable;
    return node.release();
}
