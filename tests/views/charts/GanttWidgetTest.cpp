#include "ContextFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "items/AxisPer.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/charts/GanttWidget.h"

#include <QMouseEvent>
#include <QRandomGenerator>
#include <QToolTip>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

struct Conv
{
    int id;
    double from;
    double to;
};

// Keeps the "select" events that reach the controller.
class SelectRecorder : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == toEventType(PACKETSEVENT)) {
            auto* pe = static_cast<PacketsEvent*>(e);
            args.append(pe->args);
            QList<int> ids;
            for (const auto& p : pe->events())
                ids.append(p->conversationId);
            events.append(ids);
        }
        return false;
    }
    QList<QList<QVariant>> args;
    QList<QList<int>> events;   // per event: the trace of every event carried
};

// A controller whose store knows a time and a host column, a context over
// one event at each end of every conversation, and a chart of w x h.
struct Chart
{
    explicit Chart(const QList<Conv>& convs, int w = 400, int h = 300)
        : control(new ControlWidget(nullptr))
    {
        TIME_ATTRIBUTE = QStringLiteral("frame.time_epoch");
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>({TIME_ATTRIBUTE, QStringLiteral("host")}),
                             TList<int>({1, 3}));
        fixture::Packets events;
        for (const Conv& c : convs) {
            events.append(fixture::makeEvent({QString::number(c.from, 'f', 3), "h"}, c.id));
            if (c.to != c.from)
                events.append(fixture::makeEvent({QString::number(c.to, 'f', 3), "h"}, c.id));
        }
        context.reset(new Context(nullptr, QStringLiteral("temp"), events, store, true));
        chart.reset(new GanttWidget(control.get(), nullptr));
        chart->resize(w, h);
        chart->setData(context.get(), true, true);
        control->installEventFilter(&recorder);
    }
    ~Chart()
    {
        chart.reset();
        context.reset();
    }

    BinItem* bar(int id) const
    {
        for (BinItem* b : chart->rows->items)
            if (int(b->auxDouble) == id)
                return b;
        return nullptr;
    }
    int rowHeight() const { return int(chart->rows->items.first()->height()); }
    int lane(int id) const
    {
        const double y = bar(id)->y;
        return int(((chart->axis->y - 2) - y) / (rowHeight() + 2)) - 1;
    }
    QPoint inside(int id) const
    {
        const BinItem* b = bar(id);
        return QPoint(int(b->left() + 1), int(b->top() + 1));
    }
    void move(const QPoint& p)
    {
        QMouseEvent e(QEvent::MouseMove, p, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(chart.get(), &e);
    }
    void press(const QPoint& p, Qt::MouseButton button = Qt::LeftButton,
               Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        move(p);
        QMouseEvent e(QEvent::MouseButtonPress, p, button, button, mods);
        QCoreApplication::sendEvent(chart.get(), &e);
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<Context> context;
    std::unique_ptr<GanttWidget> chart;
    SelectRecorder recorder;
};

// Lanes as the chart must assign them, worked out apart: conversations by
// falling duration (list order among equals), each into the first lane whose
// first interval does not contain it, else into a new lane.
QMap<int, int> expectedLanes(const QList<Conv>& convs)
{
    QList<Conv> order = convs;
    std::stable_sort(order.begin(), order.end(), [](const Conv& a, const Conv& b) {
        return a.to - a.from > b.to - b.from;
    });
    QList<QPair<qint64, qint64>> lanes;
    QMap<int, int> result;
    for (const Conv& c : order) {
        int lane = 0;
        while (lane < lanes.size() && lanes[lane].first <= c.from && c.to <= lanes[lane].second)
            ++lane;
        if (lane == lanes.size())
            lanes.append({qint64(c.from), qint64(c.to)});
        result[c.id] = lane;
    }
    return result;
}

} // namespace

Q_DECLARE_METATYPE(QList<Conv>)

class GanttWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void range_data();
    void range();
    void binStep_data();
    void binStep();
    void zeroLengthBars();
    void lanes_data();
    void lanes();
    void randomLanesMatch();
    void manyLanesKeepThreePixels();
    void narrowWidgetKeepsAxisLength();
    void hover();
    void pressSelects();
    void rightPressSelectsNothing();
    void pressDoesNotRenderContent();
    void noContext();
};

void GanttWidgetTest::range_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<double>("axisMin");
    QTest::addColumn<double>("axisMax");
    QTest::newRow("60 s kept") << 100.0 << 160.0 << 100.0 << 160.0;
    QTest::newRow("out to whole minutes") << 100.0 << 170.0 << 60.0 << 180.0;
    QTest::newRow("on minutes") << 120.0 << 240.0 << 120.0 << 240.0;
    QTest::newRow("fraction past the minute") << 1700000000.0 << 1700000180.5 << 1699999980.0
                                              << 1700000220.0;
    QTest::newRow("one instant") << 100.0 << 100.0 << 100.0 << 100.0;
}

