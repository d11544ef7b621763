#include "ChartFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"

#include "events/RenderEvent.h"
#include "items/Axis.h"
#include "views/events/BinCell.h"

#include <QPainter>
#include <QPolygonF>
#include <QToolTip>
#include <QtTest>

#include <algorithm>
#include <cmath>

using namespace chartfixture;

Q_DECLARE_METATYPE(QList<double>)


namespace {

// Slot counts of n bins over [from, to], worked out apart from the chart.
QList<int> expectedCounts(const QList<double>& times, double from, double to, int n)
{
    QList<int> counts;
    for (int i = 0; i < n; ++i)
        counts.append(0);
    if (!(from < to))
        return counts;
    for (double v : times) {
        if (v < from || v > to)
            continue;
        const double position = (v - from) / (to - from) * (n - 1);
        counts[int(position)] += 1;
    }
    return counts;
}

int sum(const QList<int>& counts)
{
    int total = 0;
    for (int c : counts)
        total += c;
    return total;
}

QSet<PacketPtr> packetsOf(const BinItem* item)
{
    QSet<PacketPtr> out;
    for (const PacketPtr& p : item->packets)
        out.insert(p);
    return out;
}

// The first slot of series 0 from `from` on whose item holds events.
int occupiedSlot(const LineChart* chart, int from = 0)
{
    const TList<BinItem*>& items = chart->series.first()->items;
    for (int i = from; i < items.size(); ++i)
        if (items[i] && !items[i]->packets.isEmpty())
            return i;
    return -1;
}

} // namespace

class LineChartTest : public QObject
{
    Q_OBJECT

private slots:
    void binsCountEventsInTheWindow_data();
    void binsCountEventsInTheWindow();
    void eventsAtOneInstantBinNothing_data();
    void eventsAtOneInstantBinNothing();
    void colourSeries_data();
    void colourSeries();
    void stackedSeriesAddUp();
    void wheelZoomKeepsAWindow();
    void shortDragIsAClick();
    void ctrlClicksAddAndRemove();
    void heldDragSelectsAndReleaseSends_data();
    void heldDragSelectsAndReleaseSends();
    void selectionFromOtherViewsIsMarked();
    void ruleModeCountsRuleItems();
    void arcsOfTracesInTheWindow();
    void logarithmicAxisAndEmptyContext();
    void contextInTheOldOnesPlaceShowsItsSpan();
    void tooltipNamesTimesInLocalTime();
    void fillUnderMatchesThePainter_data();
    void fillUnderMatchesThePainter();
};

void LineChartTest::binsCountEventsInTheWindow_data()
{
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<int>("width");
    QList<double> uniform;
    for (int i = 0; i < 1000; ++i)
        uniform.append(1000.0 + i);
    QList<double> bursts;
    for (int i = 0; i < 300; ++i)
        bursts.append(1000.0 + i * 0.01);
    for (int i = 0; i < 300; ++i)
        bursts.append(5000.0 + i * 0.5);
    bursts.append(9000.0);
    QTest::newRow("uniform") << uniform << 500;
    QTest::newRow("bursts") << bursts << 500;
    // The first and the last time are the window's ends: bins 0 and n - 1.
    QTest::newRow("window ends") << QList<double>{1000.0, 1500.0, 2000.0} << 500;
    // 1090 pixels of axis still give 512 bins.
    QTest::newRow("wide axis") << uniform << 1200;
    QTest::newRow("negative times") << QList<double>{-50.5, -20.0, 0.0, 7.25} << 300;
}

void LineChartTest::binsCountEventsInTheWindow()
{
    QFETCH(QList<double>, times);
    QFETCH(int, width);
    Charts c(eventsAt(times), width);
    LineChart* chart = c.chart.get();
    const double from = *std::min_element(times.begin(), times.end());
    const double to = *std::max_element(times.begin(), times.end());
    QCOMPARE(chart->from, from);
    QCOMPARE(chart->to, to);
    const int n = std::min(512, width - 110);
    QCOMPARE(Charts::bins(chart), n);
    QCOMPARE(chart->series.size(), 1);
    const QList<int> counts = Charts::counts(chart->series.first());
    QCOMPARE(counts, expectedCounts(times, from, to, n));
    QCOMPARE(sum(counts), times.size());
    QCOMPARE(counts.first() > 0, true);
    QCOMPARE(counts.last() > 0, true);
    QCOMPARE(chart->countMaximum, *std::max_element(counts.begin(), counts.end()));
    QCOMPARE(chart->countMinimum, 1);

    // A narrower window counts its own events only.
    const double a = from + (to - from) / 4;
    const double b = from + (to - from) / 2;
    chart->setRange(a, b, true);
    QList<double> inside;
    for (double v : times)
        if (a <= v && v <= b)
            inside.append(v);
    QCOMPARE(Charts::counts(chart->series.first()), expectedCounts(times, a, b, n));
    QCOMPARE(sum(Charts::counts(chart->series.first())), inside.size());
}

