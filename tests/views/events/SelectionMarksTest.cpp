#include "MatrixFixture.h"
#include "Restore.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "patterns/ParseNode.h"

#include <QtTest>

#include <functional>
#include <memory>

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

// The glyphs with a mark (selected or counted), as "trace:position".
QStringList markedGlyphs(const Matrix& m)
{
    QStringList out;
    for (const BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (int i = 0; i < row.size(); ++i)
                if (row[i]->selected || row[i]->selectedCount != 0)
                    out.append(QStringLiteral("%1:%2").arg(row[i]->packets.first()->conversationId).arg(i));
    return out;
}

TList<PacketPtr> eventsOf(const Matrix& m, int trace)
{
    TList<PacketPtr> out;
    for (const PacketPtr& p : m.context->packets)
        if (p->conversationId == trace)
            out.append(p);
    return out;
}

} // namespace

class SelectionMarksTest : public QObject
{
    Q_OBJECT

private slots:
    void sharedEvent_data();
    void sharedEvent();
    void clearedWhateverMarkedThem_data();
    void clearedWhateverMarkedThem();
    void rebuildGathersAsOneThread_data();
    void rebuildGathersAsOneThread();
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

using Marking = std::function<void(Matrix&)>;
Q_DECLARE_METATYPE(Marking)

void SelectionMarksTest::clearedWhateverMarkedThem_data()
{
    QTest::addColumn<Marking>("mark");
    QTest::addColumn<QStringList>("marked");   // the glyphs marked before the clearing

    const auto find = [](const QString& kind) {
        return [kind](Matrix& m) {
            std::unique_ptr<ParseNode> tree(cellfixture::sequence({cellfixture::kindLeaf(kind)}));
            m.view->find(tree.get(), false, false, false);
        };
    };
    QTest::newRow("a find") << Marking(find(QStringLiteral("x"))) << QStringList({"2:0", "2:2"});
    QTest::newRow("a find of nothing") << Marking(find(QStringLiteral("q"))) << QStringList();
    QTest::newRow("a rubber band at rest") << Marking([](Matrix& m) {
        m.view->applySelection(rowOf(m, 1), false, false);
    }) << QStringList({"1:0", "1:1"});
    QTest::newRow("a selection from another view") << Marking([](Matrix& m) {
        m.view->selectPackets(eventsOf(m, 3));
    }) << QStringList({"3:0"});
    QTest::newRow("a selection kept through stacking") << Marking([](Matrix& m) {
        m.view->selectPackets(eventsOf(m, 1));
        m.view->setStack(true);
        QCOMPARE(m.view->selectedItemSet.size(), 2);
        QCOMPARE(m.view->selectedSequences.size(), 1);
    }) << QStringList({"1:0", "1:1"});
    QTest::newRow("stacking with nothing selected") << Marking([](Matrix& m) {
        m.view->selectPackets(eventsOf(m, 1));
        m.view->selectPackets({});
        m.view->setStack(true);
        m.view->setStack(false);
    }) << QStringList();
    QTest::newRow("a rubber band at rest after a clearing") << Marking([](Matrix& m) {
        m.view->clearSelection();
        m.view->applySelection(rowOf(m, 3), false, false);
    }) << QStringList({"3:0"});
}

// Clearing the selection unmarks every glyph, however they were marked,
// and tells whether any was; a second clearing finds none. The passes that
// clearing, stacking and showing a selection skip when nothing can be
// marked must not leave marks behind.
void SelectionMarksTest::clearedWhateverMarkedThem()
{
    QFETCH(Marking, mark);
    QFETCH(QStringList, marked);
    Restore<bool> loaded(NO_DATA, false);
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("xyx"), QString()},
              {3, QStringLiteral("c"), QString()}});
    m.view->clearSelection();
    QVERIFY(markedGlyphs(m).isEmpty());

    mark(m);
    QCOMPARE(markedGlyphs(m), marked);
    QCOMPARE(m.view->clearSelection(), !marked.isEmpty());
    QVERIFY(markedGlyphs(m).isEmpty());
    QVERIFY(m.view->selectedPacketSet.isEmpty());
    QVERIFY(m.view->selectedItemSet.isEmpty());
    QVERIFY(m.view->selectedSequences.isEmpty());
    QVERIFY(!m.view->clearSelection());

    // What is selected next is marked as ever.
    m.view->selectPackets(eventsOf(m, 2));
    QCOMPARE(markedGlyphs(m), QStringList({"2:0", "2:1", "2:2"}));
    QCOMPARE(m.view->selectedSequences.size(), 1);
}

LUMIVANE_TEST(SelectionMarksTest)
void SelectionMarksTest::rebuildGathersAsOneThread_data()
{
    QTest::addColumn<QString>("rebuild");
    QTest::newRow("stack") << "stack";
    QTest::newRow("glyph size") << "size";
}

// A rebuild that keeps the selection gathers its glyphs and sequences in
// parts of the rows with helper threads as one thread does: the same
// glyphs, in the same order.
void SelectionMarksTest::rebuildGathersAsOneThread()
{
    QFETCH(QString, rebuild);
    Restore<bool> loaded(NO_DATA, false);
    QStringList gathered[2];
    for (int helpers = 0; helpers < 2; ++helpers) {
        Restore<int> marksOn(BinCell::parallelMarks, helpers ? 1 : BinCell::parallelMarks);
        Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("xyz"), QString()},
                  {3, QStringLiteral("ab"), QString()}, {4, QStringLiteral("cab"), QString()}});
        TList<BinItem*> chosen = rowOf(m, 1);
        for (int trace : {3, 4})
            for (BinItem* item : rowOf(m, trace))
                chosen.append(item);
        m.view->applySelection(std::move(chosen), true, false);
        if (rebuild == QLatin1String("stack"))
            m.view->setStack(true);
        else
            m.view->setItemSize(24);
        QStringList& out = gathered[helpers];
        for (const TList<BinItem*>& sequence : m.view->selectedSequences) {
            QStringList glyphs;
            for (const BinItem* item : sequence)
                glyphs << QStringLiteral("%1/%2").arg(item->name).arg(item->packets.size());
            out << glyphs.join(QLatin1Char(' '));
        }
        for (BinItem* item : m.view->selectedItemSet)
            out << QStringLiteral("%1:%2").arg(item->packets.first()->conversationId).arg(item->selectedCount);
    }
    QVERIFY(!gathered[0].isEmpty());
    QCOMPARE(gathered[1], gathered[0]);
}

#include "SelectionMarksTest.moc"
