#include "TestRegistry.h"
#include "DebugCapture.h"

#include "core/TVariant.h"
#include "items/AxisPer.h"

#include <QDateTime>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <algorithm>
#include <stdexcept>
#include <memory>

namespace {

const QString NO_SCALE = QStringLiteral("no proper scale found");

// Epoch seconds of a UTC date and time.
double at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return double(QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC).toSecsSinceEpoch());
}

// Records what a paint hands to drawTicks: the caption and the bold ticks
// are visible nowhere else.
class RecordingAxis : public AxisPer
{
public:
    RecordingAxis(double from, double to, double binWidth)
        : AxisPer("time", -1, from, to, from, to, binWidth, false, true)
    {
    }
    void drawTicks(QPainter* painter, QBrush& brush, QPen& pen, const TList<QString>& tickLabels,
                   const TList<int>& tickPositions, const QString& caption,
                   const QSet<int>& boldTicks) override
    {
        drawnLabels = tickLabels.toQList();
        drawnPositions = tickPositions.toQList();
        drawnCaption = caption;
        bold = boldTicks.values();
        std::sort(bold.begin(), bold.end());
        AxisPer::drawTicks(painter, brush, pen, tickLabels, tickPositions, caption, boldTicks);
    }
    QList<QString> drawnLabels;
    QList<int> drawnPositions;
    QString drawnCaption;
    QList<int> bold;
};

RecordingAxis* calendarAxis(double from, double to, double width, double binWidth = 60)
{
    auto* axis = new RecordingAxis(from, to, binWidth);
    axis->setSize(width, 40);
    return axis;
}

void paint(IAxis& axis, int w = 820, int h = 60)
{
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    QPen pen;
    QBrush brush;
    axis.paint(&painter, brush, pen);
}

QList<int> expectedPositions(const QList<double>& times, double first, double last, double width)
{
    QList<int> result;
    for (double t : times) {
        const double r = (t - first) / (last - first);
        result << int(r > 1 ? width : std::max(r, 0.0) * width);
    }
    return result;
}

} // namespace

class AxisPerTest : public QObject
{
    Q_OBJECT

private slots:
    void niceNumber_data();
    void niceNumber();
    void findTicksDayOverEightHundredPixels();
    void paintDayInTwoHourTicks();
    void setSizeAlignsBins();
    void monthScale();
    void monthScaleDropsCrowdedLastTick();
    void dayScale();
    void minuteScale();
    void secondScale();
    void shortRange();
    void noProperScale();
    void binIndex_data();
    void binIndex();
    void position_data();
    void position();
    void degenerateRanges_data();
    void degenerateRanges();
    void plainConfiguration();
    void drawTicksBoldAndMissingPosition();
    void constructorLabels();
};

void AxisPerTest::niceNumber_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<bool>("nearest");
    QTest::addColumn<double>("nice");

    QTest::newRow("12 nearest") << 12.0 << true << 10.0;
    QTest::newRow("0.27 nearest") << 0.27 << true << 0.2;
    QTest::newRow("40 up") << 40.0 << false << 50.0;
    QTest::newRow("100 up (power of ten)") << 100.0 << false << 200.0;
    QTest::newRow("1.49 nearest") << 1.49 << true << 1.0;
    QTest::newRow("1.5 nearest") << 1.5 << true << 2.0;
    QTest::newRow("2.99 nearest") << 2.99 << true << 2.0;
    QTest::newRow("3 nearest") << 3.0 << true << 5.0;
    QTest::newRow("6.99 nearest") << 6.99 << true << 5.0;
    QTest::newRow("7 nearest") << 7.0 << true << 10.0;
    QTest::newRow("2.5 up") << 2.5 << false << 2.0;
    QTest::newRow("3 up") << 3.0 << false << 5.0;
    QTest::newRow("4.99 up") << 4.99 << false << 5.0;
    QTest::newRow("5 up") << 5.0 << false << 10.0;
    QTest::newRow("24 up") << 24.0 << false << 20.0;
    QTest::newRow("0 is no number") << 0.0 << true << 0.0;
    QTest::newRow("negative is no number") << -3.0 << false << 0.0;
}

