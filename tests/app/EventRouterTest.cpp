#include "DebugCapture.h"
#include "MessageRecorder.h"
#include "TestRegistry.h"
#include "SettingsGuard.h"

#include "app/AppGlobals.h"
#include "events/AttributeEvent.h"
#include "events/ContextEvent.h"
#include "app/ControlWidget.h"
#include "events/FocusEvent.h"
#include "events/GlyphsEvent.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "events/PacketsEvent.h"
#include "events/RenderEvent.h"
#include "events/ScrollEvent.h"
#include "app/SettingsWidget.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QtTest>

#include <memory>

// Notes which target received which custom event, in delivery order.
class DeliveryLog : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const int t = int(event->type());
        if (t >= 1001 && t <= 1012)
            entries << watched->objectName();
        return false;
    }
    QStringList entries;
};

class EventRouterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void contextEvent_data();
    void contextEvent();
    void contextEventLogsEachTarget();
    void packetsEvent_data();
    void packetsEvent();
    void renderEvent_data();
    void renderEvent();
    void scrollEvent_data();
    void scrollEvent();
    void focusEvent();
    void focusRefreshesBothPanels_data();
    void focusRefreshesBothPanels();
    void glyphsEvent_data();
    void glyphsEvent();
    void attributeEventIsNotForwarded();
    void withoutWindowNothingIsReached();
    void otherEventsReachNoView();

private:
    // Sends the event to the controller and returns the targets reached.
    QStringList route(QEvent* event, bool* result = nullptr);
    QObject* senderNamed(const QString& name);
    void watch(QObject* target, const QString& name);

    std::unique_ptr<SettingsGuard> settings;
    std::unique_ptr<MainWindow> window;
    DeliveryLog log;
    QObject plain;
};

void EventRouterTest::initTestCase()
{
    settings = std::make_unique<SettingsGuard>();
}

void EventRouterTest::cleanupTestCase()
{
    settings.reset();
}

void EventRouterTest::init()
{
    MessageRecorder boxes;
    window = std::make_unique<MainWindow>();
    MainWindow* w = window.get();
    watch(w->leftEventRibbon->view, QStringLiteral("left"));
    watch(w->rightEventRibbon->view, QStringLiteral("right"));
    watch(w->navigationWidget, QStringLiteral("nav"));
    watch(w->settingsWidget->attributeWidget, QStringLiteral("attr"));
    watch(w->settingsWidget->conversationWidget, QStringLiteral("conv"));
    watch(w->sequenceRibbon->sequenceView, QStringLiteral("seq"));
    watch(w->leftLineRibbon->chart, QStringLiteral("chart"));
    watch(w->leftLineRibbon->miniView, QStringLiteral("mini"));
    watch(w->rightLineRibbon->chart, QStringLiteral("rchart"));
    watch(w->leftOverviewRibbon->overview, QStringLiteral("overview"));
    watch(w->rightOverviewRibbon->overview, QStringLiteral("roverview"));
    // The sequence ribbon is switched off by every load; most cases want it on.
    w->sequenceRibbon->setActive(true, true);
}

void EventRouterTest::cleanup()
{
    window.reset();
    log.entries.clear();
}

void EventRouterTest::watch(QObject* target, const QString& name)
{
    QVERIFY(target);
    target->setObjectName(name);
    target->installEventFilter(&log);
}

QStringList EventRouterTest::route(QEvent* event, bool* result)
{
    log.entries.clear();
    const bool r = QCoreApplication::sendEvent(window->controlWidget, event);
    if (result)
        *result = r;
    return log.entries;
}

QObject* EventRouterTest::senderNamed(const QString& name)
{
    MainWindow* w = window.get();
    if (name == QLatin1String("null"))
        return nullptr;
    if (name == QLatin1String("plain"))
        return &plain;
    if (name == QLatin1String("left"))
        return w->leftEventRibbon->view;
    if (name == QLatin1String("right"))
        return w->rightEventRibbon->view;
    if (name == QLatin1String("nav"))
        return w->navigationWidget;
    if (name == QLatin1String("attr"))
        return w->settingsWidget->attributeWidget;
    if (name == QLatin1String("conv"))
        return w->settingsWidget->conversationWidget;
    if (name == QLatin1String("seq"))
        return w->sequenceRibbon->sequenceView;
    if (name == QLatin1String("chart"))
        return w->leftLineRibbon->chart;
    if (name == QLatin1String("mini"))
        return w->leftLineRibbon->miniView;
    return w;
}