void LineChartTest::eventsAtOneInstantBinNothing_data()
{
    QTest::addColumn<bool>("logarithm");
    QTest::newRow("linear") << false;
    QTest::newRow("logarithmic") << true;
}

void LineChartTest::eventsAtOneInstantBinNothing()
{
    QFETCH(bool, logarithm);
    Charts c(eventsAt({1234.0, 1234.0, 1234.0, 1234.0}));
    LineChart* chart = c.chart.get();
    chart->setColorAttribute(QStringLiteral("colour"), {TVariant("a", false)}, {QColor(Qt::red)}, true);
    chart->setValueAttribute(QStringLiteral("#Events"), -1, -1, logarithm, true);
    QCOMPARE(chart->from, chart->to);
    QCOMPARE(chart->series.size(), 2);
    for (const BinSerie* serie : chart->series)
        QCOMPARE(sum(Charts::counts(serie)), 0);
    // Nothing counted: the value range is 0..1, a logarithmic one starts at 1.
    QCOMPARE(chart->countMinimum, logarithm ? 1 : 0);
    QCOMPARE(chart->countMaximum, 1);
    QVERIFY(chart->valueAxis);
    for (const BinSerie* serie : chart->series)
        for (const BinItem* item : serie->items) {
            QVERIFY(std::isfinite(item->x));
            QVERIFY(std::isfinite(item->y));
        }
    QVERIFY(chart->render(false, false, nullptr));
    QVERIFY(c.mini->render(false, false, nullptr));
    Charts::wheel(chart, 3);
    QVERIFY(std::isfinite(chart->from) && std::isfinite(chart->to));
}

void LineChartTest::colourSeries_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("two of three values") << "colour" << QStringList{"a", "b"};
    QTest::newRow("every value") << "colour" << QStringList{"c", "a", "b"};
    QTest::newRow("none") << "none" << QStringList();
    // An attribute the store does not hold counts nothing beyond series 0.
    QTest::newRow("unknown attribute") << "shade" << QStringList{"a"};
}

void LineChartTest::colourSeries()
{
    QFETCH(QString, attribute);
    QFETCH(QStringList, shown);
    QList<double> times;
    for (int i = 0; i < 300; ++i)
        times.append(100.0 + (i * 37) % 251);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    TList<TVariant> values;
    TList<QColor> colours;
    for (const QString& v : shown) {
        values.append(TVariant(v, false));
        colours.append(QColor(Qt::blue));
    }
    chart->setColorAttribute(attribute, values, colours, true);
    QCOMPARE(chart->series.size(), 1 + shown.size());
    const QList<int> all = Charts::counts(chart->series.first());
    QCOMPARE(sum(all), times.size());
    const bool known = attribute == QLatin1String("colour");
    for (int k = 0; k < shown.size(); ++k) {
        QList<double> ofValue;
        for (int i = 0; i < times.size(); ++i)
            if (QStringList({"a", "b", "c"}).at(i % 3) == shown.at(k))
                ofValue.append(times.at(i));
        const QList<int> expected =
            known ? expectedCounts(ofValue, chart->from, chart->to, Charts::bins(chart))
                  : expectedCounts({}, chart->from, chart->to, Charts::bins(chart));
        QCOMPARE(Charts::counts(chart->series[k + 1]), expected);
    }
    // The mini view got the same series over the full span.
    QCOMPARE(c.mini->series.size(), chart->series.size());
    QCOMPARE(c.mini->colorAttribute, attribute);
}

