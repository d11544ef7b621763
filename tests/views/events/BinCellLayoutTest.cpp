#include "TestRegistry.h"
#include "DebugCapture.h"
#include "CellFixture.h"

#include "core/Constants.h"
#include "events/EventType.h"
#include "items/Axis.h"

#include <QMouseEvent>
#include <QMutex>
#include <QScopedPointer>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>

using namespace cellfixture;

namespace {

// Counts the resize events a cell's header sends.
class Receiver : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (int(e->type()) == RESIZEEVENT)
            ++resizes;
        return QObject::event(e);
    }
    int resizes = 0;
};

// Holds a mutex on another thread until released.
class Holder
{
public:
    explicit Holder(QMutex* mutex)
        : thread([this, mutex] {
              mutex->lock();
              locked = true;
              while (!done)
                  std::this_thread::yield();
              mutex->unlock();
          })
    {
        while (!locked)
            std::this_thread::yield();
    }
    ~Holder() { release(); }
    void release()
    {
        done = true;
        if (thread.joinable())
            thread.join();
    }

private:
    std::atomic<bool> locked{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

QString sliceSizes(const BinCell& cell)
{
    QStringList sizes;
    for (const auto& slice : cell.visibleRows)
        sizes.append(QString::number(slice.size()));
    return sizes.join(QLatin1Char(','));
}

QString positions(const TList<BinItem*>& items)
{
    QStringList out;
    for (const BinItem* item : items)
        out.append(QStringLiteral("%1:%2").arg(item->x).arg(item->y));
    return out.join(QLatin1Char(' '));
}

// The colour an item's fill is drawn in.
QRgb filled(const QColor& fill)
{
    return fill.darker(110).rgba();
}

QRgb pixel(const QImage& image, int x, int y)
{
    return image.pixel(x, y);
}

} // namespace

class BinCellLayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        capture.reset(new DebugCapture);
        capture->setForward(false);
        fixture.reset(new Fixture);
        showMulti = true;
    }
    void cleanup()
    {
        fixture.reset();
        capture.reset();
    }

    void itemsPerLine_data();
    void itemsPerLine();
    void geometry_data();
    void geometry();
    void collapsedHeader();
    void visibleWindow_data();
    void visibleWindow();
    void layoutPositions_data();
    void layoutPositions();
    void sizeAxis_data();
    void sizeAxis();
    void stackLabels_data();
    void stackLabels();
    void renderProbes();
    void renderSkipsWhileTheImageIsBusy();
    void renderSkipsAndRetriesWhileRowsAreBusy();
    void overviewImage();
    void headerPress();
    void badInput_data();
    void badInput();

private:
    // Traces of 3 and 5 events in a 100 px wide cell: two items a line.
    std::unique_ptr<BinCell> twoTraces(int mode, int height = 300, int firstLine = 0)
    {
        auto cell = fixture->cell();
        cell->conversationMode = mode;
        cell->addPackets(trace(1, QStringLiteral("aaa")));
        cell->addPackets(trace(2, QStringLiteral("bbbbb")));
        cell->buildData(false);
        capture->clear();
        cell->firstLine = firstLine;
        cell->resizeWidget(100, height);
        return cell;
    }

    QScopedPointer<DebugCapture> capture;
    QScopedPointer<Fixture> fixture;
};

void BinCellLayoutTest::itemsPerLine_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("glyph");
    QTest::addColumn<int>("perLine");

    // Header = width - 4; k items fit when 10 + k * (glyph + 2) + glyph <= header.
    QTest::newRow("100 px") << 100 << 40 << 2;
    QTest::newRow("exactly one") << 54 << 40 << 1;
    QTest::newRow("narrower than a glyph") << 30 << 40 << 1;
    QTest::newRow("zero width") << 0 << 40 << 1;
    QTest::newRow("exactly three") << 138 << 40 << 3;
    QTest::newRow("one short of three") << 137 << 40 << 2;
    QTest::newRow("glyph 1") << 100 << 1 << 29;
    QTest::newRow("glyph 200") << 1480 << 200 << 7;
}

