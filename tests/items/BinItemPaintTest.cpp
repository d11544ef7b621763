#include "TestRegistry.h"

#include <QPainter>
#include <QtTest>

#include <cmath>

#include "PaintRecorder.h"
#include "core/Constants.h"
#include "items/BinItem.h"
#include "items/EmptyItem.h"
#include "patterns/ParseNode.h"

namespace {

QImage render(BinItem& item, int w = 80, int h = 80)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QPen pen;
    QBrush brush;
    item.paint(&painter, pen, brush);
    painter.end();
    return image;
}

// The fill a glyph shows for its colour: darkened, and at alpha 200 over
// white when faded.
QColor shown(const QColor& fill, bool faded)
{
    const QColor dark = fill.darker(110);
    if (!faded)
        return dark;
    auto blend = [](int c) { return (c * 200 + 255 * 55) / 255; };
    return QColor(blend(dark.red()), blend(dark.green()), blend(dark.blue()));
}

bool near(const QColor& a, const QColor& b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

bool isBlueish(const QColor& c) { return c.blue() - c.red() > 80 && c.blue() - c.green() > 80; }
bool isRed(const QColor& c) { return c.red() > 200 && c.green() < 70 && c.blue() < 70; }

int countPixels(const QImage& image, bool (*test)(const QColor&))
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (test(image.pixelColor(x, y)))
                ++n;
    return n;
}

BinItem glyph(const QColor& fill, double size = 40)
{
    BinItem item(nullptr, nullptr);
    item.fillColor = fill;
    item.setWidth(size);
    item.setHeight(size);
    return item;
}

const QColor ITEM(0, 200, 0);
const QColor FIRST(200, 0, 0);
const QColor SECOND(0, 0, 200);
const QColor THIRD(200, 200, 0);

struct Probe {
    QPoint at;
    QString what;  // "item", "first", "second", "card", "white"
};

} // namespace

Q_DECLARE_METATYPE(QList<Probe>)

class BinItemPaintTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { showMulti = true; }
    void stackOffsets_data();
    void stackOffsets();
    void tinyStackOutlinesWithoutChangingItem();
    void fillWithoutOpacity_data();
    void fillWithoutOpacity();
    void selectionOutline_data();
    void selectionOutline();
    void badge_data();
    void badge();
    void badgeDisc();
    void label_data();
    void label();
    void labelGrowthIsBounded();
    void deleteMode();
    void emptyStackDrawsSmallBoxBottomRight();
    void highlightOutlineGrows_data();
    void highlightOutlineGrows();
    void modesDrawTheirOwnFigure_data();
    void modesDrawTheirOwnFigure();
    void degenerateIcon();
};

void BinItemPaintTest::stackOffsets_data()
{
    QTest::addColumn<int>("childCount");
    QTest::addColumn<double>("size");
    QTest::addColumn<bool>("multi");
    QTest::addColumn<QList<Probe>>("probes");

    // One child, 40 x 40 (step 0.1): the child at 0, the item at 4, both 36 wide.
    QTest::newRow("one child") << 1 << 40.0 << true
        << QList<Probe>{{{1, 1}, "first"}, {{20, 20}, "item"}, {{39, 39}, "item"},
                        {{3, 3}, "first"}, {{4, 4}, "item"}, {{2, 38}, "white"}, {{38, 2}, "white"}};
    // Two children: 32.4 wide at offsets 0, 4 and 8.
    QTest::newRow("two children") << 2 << 40.0 << true
        << QList<Probe>{{{1, 1}, "second"}, {{34, 5}, "first"}, {{8, 8}, "item"},
                        {{39, 39}, "item"}, {{6, 38}, "white"}, {{2, 34}, "white"}};
    // Three or more: a dashed white card behind the first child.
    QTest::newRow("three children") << 3 << 40.0 << true
        << QList<Probe>{{{2, 2}, "card"}, {{34, 5}, "first"}, {{20, 20}, "item"}};
    // A step of 4.5 truncates: the offsets are 0, 4, 8, not 0, 4.5, 9.
    QTest::newRow("truncated steps") << 2 << 45.0 << true
        << QList<Probe>{{{3, 3}, "second"}, {{38, 5}, "first"}, {{8, 8}, "item"},
                        {{38, 8}, "item"}};
    QTest::newRow("multi off") << 3 << 40.0 << false
        << QList<Probe>{{{1, 1}, "item"}, {{39, 39}, "item"}};
}

