#include "core/StringScanner.h"

#include <QRegExp>

StringScanner::StringScanner(const QString& text)
    : text(text)
{
}

bool StringScanner::lookingAt(const QString& token) const
{
    if (text.size() - position < token.size())
        return false;
    return QStringRef(&text, position, token.size()) == token;
}

bool StringScanner::lookingAt(QRegExp& expression) const
{
    const QRegExp::PatternSyntax syntax = expression.patternSyntax();
    if (syntax == QRegExp::RegExp || syntax == QRegExp::RegExp2) {
        // First ask an anchored copy: a match must start at the cursor, and
        // an unanchored search that fails there would scan the whole rest.
        const QString key = expression.pattern() + QChar(0)
                            + QString::number(int(syntax) * 4
                                              + (expression.caseSensitivity() == Qt::CaseSensitive ? 2 : 0)
                                              + (expression.isMinimal() ? 1 : 0));
        auto it = m_anchored.find(key);
        if (it == m_anchored.end()) {
            QRegExp anchored(QStringLiteral("^(?:") + expression.pattern() + QStringLiteral(")"),
                             expression.caseSensitivity(), syntax);
            anchored.setMinimal(expression.isMinimal());
            it = m_anchored.insert(key, anchored);
        }
        if (it->indexIn(text, position, QRegExp::CaretAtOffset) != position)
            return false;
    }
    // Search the rest as if it were the whole text ('^' matches at the
    // cursor), and accept only a non-empty match right at the cursor. The
    // caller's expression keeps this match for take().
    const int at = expression.indexIn(text, position, QRegExp::CaretAtOffset);
    return at == position && expression.matchedLength() >= 1;
}

QString StringScanner::take(const QString& token)
{
    return take(token.size());
}

QString StringScanner::takeThrough(const QString& delimiter)
{
    const int at = text.indexOf(delimiter, position);
    if (at < 0) {
        const QString rest = text.mid(position);
        position = 0;
        return rest;
    }
    const QString result = text.mid(position, at - position + 1);
    position = qMin(at + 1, text.size());
    return result;
}

QString StringScanner::take(QRegExp& expression)
{
    return take(qMax(0, expression.matchedLength()));
}

QString StringScanner::take(int n)
{
    const int count = qBound(0, n, text.size() - position);
    const QString result = text.mid(position, count);
    position += count;
    return result;
}
