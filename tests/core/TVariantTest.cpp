#include "TestRegistry.h"

#include "core/THash.h"
#include "core/TVariant.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace {
TVariant str(const char* s) { return TVariant(QString::fromUtf8(s), false, nullptr); }
TVariant parsed(const char* s) { return TVariant(QString::fromUtf8(s), true, nullptr); }
TVariant dbl(double d) { return TVariant(d, nullptr); }
TVariant num(int i) { return TVariant(i, nullptr); }
TVariant boolean(bool b) { return parsed(b ? "true" : "false"); }
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();
}

class TVariantTest : public QObject
{
    Q_OBJECT
private slots:
    void layout();
    void parsing_data();
    void parsing();
    void parsingAgreesWithQt_data();
    void parsingAgreesWithQt();
    void cStringKeepsBytes();
    void textsKeepNoSpareRoom_data();
    void textsKeepNoSpareRoom();
    void poolSharing();
    void poolForNumbers();
    void toString_data();
    void toString();
    void conversions_data();
    void conversions();
    void toPair();
    void isBool();
    void equalityAndHash();
    void order_data();
    void order();
    void orderIsStrictWeak();
    void mixedOrderedMap();
    void roundTo_data();
    void roundTo();
    void intervalsOverlap_data();
    void intervalsOverlap();
};

void TVariantTest::layout()
{
    QCOMPARE(sizeof(TVariant), std::size_t(24));
    const TVariant none;
    QCOMPARE(none.type, quint16(TVariant::None));
    QCOMPARE(none.value, 0.0);
    QVERIFY(none.text.isNull());
    QVERIFY(!none.isValid());
}

void TVariantTest::parsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value");

    QTest::newRow("empty") << "" << int(TVariant::None) << 0.0;
    QTest::newRow("int") << "7" << int(TVariant::Int) << 7.0;
    QTest::newRow("negative int") << "-3" << int(TVariant::Int) << -3.0;
    QTest::newRow("trailing point") << "7." << int(TVariant::Double) << 7.0;
    QTest::newRow("42.0") << "42.0" << int(TVariant::Double) << 42.0;
    QTest::newRow("exponent") << "1e5" << int(TVariant::Double) << 1e5;
    QTest::newRow("above int range") << "2147483648" << int(TVariant::Double) << 2147483648.0;
    QTest::newRow("ten digits") << "4000000000" << int(TVariant::Double) << 4e9;
    QTest::newRow("25 digits") << "1234567890123456789012345" << int(TVariant::Double)
                               << 1234567890123456789012345.0;
    QTest::newRow("false") << "false" << int(TVariant::Bool) << 0.0;
    QTest::newRow("true") << "true" << int(TVariant::Bool) << 1.0;
    QTest::newRow("FALSE") << "FALSE" << int(TVariant::String) << 0.0;
    QTest::newRow("True") << "True" << int(TVariant::String) << 0.0;
    QTest::newRow("yes") << "yes" << int(TVariant::String) << 0.0;
    QTest::newRow("1.2.3") << "1.2.3" << int(TVariant::String) << 0.0;
    QTest::newRow("10x") << "10x" << int(TVariant::String) << 0.0;
    // Only finite numbers become numbers.
    QTest::newRow("nan") << "nan" << int(TVariant::String) << 0.0;
    QTest::newRow("NaN") << "NaN" << int(TVariant::String) << 0.0;
    QTest::newRow("inf") << "inf" << int(TVariant::String) << 0.0;
    QTest::newRow("-Inf") << "-Inf" << int(TVariant::String) << 0.0;
    QTest::newRow("infinity") << "INFINITY" << int(TVariant::String) << 0.0;
    QTest::newRow("1e400") << "1e400" << int(TVariant::String) << 0.0;
    QTest::newRow("-1e400") << "-1e400" << int(TVariant::String) << 0.0;
    QTest::newRow("nul byte") << QString(QChar(0)) << int(TVariant::String) << 0.0;
}

