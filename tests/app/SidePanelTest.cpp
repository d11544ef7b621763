#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "core/Packet.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/SearchWidget.h"
#include "items/ScreenPlacement.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"
#include "views/sequences/RuleOverviewWidget.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QtTest>

#include <memory>

namespace {

// Counts the paint events of a widget.
struct PaintCounter : QObject {
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
    int paints = 0;
};

} // namespace

// The side panel: its order, the windows its buttons open, and the rule
// overview laid out again on every resize.
class SidePanelTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        settings = std::make_unique<SettingsGuard>();
        MessageRecorder boxes;
        window = std::make_unique<MainWindow>();
        panel = window->settingsWidget;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup()
    {
        qDeleteAll(opened());
        window.reset();
        settings.reset();
    }

    void order()
    {
        QStringList items;
        QLayout* layout = panel->layout();
        for (int i = 0; i < layout->count(); ++i) {
            QWidget* w = layout->itemAt(i)->widget();
            auto* label = qobject_cast<QLabel*>(w);
            items << (label ? label->text() : w ? w->metaObject()->className() : QString("row"));
        }
        QCOMPARE(items, QStringList({"QTabWidget", "Selections:", "NavigationWidget", "Rules:", "row",
                                     "QScrollArea", "RuleListWidget"}));
        QCOMPARE(layout->itemAt(4)->layout()->itemAt(1)->widget(), panel->glyphButton);
        QVERIFY(panel->glyphButton->isHidden() && panel->rightRuleOverviewArea->isHidden());
    }

    // "Find" twice gives two search windows of their own.
    void findTwice()
    {
        QTest::mouseClick(panel->findButton, Qt::LeftButton);
        QTest::mouseClick(panel->findButton, Qt::LeftButton);
        const QWidgetList windows = opened();
        QCOMPARE(windows.size(), 2);
        for (QWidget* w : windows)
            QVERIFY(qobject_cast<SearchWidget*>(w) && w->testAttribute(Qt::WA_DeleteOnClose));
    }

    // "Rules" opens its window over the main window wherever that was
    // moved (as ScreenPlacement::centreOver puts it: this screen is smaller
    // than the main window), as a window of its own: no parent, not modal,
    // deleted when it closes, its editor above its table.
    void rulesOverTheWindow()
    {
        window->move(300, 200);
        QTRY_COMPARE(window->pos(), QPoint(300, 200));
        QTest::mouseClick(panel->ruleButton, Qt::LeftButton);
        const QWidgetList windows = opened();
        QCOMPARE(windows.size(), 1);
        QWidget* rules = windows.first();
        auto* editor = rules->findChild<RuleEditorWidget*>();
        QVERIFY(editor && editor->isVisible() && editor->parentWidget() == rules);
        QVERIFY(!rules->parentWidget() && rules->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!rules->isModal() && !QApplication::activeModalWidget());
        // Placed before it was shown, when its layout was a little larger.
        QWidget probe;
        probe.resize(rules->size());
        ScreenPlacement::centreOver(&probe, window.get());
        QVERIFY((rules->pos() - probe.pos()).manhattanLength() <= 10);
        QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(rules->frameGeometry()));
    }

    // Every resize lays the rule overview out again (the panel keeps its
    // size here: only that relayout asks for a repaint). Hidden through
    // "Show options" and shown again, the panel keeps its tab.
    void resizeAndShowOptions()
    {
        PaintCounter counter;
        panel->ruleOverview->installEventFilter(&counter);
        QResizeEvent same(panel->size(), panel->size());
        QApplication::sendEvent(panel, &same);
        QTRY_VERIFY(counter.paints > 0);
        auto* tabs = panel->findChild<QTabWidget*>();
        tabs->setCurrentIndex(1);
        window->optionsAction->trigger();
        QVERIFY(panel->isHidden());
        window->optionsAction->trigger();
        QCOMPARE(tabs->currentIndex(), 1);
    }

    // The histograms get the side panel's height before the rule list grows
    // past its minimum; past the ribbon's maximum the rule list takes the rest.
    void heights_data()
    {
        QTest::addColumn<int>("windowHeight");
        QTest::addColumn<int>("leastRows");
        QTest::newRow("smallest window") << 800 << 3;
        QTest::newRow("1600 x 900") << 900 << 4;
        QTest::newRow("tall window") << 1400 << 7;
    }
    void heights()
    {
        QFETCH(int, windowHeight);
        QFETCH(int, leastRows);
        TList<QString> names = {QStringLiteral("frame.time_epoch")};
        TList<int> kinds = {1};
        for (char c = 'a'; c <= 'h'; ++c) {
            names.append(QString(QLatin1Char(c)));
            kinds.append(3);
        }
        TList<QSharedPointer<Packet>> events;
        for (int i = 0; i < 200; ++i) {
            TList<TVariant> row = {TVariant(1000 + i)};
            for (int k = 1; k < names.size(); ++k)
                row.append(TVariant(QStringLiteral("v%1").arg((i * k) % 5)));
            auto event = QSharedPointer<Packet>::create(row);
            event->conversationId = i % 7;
            events.append(event);
        }
        window->resize(1600, windowHeight);
        window->controlWidget->loadData(events, names, kinds);
        QTRY_COMPARE(window->height(), windowHeight);
        QCoreApplication::processEvents();

        AttributeWidget* attributes = panel->attributeWidget;
        QVERIFY(attributes->histograms().size() >= leastRows);
        QVERIFY2(attributes->scrollArea->height() >= leastRows * 50,
                 qPrintable(QString::number(attributes->scrollArea->height())));
        QVERIFY(attributes->histograms().at(0)->isVisible());
        QVERIFY(panel->ruleList->height() >= 200);
        QVERIFY(panel->attributeRibbon->height() <= 400);
        if (windowHeight == 1400) {
            // The ribbon at its full height sits at the top of its page.
            QCOMPARE(panel->attributeRibbon->height(), 400);
            QVERIFY(panel->attributeRibbon->y() <= 12);
            QVERIFY(panel->ruleList->height() > 400);
        }

        // The trace page is laid out the same way.
        auto* tabs = panel->findChild<QTabWidget*>();
        tabs->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QCOMPARE(panel->conversationRibbon->height(), panel->attributeRibbon->height());
        tabs->setCurrentIndex(0);
    }

private:
    QWidgetList opened() const
    {
        QWidgetList out;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != window.get() && w->isVisible() && w->layout())
                out << w;
        return out;
    }

    std::unique_ptr<SettingsGuard> settings;
    std::unique_ptr<MainWindow> window;
    SettingsWidget* panel = nullptr;
};

LUMIVANE_TEST(SidePanelTest)
#include "SidePanelTest.moc"