void BinItemPaintTest::stackOffsets()
{
    QFETCH(int, childCount);
    QFETCH(double, size);
    QFETCH(bool, multi);
    QFETCH(QList<Probe>, probes);

    showMulti = multi;
    BinItem item = glyph(ITEM, size);
    const QColor colours[] = {FIRST, SECOND, THIRD};
    for (int i = 0; i < childCount; ++i)
        item.children.append(glyph(colours[i], 5));
    const QImage image = render(item);

    for (const Probe& probe : probes) {
        QColor expected;
        if (probe.what == "item")
            expected = shown(ITEM, false);
        else if (probe.what == "first")
            expected = shown(FIRST, true);
        else if (probe.what == "second")
            expected = shown(SECOND, true);
        else if (probe.what == "card")
            expected = shown(Qt::white, false);
        else
            expected = Qt::white;
        const QColor actual = image.pixelColor(probe.at);
        QVERIFY2(near(actual, expected),
                 qPrintable(QString("%1 at (%2,%3): got %4, want %5")
                                .arg(probe.what).arg(probe.at.x()).arg(probe.at.y())
                                .arg(actual.name(), expected.name())));
    }
}

void BinItemPaintTest::tinyStackOutlinesWithoutChangingItem()
{
    BinItem item = glyph(ITEM, 10);
    item.setPos(QPointF(5, 5));
    item.children.append(glyph(FIRST, 10));
    const QImage image = render(item, 30, 30);
    // Drawn alone at full size with a 2-pixel edge in the text colour.
    QVERIFY(near(image.pixelColor(4, 10), TEXT_COLOR) || near(image.pixelColor(5, 10), TEXT_COLOR));
    QVERIFY(near(image.pixelColor(10, 10), shown(ITEM, false)));
    QCOMPARE(item.edgeWidth, 0);

    // The next plain painting has no edge again.
    item.children.clear();
    const QImage plain = render(item, 30, 30);
    QVERIFY(near(plain.pixelColor(5, 10), shown(ITEM, false)));
    QVERIFY(near(plain.pixelColor(4, 10), Qt::white));
}

void BinItemPaintTest::fillWithoutOpacity_data()
{
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("edgeWidth");
    QTest::addColumn<bool>("asChild");
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<QColor>("expected");

    // A transparent fill stays unfilled, as an empty placeholder's copy
    // shows it; the forced alpha used to make it solid black.
    QTest::newRow("square") << QColor(Qt::transparent) << int(SQUARE) << 0 << false << QPoint(20, 20)
                            << QColor(Qt::white);
    QTest::newRow("circle") << QColor(Qt::transparent) << int(CIRCLE) << 0 << false << QPoint(20, 20)
                            << QColor(Qt::white);
    // The dashed edge of a placeholder still shows around the empty inside.
    QTest::newRow("edge kept") << QColor(Qt::transparent) << int(SQUARE) << 2 << false << QPoint(20, 20)
                               << QColor(Qt::white);
    // A faded stacked child without fill: nothing, not a dark grey square.
    QTest::newRow("faded child") << QColor(Qt::transparent) << int(SQUARE) << 0 << true << QPoint(1, 1)
                                 << QColor(Qt::white);
    // Any opacity at all is still drawn fully opaque.
    QTest::newRow("partly transparent") << QColor(0, 200, 0, 1) << int(SQUARE) << 0 << false
                                        << QPoint(20, 20) << shown(QColor(0, 200, 0), false);
    QTest::newRow("partly transparent child") << QColor(0, 200, 0, 100) << int(SQUARE) << 0 << true
                                              << QPoint(1, 1) << shown(QColor(0, 200, 0), true);
}