void AxisPerTest::niceNumber()
{
    QFETCH(double, x);
    QFETCH(bool, nearest);
    QFETCH(double, nice);
    QCOMPARE(AxisPer::niceNumber(x, nearest), nice);
}

void AxisPerTest::findTicksDayOverEightHundredPixels()
{
    std::unique_ptr<RecordingAxis> axis(calendarAxis(0, 86400, 800));
    AxisPer::Ticks t;
    // Less than one month in range.
    QVERIFY(!axis->findTicks(2592000, 80, 400, t));
    // One day: the step 0.2 is below 1.
    QVERIFY(!axis->findTicks(86400, 80, 400, t));
    QVERIFY(axis->findTicks(3600, 80, 400, t));
    QCOMPARE(t.step, 2.0);
    QCOMPARE(t.unit, 3600.0);
    QCOMPARE(t.first, qint64(0));
    QCOMPARE(t.last, qint64(86400));
    QCOMPARE(t.span, 800.0);
    // The accepted spacing of 80 pixels is refused by a smaller maximum.
    QVERIFY(!axis->findTicks(3600, 80, 79, t));
}

void AxisPerTest::paintDayInTwoHourTicks()
{
    std::unique_ptr<RecordingAxis> axis(calendarAxis(0, 86400, 800));
    DebugCapture cap;
    cap.setForward(false);
    paint(*axis);
    QVERIFY(!cap.contains(NO_SCALE));

    QList<QString> labels{"Jan 01"};
    for (int h = 2; h <= 22; h += 2)
        labels << QString("%1:00").arg(h, 2, 10, QChar('0'));
    labels << "Jan 02";
    QCOMPARE(axis->labels().toQList(), labels);

    QList<double> times;
    for (int k = 0; k <= 12; ++k)
        times << 7200.0 * k;
    QCOMPARE(axis->ticks.toQList(), expectedPositions(times, 0, 86400, 800));
    QCOMPARE(axis->ticks.size(), 13);
    QCOMPARE(axis->drawnLabels, labels);
    QCOMPARE(axis->drawnPositions, axis->ticks.toQList());
    // Midnight is bold; the caption names the day of the first tick interval.
    QCOMPARE(axis->bold, (QList<int>{0, 12}));
    QCOMPARE(axis->drawnCaption, QString("Jan 01 1970"));
    // The visible range is back after the paint.
    QCOMPARE(axis->viewMin, 0.0);
    QCOMPARE(axis->viewMax, 86400.0);
}

void AxisPerTest::setSizeAlignsBins()
{
    std::unique_ptr<RecordingAxis> axis(calendarAxis(0, 86400, 800));
    QCOMPARE(axis->min, 0.0);
    QCOMPARE(axis->max, 86400.0);
    QCOMPARE(axis->count(), 12);
    QCOMPARE(axis->binWidth, 7200.0);

    // An unaligned range is widened to the ticks around it.
    std::unique_ptr<RecordingAxis> shifted(calendarAxis(1000, 87400, 800));
    QCOMPARE(shifted->min, 0.0);
    QCOMPARE(shifted->max, 86400.0);
    QCOMPARE(shifted->count(), 12);
    QCOMPARE(shifted->binWidth, 7200.0);
}

void AxisPerTest::monthScale()
{
    // Nov 2019 to May 2020 in one-month steps: January shows the year.
    const double from = at(2019, 11, 1);
    const double to = at(2020, 5, 1);
    std::unique_ptr<RecordingAxis> axis(calendarAxis(from, to, 800));
    paint(*axis);

    QList<QString> labels{"Oct", "Nov", "Dec", "2020", "Feb", "Mar", "Apr", "May"};
    const double first = at(2019, 10, 11);  // the start less its remainder of 30 days
    const double last = at(2020, 4, 8);
    QList<double> times{at(2019, 10, 1), at(2019, 11, 1), at(2019, 12, 1), at(2020, 1, 1),
                        at(2020, 2, 1),  at(2020, 3, 1),  at(2020, 4, 1),  at(2020, 5, 1)};
    QList<int> positions = expectedPositions(times, first, last, 800);
    if (positions[7] - positions[6] < axis->fontMetrics.horizontalAdvance("Oct")) {
        labels.removeLast();
        positions.removeLast();
    }
    QCOMPARE(axis->labels().toQList(), labels);
    QCOMPARE(axis->ticks.toQList(), positions);
    QCOMPARE(axis->bold, (QList<int>{3}));
    QVERIFY(axis->drawnCaption.isEmpty());
}

