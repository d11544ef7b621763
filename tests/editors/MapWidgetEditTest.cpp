#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QMutex>
#include <QSignalSpy>
#include <QtTest>

#include <stdexcept>

#include "PatternTrees.h"
#include "editors/MapWidget.h"

using namespace trees;

class MapWidgetEditTest : public QObject
{
    Q_OBJECT

private slots:
    void historyAndRedoBranch();
    void deletion_data();
    void deletion();
    void insertions_data();
    void insertions();
    void placeNodeFillsFirstSlotOrAppends();
    void nodesWithoutParentStay();
    void setRootRestartsHistory();
    void removeEpsilonsFlattensStacksOnACopy();
    void commonParent_data();
    void commonParent();
    void arrowKeysMoveTheSelection();
    void failedKeyActionRestoresTheTree();
    void badInput();
};

void MapWidgetEditTest::historyAndRedoBranch()
{
    Editor e;
    e.map.undo();
    e.map.redo();
    QCOMPARE(e.now(), QStringLiteral("seq([])"));
    QCOMPARE(e.map.historyIndex, 0);

    e.map.setRoot(tree("seq(A)"));
    QSignalSpy actions(&e.map, &MapWidget::actionPerformed);
    e.map.insertAfter({e.node("A")});
    e.map.insertBefore({e.node("A")});
    e.map.undo();
    e.map.undo();
    e.map.redo();
    QCOMPARE(e.now(), QStringLiteral("seq(A,[])"));
    QCOMPARE(actions.count(), 2);  // undo and redo emit nothing
    e.map.insertChoice({e.node("A")});
    QCOMPARE(e.map.history.size(), 3);  // the redo branch is gone
    QCOMPARE(shape(e.map.history.last()), QStringLiteral("seq(or(A,[]),[])"));

    // A negation records twice and does not copy the content twice.
    e.map.setRoot(tree("seq(plus(A,B),C)"));
    actions.clear();
    e.map.insertNegation(e.node("plus(A,B)"));
    QCOMPARE(e.now(), QStringLiteral("seq(not(plus(A,B)),C)"));
    QVERIFY(linked(e.map.root));
    QCOMPARE(actions.count(), 2);
    e.map.undo();
    QCOMPARE(e.now(), QStringLiteral("seq(not(plus(A,B)),C)"));
    e.map.undo();
    QCOMPARE(e.now(), QStringLiteral("seq(plus(A,B),C)"));
    // Empty clause lists and null nodes change nothing.
    e.map.insertBefore({});
    e.map.insertIterator({});
    e.map.insertNegation(nullptr);
    e.map.insertStack(nullptr);
    QCOMPARE(e.map.history.size(), 3);
}

void MapWidgetEditTest::deletion_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("entries");    // history entries the deletion adds

    QTest::newRow("glyph branch of two") << "seq(or(A,B))" << QStringList{"A"} << "seq(or([],B))" << 2;
    QTest::newRow("empty branch of two") << "seq(or([],B))" << QStringList{"[]"} << "seq(B)" << 1;
    QTest::newRow("branch of three") << "seq(or(A,B,C))" << QStringList{"B"} << "seq(or(A,C))" << 1;
    QTest::newRow("sequence collapses") << "seq(star(seq(A,B)))" << QStringList{"A"} << "seq(star(B))" << 1;
    QTest::newRow("only glyph") << "seq(A)" << QStringList{"A"} << "seq([])" << 1;
    QTest::newRow("operator label") << "seq(star(A,B))" << QStringList{"star(A,B)"} << "seq(grp(A,B))" << 2;
    QTest::newRow("negation") << "seq(not(A),B)" << QStringList{"not(A)"} << "seq(A,B)" << 1;
    QTest::newRow("group box") << "seq(grp(A,B),C)" << QStringList{"grp(A,B)"} << "seq(A,B,C)" << 1;
    QTest::newRow("stack") << "seq(S{B,C},D)" << QStringList{"S{B,C}"} << "seq(B{C},D)" << 1;
    QTest::newRow("both branches") << "seq(X,or(A,B))" << QStringList{"A", "B"} << "seq(X)" << 3;
    QTest::newRow("everything") << "seq(A,star(B),or(C,D))"
                                << QStringList{"A", "B", "star(B)", "C", "D"} << "seq([])" << 4;
}

