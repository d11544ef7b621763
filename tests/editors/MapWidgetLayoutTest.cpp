#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>
#include <QTimer>

#include "editors/MapWidget.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"

namespace {

ParseNode* leaf(const QString& name)
{
    ParseNode* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    return node;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children)
{
    ParseNode* n = new ParseNode(type);
    for (ParseNode* child : children)
        n->addChild(child);
    return n;
}

// Lays out the children of root as the editor's relayout does: one row from
// the margin, each child after the previous one's last item.
TList<BinItem*> layoutRow(MapWidget& widget, ParseNode* root, double centre)
{
    TList<BinItem*> row;
    const double extent = widget.subtreeExtent(root);
    double x = widget.margin;
    for (ParseNode* child : root->children) {
        TList<BinItem*> list;
        widget.layoutTree(child, list, x, centre, int(extent));
        if (!list.isEmpty())
            x = int(widget.gap + list.last()->right());
        row.append(list);
    }
    return row;
}

void release(TList<BinItem*>& row)
{
    qDeleteAll(row.items);
    row.clear();
}

QString labels(const TList<BinItem*>& row)
{
    QStringList parts;
    for (const BinItem* item : row.items)
        parts << (item->label.isEmpty() ? item->name : item->label);
    return parts.join(QLatin1Char(' '));
}

} // namespace

Q_DECLARE_METATYPE(ParseNode*)

class MapWidgetLayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void newWidgetShowsOneEmptySlot();
    void layoutOnlyWidgetDefaults();
    void subtreeExtentCountsChoiceBranches_data();
    void subtreeExtentCountsChoiceBranches();
    void choiceOfThree();
    void starOverTwoGlyphs();
    void parenthesesLeftOutBetweenChoiceAndRepetition();
    void boundedRepetitionLabel();
    void negationAndEmptyGroup();
    void epsilonLogsAndYieldsNothing();
    void tooWidePatternShrinks();
    void shrinkSteps_data();
    void shrinkSteps();
    void layoutLeavesTheTreeAlone();
};

void MapWidgetLayoutTest::newWidgetShowsOneEmptySlot()
{
    MapWidget widget(false, nullptr, nullptr);
    widget.resize(200, 200);
    widget.relayout();
    QVERIFY(widget.root != nullptr);
    QCOMPARE(widget.root->type, qint32(ParseNode::And));
    QCOMPARE(widget.root->children.size(), 1);
    QCOMPARE(widget.root->children.first()->type, qint32(ParseNode::Group));
    QCOMPARE(widget.items.size(), 1);
    BinItem* slot = widget.items.at(0);
    QCOMPARE(slot->mode, qint32(EMPTY));
    QCOMPARE(slot->width(), 20.0);
    QCOMPARE(slot->height(), 20.0);
    QCOMPARE(slot->x, 3.0);
    QCOMPARE(slot->y, 100.0 - 10.0);
    QCOMPARE(widget.itemNode.value(slot), widget.root->children.first());
    QCOMPARE(widget.history.size(), 1);
    QCOMPARE(widget.historyIndex, 0);
}

void MapWidgetLayoutTest::layoutOnlyWidgetDefaults()
{
    MapWidget widget(false, nullptr, nullptr);
    QVERIFY(widget.owner == nullptr);
    QVERIFY(!widget.rewrite);
    QVERIFY(widget.parent() == nullptr);
    QCOMPARE(widget.itemSize, 40.0);
    QCOMPARE(widget.slotSize, 20);
    QCOMPARE(widget.labelHeight, 20);
    QCOMPARE(widget.gap, 5);
    QCOMPARE(widget.margin, 3);
    QCOMPARE(widget.background, QColor(Qt::white));
    QCOMPARE(widget.dragStartX, -1.0);
    QCOMPARE(widget.dragEndY, -1.0);
    QVERIFY(!widget.dragging);
    QVERIFY(!widget.pointerInside);
    QVERIFY(widget.dragTimer != nullptr);
    QCOMPARE(widget.dragTimer->interval(), 500);
    QVERIFY(widget.singleClickTimer != nullptr);
    QCOMPARE(widget.singleClickTimer->interval(), 300);
    QCOMPARE(widget.sizeHint(), QSize(200, 200));
}

void MapWidgetLayoutTest::subtreeExtentCountsChoiceBranches_data()
{
    QTest::addColumn<ParseNode*>("tree");
    QTest::addColumn<double>("expected");
    QTest::newRow("leaf") << leaf("A") << 40.0;
    QTest::newRow("sequence") << node(ParseNode::And, {leaf("A"), leaf("B")}) << 40.0;
    QTest::newRow("choice of three") << node(ParseNode::Or, {leaf("A"), leaf("B"), leaf("C")}) << 130.0;
    // 2 + 2 branches: nested choices add their own counts.
    QTest::newRow("nested choice") << node(ParseNode::Or, {leaf("A"), node(ParseNode::Or, {leaf("B"), leaf("C")})})
                                   << 4 * 40.0 + 3 * 5.0;
    QTest::newRow("choice below star") << node(ParseNode::And, {node(ParseNode::Star, {node(ParseNode::Or, {leaf("A"), leaf("B")})})})
                                       << 85.0;
}

