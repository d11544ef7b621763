#include "ChartFixture.h"
#include "TestRegistry.h"

#include "events/RenderEvent.h"

#include <QTimer>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace chartfixture;

namespace {

QList<double> spanOfThousand()
{
    QList<double> times;
    for (int i = 0; i <= 1000; ++i)
        times.append(20000.0 + i);
    return times;
}

// The point in the middle of the strip's window.
QPoint windowCentre(const LineChartMiniView* mini)
{
    return QPoint(mini->windowX() + mini->windowWidth() / 2, mini->height() / 2);
}

void setWindow(LineChartMiniView* mini, double from, double to)
{
    mini->from = from;
    mini->to = to;
    mini->render(false, false, nullptr);
}

} // namespace

class LineChartMiniViewTest : public QObject
{
    Q_OBJECT

private slots:
    void windowIsNormalised_data();
    void windowIsNormalised();
    void dragMovesTheWindowWithinTheEdges();
    void wheelStepNarrowsAboutTheCentre();
    void hundredWheelStepsKeepAWindow();
    void windowReachesTheChartOnceSettled();
    void newContextKeepsTheFractions();
    void chartWindowOfOneInstantChangesNothing();
};

void LineChartMiniViewTest::windowIsNormalised_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<double>("expectedFrom");
    QTest::addColumn<double>("expectedTo");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<bool>("exact");
    // 390 pixels of axis: a window of 0.01 is 3.9 pixels, drawn 10 wide.
    QTest::newRow("narrow") << 0.5 << 0.501 << 0.495 << 0.505 << 10 << false;
    QTest::newRow("start rounds below 0.01") << 0.004 << 0.5 << 0.0 << 0.5 << 195 << true;
    QTest::newRow("start rounds to 0.01") << 0.006 << 0.5 << 0.01 << 0.5 << 191 << true;
    QTest::newRow("end rounds above 0.99") << 0.3 << 0.996 << 0.3 << 1.0 << 273 << true;
    QTest::newRow("end rounds to 0.99") << 0.3 << 0.994 << 0.3 << 0.99 << 269 << true;
    // Each end is rounded on its own, halves up.
    QTest::newRow("ends round apart") << 0.333 << 0.666 << 0.33 << 0.67 << 132 << true;
    QTest::newRow("halves round up") << 0.125 << 0.375 << 0.13 << 0.38 << 97 << true;
    QTest::newRow("both ends near the edges") << 0.006 << 0.994 << 0.01 << 0.99 << 382 << true;
    QTest::newRow("inverted") << 0.7 << 0.2 << 0.695 << 0.705 << 10 << false;
    QTest::newRow("not a number") << std::nan("") << 0.5 << 0.0 << 0.5 << 195 << true;
}

void LineChartMiniViewTest::windowIsNormalised()
{
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(double, expectedFrom);
    QFETCH(double, expectedTo);
    QFETCH(int, pixels);
    QFETCH(bool, exact);
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    QCOMPARE(mini->timeAxis->width, 390.0);
    setWindow(mini, from, to);
    QVERIFY2(std::abs(mini->from - expectedFrom) < 0.0051, qPrintable(QString::number(mini->from)));
    QVERIFY2(std::abs(mini->to - expectedTo) < 0.0051, qPrintable(QString::number(mini->to)));
    QVERIFY(mini->to - mini->from >= LineChartMiniView::MIN_WIDTH - 1e-9);
    if (exact) {
        QCOMPARE(mini->from, expectedFrom);
        QCOMPARE(mini->to, expectedTo);
    }
    QCOMPARE(mini->windowWidth(), pixels);
}

void LineChartMiniViewTest::dragMovesTheWindowWithinTheEdges()
{
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    setWindow(mini, 0.3, 0.5);

    // A press beside the window drags nothing.
    Charts::press(mini, QPoint(mini->windowX() + mini->windowWidth() + 20, 10));
    QVERIFY(!mini->dragging);
    Charts::release(mini, QPoint(mini->windowX() + mini->windowWidth() + 20, 10));

    QPoint p = windowCentre(mini);
    Charts::press(mini, p);
    QVERIFY(mini->dragging);
    QVERIFY(mini->lineTimer->isActive());
    // Slow motion adds up: ten one-pixel steps move the window.
    for (int i = 0; i < 10; ++i) {
        p += QPoint(1, 0);
        Charts::move(mini, p, Qt::LeftButton);
    }
    QVERIFY2(mini->from >= 0.32 && mini->from <= 0.33, qPrintable(QString::number(mini->from)));
    QCOMPARE(mini->to - mini->from, 0.2);
    // Against either edge the window stops and keeps its width.
    Charts::move(mini, p - QPoint(1000, 0), Qt::LeftButton);
    QCOMPARE(mini->from, 0.0);
    QCOMPARE(mini->to, 0.2);
    Charts::move(mini, p + QPoint(2000, 0), Qt::LeftButton);
    QCOMPARE(mini->from, 0.8);
    QCOMPARE(mini->to, 1.0);
    Charts::release(mini, p + QPoint(2000, 0));
    QVERIFY(!mini->dragging);

    // A window a quarter wide keeps its width at every step of a slow drag.
    setWindow(mini, 0.3, 0.55);
    p = windowCentre(mini);
    Charts::press(mini, p);
    for (int i = 0; i < 60; ++i) {
        p += QPoint(i % 3 ? 1 : 2, 0);
        Charts::move(mini, p, Qt::LeftButton);
        QVERIFY2(std::abs((mini->to - mini->from) - 0.25) < 1e-9,
                 qPrintable(QStringLiteral("%1 %2").arg(mini->from).arg(mini->to)));
    }
    QVERIFY(mini->from > 0.3);
    Charts::release(mini, p);
    // The strip selects nothing itself.
    QVERIFY(c.published.packets.isEmpty());
}