void LineChartTest::stackedSeriesAddUp()
{
    QList<double> times;
    for (int i = 0; i < 200; ++i)
        times.append(100.0 + (i * 13) % 97);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    chart->setColorAttribute(QStringLiteral("colour"),
                             {TVariant("a", false), TVariant("b", false), TVariant("c", false)},
                             {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)}, true);
    chart->setStack(true);
    QVERIFY(c.mini->stack);
    const Axis* axis = chart->valueAxis;
    const auto yOf = [axis](int value) {
        return axis->y - std::min(axis->width, axis->position(TVariant(double(value))));
    };
    const int n = chart->series.first()->size();
    for (int b = 0; b < n; ++b) {
        QCOMPARE(chart->series[0]->items[b]->y, yOf(chart->series[0]->items[b]->packets.size()));
        int running = 0;
        for (int k = 1; k < chart->series.size(); ++k) {
            running += chart->series[k]->items[b]->packets.size();
            QCOMPARE(chart->series[k]->items[b]->y, yOf(running));
        }
        QCOMPARE(running, chart->series[0]->items[b]->packets.size());
    }
}

void LineChartTest::wheelZoomKeepsAWindow()
{
    QList<double> times;
    for (int i = 0; i <= 1000; ++i)
        times.append(10000.0 + i);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    Charts::wheel(chart, 10);
    QCOMPARE(chart->zoom, 10.0);
    QCOMPARE(chart->from, 10100.0);
    QCOMPARE(chart->to, 10900.0);
    // The mini view shows the chart's window.
    QCOMPARE(c.mini->from, 0.1);
    QCOMPARE(c.mini->to, 0.9);

    for (int i = 0; i < 100; ++i)
        Charts::wheel(chart, 1);
    QCOMPARE(chart->zoom, 49.0);
    QVERIFY(chart->from < chart->to);
    QCOMPARE(chart->from, 10490.0);
    QCOMPARE(chart->to, 10510.0);
    QVERIFY(std::isfinite(LineChart::tickStep(chart->to - chart->from)));
    QCOMPARE(sum(Charts::counts(chart->series.first())), 21);
    QVERIFY(c.mini->to - c.mini->from >= 0.01);

    for (int i = 0; i < 60; ++i)
        Charts::wheel(chart, -1);
    QCOMPARE(chart->zoom, 0.0);
    QCOMPARE(chart->from, 10000.0);
    QCOMPARE(chart->to, 11000.0);
    QCOMPARE(sum(Charts::counts(chart->series.first())), times.size());
}

void LineChartTest::shortDragIsAClick()
{
    QList<double> times;
    for (int i = 0; i < 100; ++i)
        times.append(500.0 + i);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    const int slot = occupiedSlot(chart, 40);
    const BinItem* item = chart->series.first()->items[slot];
    const QSet<PacketPtr> expected = packetsOf(item);
    QVERIFY(!expected.isEmpty());

    DebugCapture log;
    log.setForward(false);
    const QPoint p = Charts::at(item);
    Charts::press(chart, p);
    Charts::move(chart, p + QPoint(12, 10), Qt::LeftButton);
    QVERIFY(!chart->dragging);
    Charts::release(chart, p + QPoint(12, 10));
    QVERIFY(!log.contains(QStringLiteral("dragging")));
    QCOMPARE(c.published.packets.size(), 1);
    QCOMPARE(c.published.packets.first(), expected);
    QCOMPARE(c.published.args.first(), QList<QVariant>{QStringLiteral("select")});
    QCOMPARE(chart->selectedPackets, expected);

    // A press beside every item clears the selection and says so.
    Charts::press(chart, QPoint(2, 2));
    QCOMPARE(c.published.packets.size(), 2);
    QVERIFY(c.published.packets.last().isEmpty());
    QVERIFY(chart->selectedPackets.isEmpty());
}

void LineChartTest::ctrlClicksAddAndRemove()
{
    QList<double> times;
    for (int i = 0; i < 100; ++i)
        times.append(500.0 + i);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    const BinItem* first = chart->series.first()->items[occupiedSlot(chart, 10)];
    const BinItem* second = chart->series.first()->items[occupiedSlot(chart, 60)];
    Charts::press(chart, Charts::at(first));
    Charts::release(chart, Charts::at(first));
    Charts::press(chart, Charts::at(second), Qt::ControlModifier);
    Charts::release(chart, Charts::at(second));
    QCOMPARE(chart->selectedPackets, packetsOf(first) + packetsOf(second));
    QCOMPARE(c.published.packets.last(), packetsOf(first) + packetsOf(second));
    QCOMPARE(c.published.args.last(), QList<QVariant>({QStringLiteral("select"), QStringLiteral("ctrl")}));
    // A second Ctrl press on a selected item takes its events out.
    Charts::press(chart, Charts::at(first), Qt::ControlModifier);
    QCOMPARE(chart->selectedPackets, packetsOf(second));
    // The right button selects nothing.
    Charts::press(chart, Charts::at(first), Qt::NoModifier, Qt::RightButton);
    QVERIFY(chart->selectedPackets.isEmpty());
}

