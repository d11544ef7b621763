#include "TestRegistry.h"

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
    return out.isEmpty() ? QStringList{"none"} : out;
}

// Selects the nodes' items and reports the selection as the editor does.
void report(RibbonMapWidget& r, const QStringList& nodes)
{
    emit r.map->selectionChanged(select(*r.map, nodes));
}

const QStringList structure = {"iterator", "choice", "after", "before"};

} // namespace

class RibbonMapWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void buttonTable_data();
    void buttonTable();
    void editsThroughTheButtons();
    void clausesOfLiftsOrRefuses();
    void pickedGlyphIsCleanedAndPlaced();
};

void RibbonMapWidgetTest::buttonTable_data()
{
    QTest::addColumn<QStringList>("selection");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("nothing") << QStringList{} << QStringList{"picker"};
    QTest::newRow("one glyph") << QStringList{"A"} << structure + QStringList{"stack", "negation"};
    QTest::newRow("empty slot") << QStringList{"[]"} << QStringList{"negation"};
    QTest::newRow("small box") << QStringList{"grp(B)"} << QStringList{"stack", "negation"};
    QTest::newRow("negation label") << QStringList{"not(C)"} << structure + QStringList{"stack"};
    QTest::newRow("two levels") << QStringList{"A", "D"} << QStringList{"none"};
    QTest::newRow("different branches") << QStringList{"D", "F"} << QStringList{"none"};
    // All of a parent's children stand for it, up to a common parent.
    QTest::newRow("lifted to the choice") << QStringList{"D", "E", "F"} << structure;
    QTest::newRow("lifted beside A") << QStringList{"A", "C"} << structure;
}

void RibbonMapWidgetTest::buttonTable()
{
    QFETCH(QStringList, selection);
    QFETCH(QStringList, buttons);
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    QCOMPARE(enabled(ribbon), QStringList{"picker"});
    ribbon.map->setRoot(tree("seq(A,[],grp(B),not(C),or(seq(D,E),F))"));
    report(ribbon, selection);
    QCOMPARE(enabled(ribbon), buttons);

    // In rewrite mode only undo and redo show.
    RibbonMapWidget rewrite(true, &f.control, nullptr);
    for (QPushButton* b : {rewrite.iterator, rewrite.choice, rewrite.after, rewrite.before,
                           rewrite.stack, rewrite.negation, rewrite.pickerButton})
        QVERIFY(b->isHidden());
    QVERIFY(!rewrite.undo->isHidden() && !rewrite.redo->isHidden() && !ribbon.pickerButton->isHidden());
    QVERIFY(!ribbon.pickerButton->icon().isNull());
}

void RibbonMapWidgetTest::editsThroughTheButtons()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(tree("seq(A,B,C)"));
    const QList<QPair<QStringList, QPushButton*>> steps = {
        {{"A", "B"}, ribbon.iterator}, {{"C"}, ribbon.choice}, {{"C", "[]"}, ribbon.choice},
        {{"A"}, ribbon.after}, {{"B"}, ribbon.before}, {{"C"}, ribbon.negation}, {{"A"}, ribbon.stack}};
    for (const auto& step : steps) {
        report(ribbon, step.first);
        step.second->click();
    }
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(_{A},[],[],B)),or(not(C),[],[]))"));
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
    ribbon.undo->click();
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "redo", "picker"}));
    for (int i = 0; i < 20; ++i)
        ribbon.undo->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(A,B,C)"));
    QCOMPARE(enabled(ribbon), (QStringList{"redo", "picker"}));
    ribbon.redo->click();
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(grp(seq(A,B)),C)"));

    // Stack and negation without a node do nothing.
    ribbon.map->setRoot(tree("seq(or(A,B))"));
    ribbon.insertStack();
    ribbon.map->items.first()->selected = true;    // "("
    ribbon.insertNegation();
    QCOMPARE(ribbon.map->history.size(), 1);
}

void RibbonMapWidgetTest::clausesOfLiftsOrRefuses()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    MapWidget& map = *ribbon.map;
    map.setRoot(tree("seq(A,not(B),star(C,D))"));
    // B stands for its ancestor under the common parent.
    report(ribbon, {"A", "B"});
    QCOMPARE(ribbon.clausesOf(map.selectedItems()).size(), 2);
    ribbon.choice->click();
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(A,not(B)),star(C,D))"));

    // A double click on the star's label selects its subtree; the label's
    // node is not below the common parent (the star): refused.
    QSignalSpy actions(&map, &MapWidget::actionPerformed);
    for (auto edit : {&RibbonMapWidget::insertIterator, &RibbonMapWidget::insertAfter}) {
        map.selectNode(find(map.root, "star(C,D)"));
        QCOMPARE(map.selectedItems().size(), 3);
        QVERIFY(ribbon.clausesOf(map.selectedItems()).isEmpty());
        (ribbon.*edit)();
    }
    // Parentheses only: nothing either.
    for (BinItem* item : map.items)
        item->selected = item->label == QLatin1String("(");
    ribbon.insertBefore();
    QCOMPARE(actions.count(), 0);
    QCOMPARE(shape(map.root), QStringLiteral("seq(or(A,not(B)),star(C,D))"));
}

void RibbonMapWidgetTest::pickedGlyphIsCleanedAndPlaced()
{
    GlyphFixture f;
    RibbonMapWidget ribbon(false, &f.control, nullptr);
    ribbon.map->setRoot(tree("seq(A,[])"));
    ribbon.picker();     // without an event matrix nothing starts
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

    ribbon.handlePicked(BinItem(nullptr, nullptr));    // a cancelled pick
    QCOMPARE(ribbon.map->history.size(), 1);
    ribbon.handlePicked(glyph);
    ribbon.handlePicked(child);                          // no slot left: appended
    QCOMPARE(shape(ribbon.map->root), QStringLiteral("seq(A,Login{Read},Read)"));
    const BinItem& placed = ribbon.map->root->children.at(1)->glyph;
    const BinItem& stacked = placed.children.at(0);
    QVERIFY(placed.packets.isEmpty() && stacked.packets.isEmpty());
    QVERIFY(!placed.selected && !stacked.selected);
    QCOMPARE(placed.selectedCount + placed.totalCount + stacked.totalCount, 0);
    QVERIFY(stacked.detail.isEmpty());
    QVERIFY(placed.condition && placed.condition != f.condition.get());
    QCOMPARE(enabled(ribbon), (QStringList{"undo", "picker"}));
}

LUMIVANE_TEST(RibbonMapWidgetTest)
#include "RibbonMapWidgetTest.moc"
