#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

#include "items/BinItem.h"
#include "patterns/ParseNode.h"

namespace {

ParseNode* comparison(const QString& name, int op, const TVariant& value)
{
    ParseNode* node = new ParseNode(ParseNode::Test);
    node->name = name;
    node->op = op;
    node->value = value;
    return node;
}

ParseNode* leafWithCondition(const QString& glyphName, ParseNode* condition)
{
    ParseNode* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = glyphName;
    leaf->glyph.condition = condition;  // a freshly made tree: the leaf takes it
    return leaf;
}

// Every node below (and including) root points at the node whose list holds it.
bool parentsConsistent(const ParseNode* root)
{
    for (const ParseNode* child : root->children) {
        if (child->parentNode != root || !parentsConsistent(child))
            return false;
    }
    return true;
}

} // namespace

class ParseNodeTest : public QObject
{
    Q_OBJECT

private slots:
    void constructionDefaults();
    void addAndInsertSetParent();
    void insertAtEnds();
    void removeChildDetaches();
    void removeUnknownChildLogs();
    void isRepetition_data();
    void isRepetition();
    void cloneOwnsItsCondition();
    void cloneKeepsSourceParentAndLinksChildren();
    void copyConstructorIsDeep();
    void stackedGlyphConditionsAreOwned();
    void setGlyphClonesStoreCondition();
    void setGlyphReplacesOldCondition();
    void deleteFreesEverything();
    void longChainsCostNoStack();
};

void ParseNodeTest::constructionDefaults()
{
    ParseNode node(ParseNode::Leaf);
    QCOMPARE(node.type, qint32(ParseNode::Leaf));
    QVERIFY(node.children.isEmpty());
    QVERIFY(!node.value.isValid());
    QCOMPARE(node.op, qint32(0));
    QVERIFY(node.name.isEmpty());
    QVERIFY(node.glyph.condition == nullptr);
    QVERIFY(node.glyph.owner == nullptr);
    QVERIFY(node.glyph.data == nullptr);
    QVERIFY(!node.isVariable);
    QVERIFY(!node.ignoreBindings);
    QVERIFY(node.parent() == nullptr);
    QVERIFY(!node.hasChildren());
}

void ParseNodeTest::addAndInsertSetParent()
{
    ParseNode root(ParseNode::And);
    ParseNode* a = new ParseNode(ParseNode::Leaf);
    ParseNode* b = new ParseNode(ParseNode::Leaf);
    root.addChild(a);
    root.insertChild(1, b);
    QCOMPARE(root.children, (QList<ParseNode*>{a, b}));
    QCOMPARE(a->parent(), &root);
    QCOMPARE(b->parent(), &root);
    QVERIFY(root.hasChildren());
}

void ParseNodeTest::insertAtEnds()
{
    ParseNode root(ParseNode::Or);
    ParseNode* middle = new ParseNode(ParseNode::Leaf);
    root.addChild(middle);
    ParseNode* front = new ParseNode(ParseNode::Leaf);
    root.insertChild(0, front);
    ParseNode* back = new ParseNode(ParseNode::Leaf);
    root.insertChild(root.children.size(), back);
    QCOMPARE(root.children, (QList<ParseNode*>{front, middle, back}));
}

void ParseNodeTest::removeChildDetaches()
{
    ParseNode root(ParseNode::And);
    ParseNode* a = new ParseNode(ParseNode::Leaf);
    ParseNode* b = new ParseNode(ParseNode::Leaf);
    root.addChild(a);
    root.addChild(b);
    root.removeChild(a);
    QCOMPARE(root.children, QList<ParseNode*>{b});
    QVERIFY(a->parent() == nullptr);
    // Still alive and ours to delete.
    a->name = QStringLiteral("still here");
    delete a;
}

void ParseNodeTest::removeUnknownChildLogs()
{
    ParseNode root(ParseNode::And);
    ParseNode* a = new ParseNode(ParseNode::Leaf);
    root.addChild(a);
    ParseNode stranger(ParseNode::Leaf);
    DebugCapture capture;
    capture.setForward(false);
    root.removeChild(&stranger);
    QCOMPARE(capture.lines(), QStringList{QStringLiteral("child not found")});
    QCOMPARE(root.children, QList<ParseNode*>{a});
    QCOMPARE(a->parent(), &root);
}

