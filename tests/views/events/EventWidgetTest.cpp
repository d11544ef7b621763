#include "DebugCapture.h"
#include "MatrixFixture.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "events/ContextEvent.h"
#include "events/RenderEvent.h"
#include "events/ResizeEvent.h"
#include "events/ScrollEvent.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/BinItem.h"

#include <QMutex>
#include <QScrollBar>
#include <QSemaphore>
#include <QtTest>

#include <memory>
#include <thread>

using namespace matrixfixture;

namespace {

// The traces of the row-order cases: with the rules, 0 is [AB X], 1 [X],
// 2 [AB], 3 [Y] and 4 [X]; AB is labelled "2".
const QList<Trace> ORDERED = {{0, QStringLiteral("abx"), QString()}, {1, QStringLiteral("x"), QString()},
                              {2, QStringLiteral("ab"), QString()},  {3, QStringLiteral("y"), QString()},
                              {4, QStringLiteral("x"), QString()}};

QList<int> firstLines(const EventWidget* view)
{
    QList<int> lines;
    for (const BinCell* cell : view->cells)
        lines.append(cell->firstLine);
    return lines;
}

// A trace record of the context's kind with the given id and conv.src.
PacketPtr traceRecord(const GlyphStore* store, int id, const QString& source)
{
    TList<TVariant> row;
    for (int c = 0; c < store->conversationAttributeNames.size(); ++c)
        row.append(TVariant());
    row[0] = TVariant(id);
    row[store->conversationAttributeColumns.value(QStringLiteral("conv.src"))] = TVariant(source, false);
    return PacketPtr(new Packet(row));
}

// Restores a process-wide value when the test ends.
template <typename T>
struct Restore
{
    Restore(T& variable, T value) : variable(variable), old(variable) { variable = value; }
    ~Restore() { variable = old; }
    T& variable;
    T old;
};

} // namespace

class EventWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void reload_data();
    void reload();
    void traceIdsPlacedOnce();
    void withoutContext();
    void cellsAreSized();
    void binOffset_data();
    void binOffset();
    void renderSkipsBusyImage();
    void wheel_data();
    void wheel();
    void rowOrders_data();
    void rowOrders();
    void alphabeticalIndexIsText();
    void clusterCap();
    void frequencyAfterMultiMatchFlip();
    void noPaintDuringReload();
    void sortKeepsTheEventSide();
    void itemSize_data();
    void itemSize();
    void badInput();
    void customEvents();
    void displaySlots_data();
    void displaySlots();
};

void EventWidgetTest::reload_data()
{
    QTest::addColumn<QList<Trace>>("traces");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QList<QList<int>>>("placed");
    QTest::addColumn<int>("noBin");

    const QList<Trace> sources = {{1, QStringLiteral("ab"), QStringLiteral("h1")},
                                  {2, QStringLiteral("x"), QStringLiteral("h2")},
                                  {3, QStringLiteral("c"), QStringLiteral("h1")},
                                  {4, QStringLiteral("yy"), QString()}};
    const QList<Trace> allSourced = sources.mid(0, 3);
    QTest::newRow("both axes none") << sources << "" << "" << QStringList({"All"})
                                    << QList<QList<int>>({{1, 2, 3, 4}}) << 0;
    // Trace mode drops the trace without a source.
    QTest::newRow("trace attribute") << sources << "sequential" << "conv.src" << QStringList({"h1", "h2"})
                                     << QList<QList<int>>({{1, 3}, {2}}) << 1;
    // Event mode sends its events to "Unknown".
    QTest::newRow("event attribute") << sources << "event" << "ip.src" << QStringList({"h1", "h2", "Unknown"})
                                     << QList<QList<int>>({{1, 3}, {2}, {4}}) << 1;
    QTest::newRow("empty Unknown removed") << allSourced << "event" << "ip.src" << QStringList({"h1", "h2"})
                                           << QList<QList<int>>({{1, 3}, {2}}) << 0;
    QTest::newRow("events split by kind") << allSourced << "event" << "kind" << QStringList({"a", "b", "c", "x"})
                                          << QList<QList<int>>({{1}, {1}, {3}, {2}}) << 0;
}

