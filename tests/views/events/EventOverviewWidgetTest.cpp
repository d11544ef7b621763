#include "TestRegistry.h"
#include "DebugCapture.h"
#include "OverviewFixture.h"

#include "events/RenderEvent.h"
#include "events/ScrollEvent.h"

#include <QSlider>
#include <QtTest>

using namespace overviewfixture;

// The overview strip: passes on the worker thread, requests that meet a
// running pass, the window that follows the matrix's scroll position, and
// the ends of the matrix and the strip while a pass runs.
class EventOverviewWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void passDrawsEveryCell();
    void passLeavesTheMatrixAlone();
    void renderDuringAPass();
    void sliderMovesStartOnePass();
    void scrollCopiesAWindow();
    void foreignSenders_data();
    void foreignSenders();
    void nothingToShow_data();
    void nothingToShow();
    void endsDuringAPass_data();
    void endsDuringAPass();
};

namespace {

bool allWhite(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return false;
    return true;
}

int countColour(const QImage& image, const QColor& colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == colour.rgb();
    return n;
}

struct Geometry
{
    double x, y, w, h;
    bool visible;
    bool operator==(const Geometry& o) const
    {
        return x == o.x && y == o.y && w == o.w && h == o.h && visible == o.visible;
    }
};

QList<Geometry> geometry(const EventWidget* view)
{
    QList<Geometry> all;
    for (const BinCell* cell : view->cells) {
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                all.append({item->x, item->y, item->width(), item->height(), item->visible});
        for (const TextItem& label : cell->extraItems)
            all.append({label.x, label.y, label.width(), label.height(), true});
    }
    return all;
}

void sendRender(QObject* sender, QWidget* target)
{
    RenderEvent e(sender, {QStringLiteral("OverviewWidget"), 0});
    QCoreApplication::sendEvent(target, &e);
}

} // namespace

void EventOverviewWidgetTest::passDrawsEveryCell()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(12));
    g.m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    QVERIFY(g.m.view->cells.size() > 1);

    g.strip->reloadData();
    QVERIFY(g.strip->isRunning());
    QVERIFY(settle(g.strip));
    QCOMPARE(g.strip->images.size(), g.m.view->cells.size());
    int total = 0;
    for (int i = 0; i < g.strip->images.size(); ++i) {
        QCOMPARE(g.strip->images[i].width(), 200);
        QCOMPARE(g.strip->images[i].height(),
                 int(std::floor(g.m.view->cells[i]->rowsHeight(g.m.view->cells[i]->rows) * 10 / 40.0)));
        total += g.strip->images[i].height();
    }
    QCOMPARE(g.strip->stackedImage.height(), total);
    // White ground, the cells' headers and grey glyphs (drawn a tenth darker).
    QCOMPARE(g.strip->stackedImage.pixel(190, 1), qRgb(255, 255, 255));
    QVERIFY(countColour(g.strip->stackedImage, DEFAULT_FILL_COLOR.darker(110)) > 0);
    QCOMPARE(cap.count(QStringLiteral("thread start overview")), 1);
    QCOMPARE(cap.count(QStringLiteral("Done")), 1);
    QVERIFY(g.strip->findChildren<QThread*>().isEmpty() || !g.strip->isRunning());
}