void MapWidgetEditTest::deletion()
{
    QFETCH(QString, before);
    QFETCH(QStringList, selected);
    QFETCH(QString, after);
    QFETCH(int, entries);
    Editor e(before);
    QCOMPARE(select(e.map, selected).size(), selected.size());
    QSignalSpy actions(&e.map, &MapWidget::actionPerformed);
    bool lockedWhileDeleting = false;
    connect(&e.map, &MapWidget::actionPerformed, this, [&]() {
        lockedWhileDeleting = !e.map.mutex->tryLock();
        if (!lockedWhileDeleting)
            e.map.mutex->unlock();
    });
    press(e.map, Qt::Key_Delete);
    QCOMPARE(e.now(), after);
    QVERIFY(linked(e.map.root));
    QCOMPARE(e.map.history.size(), 1 + entries);
    QCOMPARE(actions.count(), entries);
    QVERIFY(lockedWhileDeleting);
    // One deleted branch leaves its empty branch selected.
    if (selected.size() == 1 && entries == 2)
        QCOMPARE(labels(e.map.selectedItems()), QStringLiteral("_"));
}

void MapWidgetEditTest::insertions_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("clauses");
    QTest::addColumn<QString>("after");

    QTest::newRow("before") << "before" << "seq(A,B)" << QStringList{"B"} << "seq(A,[],B)";
    QTest::newRow("before two in choice") << "before" << "seq(or(A,B,C))" << QStringList{"C", "B"}
                                          << "seq(or(A,or([]),B,C))";
    QTest::newRow("after last") << "after" << "seq(A,B)" << QStringList{"B"} << "seq(A,B,[])";
    QTest::newRow("after middle") << "after" << "seq(A,B)" << QStringList{"A"} << "seq(A,[],B)";
    // A goes to position 0 of the new sequence, then B before it.
    QTest::newRow("after in choice") << "after" << "seq(or(A,B,C))" << QStringList{"A", "B"}
                                     << "seq(or(C,seq(B,A,[])))";
    QTest::newRow("iterator on two") << "iterator" << "seq(A,B,C)" << QStringList{"A", "B"}
                                     << "seq(grp(seq(A,B)),C)";
    QTest::newRow("iterator on one") << "iterator" << "seq(A,B,C)" << QStringList{"B"} << "seq(A,grp(B),C)";
    QTest::newRow("iterator in choice") << "iterator" << "seq(or(A,B,C))" << QStringList{"C", "A"}
                                        << "seq(or(grp(or(A,C)),B))";
    QTest::newRow("choice on glyph") << "choice" << "seq(A,B)" << QStringList{"B"} << "seq(A,or(B,[]))";
    QTest::newRow("choice on two") << "choice" << "seq(A,B)" << QStringList{"A", "B"} << "seq(or(A,B))";
    QTest::newRow("choice on branch") << "choice" << "seq(or(A,B))" << QStringList{"B"} << "seq(or(A,B,[]))";
    QTest::newRow("choice on choice") << "choice" << "seq(X,or(A,B))" << QStringList{"or(A,B)"}
                                      << "seq(X,or(A,B,[]))";
    QTest::newRow("stack") << "stack" << "seq(A,B{C})" << QStringList{"B{C}"} << "seq(A,_{B,C})";
    QTest::newRow("negation") << "negation" << "seq(A)" << QStringList{"A"} << "seq(not(A))";
}

void MapWidgetEditTest::insertions()
{
    QFETCH(QString, edit);
    QFETCH(QString, before);
    QFETCH(QStringList, clauses);
    QFETCH(QString, after);
    Editor e(before);
    TList<ParseNode*> nodes;
    for (const QString& text : clauses)
        nodes.append(e.node(text));
    QSignalSpy actions(&e.map, &MapWidget::actionPerformed);
    if (edit == "before")
        e.map.insertBefore(nodes);
    else if (edit == "after")
        e.map.insertAfter(nodes);
    else if (edit == "iterator")
        e.map.insertIterator(nodes);
    else if (edit == "choice")
        e.map.insertChoice(nodes);
    else if (edit == "stack")
        e.map.insertStack(nodes.first());
    else
        e.map.insertNegation(nodes.first());
    QCOMPARE(e.now(), after);
    QVERIFY(linked(e.map.root));
    const int entries = edit == "negation" ? 2 : 1;
    QCOMPARE(actions.count(), entries);
    QCOMPARE(e.map.history.size(), 1 + entries);
    QCOMPARE(e.map.nodeItem.size(), e.map.itemNode.size());   // laid out again
    QVERIFY(e.map.selectedItems().isEmpty());
}

