#include "TestRegistry.h"

#include "core/Packet.h"
#include "core/TVariant.h"
#include "items/GroupItem.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// Owns the grouped items, as a cell does.
struct Run
{
    std::vector<std::unique_ptr<BinItem>> owned;
    TList<BinItem*> items;

    BinItem* add(double x, double width, double top, double height, const QColor& fill,
                 const QString& name = QString(), bool centred = true)
    {
        owned.emplace_back(new BinItem(nullptr, nullptr));
        BinItem* item = owned.back().get();
        item->x = x;
        item->y = top;
        item->storedWidth = width;
        item->storedHeight = height;
        item->centred = centred;
        item->fillColor = fill;
        item->name = name;
        items.append(item);
        return item;
    }
};

// Three centred 20-pixel items at centres 10, 35 and 60.
void threeItems(Run& run, const QStringList& names = {"", "", ""})
{
    run.add(10, 20, 0, 20, Qt::red, names[0]);
    run.add(35, 20, 0, 20, Qt::green, names[1]);
    run.add(60, 20, 0, 20, Qt::blue, names[2]);
}

} // namespace

class GroupItemTest : public QObject
{
    Q_OBJECT

private slots:
    void boxOfCentredRun();
    void segmentsPerItem();
    void segmentsPerName();
    void narrowItemsGetTwoPixelSegments();
    void everyItemGetsItsSegment_data();
    void everyItemGetsItsSegment();
    void negativeCoordinates();
    void emptyList();
    void packetsOfEveryItem();
    void paintCoversRun();
};

void GroupItemTest::boxOfCentredRun()
{
    Run run;
    threeItems(run);
    GroupItem group(run.items, false, true, nullptr);
    QCOMPARE(group.x, 35.0);
    QCOMPARE(group.y, 0.0);
    QCOMPARE(group.storedWidth, 70.0);
    QCOMPARE(group.storedHeight, 20.0);
    QCOMPARE(group.left(), 0.0);
    QCOMPARE(group.right(), 70.0);
    QCOMPARE(group.mode, GROUP);
    QCOMPARE(group.fillColor, QColor(Qt::red));
    QVERIFY(group.centred);
    QVERIFY(group.condition == nullptr);
    QVERIFY(group.name.isEmpty());
    QCOMPARE(group.items.size(), 3);
}

void GroupItemTest::segmentsPerItem()
{
    Run run;
    threeItems(run);
    GroupItem group(run.items, false, true, nullptr);
    QCOMPARE(group.segments.size(), 3);
    const QList<double> offsets{0, 20, 40};
    const QList<QColor> colors{Qt::red, Qt::green, Qt::blue};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(group.segments[i].x, offsets[i]);
        QCOMPARE(group.segments[i].storedWidth, 23.333333333333332);
        QCOMPARE(group.segments[i].storedHeight, 20.0);
        QCOMPARE(group.segments[i].fillColor, colors[i]);
    }
}

void GroupItemTest::segmentsPerName()
{
    Run run;
    threeItems(run, {"A", "A", "B"});
    GroupItem group(run.items, true, true, nullptr);
    QCOMPARE(group.segments.size(), 2);
    // Ascending counts: B (once) first, then A in the colour of its last item.
    QCOMPARE(group.segments[0].x, 0.0);
    QCOMPARE(group.segments[0].storedWidth, 23.333333333333332);
    QCOMPARE(group.segments[0].fillColor, QColor(Qt::blue));
    QCOMPARE(group.segments[1].x, 23.0);
    QCOMPARE(group.segments[1].storedWidth, 46.666666666666664);
    QCOMPARE(group.segments[1].fillColor, QColor(Qt::green));
}

void GroupItemTest::narrowItemsGetTwoPixelSegments()
{
    // Forty items over 60 pixels: segments of 2 pixels, so only 30 of them.
    Run run;
    for (int i = 0; i < 40; ++i)
        run.add(1.5 * i, 1.5, 0, 10, QColor(i, 0, 0), QString(), false);
    GroupItem group(run.items, false, false, nullptr);
    QCOMPARE(group.storedWidth, 60.0);
    QCOMPARE(group.segments.size(), 30);
    QCOMPARE(group.segments[0].storedWidth, 2.0);
    QCOMPARE(group.segments[29].fillColor, QColor(29, 0, 0));
}

