#include "TestRegistry.h"

#include <QtTest>

#include <memory>
#include <typeinfo>

#include "editors/ExampleWidget.h"
#include "items/ArrowItem.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

namespace {

BinItem glyph(const QString& name, const QColor& fill, double sizeFactor = 1.0)
{
    BinItem g(nullptr, nullptr);
    g.name = name;
    g.fillColor = fill;
    g.edgeWidth = 0;
    g.sizeFactor = sizeFactor;
    return g;
}

// The box of the pixels that differ from the background.
QRect drawnBox(const QImage& image, const QColor& background)
{
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == background)
                continue;
            left = qMin(left, x);
            right = qMax(right, x);
            top = qMin(top, y);
            bottom = qMax(bottom, y);
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

Rule twoGlyphRule()
{
    auto* pre = new ParseNode(ParseNode::And);
    auto* a = new ParseNode(ParseNode::Leaf);
    a->glyph = glyph(QStringLiteral("A"), QColor(0, 0, 255));
    pre->addChild(a);
    auto* post = new ParseNode(ParseNode::And);
    auto* b = new ParseNode(ParseNode::Leaf);
    b->glyph = glyph(QStringLiteral("B"), QColor(0, 255, 0));
    post->addChild(b);
    return Rule(QStringLiteral("r"), pre, post, true, true);
}

} // namespace

class ExampleWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        ExampleWidget widget;
        QCOMPARE(widget.sizeHint(), QSize(100, 100));
        QCOMPARE(widget.background, QColor(Qt::white));
        QVERIFY(widget.item);
        QCOMPARE(widget.item->mode, NORMAL);
    }

    // The item is drawn min(w, h) - 2 wide and high, centred by halves of
    // the widget and the item and placed one pixel in.
    void placement_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("square") << QSize(100, 100) << 1.0 << QRect(QPoint(2, 2), QPoint(99, 99));
        QTest::newRow("wide") << QSize(120, 60) << 1.0 << QRect(32, 2, 58, 58);
        QTest::newRow("tall") << QSize(48, 90) << 1.0 << QRect(2, 23, 46, 46);
        QTest::newRow("half size") << QSize(100, 100) << 0.5 << QRect(QPoint(27, 27), QPoint(75, 75));
        QTest::newRow("table cell") << QSize(48, 48) << 1.0 << QRect(QPoint(2, 2), QPoint(47, 47));
    }

    void placement()
    {
        QFETCH(QSize, size);
        QFETCH(double, factor);
        QFETCH(QRect, expected);
        ExampleWidget widget;
        widget.resize(size);
        widget.setColor(QColor(250, 250, 250));
        const BinItem shown = glyph(QStringLiteral("A"), QColor(200, 0, 0), factor);
        widget.setItem(&shown);
        const QImage image = widget.grab().toImage();
        const int s = qMin(size.width(), size.height()) - 2;
        QCOMPARE(widget.item->storedWidth, double(s));
        QCOMPARE(widget.item->storedHeight, double(s));
        QCOMPARE(widget.item->pos(), QPointF(1, 1));
        QCOMPARE(image.pixelColor(0, 0), QColor(250, 250, 250));
        const QRect box = drawnBox(image, QColor(250, 250, 250));
        // Antialiased edges may add or drop a pixel on a side.
        QVERIFY2(qAbs(box.left() - expected.left()) <= 1 && qAbs(box.top() - expected.top()) <= 1
                     && qAbs(box.right() - expected.right()) <= 1
                     && qAbs(box.bottom() - expected.bottom()) <= 1,
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(box.x()).arg(box.y())
                                .arg(box.width()).arg(box.height())));
        const QPoint centre = expected.center();
        QCOMPARE(image.pixelColor(centre).rgb(), QColor(200, 0, 0).darker(110).rgb());
    }

    void arrowItem()
    {
        ExampleWidget widget;
        widget.resize(40, 40);
        ArrowItem arrow(nullptr);
        widget.setItem(&arrow);
        QCOMPARE(widget.item->mode, ARROW);
        const QImage image = widget.grab().toImage();
        QCOMPARE(widget.item->storedWidth, 38.0);
        // The shaft runs along the middle line; the corners stay white.
        QVERIFY(image.pixelColor(10, 20) != QColor(Qt::white)
                || image.pixelColor(10, 21) != QColor(Qt::white));
        QCOMPARE(image.pixelColor(2, 3), QColor(Qt::white));
        QCOMPARE(image.pixelColor(37, 37), QColor(Qt::white));
    }

    void ruleThenGlyph()
    {
        ExampleWidget widget;
        widget.resize(200, 50);
        const Rule rule = twoGlyphRule();
        widget.setItem(&rule);
        QVERIFY(dynamic_cast<Rule*>(widget.item));
        QCOMPARE(widget.item->name, QStringLiteral("r"));

        // A glyph after the rule shows as that glyph, not as the old rule.
        const BinItem shown = glyph(QStringLiteral("G"), QColor(0, 0, 0));
        widget.setItem(&shown);
        QVERIFY(typeid(*widget.item) == typeid(BinItem));
        QCOMPARE(widget.item->name, QStringLiteral("G"));
        const QImage image = widget.grab().toImage();
        QCOMPARE(image.pixelColor(100, 25), QColor(0, 0, 0));

        // The widget keeps a copy: the shown glyph may go.
        {
            const BinItem other = glyph(QStringLiteral("H"), QColor(1, 2, 3));
            widget.setItem(&other);
        }
        QCOMPARE(widget.item->name, QStringLiteral("H"));
        widget.setItem(nullptr);
        QCOMPARE(widget.item->name, QStringLiteral("H"));
    }
};

LUMIVANE_TEST(ExampleWidgetTest)
#include "ExampleWidgetTest.moc"
