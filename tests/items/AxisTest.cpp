#include "TestRegistry.h"

#include "core/TVariant.h"
#include "items/Axis.h"
#include "items/BinAxis.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

// An axis with an arbitrary label list, to paint the degenerate layouts the
// real kinds rarely produce.
class LabelAxis : public IAxis
{
public:
    LabelAxis(int bins, const TList<QString>& texts, bool edges, bool vertical)
        : IAxis(QPointF(0, 0), 200, 40, "name", vertical), bins(bins)
    {
        labelList = texts;
        edgeLabels = edges;
    }
    int count() const override { return bins; }
    double position(const TVariant&) const override { return 0; }
    int binIndex(const TVariant&) const override { return 0; }
    TList<QString> labels() const override { return labelList; }
    int bins;
};

QImage paintAxis(IAxis& axis, int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    QPen pen;
    QBrush brush;
    axis.paint(&painter, brush, pen);
    painter.end();
    return img;
}

bool hasInk(const QImage& img)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != qRgb(255, 255, 255))
                return true;
    return false;
}

} // namespace

class AxisTest : public QObject
{
    Q_OBJECT

private slots:
    void binIndex_data();
    void binIndex();
    void noneValue();
    void labelsAndCount();
    void deleteThroughInterface();
    void paintDegenerate_data();
    void paintDegenerate();
    void verticalLabelsNeedRoom();
    void horizontalEdgeLabelsAtTheEnds();
};

void AxisTest::binIndex_data()
{
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("width");
    QTest::addColumn<bool>("log");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("linear middle") << 0.0 << 100.0 << 200.0 << false << 50.0 << 100;
    QTest::newRow("linear below clamps") << 0.0 << 100.0 << 200.0 << false << -10.0 << 0;
    QTest::newRow("linear above not clamped") << 0.0 << 100.0 << 200.0 << false << 150.0 << 300;
    QTest::newRow("linear truncates") << 0.0 << 3.0 << 100.0 << false << 1.0 << 33;
    QTest::newRow("log middle") << 1.0 << 10000.0 << 400.0 << true << 100.0 << 200;
    QTest::newRow("log max by equality") << 1.0 << 10000.0 << 400.0 << true << 10000.0 << 400;
    QTest::newRow("log of zero is zero") << 1.0 << 10000.0 << 400.0 << true << 0.0 << 0;
    QTest::newRow("log of negative") << 1.0 << 10000.0 << 400.0 << true << -5.0 << 0;
    QTest::newRow("empty range, equal value") << 5.0 << 5.0 << 100.0 << false << 5.0 << 0;
    QTest::newRow("empty range, above") << 5.0 << 5.0 << 100.0 << false << 6.0 << 0;
    QTest::newRow("empty range, below") << 5.0 << 5.0 << 100.0 << false << 4.0 << 0;
    QTest::newRow("empty log range (0 to 1)") << 0.0 << 1.0 << 100.0 << true << 0.5 << 0;
    QTest::newRow("empty log range, value") << 3.0 << 3.0 << 100.0 << true << 7.0 << 0;
    QTest::newRow("huge value clamps")
        << 0.0 << 1.0 << 100.0 << false << 1e300 << std::numeric_limits<int>::max();
    QTest::newRow("overflowing ratio clamps")
        << 0.0 << 1e-300 << 100.0 << false << 1e300 << std::numeric_limits<int>::max();
}

void AxisTest::binIndex()
{
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, width);
    QFETCH(bool, log);
    QFETCH(double, value);
    QFETCH(int, expected);

    Axis axis(QPointF(0, 0), 0, 0, "a", 0, min, max, false);
    axis.setSize(width, 30);
    axis.logScale = log;
    const TVariant v(value);
    QCOMPARE(axis.binIndex(v), expected);
    QCOMPARE(axis.position(v), double(expected));
}

void AxisTest::noneValue()
{
    Axis axis(QPointF(0, 0), 200, 30, "a", 0, 0, 100, false);
    QCOMPARE(axis.binIndex(TVariant()), -1);
    QCOMPARE(axis.position(TVariant()), -1.0);
    // A string reads as 0.
    QCOMPARE(axis.binIndex(TVariant(QString("abc"))), 0);
}

