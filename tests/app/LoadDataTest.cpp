#include "DebugCapture.h"
#include "FileAnswers.h"
#include "TempWorkDir.h"
#include "MessageRecorder.h"
#include "TestRegistry.h"
#include "SettingsGuard.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "app/SettingsWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/ThreadStarter.h"
#include "import/OpenWidget.h"
#include "patterns/Rule.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/ScentedWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <memory>

// Holds the computation of a root context on its own thread at "build
// conversation data" until the GUI thread has asked it to stop, so that a
// cancel lands during the computation however fast the machine is.
class ComputationGate
{
public:
    ComputationGate()
    {
        gate = this;
        previous = qInstallMessageHandler(&ComputationGate::handle);
    }
    ~ComputationGate()
    {
        qInstallMessageHandler(previous);
        gate = nullptr;
    }
    ComputationGate(const ComputationGate&) = delete;
    ComputationGate& operator=(const ComputationGate&) = delete;

    void open() { semaphore.release(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        ComputationGate* g = gate;
        if (!g)
            return;
        if (g->previous)
            g->previous(type, context, message);
        if (message == QLatin1String("build conversation data")
            && QThread::currentThread() != QCoreApplication::instance()->thread())
            g->semaphore.tryAcquire(1, 30000);
    }

    static ComputationGate* gate;
    QtMessageHandler previous = nullptr;
    QSemaphore semaphore;
};

ComputationGate* ComputationGate::gate = nullptr;

namespace {

const TList<QString> NAMES = {QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                              QStringLiteral("ip.dst")};
const TList<int> KINDS = {1, 3, 3};

// n events over `traces` traces, one second apart.
TList<QSharedPointer<Packet>> makeEvents(int n, int traces = 3)
{
    TList<QSharedPointer<Packet>> events;
    for (int i = 0; i < n; ++i) {
        TList<TVariant> row = {TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 7)),
                               TVariant(QStringLiteral("10.0.1.%1").arg(i % 5))};
        auto event = QSharedPointer<Packet>::create(row);
        event->conversationId = i % traces;
        events.append(event);
    }
    return events;
}

