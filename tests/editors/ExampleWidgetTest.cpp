#include "TestRegistry.h"

#include <QtTest>

#include <typeinfo>

#include "editors/ExampleWidget.h"
#include "items/ArrowItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

namespace {

BinItem glyph(const QString& name, const QColor& fill, double sizeFactor = 1.0)
{
    BinItem g(nullptr, nullptr);
    g.name = name;
    g.fillColor = fill;
    g.sizeFactor = sizeFactor;
    return g;
}

// The box of the pixels that differ from the background.
QRect drawnBox(const QImage& image, const QColor& background)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) != background)
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

} // namespace

class ExampleWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    // s = min(w, h) - 2; translated by the halves of widget and item, the
    // item placed at (1, 1).
    void placement_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("square") << QSize(100, 100) << 1.0 << QRect(2, 2, 98, 98);
        QTest::newRow("wide") << QSize(120, 60) << 1.0 << QRect(32, 2, 58, 58);
        QTest::newRow("tall") << QSize(48, 90) << 1.0 << QRect(2, 23, 46, 46);
        QTest::newRow("half size") << QSize(100, 100) << 0.5 << QRect(27, 27, 49, 49);
        QTest::newRow("table cell") << QSize(48, 48) << 1.0 << QRect(2, 2, 46, 46);
    }

    void placement()
    {
        QFETCH(QSize, size);
        QFETCH(double, factor);
        QFETCH(QRect, expected);
        ExampleWidget widget;
        QCOMPARE(widget.sizeHint(), QSize(100, 100));
        widget.resize(size);
        widget.setColor(QColor(250, 250, 250));
        const BinItem shown = glyph(QStringLiteral("A"), QColor(200, 0, 0), factor);
        widget.setItem(&shown);
        const QImage image = widget.grab().toImage();
        const int s = qMin(size.width(), size.height()) - 2;
        QCOMPARE(widget.item->storedWidth, double(s));
        QCOMPARE(widget.item->storedHeight, double(s));
        QCOMPARE(image.pixelColor(0, 0), QColor(250, 250, 250));
        const QRect box = drawnBox(image, QColor(250, 250, 250));
        // Antialiased edges may add or drop a pixel on a side.
        QVERIFY2(qAbs(box.left() - expected.left()) <= 1 && qAbs(box.top() - expected.top()) <= 1
                     && qAbs(box.right() - expected.right()) <= 1
                     && qAbs(box.bottom() - expected.bottom()) <= 1,
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(box.x()).arg(box.y())
                                .arg(box.width()).arg(box.height())));
        QCOMPARE(image.pixelColor(expected.center()).rgb(), QColor(200, 0, 0).darker(110).rgb());
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
        // The shaft along the middle line; the corners stay white.
        QVERIFY(image.pixelColor(10, 20) != QColor(Qt::white)
                || image.pixelColor(10, 21) != QColor(Qt::white));
        QCOMPARE(image.pixelColor(2, 3), QColor(Qt::white));
        QCOMPARE(image.pixelColor(37, 37), QColor(Qt::white));
    }

    // A glyph shown after a rule is that glyph, not the rule drawn again.
    void ruleThenGlyph()
    {
        ExampleWidget widget;
        widget.resize(200, 50);
        auto* pre = new ParseNode(ParseNode::And);
        pre->addChild(new ParseNode(ParseNode::Leaf));
        auto* post = new ParseNode(ParseNode::And);
        post->addChild(new ParseNode(ParseNode::Leaf));
        const Rule rule(QStringLiteral("r"), pre, post, true, true);
        widget.setItem(&rule);
        QVERIFY(dynamic_cast<Rule*>(widget.item));

        const BinItem shown = glyph(QStringLiteral("G"), QColor(0, 0, 0));
        widget.setItem(&shown);
        QVERIFY(typeid(*widget.item) == typeid(BinItem));
        QCOMPARE(widget.item->name, QStringLiteral("G"));
        QCOMPARE(widget.grab().toImage().pixelColor(100, 25), QColor(0, 0, 0));
        widget.setItem(nullptr);
        QCOMPARE(widget.item->name, QStringLiteral("G"));
    }
};

LUMIVANE_TEST(ExampleWidgetTest)
#include "ExampleWidgetTest.moc"