void ParseNodeTest::isRepetition_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withChild");
    QTest::addColumn<bool>("expected");
    QTest::newRow("star") << int(ParseNode::Star) << false << true;
    QTest::newRow("plus") << int(ParseNode::Plus) << true << true;
    QTest::newRow("empty group") << int(ParseNode::Group) << false << false;
    QTest::newRow("group with child") << int(ParseNode::Group) << true << true;
    QTest::newRow("bounded repetition") << int(ParseNode::Repeat) << true << false;
    QTest::newRow("sequence") << int(ParseNode::And) << true << false;
}

void ParseNodeTest::isRepetition()
{
    QFETCH(int, type);
    QFETCH(bool, withChild);
    QFETCH(bool, expected);
    ParseNode node(type);
    if (withChild)
        node.addChild(new ParseNode(ParseNode::Leaf));
    QCOMPARE(node.isRepetition(), expected);
}

void ParseNodeTest::cloneOwnsItsCondition()
{
    ParseNode* source = leafWithCondition(QStringLiteral("A"),
                                          comparison(QStringLiteral("proto"), ParseNode::Equal,
                                                     TVariant(QStringLiteral("TCP"))));
    ParseNode* copy = source->clone();
    QVERIFY(copy->glyph.condition != nullptr);
    QVERIFY(copy->glyph.condition != source->glyph.condition);
    QVERIFY(copy->glyph.condition->parent() == nullptr);
    delete source;
    // The copy's condition survives the source.
    QCOMPARE(copy->glyph.condition->name, QStringLiteral("proto"));
    QCOMPARE(copy->glyph.name, QStringLiteral("A"));
    delete copy;
}

void ParseNodeTest::cloneKeepsSourceParentAndLinksChildren()
{
    ParseNode root(ParseNode::And);
    ParseNode* star = new ParseNode(ParseNode::Star);
    root.addChild(star);
    ParseNode* choice = new ParseNode(ParseNode::Or);
    star->addChild(choice);
    choice->addChild(new ParseNode(ParseNode::Leaf));
    choice->addChild(new ParseNode(ParseNode::Leaf));

    ParseNode* copy = star->clone();
    QCOMPARE(copy->parent(), &root);
    QCOMPARE(root.children.size(), 1);  // the copy is not in the parent's list
    QCOMPARE(copy->children.size(), 1);
    QCOMPARE(copy->children.first()->type, qint32(ParseNode::Or));
    QCOMPARE(copy->children.first()->children.size(), 2);
    QVERIFY(copy->children.first() != choice);
    QVERIFY(parentsConsistent(copy));
    delete copy;
}

void ParseNodeTest::copyConstructorIsDeep()
{
    ParseNode source(ParseNode::Repeat);
    source.value = TVariant(1.0, 3.0);
    source.op = ParseNode::Less;
    source.name = QStringLiteral("n");
    source.isVariable = true;
    source.ignoreBindings = true;
    source.addChild(leafWithCondition(QStringLiteral("B"),
                                      comparison(QStringLiteral("a"), ParseNode::Equal, TVariant(1))));

    ParseNode copy(source);
    QCOMPARE(copy.type, qint32(ParseNode::Repeat));
    QCOMPARE(copy.value.toPair(), qMakePair(1.0, 3.0));
    QCOMPARE(copy.op, qint32(ParseNode::Less));
    QCOMPARE(copy.name, QStringLiteral("n"));
    QVERIFY(copy.isVariable);
    QVERIFY(copy.ignoreBindings);
    QCOMPARE(copy.children.size(), 1);
    QVERIFY(copy.children.first() != source.children.first());
    QCOMPARE(copy.children.first()->parent(), &copy);
    QVERIFY(copy.children.first()->glyph.condition != source.children.first()->glyph.condition);
}