void TVariantTest::parsing()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    QFETCH(double, value);
    const TVariant v(text, true, nullptr);
    QCOMPARE(int(v.type), type);
    QCOMPARE(v.value, value);
    QCOMPARE(v.text.isNull(), type != TVariant::String);
    if (type == TVariant::String) {
        QCOMPARE(v.toString(), text);
        QCOMPARE(v.text, text.toUtf8());
    }
    // The C-string form parses alike.
    if (!text.contains(QChar(0))) {
        const QByteArray bytes = text.toUtf8();
        const TVariant c(bytes.constData(), true, nullptr);
        QCOMPARE(int(c.type), type);
        QCOMPARE(c.value, value);
    }
    // Without parsing every text is a string.
    const TVariant raw(text, false, nullptr);
    QCOMPARE(int(raw.type), int(TVariant::String));
    QCOMPARE(raw.toString(), text);
}

void TVariantTest::parsingAgreesWithQt_data()
{
    QTest::addColumn<QString>("text");
    const char* texts[] = { "0", "-0", "+5", "007", "-", "+", "2147483647", "-2147483648", "2147483648",
                            "-2147483649", "99999999999", " 7", "7 ", "1 2", "5.", ".5", "+.5", "-.5", ".",
                            "1e5", "1E5", "1e+5", "1e-5", "1e", "e5", "1e5.", "1.5e3", "00.10", "1..2",
                            "-1.5e-3", "1e-400", "4.9e-324", "1.7976931348623157e308", "1.8e308",
                            "0.1000000000000000055511151231257827", "123456789012345678901234567890",
                            "12345678901234567890123456789012345678901234567890123456789012345",
                            "1,5", "1_000", "0x10", "1e5e5", "--1", "+-1", "\xd9\xa3", "\xef\xbc\x93" };
    for (const char* t : texts)
        QTest::newRow(t) << QString::fromUtf8(t);
}

void TVariantTest::parsingAgreesWithQt()
{
    // The parsing rule spelled out with Qt's own conversions.
    QFETCH(QString, text);
    int type = TVariant::String;
    double value = 0.0;
    bool ok = false;
    const int i = text.toInt(&ok, 10);
    if (!text.contains('.') && ok) {
        type = TVariant::Int;
        value = i;
    } else {
        const double d = text.toDouble(&ok);
        if (ok && std::isfinite(d)) {
            type = TVariant::Double;
            value = d;
        }
    }
    const TVariant v(text, true, nullptr);
    QCOMPARE(int(v.type), type);
    QCOMPARE(v.value, value);
}

void TVariantTest::cStringKeepsBytes()
{
    const char invalid[] = "a\xff\xfe" "b";
    const TVariant v(invalid, true, nullptr);
    QCOMPARE(int(v.type), int(TVariant::String));
    QCOMPARE(v.text, QByteArray(invalid));
    const TVariant nullText(static_cast<const char*>(nullptr), true, nullptr);
    QVERIFY(!nullText.isValid());
}

void TVariantTest::textsKeepNoSpareRoom_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << QStringLiteral("30752 > 80 [FIN, ACK] Seq=30380094 Ack=59417306 Len=1240");
    QTest::newRow("latin") << QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln");
    QTest::newRow("astral") << QString::fromUtf8("frame \xf0\x9f\x93\xa6 lost");
    QTest::newRow("one char") << QStringLiteral("x");
}

// A log's texts stay loaded as long as the log: each holds its bytes and
// no room for more, whichever way it was made.
void TVariantTest::textsKeepNoSpareRoom()
{
    QFETCH(QString, text);
    const QByteArray bytes = text.toUtf8();
    THash<QString, TVariant> pool;
    pool[QString()] = TVariant();
    const TVariant made[] = {TVariant(text, true, nullptr), TVariant(text, false, nullptr),
                             TVariant::fromText(text, nullptr), TVariant::fromText(text, &pool)};
    for (const TVariant& v : made) {
        QCOMPARE(int(v.type), int(TVariant::String));
        QCOMPARE(v.text, bytes);
        QCOMPARE(v.text.capacity(), v.text.size());
        QCOMPARE(v.toString(), text);
    }
    // The same value from the pool the second time.
    QCOMPARE(TVariant::fromText(text, &pool).text.constData(), made[3].text.constData());
    // An empty text stays an absent value; an empty unparsed one an empty string.
    QVERIFY(!TVariant::fromText(QStringView(), nullptr).isValid());
    QVERIFY(!TVariant(QString(""), true, nullptr).isValid());
    QCOMPARE(TVariant(QString(""), false, nullptr).text, QByteArray(""));
}

