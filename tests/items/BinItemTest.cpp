#include "TestRegistry.h"

#include <QtTest>
#include <QWidget>

#include "core/Constants.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"

namespace {

BinItem named(const QString& name)
{
    BinItem item(nullptr, nullptr);
    item.name = name;
    return item;
}

} // namespace

class BinItemTest : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void scaledSize();
    void centredEdges();
    void parentEdges();
    void shapeNames_data();
    void shapeNames();
    void copyIsDeepForListsShallowForCondition();
    void destroyingItemLeavesConditionAlone();
    void flattenBreadthFirst();
    void polygonCorners_data();
    void polygonCorners();
    void iconRestoresGeometry();
};

void BinItemTest::defaults()
{
    BinItem item(nullptr, nullptr);
    QCOMPARE(item.rect(), QRectF(0, 0, 5, 5));
    QCOMPARE(item.edgeColor, QColor(Qt::black));
    QCOMPARE(item.fillColor, QColor(222, 226, 230));
    QCOMPARE(item.shape, SQUARE);
    QCOMPARE(item.mode, NORMAL);
    QVERIFY(item.showLabel && item.showDetail && item.visible && showMulti);
}

void BinItemTest::scaledSize()
{
    BinItem item(nullptr, nullptr);
    item.sizeFactor = 2.0;
    item.setWidth(20);
    item.setHeight(10);
    item.setPos(QPointF(7, 3));
    QCOMPARE(item.width(), 40.0);
    QCOMPARE(item.height(), 20.0);
    // The horizontal edges use the stored width, the vertical ones the scaled height.
    QCOMPARE(item.right(), 27.0);
    QCOMPARE(item.bottom(), 23.0);
    QCOMPARE(item.centerX(), 27.0);
    QCOMPARE(item.centerY(), 13.0);
}

void BinItemTest::centredEdges()
{
    BinItem item(nullptr, nullptr);
    item.centred = true;
    item.setWidth(21);
    item.setX(100);
    QCOMPARE(item.left(), 90.0);
    QCOMPARE(item.right(), 111.0);
    QCOMPARE(item.centerX(), 110.5);  // no centring correction
    QVERIFY(item.contains(90, 2));
    QVERIFY(!item.contains(89, 2));
}

void BinItemTest::parentEdges()
{
    QWidget owner;
    owner.move(100, 50);
    BinItem item(nullptr, &owner);
    item.centred = true;
    item.setWidth(21);
    item.setHeight(10);
    item.setPos(QPointF(100, 5));
    // The half width comes off once in left()/right() and once more here.
    QCOMPARE(item.parentLeft(), 180.0);
    QCOMPARE(item.parentRight(), 201.0);
    QCOMPARE(item.parentTop(), 55.0);
    QCOMPARE(item.parentBottom(), 65.0);

    BinItem orphan(nullptr, nullptr);
    orphan.setPos(QPointF(4, 6));
    QCOMPARE(orphan.parentLeft(), 4.0);
    QCOMPARE(orphan.parentBottom(), 11.0);
}

void BinItemTest::shapeNames_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<QString>("name");
    QTest::newRow("square") << 0 << "Square";
    QTest::newRow("circle") << 1 << "Circle";
    QTest::newRow("triangle") << 2 << "Triangle";
    QTest::newRow("pentagon") << 3 << "Pentagon";
    QTest::newRow("diamond") << 4 << "Diamond";
    QTest::newRow("unknown shape") << 7 << "unknown";
    QTest::newRow("negative shape") << -1 << "unknown";
}

void BinItemTest::shapeNames()
{
    QFETCH(int, shape);
    QFETCH(QString, name);
    QCOMPARE(BinItem::shapeName(shape), name);
    if (name != QLatin1String("unknown"))
        QCOMPARE(BinItem::shapeFromName(name), shape);
    QCOMPARE(DIAMOND, 4);
    QCOMPARE(BinItem::shapeFromName("square"), -1);
    QCOMPARE(BinItem::shapeFromName("unknown"), -1);
    QCOMPARE(BinItem::shapeFromName(""), -1);
}