void EventRouterTest::contextEvent_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("sequenceActive");
    QTest::addColumn<QStringList>("expected");
    const QStringList all = {"left", "nav", "attr", "conv", "seq"};
    QTest::newRow("null sender") << "null" << true << all;
    QTest::newRow("unrelated sender") << "plain" << true << all;
    QTest::newRow("navigation") << "nav" << true << QStringList({"left", "attr", "conv", "seq"});
    QTest::newRow("event view") << "left" << true << QStringList({"nav", "attr", "conv", "seq"});
    QTest::newRow("right event view") << "right" << true << QStringList({"nav", "attr", "conv", "seq"});
    QTest::newRow("attribute panel") << "attr" << true << QStringList({"left", "nav", "conv", "seq"});
    // A trace panel is an attribute panel: both panels are skipped.
    QTest::newRow("trace panel") << "conv" << true << QStringList({"left", "nav", "seq"});
    QTest::newRow("sequence view") << "seq" << true << QStringList({"left", "nav", "attr", "conv"});
    QTest::newRow("sequence ribbon inactive") << "nav" << false << QStringList({"left", "attr", "conv", "seq"});
}

void EventRouterTest::contextEvent()
{
    QFETCH(QString, sender);
    QFETCH(bool, sequenceActive);
    QFETCH(QStringList, expected);
    window->sequenceRibbon->setActive(sequenceActive, true);
    ContextEvent event(senderNamed(sender), QList<Context*>{window->controlWidget->glyphStore->rootContext});
    bool result = false;
    QCOMPARE(route(&event, &result), expected);
    QVERIFY(result);
    QVERIFY(event.isAccepted());
}

void EventRouterTest::contextEventLogsEachTarget()
{
    DebugCapture cap;
    cap.setForward(false);
    ContextEvent event(nullptr, {});
    route(&event);
    const QStringList expected = {"set Eventwidget", "set attributeWidget", "set attributeWidget",
                                  "set conversationWidget", "set sequenceWidget"};
    QStringList lines;
    for (const QString& line : cap.lines()) {
        if (line.startsWith(QLatin1String("set ")))
            lines << line;
    }
    QCOMPARE(lines, expected);
}

void EventRouterTest::packetsEvent_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("viewActive");
    QTest::addColumn<bool>("chartActive");
    QTest::addColumn<bool>("sequenceActive");
    QTest::addColumn<QStringList>("expected");
    // A selection that the left event view took reaches the sequence view
    // twice: the packets, then the event view's sequences.
    QTest::newRow("null sender") << "null" << true << false << true
                                 << QStringList({"left", "attr", "conv", "seq", "seq"});
    QTest::newRow("from the event view") << "left" << true << false << true
                                         << QStringList({"attr", "conv", "seq"});
    QTest::newRow("from the trace panel") << "conv" << true << false << true
                                          << QStringList({"left", "seq", "seq"});
    QTest::newRow("from the attribute panel") << "attr" << true << false << true
                                              << QStringList({"left", "conv", "seq", "seq"});
    QTest::newRow("event view inactive") << "nav" << false << false << true
                                         << QStringList({"attr", "conv", "seq"});
    QTest::newRow("charts active") << "nav" << true << true << true
                                   << QStringList({"left", "attr", "conv", "chart", "mini", "seq", "seq"});
    QTest::newRow("from a chart") << "chart" << true << true << true
                                  << QStringList({"left", "attr", "conv", "seq", "seq"});
    QTest::newRow("from the mini view") << "mini" << true << true << true
                                        << QStringList({"left", "attr", "conv", "seq", "seq"});
    QTest::newRow("sequence ribbon inactive") << "nav" << true << false << false
                                              << QStringList({"left", "attr", "conv"});
    QTest::newRow("from the sequence view") << "seq" << true << true << true
                                            << QStringList({"left", "attr", "conv", "chart", "mini"});
}

void EventRouterTest::packetsEvent()
{
    QFETCH(QString, sender);
    QFETCH(bool, viewActive);
    QFETCH(bool, chartActive);
    QFETCH(bool, sequenceActive);
    QFETCH(QStringList, expected);
    window->leftEventRibbon->view->setActive(viewActive, false);
    window->leftLineRibbon->setActive(chartActive, false);
    window->sequenceRibbon->setActive(sequenceActive, true);
    // An empty selection is delivered like any other.
    PacketsEvent event(senderNamed(sender), {}, {QStringLiteral("select")});
    bool result = false;
    QCOMPARE(route(&event, &result), expected);
    QVERIFY(result);
}