void AxisPerTest::monthScaleDropsCrowdedLastTick()
{
    // Two years in two-month steps: the last two ticks both lie past the end
    // of the axis, so the last one goes.
    std::unique_ptr<RecordingAxis> axis(calendarAxis(at(2020, 1, 1), at(2022, 1, 1), 800));
    paint(*axis);
    const QList<QString> labels{"Dec", "Feb", "Apr", "Jun", "Aug", "Oct", "Dec",
                                "Feb", "Apr", "Jun", "Aug", "Oct", "Dec"};
    QCOMPARE(axis->labels().toQList(), labels);
    QCOMPARE(axis->ticks.size(), 13);
    QCOMPARE(axis->ticks.last(), 800);
    QVERIFY(axis->ticks[11] < 800);
    QCOMPARE(axis->drawnLabels.size(), 13);
    QVERIFY(axis->bold.isEmpty());
}

void AxisPerTest::dayScale()
{
    std::unique_ptr<RecordingAxis> axis(calendarAxis(at(2020, 1, 28), at(2020, 2, 5), 800));
    paint(*axis);
    const QList<QString> labels{"Jan 28", "Jan 29", "Jan 30", "Jan 31", "Feb",
                                "Feb 02", "Feb 03", "Feb 04", "Feb 05"};
    QCOMPARE(axis->labels().toQList(), labels);
    QCOMPARE(axis->ticks.toQList(), (QList<int>{0, 100, 200, 300, 400, 500, 600, 700, 800}));
    QCOMPARE(axis->bold, (QList<int>{4}));
    // Formatted after the time advanced past the first tick.
    QCOMPARE(axis->drawnCaption, QString("2020"));
    QCOMPARE(axis->count(), 8);
    QCOMPARE(axis->binWidth, 86400.0);
}

void AxisPerTest::minuteScale()
{
    // 10:00 to 11:00 in ten-minute steps.
    std::unique_ptr<RecordingAxis> axis(calendarAxis(36000, 39600, 800));
    paint(*axis);
    const QList<QString> labels{"10:00", "10:10", "10:20", "10:30", "10:40", "10:50", "11:00"};
    QCOMPARE(axis->labels().toQList(), labels);
    QCOMPARE(axis->ticks.toQList(), expectedPositions({36000, 36600, 37200, 37800, 38400,
                                                       39000, 39600},
                                                      36000, 39600, 800));
    QCOMPARE(axis->bold, (QList<int>{0, 6}));
    QCOMPARE(axis->drawnCaption, QString("Jan 01 1970 10:00"));
    QCOMPARE(axis->count(), 6);
}

void AxisPerTest::secondScale()
{
    // 01:01:30 to 01:02:30 in ten-second steps; the full minute shows hh:mm.
    std::unique_ptr<RecordingAxis> axis(calendarAxis(3690, 3750, 800));
    paint(*axis);
    const QList<QString> labels{"01:30", "01:40", "01:50", "01:02", "02:10", "02:20", "02:30"};
    QCOMPARE(axis->labels().toQList(), labels);
    QCOMPARE(axis->ticks.size(), 7);
    QCOMPARE(axis->ticks.first(), 0);
    QCOMPARE(axis->ticks.last(), 800);
    QCOMPARE(axis->bold, (QList<int>{3}));
    QCOMPARE(axis->drawnCaption, QString("Jan 01 1970 01:01"));
}

