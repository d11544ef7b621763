#include "TestRegistry.h"

#include <QtTest>

#include <memory>

#include "items/GraphicsItem.h"

namespace {

// An item whose right edge reaches further than its stored width.
class WideRightItem : public GraphicsItem
{
public:
    WideRightItem() : GraphicsItem(QPointF(0, 0), 5, 5) {}
    double right() const override { return x + 50; }
};

int destroyedCount = 0;

class CountingItem : public GraphicsItem
{
public:
    CountingItem() : GraphicsItem(QPointF(0, 0), 5, 5) {}
    ~CountingItem() override { ++destroyedCount; }
};

} // namespace

class GraphicsItemTest : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void contains_data();
    void contains();
    void rectIgnoresPosition();
    void overriddenEdgeDecidesContains();
    void deletedThroughBasePointer();
};

void GraphicsItemTest::construction()
{
    GraphicsItem item(QPointF(3.5, -2), 7, 9);
    QCOMPARE(item.x, 3.5);
    QCOMPARE(item.y, -2.0);
    QVERIFY(!item.selected);
    QVERIFY(!item.highlighted);
    QCOMPARE(item.width(), 7.0);
    QCOMPARE(item.height(), 9.0);
    QCOMPARE(item.right(), 10.5);
    QCOMPARE(item.bottom(), 7.0);
    QCOMPARE(item.centerX(), 7.0);
    QCOMPARE(item.centerY(), 2.5);

    item.selected = true;
    GraphicsItem copy(item);
    QCOMPARE(copy.pos(), QPointF(3.5, -2));
    QVERIFY(copy.selected);
    QCOMPARE(copy.storedWidth, 7.0);
}

void GraphicsItemTest::contains_data()
{
    QTest::addColumn<int>("px");
    QTest::addColumn<int>("py");
    QTest::addColumn<bool>("inside");
    QTest::newRow("top-left corner") << 0 << 0 << true;
    QTest::newRow("bottom-right corner") << 5 << 5 << true;
    QTest::newRow("right of the box") << 6 << 0 << false;
    QTest::newRow("above the box") << 2 << -1 << false;
}

void GraphicsItemTest::contains()
{
    QFETCH(int, px);
    QFETCH(int, py);
    QFETCH(bool, inside);
    GraphicsItem item(QPointF(0, 0), 5, 5);
    QCOMPARE(item.contains(px, py), inside);
}

void GraphicsItemTest::rectIgnoresPosition()
{
    GraphicsItem item(QPointF(0, 0), 5, 5);
    item.setPos(QPointF(40, 10));
    item.setWidth(20);
    item.setHeight(8);
    QCOMPARE(item.rect(), QRectF(0, 0, 20, 8));
    QCOMPARE(item.pos(), QPointF(40, 10));
}

void GraphicsItemTest::overriddenEdgeDecidesContains()
{
    WideRightItem item;
    QVERIFY(item.contains(30, 2));
}

void GraphicsItemTest::deletedThroughBasePointer()
{
    destroyedCount = 0;
    std::unique_ptr<GraphicsItem> item(new CountingItem);
    item.reset();
    QCOMPARE(destroyedCount, 1);
}

LUMIVANE_TEST(GraphicsItemTest)
#include "GraphicsItemTest.moc"