void TVariantTest::poolSharing()
{
    THash<QString, TVariant> pool;
    pool[QString()] = TVariant();

    const TVariant empty(QString(""), true, &pool);
    QVERIFY(!empty.isValid());
    QCOMPARE(pool.size(), 1);

    const TVariant a(QString("alpha"), true, &pool);
    QCOMPARE(pool.size(), 2);
    const TVariant b(QString("alpha"), true, &pool);
    QCOMPARE(pool.size(), 2);
    QVERIFY(a.text.constData() == b.text.constData()); // one byte string for both
    QCOMPARE(a, b);

    // A numeric text is not pooled.
    const TVariant n(QString("42"), true, &pool);
    QCOMPARE(int(n.type), int(TVariant::Int));
    QCOMPARE(pool.size(), 2);
    const TVariant t(QString("true"), true, &pool);
    QCOMPARE(int(t.type), int(TVariant::Bool));
    QCOMPARE(pool.size(), 2);

    // A pooled text is returned as pooled, without parsing.
    pool[QString("13")] = str("thirteen");
    const TVariant p(QString("13"), true, &pool);
    QCOMPARE(p.toString(), QString("thirteen"));

    // The C-string form uses the pool as well.
    const TVariant c("alpha", true, &pool);
    QVERIFY(c.text.constData() == a.text.constData());

    // Copies share the text.
    TVariant copy = a;
    QVERIFY(copy.text.constData() == a.text.constData());
    copy = copy;
    QCOMPARE(copy.toString(), QString("alpha"));
}

void TVariantTest::poolForNumbers()
{
    THash<QString, TVariant> pool;
    pool[QString("5")] = str("five");
    pool[QString("2.5")] = str("two and a half");
    QCOMPARE(TVariant(5, &pool).toString(), QString("five"));
    QCOMPARE(TVariant(2.5, &pool).toString(), QString("two and a half"));
    QCOMPARE(int(TVariant(6, &pool).type), int(TVariant::Int));
    QCOMPARE(int(TVariant(2.25, &pool).type), int(TVariant::Double));
    QCOMPARE(pool.size(), 2);
}

void TVariantTest::toString_data()
{
    QTest::addColumn<TVariant>("v");
    QTest::addColumn<QString>("text");
    QTest::newRow("bool true") << boolean(true) << "1";
    QTest::newRow("bool false") << boolean(false) << "0";
    QTest::newRow("double 2.5") << dbl(2.5) << "2.500000";
    QTest::newRow("double 0.1") << dbl(0.1) << "0.100000";
    QTest::newRow("int") << num(-42) << "-42";
    QTest::newRow("pair 0 0.5") << TVariant(0.0, 0.5) << "(0,0.5)";
    QTest::newRow("pair 0 10") << TVariant(0.0, 10.0) << "(0,10)";
    QTest::newRow("pair 6 digits") << TVariant(1234567.0, 0.1234567) << "(1.23457e+06,0.123457)";
    QTest::newRow("pair epoch bound") << TVariant(0.0, 1612345678.25) << "(0,1.61235e+09)";
    QTest::newRow("none") << TVariant() << "";
    QTest::newRow("string") << str("h\xc3\xa9llo") << QString::fromUtf8("h\xc3\xa9llo");
}

void TVariantTest::toString()
{
    QFETCH(TVariant, v);
    QFETCH(QString, text);
    QCOMPARE(v.toString(), text);
}

void TVariantTest::conversions_data()
{
    QTest::addColumn<TVariant>("v");
    QTest::addColumn<int>("toInt");
    QTest::addColumn<bool>("toBool");
    QTest::addColumn<bool>("intOk");
    QTest::addColumn<bool>("boolOk");
    QTest::addColumn<bool>("doubleOk");

    QTest::newRow("double 0.5") << dbl(0.5) << 0 << false << false << false << true;
    QTest::newRow("double -2.7") << dbl(-2.7) << -2 << true << false << false << true;
    QTest::newRow("int 7") << num(7) << 7 << true << true << false << false;
    QTest::newRow("bool") << boolean(true) << 1 << true << false << true << false;
    QTest::newRow("none") << TVariant() << 0 << false << false << false << false;
    // Out-of-range doubles saturate; NaN gives 0.
    QTest::newRow("NaN") << dbl(NaN) << 0 << false << false << false << true;
    QTest::newRow("+inf") << dbl(Inf) << std::numeric_limits<int>::max() << true << false << false << true;
    QTest::newRow("-inf") << dbl(-Inf) << std::numeric_limits<int>::min() << true << false << false << true;
    QTest::newRow("1e10") << dbl(1e10) << std::numeric_limits<int>::max() << true << false << false << true;
    QTest::newRow("-1e10") << dbl(-1e10) << std::numeric_limits<int>::min() << true << false << false << true;
    QTest::newRow("4294967296") << dbl(4294967296.0) << std::numeric_limits<int>::max() << true << false
                                << false << true;
}

