#include "TestRegistry.h"
#include "DebugCapture.h"
#include "CellFixture.h"

#include "Restore.h"
#include "core/DeferredRelease.h"

#include <QScopedPointer>
#include <QWeakPointer>
#include <QtTest>

using namespace cellfixture;

namespace {

// The traces as rows of one letter per event: "ab|a" is trace 0 "ab" and
// trace 1 "a".
void addTraces(BinCell* cell, const QString& traces)
{
    const QStringList parts = traces.split(QLatin1Char('|'));
    for (int t = 0; t < parts.size(); ++t)
        cell->addPackets(trace(t, parts.at(t)));
}

} // namespace

class BinCellRowsTest : public QObject
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
        showMulti = true;
    }

    void addPacketFilesByTrace_data();
    void addPacketFilesByTrace();
    void buildWithoutRules();
    void rules_data();
    void rules();
    void mergedItemNestsTheGrayHead();
    void chainedRulesNestTheEarlierGlyph();
    void rulesThatCannotApply();
    void emptyCellWithARule();
    void stacking_data();
    void stacking();
    void rowKey_data();
    void rowKey();
    void stackCountsFollowTheFlagOfTheirBuild();
    void countAndGroupRowKeys();
    void reorderRows_data();
    void reorderRows();
    void reorderRowsDropsEmptyRows();
    void selectedAndMarkedCounts();
    void helpersBuildTheSameRows();
    void deletedCellLetsItsEventsGo_data();
    void deletedCellLetsItsEventsGo();
    void timeWindow_data();
    void timeWindow();

private:
    QScopedPointer<DebugCapture> capture;
    QScopedPointer<Fixture> fixture;
};

void BinCellRowsTest::addPacketFilesByTrace_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<int>>("traces");
    QTest::addColumn<QString>("sizes");

    const QList<int> ids{5, 3, 5, 7, 3, 5};
    QTest::newRow("mode 0: by first appearance") << 0 << ids << "3,2,1";
    QTest::newRow("mode 1: as mode 0") << 1 << ids << "3,2,1";
    QTest::newRow("mode 2: one trace") << 2 << ids << "6";
    QTest::newRow("no grouping: trace 0") << 0 << QList<int>{0, 0, 0} << "3";
    QTest::newRow("runs of a trace") << 0 << QList<int>{5, 5, 3, 3, 5, 7, 7} << "3,2,2";
    QTest::newRow("mode 2: runs") << 2 << QList<int>{5, 5, 3} << "3";
}

void BinCellRowsTest::addPacketFilesByTrace()
{
    QFETCH(int, mode);
    QFETCH(QList<int>, traces);
    QFETCH(QString, sizes);

    auto cell = fixture->cell();
    cell->conversationMode = mode;
    TList<PacketPtr> events;
    for (int id : traces)
        events.append(makeEvent(id, QStringLiteral("a")));
    for (const PacketPtr& event : events)
        cell->addPacket(event);
    QStringList got;
    for (const auto& c : cell->conversations)
        got.append(QString::number(c.size()));
    QCOMPARE(got.join(QLatin1Char(',')), sizes);

    // Handed over as one list, the events land in the same traces in the
    // same order.
    auto bulk = fixture->cell();
    bulk->conversationMode = mode;
    bulk->addPackets(events);
    QCOMPARE(bulk->conversations.size(), cell->conversations.size());
    for (int c = 0; c < cell->conversations.size(); ++c)
        QVERIFY(bulk->conversations[c].items == cell->conversations[c].items);

    cell->buildData(false);
    QCOMPARE(cell->rows.size(), sizes.split(QLatin1Char(',')).size());
    // Events keep their order inside a trace.
    if (mode != 2) {
        QCOMPARE(cell->rows.first().at(0)->packets.first()->conversationId, traces.first());
        QVERIFY(cell->rows.first().at(0)->packets.first() == cell->conversations.first().first());
    }
}

