#include "TestRegistry.h"
#include "Timing.h"

#include "core/StringScanner.h"

#include <QElapsedTimer>
#include <QRegExp>
#include <QtTest>

class StringScannerTest : public QObject
{
    Q_OBJECT
private slots:
    void tokens();
    void tokenAtEnd();
    void expression_data();
    void expression();
    void emptyMatchIsNoMatch();
    void caretMeansCursor();
    void optionsOfTheExpressionHold();
    void longTextStaysLinear();
    void takeCount_data();
    void takeCount();
    void takeThrough_data();
    void takeThrough();
};

void StringScannerTest::tokens()
{
    StringScanner s(QStringLiteral("&&x"));
    QVERIFY(s.lookingAt(QStringLiteral("&&")));
    QVERIFY(!s.lookingAt(QStringLiteral("||")));
    QCOMPARE(s.take(QStringLiteral("&&")), QStringLiteral("&&"));
    QCOMPARE(s.position, 2);
    QVERIFY(s.lookingAt(QStringLiteral("x")));
    QVERIFY(!s.lookingAt(QStringLiteral("X")));   // case-sensitive
    QVERIFY(s.hasMore());
    s.take(1);
    QVERIFY(!s.hasMore());
    QVERIFY(s.lookingAt(QString()));
}

void StringScannerTest::tokenAtEnd()
{
    StringScanner s(QStringLiteral("a"));
    QVERIFY(!s.lookingAt(QStringLiteral("ab")));
    QVERIFY(!s.lookingAt(QStringLiteral("aa")));
    // take() does not compare, and stops at the end.
    QCOMPARE(s.take(QStringLiteral("zz")), QStringLiteral("a"));
    QCOMPARE(s.position, 1);
}

void StringScannerTest::expression_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("looking");
    QTest::addColumn<QString>("taken");

    QTest::newRow("two blanks") << "  x" << 0 << "\\s+" << true << "  ";
    QTest::newRow("blanks later only") << "x  " << 0 << "\\s+" << false << "";
    QTest::newRow("from the cursor") << "ab  c" << 2 << "\\s+" << true << "  ";
    QTest::newRow("number") << "12.5)" << 0 << "[0-9]+(\\.[0-9]+)?" << true << "12.5";
    QTest::newRow("at the end") << "ab" << 2 << "\\s+" << false << "";
}

void StringScannerTest::expression()
{
    QFETCH(QString, text);
    QFETCH(int, start);
    QFETCH(QString, pattern);
    QFETCH(bool, looking);
    QFETCH(QString, taken);

    StringScanner s(text);
    s.take(start);
    QRegExp rx(pattern);
    QCOMPARE(s.lookingAt(rx), looking);
    QCOMPARE(s.position, start);
    if (looking) {
        QCOMPARE(rx.cap(0), taken);
        QCOMPARE(s.take(rx), taken);
        QCOMPARE(s.position, start + taken.size());
    }
}

void StringScannerTest::emptyMatchIsNoMatch()
{
    // A zero-or-more expression matches the empty text at the cursor: that
    // is not "looking at" it.
    StringScanner s(QStringLiteral("x "));
    QRegExp rx(QStringLiteral("\\s*"));
    QVERIFY(!s.lookingAt(rx));
    s.take(1);
    QVERIFY(s.lookingAt(rx));
    QCOMPARE(s.take(rx), QStringLiteral(" "));
}

void StringScannerTest::caretMeansCursor()
{
    // The rest is searched as a text of its own: '^' matches at the cursor.
    StringScanner s(QStringLiteral("ab"));
    s.take(1);
    QRegExp rx(QStringLiteral("^b"));
    QVERIFY(s.lookingAt(rx));
}

void StringScannerTest::optionsOfTheExpressionHold()
{
    StringScanner s(QStringLiteral("ABC abc"));
    QRegExp sensitive(QStringLiteral("[a-z]+"));
    QVERIFY(!s.lookingAt(sensitive));
    QRegExp insensitive(QStringLiteral("[a-z]+"), Qt::CaseInsensitive);
    QVERIFY(s.lookingAt(insensitive));
    QCOMPARE(s.take(insensitive), QStringLiteral("ABC"));
    QRegExp minimal(QStringLiteral(".+"));
    minimal.setMinimal(true);
    QVERIFY(s.lookingAt(minimal));
    QCOMPARE(s.take(minimal), QStringLiteral(" "));
    QRegExp alternatives(QStringLiteral("x|abc"));
    QVERIFY(s.lookingAt(alternatives));
    QCOMPARE(s.take(alternatives), QStringLiteral("abc"));
    QVERIFY(!s.hasMore());
}

void StringScannerTest::longTextStaysLinear()
{
    // A long condition is tokenised with many expressions that fail at the
    // cursor; each failure must not cost a search of the whole rest.
    QString text;
    while (text.size() < 100000)
        text += QStringLiteral("attr_name == \"value\" && ");
    QRegExp blanks(QStringLiteral("\\s+"));
    QRegExp number(QStringLiteral("-?[0-9]+(\\.[0-9]+)?"));
    QRegExp name(QStringLiteral("[A-Za-z_][A-Za-z0-9_.]*"));
    QElapsedTimer timer;
    timer.start();
    StringScanner s(text);
    int tokens = 0;
    while (s.hasMore()) {
        if (s.lookingAt(blanks))
            s.take(blanks);
        else if (s.lookingAt(number))
            s.take(number);
        else if (s.lookingAt(name))
            s.take(name);
        else
            s.take(1);
        ++tokens;
    }
    QVERIFY(tokens > 20000);
    LUMIVANE_VERIFY_TIME(timer.elapsed(), 10000);
}

void StringScannerTest::takeCount_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("taken");
    QTest::addColumn<int>("position");

    QTest::newRow("within") << 2 << "cd" << 4;
    QTest::newRow("past the end") << 5 << "cd" << 4;
    QTest::newRow("zero") << 0 << "" << 2;
    QTest::newRow("negative") << -3 << "" << 2;
}

void StringScannerTest::takeCount()
{
    QFETCH(int, n);
    QFETCH(QString, taken);
    QFETCH(int, position);
    StringScanner s(QStringLiteral("abcd"));
    s.take(2);
    QCOMPARE(s.take(n), taken);
    QCOMPARE(s.position, position);
}

void StringScannerTest::takeThrough_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("taken");
    QTest::addColumn<int>("position");

    QTest::newRow("found") << "abc]def" << 0 << "abc]" << 4;
    QTest::newRow("delimiter first") << "]x" << 0 << "]" << 1;
    QTest::newRow("from the middle") << "[a][b]" << 3 << "[b]" << 6;
    // Without the delimiter the text counts as unread again.
    QTest::newRow("missing") << "abc" << 0 << "abc" << 0;
    QTest::newRow("missing after cursor") << "a]bc" << 2 << "bc" << 0;
    QTest::newRow("at the end") << "a]" << 2 << "" << 0;
}

void StringScannerTest::takeThrough()
{
    QFETCH(QString, text);
    QFETCH(int, start);
    QFETCH(QString, taken);
    QFETCH(int, position);
    StringScanner s(text);
    s.take(start);
    QCOMPARE(s.takeThrough(QStringLiteral("]")), taken);
    QCOMPARE(s.position, position);
}

LUMIVANE_TEST(StringScannerTest)
#include "StringScannerTest.moc"
