#include "TestRegistry.h"

#include "views/attributes/ContainerWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/Indicator.h"

#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

void press(DoubleSlider& s, double x, double y, Qt::MouseButtons buttons = Qt::LeftButton)
{
    QMouseEvent e(QEvent::MouseButtonPress, QPointF(x, y), Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &e);
}

void move(DoubleSlider& s, double x, double y, Qt::MouseButtons buttons = Qt::LeftButton)
{
    QMouseEvent e(QEvent::MouseMove, QPointF(x, y), Qt::NoButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &e);
}

void release(DoubleSlider& s, double x, double y)
{
    QMouseEvent e(QEvent::MouseButtonRelease, QPointF(x, y), Qt::LeftButton, Qt::NoButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &e);
}

} // namespace

class DoubleSliderTest : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void layout_data();
    void layout();
    void changeFromToValue_data();
    void changeFromToValue();
    void grabZone_data();
    void grabZone();
    void pressWithoutMoveEmitsNothing();
    void dragWithoutHandleKeepsRange();
    void dragMovesHandleToPointer();
    void bothHandlesKeepStepApart();
    void restingPointerReportsOnce();
    void containerPlacesAndOwnsSlots();
};

void DoubleSliderTest::construction()
{
    DoubleSlider s;
    QCOMPARE(s.from, 0.0);
    QCOMPARE(s.to, 1.0);
    // The timer goes with the slider and is not running before a drag.
    QCOMPARE(s.moveTimer->parent(), &s);
    QCOMPARE(s.moveTimer->interval(), 500);
    QVERIFY(!s.moveTimer->isActive());
}

void DoubleSliderTest::layout_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<double>("xf");
    QTest::addColumn<double>("xt");
    QTest::addColumn<double>("size");
    QTest::addColumn<double>("band");
    // Track length w - 15 from x = 10.
    QTest::newRow("track of length 0") << 15 << 10 << 0.2 << 0.9 << 10.0 << 10.0 << 10.0 << 3.0;
    QTest::newRow("full range") << 115 << 10 << 0.0 << 1.0 << 10.0 << 110.0 << 10.0 << 3.0;
    QTest::newRow("narrowed") << 115 << 10 << 0.25 << 0.5 << 35.0 << 60.0 << 10.0 << 3.0;
    QTest::newRow("tall slider") << 215 << 30 << 0.5 << 1.0 << 110.0 << 210.0 << 20.0 << 6.0;
}

void DoubleSliderTest::layout()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(double, xf);
    QFETCH(double, xt);
    QFETCH(double, size);
    QFETCH(double, band);
    DoubleSlider s;
    s.resize(w, h);
    s.changeFromToValue(from, to);
    QCOMPARE(s.fromHandle->x, xf);
    QCOMPARE(s.toHandle->x, xt);
    QCOMPARE(s.fromHandle->y, band);
    QCOMPARE(s.fromHandle->width(), size);
    QCOMPARE(s.toHandle->height(), size);
    QCOMPARE(s.bar->x, xf);
    QCOMPARE(s.bar->height(), band);
    QCOMPARE(s.bar->width(), (to - from) * (w - 15));
}

void DoubleSliderTest::changeFromToValue_data()
{
    QTest::addColumn<double>("f");
    QTest::addColumn<double>("t");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::newRow("inverted range widens upward") << 0.7 << 0.2 << 0.7 << 0.71;
    QTest::newRow("clamped to 0..1") << -0.5 << 1.5 << 0.0 << 1.0;
    QTest::newRow("empty range") << 0.3 << 0.3 << 0.3 << 0.31;
    QTest::newRow("from at the top") << 1.0 << 1.0 << 0.99 << 1.0;
    QTest::newRow("ordinary") << 0.1 << 0.6 << 0.1 << 0.6;
}

void DoubleSliderTest::changeFromToValue()
{
    QFETCH(double, f);
    QFETCH(double, t);
    QFETCH(double, from);
    QFETCH(double, to);
    DoubleSlider s;
    s.resize(115, 10);
    QSignalSpy moved(&s, &DoubleSlider::dragMove);
    QSignalSpy timedOut(&s, &DoubleSlider::dragTimeOut);
    s.changeFromToValue(f, t);
    QVERIFY(qAbs(s.from - from) < 1e-12);
    QVERIFY(qAbs(s.to - to) < 1e-12);
    QVERIFY(s.to - s.from >= s.step - 1e-12);
    QCOMPARE(moved.count(), 0);
    QCOMPARE(timedOut.count(), 0);
}

void DoubleSliderTest::grabZone_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<bool>("fromGrabbed");
    QTest::addColumn<bool>("toGrabbed");
    // 115 x 10: from handle box x 35..45, to handle box x 85..95, y 3..13.
    QTest::newRow("inside the from handle") << 40.0 << 5.0 << true << false;
    QTest::newRow("5 px left of the from handle") << 30.0 << 5.0 << true << false;
    QTest::newRow("6 px left of the from handle") << 29.0 << 5.0 << false << false;
    QTest::newRow("5 px right of the from handle") << 50.0 << 5.0 << true << false;
    QTest::newRow("5 px above the from handle") << 40.0 << -2.0 << true << false;
    QTest::newRow("half pixel rounds up out of the zone") << 28.5 << 5.0 << false << false;
    QTest::newRow("half pixel rounds up into the zone") << 29.5 << 5.0 << true << false;
    QTest::newRow("inside the to handle") << 90.0 << 5.0 << false << true;
    QTest::newRow("on the to handle's edge") << 95.0 << 13.0 << false << true;
    QTest::newRow("1 px beside the to handle") << 96.0 << 5.0 << false << false;
}