void BinCellRowsTest::buildWithoutRules()
{
    auto cell = fixture->cell();
    addTraces(cell.get(), QStringLiteral("ab|c"));
    cell->buildData(false);

    QCOMPARE(rowsText(cell->rows), QStringLiteral("Gray//1,Gray//1 | Gray//1"));
    QCOMPARE(cell->itemCount(), 3);
    QCOMPARE(cell->items().size(), 3);
    for (BinItem* item : cell->items()) {
        QCOMPARE(item->id, 2);
        QCOMPARE(item->width(), 40.0);
        QCOMPARE(item->height(), 40.0);
        QCOMPARE(item->packets.size(), 1);
    }
    QVERIFY(capture->contains(QStringLiteral("clearing data")));
    QVERIFY(capture->contains(QStringLiteral("0 % loaded in cache")));
    QVERIFY(capture->contains(QStringLiteral("done")));

    // A rebuild starts from the traces again.
    cell->buildData(false);
    QCOMPARE(cell->itemCount(), 3);
}

void BinCellRowsTest::rules_data()
{
    QTest::addColumn<int>("ruleSet");
    QTest::addColumn<QString>("traces");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<int>("count");

    QTest::newRow("delete: the row vanishes") << 0 << "ab|a" << "Gray//1" << 2;
    QTest::newRow("delete everything: one empty row") << 0 << "a|aa" << "" << 3;
    QTest::newRow("two matches, the gap copied") << 1 << "abcab" << "X/2/2,Gray//1,X/2/2" << 2;
    QTest::newRow("no match: unchanged") << 1 << "ba" << "Gray//1,Gray//1" << -1;
    QTest::newRow("longest run of three: label 3") << 2 << "baaab" << "Gray//1,X/3/3,Gray//1" << 1;
    QTest::newRow("first accepting state: runs of one") << 3 << "aa" << "X//1,X//1" << 2;
    QTest::newRow("invisible rule: nothing") << 4 << "ab" << "Gray//1,Gray//1" << -1;
    QTest::newRow("wildcard in a sequence") << 5 << "acbab" << "X/3/3,Gray//1,Gray//1" << 1;
}

void BinCellRowsTest::rules()
{
    QFETCH(int, ruleSet);
    QFETCH(QString, traces);
    QFETCH(QString, rows);
    QFETCH(int, count);

    const QString a = QStringLiteral("a");
    switch (ruleSet) {
    case 0:
        fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(a)}), deletion());
        break;
    case 1:
        fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(a), kindLeaf(QStringLiteral("b"))}),
                         rewrite(QStringLiteral("X"), 20));
        break;
    case 2: {
        auto* plus = new ParseNode(ParseNode::Plus);
        plus->addChild(kindLeaf(a));
        fixture->addRule(QStringLiteral("r"), sequence({plus}), rewrite(QStringLiteral("X"), 20), false);
        break;
    }
    case 3: {
        auto* plus = new ParseNode(ParseNode::Plus);
        plus->addChild(kindLeaf(a));
        fixture->addRule(QStringLiteral("r"), sequence({plus}), rewrite(QStringLiteral("X"), 20), true);
        break;
    }
    case 4:
        fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(a)}), deletion(), true, false);
        break;
    case 5:
        fixture->addRule(QStringLiteral("r"),
                         sequence({kindLeaf(a), kindLeaf(QString()), kindLeaf(QStringLiteral("b"))}),
                         rewrite(QStringLiteral("X"), 20));
        break;
    }

    auto cell = fixture->cell();
    addTraces(cell.get(), traces);
    cell->buildData(false);
    QCOMPARE(rowsText(cell->rows), rows);
    QVERIFY(!cell->rows.isEmpty());
    QCOMPARE(fixture->store()->ruleCounts.value(QStringLiteral("r"), -1), count);
    // Every event is still in exactly one item unless a rule deleted it.
    if (ruleSet != 0) {
        int events = 0;
        for (BinItem* item : cell->items())
            events += item->packets.size();
        QCOMPARE(events, QString(traces).remove(QLatin1Char('|')).size());
    }
}

void BinCellRowsTest::mergedItemNestsTheGrayHead()
{
    fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(QStringLiteral("a"))}),
                     rewrite(QStringLiteral("X"), 20));
    auto cell = fixture->cell();
    addTraces(cell.get(), QStringLiteral("ab"));
    cell->buildData(false);

    const BinItem* x = cell->rows.first().first();
    QCOMPARE(x->name, QStringLiteral("X"));
    QCOMPARE(childNames(x), QStringLiteral("Gray"));
    QCOMPARE(x->children.first().id, 2);
    // The nested copy carries no events.
    QVERIFY(x->children.first().packets.isEmpty());
    QCOMPARE(x->width(), 40.0);
    QCOMPARE(cell->rowKey(cell->rows.first()), QStringLiteral("20;[2,]2;[]"));
}