void EventWidgetTest::reload()
{
    QFETCH(QList<Trace>, traces);
    QFETCH(QString, box);
    QFETCH(QString, attribute);
    QFETCH(QStringList, titles);
    QFETCH(QList<QList<int>>, placed);
    QFETCH(int, noBin);
    Matrix m(traces);
    if (box == QLatin1String("sequential"))
        m.options->sequentialAxisBox->setCurrentText(attribute);
    else if (box == QLatin1String("event"))
        m.options->eventAxisBox->setCurrentText(attribute);
    DebugCapture capture;
    m.view->reload();
    QCOMPARE(m.cellTitles(), titles);
    QCOMPARE(m.cellTraces(), placed);
    QCOMPARE(capture.count(QStringLiteral("interesting bin -1")), noBin);
    for (const BinCell* cell : m.view->cells)
        QCOMPARE(cell->rows.size(), cell->conversations.size());
}

void EventWidgetTest::traceIdsPlacedOnce()
{
    Matrix m({{1, QStringLiteral("ab"), QStringLiteral("h1")}, {2, QStringLiteral("x"), QStringLiteral("h2")}});
    m.options->sequentialAxisBox->setCurrentText(QStringLiteral("conv.src"));
    // A second record of trace 1 in the other bin, and a record of a trace
    // the context does not have.
    m.context->conversationPackets.append(traceRecord(m.store(), 1, QStringLiteral("h2")));
    m.context->conversationPackets.append(traceRecord(m.store(), 99, QStringLiteral("h2")));
    m.view->reload();
    QCOMPARE(m.cellTitles(), QStringList({"h1", "h2"}));
    QCOMPARE(m.cellTraces(), QList<QList<int>>({{1}, {2}}));
    QCOMPARE(m.view->cells[0]->conversations[0].size(), 2);
}

void EventWidgetTest::withoutContext()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}});
    m.view->setContext(nullptr);
    QCOMPARE(m.cellTitles(), QStringList({"All"}));
    QVERIFY(m.view->cells[0]->conversations.isEmpty());
    QVERIFY(m.view->selectedPackets().isEmpty());
    m.view->setCluster(QStringLiteral("HC Eucledian"));
    QCOMPARE(m.view->clusterMode, QStringLiteral("Alphabetical"));
}

void EventWidgetTest::cellsAreSized()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("xyz"), QString()}});
    const BinCell* cell = m.view->cells[0];
    QCOMPARE(cell->pos(), QPoint(10, 5));
    QCOMPARE(cell->width(), 585);
    QCOMPARE(cell->height(), int(cell->contentHeight()));
    QCOMPARE(cell->image.size(), cell->size());
    QCOMPARE(cell->visibleItems().size(), 5);
    // The glyphs reached the view's image inside the cell's rectangle.
    int drawn = 0;
    const QRect area = cell->geometry();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            drawn += m.view->image.pixel(x, y) != qRgba(255, 255, 255, 255);
    QVERIFY(drawn > 100);
    QCOMPARE(m.view->image.pixel(5, 395), qRgba(255, 255, 255, 255));
}

void EventWidgetTest::binOffset_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<QList<int>>("lines");
    QTest::newRow("top") << 0 << QList<int>({0, 0, 0});
    QTest::newRow("inside the first") << 2 << QList<int>({2, 0, 0});
    QTest::newRow("last line of the first") << 3 << QList<int>({3, 0, 0});
    QTest::newRow("past the first") << 4 << QList<int>({-1, 0, 0});
    QTest::newRow("past the collapsed one") << 5 << QList<int>({-1, -1, 0});
    QTest::newRow("inside the last") << 6 << QList<int>({-1, -1, 1});
    QTest::newRow("last line") << 10 << QList<int>({-1, -1, 5});
    QTest::newRow("past the end") << 11 << QList<int>({-1, -1, -1});
}

