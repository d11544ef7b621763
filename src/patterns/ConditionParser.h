#pragma once

#include <QString>

#include "core/THash.h"

class Context;
class ParseNode;
class StringScanner;

// Reads glyph conditions and queries ("ip.src == 10.0.0.1 && !(len > 100)")
// into ParseNode trees. "&&" and "||" share one precedence and group to the
// right; "!" negates the whole expression that follows it.
//
// A failed parse returns null; the error code says what was expected where it
// failed (the query box completes from it) and the attribute name says which
// comparison was being read.
class ConditionParser
{
public:
    enum ErrorCode {
        ExpectedAttribute = 1,
        ExpectedOperator = 2,
        ExpectedValue = 3,
        ExpectedClosingParenthesis = 4
    };

    // Deeper nesting of "(" and "!" is refused (no tree) rather than risking
    // the stack on hostile input.
    static const int MaxDepth = 1000;

    // Returns a tree the caller owns, or null. With an attribute map every
    // attribute name must be one of its keys; with a context as well, an
    // unquoted value must occur in the attribute's histogram (when the
    // attribute keeps one). Text left over after a complete expression gives
    // null and leaves the error code alone.
    static ParseNode* parse(const QString& text,
                            const THash<QString, int>* attributes = nullptr,
                            int* error = nullptr,
                            QString* attributeName = nullptr,
                            const Context* context = nullptr);

private:
    struct State;

    static ParseNode* parseExpression(StringScanner& scanner, const THash<QString, int>* attributes,
                                      int* error, QString* attributeName, const Context* context,
                                      State& state);
    static ParseNode* parseParenthesized(StringScanner& scanner, const THash<QString, int>* attributes,
                                         int* error, QString* attributeName, const Context* context,
                                         State& state);
    static ParseNode* parseNegation(StringScanner& scanner, const THash<QString, int>* attributes,
                                    int* error, QString* attributeName, const Context* context,
                                    State& state);
    static ParseNode* parseTest(StringScanner& scanner, const THash<QString, int>* attributes,
                                int* error, QString* attributeName, const Context* context,
                                State& state);

    ConditionParser() = delete;
};