void BinCellRowsTest::chainedRulesNestTheEarlierGlyph()
{
    // a -> X, then "X X" -> Y: Y's events are all a, so Y is also an X.
    fixture->addRule(QStringLiteral("toX"), sequence({kindLeaf(QStringLiteral("a"))}),
                     rewrite(QStringLiteral("X"), 20));
    fixture->addRule(QStringLiteral("toY"),
                     sequence({nameLeaf(QStringLiteral("X")), nameLeaf(QStringLiteral("X"))}),
                     rewrite(QStringLiteral("Y"), 21));
    // A rule that deletes is never nested.
    auto& rules = fixture->store()->rules.items;
    rules.insert(rules.begin(), Rule(QStringLiteral("del"), sequence({kindLeaf(QStringLiteral("z"))}),
                                     deletion(), true, true));
    auto cell = fixture->cell();
    addTraces(cell.get(), QStringLiteral("aab"));
    cell->buildData(false);

    QCOMPARE(rowsText(cell->rows), QStringLiteral("Y/2/2,Gray//1"));
    const BinItem* y = cell->rows.first().first();
    QCOMPARE(childNames(y), QStringLiteral("X"));
    QCOMPARE(fixture->store()->ruleCounts.value(QStringLiteral("toX")), 2);
    QCOMPARE(fixture->store()->ruleCounts.value(QStringLiteral("toY")), 1);
}

void BinCellRowsTest::rulesThatCannotApply()
{
    const QString a = QStringLiteral("a");
    fixture->addRule(QStringLiteral("noPre"), nullptr, rewrite(QStringLiteral("X"), 20));
    fixture->addRule(QStringLiteral("noPost"), sequence({kindLeaf(a)}), nullptr);
    fixture->addRule(QStringLiteral("noLeaf"), sequence({kindLeaf(a)}), new ParseNode(ParseNode::And));
    fixture->store()->rules.append(Rule::fromString(QStringLiteral("fromFile~true~true~garbage")));
    fixture->addRule(QStringLiteral("good"), sequence({kindLeaf(a)}), rewrite(QStringLiteral("Z"), 22));

    auto cell = fixture->cell();
    addTraces(cell.get(), QStringLiteral("ab"));
    cell->buildData(false);

    QCOMPARE(rowsText(cell->rows), QStringLiteral("Z//1,Gray//1"));
    const auto& counts = fixture->store()->ruleCounts;
    QVERIFY(!counts.contains(QStringLiteral("noPre")));
    QVERIFY(!counts.contains(QStringLiteral("noPost")));
    QVERIFY(!counts.contains(QStringLiteral("noLeaf")));
    QVERIFY(!counts.contains(QStringLiteral("fromFile")));
    QCOMPARE(counts.value(QStringLiteral("good")), 1);
    QCOMPARE(capture->count(QStringLiteral("rule without precondition or rewrite glyph: noPre")), 1);
    QCOMPARE(capture->count(QStringLiteral("rule without precondition or rewrite glyph: noLeaf")), 1);
}

void BinCellRowsTest::emptyCellWithARule()
{
    auto cell = fixture->cell();
    cell->buildData(true);
    QVERIFY(cell->rows.isEmpty());

    fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(QStringLiteral("a"))}), deletion());
    cell->stacked = true;
    cell->buildData(true);
    QCOMPARE(cell->rows.size(), 1);
    QVERIFY(cell->rows.first().isEmpty());
    QCOMPARE(cell->itemCount(), 0);
    QCOMPARE(cell->stackCounts.value(QString()), 1);
}

void BinCellRowsTest::stacking_data()
{
    QTest::addColumn<QString>("traces");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QList<int>>("counts");

    QTest::newRow("equal rows stack, summed counts")
        << "ab|ab|abc|ab" << "X//3,Gray//3 | X//1,Gray//1,Gray//1" << QList<int>{3, 1};
    QTest::newRow("different patterns never stack") << "aaab|baaa" << "X/3/3,Gray//1 | Gray//1,X/3/3"
                                                    << QList<int>{1, 1};
    QTest::newRow("equal counts keep the label") << "aaab|aaab" << "X/3/6,Gray//2" << QList<int>{2};
    QTest::newRow("different counts give *") << "aaab|aab|aaaab" << "X/*/9,Gray//3" << QList<int>{3};
    QTest::newRow("a new label only above 1") << "ab|aaab" << "X/3/4,Gray//2" << QList<int>{2};
    QTest::newRow("no label from ones") << "ab|ab" << "X//2,Gray//2" << QList<int>{2};
}