void EventWidgetTest::binOffset()
{
    QFETCH(int, offset);
    QFETCH(QList<int>, lines);
    // Cells "a" with 3 traces, "b" collapsed (no lines) and "c" with 5.
    QList<Trace> traces;
    for (int t = 1; t <= 9; ++t)
        traces.append({t, QString(QLatin1Char(t <= 3 ? 'a' : t == 4 ? 'b' : 'c')), QString()});
    Matrix m(traces);
    m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    m.view->cells[1]->header.toggled = true;
    m.view->setSize(-1, -1);
    QList<int> counts;
    for (const BinCell* cell : m.view->cells)
        counts.append(cell->lineCount());
    QCOMPARE(counts, QList<int>({3, 0, 5}));
    QScrollBar* bar = m.ribbon->binScrollBar;
    QCOMPARE(bar->maximum(), 12);
    QCOMPARE(bar->pageStep(), 1);

    EventCounter scrolls(SCROLLEVENT);
    int sent = -1;
    scrolls.onEvent = [&sent](QEvent* e) { sent = static_cast<ScrollEvent*>(e)->offset; };
    m.control->installEventFilter(&scrolls);
    bar->setValue(offset);
    m.control->removeEventFilter(&scrolls);
    QCOMPARE(m.view->binOffset, offset);
    QCOMPARE(firstLines(m.view), lines);
    QCOMPARE(scrolls.count, offset == 0 ? 0 : 1);
    if (offset > 0)
        QCOMPARE(sent, std::max(offset - 1, 0));
    // Laying the cells out again leaves the offset where it is.
    m.view->repositionCells();
    QCOMPARE(bar->value(), offset);
    QCOMPARE(bar->maximum(), 12);
    // Hidden cells are not drawn; the first shown one starts at the top.
    for (const BinCell* cell : m.view->cells)
        if (cell->firstLine > 0)
            QCOMPARE(cell->y(), 5);
}

void EventWidgetTest::renderSkipsBusyImage()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}});
    m.view->image.fill(Qt::green);
    QSemaphore locked;
    QSemaphore done;
    std::thread holder([&]() {
        m.view->imageMutex->lock();
        locked.release();
        done.acquire();
        m.view->imageMutex->unlock();
    });
    locked.acquire();
    const bool rendered = m.view->render(false, false, nullptr);
    QImage target(600, 400, QImage::Format_ARGB32);
    target.fill(Qt::black);
    const bool intoTarget = m.view->render(false, false, &target);
    done.release();
    holder.join();
    QVERIFY(!rendered);
    QCOMPARE(m.view->image.pixel(0, 0), QColor(Qt::green).rgba());
    QVERIFY(intoTarget);
    QCOMPARE(target.pixel(0, 0), qRgba(255, 255, 255, 255));
    QVERIFY(m.view->render(false, false, nullptr));
    QCOMPARE(m.view->image.pixel(0, 0), qRgba(255, 255, 255, 255));
}

void EventWidgetTest::wheel_data()
{
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<int>("offset");
    QTest::newRow("one notch down") << QList<int>({-120}) << true << 6;
    QTest::newRow("two notches at once") << QList<int>({-240}) << true << 7;
    QTest::newRow("three thirds") << QList<int>({-40, -40, -40}) << true << 6;
    QTest::newRow("a notch after a fraction") << QList<int>({-100, -120}) << true << 6;
    QTest::newRow("turning back drops the fraction") << QList<int>({-100, 120}) << true << 4;
    QTest::newRow("before any load") << QList<int>({-120}) << false << 5;
}

