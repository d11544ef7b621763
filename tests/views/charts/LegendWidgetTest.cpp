#include "TestRegistry.h"

#include "views/charts/LegendWidget.h"

#include <QImage>
#include <QtTest>

namespace {

QImage picture(LegendWidget& legend, int w, int h)
{
    legend.resize(w, h);
    return legend.grab().toImage();
}

// Whether any pixel of the rectangle has the colour.
bool holds(const QImage& img, const QRect& r, const QColor& c)
{
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (img.pixelColor(x, y) == c)
                return true;
    return false;
}

} // namespace

class LegendWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void emptyLabelsAreLeftOut();
    void swatches();
    void range_data();
    void range();
    void missingColoursAreGrey();
    void lowWidgetHasNoRamp();
};

void LegendWidgetTest::emptyLabelsAreLeftOut()
{
    LegendWidget legend;
    legend.setEntries(TList<QPair<QString, QColor>>({{QString(), Qt::red}, {QString(), Qt::blue}}),
                      QStringLiteral("Hosts"), true);
    QVERIFY(legend.entries.isEmpty());
    QVERIFY(!legend.rangeMode);
    const QImage img = picture(legend, 300, 200);
    QVERIFY(!holds(img, QRect(10, 20, 30, 150), Qt::blue));
    // The info section still draws its red sample.
    QVERIFY(holds(img, QRect(8, 20, 34, 150), Qt::red));
    // Only the title is black: the "info:" heading below it is grey text.
    const int below = legend.fontMetrics().height() + 3 + 15;
    bool dark = false;
    for (int y = below; y < img.height() && !dark; ++y)
        for (int x = 0; x < img.width() && !dark; ++x) {
            const QColor c = img.pixelColor(x, y);
            dark = c.red() < 100 && c.green() < 100 && c.blue() < 100;
        }
    QVERIFY(!dark);
    QCOMPARE(legend.sizeHint(), QSize(1000, 10));
}

void LegendWidgetTest::swatches()
{
    LegendWidget legend;
    const QColor green(0, 200, 0);
    legend.setEntries(TList<QPair<QString, QColor>>({{"a", green}, {QString(), Qt::red}, {"b", Qt::blue}}),
                      QStringLiteral("Hosts"), false);
    QCOMPARE(legend.entries.size(), 2);
    QCOMPARE(legend.entries.at(1).first, QStringLiteral("b"));
    const QImage img = picture(legend, 300, 200);
    QVERIFY(holds(img, QRect(12, 20, 20, 60), green));
    QVERIFY(holds(img, QRect(12, 20, 20, 60), QColor(Qt::blue)));
    QVERIFY(!holds(img, QRect(0, 0, 300, 200), QColor(Qt::red)));
}

void LegendWidgetTest::range_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<QString>("low");
    QTest::addColumn<QString>("high");
    QTest::newRow("equal ends") << 5.0 << 5.0 << "5" << "5";
    QTest::newRow("two decimals") << 0.125 << 1234567.891 << "0.13" << "1.23457e+06";
    QTest::newRow("negative") << -2.5 << 0.0 << "-2.5" << "0";
}

void LegendWidgetTest::range()
{
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(QString, low);
    QFETCH(QString, high);
    LegendWidget legend;
    legend.setRange(minimum, maximum, {Qt::yellow, Qt::blue}, QStringLiteral("Length"), false);
    QVERIFY(legend.rangeMode);
    QCOMPARE(legend.entries.size(), 2);
    QCOMPARE(legend.entries.at(0).first, low);
    QCOMPARE(legend.entries.at(1).first, high);
    QCOMPARE(legend.entries.at(0).second, QColor(Qt::yellow));
    // The maximum's colour on top of the ramp, the minimum's at its foot.
    const QImage img = picture(legend, 300, 300);
    const int top = legend.fontMetrics().height() + 3 + 15;
    QVERIFY(img.pixelColor(25, top + 2).blue() > 240);
    QVERIFY(img.pixelColor(25, top + 2).red() < 20);
    const int foot = 300 - 75 - (legend.fontMetrics().height() + 3);
    QVERIFY(img.pixelColor(25, foot - 2).red() > 230);
}

void LegendWidgetTest::missingColoursAreGrey()
{
    LegendWidget legend;
    legend.setRange(0, 1, {Qt::red}, QString(), false);
    QCOMPARE(legend.entries.at(0).second, QColor(Qt::red));
    QCOMPARE(legend.entries.at(1).second, QColor(Qt::gray));
    legend.setRange(0, 1, {}, QString(), true);
    QCOMPARE(legend.entries.at(0).second, QColor(Qt::gray));
    QVERIFY(!picture(legend, 200, 200).isNull());
}

void LegendWidgetTest::lowWidgetHasNoRamp()
{
    LegendWidget legend;
    legend.setRange(0, 1, {Qt::red, Qt::blue}, QStringLiteral("t"), true);
    const QImage img = picture(legend, 200, 40);
    QVERIFY(!holds(img, QRect(11, 0, 28, 40), QColor(Qt::blue)));
}

LUMIVANE_TEST(LegendWidgetTest)
#include "LegendWidgetTest.moc"