void BinItemPaintTest::fillWithoutOpacity()
{
    QFETCH(QColor, fill);
    QFETCH(int, shape);
    QFETCH(int, edgeWidth);
    QFETCH(bool, asChild);
    QFETCH(QPoint, probe);
    QFETCH(QColor, expected);

    BinItem item = glyph(asChild ? ITEM : fill);
    if (asChild) {
        item.children.append(glyph(fill, 5));
    } else {
        item.shape = shape;
        item.edgeWidth = edgeWidth;
        item.edgeColor = TEXT_COLOR;
    }
    const QImage image = render(item);
    const QColor actual = image.pixelColor(probe);
    QVERIFY2(near(actual, expected), qPrintable(QString("got %1, want %2").arg(actual.name(), expected.name())));
    if (edgeWidth > 0)
        QVERIFY(near(image.pixelColor(0, 20), TEXT_COLOR));
}

void BinItemPaintTest::selectionOutline_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("selectedCount");
    QTest::addColumn<bool>("dashed");
    QTest::newRow("square, part selected") << int(SQUARE) << 3 << true;
    QTest::newRow("square, all selected") << int(SQUARE) << 5 << false;
    QTest::newRow("circle, part selected") << int(CIRCLE) << 3 << false;
    QTest::newRow("circle, all selected") << int(CIRCLE) << 5 << false;
}

void BinItemPaintTest::selectionOutline()
{
    QFETCH(int, shape);
    QFETCH(int, selectedCount);
    QFETCH(bool, dashed);

    BinItem item = glyph(DEFAULT_FILL_COLOR);
    item.shape = shape;
    item.setPos(QPointF(10, 10));
    item.selected = true;
    item.selectedCount = selectedCount;
    item.totalCount = 5;
    const QImage image = render(item, 60, 60);

    // Walk the outline and count the samples where the selection colour is missing.
    int samples = 0;
    int gaps = 0;
    if (shape == SQUARE) {
        for (int x = 12; x <= 48; ++x, ++samples)
            if (!isBlueish(image.pixelColor(x, 9)))
                ++gaps;
    } else {
        for (int degrees = 0; degrees < 360; degrees += 4, ++samples) {
            const double a = qDegreesToRadians(double(degrees));
            bool hit = false;
            for (double r = 19.5; r <= 21.51 && !hit; r += 0.5)
                hit = isBlueish(image.pixelColor(int(std::floor(30 + r * std::cos(a))),
                                                 int(std::floor(30 + r * std::sin(a)))));
            if (!hit)
                ++gaps;
        }
    }
    QVERIFY(samples > 30);
    if (dashed)
        QVERIFY2(gaps > 3, qPrintable(QString::number(gaps)));
    else
        QCOMPARE(gaps, 0);
}

void BinItemPaintTest::badge_data()
{
    QTest::addColumn<bool>("withCondition");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<double>("size");
    QTest::addColumn<bool>("showDetail");
    QTest::addColumn<QString>("text");
    QTest::newRow("condition, no detail") << true << "" << 40.0 << true << "!";
    QTest::newRow("condition wins over detail") << true << "7" << 40.0 << true << "!";
    QTest::newRow("detail only") << false << "7" << 40.0 << true << "7";
    QTest::newRow("detail on a small glyph") << false << "7" << 20.0 << true << "";
    QTest::newRow("condition on a small glyph") << true << "" << 20.0 << true << "!";
    QTest::newRow("detail text switched off") << true << "" << 40.0 << false << "";
}

void BinItemPaintTest::badge()
{
    QFETCH(bool, withCondition);
    QFETCH(QString, detail);
    QFETCH(double, size);
    QFETCH(bool, showDetail);
    QFETCH(QString, text);

    ParseNode condition(ParseNode::Test);
    BinItem item = glyph(DEFAULT_FILL_COLOR, size);
    item.condition = withCondition ? &condition : nullptr;
    item.detail = detail;
    item.showDetail = showDetail;
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen pen;
        QBrush brush;
        item.paint(&painter, pen, brush);
    }
    QCOMPARE(device.engine.allText(), text);
    bool disc = false;
    for (const RecordedShape& shape : device.engine.shapes)
        disc = disc || (shape.kind == "ellipse" && shape.brush.color() == QColor(Qt::red));
    QVERIFY(disc);
    if (!text.isEmpty()) {
        const QFont font = device.engine.texts.first().font;
        QCOMPARE(font.pixelSize(), 15);  // trunc(0.7 s + 8) is below the floor of 15
        QCOMPARE(font.weight(), 75);
    }
}