void DoubleSliderTest::grabZone()
{
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(bool, fromGrabbed);
    QFETCH(bool, toGrabbed);
    DoubleSlider s;
    s.resize(115, 10);
    s.changeFromToValue(0.25, 0.75);
    press(s, x, y);
    QCOMPARE(s.fromHandle->selected, fromGrabbed);
    QCOMPARE(s.toHandle->selected, toGrabbed);
}

void DoubleSliderTest::pressWithoutMoveEmitsNothing()
{
    DoubleSlider s;
    s.resize(115, 10);
    QSignalSpy moved(&s, &DoubleSlider::dragMove);
    QSignalSpy timedOut(&s, &DoubleSlider::dragTimeOut);
    press(s, 10, 5);
    QVERIFY(s.fromHandle->selected);
    QVERIFY(!s.dragging);
    release(s, 10, 5);
    QCOMPARE(moved.count(), 0);
    QCOMPARE(timedOut.count(), 0);
    QCOMPARE(s.from, 0.0);
}

void DoubleSliderTest::dragWithoutHandleKeepsRange()
{
    DoubleSlider s;
    s.resize(115, 10);
    s.changeFromToValue(0.25, 0.75);
    QSignalSpy moved(&s, &DoubleSlider::dragMove);
    QSignalSpy timedOut(&s, &DoubleSlider::dragTimeOut);
    press(s, 65, 5);
    QVERIFY(!s.fromHandle->selected && !s.toHandle->selected);
    move(s, 70, 5);
    QVERIFY(s.dragging);
    QVERIFY(s.moveTimer->isActive());
    release(s, 70, 5);
    QVERIFY(!s.dragging);
    QCOMPARE(moved.count(), 1);
    QCOMPARE(timedOut.count(), 1);
    QCOMPARE(moved.at(0).at(0).toDouble(), 0.25);
    QCOMPARE(moved.at(0).at(1).toDouble(), 0.75);
    QCOMPARE(timedOut.at(0).at(0).toDouble(), 0.25);
    QCOMPARE(timedOut.at(0).at(1).toDouble(), 0.75);
}

void DoubleSliderTest::dragMovesHandleToPointer()
{
    DoubleSlider s;
    s.resize(115, 10);
    // A hidden widget gets its resize event when shown: lay out by hand.
    s.updateLayout();
    press(s, 110, 5);
    QVERIFY(s.toHandle->selected);
    // The value under the pointer is x / w, not the inverse of the layout.
    move(s, 46, 5);
    QCOMPARE(s.to, 46.0 / 115.0);
    QCOMPARE(s.toHandle->x, 10 + 100 * (46.0 / 115.0));
    // Beyond the widget the value stays in 0..1.
    move(s, 400, 5);
    QCOMPARE(s.to, 1.0);
    QSignalSpy moved(&s, &DoubleSlider::dragMove);
    release(s, 400, 5);
    QCOMPARE(moved.count(), 1);
    QVERIFY(!s.toHandle->selected);
}

void DoubleSliderTest::bothHandlesKeepStepApart()
{
    DoubleSlider s;
    s.resize(115, 10);
    s.changeFromToValue(0.5, 0.5);
    // Both boxes lie under the pointer: both handles are grabbed.
    press(s, 61, 5);
    QVERIFY(s.fromHandle->selected);
    QVERIFY(s.toHandle->selected);
    for (double x : {20.0, 90.0, 0.0, 115.0}) {
        move(s, x, 5);
        QVERIFY2(s.to - s.from >= s.step - 1e-12, qPrintable(QString::number(x)));
        QVERIFY(s.from >= 0.0 && s.to <= 1.0);
    }
}

void DoubleSliderTest::restingPointerReportsOnce()
{
    DoubleSlider s;
    s.resize(115, 10);
    QSignalSpy moved(&s, &DoubleSlider::dragMove);
    // Idle: the timer reports nothing and keeps running.
    s.moveTimer->start();
    s.moveTimeOut();
    QCOMPARE(moved.count(), 0);
    QVERIFY(s.moveTimer->isActive());
    // Dragging: one report, then the timer stops.
    press(s, 10, 5);
    move(s, 30, 5);
    s.moveTimeOut();
    QCOMPARE(moved.count(), 1);
    QVERIFY(!s.moveTimer->isActive());
    s.moveTimeOut();
    QCOMPARE(moved.count(), 2);
}

void DoubleSliderTest::containerPlacesAndOwnsSlots()
{
    QList<QWidget*> parts;
    for (int i = 0; i < 9; ++i)
        parts.append(nullptr);
    parts[0] = new QLabel(QStringLiteral("centre"));
    parts[4] = new QLabel(QStringLiteral("below"));
    parts[7] = new QLabel(QStringLiteral("spare"));
    const QList<QPointer<QWidget>> watched = {parts[0], parts[4], parts[7]};
    {
        ContainerWidget cell(parts, nullptr);
        auto* grid = cell.findChild<QGridLayout*>();
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(parts[4]), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(QPoint(row, column), QPoint(2, 1));
        // A slot behind 4 is kept, not placed; it is still deleted with the cell.
        QCOMPARE(grid->indexOf(parts[7]), -1);
    }
    for (const QPointer<QWidget>& w : watched)
        QVERIFY(w.isNull());
}

LUMIVANE_TEST(DoubleSliderTest)
#include "DoubleSliderTest.moc"
