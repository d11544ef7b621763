#include "FileAnswers.h"
#include "MessageRecorder.h"
#include "Restore.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "import/OpenWidget.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/ScentedWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

#include <functional>
#include <memory>

// Selecting every event of a tile by a double click, clearing it with a
// click on empty space and deleting it, in the whole window over a small
// log: the selected events, the glyphs' marks, the status line and every
// histogram's marks are checked against what they must be, worked out
// directly from the tile's events.

namespace {

using PacketPtr = QSharedPointer<Packet>;

QString share(qint64 part, qint64 whole)
{
    if (part == 0)
        return QStringLiteral("0");
    return QString::number(roundTo(double(part) / double(whole), 3) * 100.0, 'g', 6);
}

struct Window
{
    Window()
    {
        FileAnswers files({QStringLiteral(LUMIVANE_TEST_DATA_DIR "/app/select/streams.csv")});
        OpenWidget dialog(window.controlWidget);
        dialog.openFile();
        dialog.groupingCombo->setCurrentIndex(dialog.groupingCombo->findText(QStringLiteral("tcp.stream")));
        dialog.import();
        view = window.leftEventRibbon->view;
        view->resizeWidget(900, 600);
        // One tile per protocol: the first tile holds only some events.
        view->changeYAxis2(QStringLiteral("proto"));
        panels = {window.settingsWidget->attributeWidget, window.settingsWidget->conversationWidget};
    }

    void waitForPanels()
    {
        for (AttributeWidget* panel : panels)
            panel->waitForJobs();
        QCoreApplication::processEvents();
    }

    BinCell* firstTile() const
    {
        for (BinCell* cell : view->cells)
            if (cell->firstLine >= 0 && !cell->visibleRows.isEmpty() && !cell->visibleRows.first().isEmpty())
                return cell;
        return nullptr;
    }

    QPoint centreOf(const BinItem* item) const
    {
        return QPoint(int((item->parentLeft() + item->parentRight()) / 2),
                      int((item->parentTop() + item->parentBottom()) / 2));
    }

    // A point of the matrix no tile covers.
    QPoint emptySpace() const
    {
        for (int y = view->height() - 2; y > 0; y -= 5)
            for (int x = view->width() - 2; x > 0; x -= 5) {
                bool covered = false;
                for (const BinCell* cell : view->cells)
                    covered = covered
                              || (cell->firstLine >= 0 && QRectF(cell->x(), cell->y(), cell->width(),
                                                                 cell->height()).contains(QPointF(x, y)));
                if (!covered)
                    return QPoint(x, y);
            }
        return QPoint(-1, -1);
    }

    MainWindow window;
    EventWidget* view = nullptr;
    QList<AttributeWidget*> panels;
};

// The marks a selection of `events` must leave, worked out directly.
void checkMarks(Window& w, const QSet<PacketPtr>& events)
{
    EventWidget* view = w.view;
    Context* context = view->context;

    // The view's sets.
    QCOMPARE(view->selectedPacketSet.size(), events.size());
    for (const PacketPtr& p : events)
        QVERIFY(view->selectedPacketSet.contains(p));
    TList<PacketPtr> inOrder;
    for (const PacketPtr& p : context->packets)
        if (events.contains(p))
            inOrder.append(p);
    QCOMPARE(view->selectedPackets().items, inOrder.items);

    // Every glyph: how many of its events are selected; the selected glyphs
    // of every row in row order.
    TList<TList<BinItem*>> sequences;
    for (const BinCell* cell : view->cells) {
        for (const TList<BinItem*>& row : cell->rows) {
            TList<BinItem*> chosen;
            for (BinItem* item : row) {
                int count = 0;
                for (const PacketPtr& p : item->packets)
                    count += events.contains(p) ? 1 : 0;
                QCOMPARE(item->selectedCount, count);
                QCOMPARE(item->selected, count > 0);
                if (count > 0)
                    chosen.append(item);
            }
            if (!chosen.isEmpty())
                sequences.append(chosen);
        }
    }
    QCOMPARE(view->selectedSequences.size(), sequences.size());
    for (int i = 0; i < sequences.size(); ++i)
        QCOMPARE(view->selectedSequences.at(i).items, sequences.at(i).items);

    // The status line.
    QSet<int> traces;
    for (const PacketPtr& p : events)
        traces.insert(p->conversationId);
    qint64 glyphs = 0;
    qint64 unique = 0;
    for (const BinCell* cell : view->cells) {
        glyphs += cell->itemCount();
        unique += cell->stackCounts.size();
    }
    const QString part1 = QStringLiteral("Selected traces: %1(%2%) Total: %3")
                              .arg(traces.size()).arg(share(traces.size(), context->conversations.size()))
                              .arg(context->conversations.size());
    const QString part2 = QStringLiteral("Selected messages: %1(%2%) Total: %3")
                              .arg(events.size()).arg(share(events.size(), context->packets.size())).arg(glyphs);
    const QString status = view->stack ? part1 + "|" + part2 + "|Unique patterns: " + QString::number(unique)
                                       : part1 + " | " + part2;
    QCOMPARE(w.window.controlWidget->statusLabel->text(), status);

    // The histograms: the event side picks the events, the trace side the
    // records of their traces; each bar counts its picked records.
    w.waitForPanels();
    GlyphStore* store = w.window.controlWidget->glyphStore;
    const int idColumn = store->conversationAttributeColumns.value(CONV_CONVID);
    QSet<PacketPtr> records;
    for (const PacketPtr& r : context->conversationPackets)
        if (traces.contains(r->get(idColumn).toInt()))
            records.insert(r);
    for (AttributeWidget* panel : w.panels) {
        QCOMPARE(panel->selected, events);
        const QSet<PacketPtr>& picked = panel->kind ? records : events;
        const TList<ScentedWidget*> histograms = panel->histograms();
        QVERIFY(!histograms.isEmpty());
        for (ScentedWidget* h : histograms) {
            QCOMPARE(h->pickedPackets, picked);
            QVERIFY(h->highlightedPackets.isEmpty());
            QVERIFY(h->serie);
            for (BinItem* bin : h->serie->items) {
                int count = 0;
                for (const PacketPtr& p : bin->packets)
                    count += picked.contains(p) ? 1 : 0;
                QCOMPARE(bin->selectedCount, count);
                QCOMPARE(bin->selected, count > 0);
                QCOMPARE(h->pickedBins.contains(bin), count > 0);
                QVERIFY(!bin->highlighted);
            }
        }
    }
}

} // namespace

class SelectAllTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void selectAndClear_data();
    void selectAndClear();
    void deleteDropsTheHistogramMarks();

private:
    std::unique_ptr<SettingsGuard> settings;
};

void SelectAllTest::initTestCase()
{
    settings = std::make_unique<SettingsGuard>();
}

void SelectAllTest::cleanupTestCase()
{
    settings.reset();
}

void SelectAllTest::selectAndClear_data()
{
    QTest::addColumn<bool>("helpers");   // the sets and marks made on helper threads
    QTest::addColumn<bool>("stacked");   // glyphs that hold the events of several traces
    QTest::newRow("one thread") << false << false;
    QTest::newRow("helper threads") << true << false;
    QTest::newRow("stacked, one thread") << false << true;
    QTest::newRow("stacked, helper threads") << true << true;
}

void SelectAllTest::selectAndClear()
{
    QFETCH(bool, helpers);
    QFETCH(bool, stacked);
    Restore<int> chosen(EventWidget::parallelSelection, helpers ? 1 : EventWidget::parallelSelection);
    Restore<int> marks(BinCell::parallelMarks, helpers ? 1 : BinCell::parallelMarks);
    MessageRecorder boxes;
    Window w;
    if (stacked)
        w.view->setStack(true);
    BinCell* tile = w.firstTile();
    QVERIFY(tile);
    // The tile's events, straight from the events spread over it.
    QSet<PacketPtr> events;
    for (const TList<PacketPtr>& trace : tile->conversations)
        for (const PacketPtr& p : trace)
            events.insert(p);
    QVERIFY(!events.isEmpty());
    QVERIFY(events.size() < w.view->context->packets.size());

    const QPoint glyph = w.centreOf(tile->visibleRows.first().first());
    QTest::mouseClick(w.view, Qt::LeftButton, Qt::NoModifier, glyph);
    QTest::mouseClick(w.view, Qt::LeftButton, Qt::NoModifier, glyph);
    checkMarks(w, events);
    QVERIFY(boxes.requests.isEmpty());

    // A click on empty space, once its timer has run out, clears it all.
    const QPoint empty = w.emptySpace();
    QVERIFY(empty.x() >= 0);
    QTest::mouseClick(w.view, Qt::LeftButton, Qt::NoModifier, empty);
    w.view->doubleClickTimeOut();
    checkMarks(w, {});
}

void SelectAllTest::deleteDropsTheHistogramMarks()
{
    MessageRecorder boxes;
    Window w;
    BinCell* tile = w.firstTile();
    QVERIFY(tile);
    Context* context = w.view->context;
    const int before = context->packets.size();
    const QPoint glyph = w.centreOf(tile->visibleRows.first().first());
    QTest::mouseClick(w.view, Qt::LeftButton, Qt::NoModifier, glyph);
    QTest::mouseClick(w.view, Qt::LeftButton, Qt::NoModifier, glyph);
    const int deleted = w.view->selectedPacketSet.size();
    QVERIFY(deleted > 0);
    w.waitForPanels();
    QVERIFY(!w.panels.first()->histograms().first()->pickedPackets.isEmpty());
    // A range set on a histogram's slider since stays through the deletion.
    const int column = w.window.controlWidget->glyphStore->attributeColumns.value(QStringLiteral("ip.src"));
    context->valueSets[column] = {TVariant(QStringLiteral("10.0.0.3"), false)};

    QTest::keyClick(w.view, Qt::Key_Delete);
    QVERIFY(boxes.requests.isEmpty());
    QCOMPARE(context->packets.size(), before - deleted);
    checkMarks(w, {});
    QCOMPARE(context->valueSets.value(column).size(), 1);
}

LUMIVANE_TEST(SelectAllTest)
#include "SelectAllTest.moc"
