#include "patterns/QueryTokens.h"

namespace {

QRegExp makePattern(const char* pattern, bool minimal)
{
    QRegExp expression(QString::fromLatin1(pattern), Qt::CaseSensitive, QRegExp::RegExp);
    expression.setMinimal(minimal);
    return expression;
}

struct LexerPatterns
{
    QRegExp whitespace;
    QRegExp whitespaces;
    QRegExp word;
    QRegExp quotedTail;
};

// Builds the lexer's patterns in table order. It runs once, during static
// initialisation, so the table exists before main() and any window.
LexerPatterns initQueryTokens()
{
    LexerPatterns patterns;
    patterns.whitespace = makePattern("[ \\t\\n\\r]*", false);
    patterns.whitespaces = makePattern("[ \\t\\n\\r]+", false);
    patterns.word = makePattern("[^=\\<\\>\\!\\(\\)\\&\\| \\t\\n\\r]+", false);
    patterns.quotedTail = makePattern(".*\"", true);
    return patterns;
}

const LexerPatterns lexerPatterns = initQueryTokens();

} // namespace

// Defined in one translation unit, so they are built in this order during
// static initialisation and destroyed in reverse at exit.
const QRegExp QueryTokens::WHITESPACE = lexerPatterns.whitespace;
const QRegExp QueryTokens::WHITESPACES = lexerPatterns.whitespaces;
const QRegExp QueryTokens::WORD = lexerPatterns.word;
const QRegExp QueryTokens::QUOTEDTAIL = lexerPatterns.quotedTail;

const QString QueryTokens::AND = QStringLiteral("&&");
const QString QueryTokens::OR = QStringLiteral("||");
const QString QueryTokens::NOT = QStringLiteral("!");
const QString QueryTokens::LPAREN = QStringLiteral("(");
const QString QueryTokens::RPAREN = QStringLiteral(")");
const QString QueryTokens::LBRACE = QStringLiteral("{");
const QString QueryTokens::RBRACE = QStringLiteral("}");
const QString QueryTokens::LBRACKET = QStringLiteral("[");
const QString QueryTokens::RBRACKET = QStringLiteral("]");
const QString QueryTokens::EQ = QStringLiteral("==");
const QString QueryTokens::NEQ = QStringLiteral("!=");
const QString QueryTokens::CONTAINS = QStringLiteral("?=");
const QString QueryTokens::ONEOF = QStringLiteral("?\?=");
const QString QueryTokens::NOTCONTAINS = QStringLiteral("!?=");
const QString QueryTokens::LT = QStringLiteral("<");
const QString QueryTokens::GT = QStringLiteral(">");
const QString QueryTokens::LE = QStringLiteral("<=");
const QString QueryTokens::GE = QStringLiteral(">=");
const QString QueryTokens::VARIABLE = QStringLiteral("?");
const QString QueryTokens::TRUEWORD = QStringLiteral("true");
const QString QueryTokens::FALSEWORD = QStringLiteral("false");
const QString QueryTokens::QUOTE = QStringLiteral("\"");
const QString QueryTokens::PLUS = QStringLiteral("+");
const QString QueryTokens::STAR = QStringLiteral("*");