void BinCellLayoutTest::itemsPerLine()
{
    QFETCH(int, width);
    QFETCH(int, glyph);
    QFETCH(int, perLine);

    auto cell = fixture->cell();
    cell->glyphSize = glyph;
    cell->resizeWidget(width, 100);
    QCOMPARE(cell->header.width(), double(width - 4));
    QCOMPARE(cell->itemsPerLine(), perLine);
}

void BinCellLayoutTest::geometry_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("firstLine");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("visibleLines");
    QTest::addColumn<double>("content");
    QTest::addColumn<int>("rowsHeight");

    // 3 and 5 events, two a line, a 300 px high cell, glyph 40, row gap 8.
    QTest::newRow("mode 0, header shown") << 0 << 0 << 5 << 6 << 296.0 << 358;
    QTest::newRow("mode 0, from line 0") << 0 << 1 << 5 << 7 << 246.0 << 358;
    QTest::newRow("mode 0, from line 2") << 0 << 3 << 5 << 7 << 150.0 << 358;
    QTest::newRow("mode 0, past the end") << 0 << 20 << 5 << 7 << 14.0 << 358;
    QTest::newRow("mode 1, header shown") << 1 << 0 << 6 << 6 << 314.0 << 322;
    QTest::newRow("mode 1, from line 0") << 1 << 1 << 6 << 6 << 264.0 << 322;
    QTest::newRow("mode 1, past the end") << 1 << 20 << 6 << 6 << 14.0 << 322;
    QTest::newRow("mode 2, header shown") << 2 << 0 << 4 << 4 << 230.0 << 220;
    QTest::newRow("mode 2, from line 0") << 2 << 1 << 4 << 4 << 180.0 << 220;
    QTest::newRow("mode 2, past the end") << 2 << 20 << 4 << 4 << 14.0 << 220;
}

void BinCellLayoutTest::geometry()
{
    QFETCH(int, mode);
    QFETCH(int, firstLine);
    QFETCH(int, lines);
    QFETCH(int, visibleLines);
    QFETCH(double, content);
    QFETCH(int, rowsHeight);

    auto cell = twoTraces(mode, 300, firstLine);
    QCOMPARE(cell->lineCount(), lines);
    QCOMPARE(cell->visibleLineCount(300), visibleLines);
    QCOMPARE(cell->contentHeight(), content);
    QVERIFY(cell->contentHeight() > 0);
    QCOMPARE(cell->rowsHeight(cell->rows), rowsHeight);
    QCOMPARE(capture->contains(QStringLiteral("not visible")), firstLine > lines);
}

void BinCellLayoutTest::collapsedHeader()
{
    auto cell = twoTraces(0);
    cell->header.toggled = true;
    cell->updateVisibleRows();
    QCOMPARE(cell->lineCount(), 0);
    QCOMPARE(cell->contentHeight(), 50.0);
    QCOMPARE(cell->rowsHeight(cell->rows), 52);
    // Nothing below a collapsed header can be hit or drawn.
    QVERIFY(cell->visibleItems().isEmpty());
}

void BinCellLayoutTest::visibleWindow_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("firstLine");
    QTest::addColumn<QString>("slices");
    QTest::addColumn<int>("firstRow");
    QTest::addColumn<int>("firstRowLine");
    QTest::addColumn<int>("endRow");

    QTest::newRow("all rows") << 0 << 300 << 0 << "3,5" << 0 << 0 << 2;
    QTest::newRow("second row cut at its line 1") << 0 << 300 << 4 << "3" << 1 << 1 << 2;
    QTest::newRow("last line only") << 0 << 300 << 5 << "1" << 1 << 2 << 2;
    QTest::newRow("low cell: four lines") << 0 << 100 << 0 << "3,4" << 0 << 0 << 2;
    QTest::newRow("low cell without header: five lines") << 0 << 100 << 1 << "3,5" << 0 << 0 << 2;
    QTest::newRow("mode 0 past the end") << 0 << 300 << 6 << "" << 0 << 0 << 0;
    QTest::newRow("mode 2 whole row") << 2 << 300 << 0 << "8" << 0 << 0 << 1;
    QTest::newRow("mode 2 from line 1") << 2 << 300 << 2 << "6" << 0 << 1 << 1;
    QTest::newRow("mode 2 past the end") << 2 << 300 << 5 << "" << 0 << 0 << 0;
    QTest::newRow("mode 1 both traces") << 1 << 300 << 0 << "3,5" << 0 << 0 << 2;
    QTest::newRow("mode 1 from line 2") << 1 << 300 << 3 << "5" << 1 << 2 << 2;
}