void AxisPerTest::shortRange()
{
    std::unique_ptr<RecordingAxis> axis(calendarAxis(3725.2, 3725.9, 800));
    DebugCapture cap;
    cap.setForward(false);
    paint(*axis);
    QCOMPARE(axis->labels().toQList(), (QList<QString>{"01:02:05", "01:02:05"}));
    QCOMPARE(axis->ticks.toQList(), (QList<int>{0, 800}));
    QCOMPARE(axis->drawnPositions, (QList<int>{0, 800}));
    QVERIFY(axis->drawnCaption.isEmpty());
    QVERIFY(axis->bold.isEmpty());
    QVERIFY(!cap.contains(NO_SCALE));
}

void AxisPerTest::noProperScale()
{
    // 100 pixels leave room for one tick only: no unit fits.
    std::unique_ptr<RecordingAxis> axis(calendarAxis(1000.7, 87400.9, 100));
    // One interval from the truncated start to the truncated end.
    QCOMPARE(axis->min, 1000.0);
    QCOMPARE(axis->max, 87400.0);
    QCOMPARE(axis->count(), 1);
    QCOMPARE(axis->binWidth, 86400.0);

    DebugCapture cap;
    cap.setForward(false);
    paint(*axis);
    QCOMPARE(cap.count(NO_SCALE), 1);
    paint(*axis);
    QCOMPARE(cap.count(NO_SCALE), 2);
    // Both ends are 00:16:40, a day apart.
    QCOMPARE(axis->labels().toQList(), (QList<QString>{"16:40", "16:40"}));
    QCOMPARE(axis->ticks.toQList(), (QList<int>{0, 100}));
    QVERIFY(axis->bold.isEmpty());
    QCOMPARE(axis->drawnCaption, QString("Jan 02 1970 00:16"));
}

void AxisPerTest::binIndex_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("none");
    QTest::addColumn<int>("bin");

    QTest::newRow("start") << 0.0 << false << 0;
    QTest::newRow("below") << -500.0 << false << 0;
    QTest::newRow("inside first bin") << 7199.0 << false << 0;
    QTest::newRow("second bin") << 7200.0 << false << 1;
    QTest::newRow("end is last bin") << 86400.0 << false << 11;
    QTest::newRow("above") << 1e12 << false << 11;
    QTest::newRow("none") << 0.0 << true << -1;
}

void AxisPerTest::binIndex()
{
    QFETCH(double, value);
    QFETCH(bool, none);
    QFETCH(int, bin);
    std::unique_ptr<RecordingAxis> axis(calendarAxis(0, 86400, 800));
    QCOMPARE(axis->binIndex(none ? TVariant() : TVariant(value)), bin);
}

void AxisPerTest::position_data()
{
    QTest::addColumn<double>("viewMin");
    QTest::addColumn<double>("viewMax");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("position");

    QTest::newRow("start") << 0.0 << 100.0 << 0.0 << 0.0;
    QTest::newRow("keeps fraction") << 0.0 << 300.0 << 1.0 << 800.0 / 300.0;
    QTest::newRow("end") << 0.0 << 100.0 << 100.0 << 800.0;
    QTest::newRow("above") << 0.0 << 100.0 << 250.0 << 800.0;
    QTest::newRow("below") << 0.0 << 100.0 << -5.0 << 0.0;
    QTest::newRow("empty range, equal") << 50.0 << 50.0 << 50.0 << 0.0;
    QTest::newRow("empty range, above") << 50.0 << 50.0 << 60.0 << 800.0;
    QTest::newRow("empty range, below") << 50.0 << 50.0 << 40.0 << 0.0;
}

void AxisPerTest::position()
{
    QFETCH(double, viewMin);
    QFETCH(double, viewMax);
    QFETCH(double, value);
    QFETCH(double, position);
    AxisPer axis("time", -1, viewMin, viewMax, viewMin, viewMax, 10, false, false);
    axis.setSize(800, 40);
    QCOMPARE(axis.position(TVariant(value)), position);
}