void EventOverviewWidgetTest::passLeavesTheMatrixAlone()
{
    // Stacked and scrolled: the shown items sit where the window puts
    // them, not where a layout of all rows would.
    Group g(traces(40));
    g.m.view->setStack(true);
    g.m.view->setStack(false);
    g.m.ribbon->binScrollBar->setValue(7);
    const QList<Geometry> before = geometry(g.m.view);
    QVERIFY(!before.isEmpty());
    g.strip->reloadData();
    while (g.strip->isRunning()) {
        // During the pass as well as after it.
        QCOMPARE(geometry(g.m.view), before);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    QVERIFY(settle(g.strip));
    QCOMPARE(geometry(g.m.view), before);
    QVERIFY(!g.strip->stackedImage.isNull());
}

void EventOverviewWidgetTest::renderDuringAPass()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(6));
    QVERIFY(settle(g.strip));
    {
        CellGate gate(g.m.view->cells.first(), 5000);
        g.strip->reloadData();
        QVERIFY(g.strip->isRunning());
        QElapsedTimer clock;
        clock.start();
        sendRender(g.m.view, g.strip);
        sendRender(g.m.view, g.strip);
        // The requests of one GUI operation are one request.
        QCoreApplication::processEvents();
        QVERIFY(clock.elapsed() >= 290);
        QCOMPARE(cap.count(QStringLiteral("overview in progress")), 1);
        QCOMPARE(cap.count(QStringLiteral("thread start overview")), 1);
    }
    QVERIFY(settle(g.strip));
    // The waiting request got exactly one more pass.
    QCOMPARE(cap.count(QStringLiteral("thread start overview")), 2);
    QCOMPARE(cap.count(QStringLiteral("Done")), 2);
    QCOMPARE(g.strip->images.size(), g.m.view->cells.size());
}

void EventOverviewWidgetTest::sliderMovesStartOnePass()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(6));
    QSlider* slider = g.overviewRibbon->sizeSlider;
    QCOMPARE(slider->value(), 10);
    for (int size : {12, 14, 16, 18}) {
        slider->setValue(size);
        QTest::qWait(50);
    }
    QTRY_COMPARE(g.strip->itemSize, 18);
    QVERIFY(settle(g.strip));
    QCOMPARE(cap.count(QStringLiteral("thread start overview")), 1);
    const BinCell* cell = g.m.view->cells.first();
    QCOMPARE(g.strip->images.first().height(), int(std::floor(cell->rowsHeight(cell->rows) * 18 / 40.0)));
}

void EventOverviewWidgetTest::scrollCopiesAWindow()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(60));
    g.overviewRibbon->resize(200, 320);
    g.overviewRibbon->show();
    QVERIFY(QTest::qWaitForWindowExposed(g.overviewRibbon));
    g.strip->resizeTimer->stop();
    const int w = g.strip->width();
    const int h = g.strip->height();
    g.strip->reloadData();
    QVERIFY(settle(g.strip));
    cap.clear();

    ScrollEvent scroll(g.m.view, 4, {0});
    QVERIFY(QCoreApplication::sendEvent(g.strip, &scroll));
    QCOMPARE(g.strip->offset, 4);
    QVERIFY(!g.strip->isRunning());
    QCOMPARE(cap.count(QStringLiteral("thread start overview")), 0);
    QCOMPARE(g.strip->visibleImage, g.strip->stackedImage.copy(0, 40, w, h));

    // What the strip shows: the window, two pixels down, on white.
    const QImage shown = g.strip->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.pixel(5, 0), qRgb(255, 255, 255));
    for (int y = 2; y < h; y += 7)
        for (int x = 0; x < w; x += 5)
            QCOMPARE(shown.pixel(x, y), g.strip->stackedImage.pixel(x, y - 2 + 40) | 0xff000000);
}

void EventOverviewWidgetTest::foreignSenders_data()
{
    QTest::addColumn<int>("sender");
    QTest::newRow("no sender") << 0;
    QTest::newRow("plain object") << 1;
    QTest::newRow("the event ribbon") << 2;
    QTest::newRow("the overview ribbon") << 3;
}

void EventOverviewWidgetTest::foreignSenders()
{
    QFETCH(int, sender);
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(6));
    QObject plain;
    QObject* from[] = {nullptr, &plain, g.m.ribbon.get(), g.overviewRibbon};

    ScrollEvent scroll(from[sender], 9, {0});
    QVERIFY(QCoreApplication::sendEvent(g.strip, &scroll));
    QVERIFY(scroll.isAccepted());
    RenderEvent render(from[sender], {QStringLiteral("OverviewWidget"), 0});
    QVERIFY(QCoreApplication::sendEvent(g.strip, &render));
    QVERIFY(render.isAccepted());
    QVERIFY(settle(g.strip, 300));
    QCOMPARE(g.strip->offset, 0);
    QCOMPARE(cap.count(QStringLiteral("thread start overview")), 0);
}