void BinCellRowsTest::stacking()
{
    QFETCH(QString, traces);
    QFETCH(QString, rows);
    QFETCH(QList<int>, counts);

    auto* plus = new ParseNode(ParseNode::Plus);
    plus->addChild(kindLeaf(QStringLiteral("a")));
    fixture->addRule(QStringLiteral("r"), sequence({plus}), rewrite(QStringLiteral("X"), 20), false);
    auto cell = fixture->cell();
    cell->stacked = true;
    addTraces(cell.get(), traces);
    cell->buildData(false);

    QCOMPARE(rowsText(cell->rows), rows);
    QList<int> got;
    for (const auto& row : cell->rows)
        got.append(cell->stackCounts.value(cell->rowKey(row)));
    QCOMPARE(got, counts);
    int events = 0;
    for (BinItem* item : cell->items())
        events += item->packets.size();
    QCOMPARE(events, QString(traces).remove(QLatin1Char('|')).size());
    QVERIFY(capture->contains(QStringLiteral("get stacked data")));
    QVERIFY(capture->contains(QStringLiteral("create result")));
    QVERIFY(capture->contains(QStringLiteral("delete cache")));
    QCOMPARE(capture->count(QStringLiteral("invalid conversations stackmap")), 0);
}

void BinCellRowsTest::rowKey_data()
{
    QTest::addColumn<QString>("ids");
    QTest::addColumn<bool>("multi");
    QTest::addColumn<QString>("key");

    QTest::newRow("children with the flag") << "7,12[3;5]" << true << "7;[]12;[3,5,]";
    QTest::newRow("no children without it") << "7,12[3;5]" << false << "7;[]12;[]";
    QTest::newRow("1 and 12") << "1,12" << true << "1;[]12;[]";
    QTest::newRow("11 and 2") << "11,2" << true << "11;[]2;[]";
    QTest::newRow("1, 1 and 2") << "1,1,2" << true << "1;[]1;[]2;[]";
    QTest::newRow("empty row") << "" << true << "";
}

void BinCellRowsTest::rowKey()
{
    QFETCH(QString, ids);
    QFETCH(bool, multi);
    QFETCH(QString, key);

    auto cell = fixture->cell();
    std::vector<std::unique_ptr<BinItem>> store;
    showMulti = multi;
    QCOMPARE(cell->rowKey(idRow(ids, store)), key);
}

void BinCellRowsTest::stackCountsFollowTheFlagOfTheirBuild()
{
    fixture->addRule(QStringLiteral("r"), sequence({kindLeaf(QStringLiteral("a"))}),
                     rewrite(QStringLiteral("X"), 20));
    auto cell = fixture->cell();
    addTraces(cell.get(), QStringLiteral("ab|ab"));
    cell->stacked = true;
    cell->resizeWidget(300, 200);
    cell->buildData(true);
    cell->layoutItems(false, false);
    QCOMPARE(cell->extraItems.size(), 1);
    QCOMPARE(cell->extraItems.first().label, QStringLiteral(" 2"));

    // The flag flips without a rebuild: the labels still find their rows.
    showMulti = false;
    cell->layoutItems(false, false);
    QCOMPARE(cell->extraItems.first().label, QStringLiteral(" 2"));
}

void BinCellRowsTest::countAndGroupRowKeys()
{
    auto cell = fixture->cell();
    std::vector<std::unique_ptr<BinItem>> store;
    TList<TList<BinItem*>> rows;
    for (const char* spec : {"1,2", "3", "1,2", "4", "3", "1,12", "11,2"})
        rows.append(idRow(QString::fromLatin1(spec), store));

    const THash<QString, int> counts = cell->countRowKeys(rows);
    QVERIFY(!counts.isOrdered());
    QCOMPARE(counts.size(), 5);
    QCOMPARE(counts.value(QStringLiteral("1;[]2;[]")), 2);
    QCOMPARE(counts.value(QStringLiteral("3;[]")), 2);
    QCOMPARE(counts.value(QStringLiteral("1;[]12;[]")), 1);

    const auto groups = cell->buildStacked(rows);
    QStringList sizes;
    for (const auto& group : groups)
        sizes.append(QString::number(group.size()));
    QCOMPARE(sizes.join(QLatin1Char(',')), QStringLiteral("2,2,1,1,1"));
    QVERIFY(groups.at(0).at(1).first() == rows.at(2).first());
    QVERIFY(groups.at(1).at(1).first() == rows.at(4).first());
    QVERIFY(capture->contains(QStringLiteral("build result")));
    QVERIFY(capture->contains(QStringLiteral("stacked 0")));
}