void AxisTest::labelsAndCount()
{
    Axis axis(QPointF(0, 0), 0, 0, "a", 3, 0, 1000000, true);
    QCOMPARE(axis.count(), 2147483647);
    QCOMPARE(axis.labels().toQList(), (QList<QString>{"0", "1e+06"}));
    QVERIFY(axis.edgeLabels);
    QCOMPARE(axis.column, 3);
    QVERIFY(axis.vertical);
    QVERIFY(!axis.logScale);
}

void AxisTest::deleteThroughInterface()
{
    // The whole axis goes when deleted through the interface (checked by the
    // leak sanitizer for the label, map and list storage).
    std::unique_ptr<IAxis> axis(new Axis(QPointF(0, 0), 10, 10, "name", 0, 0, 1, false));
    TList<TVariant> values;
    values.append(TVariant(QString("a")));
    std::unique_ptr<IAxis> bins(new BinAxis(QPointF(0, 0), 10, 10, "name", values,
                                            THash<QString, int>(), false, false, false));
    QCOMPARE(bins->count(), 1);
}

void AxisTest::paintDegenerate_data()
{
    QTest::addColumn<int>("bins");
    QTest::addColumn<int>("labels");
    QTest::addColumn<bool>("edges");
    QTest::addColumn<bool>("vertical");

    QTest::newRow("no bins") << 0 << 3 << false << false;
    QTest::newRow("no bins, vertical") << 0 << 3 << false << true;
    QTest::newRow("one edge label") << 1 << 1 << true << false;
    QTest::newRow("one edge label, vertical") << 1 << 1 << true << true;
    QTest::newRow("no labels") << 4 << 0 << false << false;
    QTest::newRow("many bins, no room") << 100000 << 3 << false << false;
}

void AxisTest::paintDegenerate()
{
    QFETCH(int, bins);
    QFETCH(int, labels);
    QFETCH(bool, edges);
    QFETCH(bool, vertical);

    TList<QString> texts;
    for (int i = 0; i < labels; ++i)
        texts.append(QString("label%1").arg(i));
    LabelAxis axis(bins, texts, edges, vertical);
    axis.x = vertical ? 50 : 0;
    axis.y = vertical ? 220 : 0;
    // Must draw without an undefined conversion (the sanitizer build checks).
    const QImage img = paintAxis(axis, 260, 260);
    // The axis line is always drawn.
    QVERIFY(hasInk(img));

    // An axis of enormous length is clamped, not overflowed.
    Axis huge(QPointF(0, 0), 1e300, 1e300, "h", 0, 0, 1, false);
    paintAxis(huge, 20, 20);
}

void AxisTest::verticalLabelsNeedRoom()
{
    // Vertical bin axes draw their label text only when a bin is taller than
    // the font; otherwise only the ticks. Two axes that differ only in their
    // label texts therefore paint the same image when the bins are small.
    auto image = [](const QString& prefix, double length) {
        TList<TVariant> values;
        for (int i = 0; i < 3; ++i)
            values.append(TVariant(prefix + QString::number(i)));
        BinAxis axis(QPointF(40, length + 10), length, 40, QString(), values,
                     THash<QString, int>(), true, false, false);
        return paintAxis(axis, 100, int(length) + 20);
    };
    QCOMPARE(image("a", 15), image("wwww", 15));
    QVERIFY(image("a", 300) != image("wwww", 300));
}

void AxisTest::horizontalEdgeLabelsAtTheEnds()
{
    // A horizontal range axis, as the histogram dialog draws one: the ink of
    // its label row (under the line, above the name) runs from its start to
    // its end, wide enough for both texts.
    Axis axis(QPointF(20, 10), 300, 60, "frame.time_epoch", 0, 1700000000.0, 1700086400.0, false);
    const QImage img = paintAxis(axis, 420, 80);
    int left = img.width();
    int right = -1;
    for (int y = 15; y < 15 + axis.fontMetrics.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != qRgb(255, 255, 255)) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    QVERIFY2(left >= 20 && left < 25, qPrintable(QString::number(left)));
    QVERIFY2(right <= 320 && right > 290, qPrintable(QString::number(right)));
    QVERIFY(axis.fontMetrics.horizontalAdvance(axis.labels().first() + axis.labels().last()) < right - left);
}

LUMIVANE_TEST(AxisTest)
#include "AxisTest.moc"
