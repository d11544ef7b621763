#include "DebugCapture.h"
#include "MessageRecorder.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "SettingsGuard.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "events/EventType.h"
#include "app/MainWindow.h"
#include "events/RenderEvent.h"
#include "app/SettingsWidget.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QtTest>

#include <memory>

// Records the render events the controller receives.
class RenderLog : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == RENDEREVENT)
            args << QVariant(static_cast<RenderEvent*>(event)->args);
        return false;
    }
    QVariantList args;
};

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void construction();
    void menus_data();
    void menus();
    void splitterLayout();
    void firstLoadReachedTheViews();
    void showLineChartAndMinimap_data();
    void showLineChartAndMinimap();
    void showOptionsAndDemo();
    void splitterTogglesSequenceView();
    void about();
    void styleSheet_data();
    void styleSheet();
    void closingEndsTheProgram();
    void resources_data();
    void resources();

private:
    MainWindow* makeWindow();

    std::unique_ptr<SettingsGuard> settings;
    std::unique_ptr<MainWindow> window;
};

void MainWindowTest::initTestCase()
{
    settings = std::make_unique<SettingsGuard>();
}

void MainWindowTest::cleanupTestCase()
{
    settings.reset();
}

void MainWindowTest::cleanup()
{
    window.reset();
    qApp->setStyleSheet(QString());
}

MainWindow* MainWindowTest::makeWindow()
{
    MessageRecorder boxes;
    window = std::make_unique<MainWindow>();
    return window.get();
}

void MainWindowTest::construction()
{
    NO_DATA = true;
    DebugCapture cap;
    cap.setForward(false);
    MainWindow* w = makeWindow();
    QCOMPARE(w->minimumSize(), QSize(1397, 800));
    QCOMPARE(w->sizeHint(), QSize(1280, 600));
    QCOMPARE(w->windowTitle(), QStringLiteral("LumiVane"));
    QCOMPARE(QApplication::applicationName(), QStringLiteral("LumiVane 1.1"));
    QVERIFY(!w->windowIcon().isNull());
    QCOMPARE(QApplication::style()->objectName(), QStringLiteral("fusion"));
    QCOMPARE(QApplication::font().pointSize(), 8);
    QCOMPARE(APPLICATION_FONT.pointSize(), 8);
    QVERIFY(cap.contains(QStringLiteral("\"") + QFont().family() + QStringLiteral("\"")));
    QVERIFY(!NO_DATA);
    // The window declares the custom event numbers and registers them.
    QCOMPARE(int(MainWindow::EventType::FOCUSEVENT), 1012);
    QVERIFY(QMetaType::type("EventType") != QMetaType::UnknownType);

    // The controller has no Qt parent; its status label sits in the status bar.
    QVERIFY(!w->controlWidget->parent());
    QCOMPARE(w->controlWidget->mainWindow, w);
    QVERIFY(w->controlWidget->hasMouseTracking());
    QVERIFY(w->statusBar()->isAncestorOf(w->controlWidget->statusLabel));
    // The first (empty) load leaves the event matrix's status line in it.
    QCOMPARE(w->controlWidget->statusLabel->text(),
             QStringLiteral("Selected traces: 0(0%) Total: 0 | Selected messages: 0(0%) Total: 0"));
    QCOMPARE(w->controlWidget->threadPool, QThreadPool::globalInstance());
    QVERIFY(!w->leftOptions->parent());
    QVERIFY(!w->rightOptions->parent());

    // The left event view has the focus; the options know their views.
    QVERIFY(w->leftEventRibbon->view->focused);
    QCOMPARE(w->leftOptions->view, w->leftEventRibbon->view);
    QCOMPARE(w->rightOptions->view, w->rightEventRibbon->view);
    QCOMPARE(w->leftEventRibbon->overviewRibbon, w->leftOverviewRibbon);
    QCOMPARE(w->leftEventRibbon->lineRibbon, w->leftLineRibbon);
    QCOMPARE(w->rightEventRibbon->lineRibbon, w->rightLineRibbon);
    QCOMPARE(w->leftEventRibbon->side, 0);
    QCOMPARE(w->rightEventRibbon->side, 1);

    // Step 11: check marks follow the ribbons.
    QVERIFY(!w->lineChartAction->isChecked());
    QVERIFY(!w->overviewAction->isChecked());
    QVERIFY(w->optionsAction->isChecked());
    QVERIFY(!w->leftLineRibbon->isActive());
    QVERIFY(!w->leftOverviewRibbon->isActive());
    QVERIFY(!w->rightEventRibbon->view->isActive());
}