void EventWidgetTest::wheel()
{
    QFETCH(QList<int>, deltas);
    QFETCH(bool, loaded);
    QFETCH(int, offset);
    QList<Trace> traces;
    for (int t = 0; t < 20; ++t)
        traces.append({t, QStringLiteral("a"), QString()});
    Matrix m(traces);
    Restore<bool> noData(NO_DATA, !loaded);
    m.ribbon->binScrollBar->setValue(5);
    QCOMPARE(m.view->binOffset, 5);
    for (int delta : deltas) {
        QWheelEvent e(QPointF(50, 50), QPointF(50, 50), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(m.view, &e);
        QVERIFY(e.isAccepted());
    }
    QCOMPARE(m.view->binOffset, offset);
    QCOMPARE(m.ribbon->binScrollBar->value(), offset);
    QVERIFY(m.view->wheelTimer->isActive());
}

void EventWidgetTest::rowOrders_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<bool>("stacked");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QString>("recorded");
    QTest::newRow("default") << "Default" << "ASC" << false << QList<int>({0, 1, 2, 3, 4}) << "Default";
    QTest::newRow("default ignores the direction") << "Default" << "DESC" << false << QList<int>({0, 1, 2, 3, 4})
                                                   << "Default";
    // Traces 2 and 4 are selected.
    QTest::newRow("selected") << "Selected" << "ASC" << false << QList<int>({2, 4, 0, 1, 3}) << "Selected";
    QTest::newRow("selected descending") << "Selected" << "DESC" << false << QList<int>({3, 1, 0, 4, 2})
                                         << "Selected";
    // Counts: [X] twice, the others once; equal counts stay in row order.
    QTest::newRow("frequency") << "Frequency" << "ASC" << false << QList<int>({0, 2, 3, 1, 4}) << "Frequency";
    QTest::newRow("frequency descending") << "Frequency" << "DESC" << false << QList<int>({4, 1, 3, 2, 0})
                                          << "Frequency";
    // "*-1" < "*-3" < "*-4" < "2-2" < "2.*-0": a lone label before a longer row.
    QTest::newRow("alphabetical") << "Alphabetical" << "ASC" << false << QList<int>({1, 3, 4, 2, 0})
                                  << "Alphabetical";
    QTest::newRow("alphabetical descending") << "Alphabetical" << "DESC" << false << QList<int>({0, 2, 4, 3, 1})
                                             << "Alphabetical";
    // The two [X] rows are one pattern and stay together.
    QTest::newRow("clustering") << "HC Eucledian" << "ASC" << false << QList<int>({1, 4, 3, 2, 0})
                                << "Alphabetical";
    QTest::newRow("clustering from the descending order")
        << "HC Eucledian" << "DESC" << false << QList<int>({0, 2, 4, 1, 3}) << "Alphabetical";
    QTest::newRow("clustering stacked rows") << "HC Eucledian" << "ASC" << true << QList<int>({1, 3, 2, 0})
                                             << "Alphabetical";
    QTest::newRow("frequency of stacked rows") << "Frequency" << "DESC" << true << QList<int>({1, 3, 2, 0})
                                               << "Frequency";
    QTest::newRow("unknown mode") << "Whatever" << "ASC" << false << QList<int>({0, 1, 2, 3, 4}) << "Whatever";
}

void EventWidgetTest::rowOrders()
{
    QFETCH(QString, mode);
    QFETCH(QString, direction);
    QFETCH(bool, stacked);
    QFETCH(QList<int>, rows);
    QFETCH(QString, recorded);
    Matrix m(ORDERED, true);
    if (stacked)
        m.view->setStack(true);
    m.selectTraces({2, 4});
    m.options->sortDirectionBox->setCurrentText(direction);
    m.view->setCluster(QStringLiteral("Default"));
    EventCounter renders(RENDEREVENT);
    m.control->installEventFilter(&renders);
    m.view->setCluster(mode);
    m.control->removeEventFilter(&renders);
    QCOMPARE(Matrix::rowTraces(m.view->cells[0]), rows);
    QCOMPARE(m.view->clusterMode, recorded);
    QCOMPARE(m.options->sortDirectionBox->isEnabled(), mode != QLatin1String("Default"));
    QCOMPARE(renders.count, mode.contains(QLatin1String("Eucledian")) ? 2 : 1);
    // The new order is what the cell shows.
    QCOMPARE(m.view->cells[0]->visibleRows.first().first(), m.view->cells[0]->rows.first().first());
}

