#include "TestRegistry.h"

#include <QtTest>

#include <QImage>
#include <QPainter>

#include "items/BinItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

namespace {

const QColor glyphFill(0, 0, 200);

ParseNode* leaf(const QString& name, int mode = NORMAL)
{
    ParseNode* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    node->glyph.mode = mode;
    node->glyph.fillColor = glyphFill;
    return node;
}

ParseNode* sequence(std::initializer_list<ParseNode*> children)
{
    ParseNode* n = new ParseNode(ParseNode::And);
    for (ParseNode* child : children)
        n->addChild(child);
    return n;
}

// Restores the process-wide glyph size after a test changes it.
struct MatrixItemSize
{
    explicit MatrixItemSize(double size) : saved(matrixItemSize) { matrixItemSize = size; }
    ~MatrixItemSize() { matrixItemSize = saved; }
    double saved;
};

QImage paintRule(Rule& rule, int w, int h)
{
    QImage image(w + 20, h + 20, QImage::Format_ARGB32);
    image.fill(Qt::black);
    rule.setWidth(w);
    rule.setHeight(h);
    QPainter painter(&image);
    QPen pen;
    QBrush brush;
    rule.paint(&painter, pen, brush);
    painter.end();
    return image;
}

bool isWhite(const QImage& image, int x, int y)
{
    return image.pixelColor(x, y) == QColor(Qt::white);
}

// Columns along the line y that are neither white nor the outside black: glyphs.
int glyphRunLength(const QImage& image, int x0, int y)
{
    int n = 0;
    for (int x = x0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        if (c == QColor(Qt::white) || c == QColor(Qt::black))
            break;
        ++n;
    }
    return n;
}

// A glyph item of the rule text form with the given fill.
QString item(const QString& name, const QString& fill)
{
    return QString("[ %1,,(%2),(0;0;0),(0;0;0),true,0,0,1 ]").arg(name, fill);
}

// Pixels of a glyph filled blue (or red): that one channel alone, shaded
// as glyphs are drawn.
int pixelsOf(const QImage& image, bool blue)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int own = blue ? c.blue() : c.red();
            const int other = blue ? c.red() : c.blue();
            n += own > 150 && other < 40 && c.green() < 40;
        }
    return n;
}

} // namespace

class RuleTest : public QObject
{
    Q_OBJECT

private slots:
    void constructionTakesItemSize_data();
    void constructionTakesItemSize();
    void emptyRule();
    void copyIsDeep();
    void copyOfNullTreeStaysNull();
    void assignmentAndSelfAssignment();
    void hasSinglePostGlyph_data();
    void hasSinglePostGlyph();
    void paintFitsAtItemSize();
    void paintShrinksUntilTheRowFits();
    void paintShrinksForHeight();
    void paintShrinksOnlyTheGlyphs();
    void paintStopsAtSizeOne();
    void everySideThatReadsIsDrawn_data();
    void everySideThatReadsIsDrawn();
    void incompleteRulePaintsWhite_data();
    void incompleteRulePaintsWhite();
    void iconRestoresGeometry();
};

void RuleTest::constructionTakesItemSize_data()
{
    QTest::addColumn<double>("size");
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("half");
    QTest::newRow("default") << 40.0 << 40 << 20;
    QTest::newRow("odd") << 25.0 << 25 << 12;
    QTest::newRow("fraction") << 30.9 << 30 << 15;
}

void RuleTest::constructionTakesItemSize()
{
    QFETCH(double, size);
    QFETCH(int, item);
    QFETCH(int, half);
    MatrixItemSize setting(size);
    Rule rule(QStringLiteral("R"), sequence({leaf("A")}), sequence({leaf("B")}), true, false);
    QCOMPARE(rule.itemSize, item);
    QCOMPARE(rule.halfItemSize, half);
    QCOMPARE(rule.margin, 3);
    QCOMPARE(rule.name, QStringLiteral("R"));
    QVERIFY(rule.match);
    QVERIFY(!rule.visible);
    // Fixed at construction.
    matrixItemSize = 10.0;
    QCOMPARE(rule.itemSize, item);
    QCOMPARE(Rule(rule).itemSize, item);
}