void TVariantTest::conversions()
{
    QFETCH(TVariant, v);
    QFETCH(int, toInt);
    QFETCH(bool, toBool);
    QFETCH(bool, intOk);
    QFETCH(bool, boolOk);
    QFETCH(bool, doubleOk);
    bool ok = !intOk;
    QCOMPARE(v.toInt(&ok), toInt);
    QCOMPARE(ok, intOk);
    ok = !boolOk;
    QCOMPARE(v.toBool(&ok), toBool);
    QCOMPARE(ok, boolOk);
    ok = !doubleOk;
    const double d = v.toDouble(&ok);
    QCOMPARE(ok, doubleOk);
    QVERIFY(d == v.value || (std::isnan(d) && std::isnan(v.value)));
}

void TVariantTest::toPair()
{
    QCOMPARE(TVariant(1.5, 2.5).toPair(), qMakePair(1.5, 2.5));
    QCOMPARE(TVariant(-1.0, 1e9).toPair(), qMakePair(-1.0, 1e9));
    // Bounds that six digits would round are kept exactly: a range filter
    // up to an epoch time must still take in the events of that second.
    QCOMPARE(TVariant(0.0, 1612345678.25).toPair(), qMakePair(0.0, 1612345678.25));
    QCOMPARE(TVariant(0.0, 0.1 + 0.2).toPair().second, 0.1 + 0.2);
    QCOMPARE(num(5).toPair(), qMakePair(0.0, 0.0));
    QCOMPARE(TVariant().toPair(), qMakePair(0.0, 0.0));
    QCOMPARE(str("abc").toPair(), qMakePair(0.0, 0.0));
    QCOMPARE(str("3.5").toPair(), qMakePair(0.0, 3.5));
    QVERIFY(TVariant(0.0, 1.0).isPair());
    QVERIFY(!num(0).isPair());
}

void TVariantTest::isBool()
{
    QVERIFY(num(0).isBool());
    QVERIFY(num(1).isBool());
    QVERIFY(!num(2).isBool());
    QVERIFY(boolean(false).isBool());
    QVERIFY(!dbl(1.0).isBool());
    QVERIFY(!TVariant().isBool());
    QVERIFY(num(3).isNumber());
    QVERIFY(dbl(3).isNumber());
    QVERIFY(!boolean(true).isNumber());
    QVERIFY(!TVariant(0.0, 1.0).isNumber());
}

void TVariantTest::equalityAndHash()
{
    // int 3 and double 3.0: unequal, same hash; two keys in a hashed store.
    QVERIFY(num(3) != dbl(3.0));
    QCOMPARE(qHash(num(3)), qHash(dbl(3.0)));
    THash<TVariant, int> hashed;
    hashed[num(3)] += 1;
    hashed[dbl(3.0)] += 1;
    QCOMPARE(hashed.size(), 2);

    QVERIFY(dbl(NaN) != dbl(NaN));
    QVERIFY(dbl(0.0) == dbl(-0.0));
    QVERIFY(TVariant(1.0, 2.0) == TVariant(1.0, 3.0));
    QVERIFY(str("ab") == TVariant(QString("ab"), false, nullptr));
    QVERIFY(str("ab") != str("abc"));
    QVERIFY(str("1") != num(1));
    QVERIFY(TVariant() == TVariant());
    QVERIFY(boolean(true) != num(1));

    // Hash values.
    QCOMPARE(qHash(TVariant()), 0u);
    QCOMPARE(qHash(num(-1)), uint(-1));
    QCOMPARE(qHash(boolean(true)), 1u);
    QCOMPARE(qHash(dbl(4294967297.5)), 1u); // low 32 bits of 4294967297
    QCOMPARE(qHash(dbl(-2.5)), uint(-2));
    QCOMPARE(qHash(str("abc")), qHash(QString("abc"), 0));
    QCOMPARE(qHash(str("h\xc3\xa9")), qHash(QString::fromUtf8("h\xc3\xa9"), 0));
    const QByteArray longText(1000, 'x');
    QCOMPARE(qHash(str(longText.constData())), qHash(QString::fromLatin1(longText), 0));
    QCOMPARE(qHash(TVariant(0.0, 10.0)), qHash(QString("10"), 0));
    // Saturated, not undefined.
    QCOMPARE(qHash(dbl(NaN)), 0u);
    QCOMPARE(qHash(dbl(1e300)), 0xffffffffu);
    QCOMPARE(qHash(dbl(-Inf)), 0u);

    QSet<TVariant> set { str("a"), str("a"), num(1), dbl(1.0) };
    QCOMPARE(set.size(), 3);
}

