#include "AttributeFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"

#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

using attributes::Data;

namespace {

QStringList actionTexts(const QMenu* menu)
{
    QStringList out;
    for (const QAction* a : menu->actions())
        out << a->text();
    return out;
}

QAction* actionNamed(const QMenu* menu, const QString& text)
{
    for (QAction* a : menu->actions()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

QStringList shownNames(const AttributeWidget* panel)
{
    QStringList out;
    for (ScentedWidget* h : panel->histograms().items)
        out << h->attribute;
    return out;
}

} // namespace

class RibbonAttributeWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void construction_data();
    void construction();
    void fastTypingFiltersOnce();
    void refillListsNamesAndFiltersLater();
    void attributeOrderMenu();
    void selectedBinOrderDoesNotRecount();
};

void RibbonAttributeWidgetTest::construction_data()
{
    QTest::addColumn<bool>("kind");
    QTest::newRow("events") << false;
    QTest::newRow("traces") << true;
}

void RibbonAttributeWidgetTest::construction()
{
    QFETCH(bool, kind);
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    RibbonAttributeWidget ribbon(d.control.get(), kind, nullptr);
    QCOMPARE(qobject_cast<ConversationWidget*>(ribbon.panel) != nullptr, kind);
    QCOMPARE(ribbon.panel->kind, kind);
    // The ribbon starts at "Default", its panel at "Alphabetical".
    QCOMPARE(ribbon.sort, QStringLiteral("Default"));
    QCOMPARE(ribbon.panel->sort, QStringLiteral("Alphabetical"));
    QCOMPARE(ribbon.toolBar->windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(ribbon.logAction->text(), QStringLiteral("&Logarithmic"));
    QCOMPARE(ribbon.logAction->statusTip(), QStringLiteral("Logarithmic scale"));
    for (QAbstractButton* b : {static_cast<QAbstractButton*>(ribbon.binButton),
                               static_cast<QAbstractButton*>(ribbon.sortButton)})
        QVERIFY(!b->icon().isNull());
    QVERIFY(!ribbon.logAction->icon().isNull());
    QCOMPARE(actionTexts(ribbon.binButton->menu()),
             (QStringList{"Default", "Frequency", "Rarity", "Selected"}));
    QCOMPARE(actionTexts(ribbon.sortButton->menu()),
             (QStringList{"Default", "Alphabetical", "Rarity", "Frequency", "Relevance"}));
    // Typed text never becomes an item of the list.
    QCOMPARE(ribbon.searchBox->insertPolicy(), QComboBox::NoInsert);
    const QList<QAction*> items = ribbon.toolBar->actions();
    QCOMPARE(items.size(), 5);
    auto* label = qobject_cast<QLabel*>(ribbon.toolBar->widgetForAction(items.at(0)));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Search:"));
    QCOMPARE(ribbon.toolBar->widgetForAction(items.at(1)), ribbon.searchBox);
    QCOMPARE(items.at(3), ribbon.logAction);
}

void RibbonAttributeWidgetTest::fastTypingFiltersOnce()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    RibbonAttributeWidget ribbon(d.control.get(), false, nullptr);
    ribbon.panel->setContext(d.context);
    QSignalSpy filtered(ribbon.keyTimer, &QTimer::timeout);
    QElapsedTimer clock;
    QTest::keyClicks(ribbon.searchBox->lineEdit(), QStringLiteral("fra"), Qt::NoModifier, 20);
    clock.start();
    QVERIFY(ribbon.keyTimer->isActive());
    QCOMPARE(filtered.count(), 0);
    QCOMPARE(ribbon.panel->filter, QString());
    QTRY_COMPARE_WITH_TIMEOUT(filtered.count(), 1, 2000);
    QVERIFY(clock.elapsed() >= 450);
    QVERIFY(!ribbon.keyTimer->isActive());
    QCOMPARE(ribbon.panel->filter, QStringLiteral("fra"));
    QCOMPARE(shownNames(ribbon.panel), (QStringList{"frame.len", "frame.time_epoch"}));
    QTest::qWait(100);
    QCOMPARE(filtered.count(), 1);
}

void RibbonAttributeWidgetTest::refillListsNamesAndFiltersLater()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    RibbonAttributeWidget ribbon(d.control.get(), true, nullptr);
    ribbon.panel->setContext(d.context);
    ribbon.searchBox->setEditText(QStringLiteral("old"));
    ribbon.keyTimer->stop();
    ribbon.refreshFilter();
    QCOMPARE(ribbon.searchBox->count(), 27);
    QCOMPARE(ribbon.searchBox->itemText(0), QStringLiteral("conv.convid"));
    QCOMPARE(ribbon.searchBox->currentText(), QString());
    QVERIFY(!ribbon.signalsBlocked());
    // The refill restarted the search: the panel is filtered with "" later.
    QVERIFY(ribbon.keyTimer->isActive());
    ribbon.panel->filter = QStringLiteral("stale");
    ribbon.keyTimeOut();
    QCOMPARE(ribbon.panel->filter, QString());