void BinItemTest::copyIsDeepForListsShallowForCondition()
{
    ParseNode condition(ParseNode::Test);
    BinItem item(nullptr, nullptr);
    item.name = "A";
    item.condition = &condition;
    item.children.append(named("child"));
    item.colorStops.append(qMakePair(QColor(Qt::red), 0.5));
    item.auxValue = 3;
    item.auxDouble = 2.5;
    item.quantifier = 2;
    item.id = 9;

    BinItem copy(item);
    QCOMPARE(copy.condition, &condition);
    QCOMPARE(copy.children.size(), 1);
    QCOMPARE(copy.auxValue, 3);
    QCOMPARE(copy.auxDouble, 2.5);
    QCOMPARE(copy.quantifier, 2);
    QCOMPARE(copy.id, 9);
    copy.children[0].name = "changed";
    copy.colorStops[0].second = 1.0;
    QCOMPARE(item.children[0].name, QString("child"));
    QCOMPARE(item.colorStops[0].second, 0.5);

    BinItem assigned(nullptr, nullptr);
    assigned = item;
    QCOMPARE(assigned.name, QString("A"));
    QCOMPARE(assigned.condition, &condition);
    assigned = assigned;
    QCOMPARE(assigned.children.size(), 1);
}

void BinItemTest::destroyingItemLeavesConditionAlone()
{
    // The tree is on the heap and owned here: an item that freed it would
    // make the delete below a double free under the sanitizer.
    ParseNode* condition = new ParseNode(ParseNode::Test);
    {
        BinItem* item = new BinItem(nullptr, nullptr);
        item->condition = condition;
        BinItem copy(*item);
        GraphicsItem* base = item;
        delete base;
        QCOMPARE(copy.condition, condition);
    }
    QCOMPARE(condition->type, qint32(ParseNode::Test));
    delete condition;
}

void BinItemTest::flattenBreadthFirst()
{
    BinItem a = named("A");
    a.children.append(named("C"));
    BinItem root = named("root");
    root.children.append(a);
    root.children.append(named("B"));

    const TList<BinItem> flat = root.flatten();
    QStringList names;
    for (const BinItem& item : flat) {
        names << item.name;
        QVERIFY(item.children.isEmpty());
    }
    QCOMPARE(names, QStringList({"root", "A", "B", "C"}));
    // The source keeps its stack.
    QCOMPARE(root.children.size(), 2);
    QCOMPARE(root.children[0].children.size(), 1);

    QCOMPARE(named("alone").flatten().size(), 1);
}

void BinItemTest::polygonCorners_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QRectF>("bounds");
    QTest::addColumn<QPointF>("start");
    QTest::newRow("diamond") << 4 << QRectF(0, 0, 40, 40) << QPointF(20, 0);
    QTest::newRow("pentagon") << 5 << QRectF(20 - 20 * std::sin(qDegreesToRadians(72.0)), 0,
                                            40 * std::sin(qDegreesToRadians(72.0)),
                                            20 + 20 * std::cos(qDegreesToRadians(36.0)))
                              << QPointF(20, 0);
}

void BinItemTest::polygonCorners()
{
    QFETCH(int, n);
    QFETCH(QRectF, bounds);
    QFETCH(QPointF, start);
    const QPainterPath path = BinItem::polygonPath(20, 20, n);
    QCOMPARE(path.elementCount(), n + 1);
    QCOMPARE(QPointF(path.elementAt(0)), start);
    const QRectF r = path.boundingRect();
    QVERIFY2(qAbs(r.left() - bounds.left()) < 1e-9 && qAbs(r.right() - bounds.right()) < 1e-9
                 && qAbs(r.top() - bounds.top()) < 1e-9 && qAbs(r.bottom() - bounds.bottom()) < 1e-9,
             qPrintable(QString("%1 %2 %3 %4").arg(r.left()).arg(r.top()).arg(r.right()).arg(r.bottom())));
    // Clockwise on screen: the second corner lies to the right of the first.
    QVERIFY(path.elementAt(1).x > start.x());

    QVERIFY(BinItem::polygonPath(20, 20, 0).isEmpty());
    QVERIFY(BinItem::polygonPath(20, 20, -3).isEmpty());
}

void BinItemTest::iconRestoresGeometry()
{
    BinItem item(nullptr, nullptr);
    item.sizeFactor = 1.5;
    item.setPos(QPointF(100, 50));
    const QIcon icon = item.icon(32, 32);
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes().value(0), QSize(32, 32));
    QCOMPARE(item.pos(), QPointF(100, 50));
    QCOMPARE(item.storedWidth, 5.0);
    QCOMPARE(item.storedHeight, 5.0);

    // The picture is the item drawn at the icon's size over white.
    const QImage image = icon.pixmap(32, 32).toImage();
    QCOMPARE(image.pixelColor(0, 0).rgb(), QColor(DEFAULT_FILL_COLOR).darker(110).rgb());
    // Drawn at 1.5 times the icon's size, the glyph covers the whole picture.
    QCOMPARE(image.pixelColor(31, 31).rgb(), QColor(DEFAULT_FILL_COLOR).darker(110).rgb());
}

LUMIVANE_TEST(BinItemTest)
#include "BinItemTest.moc"