void TVariantTest::order_data()
{
    QTest::addColumn<TVariant>("a");
    QTest::addColumn<TVariant>("b");
    QTest::addColumn<bool>("less");
    QTest::addColumn<bool>("greater");

    QTest::newRow("int < int") << num(2) << num(10) << true << false;
    QTest::newRow("int < double") << num(2) << dbl(2.5) << true << false;
    QTest::newRow("double < int") << dbl(2.5) << num(10) << true << false;
    QTest::newRow("int 3 ~ double 3") << num(3) << dbl(3.0) << false << false;
    QTest::newRow("none < positive") << TVariant() << num(1) << true << false;
    QTest::newRow("none > negative") << TVariant() << dbl(-0.5) << false << true;
    QTest::newRow("none ~ 0") << TVariant() << num(0) << false << false;
    QTest::newRow("none < string") << TVariant() << str("a") << true << false;
    QTest::newRow("none < empty string") << TVariant() << str("") << true << false;
    QTest::newRow("pair by lower bound") << TVariant(1.0, 5.0) << TVariant(2.0, 3.0) << true << false;
    QTest::newRow("pairs same lower") << TVariant(1.0, 5.0) << TVariant(1.0, 3.0) << false << false;
    QTest::newRow("pair vs int") << TVariant(1.0, 5.0) << num(2) << true << false;
    QTest::newRow("pair vs none") << TVariant(-1.0, 5.0) << TVariant() << true << false;
    QTest::newRow("10x < 9x") << str("10x") << str("9x") << true << false;
    QTest::newRow("prefix first") << str("ab") << str("abc") << true << false;
    QTest::newRow("utf16 order") << str("\xef\xbd\xa1") << str("\xf0\x9f\x98\x80") << false << true;
    QTest::newRow("number < string") << num(5) << str("10x") << true << false;
    QTest::newRow("number < bool") << dbl(1e9) << boolean(false) << true << false;
    QTest::newRow("bool < string") << boolean(true) << str("") << true << false;
    QTest::newRow("false < true") << boolean(false) << boolean(true) << true << false;
    QTest::newRow("NaN after numbers") << dbl(1e300) << dbl(NaN) << true << false;
    QTest::newRow("NaN before bool") << dbl(NaN) << boolean(false) << true << false;
    QTest::newRow("NaN ~ NaN") << dbl(NaN) << dbl(NaN) << false << false;
    QTest::newRow("strings equal") << str("x") << str("x") << false << false;
    QTest::newRow("invalid utf8 distinct") << TVariant("\xff", false, nullptr) << TVariant("\xfe", false, nullptr) << false << true;
}

void TVariantTest::order()
{
    QFETCH(TVariant, a);
    QFETCH(TVariant, b);
    QFETCH(bool, less);
    QFETCH(bool, greater);
    QCOMPARE(a < b, less);
    QCOMPARE(b < a, greater);
}

