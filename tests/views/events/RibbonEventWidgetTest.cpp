#include "TestRegistry.h"
#include "DebugCapture.h"
#include "OverviewFixture.h"

#include "events/ReloadEvent.h"
#include "items/BinItem.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QtTest>

using namespace overviewfixture;

// The event ribbon: its rows of controls built on the first load only,
// the multi-match switch, the scroll bar changed behind the view's back,
// and the widths that follow the ribbon's width.
class RibbonEventWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void rowsBuiltOnce();
    void multiMatchTwice();
    void maximumLeavesTheOffset();
    void widthsFollowTheRibbon();
    void activation_data();
    void activation();
};

namespace {

// Views of the image base keep a parent view of their own: the Qt parent.
QWidget* parentOf(const QWidget* w)
{
    return w->QWidget::parentWidget();
}

int labels(const QWidget* ribbon, const QString& text)
{
    int n = 0;
    for (const QLabel* label : ribbon->findChildren<QLabel*>())
        n += label->text() == text;
    return n;
}

} // namespace

void RibbonEventWidgetTest::rowsBuiltOnce()
{
    Group g(traces(8));
    RibbonEventWidget* ribbon = g.m.ribbon.get();
    g.build();
    QWidget* holder = parentOf(g.m.view);
    QVERIFY(holder != ribbon);
    // Matrix, strip and scroll bar side by side; the charts below them.
    QCOMPARE(g.strip->parentWidget(), holder);
    QCOMPARE(ribbon->binScrollBar->parentWidget(), holder);
    QVERIFY(qobject_cast<QSplitter*>(holder->parentWidget()));
    QCOMPARE(parentOf(g.lineRibbon->chart), parentOf(g.lineRibbon->miniView));
    QCOMPARE(parentOf(g.lineRibbon->chart)->parentWidget(), holder->parentWidget());
    QCOMPARE(g.overviewRibbon->sizeSlider->parentWidget(), ribbon->sizePanel);
    QCOMPARE(ribbon->sizePanel->parentWidget(), ribbon->topBar);
    QCOMPARE(g.lineRibbon->gearButton->parentWidget(), ribbon->topBar);
    QCOMPARE(g.m.options->multiMatchBox->parentWidget(), ribbon);

    // A later load (even one that finds the no-data flag set) builds no
    // second set of rows, but the axes go back to "none" again.
    g.m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    QVERIFY(!g.m.view->yNone);
    Restore<bool> noData(NO_DATA, true);
    ribbon->buildControls();
    QVERIFY(g.m.view->xNone && g.m.view->yNone && g.m.view->zNone);
    QCOMPARE(parentOf(g.m.view), holder);
    for (const QString& text : {QStringLiteral("Group:"), QStringLiteral("Sort:"), QStringLiteral("Glyph size:")})
        QCOMPARE(labels(ribbon, text), 1);
    QCOMPARE(ribbon->findChildren<QSplitter*>().size(), 1);
}

void RibbonEventWidgetTest::multiMatchTwice()
{
    Restore<bool> multi(showMulti, true);
    Group g(traces(4));
    g.build();
    EventCounter reloads(RELOADEVENT);
    g.m.view->installEventFilter(&reloads);
    QCheckBox* box = g.m.options->multiMatchBox;
    box->click();
    QVERIFY(!showMulti);
    QCOMPARE(reloads.count, 1);
    box->click();
    QVERIFY(showMulti);
    QCOMPARE(reloads.count, 2);
    g.m.view->removeEventFilter(&reloads);
}

void RibbonEventWidgetTest::maximumLeavesTheOffset()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(30));
    QScrollBar* bar = g.m.ribbon->binScrollBar;
    QVERIFY(bar->maximum() > 10);
    bar->setValue(8);
    QCOMPARE(g.m.view->binOffset, 8);
    cap.clear();
    g.m.ribbon->setMaximum(5);
    g.m.ribbon->setPageStep(3);
    QCOMPARE(bar->maximum(), 5);
    QCOMPARE(bar->value(), 5);
    QCOMPARE(bar->pageStep(), 3);
    QCOMPARE(g.m.view->binOffset, 8);
    QVERIFY(!cap.contains(QStringLiteral("offset 5")));
    // The view hears of the bar again afterwards.
    bar->setValue(2);
    QCOMPARE(g.m.view->binOffset, 2);
}

void RibbonEventWidgetTest::widthsFollowTheRibbon()
{
    // Without the rows of controls, which need more than 1000 pixels.
    Group g(traces(4));
    RibbonEventWidget* ribbon = g.m.ribbon.get();
    ribbon->resize(900, 500);
    ribbon->show();
    QVERIFY(QTest::qWaitForWindowExposed(ribbon));
    ribbon->binScrollBar->setFixedWidth(17);
    ribbon->resize(1000, 600);
    QTRY_COMPARE(ribbon->width(), 1000);
    QCOMPARE(g.strip->minimumWidth(), 150);
    QCOMPARE(ribbon->sizePanel->minimumWidth(), 172);
    QCOMPARE(ribbon->sizePanel->maximumWidth(), 172);
}

void RibbonEventWidgetTest::activation_data()
{
    QTest::addColumn<bool>("noData");
    QTest::addColumn<bool>("active");
    QTest::addColumn<bool>("shown");
    QTest::newRow("switched off") << false << false << false;
    QTest::newRow("switched on") << false << true << true;
    QTest::newRow("switched off before any load") << true << false << false;
    QTest::newRow("switched on before any load: left alone") << true << true << false;
}

void RibbonEventWidgetTest::activation()
{
    QFETCH(bool, noData);
    QFETCH(bool, active);
    QFETCH(bool, shown);
    Group g(traces(4));
    g.m.ribbon->hide();
    g.m.options->stackBox->hide();
    g.m.view->setActive(!active, false);
    Restore<bool> flag(NO_DATA, noData);
    g.m.ribbon->setActive(active, false);
    QCOMPARE(g.m.view->isActive(), active);
    QCOMPARE(g.m.ribbon->isHidden(), !shown);
    QCOMPARE(g.m.options->stackBox->isHidden(), !shown);
}

LUMIVANE_TEST(RibbonEventWidgetTest)
#include "RibbonEventWidgetTest.moc"
