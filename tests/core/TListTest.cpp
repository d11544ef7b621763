#include "TestRegistry.h"

#include "core/TList.h"
#include "core/TVariant.h"

#include <QtTest>

#include <stdexcept>

namespace {
TList<int> range(int n)
{
    TList<int> l;
    for (int i = 0; i < n; ++i)
        l.items.push_back(i);
    return l;
}

QList<int> toQ(const TList<int>& l) { return l.toQList(); }

// The message of the out-of-range error thrown by f, or "no throw".
template <typename F>
QString thrownMessage(F f)
{
    try {
        f();
    } catch (const std::out_of_range& e) {
        return QString::fromLatin1(e.what());
    }
    return QStringLiteral("no throw");
}

QString rangeMessage(const char* index, int size)
{
    return QStringLiteral("vector::_M_range_check: __n (which is %1) >= this->size() (which is %2)")
        .arg(QLatin1String(index))
        .arg(size);
}
}

class TListTest : public QObject
{
    Q_OBJECT
private slots:
    void emptyAndClear();
    void checkedAccess();
    void uncheckedAccessThroughInterface();
    void mid_data();
    void mid();
    void reverse_data();
    void reverse();
    void indexOf();
    void removeOne();
    void fromQtContainers();
    void appendOther();
    void appendSelf();
    void manyAppendsGrowGeometrically();
    void copiesAreIndependent();
};

void TListTest::emptyAndClear()
{
    TList<QString> l;
    QCOMPARE(l.size(), 0);
    QVERIFY(l.isEmpty());
    l.append(QStringLiteral("a"));
    l.append(QStringLiteral("b"));
    const auto capacity = l.items.capacity();
    l.clear();
    QCOMPARE(l.size(), 0);
    QVERIFY(l.isEmpty());
    QCOMPARE(l.items.capacity(), capacity); // clear keeps the storage
    l.append(QStringLiteral("c"));
    QCOMPARE(l.size(), 1);
    QCOMPARE(l.first(), QStringLiteral("c"));
}

void TListTest::checkedAccess()
{
    const TList<int> empty;
    QCOMPARE(thrownMessage([&] { empty.last(); }), rangeMessage("18446744073709551615", 0));
    QCOMPARE(thrownMessage([&] { empty.first(); }), rangeMessage("0", 0));

    const TList<int> three = range(3);
    QCOMPARE(thrownMessage([&] { three[-1]; }), rangeMessage("18446744073709551615", 3));
    QCOMPARE(thrownMessage([&] { three[3]; }), rangeMessage("3", 3));
    QCOMPARE(three[2], 2);
    QCOMPARE(three.first(), 0);
    QCOMPARE(three.last(), 2);

    // Through the interface the same checks apply.
    const IList<int>& iface = three;
    QCOMPARE(thrownMessage([&] { iface[5]; }), rangeMessage("5", 3));
    QCOMPARE(iface.size(), 3);
}

void TListTest::uncheckedAccessThroughInterface()
{
    TList<int> l = range(3);
    IList<int>& iface = l;
    iface[1] = 10;
    iface.first() = 20;
    iface.last() = 30;
    QCOMPARE(iface.at(0), 20);
    QCOMPARE(toQ(l), (QList<int> { 20, 10, 30 }));
    iface.clear();
    QVERIFY(iface.isEmpty());
}

void TListTest::mid_data()
{
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("len");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("from 1") << 1 << -1 << QList<int> { 1, 2, 3 };
    QTest::newRow("from 1 len 2") << 1 << 2 << QList<int> { 1, 2 };
    QTest::newRow("from 3 len 5") << 3 << 5 << QList<int> { 3 };
    QTest::newRow("from 4") << 4 << -1 << QList<int> {};
    QTest::newRow("from 0 len 0") << 0 << 0 << QList<int> {};
    QTest::newRow("len to end") << 2 << 2 << QList<int> { 2, 3 };
    QTest::newRow("huge len") << 1 << 2147483647 << QList<int> { 1, 2, 3 };
    QTest::newRow("past end") << 5 << -1 << QList<int> {};
    QTest::newRow("far past end") << 100 << 2 << QList<int> {};
    QTest::newRow("len below -1") << 1 << -2 << QList<int> {};
    QTest::newRow("negative pos") << -1 << 2 << QList<int> {};
}

void TListTest::mid()
{
    QFETCH(int, pos);
    QFETCH(int, len);
    QFETCH(QList<int>, expected);
    QCOMPARE(toQ(range(4).mid(pos, len)), expected);
}