void MapWidgetLayoutTest::subtreeExtentCountsChoiceBranches()
{
    QFETCH(ParseNode*, tree);
    QFETCH(double, expected);
    std::unique_ptr<ParseNode> owned(tree);
    MapWidget widget(false, nullptr, nullptr);
    QCOMPARE(widget.subtreeExtent(tree), expected);
    // The spacing and size in effect are the ones used.
    widget.itemSize = 10.0;
    widget.gap = 3;
    const int n = int((expected + 5) / 45);
    QCOMPARE(widget.subtreeExtent(tree), n * 10.0 + (n - 1) * 3.0);
}

void MapWidgetLayoutTest::choiceOfThree()
{
    MapWidget widget(false, nullptr, nullptr);
    std::unique_ptr<ParseNode> root(node(ParseNode::And, {node(ParseNode::Or, {leaf("A"), leaf("B"), leaf("C")})}));
    const double centre = 200;
    TList<BinItem*> row = layoutRow(widget, root.get(), centre);
    QCOMPARE(labels(row), QStringLiteral("( A B C )"));

    BinItem* open = row.at(0);
    BinItem* close = row.at(4);
    QCOMPARE(open->height(), 130.0);
    QCOMPARE(close->height(), 130.0);
    QCOMPARE(open->width(), 10.0);
    QCOMPARE(open->x, 3.0);
    QCOMPARE(open->y, centre - 65);
    // Branches 45 pixels apart, the whole block centred on the line.
    QCOMPARE(row.at(1)->y, centre - 65);
    QCOMPARE(row.at(2)->y - row.at(1)->y, 45.0);
    QCOMPARE(row.at(3)->y - row.at(2)->y, 45.0);
    // The column runs from 18 to the closing parenthesis at 18 + 40 + 5.
    QCOMPARE(close->x, 63.0);
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(row.at(i)->width(), 40.0);
        QCOMPARE(row.at(i)->x, 18.0 + (63.0 - 18.0) / 2 - 20.0 - 1.0);
    }
    release(row);
}

void MapWidgetLayoutTest::starOverTwoGlyphs()
{
    MapWidget widget(false, nullptr, nullptr);
    std::unique_ptr<ParseNode> root(node(ParseNode::And, {node(ParseNode::Star, {leaf("A"), leaf("B")})}));
    const double centre = 100;
    TList<BinItem*> row = layoutRow(widget, root.get(), centre);
    QCOMPARE(labels(row), QStringLiteral("( A B ) *"));
    QCOMPARE(row.at(0)->x, 3.0);
    QCOMPARE(row.at(1)->x, 18.0);
    QCOMPARE(row.at(1)->y, centre - 20);
    QCOMPARE(row.at(2)->x, 63.0);
    QCOMPARE(row.at(3)->x, 108.0);  // after B's right edge 103 and the gap
    BinItem* star = row.at(4);
    QCOMPARE(star->x, 108.0 + 10 + 5);
    QCOMPARE(star->width(), 10.0);
    QCOMPARE(star->height(), 20.0);
    // Raised by half the star's extent (40) and half its own height.
    QCOMPARE(star->y, centre - 20 - 10);
    QCOMPARE(widget.itemNode.value(star), root->children.first());
    release(row);
}

void MapWidgetLayoutTest::parenthesesLeftOutBetweenChoiceAndRepetition()
{
    MapWidget widget(false, nullptr, nullptr);
    std::unique_ptr<ParseNode> choiceInStar(
        node(ParseNode::And, {node(ParseNode::Star, {node(ParseNode::Or, {leaf("A"), leaf("B")})})}));
    TList<BinItem*> row = layoutRow(widget, choiceInStar.get(), 100);
    QCOMPARE(labels(row), QStringLiteral("( A B ) *"));  // the star's parentheses only
    release(row);

    std::unique_ptr<ParseNode> starInChoice(
        node(ParseNode::And, {node(ParseNode::Or, {node(ParseNode::Plus, {leaf("A")}), leaf("B")})}));
    row = layoutRow(widget, starInChoice.get(), 100);
    QCOMPARE(labels(row), QStringLiteral("( A + B )"));  // the choice's parentheses only
    release(row);
}

void MapWidgetLayoutTest::boundedRepetitionLabel()
{
    MapWidget widget(false, nullptr, nullptr);
    ParseNode* repeat = node(ParseNode::Repeat, {leaf("A")});
    repeat->value = TVariant(2.0, -1.0);
    std::unique_ptr<ParseNode> root(node(ParseNode::And, {repeat}));
    TList<BinItem*> row = layoutRow(widget, root.get(), 100);
    QCOMPARE(labels(row), QStringLiteral("( A ) 2..-1"));
    QCOMPARE(row.last()->width(), 50.0);
    release(row);

    // Without content: the label alone.
    ParseNode* bare = new ParseNode(ParseNode::Plus);
    root.reset(node(ParseNode::And, {bare}));
    row = layoutRow(widget, root.get(), 100);
    QCOMPARE(labels(row), QStringLiteral("+"));
    QCOMPARE(widget.itemNode.value(row.at(0)), bare);
    release(row);
}