void BinCellLayoutTest::visibleWindow()
{
    QFETCH(int, mode);
    QFETCH(int, height);
    QFETCH(int, firstLine);
    QFETCH(QString, slices);
    QFETCH(int, firstRow);
    QFETCH(int, firstRowLine);
    QFETCH(int, endRow);

    auto cell = twoTraces(mode, height, firstLine);
    QCOMPARE(sliceSizes(*cell), slices);
    QCOMPARE(cell->firstVisibleRow, firstRow);
    QCOMPARE(cell->firstVisibleLine, firstRowLine);
    QCOMPARE(cell->endRow, endRow);
    QCOMPARE(capture->contains(QStringLiteral("not visible")), slices.isEmpty());
    if (!slices.isEmpty())
        QVERIFY(capture->lines().filter(QStringLiteral("visible rows:")).size() > 0);
}

void BinCellLayoutTest::layoutPositions_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("firstLine");
    QTest::addColumn<QString>("positions");

    QTest::newRow("mode 0") << 0 << 0 << "10:52 52:52 10:94 10:142 52:142 10:184 52:184 10:226";
    QTest::newRow("mode 0 without header") << 0 << 1 << "10:12 52:12 10:54 10:102 52:102 10:144 52:144 10:186";
    QTest::newRow("mode 1 runs on") << 1 << 0 << "10:52 52:52 10:106 52:106 10:160 52:160 10:214 52:214";
    QTest::newRow("mode 2") << 2 << 0 << "10:52 52:52 10:94 52:94 10:136 52:136 10:178 52:178";
}

void BinCellLayoutTest::layoutPositions()
{
    QFETCH(int, mode);
    QFETCH(int, firstLine);
    QFETCH(QString, positions);

    auto cell = twoTraces(mode, 1000, firstLine);
    QCOMPARE(::positions(cell->visibleItems()), positions);
    QCOMPARE(cell->header.x, 2.0);
    QCOMPARE(cell->header.y, 2.0);
    QVERIFY(capture->lines().filter(QStringLiteral(" seconds reposition")).size() > 0);

    // The all-rows layout places the same rows the same way.
    cell->layoutItems(true, false);
    QCOMPARE(::positions(cell->items()), positions);
}

void BinCellLayoutTest::sizeAxis_data()
{
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<double>("size");

    QTest::newRow("top of the range") << 0.0 << 10.0 << QList<double>{10} << 40.0;
    QTest::newRow("middle") << 0.0 << 10.0 << QList<double>{5} << 20.0;
    QTest::newRow("mean of the events") << 0.0 << 10.0 << QList<double>{2, 8} << 20.0;
    QTest::newRow("truncated") << 0.0 << 3.0 << QList<double>{1} << 13.0;
    QTest::newRow("bottom: 5 px") << 0.0 << 10.0 << QList<double>{0} << 5.0;
    QTest::newRow("min == max: full size") << 5.0 << 5.0 << QList<double>{5} << 40.0;
    QTest::newRow("above the range: the slot") << 0.0 << 10.0 << QList<double>{100} << 40.0;
    QTest::newRow("no events: full size") << 0.0 << 10.0 << QList<double>{} << 40.0;
}