void LineChartTest::heldDragSelectsAndReleaseSends_data()
{
    QTest::addColumn<bool>("releaseInside");
    QTest::newRow("release inside") << true;
    QTest::newRow("release outside") << false;
}

void LineChartTest::heldDragSelectsAndReleaseSends()
{
    QFETCH(bool, releaseInside);
    QList<double> times;
    for (int i = 0; i < 400; ++i)
        times.append(500.0 + i * 0.5);
    Charts c(eventsAt(times));
    LineChart* chart = c.chart.get();
    const TList<BinItem*>& items = chart->series.first()->items;
    const int a = 100;
    const int b = 160;
    QSet<PacketPtr> expected;
    for (int i = a; i <= b; ++i)
        expected += packetsOf(items[i]);
    QVERIFY(!expected.isEmpty());

    // A band from above slot a to below slot b, over the whole plot height.
    const QPoint start(int(std::floor(items[a]->x)) - 0, 1);
    const QPoint end(int(std::floor(items[b]->x)) + 1, int(chart->timeAxis->y) + 2);
    Charts::press(chart, start);
    QCOMPARE(c.published.packets.size(), 1);   // the press: nothing there
    Charts::move(chart, end, Qt::LeftButton);
    QVERIFY(chart->dragging);
    QTest::qWait(650);
    QCOMPARE(chart->selectedPackets, expected);
    QCOMPARE(c.published.packets.size(), 1);
    QVERIFY(!chart->timer->isActive());

    Charts::release(chart, releaseInside ? end : QPoint(-5, chart->height() + 20));
    QVERIFY(!chart->dragging);
    if (releaseInside) {
        QCOMPARE(c.published.packets.size(), 2);
        QCOMPARE(c.published.packets.last(), expected);
        QCOMPARE(c.published.args.last(), QList<QVariant>{QStringLiteral("select")});
    } else {
        QCOMPARE(c.published.packets.size(), 1);
    }
}

void LineChartTest::selectionFromOtherViewsIsMarked()
{
    QList<double> times;
    for (int i = 0; i < 2000; ++i)
        times.append(1000.0 + i * 0.25);
    Charts c(eventsAt(times));
    // The mini view's window and its handles stay clear of the probe.
    c.mini->from = 0.0;
    c.mini->to = 0.3;
    for (LineChart* chart : {c.chart.get(), static_cast<LineChart*>(c.mini.get())}) {
        const TList<BinItem*>& items = chart->series.first()->items;
        const int n = items.size();
        const int bottom = int(chart->timeAxis->y) - 2;
        // A pixel under the curve between the third and the second last slot.
        const QPoint probe(int(std::floor(items[n - 3]->x)), bottom);
        QVERIFY(chart->render(false, false, nullptr));
        const QRgb plain = chart->image.pixel(probe);

        // The events of the last five slots: a run that reaches the last slot.
        TList<PacketPtr> selected;
        for (int i = n - 5; i < n; ++i)
            selected.append(items[i]->packets);
        PacketsEvent event(nullptr, selected, {QStringLiteral("select")});
        QVERIFY(QCoreApplication::sendEvent(chart, &event));
        QCOMPARE(chart->selectedPackets.size(), selected.size());
        QVERIFY(chart->render(false, false, nullptr));
        const QRgb marked = chart->image.pixel(probe);
        QVERIFY2(qBlue(marked) > qBlue(plain) || qRed(marked) < qRed(plain),
                 qPrintable(QStringLiteral("%1 -> %2").arg(plain, 0, 16).arg(marked, 0, 16)));

        // Another view's selection replaces this one exactly.
        PacketsEvent none(nullptr, {}, {QStringLiteral("select")});
        QCoreApplication::sendEvent(chart, &none);
        QVERIFY(chart->selectedPackets.isEmpty());
        QVERIFY(chart->render(false, false, nullptr));
        QCOMPARE(chart->image.pixel(probe), plain);
    }
}

