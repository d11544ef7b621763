#include "TestRegistry.h"

#include "items/BinItem.h"
#include "items/BinSerie.h"

#include <QtTest>

#include <type_traits>

namespace {

// Counts its destructions, to see the series delete its items exactly once.
class CountedItem : public BinItem
{
public:
    explicit CountedItem(int* deleted) : BinItem(nullptr, nullptr), deleted(deleted) {}
    ~CountedItem() override { ++*deleted; }
    int* deleted;
};

} // namespace

class BinSerieTest : public QObject
{
    Q_OBJECT

private slots:
    void newSeries();
    void clearSkipsNull();
    void destructionDeletesItems();
    void notCopyable();
};

void BinSerieTest::newSeries()
{
    int marker = 0;
    BinSerie serie(&marker);
    QCOMPARE(serie.size(), 0);
    QCOMPARE(serie.color, QColor(177, 189, 197));
    QCOMPARE(serie.pointer, static_cast<void*>(&marker));
    QVERIFY(!serie.flag);
    QCOMPARE(serie.first, qint64(0));
    QCOMPARE(serie.second, 0.0);
}

void BinSerieTest::clearSkipsNull()
{
    int deleted = 0;
    BinSerie serie(nullptr);
    serie.items.append(new CountedItem(&deleted));
    serie.items.append(nullptr);
    serie.items.append(new CountedItem(&deleted));
    QCOMPARE(serie.size(), 3);
    serie.clear();
    QCOMPARE(deleted, 2);
    QCOMPARE(serie.size(), 0);
    // Filled again after a clear.
    serie.items.append(new CountedItem(&deleted));
    QCOMPARE(serie.size(), 1);
}

void BinSerieTest::destructionDeletesItems()
{
    int deleted = 0;
    {
        auto* serie = new BinSerie(nullptr);
        for (int i = 0; i < 4; ++i)
            serie->items.append(new CountedItem(&deleted));
        delete serie;
    }
    QCOMPARE(deleted, 4);
}

void BinSerieTest::notCopyable()
{
    // A copy would delete the same items twice.
    QVERIFY(!std::is_copy_constructible<BinSerie>::value);
    QVERIFY(!std::is_copy_assignable<BinSerie>::value);
}

LUMIVANE_TEST(BinSerieTest)
#include "BinSerieTest.moc"