    // Picking a name from the list filters the panel to the names holding it.
    ribbon.searchBox->setCurrentIndex(ribbon.searchBox->findText(QStringLiteral("conv.src")));
    QVERIFY(ribbon.keyTimer->isActive());
    ribbon.keyTimeOut();
    QCOMPARE(ribbon.panel->filter, QStringLiteral("conv.src"));
    QCOMPARE(shownNames(ribbon.panel), (QStringList{"conv.src", "conv.src_country"}));
}

void RibbonAttributeWidgetTest::attributeOrderMenu()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    RibbonAttributeWidget ribbon(d.control.get(), false, nullptr);
    ribbon.panel->setContext(d.context);
    QCOMPARE(shownNames(ribbon.panel),
             (QStringList{"frame.len", "frame.time_epoch", "ip.src", "port", "proto", "trace"}));
    actionNamed(ribbon.sortButton->menu(), QStringLiteral("Default"))->trigger();
    QCOMPARE(ribbon.panel->sort, QStringLiteral("Default"));
    QCOMPARE(shownNames(ribbon.panel),
             (QStringList{"frame.time_epoch", "ip.src", "proto", "frame.len", "port", "trace"}));
    actionNamed(ribbon.sortButton->menu(), QStringLiteral("Relevance"))->trigger();
    QCOMPARE(ribbon.panel->sort, QStringLiteral("Relevance"));
    QCOMPARE(ribbon.panel->histograms().size(), 6);
}

void RibbonAttributeWidgetTest::selectedBinOrderDoesNotRecount()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    RibbonAttributeWidget ribbon(d.control.get(), false, nullptr);
    ribbon.panel->setContext(d.context);
    const TList<ScentedWidget*> before = ribbon.panel->histograms();
    QList<TList<BinItem*>> bins;
    for (ScentedWidget* h : before.items)
        bins << h->axisOrder;
    const QMenu* menu = ribbon.binButton->menu();
    actionNamed(menu, QStringLiteral("Selected"))->trigger();
    QCOMPARE(ribbon.panel->binSort, 3);
    QCOMPARE(ribbon.panel->histograms().items, before.items);
    for (int i = 0; i < before.size(); ++i) {
        QCOMPARE(before.at(i)->binSort, 3);
        QCOMPARE(before.at(i)->axisOrder.items, bins.at(i).items);
    }
    const QPointer<ScentedWidget> first = before.first();
    actionNamed(menu, QStringLiteral("Rarity"))->trigger();
    QCOMPARE(ribbon.panel->binSort, 2);
    QVERIFY(first.isNull());
    for (ScentedWidget* h : ribbon.panel->histograms().items)
        QCOMPARE(h->binSort, 2);
}

LUMIVANE_TEST(RibbonAttributeWidgetTest)
#include "RibbonAttributeWidgetTest.moc"
