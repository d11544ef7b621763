#pragma once

#include <QRegExp>
#include <QString>

// The vocabulary of the pattern language: the lexer's expressions and the
// literal tokens. Every parser, printer and completer compares against these,
// so each token is spelled here only.
//
// The expressions keep the state of their last match. They are const so that
// nobody scans with the shared objects: a scan works on its own copy
// (QRegExp copies are cheap), which also lets parsers run on several threads.
class QueryTokens
{
public:
    static const QRegExp WHITESPACE;   // zero or more blanks, tabs, line feeds, carriage returns
    static const QRegExp WHITESPACES;  // the same, at least one character
    static const QRegExp WORD;         // a run of characters that are no operator and no white space
    static const QRegExp QUOTEDTAIL;   // minimal: anything up to and including the first double quote

    static const QString AND;
    static const QString OR;
    static const QString NOT;
    static const QString LPAREN;
    static const QString RPAREN;
    static const QString LBRACE;
    static const QString RBRACE;
    static const QString LBRACKET;
    static const QString RBRACKET;
    static const QString EQ;
    static const QString NEQ;
    static const QString CONTAINS;
    static const QString ONEOF;
    static const QString NOTCONTAINS;
    static const QString LT;
    static const QString GT;
    static const QString LE;
    static const QString GE;
    static const QString VARIABLE;
    static const QString TRUEWORD;
    static const QString FALSEWORD;
    static const QString QUOTE;
    static const QString PLUS;
    static const QString STAR;

private:
    QueryTokens() = delete;
};