void EventWidgetTest::alphabeticalIndexIsText()
{
    QList<Trace> traces;
    for (int t = 0; t <= 10; ++t)
        traces.append({t, QStringLiteral("c"), QString()});
    Matrix m(traces);
    m.view->setCluster(QStringLiteral("Alphabetical"));
    QCOMPARE(Matrix::rowTraces(m.view->cells[0]), QList<int>({0, 1, 10, 2, 3, 4, 5, 6, 7, 8, 9}));
}

void EventWidgetTest::clusterCap()
{
    // 12001 distinct one-item rows: too many for the distance table.
    Matrix m({{1, QStringLiteral("a"), QString()}});
    m.view->setContext(nullptr);
    auto* cell = new BinCell(m.control.get(), m.view, QStringLiteral("big"), m.view);
    const int n = EventWidget::MAX_CLUSTER_ROWS + 1;
    for (int r = 0; r < n; ++r) {
        auto* item = new BinItem(nullptr, cell);
        item->id = r;
        PacketPtr p(new Packet(TList<TVariant>{TVariant(r)}));
        p->conversationId = n - r;
        item->packets.append(p);
        cell->rows.append(TList<BinItem*>{item});
    }
    m.view->cells.append(cell);
    DebugCapture capture;
    m.view->clusterCells();
    QCOMPARE(capture.lines().filter(QStringLiteral("12001 distinct rows, more than the 12000")).size(), 1);
    QVERIFY(!capture.contains(QStringLiteral("merging")));
    QCOMPARE(cell->rows.size(), n);
    QCOMPARE(cell->rows.first().first()->id, 0);
    QCOMPARE(cell->rows.last().first()->id, n - 1);
}

void EventWidgetTest::frequencyAfterMultiMatchFlip()
{
    Matrix m(ORDERED, true);
    m.view->setStack(true);
    const QList<int> before = Matrix::rowTraces(m.view->cells[0]);
    Restore<bool> multi(showMulti, false);
    DebugCapture capture;
    m.view->setCluster(QStringLiteral("Frequency"));
    QCOMPARE(capture.lines().filter(QStringLiteral("counted as 0")).size(), 1);
    QCOMPARE(Matrix::rowTraces(m.view->cells[0]), before);
}

void EventWidgetTest::noPaintDuringReload()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("c"), QString()}});
    m.ribbon->resize(700, 500);
    m.ribbon->show();
    QVERIFY(QTest::qWaitForWindowExposed(m.ribbon.get()));
    QCoreApplication::processEvents();
    EventCounter paints(QEvent::Paint);
    m.view->installEventFilter(&paints);
    // The row order's render request comes while updates are off, the
    // reload's own one after they are on again.
    EventCounter renders(RENDEREVENT);
    QList<bool> updates;
    renders.onEvent = [&](QEvent*) { updates.append(m.view->updatesEnabled()); };
    m.control->installEventFilter(&renders);
    m.view->reload();
    m.control->removeEventFilter(&renders);
    QCOMPARE(paints.count, 0);
    QCOMPARE(updates, QList<bool>({false, true}));
    QVERIFY(m.view->updatesEnabled());
    QTRY_VERIFY(paints.count > 0);
    m.view->removeEventFilter(&paints);
}