void GroupItemTest::everyItemGetsItsSegment_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("width");

    // width / (width / n) comes out just below n for these.
    QTest::newRow("7 in 29") << 7 << 29.0;
    QTest::newRow("3 in 70") << 3 << 70.0;
    QTest::newRow("49 in 100") << 49 << 100.0;
    QTest::newRow("one item") << 1 << 5.0;
}

void GroupItemTest::everyItemGetsItsSegment()
{
    QFETCH(int, count);
    QFETCH(double, width);
    Run run;
    const double w = width / count;
    for (int i = 0; i < count; ++i)
        run.add(w * i, w, 0, 10, Qt::gray, QString(), false);
    GroupItem group(run.items, false, false, nullptr);
    QCOMPARE(group.storedWidth, width);
    QCOMPARE(group.segments.size(), count);
}

void GroupItemTest::negativeCoordinates()
{
    Run run;
    run.add(-50, 10, -30, 10, Qt::red, QString(), false);
    run.add(-40, 10, -30, 12, Qt::red, QString(), false);
    GroupItem group(run.items, false, false, nullptr);
    QCOMPARE(group.y, -30.0);
    QCOMPARE(group.storedWidth, 20.0);
    QCOMPARE(group.storedHeight, 12.0);
    QCOMPARE(group.x, -45.0);
    QCOMPARE(group.segments.size(), 2);
}

void GroupItemTest::emptyList()
{
    GroupItem group(TList<BinItem*>(), false, true, nullptr);
    QCOMPARE(group.storedWidth, 0.0);
    QCOMPARE(group.storedHeight, 0.0);
    QCOMPARE(group.x, 0.0);
    QCOMPARE(group.y, 0.0);
    QVERIFY(group.segments.isEmpty());
    QVERIFY(group.packets.isEmpty());
    GroupItem byName(TList<BinItem*>(), true, true, nullptr);
    QVERIFY(byName.segments.isEmpty());

    QImage img(10, 10, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    QPen pen;
    QBrush brush;
    group.paint(&painter, pen, brush);
    painter.end();
    QCOMPARE(img.pixel(0, 0), qRgb(255, 255, 255));
}

void GroupItemTest::packetsOfEveryItem()
{
    TList<TVariant> row;
    row.append(TVariant(1));
    auto p1 = QSharedPointer<Packet>::create(row);
    auto p2 = QSharedPointer<Packet>::create(row);
    Run run;
    threeItems(run);
    run.items[0]->packets.append(p1);
    run.items[1]->packets.append(p1);
    run.items[1]->packets.append(p2);
    GroupItem group(run.items, false, true, nullptr);
    QCOMPARE(group.packets.size(), 3);
    QCOMPARE(group.packets[0].data(), p1.data());
    QCOMPARE(group.packets[1].data(), p1.data());
    QCOMPARE(group.packets[2].data(), p2.data());
}

void GroupItemTest::paintCoversRun()
{
    Run run;
    threeItems(run);
    GroupItem group(run.items, false, true, nullptr);
    QImage img(80, 30, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    QPen pen;
    QBrush brush;
    group.paint(&painter, pen, brush);
    painter.end();
    // Drawn from 0 to 70; segments overlap where they are wider than the
    // items' spacing, the later one on top.
    QCOMPARE(QColor(img.pixel(1, 10)), QColor(Qt::red));
    QCOMPARE(QColor(img.pixel(30, 10)), QColor(Qt::green));
    QCOMPARE(QColor(img.pixel(50, 10)), QColor(Qt::blue));
    QCOMPARE(QColor(img.pixel(62, 19)), QColor(Qt::blue));
    QCOMPARE(img.pixel(75, 10), qRgb(255, 255, 255));
    QCOMPARE(img.pixel(30, 25), qRgb(255, 255, 255));
}

LUMIVANE_TEST(GroupItemTest)
#include "GroupItemTest.moc"