void MainWindowTest::menus_data()
{
    QTest::addColumn<int>("menu");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<QString>("tip");
    QTest::newRow("open") << 0 << 0 << "Open CSV" << false << "";
    QTest::newRow("convert") << 0 << 1 << "Convert PCAP" << false << "";
    QTest::newRow("xes") << 0 << 2 << "Export XES" << false << "";
    QTest::newRow("preprocess") << 0 << 3 << "PreProcess CSV" << false << "";
    QTest::newRow("linechart") << 1 << 0 << "Show linechart" << true
                               << "Shows line chart of attributes of interest";
    QTest::newRow("demo") << 1 << 1 << "Control Demo Lights" << true
                          << "Turn this feature on to send event data to external LAN light";
    QTest::newRow("minimap") << 1 << 2 << "Show minimap" << true
                             << "Shows an overview widget of event log";
    QTest::newRow("options") << 1 << 3 << "Show options" << true
                             << "Shows the options tab for the specification of rules";
    QTest::newRow("about") << 2 << 0 << "&About" << false << "About this application";
}

void MainWindowTest::menus()
{
    QFETCH(int, menu);
    QFETCH(int, entry);
    QFETCH(QString, text);
    QFETCH(bool, checkable);
    QFETCH(QString, tip);
    MainWindow* w = makeWindow();
    const QList<QAction*> bar = w->menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), QStringLiteral("&File"));
    QCOMPARE(bar[1]->text(), QStringLiteral("&View"));
    QCOMPARE(bar[2]->text(), QStringLiteral("&Help"));
    const QList<QAction*> entries = bar[menu]->menu()->actions();
    QVERIFY(entry < entries.size());
    QAction* a = entries[entry];
    QCOMPARE(a->text(), text);
    QCOMPARE(a->isCheckable(), checkable);
    QCOMPARE(a->statusTip(), tip);
    QCOMPARE(w->aboutAction->parent(), static_cast<QObject*>(w));
}

void MainWindowTest::splitterLayout()
{
    MainWindow* w = makeWindow();
    QSplitter* s = w->splitter;
    QCOMPARE(s->count(), 5);
    QCOMPARE(s->widget(0), static_cast<QWidget*>(w->settingsWidget));
    QCOMPARE(s->widget(1), static_cast<QWidget*>(w->leftEventRibbon));
    QCOMPARE(s->widget(2), w->copyColumn);
    QCOMPARE(s->widget(3), static_cast<QWidget*>(w->rightEventRibbon));
    QCOMPARE(s->widget(4), static_cast<QWidget*>(w->sequenceRibbon));
    QVERIFY(w->centralWidget()->isAncestorOf(s));
    // The split flag is off: the copy column and the right group are hidden.
    QVERIFY(w->copyColumn->isHidden());
    QCOMPARE(w->copyColumn->minimumWidth(), 30);
    QCOMPARE(w->copyColumn->maximumWidth(), 30);
    QVERIFY(w->rightEventRibbon->isHidden());
    const QList<QPushButton*> buttons = w->copyColumn->findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 2);
    for (QPushButton* b : buttons)
        QVERIFY(!b->icon().isNull());
}

void MainWindowTest::firstLoadReachedTheViews()
{
    MainWindow* w = makeWindow();
    Context* root = w->controlWidget->currentContext();
    QVERIFY(root);
    QCOMPARE(w->leftEventRibbon->view->context, root);
    // Every load leaves the sequence ribbon inactive and hidden.
    QVERIFY(!w->sequenceRibbon->active);
    QVERIFY(w->sequenceRibbon->isHidden());
}

void MainWindowTest::showLineChartAndMinimap_data()
{
    QTest::addColumn<bool>("lineChart");
    QTest::newRow("linechart") << true;
    QTest::newRow("minimap") << false;
}

void MainWindowTest::showLineChartAndMinimap()
{
    QFETCH(bool, lineChart);
    MainWindow* w = makeWindow();
    RenderLog renders;
    w->controlWidget->installEventFilter(&renders);
    QAction* action = lineChart ? w->lineChartAction : w->overviewAction;
    auto active = [&]() {
        return lineChart ? w->leftLineRibbon->isActive() : w->leftOverviewRibbon->isActive();
    };

    action->trigger();   // checks it
    QVERIFY(action->isChecked());
    QVERIFY(active());
    const QVariantList expected = {lineChart ? QStringLiteral("LineWidget")
                                             : QStringLiteral("OverviewWidget"),
                                   2};
    QCOMPARE(renders.args, QVariantList({QVariant(expected)}));

    action->trigger();   // unchecks it: deactivates, sends nothing
    QVERIFY(!active());
    QCOMPARE(renders.args.size(), 1);
    // The right group is never switched on.
    QVERIFY(!w->rightLineRibbon->isActive());
    QVERIFY(!w->rightOverviewRibbon->isActive());
}