void LineChartMiniViewTest::wheelStepNarrowsAboutTheCentre()
{
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    Charts::wheel(mini, 1);
    QCOMPARE(mini->zoom, 1.0);
    QCOMPARE(mini->to - mini->from, 0.99);
    QVERIFY(mini->lineTimer->isActive());

    // The chart's wheel sets the window; the strip's wheel goes on from it.
    Charts::wheel(c.chart.get(), 20);
    QCOMPARE(mini->from, 0.2);
    QCOMPARE(mini->to, 0.8);
    Charts::wheel(mini, 1);
    QVERIFY(std::abs((mini->to - mini->from) - 0.59) < 1e-9);
    QVERIFY(std::abs((mini->from + mini->to) / 2 - 0.5) <= 0.005 + 1e-9);
    Charts::wheel(mini, -2);
    QVERIFY(std::abs((mini->to - mini->from) - 0.61) < 1e-9);
}

void LineChartMiniViewTest::hundredWheelStepsKeepAWindow()
{
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    for (int i = 0; i < 100; ++i)
        Charts::wheel(mini, 1);
    QVERIFY(mini->to - mini->from >= LineChartMiniView::MIN_WIDTH - 1e-9);
    QVERIFY(mini->from >= 0.0 && mini->to <= 1.0);
    QCOMPARE(mini->windowWidth(), 10);
    QTRY_VERIFY_WITH_TIMEOUT(!mini->lineTimer->isActive(), 1000);
    LineChart* chart = c.chart.get();
    QVERIFY(chart->from < chart->to);
    QVERIFY(!chart->series.first()->items.isEmpty());
    for (int i = 0; i < 100; ++i)
        Charts::wheel(mini, -1);
    QCOMPARE(mini->from, 0.0);
    QCOMPARE(mini->to, 1.0);
}

void LineChartMiniViewTest::windowReachesTheChartOnceSettled()
{
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    LineChart* chart = c.chart.get();
    setWindow(mini, 0.4, 0.6);
    QPoint p = windowCentre(mini);
    Charts::press(mini, p);
    for (int i = 0; i < 5; ++i) {
        p += QPoint(10, 0);
        Charts::move(mini, p, Qt::LeftButton);
        QTest::qWait(60);
    }
    Charts::release(mini, p);
    // The last window goes out once, then the timer stops.
    QTRY_VERIFY_WITH_TIMEOUT(!mini->lineTimer->isActive(), 1000);
    QCOMPARE(chart->from, 20000.0 + mini->from * 1000.0);
    QCOMPARE(chart->to, 20000.0 + mini->to * 1000.0);
    const int builds = chart->buildCount;
    QTest::qWait(1000);
    QCOMPARE(chart->buildCount, builds);
    QVERIFY(!mini->lineTimer->isActive());
}

void LineChartMiniViewTest::newContextKeepsTheFractions()
{
    Charts c(eventsAt(spanOfThousand()));
    LineChartMiniView* mini = c.mini.get();
    LineChart* chart = c.chart.get();
    setWindow(mini, 0.25, 0.5);
    QTRY_VERIFY_WITH_TIMEOUT(!mini->lineTimer->isActive(), 1000);

    // A new log: a span of 100 seconds from 0.
    QList<double> times;
    for (int i = 0; i <= 100; ++i)
        times.append(i);
    Charts other(eventsAt(times));
    mini->setContext(other.context, true, true);
    chart->setContext(other.context, true, true);
    QCOMPARE(mini->from, 0.25);
    QCOMPARE(mini->to, 0.5);
    QCOMPARE(mini->LineChart::from, 0.0);
    QCOMPARE(mini->LineChart::to, 100.0);
    // The chart shows the kept window of the new span once the strip sends it.
    QTRY_COMPARE_WITH_TIMEOUT(chart->from, 25.0, 1000);
    QCOMPARE(chart->to, 50.0);
    mini->setContext(nullptr, true, true);
    chart->setContext(nullptr, true, true);
}

void LineChartMiniViewTest::chartWindowOfOneInstantChangesNothing()
{
    Charts c(eventsAt({500.0, 500.0, 500.0}));
    LineChartMiniView* mini = c.mini.get();
    setWindow(mini, 0.2, 0.4);
    const double zoom = mini->zoom;
    for (const QVariantList& args : {QVariantList{500.0, 500.0}, QVariantList{400.0, 600.0},
                                     QVariantList{std::nan(""), 1.0}, QVariantList{"x", "y"}}) {
        RenderEvent event(c.chart.get(), args);
        QCoreApplication::sendEvent(mini, &event);
        QCOMPARE(mini->from, 0.2);
        QCOMPARE(mini->to, 0.4);
        QCOMPARE(mini->zoom, zoom);
    }
    // The chart's own wheel over that span moves no window either.
    Charts::wheel(c.chart.get(), 3);
    QCOMPARE(mini->from, 0.2);
    QCOMPARE(mini->to, 0.4);
    QVERIFY(c.chart->render(false, false, nullptr));
}

LUMIVANE_TEST(LineChartMiniViewTest)
#include "LineChartMiniViewTest.moc"
