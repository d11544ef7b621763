#pragma once

#include <QHash>
#include <QRegExp>
#include <QString>
#include <cstdint>

// The cursor over a text that the hand-written parsers share. It never
// skips anything by itself; all comparisons are case-sensitive.
class StringScanner
{
public:
    explicit StringScanner(const QString& text);

    // Whether the rest starts with the token.
    bool lookingAt(const QString& token) const;
    // Whether the expression's first match in the rest starts at its first
    // character and is at least one character long. The expression keeps
    // that match, so that take(expression) can follow.
    bool lookingAt(QRegExp& expression) const;
    bool hasMore() const { return position < text.size(); }

    // The next token-length characters (fewer at the end); not compared.
    QString take(const QString& token);
    // The rest up to and including the first character of the next
    // occurrence of the delimiter. Without one the whole rest is returned
    // and the position goes back to 0, so that the caller finds its input
    // unread: callers test for that and fail.
    QString takeThrough(const QString& delimiter);
    // The characters of the expression's last match (see lookingAt).
    QString take(QRegExp& expression);
    // The next n characters (fewer at the end).
    QString take(int n);

    const QString text;     // the whole input, never changed
    int32_t position = 0;   // index of the next unread character

private:
    // Anchored copies of the expressions asked about, so that a failed
    // lookingAt does not search the whole rest of a long text. Kept per
    // scanner: a QRegExp holds match state and must not be shared between
    // threads.
    mutable QHash<QString, QRegExp> m_anchored;
};