void LineChartTest::ruleModeCountsRuleItems()
{
    QList<double> times;
    for (int i = 0; i < 120; ++i)
        times.append(100.0 + i);
    Charts c(eventsAt(times), 500, 300,
             {kindRule(QStringLiteral("X"), QStringLiteral("x"), QStringLiteral("WildCard"))});
    LineChart* chart = c.chart.get();
    chart->setColorAttribute(QStringLiteral("Rules"), {TVariant("X", true)}, {QColor(Qt::red)}, true);
    QCOMPARE(chart->series.size(), 2);
    QList<double> ofX;
    for (int i = 0; i < times.size(); i += 2)
        ofX.append(times.at(i));
    const int n = Charts::bins(chart);
    QCOMPARE(Charts::counts(chart->series[1]), expectedCounts(ofX, chart->from, chart->to, n));
    QCOMPARE(Charts::counts(chart->series[0]), expectedCounts(times, chart->from, chart->to, n));
    for (const BinItem* item : chart->series[1]->items)
        if (!item->packets.isEmpty())
            QCOMPARE(item->label, QStringLiteral("X"));
}

void LineChartTest::arcsOfTracesInTheWindow()
{
    QList<Event> events;
    for (int i = 0; i < 10; ++i) {
        events.append({1, 1000.0 + i, "a", "x"});
        events.append({2, 5000.0 + i, "a", "x"});
        events.append({3, 1005.0 + i * 500, "a", "x"});
    }
    Charts c(events);
    LineChart* chart = c.chart.get();
    chart->setDrawArc(true);
    QCOMPARE(chart->arcs.size(), 3);
    QVERIFY(!c.mini->drawArcs);
    chart->setRange(900.0, 2000.0, true);
    // Trace 1 lies inside, trace 3 reaches into the window, trace 2 lies beyond.
    QCOMPARE(chart->arcs.size(), 2);
    for (const BinItem* arc : chart->arcs) {
        QCOMPARE(arc->packets.size(), 2);
        QVERIFY(arc->x >= chart->timeAxis->x);
    }
    QVERIFY(chart->render(false, false, nullptr));
    chart->setDrawArc(false);
    QVERIFY(chart->arcs.isEmpty());
}

void LineChartTest::logarithmicAxisAndEmptyContext()
{
    Charts c(eventsAt({10.0, 10.0, 11.0, 30.0, 30.5}));
    LineChart* chart = c.chart.get();
    chart->setColorAttribute(QStringLiteral("colour"), {TVariant("a", false)}, {QColor(Qt::red)}, true);
    chart->setConnect(true);
    chart->setValueAttribute(QStringLiteral("#Events"), -1, -1, true, true);
    QVERIFY(chart->valueAxis->logScale);
    QCOMPARE(chart->countMinimum, 1);
    // Interpolation: every series has items at the four occupied bins only,
    // the colour series empty ones (a count of 0 on the logarithmic axis)
    // where only other colours fall.
    for (const BinSerie* serie : chart->series) {
        QCOMPARE(serie->size(), 4);
        for (const BinItem* item : serie->items)
            QVERIFY(std::isfinite(item->y) && item->y <= chart->valueAxis->y);
    }
    QCOMPARE(Charts::counts(chart->series[1]), QList<int>({1, 0, 1, 0}));
    QVERIFY(chart->render(false, false, nullptr));

    // A context without events draws its frame.
    Context empty(nullptr, QStringLiteral("empty"), TList<PacketPtr>(), c.store(), true);
    chart->setContext(&empty, true, true);
    QCOMPARE(chart->from, 0.0);
    QCOMPARE(chart->to, 0.0);
    QVERIFY(chart->render(false, false, nullptr));
    QVERIFY(c.mini->render(false, false, nullptr));
    Charts::wheel(chart, 5);
    Charts::wheel(c.mini.get(), 5);
    Charts::press(chart, QPoint(100, 100));
    chart->setContext(nullptr, true, true);
    QVERIFY(chart->series.isEmpty());
    QVERIFY(chart->render(false, false, nullptr));
}

void LineChartTest::contextInTheOldOnesPlaceShowsItsSpan()
{
    Charts c(eventsAt({1.0, 2.0, 3.0}));
    LineChart* chart = c.chart.get();
    // Two logs of as many events, the second where the first one lay, as
    // the allocator may place a new context.
    alignas(Context) unsigned char place[sizeof(Context)];
    for (double start : {100.0, 5000.0}) {
        TList<PacketPtr> events;
        for (int i = 0; i < 50; ++i)
            events.append(PacketPtr(new Packet(TList<TVariant>{TVariant(start + i), TVariant("a", false),
                                                               TVariant("x", false), TVariant(0.5), TVariant(1)})));
        auto* context = new (place) Context(nullptr, QStringLiteral("log"), events, c.store(), true);
        c.mini->setContext(context, true, true);
        chart->setContext(context, true, true);
        QCOMPARE(chart->from, start);
        QCOMPARE(chart->to, start + 49);
        QCOMPARE(sum(Charts::counts(chart->series.first())), 50);
        QCOMPARE(c.mini->LineChart::from, start);
        chart->setContext(nullptr, true, true);
        c.mini->setContext(nullptr, true, true);
        context->~Context();
    }
}

