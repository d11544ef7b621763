#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "GlyphFixture.h"
#include "PatternTrees.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"

using namespace trees;

namespace {

// The enabled buttons, by name.
QStringList enabled(const RibbonMapWidget& r)
{
    QStringList out;
    const QList<QPair<QString, QPushButton*>> buttons = {
        {"undo", r.undo}, {"redo", r.redo}, {"iterator", r.iterator}, {"choice", r.choice},
        {"after", r.after}, {"before", r.before}, {"stack", r.stack}, {"negation", r.negation},
        {"picker", r.pickerButton}};
    for (const auto& b : buttons) {
        if (b.second->isEnabled())
            out << b.first;
    }
    return out;
}

// Reports a selection as the editor does.
void report(RibbonMapWidget& r, const QStringList& nodes)
{
    const TList<BinItem*> items = select(*r.map, nodes);
    emit r.map->selectionChanged(items);
}

const QStringList structure = {"iterator", "choice", "after", "before"};

} // namespace

class RibbonMapWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void buttonTable_data();
    void buttonTable();
    void rewriteModeShowsUndoAndRedoOnly();
    void editsThroughTheButtons();
    void clausesOfLiftsOrRefuses();
    void stackAndNegationNeedANode();
    void pickedGlyphIsCleanedAndPlaced();
};

void RibbonMapWidgetTest::buttonTable_data()
{
    QTest::addColumn<QStringList>("selection");
    QTest::addColumn<QStringList>("buttons");
    // Tree: seq(A, [], grp(B), not(C), or(seq(D,E),F))
    QTest::newRow("fresh") << QStringList{} << QStringList{"picker"};
    QTest::newRow("one glyph") << QStringList{"A"} << structure + QStringList{"stack", "negation"};
    QTest::newRow("empty slot") << QStringList{"[]"} << QStringList{"negation"};
    QTest::newRow("small box") << QStringList{"grp(B)"} << QStringList{"stack", "negation"};
    QTest::newRow("negation label") << QStringList{"not(C)"} << structure + QStringList{"stack"};
    QTest::newRow("two levels") << QStringList{"A", "D"} << QStringList{};
    // C is all of the negation: it stands for it, beside A.
    QTest::newRow("lifted to a sibling") << QStringList{"A", "C"} << structure;
    QTest::newRow("different branches") << QStringList{"D", "F"} << QStringList{};
    QTest::newRow("lifted to the choice") << QStringList{"D", "E", "F"} << structure;
    QTest::newRow("siblings") << QStringList{"D", "E"} << structure;
}

void RibbonMapWidgetTest::buttonTable()
{
    QFETCH(QStringList, selection);
    QFETCH(QStringList, buttons);
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    // On construction: nothing selected, nothing to undo.
    QCOMPARE(enabled(ribbon), QStringList{"picker"});
    ribbon.map->setRoot(seq({leaf("A"), slot(), node(ParseNode::Group, {leaf("B")}),
                             node(ParseNode::Not, {leaf("C")}),
                             choice({seq({leaf("D"), leaf("E")}), leaf("F")})}));
    report(ribbon, selection);
    QCOMPARE(enabled(ribbon), buttons);
}

void RibbonMapWidgetTest::rewriteModeShowsUndoAndRedoOnly()
{
    GlyphFixture f;
    RibbonMapWidget pattern(false, &f.control, nullptr);
    RibbonMapWidget rewrite(true, &f.control, nullptr);
    QVERIFY(rewrite.map->rewrite);
    for (QPushButton* b : {rewrite.iterator, rewrite.choice, rewrite.after, rewrite.before,
                           rewrite.stack, rewrite.negation, rewrite.pickerButton})
        QVERIFY(b->isHidden());
    QVERIFY(!rewrite.undo->isHidden());
    QVERIFY(!rewrite.redo->isHidden());
    for (QPushButton* b : {pattern.iterator, pattern.pickerButton, pattern.undo})
        QVERIFY(!b->isHidden());
    QCOMPARE(pattern.undo->iconSize(), QSize(32, 32));
    QVERIFY(!pattern.undo->icon().isNull());
    QVERIFY(!pattern.pickerButton->icon().isNull());
}

