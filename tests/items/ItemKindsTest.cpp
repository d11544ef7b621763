#include "TestRegistry.h"

#include <QPainter>
#include <QtTest>

#include "PaintRecorder.h"
#include "core/Constants.h"
#include "items/ArrowItem.h"
#include "items/EmptyItem.h"
#include "items/TextItem.h"

namespace {

bool near(const QColor& a, const QColor& b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

template <typename Item>
QImage render(Item& item, int w, int h)
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

struct Recording {
    QVector<RecordedText> texts;
    QVector<RecordedShape> shapes;
    QString allText() const
    {
        QString all;
        for (const RecordedText& t : texts)
            all += t.text;
        return all;
    }
};

template <typename Item>
Recording record(Item& item)
{
    RecordingDevice device;
    {
        QPainter painter(&device);
        QPen pen;
        QBrush brush;
        item.paint(&painter, pen, brush);
    }
    return {device.engine.texts, device.engine.shapes};
}

} // namespace

class ItemKindsTest : public QObject
{
    Q_OBJECT

private slots:
    void textPixelSize_data();
    void textPixelSize();
    void bracketsDrawCurvesOnly_data();
    void bracketsDrawCurvesOnly();
    void textFrame_data();
    void textFrame();
    void emptyItem_data();
    void emptyItem();
    void arrowItem();
};

void ItemKindsTest::textPixelSize_data()
{
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("sizeFactor");
    QTest::addColumn<int>("pixelSize");
    QTest::newRow("height 5") << 5.0 << 1.0 << 5;
    QTest::newRow("height 20") << 20.0 << 1.0 << 16;
    QTest::newRow("height 7, floor") << 7.0 << 1.0 << 5;
    QTest::newRow("scaled height 30") << 15.0 << 2.0 << 24;
}

void ItemKindsTest::textPixelSize()
{
    QFETCH(double, height);
    QFETCH(double, sizeFactor);
    QFETCH(int, pixelSize);
    TextItem item("Label", false, nullptr);
    item.setWidth(100);
    item.setHeight(height);
    item.sizeFactor = sizeFactor;
    const Recording engine = record(item);
    QCOMPARE(engine.allText(), QString("Label"));
    QCOMPARE(engine.texts.first().font.pixelSize(), pixelSize);
    QCOMPARE(engine.texts.first().pen.color(), QColor(Qt::black));
}

void ItemKindsTest::bracketsDrawCurvesOnly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bulgeSide");  // column of the curve's far point: 0 left, 1 right
    QTest::newRow("opening") << "(" << 0;
    QTest::newRow("closing") << ")" << 1;
}

void ItemKindsTest::bracketsDrawCurvesOnly()
{
    QFETCH(QString, text);
    QFETCH(int, bulgeSide);
    TextItem item(text, false, nullptr);
    item.setPos(QPointF(10, 10));
    item.setWidth(20);
    item.setHeight(40);
    const Recording engine = record(item);
    QVERIFY(engine.texts.isEmpty());
    QCOMPARE(engine.shapes.size(), 1);
    QCOMPARE(engine.shapes.first().kind, QString("path"));
    QCOMPARE(engine.shapes.first().pen.width(), 2);

    // The curve's middle bulges towards the opening side of the bracket.
    const QImage image = render(item, 50, 70);
    auto dark = [&](int x, int y) { return image.pixelColor(x, y).red() < 128; };
    int darkLeft = 0;
    int darkRight = 0;
    for (int x = 10; x < 30; ++x) {
        if (dark(x, 30))
            (x < 20 ? darkLeft : darkRight)++;
    }
    if (bulgeSide == 0)
        QVERIFY(darkLeft > 0 && darkRight == 0);
    else
        QVERIFY(darkRight > 0 && darkLeft == 0);
}

void ItemKindsTest::textFrame_data()
{
    QTest::addColumn<bool>("framed");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("frame");
    QTest::newRow("framed and selected") << true << true << true;
    QTest::newRow("framed, not selected") << true << false << false;
    QTest::newRow("selected, not framed") << false << true << false;
}

void ItemKindsTest::textFrame()
{
    QFETCH(bool, framed);
    QFETCH(bool, selected);
    QFETCH(bool, frame);
    TextItem item("", framed, nullptr);
    item.setPos(QPointF(5, 5));
    item.setWidth(30);
    item.setHeight(20);
    item.selected = selected;
    const QImage image = render(item, 50, 40);
    const QColor onFrame = image.pixelColor(15, 5);
    QCOMPARE(onFrame.blue() - onFrame.red() > 80, frame);
}

void ItemKindsTest::emptyItem_data()
{
    QTest::addColumn<bool>("small");
    QTest::addColumn<double>("size");
    QTest::addColumn<int>("mode");
    QTest::newRow("large") << false << 50.0 << int(EMPTY);
    QTest::newRow("small") << true << 20.0 << int(EMPTYSMALL);
}

void ItemKindsTest::emptyItem()
{
    QFETCH(bool, small);
    QFETCH(double, size);
    QFETCH(int, mode);
    EmptyItem item(small, nullptr);
    QCOMPARE(item.width(), size);
    QCOMPARE(item.height(), size);
    QCOMPARE(item.mode, mode);
    QCOMPARE(item.edgeColor, EDGE_COLOR);
    QCOMPARE(item.edgeWidth, 1);
    QCOMPARE(item.edgeStyle, 1);
    QCOMPARE(item.fillColor.alpha(), 0);

    // A dashed outline around an unfilled box.
    item.setPos(QPointF(2, 2));
    const QImage image = render(item, 60, 60);
    QVERIFY(near(image.pixelColor(2 + int(size) / 2, 2 + int(size) / 2), Qt::white));
    int onEdge = 0;
    int offEdge = 0;
    for (int x = 4; x < 2 + int(size) - 2; ++x)
        (near(image.pixelColor(x, 2), EDGE_COLOR, 6) ? onEdge : offEdge)++;
    QVERIFY(onEdge > 0);
    QVERIFY(offEdge > 0);

    EmptyItem copy(item);
    QCOMPARE(copy.mode, mode);
}

void ItemKindsTest::arrowItem()
{
    ArrowItem item(nullptr);
    QCOMPARE(item.width(), 30.0);
    QCOMPARE(item.height(), 20.0);
    QCOMPARE(item.mode, ARROW);
    const QImage image = render(item, 40, 30);
    QVERIFY(near(image.pixelColor(10, 10), TEXT_COLOR, 10));  // shaft
    QVERIFY(near(image.pixelColor(20, 7), TEXT_COLOR, 10));   // head
    QVERIFY(near(image.pixelColor(5, 7), Qt::white));
    QVERIFY(near(image.pixelColor(28, 10), Qt::white));       // the head ends at 25.5
}

LUMIVANE_TEST(ItemKindsTest)
#include "ItemKindsTest.moc"