void RuleTest::emptyRule()
{
    Rule rule;
    QVERIFY(rule.name.isEmpty());
    QVERIFY(rule.pre == nullptr);
    QVERIFY(rule.post == nullptr);
    QVERIFY(!rule.match);
    QVERIFY(!rule.visible);
    QVERIFY(rule.condition == nullptr);
    QCOMPARE(rule.mode, qint32(NORMAL));
}

void RuleTest::copyIsDeep()
{
    Rule source(QStringLiteral("R"), sequence({leaf("A")}), sequence({leaf("B")}), true, true);
    source.margin = 7;
    Rule copy(source);
    QVERIFY(copy.pre != source.pre);
    QVERIFY(copy.post != source.post);
    QVERIFY(copy.pre->parent() == nullptr);
    QCOMPARE(copy.margin, 7);
    QCOMPARE(copy.name, QStringLiteral("R"));
    QVERIFY(copy.match);
    QVERIFY(copy.visible);

    copy.pre->addChild(leaf("C"));
    copy.pre->children.first()->glyph.name = QStringLiteral("changed");
    QCOMPARE(source.pre->children.size(), 1);
    QCOMPARE(source.pre->children.first()->glyph.name, QStringLiteral("A"));
}

void RuleTest::copyOfNullTreeStaysNull()
{
    Rule source(QStringLiteral("R"), sequence({leaf("A")}), nullptr, false, true);
    Rule copy(source);
    QVERIFY(copy.post == nullptr);
    QVERIFY(copy.pre != nullptr);
    QVERIFY(!copy.hasSinglePostGlyph());
}

void RuleTest::assignmentAndSelfAssignment()
{
    // A subtree copied out of a tree must come back as a root.
    ParseNode* outer = sequence({sequence({leaf("A")})});
    ParseNode* inner = outer->children.first();
    Rule source(QStringLiteral("S"), inner->clone(), sequence({leaf("B")}), true, true);
    delete outer;
    QVERIFY(source.pre->parent() == nullptr);
    Rule target(QStringLiteral("T"), sequence({leaf("X")}), sequence({leaf("Y")}), false, false);
    target = source;
    QCOMPARE(target.name, QStringLiteral("S"));
    QVERIFY(target.pre != source.pre);
    QVERIFY(target.pre->parent() == nullptr);
    QCOMPARE(target.pre->children.first()->glyph.name, QStringLiteral("A"));

    Rule& alias = target;
    target = alias;
    QCOMPARE(target.pre->children.first()->glyph.name, QStringLiteral("A"));
    QCOMPARE(target.post->children.first()->glyph.name, QStringLiteral("B"));

    // Rules live by value in lists: growing one copies every rule.
    TList<Rule> rules;
    for (int i = 0; i < 20; ++i)
        rules.append(source);
    QCOMPARE(rules.at(19).pre->children.first()->glyph.name, QStringLiteral("A"));
}

void RuleTest::hasSinglePostGlyph_data()
{
    QTest::addColumn<int>("preChildren");
    QTest::addColumn<int>("postKind");  // 0 sequence, 1 delete leaf, 2 none
    QTest::addColumn<bool>("expected");
    QTest::newRow("one pre, sequence post") << 1 << 0 << true;
    QTest::newRow("two pre") << 2 << 0 << false;
    QTest::newRow("post is a delete leaf") << 1 << 1 << false;
    QTest::newRow("null post") << 1 << 2 << false;
    QTest::newRow("childless pre") << 0 << 0 << false;
    QTest::newRow("null pre") << -1 << 0 << false;
}