void BinCellLayoutTest::sizeAxis()
{
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(QList<double>, values);
    QFETCH(double, size);

    auto cell = fixture->cell();
    Axis axis(QPointF(0, 0), 0, 0, QStringLiteral("size"), SIZE, min, max, false);
    cell->sizeAxis = &axis;
    cell->sizeAttribute = SIZE;
    cell->resizeWidget(200, 200);
    cell->buildData(true);
    auto* item = new BinItem(nullptr, cell.get());
    for (double v : values)
        item->packets.append(makeEvent(1, QStringLiteral("a"), 100, v));
    cell->rows.append(TList<BinItem*>{item});
    cell->updateVisibleRows();
    cell->layoutItems(false, false);

    QCOMPARE(item->width(), size);
    QCOMPARE(item->height(), size);
    QCOMPARE(item->x, 10 + (40 - size) / 2);
    QCOMPARE(item->y, 52 + (40 - size) / 2);
    QVERIFY(cell->render(false, false, nullptr));

    // A size attribute the events lack draws full size too.
    cell->sizeAttribute = 9;
    cell->layoutItems(false, false);
    QCOMPARE(item->width(), 40.0);
}

void BinCellLayoutTest::stackLabels_data()
{
    QTest::addColumn<int>("glyph");
    QTest::addColumn<int>("traces");
    QTest::addColumn<double>("minWidth");
    QTest::addColumn<double>("maxWidth");

    QTest::newRow("glyph 10: 5 px whatever the text") << 10 << 12345 << 5.0 << 5.0;
    QTest::newRow("glyph 40, short text: half a glyph") << 40 << 2 << 20.0 << 20.0;
    QTest::newRow("glyph 40, long text: the text") << 40 << 12345 << 21.0 << 200.0;
}

void BinCellLayoutTest::stackLabels()
{
    QFETCH(int, glyph);
    QFETCH(int, traces);
    QFETCH(double, minWidth);
    QFETCH(double, maxWidth);

    auto cell = fixture->cell();
    cell->glyphSize = glyph;
    cell->stacked = true;
    cell->addPackets(trace(1, QStringLiteral("ab")));
    cell->resizeWidget(400, 300);
    cell->buildData(true);
    // More merged rows than it is worth building.
    cell->stackCounts[cell->rowKey(cell->rows.first())] = traces;
    cell->layoutItems(false, false);

    QCOMPARE(cell->extraItems.size(), 1);
    const TextItem& label = cell->extraItems.first();
    QCOMPARE(label.label, QStringLiteral(" ") + QString::number(traces));
    QVERIFY2(label.storedWidth >= minWidth && label.storedWidth <= maxWidth,
             qPrintable(QString::number(label.storedWidth)));
    QCOMPARE(label.x, 10.0 + 2 * (glyph + 2));
    QCOMPARE(label.storedHeight, double(glyph));
    QCOMPARE(cell->labelPixelSize, 0.5 * glyph);
    QVERIFY(cell->render(false, false, nullptr));

    // The overview's layout holds the lock itself and still gets labels.
    cell->rowsMutex->lock();
    cell->layoutItems(true, true);
    cell->rowsMutex->unlock();
    QCOMPARE(cell->extraItems.size(), 1);
}