void EventWidgetTest::sortKeepsTheEventSide()
{
    Matrix m({{1, QStringLiteral("x"), QString()}, {2, QStringLiteral("bb"), QString()},
              {3, QStringLiteral("aaa"), QString()}});
    m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    QCOMPARE(m.cellTitles(), QStringList({"a", "b", "x"}));
    // The group order rebuilds Y over the event attribute, least frequent first.
    m.options->groupOrderBox->setCurrentText(QStringLiteral("Frequency"));
    QCOMPARE(m.options->eventAxisBox->currentText(), QStringLiteral("kind"));
    QCOMPARE(static_cast<BinAxis*>(m.view->yAxis)->column, KIND);
    QCOMPARE(m.cellTitles(), QStringList({"x", "b", "a"}));
    QCOMPARE(m.cellTraces(), QList<QList<int>>({{1}, {2}, {3}}));
    m.view->refresh();
    QCOMPARE(m.options->eventAxisBox->currentText(), QStringLiteral("kind"));
    QCOMPARE(m.cellTitles(), QStringList({"x", "b", "a"}));
}

void EventWidgetTest::itemSize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("gap");
    QTest::newRow("default size") << 40 << 8;
    QTest::newRow("small glyphs keep the item gap") << 10 << 7;
    QTest::newRow("large glyphs cap the gap") << 100 << 10;
}

void EventWidgetTest::itemSize()
{
    QFETCH(int, size);
    QFETCH(int, gap);
    Restore<double> itemSize(matrixItemSize, matrixItemSize);
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("c"), QString()}});
    m.view->setItemSize(size);
    QCOMPARE(m.view->rowGap, gap);
    QCOMPARE(matrixItemSize, double(size));
    // The cells take both, and a reload keeps them.
    for (int pass = 0; pass < 2; ++pass) {
        QCOMPARE(m.view->cells[0]->glyphSize, size);
        QCOMPARE(m.view->cells[0]->rowGap, gap);
        QCOMPARE(m.view->cells[0]->items().first()->width(), double(size));
        m.view->reload();
    }
}

void EventWidgetTest::badInput()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("c"), QString()}});
    DebugCapture capture;

    // A glyph-size attribute that is not an event attribute gives no axis.
    m.view->changeZAxis(QStringLiteral("conv.length"));
    QVERIFY(m.view->zNone);
    QVERIFY(!m.view->zAxis);
    // One that vanished from the event attributes: the cells get no size axis.
    m.view->changeZAxis(QStringLiteral("size"));
    QVERIFY(dynamic_cast<Axis*>(m.view->zAxis));
    QCOMPARE(m.view->cells[0]->sizeAttribute, SIZE);
    m.store()->attributeColumns.remove(QStringLiteral("size"));
    capture.clear();
    m.view->reload();
    QCOMPARE(capture.lines().filter(QStringLiteral("glyphs keep their size")).size(), 1);
    QVERIFY(!m.view->cells[0]->sizeAxis);
    QCOMPARE(m.view->cells[0]->sizeAttribute, -1);

    // An attribute without values: every event has no bin.
    m.options->eventAxisBox->setCurrentText(QStringLiteral("ip.src"));
    QCOMPARE(m.cellTitles(), QStringList({"Unknown"}));
    QCOMPARE(m.view->cells[0]->conversations.size(), 2);
    m.view->setCluster(QStringLiteral("HC Eucledian"));

    // Without the trace id attribute no trace can be placed.
    m.options->eventAxisBox->setCurrentText(QStringLiteral("none"));
    m.store()->conversationAttributeColumns.remove(QStringLiteral("conv.convid"));
    capture.clear();
    m.view->reload();
    QCOMPARE(capture.lines().filter(QStringLiteral("no conv.convid")).size(), 1);
    QCOMPARE(m.cellTitles(), QStringList({"All"}));
    QVERIFY(m.view->cells[0]->conversations.isEmpty());

    // One row clusters into one leaf.
    Matrix one({{5, QStringLiteral("ab"), QString()}});
    one.view->setCluster(QStringLiteral("HC Eucledian"));
    QCOMPARE(Matrix::rowTraces(one.view->cells[0]), QList<int>({5}));
}