void RuleTest::hasSinglePostGlyph()
{
    QFETCH(int, preChildren);
    QFETCH(int, postKind);
    QFETCH(bool, expected);
    ParseNode* pre = nullptr;
    if (preChildren >= 0) {
        pre = sequence({});
        for (int i = 0; i < preChildren; ++i)
            pre->addChild(leaf(QString::number(i)));
    }
    ParseNode* post = nullptr;
    if (postKind == 0)
        post = sequence({leaf("C")});
    else if (postKind == 1)
        post = leaf("DeleteItem", DELETE);
    Rule rule(QStringLiteral("R"), pre, post, true, true);
    QCOMPARE(rule.hasSinglePostGlyph(), expected);
}

// Row of A B -> C at size s: A at 3, B at 6 + s, the arrow at 12 + 2s,
// C at 12 + 3s; the row ends at 15 + 4s.
void RuleTest::paintFitsAtItemSize()
{
    MatrixItemSize setting(40.0);
    Rule rule(QStringLiteral("R"), sequence({leaf("A"), leaf("B")}), sequence({leaf("C")}), true, true);
    const QImage image = paintRule(rule, 175, 100);
    const int yc = 50;
    QVERIFY(isWhite(image, 1, yc));
    QCOMPARE(glyphRunLength(image, 3, yc), 40);   // A drawn at the full 40
    QVERIFY(isWhite(image, 44, yc));
    QCOMPARE(glyphRunLength(image, 46, yc), 40);  // B at 6 + 40
    QVERIFY(!isWhite(image, 12 + 3 * 40 + 20, yc)); // C
    QVERIFY(isWhite(image, 174, 2));
    QCOMPARE(image.pixelColor(176, yc), QColor(Qt::black));  // nothing outside the area
}

void RuleTest::paintShrinksUntilTheRowFits()
{
    MatrixItemSize setting(40.0);
    Rule rule(QStringLiteral("R"), sequence({leaf("A"), leaf("B")}), sequence({leaf("C")}), true, true);
    // 15 + 4s <= 150 first holds at s = 33.
    const QImage image = paintRule(rule, 150, 100);
    QCOMPARE(glyphRunLength(image, 3, 50), 33);
    QCOMPARE(glyphRunLength(image, 39, 50), 33);
    QVERIFY(isWhite(image, 37, 50));
}

void RuleTest::paintShrinksForHeight()
{
    MatrixItemSize setting(40.0);
    Rule rule(QStringLiteral("R"), sequence({leaf("A")}), sequence({leaf("B")}), true, true);
    // Wide enough, but 20 + s <= 50 only from s = 30 on.
    const QImage image = paintRule(rule, 400, 50);
    QCOMPARE(glyphRunLength(image, 3, 25), 30);
}

void RuleTest::paintShrinksOnlyTheGlyphs()
{
    MatrixItemSize setting(40.0);
    // An empty slot keeps its 20 pixels while the glyphs shrink: the slot at
    // 3, A at 26, the arrow at 32 + s, C at 32 + 2s; the row ends at 35 + 3s,
    // which fits 110 from s = 25 on.
    ParseNode* pre = sequence({new ParseNode(ParseNode::Group), leaf("A")});
    Rule rule(QStringLiteral("R"), pre, sequence({leaf("C")}), true, true);
    const QImage image = paintRule(rule, 110, 100);
    QVERIFY(isWhite(image, 25, 50));
    QCOMPARE(glyphRunLength(image, 26, 50), 25);
}

void RuleTest::paintStopsAtSizeOne()
{
    MatrixItemSize setting(40.0);
    Rule rule(QStringLiteral("R"), sequence({leaf("A"), leaf("B")}), sequence({leaf("C")}), true, true);
    const QImage image = paintRule(rule, 8, 30);  // never fits: drawn at size 1
    QVERIFY(isWhite(image, 0, 0));
    QVERIFY(isWhite(image, 7, 29));
}