// The import dialog opened by "Open CSV", once its loop runs.
OpenWidget* openDialog()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<OpenWidget*>(w);
        if (dialog && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

QAction* fileAction(MainWindow& w, const QString& text)
{
    for (QAction* a : w.fileMenu->actions()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

// A log of `rows` records over `sources` sources.
QByteArray logText(int rows, int sources)
{
    QByteArray bytes = "frame.time_epoch,ip.src,ip.dst,frame.len\n";
    for (int i = 0; i < rows; ++i)
        bytes += QByteArray::number(1600000000 + i) + ",10.0.0." + QByteArray::number(i % sources)
                 + ",10.0.1.1,60\n";
    return bytes;
}

// Runs "Open CSV" on `path`, grouped by source; `script` runs in the
// import dialog after the file is chosen and must press a button.
void scriptedOpen(MainWindow& w, const QString& path,
                  const std::function<void(OpenWidget*)>& script)
{
    FileAnswers files({path});
    QTimer::singleShot(0, [script]() {
        OpenWidget* dialog = openDialog();
        QVERIFY(dialog);
        dialog->openFile();
        dialog->groupingCombo->setCurrentText(QStringLiteral("ip.src"));
        script(dialog);
    });
    fileAction(w, QStringLiteral("Open CSV"))->trigger();
}

} // namespace

class LoadDataTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void emptyLoadWithoutViews();
    void loadReachesEveryView();
    void cancelKeepsTheShownData();
    void handOverNamesEachView();
    void reloadReleasesTheOldData();
    void scriptedOpenFeedsEveryView();
    void cancelledComputationKeepsTheShownLog();
    void laterDialogsShowNothing();
    void importDialogOverTheWindow();
    void computedHereWithoutThread_data();
    void computedHereWithoutThread();
    void loadRules_data();
    void loadRules();

private:
    std::unique_ptr<SettingsGuard> settings;
};

void LoadDataTest::initTestCase()
{
    settings = std::make_unique<SettingsGuard>();
}

void LoadDataTest::cleanupTestCase()
{
    settings.reset();
}

void LoadDataTest::emptyLoadWithoutViews()
{
    ControlWidget control(nullptr);
    GlyphStore* before = control.glyphStore;
    QVERIFY(before);
    QVERIFY(!before->rootContext);
    before->textPool.insert(QStringLiteral("kept"), TVariant(QStringLiteral("kept")));
    before->fileName = QStringLiteral("/logs/x.csv");
    before->glyphs.append(before->glyphs.first());
    NO_DATA = true;

    control.loadData({}, {}, {});

    GlyphStore* after = control.glyphStore;
    QVERIFY(after != before);
    QVERIFY(after->rootContext);
    QCOMPARE(after->rootContext->name, QStringLiteral("All"));
    QVERIFY(after->rootContext->packets.isEmpty());
    QVERIFY(!after->rootContext->parent);
    QCOMPARE(after->rootContext->store, after);
    // The text pool and the file name carry over; added glyphs do not.
    QVERIFY(after->textPool.contains(QStringLiteral("kept")));
    QCOMPARE(after->fileName, QStringLiteral("/logs/x.csv"));
    QCOMPARE(after->glyphs.size(), 3);
    QCOMPARE(after->conversationAttributeNames.size(), 27);
    QVERIFY(!NO_DATA);
    QVERIFY(!control.contextWorker);
    QVERIFY(!control.progressDialog);
    QVERIFY(control.findChildren<QThread*>().isEmpty());
}

void LoadDataTest::loadReachesEveryView()
{
    MessageRecorder boxes;
    MainWindow w;
    NO_DATA = true;
    w.controlWidget->loadData(makeEvents(10), NAMES, KINDS);

    GlyphStore* store = w.controlWidget->glyphStore;
    Context* root = store->rootContext;
    QVERIFY(root);
    QCOMPARE(root->packets.size(), 10);
    QCOMPARE(root->size(), 3);
    QCOMPARE(store->packetAttributeNames.size(), 3);
    QCOMPARE(store->attributeColumns.value(QStringLiteral("ip.src"), -1), 1);
    QVERIFY(store->rangeAttributes.contains(QStringLiteral("frame.time_epoch")));

    EventWidget* left = w.leftEventRibbon->view;
    QCOMPARE(left->context, root);
    QCOMPARE(w.controlWidget->currentContext(), root);
    QCOMPARE(w.controlWidget->focusedEventWidget(), left);
    QCOMPARE(w.navigationWidget->activeContext, root);
    QCOMPARE(w.settingsWidget->attributeWidget->context, root);
    QCOMPARE(w.settingsWidget->conversationWidget->context, root);
    QCOMPARE(w.leftLineRibbon->chart->context, root);
    QCOMPARE(w.leftLineRibbon->miniView->context, root);
    QCOMPARE(w.leftLineRibbon->chart->eventView, left);
    QCOMPARE(w.leftLineRibbon->miniView->eventView, left);
    QCOMPARE(left->glyphStore, store);
    // The right group is never fed.
    QVERIFY(!w.rightEventRibbon->view->context);
    QVERIFY(!w.sequenceRibbon->active);
    QVERIFY(!NO_DATA);
    QVERIFY(!w.controlWidget->contextWorker);
    QVERIFY(w.controlWidget->findChildren<QThread*>().isEmpty());
}

void LoadDataTest::cancelKeepsTheShownData()
{
    MessageRecorder boxes;
    MainWindow w;
    w.controlWidget->loadData(makeEvents(20), NAMES, KINDS);
    GlyphStore* store = w.controlWidget->glyphStore;
    Context* root = store->rootContext;

    DebugCapture cap;
    cap.setForward(false);
    ComputationGate gate;
    ControlWidget* control = w.controlWidget;
    QTimer::singleShot(0, control, [control, &gate]() {
        QVERIFY(control->progressDialog);
        // What the dialog's Cancel button does.
        emit control->progressDialog->canceled();
        gate.open();
    });
    NO_DATA = true;
    control->loadData(makeEvents(200000, 5000), NAMES, KINDS);

    QVERIFY(cap.contains(QStringLiteral("Canceled")));
    QCOMPARE(control->glyphStore, store);
    QCOMPARE(store->rootContext, root);
    QCOMPARE(root->packets.size(), 20);
    QCOMPARE(w.leftEventRibbon->view->context, root);
    QCOMPARE(w.navigationWidget->activeContext, root);
    QVERIFY(!NO_DATA);
    QVERIFY(!control->contextWorker);
    QVERIFY(!control->progressDialog);
    QVERIFY(control->findChildren<QThread*>().isEmpty());

    // A later load still works.
    control->loadData(makeEvents(5), NAMES, KINDS);
    QCOMPARE(control->glyphStore->rootContext->packets.size(), 5);
}

void LoadDataTest::handOverNamesEachView()
{
    MessageRecorder boxes;
    MainWindow w;
    ControlWidget* control = w.controlWidget;
    // Fires whenever the window is back in its event loop while the views
    // take the log; a press of Escape then (what closing the dialog does
    // too) cancels nothing any more.
    QStringList stages;
    QTimer ticker;
    ticker.setInterval(0);
    connect(&ticker, &QTimer::timeout, control, [control, &stages, &w]() {
        QProgressDialog* dialog = control->progressDialog;
        if (!dialog || control->contextWorker || stages.contains(dialog->labelText()))
            return;
        stages << dialog->labelText();
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->parentWidget(), &w);
        QVERIFY(dialog->findChildren<QPushButton*>().isEmpty());
        if (stages.size() == 3)
            dialog->cancel();
    });
    ticker.start();
    control->loadData(makeEvents(3000, 40), NAMES, KINDS);
    ticker.stop();

    QCOMPARE(stages, (QStringList{"Showing data: rules and navigation", "Showing data: event attributes",
                                  "Showing data: trace attributes", "Showing data: event matrix",
                                  "Showing data: charts and sequences"}));
    Context* root = control->glyphStore->rootContext;
    QCOMPARE(root->packets.size(), 3000);
    QCOMPARE(w.leftEventRibbon->view->context, root);
    QCOMPARE(w.settingsWidget->attributeWidget->context, root);
    QCOMPARE(w.leftLineRibbon->chart->context, root);
    QVERIFY(!control->progressDialog);
    QVERIFY(!NO_DATA);
}