void EventOverviewWidgetTest::nothingToShow_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("no matrix") << 0;
    QTest::newRow("matrix without cells") << 1;
    QTest::newRow("strip of width 0") << 2;
    QTest::newRow("too tall for an image") << 3;
}

void EventOverviewWidgetTest::nothingToShow()
{
    QFETCH(int, kind);
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(6));
    EventWidget bare(g.m.control.get(), nullptr, 0, nullptr);
    EventWidget* views[] = {nullptr, &bare, g.m.view, g.m.view};
    EventOverviewWidget strip(g.m.control.get(), views[kind], nullptr);
    strip.resize(kind == 2 ? 0 : 120, 200);
    if (kind == 3)
        strip.setItemSize(200000000);
    else
        strip.reloadData();
    QVERIFY(settle(&strip));
    QCOMPARE(cap.count(QStringLiteral("Done")), 1);
    QVERIFY(strip.stackedImage.isNull());
    QVERIFY(strip.visibleImage.isNull());
    if (kind != 2)
        QVERIFY(allWhite(strip.grab().toImage().convertToFormat(QImage::Format_RGB32)));
}

void EventOverviewWidgetTest::endsDuringAPass_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("strip destroyed") << "strip";
    QTest::newRow("matrix destroyed") << "matrix";
    QTest::newRow("ribbon destroyed, matrix before strip") << "exit";
    QTest::newRow("matrix reloads") << "reload";
    QTest::newRow("matrix takes its context again") << "context";
    QTest::newRow("matrix stacks its rows") << "stack";
    QTest::newRow("matrix changes its glyph size") << "size";
    QTest::newRow("matrix drops its glyph size attribute") << "zaxis";
}

void EventOverviewWidgetTest::endsDuringAPass()
{
    QFETCH(QString, what);
    DebugCapture cap;
    cap.setForward(false);
    auto g = std::make_unique<Group>(traces(30));
    if (what == QLatin1String("exit"))
        g->build();
    if (what == QLatin1String("zaxis")) {
        g->m.view->changeZAxis(QStringLiteral("size"));
        QVERIFY(g->m.view->cells.first()->sizeAxis);
    }
    EventOverviewWidget* strip = g->strip;
    QVERIFY(settle(strip));
    QPointer<EventOverviewWidget> alive(strip);
    {
        // The worker waits at the first cell for a moment: the pass is live.
        CellGate gate(g->m.view->cells.first(), 80);
        strip->reloadData();
        QVERIFY(strip->isRunning());
        if (what == QLatin1String("strip")) {
            delete g->overviewRibbon;
            g->overviewRibbon = nullptr;
        } else if (what == QLatin1String("matrix")) {
            delete g->m.view;
            g->m.view = nullptr;
        } else if (what == QLatin1String("exit")) {
            g->m.ribbon.reset();
        } else if (what == QLatin1String("reload")) {
            g->m.view->reload();
        } else if (what == QLatin1String("context")) {
            g->m.view->setContext(g->m.context);
        } else if (what == QLatin1String("stack")) {
            g->m.view->setStack(true);
        } else if (what == QLatin1String("zaxis")) {
            g->m.view->changeZAxis(QStringLiteral("none"), false);
            QVERIFY(!g->m.view->cells.first()->sizeAxis);
        } else {
            g->m.view->setItemSize(20);
        }
    }
    QCOMPARE(cap.count(QStringLiteral("Canceled")), 1);
    if (what == QLatin1String("strip") || what == QLatin1String("exit")) {
        QVERIFY(!alive);
        return;
    }
    QVERIFY(alive);
    QVERIFY(!strip->isRunning());
    // A new pass draws what the matrix holds now.
    QVERIFY(settle(strip));
    QCOMPARE(cap.count(QStringLiteral("Done")), 1);
    if (what == QLatin1String("matrix")) {
        QVERIFY(!strip->eventView);
        QVERIFY(strip->stackedImage.isNull());
    } else {
        QCOMPARE(strip->images.size(), g->m.view->cells.size());
        QVERIFY(!strip->stackedImage.isNull());
    }
}

LUMIVANE_TEST(EventOverviewWidgetTest)
#include "EventOverviewWidgetTest.moc"