void LineChartTest::tooltipNamesTimesInLocalTime()
{
    Charts c(eventsAt({1600000000.0, 1600000005.0, 1600003600.0}));
    LineChart* chart = c.chart.get();
    chart->show();
    const BinItem* item = chart->series.first()->items.first();
    QCOMPARE(item->packets.size(), 2);
    Charts::move(chart, Charts::at(item) + QPoint(3, -3));
    QCOMPARE(chart->hoveredItems.size(), 1);
    QCOMPARE(chart->hoveredItems.first(), item);
    QCOMPARE(QToolTip::text(),
             QStringLiteral("value: \n TimeStamp: 13-09-2020 12:26-13-09-2020 12:26\n #Events: 2"));
    Charts::move(chart, QPoint(2, 2));
    QVERIFY(chart->hoveredItems.isEmpty());
    chart->hide();
}

void LineChartTest::fillUnderMatchesThePainter_data()
{
    QTest::addColumn<QPolygonF>("outline");
    QTest::addColumn<double>("base");
    QPolygonF zigzag;
    zigzag << QPointF(10, 90);
    for (int i = 0; i < 60; ++i)
        zigzag << QPointF(10 + i * 1.7, i % 2 ? 15.0 : 70.0);
    zigzag << QPointF(10 + 59 * 1.7, 90);
    QTest::newRow("zigzag") << zigzag << 90.0;
    QTest::newRow("flat") << QPolygonF(QVector<QPointF>{QPointF(5, 80), QPointF(5, 40), QPointF(95, 40), QPointF(95, 80)}) << 80.0;
    QTest::newRow("one slope") << QPolygonF(QVector<QPointF>{QPointF(20.5, 60.5), QPointF(70.25, 10.75)}) << 60.5;
    // Beyond every edge of the picture.
    QTest::newRow("outside") << QPolygonF(QVector<QPointF>{QPointF(-30, 140), QPointF(-30, -20), QPointF(50, 30),
                                                            QPointF(160, -40), QPointF(160, 140)})
                             << 140.0;
}

void LineChartTest::fillUnderMatchesThePainter()
{
    QFETCH(QPolygonF, outline);
    QFETCH(double, base);
    const QColor fill(40, 90, 200, 100);
    // Filled row by row into a 32-bit picture, and by the painter into one
    // of another format.
    QImage direct(100, 100, QImage::Format_ARGB32);
    direct.fill(Qt::white);
    QImage painted(100, 100, QImage::Format_RGB888);
    painted.fill(Qt::white);
    for (QImage* img : {&direct, &painted}) {
        QPainter painter(img);
        LineChart::fillUnder(&painter, outline, base, fill, nullptr);
    }
    // The filled area's border: the line, and the baseline under it.
    QPolygonF border = outline;
    border << QPointF(outline.last().x(), base) << QPointF(outline.first().x(), base) << outline.first();
    const auto nearBorder = [&border](const QPointF& p) {
        for (int k = 1; k < border.size(); ++k) {
            const QPointF a = border.at(k - 1);
            const QPointF d = border.at(k) - a;
            const double length2 = QPointF::dotProduct(d, d);
            const double t = length2 > 0 ? std::clamp(QPointF::dotProduct(p - a, d) / length2, 0.0, 1.0) : 0.0;
            const QPointF q = a + t * d - p;
            if (QPointF::dotProduct(q, q) <= 1.0)
                return true;
        }
        return false;
    };
    int filled = 0;
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            const QRgb a = direct.pixel(x, y);
            const QRgb b = painted.pixel(x, y);
            filled += a != qRgb(255, 255, 255);
            const int d = std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
            // The two may part at the border's own pixels only.
            if (d > 6)
                QVERIFY2(nearBorder(QPointF(x + 0.5, y + 0.5)), qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
        }
    }
    QVERIFY(filled > 0);
}

LUMIVANE_TEST(LineChartTest)
#include "LineChartTest.moc"