void AxisPerTest::degenerateRanges_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<double>("binWidth");
    QTest::addColumn<double>("width");

    QTest::newRow("bin width 0") << 0.0 << 86400.0 << 0.0 << 800.0;
    QTest::newRow("empty visible range") << 500.0 << 500.0 << 10.0 << 800.0;
    QTest::newRow("within one second") << 500.0 << 500.5 << 10.0 << 800.0;
    QTest::newRow("reversed range") << 86400.0 << 0.0 << 10.0 << 800.0;
    QTest::newRow("zero width") << 0.0 << 86400.0 << 10.0 << 0.0;
    QTest::newRow("huge range") << -1e300 << 1e300 << 1.0 << 800.0;
    QTest::newRow("not a number") << qQNaN() << 10.0 << 1.0 << 800.0;
}

void AxisPerTest::degenerateRanges()
{
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(double, binWidth);
    QFETCH(double, width);

    // Finite results everywhere; the sanitizer build checks the conversions.
    DebugCapture cap;
    cap.setForward(false);
    AxisPer axis("time", -1, from, to, from, to, binWidth, false, true);
    QVERIFY(axis.count() >= 1);
    axis.setSize(width, 40);
    QVERIFY(axis.count() >= 1);
    QVERIFY(qIsFinite(axis.binWidth));
    const int bin = axis.binIndex(TVariant(from));
    QVERIFY(bin >= 0 && bin < axis.count());
    QVERIFY(qIsFinite(axis.position(TVariant(to))));
    paint(axis);
    QVERIFY(cap.count(NO_SCALE) <= 1);
}

void AxisPerTest::plainConfiguration()
{
    // Without the calendar the axis is the shared plain axis with two labels.
    AxisPer axis("len", -1, 0, 1500, 0, 1500, 100, false, false);
    QCOMPARE(axis.count(), 15);
    QCOMPARE(axis.labels().toQList(), (QList<QString>{"0", "1500"}));
    axis.setSize(800, 40);
    QCOMPARE(axis.count(), 15);
    paint(axis);
    QCOMPARE(axis.labels().toQList(), (QList<QString>{"0", "1500"}));
    QVERIFY(axis.ticks.isEmpty());

    AxisPer vertical("time", -1, 0, 86400, 0, 86400, 60, true, true);
    vertical.setSize(800, 40);
    QCOMPARE(vertical.count(), 1440);
}

void AxisPerTest::constructorLabels()
{
    AxisPer axis("time", -1, 0, 90061, 10, 20, 3600, false, true);
    QCOMPARE(axis.labels().toQList(),
             (QList<QString>{"Thu Jan 1 00:00:00:00", "Fri Jan 2 01:01:01:00"}));
    // The bin range is the given one; the count comes from the visible range.
    QCOMPARE(axis.min, 10.0);
    QCOMPARE(axis.max, 20.0);
    QCOMPARE(axis.count(), 26);
    QCOMPARE(axis.viewMin, 0.0);
    QCOMPARE(axis.viewMax, 90061.0);
    QVERIFY(axis.edgeLabels);
    QCOMPARE(axis.minSpacing, 80.0);
    QCOMPARE(axis.maxSpacing, 400.0);
}

void AxisPerTest::drawTicksBoldAndMissingPosition()
{
    AxisPer axis("time", -1, 0, 100, 0, 100, 10, false, true);
    axis.setSize(400, 40);
    TList<QString> labels;
    labels.append("WWWW");
    labels.append("WWWW");
    TList<int> positions;
    positions.append(0);
    positions.append(200);
    auto draw = [&](const QSet<int>& bold, const TList<int>& at) {
        QImage img(400, 40, QImage::Format_ARGB32);
        img.fill(Qt::white);
        QPainter painter(&img);
        QPen pen;
        QBrush brush;
        axis.drawTicks(&painter, brush, pen, labels, at, QString(), bold);
        return img;
    };
    const QImage plain = draw({}, positions);
    QVERIFY(draw({1}, positions) != plain);
    QCOMPARE(draw({5}, positions), plain);
    // The font is normal again afterwards.
    QCOMPARE(axis.font.weight(), 50);

    TList<int> tooFew;
    tooFew.append(0);
    QVERIFY_EXCEPTION_THROWN(draw({}, tooFew), std::out_of_range);
}

LUMIVANE_TEST(AxisPerTest)
#include "AxisPerTest.moc"