void LoadDataTest::reloadReleasesTheOldData()
{
    MessageRecorder boxes;
    MainWindow w;
    for (int i = 1; i <= 5; ++i) {
        w.controlWidget->loadData(makeEvents(i * 3), NAMES, KINDS);
        QCOMPARE(w.controlWidget->currentContext()->packets.size(), i * 3);
        QCOMPARE(w.navigationWidget->activeContext, w.controlWidget->currentContext());
    }
}

void LoadDataTest::scriptedOpenFeedsEveryView()
{
    MessageRecorder boxes;
    TempWorkDir dir;
    MainWindow w;
    const QString path = dir.write(QStringLiteral("small.csv"), logText(30, 4));
    NO_DATA = true;
    scriptedOpen(w, path, [](OpenWidget* dialog) { dialog->loadButton->click(); });

    QVERIFY(!openDialog());
    QCOMPARE(w.windowTitle(), QStringLiteral("Kolm 1.1 Kolm (small.csv)"));
    QCOMPARE(QCoreApplication::applicationName(), w.windowTitle());
    GlyphStore* store = w.controlWidget->glyphStore;
    Context* root = store->rootContext;
    QVERIFY(root);
    QCOMPARE(root->packets.size(), 30);
    QCOMPARE(root->size(), 4);
    QCOMPARE(store->fileName, path);
    QCOMPARE(w.leftEventRibbon->view->context, root);
    QCOMPARE(w.navigationWidget->activeContext, root);
    QCOMPARE(w.settingsWidget->attributeWidget->context, root);
    QCOMPARE(w.settingsWidget->conversationWidget->context, root);
    QCOMPARE(w.leftLineRibbon->chart->context, root);
    QCOMPARE(w.leftLineRibbon->miniView->context, root);
    QVERIFY(!NO_DATA);
    QCoreApplication::setApplicationName(QStringLiteral("test_app"));
}

