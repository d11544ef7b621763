#include "patterns/RulesFile.h"

#include <QDebug>
#include <QStringList>

namespace {

// Skipped lines are logged one by one up to this many; the rest only in
// the count at the end.
constexpr int LOGGED_SKIPS = 20;

} // namespace

RulesFile RulesFile::fromBytes(const QByteArray& bytes)
{
    RulesFile file;
    const int end = bytes.indexOf('\0');
    file.readLines(QString::fromLatin1(bytes.constData(), end < 0 ? bytes.size() : end));
    file.isBlank = bytes.trimmed().isEmpty();
    return file;
}

RulesFile RulesFile::fromText(const QString& text)
{
    RulesFile file;
    file.readLines(text);
    file.isBlank = text.trimmed().isEmpty();
    return file;
}

void RulesFile::readLines(const QString& text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    rules.items.reserve(std::size_t(lines.size()));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        // The empty part after a final line break is no rule either.
        if (line.trimmed().isEmpty())
            continue;
        bool readable = false;
        // A line without its four fields is not worth the parsers' time.
        Rule rule = line.count(QLatin1Char('~')) >= 3 ? Rule::fromString(line, &readable) : Rule();
        if (readable) {
            rules.append(rule);
            continue;
        }
        if (++skipped <= LOGGED_SKIPS) {
            const QString why = line.count(QLatin1Char('~')) < 3
                                    ? QStringLiteral("fewer than four \"~\" fields")
                                    : QStringLiteral("its precondition or rewrite does not read");
            qDebug().noquote() << QStringLiteral("rules file line %1 skipped: %2").arg(i + 1).arg(why);
        }
    }
    if (skipped > LOGGED_SKIPS)
        qDebug().noquote() << QStringLiteral("rules file: %1 lines skipped").arg(skipped);
}

QString RulesFile::rulesText() const
{
    return rules.size() == 1 ? QStringLiteral("1 rule was")
                             : QStringLiteral("%1 rules were").arg(rules.size());
}

QString RulesFile::skippedText() const
{
    if (skipped == 0)
        return QString();
    if (skipped == 1)
        return QStringLiteral("1 line could not be read and was skipped");
    return QStringLiteral("%1 lines could not be read and were skipped").arg(skipped);
}