void RibbonMapWidgetTest::editsThroughTheButtons()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(seq({leaf("A"), leaf("B"), leaf("C")}));
    report(ribbon, {"A", "B"});
    ribbon.iterator->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),C)"));
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
    report(ribbon, {"C"});
    ribbon.choice->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),or(C,[]))"));
    ribbon.undo->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),C)"));
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "redo", "picker"}));
    ribbon.undo->click();
    QCOMPARE(enabled(ribbon), (QStringList{"redo", "picker"}));
    ribbon.redo->click();
    ribbon.redo->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),or(C,[]))"));
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
    // All branches of a choice: the whole choice, which gains a branch.
    report(ribbon, {"C", "[]"});
    ribbon.choice->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),or(C,[],[]))"));
    report(ribbon, {"A"});
    ribbon.after->click();
    ribbon.map->relayout();
    report(ribbon, {"A"});
    ribbon.before->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq([],A,[],B)),or(C,[],[]))"));
}

void RibbonMapWidgetTest::clausesOfLiftsOrRefuses()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(seq({leaf("A"), node(ParseNode::Not, {leaf("B")}),
                             node(ParseNode::Star, {leaf("C"), leaf("D")})}));
    MapWidget& map = *ribbon.map;

    // B stands for its ancestor under the common parent.
    TList<ParseNode*> clauses = ribbon.clausesOf(select(map, {"A", "B"}));
    QCOMPARE(clauses.size(), 2);
    QCOMPARE(shape(clauses.at(1)), QStringLiteral("not(B)"));
    report(ribbon, {"A", "B"});
    ribbon.choice->click();
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(A,not(B)),star(C,D))"));

    // A double click on the star's label selects its subtree; the label's
    // node is no descendant of the common parent (the star): refused.
    map.selectNode(findIn(map, "star(C,D)"));
    QCOMPARE(map.selectedItems().size(), 3);
    QVERIFY(ribbon.clausesOf(map.selectedItems()).isEmpty());
    QSignalSpy actions(&map, &MapWidget::actionPerformed);
    const int entries = map.history.size();
    map.selectNode(findIn(map, "star(C,D)"));
    ribbon.insertIterator();
    ribbon.insertAfter();
    QCOMPARE(actions.count(), 0);
    QCOMPARE(map.history.size(), entries);
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(A,not(B)),star(C,D))"));

    // Only parentheses: nothing.
    for (BinItem* item : map.items)
        item->selected = item->label == QLatin1String("(");
    QVERIFY(ribbon.clausesOf(map.selectedItems()).isEmpty());
}

void RibbonMapWidgetTest::stackAndNegationNeedANode()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(seq({choice({leaf("A"), leaf("B")})}));
    MapWidget& map = *ribbon.map;
    ribbon.insertStack();
    ribbon.insertNegation();
    map.items.first()->selected = true;    // "("
    ribbon.insertStack();
    ribbon.insertNegation();
    QCOMPARE(map.history.size(), 1);
    report(ribbon, {"B"});
    ribbon.negation->click();
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(A,not(B)))"));
    report(ribbon, {"A"});
    ribbon.stack->click();
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(_{A},not(B)))"));
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
}

void RibbonMapWidgetTest::pickedGlyphIsCleanedAndPlaced()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(seq({leaf("A"), slot()}));
    // Without an event matrix the picker starts nothing.
    ribbon.picker();
    QVERIFY(!ribbon.isMinimized());

    BinItem glyph = f.store()->findGlyph(QStringLiteral("Login"));
    glyph.packets.append(QSharedPointer<Packet>(new Packet(TList<TVariant>())));
    glyph.selected = true;
    glyph.selectedCount = 3;
    glyph.totalCount = 7;
    BinItem child = f.store()->findGlyph(QStringLiteral("Read"));
    child.packets = glyph.packets;
    child.selected = true;
    child.totalCount = 2;
    child.detail = QStringLiteral("2 of 9");
    glyph.children.append(child);

    // A cancelled pick places nothing.
    ribbon.handlePicked(BinItem(nullptr, nullptr));
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(A,[])"));
    QCOMPARE(ribbon.map->history.size(), 1);

    ribbon.handlePicked(glyph);
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(A,Login{Read})"));
    const BinItem& placed = ribbon.map->root->children.at(1)->glyph;
    QVERIFY(placed.packets.isEmpty());
    QVERIFY(!placed.selected);
    QCOMPARE(placed.selectedCount, 0);
    QCOMPARE(placed.totalCount, 0);
    QVERIFY(placed.condition && placed.condition != f.condition.get());
    const BinItem& stacked = placed.children.at(0);
    QVERIFY(stacked.packets.isEmpty());
    QVERIFY(!stacked.selected);
    QCOMPARE(stacked.totalCount, 0);
    QVERIFY(stacked.detail.isEmpty());
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
    // No slot left: the next one is appended.
    ribbon.handlePicked(f.store()->findGlyph(QStringLiteral("Read")));
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(A,Login{Read},Read)"));
}

LUMIVANE_TEST(RibbonMapWidgetTest)
#include "RibbonMapWidgetTest.moc"
