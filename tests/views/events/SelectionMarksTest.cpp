#include "MatrixFixture.h"
#include "Restore.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"

#include <QtTest>

// How the matrix marks a selection of chosen glyphs when some other glyph
// holds an event of a chosen one too: the chosen glyphs are wholly
// selected, the other one partly, and its row joins the selected
// sequences, in the one-thread way and with helper threads alike.

using namespace matrixfixture;

namespace {

TList<BinItem*> rowOf(const Matrix& m, int trace)
{
    for (const BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            if (!row.isEmpty() && row.first()->packets.first()->conversationId == trace)
                return row;
    return {};
}

} // namespace

class SelectionMarksTest : public QObject
{
    Q_OBJECT

private slots:
    void sharedEvent_data();
    void sharedEvent();
};

void SelectionMarksTest::sharedEvent_data()
{
    QTest::addColumn<bool>("helpers");
    QTest::newRow("one thread") << false;
    QTest::newRow("helper threads") << true;
}

void SelectionMarksTest::sharedEvent()
{
    QFETCH(bool, helpers);
    Restore<bool> loaded(NO_DATA, false);
    Restore<int> chosenOn(EventWidget::parallelSelection, helpers ? 1 : EventWidget::parallelSelection);
    Restore<int> marksOn(BinCell::parallelMarks, helpers ? 1 : BinCell::parallelMarks);
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("xyz"), QString()},
              {3, QStringLiteral("c"), QString()}});
    const TList<BinItem*> chosen = rowOf(m, 1);
    const TList<BinItem*> second = rowOf(m, 2);
    QCOMPARE(chosen.size(), 2);
    QCOMPARE(second.size(), 3);
    // The second row's middle glyph also holds the first event of trace 1.
    BinItem* sharing = second.at(1);
    sharing->packets.append(chosen.first()->packets.first());
    ++sharing->totalCount;

    m.view->applySelection(chosen, true, false);
    QSet<PacketPtr> events;
    for (const BinItem* item : chosen)
        for (const PacketPtr& p : item->packets)
            events.insert(p);
    QCOMPARE(m.view->selectedPacketSet.size(), events.size());
    for (const PacketPtr& p : events)
        QVERIFY(m.view->selectedPacketSet.contains(p));
    for (const BinCell* cell : m.view->cells) {
        for (const TList<BinItem*>& row : cell->rows) {
            for (const BinItem* item : row) {
                int count = 0;
                for (const PacketPtr& p : item->packets)
                    count += events.contains(p) ? 1 : 0;
                QCOMPARE(item->selectedCount, count);
                QCOMPARE(item->selected, count > 0);
            }
        }
    }
    QCOMPARE(sharing->selectedCount, 1);
    QCOMPARE(m.view->selectedItemSet.size(), 2);
    QVERIFY(!m.view->selectedItemSet.contains(sharing));
    QCOMPARE(m.view->selectedSequences.size(), 2);
    QCOMPARE(m.view->selectedSequences.at(0).items, chosen.items);
    QCOMPARE(m.view->selectedSequences.at(1).items, (std::vector<BinItem*>{sharing}));

    // Choosing nothing unmarks every glyph again.
    m.view->applySelection({}, true, false);
    QVERIFY(m.view->selectedPacketSet.isEmpty());
    QVERIFY(m.view->selectedSequences.isEmpty());
    for (const BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                QVERIFY(!item->selected && item->selectedCount == 0);
}

LUMIVANE_TEST(SelectionMarksTest)
#include "SelectionMarksTest.moc"