void BinCellLayoutTest::renderProbes()
{
    auto cell = fixture->cell();
    cell->addPackets(trace(1, QStringLiteral("ab")));
    cell->resizeWidget(200, 200);
    cell->buildData(true);
    cell->layoutItems(false, false);
    QVERIFY(cell->render(false, false, nullptr));

    // The default fill at an item's centre; the gap stays transparent.
    QCOMPARE(pixel(cell->image, 30, 72), filled(DEFAULT_FILL_COLOR));
    QCOMPARE(cell->image.pixelColor(51, 100).alpha(), 0);

    // A selected item lies over its neighbour, a marked one over both.
    BinItem* a = cell->rows.first().at(0);
    BinItem* b = cell->rows.first().at(1);
    a->fillColor = Qt::red;
    b->fillColor = Qt::blue;
    b->setPos(a->pos());
    a->selected = true;
    a->selectedCount = a->totalCount;
    QVERIFY(cell->render(false, false, nullptr));
    QCOMPARE(pixel(cell->image, 30, 72), filled(QColor(Qt::red)));
    b->highlighted = true;
    QVERIFY(cell->render(false, false, nullptr));
    QCOMPARE(pixel(cell->image, 30, 72), filled(QColor(Qt::blue)));

    // With a size axis a small item shows the outline of its slot.
    Axis axis(QPointF(0, 0), 0, 0, QStringLiteral("size"), SIZE, 0, 10, false);
    cell->sizeAxis = &axis;
    cell->sizeAttribute = SIZE;
    cell->buildData(true);
    cell->layoutItems(false, false);
    QVERIFY(cell->render(true, false, nullptr));
    const BinItem* small = cell->rows.first().first();
    QCOMPARE(small->width(), 5.0);
    bool outline = false;
    for (int x = 10; x <= 12; ++x)
        outline = outline || cell->image.pixelColor(x, 72) == QColor(177, 189, 197);
    QVERIFY(outline);

    // Hidden items are not drawn.
    cell->sizeAxis = nullptr;
    cell->timeFrom = 1000;
    cell->layoutItems(false, false);
    QVERIFY(cell->render(false, false, nullptr));
    QCOMPARE(cell->image.pixelColor(30, 72).alpha(), 0);
}

void BinCellLayoutTest::renderSkipsWhileTheImageIsBusy()
{
    auto cell = fixture->cell();
    cell->addPackets(trace(1, QStringLiteral("ab")));
    cell->resizeWidget(200, 200);
    cell->buildData(true);
    cell->layoutItems(false, false);
    cell->image.fill(Qt::green);

    Holder holder(cell->imageMutex);
    QVERIFY(!cell->render(false, false, nullptr));
    QVERIFY(!cell->renderOverlay());
    QCOMPARE(cell->image.pixelColor(30, 72), QColor(Qt::green));
    // A render into a target of its own draws all the same.
    QImage target(200, 200, QImage::Format_ARGB32);
    target.fill(Qt::green);
    QVERIFY(cell->render(false, false, &target));
    QCOMPARE(pixel(target, 30, 72), filled(DEFAULT_FILL_COLOR));
    holder.release();
    QVERIFY(cell->renderOverlay());
}

void BinCellLayoutTest::renderSkipsAndRetriesWhileRowsAreBusy()
{
    auto cell = fixture->cell();
    cell->addPackets(trace(1, QStringLiteral("ab")));
    cell->resizeWidget(200, 200);
    cell->buildData(true);
    cell->layoutItems(false, false);
    cell->image.fill(Qt::green);
    {
        Holder holder(cell->rowsMutex);
        QVERIFY(!cell->render(false, false, nullptr));
        QCOMPARE(cell->image.pixelColor(30, 72), QColor(Qt::green));
        // The image lock was given back.
        QVERIFY(cell->imageMutex->tryLock());
        cell->imageMutex->unlock();
    }
    // The skipped frame is drawn shortly after.
    QTRY_COMPARE_WITH_TIMEOUT(pixel(cell->image, 30, 72), filled(DEFAULT_FILL_COLOR), 2000);
}