void BinCellRowsTest::reorderRows_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<int>>("positions");
    QTest::addColumn<QString>("result");

    // Traces 10, 11, 12, one row each; the order maps ids to positions.
    QTest::newRow("every row placed") << QList<int>{12, 10, 11} << QList<int>{0, 1, 2} << "12,10,11";
    QTest::newRow("missing id follows the placed") << QList<int>{12, 10} << QList<int>{0, 1} << "12,10,11";
    QTest::newRow("taken position") << QList<int>{10, 11, 12} << QList<int>{0, 0, 1} << "10,12,11";
    QTest::newRow("out of range") << QList<int>{10, 11, 12} << QList<int>{5, 0, -1} << "11,10,12";
    QTest::newRow("empty order keeps the order") << QList<int>{} << QList<int>{} << "10,11,12";
}

void BinCellRowsTest::reorderRows()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<int>, positions);
    QFETCH(QString, result);

    auto cell = fixture->cell();
    for (int id : {10, 11, 12})
        cell->addPackets(trace(id, QStringLiteral("ab")));
    cell->resizeWidget(300, 300);
    cell->buildData(true);
    QHash<int, int> order;
    for (int i = 0; i < ids.size(); ++i)
        order.insert(ids.at(i), positions.at(i));
    cell->reorderRows(order);

    QStringList got;
    for (const auto& row : cell->rows)
        got.append(QString::number(row.first()->packets.first()->conversationId));
    QCOMPARE(got.join(QLatin1Char(',')), result);
    QCOMPARE(cell->itemCount(), 6);
    // The window shows the rows in their new order.
    QCOMPARE(cell->visibleItems().first(), cell->rows.first().first());
}

void BinCellRowsTest::reorderRowsDropsEmptyRows()
{
    auto cell = fixture->cell();
    cell->addPackets(trace(1, QStringLiteral("a")));
    cell->buildData(false);
    cell->rows.items.insert(cell->rows.items.begin(), TList<BinItem*>());
    cell->reorderRows(QHash<int, int>{{1, 0}});
    QCOMPARE(cell->rows.size(), 1);
    QCOMPARE(capture->count(QStringLiteral("empty glyphs are not allowed")), 1);
}

void BinCellRowsTest::helpersBuildTheSameRows()
{
    // Rows of different lengths, some events selected, some highlighted.
    const QStringList kinds = {QStringLiteral("abc"), QStringLiteral("a"), QStringLiteral("abcabcab"),
                               QStringLiteral("bb"), QStringLiteral("cab")};
    TList<TList<PacketPtr>> traces;
    PacketSet selected;
    QSet<PacketPtr> marked;
    for (int t = 0; t < 40; ++t) {
        traces.append(trace(t, kinds.at(t % kinds.size())));
        selected.insert(traces.last().first());
        marked.insert(traces.last().last());
    }
    const auto build = [&](bool helpers) {
        Restore<int> marks(BinCell::parallelMarks, helpers ? 1 : BinCell::parallelMarks);
        auto cell = fixture->cell();
        for (const TList<PacketPtr>& events : traces.items)
            cell->addPackets(events);
        cell->selectedPackets = selected;
        cell->setMarkedPackets(marked);
        cell->buildData(false);
        QStringList out;
        for (const TList<BinItem*>& row : cell->rows.items) {
            QStringList glyphs;
            for (const BinItem* item : row.items)
                glyphs << QStringLiteral("%1:%2:%3%4%5")
                              .arg(item->name)
                              .arg(quintptr(item->packets.first().data()))
                              .arg(item->selectedCount)
                              .arg(item->selected ? "s" : "")
                              .arg(item->highlighted ? "h" : "");
            out << glyphs.join(QLatin1Char(' '));
        }
        return out;
    };
    const QStringList alone = build(false);
    QCOMPARE(alone.size(), 40);
    QCOMPARE(build(true), alone);
}

