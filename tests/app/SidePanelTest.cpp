#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "app/SettingsWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/GlyphWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/RuleWidget.h"
#include "editors/SearchWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/sequences/RuleOverviewWidget.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace {

// Counts the paint events of a widget.
class PaintCounter : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
    int paints = 0;
};

// What a layout item is, in words.
QString describe(QLayoutItem* item)
{
    if (QWidget* w = item->widget()) {
        if (auto* label = qobject_cast<QLabel*>(w))
            return QStringLiteral("label ") + label->text();
        if (auto* tabs = qobject_cast<QTabWidget*>(w))
            return QStringLiteral("tabs %1|%2").arg(tabs->tabText(0), tabs->tabText(1));
        if (auto* area = qobject_cast<QScrollArea*>(w))
            return QStringLiteral("area of ") + area->widget()->metaObject()->className();
        return QString::fromLatin1(w->metaObject()->className());
    }
    if (QLayout* row = item->layout()) {
        QStringList buttons;
        for (int i = 0; i < row->count(); ++i) {
            auto* b = qobject_cast<QPushButton*>(row->itemAt(i)->widget());
            buttons << (b ? b->text() + (b->isHidden() ? QStringLiteral(" (hidden)") : QString()) : QString());
        }
        return QStringLiteral("buttons ") + buttons.join(QLatin1Char(','));
    }
    return QStringLiteral("?");
}

// The top-level windows that appeared since `before`.
QWidgetList newWindows(const QWidgetList& before)
{
    QWidgetList out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (!before.contains(w) && w->isVisible())
            out << w;
    return out;
}

} // namespace

// The side panel: its order from top to bottom, the windows its buttons
// open, and the rule overview laid out again on every resize.
class SidePanelTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { settings = std::make_unique<SettingsGuard>(); }
    void cleanupTestCase() { settings.reset(); }
    void init()
    {
        MessageRecorder boxes;
        window = std::make_unique<MainWindow>();
        panel = window->settingsWidget;
    }
    void cleanup()
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != window.get() && w->isVisible())
                delete w;
        window.reset();
    }

    void order()
    {
        QStringList items;
        for (int i = 0; i < panel->layout()->count(); ++i)
            items << describe(panel->layout()->itemAt(i));
        QCOMPARE(items, QStringList({"tabs Events|Traces", "label Selections:", "NavigationWidget",
                                     "label Rules:", "buttons Find,Glyphs (hidden),Rules",
                                     "area of RuleOverviewWidget", "RuleListWidget"}));
        QCOMPARE(panel->layout()->itemAt(2)->widget(), window->navigationWidget);
        QCOMPARE(panel->layout()->itemAt(6)->widget(), panel->ruleList);
        QCOMPARE(panel->ruleList->minimumHeight(), 200);
        QCOMPARE(panel->ruleOverviewArea->maximumHeight(), 70);
        QCOMPARE(panel->ruleOverviewArea->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(panel->ruleOverviewArea->widgetResizable());
        // The right overview is built for the right group, not placed.
        QVERIFY(panel->rightRuleOverviewArea->isHidden());
        QCOMPARE(panel->layout()->indexOf(panel->rightRuleOverviewArea), -1);
        QVERIFY(!panel->attributeRibbon->kind);
        QVERIFY(panel->conversationRibbon->kind);
    }

    // Every resize makes the rule overview lay itself out again.
    void overviewRelayoutOnResize()
    {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCoreApplication::processEvents();
        PaintCounter counter;
        panel->ruleOverview->installEventFilter(&counter);
        // The panel keeps its size: only the relayout asks for a repaint.
        QResizeEvent same(panel->size(), panel->size());
        QApplication::sendEvent(panel, &same);
        QTRY_VERIFY(counter.paints > 0);
        counter.paints = 0;
        QCoreApplication::processEvents();
        QCOMPARE(counter.paints, 0);
    }

    // "Find" twice: two search windows of their own.
    void findTwice()
    {
        const QWidgetList before = QApplication::topLevelWidgets();
        QTest::mouseClick(panel->findButton, Qt::LeftButton);
        QTest::mouseClick(panel->findButton, Qt::LeftButton);
        const QWidgetList opened = newWindows(before);
        QCOMPARE(opened.size(), 2);
        for (QWidget* w : opened) {
            QVERIFY(qobject_cast<SearchWidget*>(w));
            QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
            QCOMPARE(static_cast<SearchWidget*>(w)->owner, window->controlWidget);
        }
    }

    // "Rules": the rule editor above a rule table with "add New"; the hidden
    // "Glyphs" slot: the glyph editor above the glyph table.
    void editorWindows_data()
    {
        QTest::addColumn<bool>("rules");
        QTest::newRow("rules") << true;
        QTest::newRow("glyphs") << false;
    }
    void editorWindows()
    {
        QFETCH(bool, rules);
        const QWidgetList before = QApplication::topLevelWidgets();
        if (rules)
            QTest::mouseClick(panel->ruleButton, Qt::LeftButton);
        else
            panel->glyph();
        const QWidgetList opened = newWindows(before);
        QCOMPARE(opened.size(), 1);
        QWidget* w = opened.first();
        QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
        auto* layout = qobject_cast<QVBoxLayout*>(w->layout());
        QVERIFY(layout);
        QCOMPARE(layout->spacing(), 1);
        QCOMPARE(layout->count(), 2);
        QWidget* top = layout->itemAt(0)->widget();
        QWidget* bottom = layout->itemAt(1)->widget();
        if (rules) {
            auto* editor = qobject_cast<RuleEditorWidget*>(top);
            QVERIFY(editor && editor->ruleTable == bottom);
            QVERIFY(editor->ruleTable->showNewRow);
            QCOMPARE(editor->owner, window->controlWidget);
        } else {
            auto* editor = qobject_cast<GlyphEditorWidget*>(top);
            QVERIFY(editor && editor->glyphTable == bottom);
            QCOMPARE(editor->owner, window->controlWidget);
        }
        w->close();
        QTRY_VERIFY(newWindows(before).isEmpty());
    }

    // A load and an attribute event rebuild the rule list from the store.
    void ruleListRefreshes()
    {
        GlyphStore* store = window->controlWidget->glyphStore;
        store->rules.append(Rule(QStringLiteral("R"), new ParseNode(ParseNode::And),
                                 new ParseNode(ParseNode::And), true, true));
        panel->refreshRules();
        QCOMPARE(panel->ruleList->count(), 1);
        window->controlWidget->loadData({}, {}, {});
        QCOMPARE(panel->ruleList->count(), 0);
    }

    // Hidden through "Show options" and shown again, the panel keeps its tab.
    void showOptionsKeepsTab()
    {
        window->show();
        auto* tabs = panel->findChild<QTabWidget*>();
        tabs->setCurrentIndex(1);
        window->optionsAction->trigger();
        QVERIFY(panel->isHidden());
        window->optionsAction->trigger();
        QVERIFY(panel->isVisible());
        QCOMPARE(tabs->currentIndex(), 1);
        QCOMPARE(tabs->tabText(1), QStringLiteral("Traces"));
    }

private:
    std::unique_ptr<SettingsGuard> settings;
    std::unique_ptr<MainWindow> window;
    SettingsWidget* panel = nullptr;
};

LUMIVANE_TEST(SidePanelTest)
#include "SidePanelTest.moc"