// The axis covers the data, so every bar lies on it.
void GanttWidgetTest::range()
{
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(double, axisMin);
    QFETCH(double, axisMax);
    Chart c({{1, from, to}, {2, from, from}, {3, to, to}});
    QCOMPARE(c.chart->axis->viewMin, axisMin);
    QCOMPARE(c.chart->axis->viewMax, axisMax);
    for (const BinItem* b : c.chart->rows->items) {
        QVERIFY(b->left() >= c.chart->axis->x);
        QVERIFY(b->left() <= c.chart->axis->x + c.chart->axis->width);
    }
}

void GanttWidgetTest::binStep_data()
{
    QTest::addColumn<double>("span");
    QTest::addColumn<double>("step");
    QTest::newRow("1000 s") << 1000.0 << 30.0;
    QTest::newRow("60 s") << 60.0 << 2.0;
    QTest::newRow("10 s") << 10.0 << 1.0;
    QTest::newRow("nothing") << 0.0 << 1.0;
    QTest::newRow("a day") << 86400.0 << 3000.0;
}

void GanttWidgetTest::binStep()
{
    QFETCH(double, span);
    QFETCH(double, step);
    QCOMPARE(GanttWidget::binStep(span), step);
}

void GanttWidgetTest::zeroLengthBars()
{
    {
        Chart c({{1, 100, 150}, {2, 120, 120}});
        QCOMPARE(c.bar(2)->width(), 3.0);
        QVERIFY(c.bar(1)->width() > 100);
    }
    {
        // The whole axis is that instant.
        Chart c({{1, 120, 120}, {2, 120, 120}});
        QCOMPARE(c.chart->axis->width, 275.0);
        QCOMPARE(c.bar(1)->width(), 275.0);
        QCOMPARE(c.bar(1)->left(), 60.0);
    }
}

void GanttWidgetTest::lanes_data()
{
    QTest::addColumn<QList<Conv>>("convs");
    QTest::addColumn<QList<int>>("lanes");
    QTest::newRow("disjoint") << QList<Conv>{{1, 100, 120}, {2, 130, 150}} << QList<int>{0, 0};
    QTest::newRow("nested") << QList<Conv>{{1, 100, 150}, {2, 110, 120}} << QList<int>{0, 1};
    QTest::newRow("nested twice")
        << QList<Conv>{{1, 100, 150}, {2, 110, 140}, {3, 115, 120}} << QList<int>{0, 1, 2};
    QTest::newRow("overlapping") << QList<Conv>{{1, 100, 130}, {2, 120, 140}} << QList<int>{0, 0};
    QTest::newRow("inside the first, not the second")
        << QList<Conv>{{1, 100, 150}, {2, 100, 140}, {3, 145, 148}} << QList<int>{0, 1, 1};
}

void GanttWidgetTest::lanes()
{
    QFETCH(QList<Conv>, convs);
    QFETCH(QList<int>, lanes);
    Chart c(convs);
    for (int i = 0; i < convs.size(); ++i)
        QCOMPARE(c.lane(convs[i].id), lanes[i]);
    // Narrowest first: the narrower of two overlapping bars is hit first.
    for (int i = 1; i < c.chart->rows->size(); ++i)
        QVERIFY(c.chart->rows->items[i - 1]->width() <= c.chart->rows->items[i]->width());
}

void GanttWidgetTest::randomLanesMatch()
{
    QRandomGenerator rng(2024);
    QList<Conv> convs;
    for (int id = 0; id < 300; ++id) {
        const double from = 1700000000 + rng.bounded(3600);
        convs.append({id, from, from + rng.bounded(900)});
    }
    Chart c(convs, 800, 600);
    const QMap<int, int> expected = expectedLanes(convs);
    int n = 1;
    for (int lane : expected)
        n = std::max(n, lane);
    for (const Conv& conv : convs)
        QCOMPARE(c.bar(conv.id)->y,
                 (c.chart->axis->y - 2) - (expected[conv.id] + 1) * (c.rowHeight() + 2));
    QCOMPARE(c.rowHeight(),
             int(std::min(30.0, std::max(3.0, (c.chart->axis->y - 60 - 2.0 * n) / n))));
}

void GanttWidgetTest::manyLanesKeepThreePixels()
{
    QList<Conv> convs;
    for (int id = 0; id < 200; ++id)
        convs.append({id, 1000.0 + id, 2000.0 - id});
    Chart c(convs);
    QCOMPARE(c.rowHeight(), 3);
    QCOMPARE(c.lane(199), 199);
    // The topmost lanes lie above the image.
    QVERIFY(c.bar(199)->top() < 0);
    QVERIFY(c.chart->render(false, false, nullptr));
}