void LoadDataTest::cancelledComputationKeepsTheShownLog()
{
    MessageRecorder boxes;
    TempWorkDir dir;
    MainWindow w;
    ControlWidget* control = w.controlWidget;
    const QString title = w.windowTitle();
    GlyphStore* store = control->glyphStore;
    Context* root = store->rootContext;
    const QString path = dir.write(QStringLiteral("big.csv"), logText(60000, 3000));

    DebugCapture cap;
    cap.setForward(false);
    ComputationGate gate;
    // The computation of the root context is cancelled as soon as its
    // dialog runs.
    auto* poll = new QTimer(control);
    poll->setInterval(1);
    QObject::connect(poll, &QTimer::timeout, control, [control, poll, &gate]() {
        if (!control->progressDialog)
            return;
        // What the dialog's Cancel button does.
        emit control->progressDialog->canceled();
        gate.open();
        poll->stop();
    });
    scriptedOpen(w, path, [poll](OpenWidget* dialog) {
        poll->start();
        dialog->loadButton->click();
    });
    delete poll;
    QVERIFY(cap.contains(QStringLiteral("Canceled")));

    QCOMPARE(control->glyphStore, store);
    QCOMPARE(store->rootContext, root);
    QCOMPARE(w.leftEventRibbon->view->context, root);
    QCOMPARE(w.windowTitle(), title);
    QVERIFY(control->findChildren<QThread*>().isEmpty());
}

void LoadDataTest::laterDialogsShowNothing()
{
    MessageRecorder boxes;
    MainWindow w;
    FileAnswers files;
    GlyphStore* store = w.controlWidget->glyphStore;
    // "Convert PCAP" opens the conversion dialog; closed unused, it asks
    // for no file.
    QString opened;
    QTimer::singleShot(0, [&opened]() {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            opened = QString::fromLatin1(dialog->metaObject()->className());
            dialog->close();
        }
    });
    fileAction(w, QStringLiteral("Convert PCAP"))->trigger();
    QCOMPARE(opened, QStringLiteral("ParseWidget"));
    QVERIFY(files.requests.isEmpty());
    // "Export XES" asks for both files; with both cancelled it writes and
    // shows nothing.
    fileAction(w, QStringLiteral("Export XES"))->trigger();
    QCOMPARE(files.requests.size(), 2);
    QCOMPARE(files.requests.at(0).caption, QStringLiteral("Open CSV"));
    QCOMPARE(files.requests.at(1).caption, QStringLiteral("Export Selection:"));
    QVERIFY(boxes.requests.isEmpty());
    // "PreProcess CSV" stops at the first unanswered dialog.
    fileAction(w, QStringLiteral("PreProcess CSV"))->trigger();
    QCOMPARE(files.requests.size(), 3);
    QCOMPARE(files.requests.last().caption, QStringLiteral("Select directory for processing"));
    QCOMPARE(w.controlWidget->glyphStore, store);
}

// "Open CSV" opens its dialog over the main window, modal as before, and
// gone with the action.
void LoadDataTest::importDialogOverTheWindow()
{
    MessageRecorder boxes;
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QPointer<OpenWidget> seen;
    bool modalOverTheWindow = false;
    QTimer::singleShot(0, [&]() {
        seen = openDialog();
        modalOverTheWindow = seen && QApplication::activeModalWidget() == seen && seen->parentWidget() == &w;
        if (seen)
            seen->reject();
    });
    fileAction(w, QStringLiteral("Open CSV"))->trigger();
    QVERIFY(modalOverTheWindow);
    QVERIFY(seen.isNull());
}

// The system refuses the computation's thread: the root context is
// computed on the window's thread, and every view takes it as it would
// otherwise.
void LoadDataTest::computedHereWithoutThread_data()
{
    QTest::addColumn<bool>("window");
    QTest::addColumn<int>("refused");   // thread starts refused
    QTest::newRow("no views") << false << 1;
    QTest::newRow("window") << true << 1;
    // The side panels' histogram jobs too.
    QTest::newRow("window, no thread at all") << true << 1000;
}