void ParseNodeTest::stackedGlyphConditionsAreOwned()
{
    // A glyph stack read from a rules file carries conditions of its own; the
    // leaf frees them and a clone copies them.
    ParseNode* leaf = new ParseNode(ParseNode::Leaf);
    BinItem stacked(nullptr, nullptr);
    stacked.name = QStringLiteral("B");
    stacked.condition = comparison(QStringLiteral("b"), ParseNode::Equal, TVariant(2));
    leaf->glyph.children.append(stacked);

    ParseNode* copy = leaf->clone();
    QVERIFY(copy->glyph.children.at(0).condition != leaf->glyph.children.at(0).condition);
    delete leaf;
    QCOMPARE(copy->glyph.children.at(0).condition->name, QStringLiteral("b"));
    delete copy;
}

void ParseNodeTest::setGlyphClonesStoreCondition()
{
    // The store's glyph keeps its condition; the leaf gets its own copy.
    BinItem storeGlyph(nullptr, nullptr);
    storeGlyph.name = QStringLiteral("Web");
    storeGlyph.condition = comparison(QStringLiteral("port"), ParseNode::Equal, TVariant(80));
    BinItem stacked(nullptr, nullptr);
    stacked.condition = comparison(QStringLiteral("proto"), ParseNode::Equal,
                                   TVariant(QStringLiteral("TCP")));
    storeGlyph.children.append(stacked);

    ParseNode* leaf = new ParseNode(ParseNode::Leaf);
    leaf->setGlyph(storeGlyph);
    QCOMPARE(leaf->glyph.name, QStringLiteral("Web"));
    QVERIFY(leaf->glyph.condition != storeGlyph.condition);
    QVERIFY(leaf->glyph.children.at(0).condition != storeGlyph.children.at(0).condition);
    delete leaf;

    // Still usable after the leaf is gone (ASan reports a double free otherwise).
    QCOMPARE(storeGlyph.condition->name, QStringLiteral("port"));
    QCOMPARE(storeGlyph.children.at(0).condition->name, QStringLiteral("proto"));
    delete storeGlyph.condition;
    delete storeGlyph.children.at(0).condition;
}

void ParseNodeTest::setGlyphReplacesOldCondition()
{
    ParseNode leaf(ParseNode::Leaf);
    leaf.glyph.condition = comparison(QStringLiteral("old"), ParseNode::Equal, TVariant(1));
    BinItem plain(nullptr, nullptr);
    plain.name = QStringLiteral("Plain");
    leaf.setGlyph(plain);  // the old condition is freed (LeakSanitizer would say otherwise)
    QVERIFY(leaf.glyph.condition == nullptr);
    QCOMPARE(leaf.glyph.name, QStringLiteral("Plain"));
}

void ParseNodeTest::deleteFreesEverything()
{
    // Counted through the sanitizer build: no leak and no double free.
    ParseNode* root = new ParseNode(ParseNode::And);
    for (int i = 0; i < 3; ++i) {
        ParseNode* plus = new ParseNode(ParseNode::Plus);
        plus->addChild(leafWithCondition(QString::number(i),
                                         comparison(QStringLiteral("x"), ParseNode::Equal,
                                                    TVariant(i))));
        root->addChild(plus);
    }
    ParseNode* removed = root->children.at(1);
    root->removeChild(removed);
    delete root;
    QCOMPARE(removed->children.size(), 1);  // untouched by the parent's deletion
    delete removed;
}

void ParseNodeTest::longChainsCostNoStack()
{
    // A long "&&" chain groups to the right; copying and deleting it must not
    // recurse along the chain.
    const int length = 200000;
    ParseNode* root = new ParseNode(ParseNode::And);
    ParseNode* tail = root;
    for (int i = 0; i < length; ++i) {
        tail->addChild(comparison(QStringLiteral("a"), ParseNode::Equal, TVariant(i)));
        ParseNode* next = new ParseNode(ParseNode::And);
        tail->addChild(next);
        tail = next;
    }
    ParseNode* copy = root->clone();
    const ParseNode* walk = copy;
    int depth = 0;
    while (walk->children.size() == 2) {
        walk = walk->children.at(1);
        ++depth;
    }
    QCOMPARE(depth, length);
    delete root;
    delete copy;
}

LUMIVANE_TEST(ParseNodeTest)
#include "ParseNodeTest.moc"