void EventWidgetTest::customEvents()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}});
    std::unique_ptr<Context> other(new Context(nullptr, QStringLiteral("other"),
                                               makeEvents({{7, QStringLiteral("xyz"), QString()}}), m.store(), true));
    // An inactive view leaves custom events to QWidget.
    m.view->setActive(false, false);
    ContextEvent ignored(nullptr, QList<Context*>{other.get()});
    QCoreApplication::sendEvent(m.view, &ignored);
    QCOMPARE(m.view->context, m.context);
    m.view->setActive(true, false);
    ContextEvent empty(nullptr, QList<Context*>());
    QVERIFY(QCoreApplication::sendEvent(m.view, &empty));
    ContextEvent taken(nullptr, QList<Context*>{m.context, other.get()});
    QVERIFY(QCoreApplication::sendEvent(m.view, &taken));
    QCOMPARE(m.cellTraces(), QList<QList<int>>({{7}}));
    // A cell header's resize request lays the view out at its own size.
    m.view->QWidget::resize(500, 350);
    ResizeEvent resize(m.view);
    QVERIFY(QCoreApplication::sendEvent(m.view, &resize));
    QCOMPARE(m.view->cells[0]->width(), 485);
    m.view->setContext(m.context);
}

void EventWidgetTest::displaySlots_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("mode");        // the cells' conversation mode afterwards
    QTest::addColumn<int>("rows");        // rows of the first cell afterwards
    QTest::newRow("traces one after another") << "conv2" << 1 << 3;
    QTest::newRow("one trace of all events") << "conv3" << 2 << 1;
    QTest::newRow("a row per trace again") << "conv" << 0 << 3;
    QTest::newRow("time window") << "time" << 0 << 3;
    QTest::newRow("labels off") << "labels" << 0 << 3;
    QTest::newRow("popups off") << "popups" << 0 << 3;
    QTest::newRow("stacked: two row patterns") << "stack" << 0 << 2;
}

// The display slots hand their value to every cell; those that rebuild
// keep the selection, gathered again from the new glyphs.
void EventWidgetTest::displaySlots()
{
    QFETCH(QString, slot);
    QFETCH(int, mode);
    QFETCH(int, rows);
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("xy"), QString()},
              {3, QStringLiteral("c"), QString()}});
    TList<PacketPtr> trace;
    for (const PacketPtr& p : m.context->packets)
        if (p->conversationId == 2)
            trace.append(p);
    m.view->selectPackets(trace);
    if (slot == "conv2")
        m.view->setConv2();
    else if (slot == "conv3")
        m.view->setConv3();
    else if (slot == "conv") {
        m.view->setConv2();
        m.view->setConv(true);
    } else if (slot == "time")
        m.view->setTimeWindow(1001.0, 1003.0);
    else if (slot == "labels")
        m.view->showLabels(false);
    else if (slot == "popups")
        m.view->showPopups(false);
    else if (slot == "stack")
        m.view->setStack(true);
    const BinCell* cell = m.view->cells[0];
    QCOMPARE(cell->conversationMode, mode);
    QCOMPARE(cell->rows.size(), rows);
    QCOMPARE(cell->timeFrom, slot == "time" ? 1001.0 : 0.0);
    QCOMPARE(cell->showLabels, slot != "labels");
    QCOMPARE(cell->showPopups, slot != "popups");
    QCOMPARE(cell->stacked, slot == "stack");
    QCOMPARE(m.view->selectedPacketSet.size(), 2);
    QCOMPARE(m.view->selectedPackets().size(), 2);
    // The selected glyphs are glyphs of the cells now shown.
    const TList<BinItem*> shown = cell->items();
    QVERIFY(!m.view->selectedItemSet.isEmpty());
    for (BinItem* item : m.view->selectedItemSet)
        QVERIFY(shown.contains(item) && item->selected);
    QVERIFY(!m.view->selectedSequences.isEmpty());
}

LUMIVANE_TEST(EventWidgetTest)
#include "EventWidgetTest.moc"