void MainWindowTest::showOptionsAndDemo()
{
    MainWindow* w = makeWindow();
    w->show();
    w->optionsAction->trigger();
    QVERIFY(w->settingsWidget->isHidden());
    w->optionsAction->trigger();
    QVERIFY(!w->settingsWidget->isHidden());

    DEMO_LIGHTS = false;
    w->demoAction->trigger();
    QVERIFY(DEMO_LIGHTS);
    w->demoAction->trigger();
    QVERIFY(!DEMO_LIGHTS);
}

void MainWindowTest::splitterTogglesSequenceView()
{
    MainWindow* w = makeWindow();
    w->resize(1600, 900);
    w->show();
    w->sequenceRibbon->setActive(true, true);
    QSplitter* s = w->splitter;
    QList<int> sizes = s->sizes();
    sizes[1] -= 200;
    sizes.last() = 200;
    s->setSizes(sizes);
    QVERIFY(s->sizes().last() > 0);
    sizes = s->sizes();

    // Closing the last pane deactivates the sequence view; the event
    // ribbon's "SequenceView" button follows and so hides the pane.
    sizes[1] += sizes.last();
    sizes.last() = 0;
    s->setSizes(sizes);
    w->splitterMoved(0, 4);
    QVERIFY(!w->sequenceRibbon->active);
    QPushButton* button = w->leftEventRibbon->sequenceViewButton;
    QVERIFY(!button->isChecked());
    QVERIFY(w->sequenceRibbon->isHidden());

    // The button brings it back, active and shown, and the pane opens.
    button->toggle();
    QVERIFY(w->sequenceRibbon->active);
    QVERIFY(!w->sequenceRibbon->isHidden());
    sizes = s->sizes();
    sizes[1] -= 200;
    sizes.last() = 200;
    s->setSizes(sizes);
    QVERIFY(s->sizes().last() > 0);

    // An open pane activates an inactive view.
    w->sequenceRibbon->active = false;
    w->splitterMoved(0, 4);
    QVERIFY(w->sequenceRibbon->active);

    // A move that keeps the pane open changes nothing.
    w->splitterMoved(0, 1);
    QVERIFY(w->sequenceRibbon->active);
}

void MainWindowTest::about()
{
    MainWindow* w = makeWindow();
    MessageRecorder boxes;
    w->aboutAction->trigger();
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].title, QStringLiteral("About Lumivane"));
    QVERIFY(boxes.requests[0].text.startsWith(
        QStringLiteral("The application <b>Lumivane</b> demonstrates how to use regular expression "
                       "for multivariate data analysis.<br /><b>Version</b>: 1.1")));
}

void MainWindowTest::styleSheet_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing") << false << QByteArray() << "";
    QTest::newRow("plain") << true << QByteArray("QLabel { color: red; }") << "QLabel { color: red; }";
    QTest::newRow("stops at zero byte") << true << QByteArray("QLabel { }\0QWidget { color: blue; }", 34)
                                        << "QLabel { }";
    QTest::newRow("latin-1") << true << QByteArray("/* \xe9 */") << QString::fromLatin1("/* \xe9 */");
}

void MainWindowTest::styleSheet()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    TempWorkDir dir;
    if (present)
        dir.write(QStringLiteral("simple.stylesheet"), bytes);
    qApp->setStyleSheet(QStringLiteral("QWidget { }"));
    makeWindow();
    QCOMPARE(qApp->styleSheet(), expected);
}

void MainWindowTest::closingEndsTheProgram()
{
    MainWindow* w = makeWindow();
    w->show();
    // An editor window without parent, as the side panel opens them.
    QWidget editor;
    editor.show();
    QVERIFY(editor.isVisible());
    QVERIFY(w->close());
    QVERIFY(!editor.isVisible());
}

void MainWindowTest::resources_data()
{
    QTest::addColumn<QString>("path");
    for (const char* name : {"righttriangle", "lefttriangle", "refresh", "groupby", "gear", "fit",
                             "merge", "hsort", "log", "sort", "after", "before", "choice",
                             "colorPicker", "iterator", "negation", "redo", "undo", "stack",
                             "export", "import"}) {
        QTest::newRow(name) << QStringLiteral(":/Resources/%1.png").arg(QLatin1String(name));
    }
    QTest::newRow("window icon") << QStringLiteral(":/Vexmark.ico");
}

void MainWindowTest::resources()
{
    QFETCH(QString, path);
    ControlWidget control(nullptr);   // makes the compiled-in resources known
    QVERIFY(QFile::exists(path));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 16);
}

LUMIVANE_TEST(MainWindowTest)
#include "MainWindowTest.moc"