void TListTest::reverse_data()
{
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("five") << QStringList { "a", "b", "c", "d", "e" } << QStringList { "e", "d", "c", "b", "a" };
    QTest::newRow("four") << QStringList { "a", "b", "c", "d" } << QStringList { "d", "c", "b", "a" };
    QTest::newRow("one") << QStringList { "a" } << QStringList { "a" };
    QTest::newRow("none") << QStringList {} << QStringList {};
}

void TListTest::reverse()
{
    QFETCH(QStringList, input);
    QFETCH(QStringList, expected);
    TList<QString> l(input);
    l.reverse();
    QCOMPARE(QStringList(l.toQList()), expected);
}

void TListTest::indexOf()
{
    const TList<QString> l(QStringList { "a", "b", "a", "c" });
    QCOMPARE(l.indexOf(QStringLiteral("a")), 0);
    QCOMPARE(l.indexOf(QStringLiteral("a"), 1), 2);
    QCOMPARE(l.indexOf(QStringLiteral("a"), 3), -1);
    QCOMPARE(l.indexOf(QStringLiteral("z")), -1);
    QCOMPARE(l.indexOf(QStringLiteral("c"), 4), -1);
    QCOMPARE(l.indexOf(QStringLiteral("c"), 99), -1);
    QVERIFY(l.contains(QStringLiteral("b")));

    const TList<TVariant> values { TVariant(1, nullptr), TVariant(1.0, nullptr) };
    QCOMPARE(values.indexOf(TVariant(1.0, nullptr)), 1); // by the element's ==
}

void TListTest::removeOne()
{
    TList<int> l { 1, 2, 3, 2 };
    QVERIFY(l.removeOne(2));
    QCOMPARE(toQ(l), (QList<int> { 1, 3, 2 }));
    QVERIFY(!l.removeOne(7));
    QCOMPARE(l.size(), 3);
}

void TListTest::fromQtContainers()
{
    const TList<int> fromList(QList<int> { 3, 1, 2 });
    QCOMPARE(toQ(fromList), (QList<int> { 3, 1, 2 }));

    const QSet<int> set { 5, 7, 9, 7 };
    const TList<int> fromSet(set);
    QCOMPARE(fromSet.size(), 3);
    const QList<int> elements = fromSet.toQList();
    QCOMPARE(QSet<int>(elements.begin(), elements.end()), set);
    QList<int> inSetOrder;
    for (int v : set)
        inSetOrder << v;
    QCOMPARE(toQ(fromSet), inSetOrder);
}

void TListTest::appendOther()
{
    TList<int> a = range(2);
    const TList<int> b { 7, 8, 9 };
    a.append(b);
    QCOMPARE(toQ(a), (QList<int> { 0, 1, 7, 8, 9 }));
    a.append(TList<int>());
    QCOMPARE(a.size(), 5);

    TList<TList<int>> nested;
    nested.append(b); // a single element that is itself a list
    QCOMPARE(nested.size(), 1);
    QCOMPARE(nested.first().size(), 3);
}

void TListTest::appendSelf()
{
    // Self-append ends and doubles the list.
    TList<QString> l(QStringList { "x", "y", "z" });
    l.append(static_cast<const IList<QString>&>(l));
    QCOMPARE(QStringList(l.toQList()), (QStringList { "x", "y", "z", "x", "y", "z" }));
    TList<QString> empty;
    empty.append(static_cast<const IList<QString>&>(empty));
    QVERIFY(empty.isEmpty());
}

void TListTest::copiesAreIndependent()
{
    TList<QString> a(QStringList { "a", "b" });
    TList<QString> b = a;
    b[0] = QStringLiteral("changed");
    QCOMPARE(a.first(), QStringLiteral("a"));
    a = b;
    QCOMPARE(a.first(), QStringLiteral("changed"));
    TList<int*> pointers;
    int x = 1;
    pointers.append(&x);
    TList<int*> copy = pointers;
    QCOMPARE(copy.first(), &x); // pointers are copied as pointers
}

void TListTest::manyAppendsGrowGeometrically()
{
    // Lists appended one after another must not be copied at every append.
    TList<int> piece;
    piece.append(1);
    piece.append(2);
    TList<int> all;
    int moves = 0;
    const int* data = nullptr;
    for (int k = 0; k < 10000; ++k) {
        all.append(piece);
        if (all.items.data() != data) {
            data = all.items.data();
            ++moves;
        }
    }
    QCOMPARE(all.size(), 20000);
    QCOMPARE(all.at(19999), 2);
    QVERIFY2(moves <= 20, qPrintable(QString::number(moves)));
}

LUMIVANE_TEST(TListTest)
#include "TListTest.moc"