void TVariantTest::orderIsStrictWeak()
{
    const QList<TVariant> values { TVariant(), num(0), num(-1), num(3), dbl(3.0), dbl(-0.0), dbl(2.5),
                                   dbl(NaN), dbl(Inf), dbl(-Inf), TVariant(3.0, 4.0), TVariant(-7.0, 1.0),
                                   boolean(false), boolean(true), str(""), str("10x"), str("9x"),
                                   str("\xc3\xa9"), TVariant("\xff", false, nullptr), TVariant("\xfe", false, nullptr),
                                   str("\xef\xbf\xbd"), str("a") };
    for (const TVariant& a : values) {
        QVERIFY(!(a < a));
        for (const TVariant& b : values) {
            if (a < b)
                QVERIFY(!(b < a));
            const bool eqAB = !(a < b) && !(b < a);
            for (const TVariant& c : values) {
                if (a < b && b < c)
                    QVERIFY2(a < c, qPrintable(a.toString() + " " + b.toString() + " " + c.toString()));
                const bool eqBC = !(b < c) && !(c < b);
                if (eqAB && eqBC)
                    QVERIFY(!(a < c) && !(c < a));
            }
        }
    }
}

void TVariantTest::mixedOrderedMap()
{
    // Strings and numbers in one ordered histogram: no count is lost.
    THash<TVariant, int> h(true);
    const QList<TVariant> keys { str("10x"), num(5), str("9x"), TVariant(), dbl(2.5), num(-1),
                                 boolean(true), str("10x"), num(5), dbl(5.0) };
    for (const TVariant& k : keys)
        h[k] += 1;
    QCOMPARE(h.size(), 7);
    QStringList order;
    for (const TVariant& k : h.keys())
        order << k.toString();
    QCOMPARE(order, (QStringList { "-1", "", "2.500000", "5", "1", "10x", "9x" }));
    QCOMPARE(h.value(num(5)), 3); // int 5 twice and the double 5.0: one key
    QCOMPARE(h.value(str("10x")), 2);
    int total = 0;
    for (int c : h.values())
        total += c;
    QCOMPARE(total, keys.size());
}

void TVariantTest::roundTo_data()
{
    QTest::addColumn<double>("v");
    QTest::addColumn<int>("n");
    QTest::addColumn<double>("result");
    QTest::newRow("2.5") << 2.5 << 0 << 3.0;
    QTest::newRow("-2.5") << -2.5 << 0 << -2.0;
    QTest::newRow("-1.25") << -1.25 << 1 << -1.2;
    QTest::newRow("3.14159") << 3.14159 << 2 << 3.14;
    QTest::newRow("1.005") << 1.005 << 2 << 1.0;
    QTest::newRow("-0.4") << -0.4 << 0 << 0.0;
    QTest::newRow("share") << 2.0 / 3.0 << 3 << 0.667;
    QTest::newRow("negative n") << 1250.0 << -2 << 1300.0;
    // Beyond the 32-bit range: 64-bit rounding, halves up.
    QTest::newRow("3e9+0.5") << 3000000000.5 << 0 << 3000000001.0;
    QTest::newRow("-3e9-0.5") << -3000000000.5 << 0 << -3000000000.0;
    QTest::newRow("1e10 3 decimals") << 12345678901.2345 << 3 << 12345678901.235;
    QTest::newRow("2^52+1") << 4503599627370497.0 << 0 << 4503599627370497.0;
    QTest::newRow("NaN") << NaN << 2 << 0.0;
    QTest::newRow("+inf") << Inf << 0 << 9223372036854775807.0;
    QTest::newRow("-1e300") << -1e300 << 0 << -9223372036854775808.0;
}

void TVariantTest::roundTo()
{
    QFETCH(double, v);
    QFETCH(int, n);
    QFETCH(double, result);
    QCOMPARE(::roundTo(v, n), result);
}

void TVariantTest::intervalsOverlap_data()
{
    QTest::addColumn<double>("a");
    QTest::addColumn<double>("b");
    QTest::addColumn<double>("c");
    QTest::addColumn<double>("d");
    QTest::addColumn<bool>("overlap");
    QTest::newRow("touching") << 0.0 << 1.0 << 1.0 << 2.0 << true;
    QTest::newRow("apart") << 0.0 << 1.0 << 1.5 << 2.0 << false;
    QTest::newRow("inside") << 0.0 << 10.0 << 2.0 << 3.0 << true;
    QTest::newRow("before") << 5.0 << 6.0 << 0.0 << 4.9 << false;
}

void TVariantTest::intervalsOverlap()
{
    QFETCH(double, a);
    QFETCH(double, b);
    QFETCH(double, c);
    QFETCH(double, d);
    QFETCH(bool, overlap);
    QCOMPARE(::intervalsOverlap(a, b, c, d), overlap);
}

LUMIVANE_TEST(TVariantTest)
#include "TVariantTest.moc"