void BinItemPaintTest::badgeDisc()
{
    ParseNode condition(ParseNode::Test);
    BinItem item = glyph(DEFAULT_FILL_COLOR);
    item.setPos(QPointF(20, 20));
    QCOMPARE(countPixels(render(item, 100, 100), isRed), 0);

    // A red disc of radius 10 on the top edge, centred at 0.6 w + 0.5 s
    // (probed away from its text).
    item.condition = &condition;
    const QImage withBadge = render(item, 100, 100);
    QVERIFY(isRed(withBadge.pixelColor(42, 15)));
    QVERIFY(isRed(withBadge.pixelColor(56, 16)));
    QVERIFY(isRed(withBadge.pixelColor(41, 20)));
    QVERIFY(!isRed(withBadge.pixelColor(37, 20)));

    // A faded child without condition shows no badge, even with a detail text.
    BinItem stacked = glyph(DEFAULT_FILL_COLOR);
    stacked.setPos(QPointF(20, 20));
    BinItem child = glyph(FIRST);
    child.detail = "3";
    stacked.children.append(child);
    QCOMPARE(countPixels(render(stacked, 100, 100), isRed), 0);
}

void BinItemPaintTest::label_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<bool>("show");
    QTest::addColumn<QString>("drawn");
    QTest::addColumn<QColor>("pen");
    QTest::newRow("light fill") << "Ab" << QColor(222, 226, 230) << 40.0 << 40.0 << true << "Ab" << QColor(Qt::black);
    QTest::newRow("dark fill") << "Ab" << QColor(0, 0, 100) << 40.0 << 40.0 << true << "Ab" << QColor(Qt::white);
    // The merged count on an empty glyph's copy: no fill under it, so dark text.
    QTest::newRow("no fill") << "3" << QColor(Qt::transparent) << 40.0 << 40.0 << true << "3" << QColor(Qt::black);
    QTest::newRow("Gray is never drawn") << "Gray" << QColor(222, 226, 230) << 40.0 << 40.0 << true << "" << QColor();
    QTest::newRow("15 wide") << "Ab" << QColor(222, 226, 230) << 15.0 << 40.0 << true << "" << QColor();
    QTest::newRow("10 high") << "Ab" << QColor(222, 226, 230) << 40.0 << 10.0 << true << "" << QColor();
    QTest::newRow("16 x 11") << "A" << QColor(222, 226, 230) << 16.0 << 11.0 << true << "A" << QColor(Qt::black);
    QTest::newRow("labels off") << "Ab" << QColor(222, 226, 230) << 40.0 << 40.0 << false << "" << QColor();
}

void BinItemPaintTest::label()
{
    QFETCH(QString, text);
    QFETCH(QColor, fill);
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(bool, show);
    QFETCH(QString, drawn);
    QFETCH(QColor, pen);

    BinItem item = glyph(fill);
    item.setWidth(width);
    item.setHeight(height);
    item.label = text;
    item.showLabel = show;
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen p;
        QBrush b;
        item.paint(&painter, p, b);
        // The painter's font is back to the default afterwards.
        QCOMPARE(painter.font(), QFont());
    }
    QCOMPARE(device.engine.allText(), drawn);
    if (!drawn.isEmpty()) {
        QCOMPARE(device.engine.texts.first().pen.color(), pen);
        // Grown from the default size while it fits 80 % of the box.
        QVERIFY(device.engine.texts.first().font.pointSize() >= QFont().pointSize());
    }
}

void BinItemPaintTest::labelGrowthIsBounded()
{
    BinItem item = glyph(DEFAULT_FILL_COLOR, 20000);
    item.label = "x";
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen p;
        QBrush b;
        item.paint(&painter, p, b);
    }
    QCOMPARE(device.engine.texts.size(), 1);
    QCOMPARE(device.engine.texts.first().font.pointSize(), 200);
}

void BinItemPaintTest::deleteMode()
{
    BinItem item = glyph(ITEM);
    item.mode = DELETE;
    item.label = "Ab";
    const QImage image = render(item, 50, 50);
    QVERIFY(isRed(image.pixelColor(20, 20)));   // on the diagonals
    QVERIFY(isRed(image.pixelColor(20, 19)) || isRed(image.pixelColor(19, 20)));
    QVERIFY(!isRed(image.pixelColor(10, 20)));
    QVERIFY(near(image.pixelColor(1, 20), TEXT_COLOR) || near(image.pixelColor(0, 20), TEXT_COLOR));
}