void GanttWidgetTest::narrowWidgetKeepsAxisLength()
{
    Chart c({{1, 100, 150}, {2, 110, 120}});
    QCOMPARE(c.chart->axis->width, 275.0);
    c.chart->setSize(125, 300);
    QCOMPARE(c.chart->axis->width, 275.0);
    QCOMPARE(c.chart->image.width(), 125);
    c.chart->setSize(126, 300);
    QCOMPARE(c.chart->axis->width, 1.0);
    QCOMPARE(c.chart->axis->y, 240.0);
}

void GanttWidgetTest::hover()
{
    Chart c({{1, 100, 150}, {2, 110, 120}});
    const int columns = c.control->glyphStore->conversationAttributeColumns.size();
    c.move(c.inside(2));
    QVERIFY(c.bar(2)->highlighted);
    QCOMPARE(c.chart->hoveredBars.size(), 1);
    QCOMPARE(QToolTip::text(), QStringLiteral("value: Conversation 2\n #Events: 2"));
    c.move(QPoint(5, 5));
    QVERIFY(!c.bar(2)->highlighted);
    QVERIFY(c.chart->hoveredBars.isEmpty());
    QCOMPARE(c.control->glyphStore->conversationAttributeColumns.size(), columns);
}

void GanttWidgetTest::pressSelects()
{
    Chart c({{1, 100, 150}, {2, 110, 120}, {3, 130, 140}});
    auto& rec = c.recorder;
    c.press(c.inside(2));
    QVERIFY(c.bar(2)->selected);
    QCOMPARE(rec.args.last(), QList<QVariant>{QStringLiteral("select")});
    QCOMPARE(rec.events.last(), (QList<int>{2, 2}));

    c.press(c.inside(3), Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(c.chart->selectedBars.size(), 2);
    QCOMPARE(c.chart->selection.size(), 2);
    QCOMPARE(rec.events.last().size(), 4);

    // Ctrl on a selected bar takes it out again.
    c.press(c.inside(2), Qt::LeftButton, Qt::ControlModifier);
    QVERIFY(!c.bar(2)->selected);
    QCOMPARE(rec.events.last(), (QList<int>{3, 3}));

    // A plain press elsewhere on a bar replaces the selection.
    c.press(c.inside(1));
    QVERIFY(!c.bar(3)->selected);
    QVERIFY(c.bar(1)->selected);
    QCOMPARE(rec.events.last(), (QList<int>{1, 1}));

    // A plain press on nothing clears it; the event is empty.
    c.press(QPoint(5, 5));
    QVERIFY(c.chart->selectedBars.isEmpty());
    QVERIFY(rec.events.last().isEmpty());
    QCOMPARE(rec.events.size(), 5);
}

void GanttWidgetTest::rightPressSelectsNothing()
{
    Chart c({{1, 100, 150}, {2, 110, 120}});
    c.press(c.inside(1));
    QVERIFY(c.bar(1)->selected);
    c.press(c.inside(2), Qt::RightButton);
    QVERIFY(!c.bar(2)->selected);
    QVERIFY(!c.bar(1)->selected);
    QCOMPARE(c.recorder.events.size(), 2);
    QCOMPARE(c.recorder.args.last(), QList<QVariant>{QStringLiteral("select")});
    QVERIFY(c.recorder.events.last().isEmpty());
}

// The outlines of a press appear with the next render; a move renders.
void GanttWidgetTest::pressDoesNotRenderContent()
{
    Chart c({{1, 100, 150}});
    const QPoint p = c.inside(1);
    c.move(QPoint(5, 5));
    const QImage before = c.chart->image.copy();
    QMouseEvent e(QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(c.chart.get(), &e);
    QVERIFY(c.bar(1)->selected);
    QCOMPARE(c.chart->image, before);
    c.move(QPoint(5, 5));
    QVERIFY(c.chart->image != before);
    const BinItem* b = c.bar(1);
    const QColor edge = c.chart->image.pixelColor(int(b->left()), int(b->top() + 5));
    QVERIFY2(edge.blue() > edge.red() + 50, qPrintable(edge.name()));
}

void GanttWidgetTest::noContext()
{
    ControlWidget control(nullptr);
    GanttWidget chart(&control, nullptr);
    chart.resize(300, 200);
    DebugCapture debug;
    chart.setData(nullptr, true, true);
    QVERIFY(debug.contains(QStringLiteral("no selection ;(")));
    QVERIFY(!chart.axis);
    QCOMPARE(chart.rows->size(), 0);
    SelectRecorder rec;
    control.installEventFilter(&rec);
    QMouseEvent e(QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(&chart, &e);
    QCOMPARE(rec.events.size(), 1);
    QVERIFY(rec.events.first().isEmpty());
    QCOMPARE(chart.sizeHint(), QSize(400, 400));
}

LUMIVANE_TEST(GanttWidgetTest)
#include "GanttWidgetTest.moc"