void BinCellLayoutTest::overviewImage()
{
    auto cell = fixture->cell();
    const TList<PacketPtr> one = trace(1, QStringLiteral("ab"));
    const TList<PacketPtr> two = trace(2, QStringLiteral("abc"));
    cell->addPackets(one);
    cell->addPackets(two);
    cell->resizeWidget(200, 60);
    cell->buildData(true);
    cell->layoutItems(true, false);
    QCOMPARE(cell->rowsHeight(cell->rows), 232);

    const QImage plain = cell->overviewImage(300, 10);
    QCOMPARE(plain.width(), 300);
    QCOMPARE(plain.height(), 58);   // floor(232 * 10 / 40)
    // The second row's first item, at a quarter of its size.
    QCOMPARE(pixel(plain, 7, 30), filled(DEFAULT_FILL_COLOR));

    PacketSet all;
    for (const auto& p : one)
        all.insert(p);
    cell->setSelectedPackets(all);
    cell->setMarkedPackets({two.at(0)});
    const QImage marked = cell->overviewImage(300, 10);
    QCOMPARE(marked, plain);
    // The flags are as the selection left them.
    QVERIFY(cell->rows.at(0).at(0)->selected);
    QCOMPARE(cell->rows.at(0).at(0)->selectedCount, 1);
    QVERIFY(cell->rows.at(1).at(0)->highlighted);
    QCOMPARE(cell->rows.at(1).at(0)->auxValue, 1);
    QVERIFY(cell->rows.at(0).at(0)->showLabel);

    QVERIFY(cell->overviewImage(0, 10).isNull());
    cell->header.toggled = true;
    QCOMPARE(cell->overviewImage(300, 10).height(), 13);
}

void BinCellLayoutTest::headerPress()
{
    Receiver receiver;
    BinCell cell(fixture->control.get(), &receiver, QStringLiteral("All"), nullptr);
    cell.addPackets(trace(1, QStringLiteral("ab")));
    cell.resizeWidget(200, 200);
    cell.buildData(true);
    cell.move(100, 50);

    auto press = [&cell](int x, int y) {
        QMouseEvent e(QEvent::MouseButtonPress, QPointF(x, y), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        cell.mousePressEvent(&e);
    };
    // The toggle button, in the matrix's coordinates.
    press(100 + 180, 50 + 20);
    QVERIFY(cell.header.toggled);
    QCOMPARE(receiver.resizes, 1);
    QCOMPARE(cell.pressX, 280.0);
    // The title is not the button.
    press(100 + 50, 50 + 20);
    QVERIFY(cell.header.toggled);
    // Below the header.
    press(100 + 180, 50 + 60);
    QCOMPARE(receiver.resizes, 1);
    // A scrolled cell shows no header to press.
    cell.firstLine = 2;
    press(100 + 180, 50 + 20);
    QCOMPARE(receiver.resizes, 1);
    cell.firstLine = 0;
    press(100 + 180, 50 + 20);
    QVERIFY(!cell.header.toggled);
    QCOMPARE(receiver.resizes, 2);
}

void BinCellLayoutTest::badInput_data()
{
    QTest::addColumn<int>("glyph");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("firstLine");
    QTest::addColumn<bool>("stacked");

    QTest::newRow("glyph 1") << 1 << 300 << 0 << true;
    QTest::newRow("glyph 200") << 200 << 300 << 0 << true;
    QTest::newRow("zero width") << 40 << 0 << 0 << false;
    QTest::newRow("past the content") << 40 << 300 << 1000 << true;
    QTest::newRow("hidden") << 40 << 300 << -1 << false;
}

void BinCellLayoutTest::badInput()
{
    QFETCH(int, glyph);
    QFETCH(int, width);
    QFETCH(int, firstLine);
    QFETCH(bool, stacked);

    fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(QStringLiteral("a"))}), deletion());
    auto cell = fixture->cell();
    cell->glyphSize = glyph;
    cell->stacked = stacked;
    cell->firstLine = firstLine;
    for (int t = 0; t < 20; ++t)
        cell->addPackets(trace(t, QStringLiteral("abcab")));
    cell->resizeWidget(width, 300);
    cell->buildData(true);
    cell->layoutItems(false, false);
    QVERIFY(cell->itemsPerLine() >= 1);
    QVERIFY(cell->lineCount() >= 0);
    QVERIFY(cell->contentHeight() >= 0);
    QVERIFY(cell->render(true, false, nullptr));
    cell->layoutItems(true, false);
    const QImage overview = cell->overviewImage(300, 10);
    QVERIFY(width == 0 || !overview.isNull());
    QCOMPARE(cell->itemCount(), stacked ? 3 : 60);
}

LUMIVANE_TEST(BinCellLayoutTest)
#include "BinCellLayoutTest.moc"