void MapWidgetEditTest::placeNodeFillsFirstSlotOrAppends()
{
    // Breadth first: the group at the top level before the slot in the choice.
    Editor e("seq(or([],B),grp(C),[])");
    QSignalSpy actions(&e.map, &MapWidget::actionPerformed);
    e.map.placeNode(tree("P"));
    QCOMPARE(e.now(), QStringLiteral("seq(or([],B),P(C),[])"));   // the content moves under it
    QCOMPARE(actions.count(), 2);
    QCOMPARE(e.map.history.size(), 3);
    e.map.placeNode(tree("Q"));
    e.map.placeNode(tree("R"));
    actions.clear();
    e.map.placeNode(tree("S"));
    QCOMPARE(e.now(), QStringLiteral("seq(or(R,B),P(C),Q,S)"));
    QCOMPARE(actions.count(), 1);
    QCOMPARE(labels(e.map.items), QStringLiteral("( R B ) P C Q S"));
}

void MapWidgetEditTest::nodesWithoutParentStay()
{
    Editor e;
    DebugCapture debug;
    debug.setForward(false);
    std::unique_ptr<ParseNode> orphan(tree("seq(A,B)"));
    std::unique_ptr<ParseNode> star(new ParseNode(ParseNode::Star));
    QSignalSpy actions(&e.map, &MapWidget::actionPerformed);
    QVERIFY(!e.map.replaceNode(orphan.get(), star.get()));
    QVERIFY(debug.contains(QStringLiteral("Parent does not exist issue....")));
    QCOMPARE(shape(orphan.get()), QStringLiteral("seq(A,B)"));    // nothing moved
    QVERIFY(!star->hasChildren());
    QCOMPARE(e.map.removeNode(orphan.get(), true), nullptr);
    QCOMPARE(shape(orphan.get()), QStringLiteral("seq(A,B)"));
    QCOMPARE(actions.count(), 0);
    // A clause outside its parent: logged, still recorded.
    e.map.insertAfter({orphan.get()});
    QVERIFY(debug.contains(QStringLiteral("invalid after index = -1")));
    QCOMPARE(e.map.history.size(), 2);
}

void MapWidgetEditTest::setRootRestartsHistory()
{
    Editor e;
    e.map.insertAfter({e.map.root->children.first()});
    // The rule editor loads a rule: reset, then a copy of the rule's tree,
    // whose root still points at its source's parent.
    e.map.reset();
    ParseNode* pre = tree("seq(A,B)");
    pre->parentNode = e.map.root;
    e.map.setRoot(pre);
    QCOMPARE(e.map.root, pre);
    QVERIFY(!e.map.root->parent());
    QCOMPARE(e.map.history.size(), 1);
    e.map.undo();
    QCOMPARE(e.now(), QStringLiteral("seq(A,B)"));
    // Not a sequence: put into one; null: empty.
    e.map.setRoot(tree("C"));
    QCOMPARE(e.now(), QStringLiteral("seq(C)"));
    e.map.setRoot(nullptr);
    QCOMPARE(e.now(), QStringLiteral("seq([])"));
}

void MapWidgetEditTest::removeEpsilonsFlattensStacksOnACopy()
{
    // A group whose glyph is a nested stack, a placeholder leaf whose
    // children are skipped, and a negation whose epsilon is reported.
    ParseNode* root = tree("seq(grp(G),A,P(eps),not(eps))");
    root->children.at(0)->glyph = glyphOf("S{T{U},V}");
    root->children.at(2)->glyph.mode = EMPTY;
    Editor e;
    e.map.setRoot(root);
    const QString before = e.now();
    DebugCapture debug;
    debug.setForward(false);
    std::unique_ptr<ParseNode> copy(e.map.removeEpsilons());
    QCOMPARE(glyphText(copy->children.at(0)->glyph), QStringLiteral("S{T,V,U}"));
    QCOMPARE(copy->children.at(0)->type, qint32(ParseNode::Group));
    QCOMPARE(debug.count(QStringLiteral("epsilon detected")), 1);
    QCOMPARE(e.now(), before);
    QCOMPARE(glyphText(root->children.at(0)->glyph), QStringLiteral("S{T{U},V}"));
}