void EventRouterTest::renderEvent_data()
{
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("chartActive");
    QTest::addColumn<bool>("overviewActive");
    QTest::addColumn<QStringList>("expected");
    const QString line = QStringLiteral("LineWidget");
    const QString over = QStringLiteral("OverviewWidget");
    QTest::newRow("line chart inactive") << QVariantList({line, 2}) << false << true << QStringList();
    QTest::newRow("line chart, both sides") << QVariantList({line, 2}) << true << true << QStringList({"chart"});
    QTest::newRow("line chart, left") << QVariantList({line, 0}) << true << false << QStringList({"chart"});
    QTest::newRow("line chart, right") << QVariantList({line, 1}) << true << true << QStringList();
    QTest::newRow("overview, left") << QVariantList({over, 0}) << true << true << QStringList({"overview"});
    QTest::newRow("overview inactive") << QVariantList({over, 2}) << true << false << QStringList();
    QTest::newRow("overview, right") << QVariantList({over, 1}) << true << true << QStringList();
    QTest::newRow("side as text") << QVariantList({over, "2"}) << true << true << QStringList({"overview"});
    QTest::newRow("unknown target") << QVariantList({"GanttWidget", 2}) << true << true << QStringList();
    QTest::newRow("no arguments") << QVariantList() << true << true << QStringList();
    QTest::newRow("no side") << QVariantList({over}) << true << true << QStringList();
    QTest::newRow("side not a number") << QVariantList({over, "left"}) << true << true << QStringList();
    QTest::newRow("side out of range") << QVariantList({over, 7}) << true << true << QStringList();
    QTest::newRow("negative side") << QVariantList({line, -1}) << true << true << QStringList();
    QTest::newRow("chart window arguments") << QVariantList({0.25, 0.75}) << true << true << QStringList();
}

void EventRouterTest::renderEvent()
{
    QFETCH(QVariantList, args);
    QFETCH(bool, chartActive);
    QFETCH(bool, overviewActive);
    QFETCH(QStringList, expected);
    window->leftLineRibbon->setActive(chartActive, false);
    window->leftOverviewRibbon->setActive(overviewActive, false);
    window->rightLineRibbon->setActive(true, false);
    window->rightOverviewRibbon->setActive(true, false);
    RenderEvent event(nullptr, args);
    QCOMPARE(route(&event), expected);
}

void EventRouterTest::scrollEvent_data()
{
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("overviewActive");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("left") << QVariantList({0}) << true << QStringList({"overview"});
    QTest::newRow("both") << QVariantList({2}) << true << QStringList({"overview"});
    QTest::newRow("right") << QVariantList({1}) << true << QStringList();
    QTest::newRow("inactive") << QVariantList({0}) << false << QStringList();
    QTest::newRow("no side") << QVariantList() << true << QStringList();
    QTest::newRow("side not a number") << QVariantList({"x"}) << true << QStringList();
}

void EventRouterTest::scrollEvent()
{
    QFETCH(QVariantList, args);
    QFETCH(bool, overviewActive);
    QFETCH(QStringList, expected);
    window->leftOverviewRibbon->setActive(overviewActive, false);
    window->rightOverviewRibbon->setActive(true, false);
    ScrollEvent event(window->leftEventRibbon->view, 3, args);
    bool result = false;
    QCOMPARE(route(&event, &result), expected);
    QVERIFY(result);
}

void EventRouterTest::focusEvent()
{
    EventWidget* left = window->leftEventRibbon->view;
    // From the left view the focus would go to the right one, which is not
    // in use while the split flag is off.
    FocusEvent fromLeft(left, {});
    QCOMPARE(route(&fromLeft), QStringList());
    left->setFocused(true, false);
    FocusEvent fromElsewhere(nullptr, {});
    QCOMPARE(route(&fromElsewhere), QStringList({"left"}));
    QVERIFY(!left->focused);
    FocusEvent fromRight(window->rightEventRibbon->view, {});
    QCOMPARE(route(&fromRight), QStringList({"left"}));
}

void EventRouterTest::focusRefreshesBothPanels_data()
{
    QTest::addColumn<QString>("sender");
    QTest::newRow("from the left view") << "left";
    QTest::newRow("from elsewhere") << "null";
}

void EventRouterTest::focusRefreshesBothPanels()
{
    QFETCH(QString, sender);
    // The panels repaint whichever view took the focus, the unused right one too.
    RibbonEventWidget* leftRibbon = window->leftEventRibbon;
    RibbonEventWidget* rightRibbon = window->rightEventRibbon;
    leftRibbon->setAutoFillBackground(false);
    rightRibbon->setAutoFillBackground(false);
    FocusEvent event(senderNamed(sender), {});
    route(&event);
    QVERIFY(leftRibbon->autoFillBackground());
    QVERIFY(rightRibbon->autoFillBackground());
}

