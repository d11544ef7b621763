#include "TestRegistry.h"

#include <QtTest>

#include <typeinfo>

#include "editors/ExampleWidget.h"
#include "items/ArrowItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

class ExampleWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    // s = min(w, h) - 2, translated by the halves of widget and item, the
    // item placed at (1, 1): `expected` is the drawn square.
    void placement_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("square") << QSize(100, 100) << 1.0 << QRect(2, 2, 98, 98);
        QTest::newRow("wide") << QSize(120, 60) << 1.0 << QRect(32, 2, 58, 58);
        QTest::newRow("tall") << QSize(48, 90) << 1.0 << QRect(2, 23, 46, 46);
        QTest::newRow("half size") << QSize(100, 100) << 0.5 << QRect(27, 27, 49, 49);
    }

    void placement()
    {
        QFETCH(QSize, size);
        QFETCH(double, factor);
        QFETCH(QRect, expected);
        ExampleWidget widget;
        widget.resize(size);
        widget.setColor(QColor(250, 250, 250));
        BinItem shown(nullptr, nullptr);
        shown.fillColor = QColor(200, 0, 0);
        shown.sizeFactor = factor;
        widget.setItem(&shown);
        const QImage image = widget.grab().toImage();
        QCOMPARE(widget.item->storedWidth, double(qMin(size.width(), size.height()) - 2));
        QRect box;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) != QColor(250, 250, 250))
                    box |= QRect(x, y, 1, 1);
        // Antialiased edges may add or drop a pixel on a side.
        const QMargins slack(1, 1, 1, 1);
        QVERIFY2((expected + slack).contains(box) && box.contains(expected - slack),
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(box.x()).arg(box.y())
                                .arg(box.width()).arg(box.height())));
        QCOMPARE(image.pixelColor(expected.center()).rgb(), QColor(200, 0, 0).darker(110).rgb());
    }

    // An arrow fills the width; a glyph after a rule shows as that glyph.
    void arrowAndRule()
    {
        ExampleWidget widget;
        widget.resize(40, 40);
        ArrowItem arrow(nullptr);
        widget.setItem(&arrow);
        QImage image = widget.grab().toImage();
        QCOMPARE(widget.item->mode, ARROW);
        QCOMPARE(widget.item->storedWidth, 38.0);
        QVERIFY(image.pixelColor(10, 20) != QColor(Qt::white) || image.pixelColor(10, 21) != QColor(Qt::white));
        QCOMPARE(image.pixelColor(37, 37), QColor(Qt::white));

        auto* pre = new ParseNode(ParseNode::And);
        pre->addChild(new ParseNode(ParseNode::Leaf));
        auto* post = new ParseNode(ParseNode::And);
        post->addChild(new ParseNode(ParseNode::Leaf));
        const Rule rule(QStringLiteral("r"), pre, post, true, true);
        widget.setItem(&rule);
        QVERIFY(dynamic_cast<Rule*>(widget.item));
        BinItem shown(nullptr, nullptr);
        shown.fillColor = Qt::black;
        widget.setItem(&shown);
        QVERIFY(typeid(*widget.item) == typeid(BinItem));
        QCOMPARE(widget.grab().toImage().pixelColor(20, 20), QColor(Qt::black));
    }
};

LUMIVANE_TEST(ExampleWidgetTest)
#include "ExampleWidgetTest.moc"