void MapWidgetEditTest::commonParent_data()
{
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QString>("parent");
    const QString root = "seq(A,or(seq(B,C),D),star(E,F))";
    QTest::newRow("nothing") << QStringList{} << "null";
    QTest::newRow("one glyph") << QStringList{"A"} << root;
    QTest::newRow("siblings") << QStringList{"E", "F"} << "star(E,F)";
    QTest::newRow("with a root child") << QStringList{"A", "E"} << root;
    QTest::newRow("the earlier of two") << QStringList{"B", "D"} << "seq(B,C)";
    QTest::newRow("a node before its parent") << QStringList{"D", "B"} << "or(seq(B,C),D)";
}

void MapWidgetEditTest::commonParent()
{
    QFETCH(QStringList, selected);
    QFETCH(QString, parent);
    Editor e("seq(A,or(seq(B,C),D),star(E,F))");
    TList<BinItem*> items;
    for (const QString& text : selected)
        items.append(itemOf(e.map, text));
    QCOMPARE(shape(e.map.commonParent(items)), parent);
}

void MapWidgetEditTest::arrowKeysMoveTheSelection()
{
    Editor e("seq(A,star(B),C)");
    QStringList seen;
    for (int key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right, Qt::Key_Left,
                    Qt::Key_Left, Qt::Key_Left}) {
        press(e.map, key);
        seen << labels(e.map.selectedItems());
    }
    // The star's label selects its whole subtree; before the first: nothing.
    QCOMPARE(seen, (QStringList{"A", "B", "B *", "C", "B *", "A", ""}));
    QKeyEvent other(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
    e.map.keyPressEvent(&other);
    QVERIFY(!other.isAccepted());   // left to the parents
}

void MapWidgetEditTest::failedKeyActionRestoresTheTree()
{
    Editor e("seq(X,or(A,B))");
    e.map.insertAfter({e.node("X")});
    const QString before = e.now();
    select(e.map, {"A"});
    // The replacement inside the deletion records, then the action fails.
    bool thrown = false;
    connect(&e.map, &MapWidget::actionPerformed, this, [&thrown]() {
        if (!thrown) {
            thrown = true;
            throw std::out_of_range("list index");
        }
    });
    DebugCapture debug;
    debug.setForward(false);
    press(e.map, Qt::Key_Delete);
    QVERIFY(thrown);
    QCOMPARE(e.now(), before);
    QCOMPARE(e.map.history.size(), 2);
    QCOMPARE(e.map.historyIndex, 1);
    QCOMPARE(labels(e.map.items), QStringLiteral("X _ ( A B )"));
    select(e.map, {"A"});
    press(e.map, Qt::Key_Delete);
    QCOMPARE(e.now(), QStringLiteral("seq(X,[],or([],B))"));
}

void MapWidgetEditTest::badInput()
{
    // Deleting everything again and again.
    Editor e("seq(A,B)");
    for (int i = 0; i < 50; ++i) {
        for (BinItem* item : e.map.items)
            item->selected = true;
        press(e.map, Qt::Key_Delete);
        QCOMPARE(e.now(), QStringLiteral("seq([])"));
    }

    // 200 levels of nesting: edits, history and layout stay whole.
    QString deep = "A";
    for (int i = 0; i < 200; ++i)
        deep = QString(i % 2 ? "star(%1)" : "not(%1)").arg(deep);
    e.map.setRoot(tree("seq(" + deep + ")"));
    QCOMPARE(e.map.items.size(), 401);   // "!" or "(" ")" "*" a level, and A
    e.map.insertChoice({e.node("A")});
    e.map.insertNegation(e.node("A"));
    select(e.map, {"A"});
    press(e.map, Qt::Key_Delete);
    e.map.undo();
    e.map.undo();
    e.map.redo();
    QVERIFY(linked(e.map.root));
    std::unique_ptr<ParseNode> copy(e.map.removeEpsilons());
    QCOMPARE(shape(copy.get()), e.now());

    // A very wide pattern: the smallest size stands.
    QStringList wide;
    for (int i = 0; i < 2000; ++i)
        wide << QString::number(i);
    e.map.setRoot(tree("seq(" + wide.join(',') + ")"));
    QCOMPARE(e.map.itemSize, 4.0);
    QCOMPARE(e.map.items.size(), 2000);
    select(e.map, {"0", "1999"});
    press(e.map, Qt::Key_Delete);
    QCOMPARE(e.map.root->children.size(), 1998);
}

LUMIVANE_TEST(MapWidgetEditTest)
#include "MapWidgetEditTest.moc"