void BinCellRowsTest::deletedCellLetsItsEventsGo_data()
{
    QTest::addColumn<int>("traces");
    QTest::newRow("a few events, freed at once") << 3;
    QTest::newRow("many events, freed in the background") << 2000;
}

void BinCellRowsTest::deletedCellLetsItsEventsGo()
{
    QFETCH(int, traces);
    auto cell = fixture->cell();
    QList<QWeakPointer<Packet>> watched;
    for (int t = 0; t < traces; ++t) {
        const TList<PacketPtr> events = trace(t, QStringLiteral("abc"));
        for (const PacketPtr& event : events.items)
            watched.append(event.toWeakRef());
        cell->addPackets(events);
    }
    cell->buildData(false);
    QCOMPARE(cell->itemCount(), 3 * traces);
    cell.reset();
    deferredrelease::waitForAll();
    int alive = 0;
    for (const QWeakPointer<Packet>& event : watched)
        alive += event.toStrongRef() ? 1 : 0;
    QCOMPARE(alive, 0);
}

void BinCellRowsTest::selectedAndMarkedCounts()
{
    auto cell = fixture->cell();
    const TList<PacketPtr> one = trace(0, QStringLiteral("ab"));
    const TList<PacketPtr> two = trace(1, QStringLiteral("ab"));
    cell->addPackets(one);
    cell->addPackets(two);
    cell->selectedPackets.insert(two.at(0));
    cell->markedPackets.insert(two.at(1));
    cell->stacked = true;
    cell->buildData(false);
    QCOMPARE(cell->rows.size(), 1);
    BinItem* first = cell->rows.first().at(0);   // events one[0], two[0]
    BinItem* second = cell->rows.first().at(1);  // events one[1], two[1]

    // Stacking merges the selection, not the marks.
    QVERIFY(first->selected);
    QCOMPARE(first->selectedCount, 1);
    QCOMPARE(first->totalCount, 2);
    QVERIFY(!second->selected);
    QVERIFY(!second->highlighted);

    cell->setSelectedPackets({one.at(0), one.at(1), two.at(1)});
    QCOMPARE(first->selectedCount, 1);
    QCOMPARE(second->selectedCount, 2);
    QVERIFY(first->selected && second->selected);

    // Marked counts leave out the selected events.
    cell->setMarkedPackets({one.at(0), two.at(0), two.at(1)});
    QCOMPARE(first->auxValue, 1);
    QVERIFY(first->highlighted);
    QCOMPARE(second->auxValue, 0);
    QVERIFY(!second->highlighted);

    cell->setSelectedPackets({});
    QCOMPARE(first->selectedCount, 0);
    QVERIFY(!first->selected);
}

void BinCellRowsTest::timeWindow_data()
{
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<bool>("visible");

    QTest::newRow("one event inside") << QList<double>{100} << 50.0 << 150.0 << true;
    QTest::newRow("one event on the lower bound") << QList<double>{100} << 100.0 << 150.0 << true;
    QTest::newRow("one event on the upper bound") << QList<double>{100} << 50.0 << 100.0 << true;
    QTest::newRow("one event outside") << QList<double>{100} << 101.0 << 150.0 << false;
    QTest::newRow("stacked, later trace first") << QList<double>{200, 100} << 150.0 << 160.0 << true;
    QTest::newRow("stacked, all before") << QList<double>{200, 100} << 201.0 << 260.0 << false;
}

void BinCellRowsTest::timeWindow()
{
    QFETCH(QList<double>, times);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(bool, visible);

    auto cell = fixture->cell();
    for (int t = 0; t < times.size(); ++t)
        cell->addPacket(makeEvent(t, QStringLiteral("a"), times.at(t)));
    cell->stacked = true;
    cell->timeFrom = from;
    cell->timeTo = to;
    cell->resizeWidget(200, 200);
    cell->buildData(true);
    QCOMPARE(cell->visibleItems().size(), 1);
    cell->applyTimeWindow();
    QCOMPARE(cell->visibleItems().first()->visible, visible);
}

LUMIVANE_TEST(BinCellRowsTest)
#include "BinCellRowsTest.moc"