void BinItemPaintTest::emptyStackDrawsSmallBoxBottomRight()
{
    EmptyItem item(false, nullptr);  // 50 x 50
    item.children.append(glyph(FIRST, 5));
    const QImage image = render(item, 60, 60);
    auto isEdge = [](const QColor& c) { return near(c, EDGE_COLOR, 6); };
    // The child, 45 x 45, covers the top left; the item itself is a 20 x 20
    // dashed box in the bottom-right corner.
    QVERIFY(near(image.pixelColor(20, 20), shown(FIRST, true)));
    int edgeRight = 0;
    for (int y = 30; y <= 50; ++y)
        edgeRight += isEdge(image.pixelColor(50, y)) ? 1 : 0;
    QVERIFY(edgeRight > 5);
    for (int y = 0; y < 28; ++y)
        QVERIFY(!isEdge(image.pixelColor(50, y)));
}

void BinItemPaintTest::highlightOutlineGrows_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRectF>("outline");
    // Shapes at (10, 20), 40 x 40; the outline is grown by half a pixel.
    QTest::newRow("square") << int(SQUARE) << "rect" << QRectF(9.5, 19.5, 41, 41);
    QTest::newRow("circle") << int(CIRCLE) << "ellipse" << QRectF(9.5, 19.5, 41, 41);
    // The triangle's outline is shifted half a pixel right at apex and base.
    QTest::newRow("triangle") << int(TRIANGLE) << "path" << QRectF(9.5, 20, 41, 40);
    QTest::newRow("diamond") << int(DIAMOND) << "path" << QRectF(10, 20, 41, 41);
}

void BinItemPaintTest::highlightOutlineGrows()
{
    QFETCH(int, shape);
    QFETCH(QString, kind);
    QFETCH(QRectF, outline);
    BinItem item = glyph(DEFAULT_FILL_COLOR);
    item.shape = shape;
    item.setPos(QPointF(10, 20));
    item.highlighted = true;
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen pen;
        QBrush brush;
        item.paint(&painter, pen, brush);
    }
    const QVector<RecordedShape>& shapes = device.engine.shapes;
    QCOMPARE(shapes.size(), 2);
    QCOMPARE(shapes[1].kind, kind);
    QCOMPARE(shapes[1].bounds, outline);
    QCOMPARE(shapes[1].pen.color().rgb(), HOVER_COLOR.rgb());
    QCOMPARE(shapes[1].pen.color().alpha(), 255);  // the glyph's alpha replaces the colour's
    QCOMPARE(shapes[1].pen.width(), 2);
    QCOMPARE(shapes[1].brush.style(), Qt::NoBrush);
}

void BinItemPaintTest::modesDrawTheirOwnFigure_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("kinds");
    QTest::newRow("delete") << int(DELETE) << QStringList({"rect", "line", "line"});
    QTest::newRow("none") << int(NONE) << QStringList({"ellipse", "line"});
    QTest::newRow("arrow") << int(ARROW) << QStringList({"line", "path"});
}

void BinItemPaintTest::modesDrawTheirOwnFigure()
{
    QFETCH(int, mode);
    QFETCH(QStringList, kinds);
    ParseNode condition(ParseNode::Test);
    BinItem item = glyph(DEFAULT_FILL_COLOR);
    item.mode = mode;
    item.label = "Ab";
    item.condition = &condition;
    item.edgeWidth = 3;
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen pen;
        QBrush brush;
        item.paint(&painter, pen, brush);
    }
    // No shape, label or badge: only the mode's own figure.
    QStringList drawn;
    for (const RecordedShape& shape : device.engine.shapes)
        drawn << shape.kind;
    QCOMPARE(drawn, kinds);
    QVERIFY(device.engine.texts.isEmpty());
}

void BinItemPaintTest::degenerateIcon()
{
    BinItem item = glyph(ITEM);
    item.setPos(QPointF(3, 4));
    QVERIFY(item.icon(0.5, 20).isNull());
    QCOMPARE(item.pos(), QPointF(3, 4));
    QCOMPARE(item.storedWidth, 40.0);
}

LUMIVANE_TEST(BinItemPaintTest)
#include "BinItemPaintTest.moc"
