#include "TestRegistry.h"

#include <QtTest>

#include "core/StringScanner.h"
#include "patterns/QueryTokens.h"

class QueryTokensTest : public QObject
{
    Q_OBJECT
private slots:
    void patternTexts();
    void wordSplitsAtOperators_data();
    void wordSplitsAtOperators();
    void skippingWhitespaceWithoutWhitespace();
    void quotedTailEndsAtFirstQuote();
    void copiesKeepTheirOwnMatch();
};

void QueryTokensTest::patternTexts()
{
    QCOMPARE(QueryTokens::WHITESPACE.pattern(), QString("[ \\t\\n\\r]*"));
    QCOMPARE(QueryTokens::WHITESPACES.pattern(), QString("[ \\t\\n\\r]+"));
    QCOMPARE(QueryTokens::WORD.pattern(), QString("[^=\\<\\>\\!\\(\\)\\&\\| \\t\\n\\r]+"));
    QCOMPARE(QueryTokens::QUOTEDTAIL.pattern(), QString(".*\""));
    QVERIFY(QueryTokens::QUOTEDTAIL.isMinimal());
    QVERIFY(!QueryTokens::WORD.isMinimal());
    QCOMPARE(QueryTokens::WORD.caseSensitivity(), Qt::CaseSensitive);
    QCOMPARE(QueryTokens::WORD.patternSyntax(), QRegExp::RegExp);
    QCOMPARE(QueryTokens::OR, QString("||"));
    QCOMPARE(QueryTokens::ONEOF, QString("?\?="));
    QCOMPARE(QueryTokens::NOTCONTAINS, QString("!?="));
    QCOMPARE(QueryTokens::QUOTE, QString("\""));
}

void QueryTokensTest::wordSplitsAtOperators_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("word");
    QTest::newRow("equals") << "ip.src==10.0.0.1" << "ip.src";
    QTest::newRow("less") << "len<5" << "len";
    QTest::newRow("bang") << "a!=b" << "a";
    QTest::newRow("paren") << "x)y" << "x";
    QTest::newRow("amp") << "x&y" << "x";
    QTest::newRow("bar") << "x|y" << "x";
    QTest::newRow("tab") << "x\ty" << "x";
    QTest::newRow("quote and question mark belong to the word") << "a\"b?c d" << "a\"b?c";
}

void QueryTokensTest::wordSplitsAtOperators()
{
    QFETCH(QString, text);
    QFETCH(QString, word);
    StringScanner scanner(text);
    QRegExp expression = QueryTokens::WORD;
    QVERIFY(scanner.lookingAt(expression));
    QCOMPARE(scanner.take(expression), word);
}

void QueryTokensTest::skippingWhitespaceWithoutWhitespace()
{
    StringScanner scanner("x  ");
    QRegExp whitespace = QueryTokens::WHITESPACE;
    QVERIFY(!scanner.lookingAt(whitespace));
    QCOMPARE(scanner.position, 0);

    StringScanner blanks(" \t\r\nx");
    QVERIFY(blanks.lookingAt(whitespace));
    blanks.take(whitespace);
    QCOMPARE(blanks.position, 4);
}

void QueryTokensTest::quotedTailEndsAtFirstQuote()
{
    StringScanner scanner("my file\" == \"b\"");
    QRegExp tail = QueryTokens::QUOTEDTAIL;
    QVERIFY(scanner.lookingAt(tail));
    QCOMPARE(scanner.take(tail), QString("my file\""));
}

void QueryTokensTest::copiesKeepTheirOwnMatch()
{
    QRegExp first = QueryTokens::WORD;
    QRegExp second = QueryTokens::WORD;
    QCOMPARE(first.indexIn("abc"), 0);
    QCOMPARE(second.indexIn("a"), 0);
    QCOMPARE(first.matchedLength(), 3);
    QCOMPARE(second.matchedLength(), 1);
    QCOMPARE(QueryTokens::WORD.matchedLength(), -1);
}

LUMIVANE_TEST(QueryTokensTest)
#include "QueryTokensTest.moc"