void MapWidgetLayoutTest::negationAndEmptyGroup()
{
    MapWidget widget(false, nullptr, nullptr);
    ParseNode* negation = node(ParseNode::Not, {leaf("A")});
    ParseNode* group = node(ParseNode::Group, {leaf("B")});
    std::unique_ptr<ParseNode> root(node(ParseNode::And, {negation, group}));
    TList<BinItem*> row = layoutRow(widget, root.get(), 100);
    QCOMPARE(row.size(), 6);  // "!" A ( B ) box
    QCOMPARE(row.at(0)->label, QStringLiteral("!"));
    QCOMPARE(widget.itemNode.value(row.at(0)), negation);
    QCOMPARE(row.at(1)->x, 3.0 + 10 + 5);
    QCOMPARE(row.last()->mode, qint32(EMPTYSMALL));
    QCOMPARE(row.last()->width(), 10.0);
    QCOMPARE(row.last()->height(), 20.0);
    QCOMPARE(widget.itemNode.value(row.last()), group);
    release(row);
}

void MapWidgetLayoutTest::epsilonLogsAndYieldsNothing()
{
    MapWidget widget(false, nullptr, nullptr);
    ParseNode epsilon(ParseNode::Epsilon);
    TList<BinItem*> out;
    DebugCapture capture;
    capture.setForward(false);
    const double right = widget.layoutTree(&epsilon, out, 7.0, 50, 40);
    QVERIFY(out.isEmpty());
    QCOMPARE(right, 7.0);
    QCOMPARE(capture.lines(), QStringList{QStringLiteral("epsilons are not allowed in mapwidget")});
}

void MapWidgetLayoutTest::tooWidePatternShrinks()
{
    MapWidget widget(false, nullptr, nullptr);
    widget.resize(120, 100);
    ParseNode* root = node(ParseNode::And, {});
    for (int i = 0; i < 4; ++i)
        root->addChild(leaf(QString::number(i)));
    delete widget.root;
    widget.root = root;
    widget.relayout();
    // 4 glyphs of size s with gaps of 5 from x = 3 fit below 117 at s = 24.
    QCOMPARE(widget.itemSize, 24.0);
    QCOMPARE(widget.items.size(), 4);
    QVERIFY(widget.items.last()->right() < 117);

    for (int i = 0; i < 40; ++i)
        root->addChild(leaf(QString::number(i)));
    widget.relayout();
    // After ten tries the smallest size stands even though it does not fit.
    QCOMPARE(widget.itemSize, 4.0);
    QVERIFY(widget.items.last()->right() > 117);
}

void MapWidgetLayoutTest::shrinkSteps_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<double>("size");
    // Ten glyphs of size s end at 3 + 10 s + 9 x 5; the first size whose row
    // ends left of width - 3 stands.
    for (int step = 1; step <= 9; ++step) {
        const double size = 40.0 * (10 - step) / 10;
        QTest::addRow("%d", int(size)) << int(52 + 10 * size) << size;
    }
    QTest::newRow("too narrow for any") << 60 << 4.0;
}

void MapWidgetLayoutTest::shrinkSteps()
{
    QFETCH(int, width);
    QFETCH(double, size);
    MapWidget widget(false, nullptr, nullptr);
    widget.resize(width, 100);
    ParseNode* root = node(ParseNode::And, {});
    for (int i = 0; i < 10; ++i)
        root->addChild(leaf(QString::number(i)));
    widget.setRoot(root);
    QCOMPARE(widget.itemSize, size);
    QCOMPARE(widget.slotSize, int(size / 2));
    QCOMPARE(widget.items.size(), 10);
    QCOMPARE(widget.items.last()->width(), size);
    // A new layout leaves nothing selected.
    widget.items.first()->selected = true;
    widget.relayout();
    QVERIFY(widget.selectedItems().isEmpty());
}

void MapWidgetLayoutTest::layoutLeavesTheTreeAlone()
{
    // The window-less use of a rule's painting: the tree is only read.
    MapWidget widget(false, nullptr, nullptr);
    std::unique_ptr<ParseNode> tree(node(ParseNode::And, {leaf("A"), node(ParseNode::Or, {leaf("B"), leaf("C")})}));
    ParseNode* ownRoot = widget.root;
    TList<BinItem*> row = layoutRow(widget, tree.get(), 50);
    QCOMPARE(widget.root, ownRoot);
    QCOMPARE(tree->children.size(), 2);
    QCOMPARE(tree->children.at(1)->children.size(), 2);
    release(row);
}

LUMIVANE_TEST(MapWidgetLayoutTest)
#include "MapWidgetLayoutTest.moc"