void LoadDataTest::computedHereWithoutThread()
{
    QFETCH(bool, window);
    QFETCH(int, refused);
    MessageRecorder boxes;
    std::unique_ptr<MainWindow> w(window ? new MainWindow : nullptr);
    std::unique_ptr<ControlWidget> own(window ? nullptr : new ControlWidget(nullptr));
    ControlWidget* control = window ? w->controlWidget : own.get();
    GlyphStore* before = control->glyphStore;

    ThreadStarter::refuseNext(refused);
    QVERIFY(control->loadData(makeEvents(3000, 40), NAMES, KINDS));
    const int left = ThreadStarter::refuseNext(0);
    QVERIFY(left < refused);

    Context* root = control->glyphStore->rootContext;
    QVERIFY(control->glyphStore != before);
    QCOMPARE(root->packets.size(), 3000);
    QCOMPARE(root->size(), 40);
    QCOMPARE(root->histograms.size(), 3);
    QVERIFY(!control->contextWorker);
    QVERIFY(!control->progressDialog);
    QVERIFY(control->findChildren<QThread*>().isEmpty());
    QVERIFY(boxes.requests.isEmpty());
    if (window) {
        QCOMPARE(w->leftEventRibbon->view->context, root);
        QCOMPARE(w->settingsWidget->attributeWidget->context, root);
        QCOMPARE(w->settingsWidget->conversationWidget->context, root);
        QCOMPARE(w->leftLineRibbon->chart->context, root);
        QCOMPARE(w->navigationWidget->activeContext, root);
        // Every histogram of the panels was counted.
        for (AttributeWidget* panel : {static_cast<AttributeWidget*>(w->settingsWidget->attributeWidget),
                                       static_cast<AttributeWidget*>(w->settingsWidget->conversationWidget)}) {
            QVERIFY(!panel->ranOutOfMemory());
            QVERIFY(!panel->histograms().isEmpty());
            for (ScentedWidget* histogram : panel->histograms().items)
                QVERIFY(histogram->serie);
        }
    }
}

void LoadDataTest::loadRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("skipped");   // line number: why
    const QString a = QStringLiteral("[ A,x,(0;0;0),(0;0;0),(0;0;0),true,0,0,1 ]");
    const QString ab = a + QStringLiteral(" --> &&[ delete ]");
    const QString sides = QStringLiteral("its precondition or rewrite does not read");
    const QStringList none;
    QTest::newRow("final line break") << "r1~true~true~" + ab + "\n" << QStringList{"r1"} << none;
    QTest::newRow("blank and short lines")
        << "r1~true~true~" + ab + "\n\n   \nbroken~true\nr2~false~true~" + ab << QStringList{"r1", "r2"}
        << QStringList{"4: fewer than four \"~\" fields"};
    QTest::newRow("latin-1 name") << QString::fromLatin1("caf\xe9~true~true~") + ab
                                  << QStringList{QString::fromLatin1("caf\xe9")} << none;
    QTest::newRow("empty") << "" << QStringList{} << none;
    // An empty rewrite side is a rule without a rewrite; "&&" alone is the
    // empty rewrite, but no precondition.
    QTest::newRow("sides that do not read")
        << "r1~true~true~A --> B\nr2~true~true~" + ab + "\nr3~true~true~" + a + " --> \nr4~true~true~ --> " + a
               + "\nr5~true~true~" + a + " --> &&\nr6~true~true~&& --> &&"
        << QStringList{"r2", "r3", "r5"} << QStringList{"1: " + sides, "4: " + sides, "6: " + sides};
    // A glyph condition that does not parse would match every event.
    QTest::newRow("condition that does not parse")
        << "G~true~false~[ A,x,(0;0;0),(0;0;0),(0;0;0),a ==,0,0,1 ] --> &&[ delete ]\nr2~true~true~" + ab
        << QStringList{"r2"} << QStringList{"1: " + sides};
}

void LoadDataTest::loadRules()
{
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QFETCH(QStringList, skipped);
    ControlWidget control(nullptr);
    DebugCapture capture;
    capture.setForward(false);
    const TList<Rule> rules = control.loadRules(text);
    QStringList got;
    for (const Rule& r : rules)
        got << r.name;
    QCOMPARE(got, names);
    QStringList lines;
    for (const QString& line : skipped)
        lines << QStringLiteral("rules file line %1 skipped: %2").arg(line.section(": ", 0, 0), line.section(": ", 1));
    QCOMPARE(capture.lines(), lines);
}

LUMIVANE_TEST(LoadDataTest)
#include "LoadDataTest.moc"