void EventRouterTest::glyphsEvent_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("sequenceActive");
    QTest::addColumn<int>("longest");
    QTest::addColumn<int>("distinct");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QStringList>("expected");
    const int yes = QMessageBox::Yes;
    const int no = QMessageBox::No;
    QTest::newRow("no sequences") << "null" << true << 0 << 0 << no << false << QStringList({"left", "seq"});
    QTest::newRow("at the limits") << "null" << true << 300 << 50 << no << false << QStringList({"left", "seq"});
    QTest::newRow("301 glyphs, yes") << "null" << true << 301 << 1 << yes << true << QStringList({"left", "seq"});
    QTest::newRow("301 glyphs, no") << "null" << true << 301 << 1 << no << true << QStringList({"left"});
    QTest::newRow("51 lengths, no") << "null" << true << 51 << 51 << no << true << QStringList({"left"});
    QTest::newRow("51 lengths, yes") << "null" << true << 51 << 51 << yes << true << QStringList({"left", "seq"});
    QTest::newRow("from the event view") << "left" << true << 3 << 1 << no << false << QStringList({"seq"});
    QTest::newRow("from the sequence view") << "seq" << true << 400 << 1 << yes << false << QStringList({"left"});
    QTest::newRow("sequence ribbon inactive") << "null" << false << 400 << 1 << yes << false << QStringList({"left"});
}

void EventRouterTest::glyphsEvent()
{
    QFETCH(QString, sender);
    QFETCH(bool, sequenceActive);
    QFETCH(int, longest);
    QFETCH(int, distinct);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QFETCH(QStringList, expected);
    window->sequenceRibbon->setActive(sequenceActive, true);

    // `distinct` sequences of lengths longest, longest-1, ... (at least 1 each).
    TList<TList<BinItem*>> sequences;
    for (int i = 0; i < distinct; ++i) {
        TList<BinItem*> sequence;
        for (int k = 0; k < qMax(longest - i, 1); ++k)
            sequence.append(nullptr);
        sequences.append(sequence);
    }
    GlyphsEvent event(senderNamed(sender), sequences, {QStringLiteral("select")});
    MessageRecorder boxes{QMessageBox::StandardButton(answer)};
    DebugCapture cap;
    cap.setForward(false);
    bool result = false;
    QCOMPARE(route(&event, &result), expected);
    QVERIFY(result);
    QCOMPARE(boxes.requests.size(), asked ? 1 : 0);
    if (asked) {
        const MessageAsker::Request& r = boxes.requests.first();
        QCOMPARE(r.title, QStringLiteral("LumiVane"));
        QCOMPARE(r.text, QStringLiteral("Selection limit for sequence view is exceeded: limit, "
                                        "Alignment will take time. Continue?"));
        QCOMPARE(r.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(r.parent, static_cast<QWidget*>(window.get()));
        QVERIFY(cap.contains(answer == QMessageBox::Yes ? QStringLiteral("Yes was clicked")
                                                        : QStringLiteral("Yes was *not* clicked")));
    }
}

void EventRouterTest::attributeEventIsNotForwarded()
{
    AttributeEvent event(window->navigationWidget);
    bool result = false;
    QCOMPARE(route(&event, &result), QStringList());
    // The answer is the plain widget's.
    QWidget plainWidget;
    AttributeEvent same(nullptr);
    QCOMPARE(result, QCoreApplication::sendEvent(&plainWidget, &same));
}

void EventRouterTest::withoutWindowNothingIsReached()
{
    // A controller without views (as during the window's construction):
    // every event finds no target and nothing breaks.
    ControlWidget control(nullptr);
    QList<QEvent*> events = {
        new ContextEvent(nullptr, {}),
        new PacketsEvent(nullptr, {}, {}),
        new GlyphsEvent(nullptr, {}, {}),
        new AttributeEvent(nullptr),
        new ScrollEvent(nullptr, 0, {}),
        new RenderEvent(nullptr, {QStringLiteral("OverviewWidget"), 2}),
        new FocusEvent(nullptr, {}),
    };
    for (QEvent* e : events) {
        QCoreApplication::sendEvent(&control, e);
        delete e;
    }
    QVERIFY(!control.focusedEventWidget());
    QVERIFY(!control.currentContext());
    DebugCapture cap;
    cap.setForward(false);
    QVERIFY(control.selectedPackets().isEmpty());
    QVERIFY(cap.contains(QStringLiteral("no focus?")));
}

void EventRouterTest::otherEventsReachNoView()
{
    window->leftLineRibbon->setActive(true, false);
    window->leftOverviewRibbon->setActive(true, false);
    QEvent reload(QEvent::Type(1010));
    QCOMPARE(route(&reload), QStringList());
    QEvent hover(QEvent::Type(1001));
    QCOMPARE(route(&hover), QStringList());
}

LUMIVANE_TEST(EventRouterTest)
#include "EventRouterTest.moc"