// A side that is no sequence (rules files hold one bare item, and the
// text form reads a bare negation, choice or repetition) is drawn as the
// one element it is: the same picture as the sequence of that element,
// precondition, arrow and rewrite alike.
void RuleTest::everySideThatReadsIsDrawn_data()
{
    QTest::addColumn<QString>("pre");
    QTest::addColumn<QString>("post");
    const QString a = item("A", "0;0;200");
    const QString b = item("B", "0;0;200");
    const QString x = item("X", "255;0;0");
    QTest::newRow("bare item") << a << "&&" + x;
    QTest::newRow("bare rewrite item") << "&&" + a << x;
    QTest::newRow("both bare") << a << x;
    QTest::newRow("bare negation") << "!" + a << "&&" + x;
    QTest::newRow("bare choice") << "||" + a + b << x;
    QTest::newRow("bare star") << "*" + a << "&&" + x;
    QTest::newRow("bare bounded repetition") << "{2,3}" + a << "&&" + x;
    QTest::newRow("bare empty slot") << "[ ]" << x;
}

void RuleTest::everySideThatReadsIsDrawn()
{
    QFETCH(QString, pre);
    QFETCH(QString, post);
    MatrixItemSize setting(40.0);
    const auto sequenceOf = [](const QString& side) { return side.startsWith("&&") ? side : "&&" + side; };
    bool readable = false;
    Rule bare = Rule::fromString("R~true~true~" + pre + " --> " + post, &readable);
    QVERIFY(readable);
    Rule sequence = Rule::fromString("R~true~true~" + sequenceOf(pre) + " --> " + sequenceOf(post), &readable);
    QVERIFY(readable);

    // At the rule table's size.
    const QImage picture = bare.icon(200, 50).pixmap(200, 50).toImage();
    QCOMPARE(picture, sequence.icon(200, 50).pixmap(200, 50).toImage());
    QCOMPARE(pixelsOf(picture, true) > 0, pre.contains("A"));
    QVERIFY(pixelsOf(picture, false) > 0);
}

void RuleTest::incompleteRulePaintsWhite_data()
{
    QTest::addColumn<bool>("withPre");
    QTest::addColumn<bool>("preChildren");
    QTest::addColumn<bool>("withPost");
    QTest::newRow("null pre") << false << false << true;
    QTest::newRow("childless pre") << true << false << true;
}

void RuleTest::incompleteRulePaintsWhite()
{
    QFETCH(bool, withPre);
    QFETCH(bool, preChildren);
    QFETCH(bool, withPost);
    ParseNode* pre = withPre ? (preChildren ? sequence({leaf("A")}) : sequence({})) : nullptr;
    ParseNode* post = withPost ? sequence({leaf("B")}) : nullptr;
    Rule rule(QStringLiteral("R"), pre, post, true, true);
    const QImage image = paintRule(rule, 100, 60);
    for (int x = 0; x < 100; x += 9)
        for (int y = 0; y < 60; y += 7)
            QVERIFY(isWhite(image, x, y));

    const QIcon icon = rule.icon(32, 32);
    const QImage iconImage = icon.pixmap(32, 32).toImage();
    QCOMPARE(iconImage.size(), QSize(32, 32));
    QCOMPARE(iconImage.pixelColor(16, 16), QColor(Qt::white));
}

void RuleTest::iconRestoresGeometry()
{
    Rule rule(QStringLiteral("R"), sequence({leaf("A")}), sequence({leaf("B")}), true, true);
    rule.setPos(QPointF(100, 50));
    rule.setWidth(5);
    rule.setHeight(5);
    const QIcon icon = rule.icon(32, 32);
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes().value(0), QSize(32, 32));
    QCOMPARE(rule.x, 100.0);
    QCOMPARE(rule.y, 50.0);
    QCOMPARE(rule.width(), 5.0);
    QCOMPARE(rule.height(), 5.0);
    // The picture shows the rule, not just white: glyph A from x = 3.
    const QImage picture = icon.pixmap(32, 32).toImage();
    QVERIFY(picture.pixelColor(0, 16) == QColor(Qt::white));
    QVERIFY(picture.pixelColor(5, 16) != QColor(Qt::white));
}

LUMIVANE_TEST(RuleTest)
#include "RuleTest.moc"
