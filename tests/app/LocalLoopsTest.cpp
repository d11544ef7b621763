#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "events/GlyphsEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>
#include <new>

// An action that waits in a loop of its own (a dialog it reads the answer
// of, the load's progress dialogs) fails whole when a handler ran out of
// memory meanwhile: that may have been a handler it relied on.

namespace {

using Packets = TList<QSharedPointer<Packet>>;

const TList<QString> NAMES = {"frame.time_epoch", "ip.src", "ip.dst"};
const TList<int> KINDS = {1, 3, 3};

Packets makeEvents(int n)
{
    Packets events;
    for (int i = 0; i < n; ++i) {
        auto event = QSharedPointer<Packet>::create(TList<TVariant>{
            TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 5)), TVariant(QStringLiteral("b"))});
        event->conversationId = i % 4;
        events.append(event);
    }
    return events;
}

// A handler that ends its own running out of memory, as any may while the
// action waits.
void handlerRunsOut()
{
    HandlerGuard::run([] { throw std::bad_alloc(); });
}

// Calls `react` at each event that an object receives (any object, on
// the application), while it lives.
struct Watch : QObject
{
    Watch(QObject* on, std::function<void(QObject*, QEvent*)> react) : on(on), react(std::move(react))
    {
        on->installEventFilter(this);
    }
    ~Watch() override { on->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        react(watched, event);
        return false;
    }
    QObject* on;
    std::function<void(QObject*, QEvent*)> react;
};

} // namespace

class LocalLoopsTest : public QObject
{
    Q_OBJECT

private slots:
    void dialogs_data();
    void dialogs();
    void load_data();
    void load();
};

void LocalLoopsTest::dialogs_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<bool>("fails");   // a handler runs out of memory while it is up
    QTest::addColumn<QString>("outcome");
    QTest::newRow("file dialog") << "file" << false << "/logs/a.csv";
    QTest::newRow("file dialog, a handler fails") << "file" << true << "";
    QTest::newRow("name of a selection") << "name" << false << "1 saved, counter 1";
    QTest::newRow("name of a selection, a handler fails") << "name" << true << "0 saved, counter 0";
    // Answered No: the changes go back, unless the answer may not count.
    QTest::newRow("changed context") << "changes" << false << "20 events";
    QTest::newRow("changed context, a handler fails") << "changes" << true << "15 events, changed";
    // Answered Yes: the sequence view aligns, unless the answer may not count.
    QTest::newRow("long selection") << "alignment" << false << "aligned";
    QTest::newRow("long selection, a handler fails") << "alignment" << true << "not aligned";
}

void LocalLoopsTest::dialogs()
{
    QFETCH(QString, dialog);
    QFETCH(bool, fails);
    QFETCH(QString, outcome);
    SettingsGuard settings;
    MessageRecorder boxes;
    QString result;
    if (dialog == QLatin1String("file")) {
        const FileAsker::Handler previous = FileAsker::setHandler([fails](const FileAsker::Request&) {
            if (fails)
                handlerRunsOut();
            return QStringLiteral("/logs/a.csv");
        });
        result = FileAsker::openFileName(nullptr, QStringLiteral("Open CSV"), QString(), QStringLiteral("*.csv"));
        FileAsker::setHandler(previous);
    } else if (dialog == QLatin1String("name")) {
        ControlWidget control(nullptr);
        GlyphStore* store = control.glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(NAMES, KINDS);
        Context* root = store->rootContext = new Context(nullptr, "All", makeEvents(12), store, true);
        NavigationWidget nav(&control, nullptr);
        nav.refresh();
        selectionCounter = 0;
        QTimer::singleShot(0, [fails]() {
            auto* name = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
            QVERIFY(name);
            if (fails)
                handlerRunsOut();
            name->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        nav.saveSelection(root, root->packets.mid(2, 4));
        result = QStringLiteral("%1 saved, counter %2").arg(root->children.size()).arg(selectionCounter);
        QCOMPARE(nav.items.size(), 1 + root->children.size());
        QCOMPARE(store->packetAttributeNames.size(), NAMES.size() + root->children.size());
    } else {
        MainWindow w;
        w.controlWidget->loadData(makeEvents(20), NAMES, KINDS);
        Context* root = w.controlWidget->glyphStore->rootContext;
        boxes.answer = dialog == QLatin1String("changes") ? QMessageBox::No : QMessageBox::Yes;
        const MessageAsker::Handler recorder = MessageAsker::setHandler(nullptr);
        MessageAsker::setHandler([&](const MessageAsker::Request& r) {
            if (fails && r.icon == QMessageBox::Question)
                handlerRunsOut();
            return recorder(r);
        });
        if (dialog == QLatin1String("changes")) {
            // The matrix shows the root, whose changes a click in the tree
            // asks about.
            root->removePackets(root->packets.mid(0, 5));
            NavigationWidget* nav = w.navigationWidget;
            nav->rebuildTree();
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QTest::mouseClick(nav->viewport(), Qt::LeftButton, Qt::NoModifier,
                              nav->visualItemRect(nav->topLevelItem(0)).topLeft() + QPoint(6, 4));
            result = QStringLiteral("%1 events%2").arg(root->packets.size()).arg(root->modified ? ", changed" : "");
        } else {
            w.sequenceRibbon->setActive(true, true);
            // The custom events the sequence view receives.
            int aligned = 0;
            Watch received(w.sequenceRibbon->sequenceView, [&aligned](QObject*, QEvent* event) {
                aligned += int(event->type()) >= 1001 && int(event->type()) <= 1012;
            });
            TList<BinItem*> longest;
            for (int i = 0; i < 301; ++i)
                longest.append(nullptr);
            GlyphsEvent glyphs(nullptr, TList<TList<BinItem*>>{longest}, {QStringLiteral("select")});
            QCoreApplication::sendEvent(w.controlWidget, &glyphs);
            result = aligned > 0 ? QStringLiteral("aligned") : QStringLiteral("not aligned");
        }
        MessageAsker::setHandler(recorder);
    }
    QCOMPARE(result, outcome);
    // The user hears of it once, from the handler; the action adds nothing.
    QCoreApplication::processEvents();
    QCOMPARE(boxes.titles().count(QStringLiteral("Out of memory")), fails ? 1 : 0);
    QVERIFY(!boxes.titles().contains(QStringLiteral("Save as selection")));
}

void LocalLoopsTest::load_data()
{
    QTest::addColumn<QString>("when");   // when a handler runs out of memory
    QTest::addColumn<int>("shown");      // events of the log shown after
    QTest::addColumn<QString>("told");   // what the load says
    QTest::newRow("never") << QString() << 30 << QString();
    // Before the hand-over: the log before stays.
    QTest::newRow("while the log is counted") << "counting" << 12
                                              << "Loading the log ran out of memory while counting its values and "
                                                 "traces. The loaded log stays as it is.";
    // During it: the views take an empty log.
    QTest::newRow("while the views take it") << "showing" << 0
                                             << "Loading the log ran out of memory while the views took it. "
                                                "The window shows no log now.";
}

void LocalLoopsTest::load()
{
    QFETCH(QString, when);
    QFETCH(int, shown);
    QFETCH(QString, told);
    MessageRecorder boxes;
    ControlWidget control(nullptr);
    QVERIFY(control.loadData(makeEvents(12), NAMES, KINDS));

    bool failed = false;
    // The computation's dialog shows as its loop starts; the hand-over's
    // stages paint it as they let the window's events through.
    const bool counting = when == QLatin1String("counting");
    Watch watch(qApp, [&](QObject* watched, QEvent* event) {
        if (failed || when.isEmpty() || event->type() != (counting ? QEvent::Show : QEvent::Paint)
            || !watched->isWidgetType())
            return;
        // At a progress dialog or a widget in it.
        for (QWidget* w = static_cast<QWidget*>(watched); w; w = w->parentWidget()) {
            if (auto* dialog = qobject_cast<QProgressDialog*>(w)) {
                if (counting || dialog->labelText().startsWith(QLatin1String("Showing data")))
                    failed = true, handlerRunsOut();
                break;
            }
        }
    });
    const bool loaded = control.loadData(makeEvents(30), NAMES, KINDS);
    QCoreApplication::processEvents();
    QCOMPARE(failed, !when.isEmpty());
    QCOMPARE(loaded, when.isEmpty());
    QCOMPARE(control.glyphStore->rootContext->packets.size(), shown);
    QStringList texts;
    for (const MessageAsker::Request& r : boxes.requests)
        texts << r.text;
    QCOMPARE(texts.filter(QStringLiteral("Loading")), told.isEmpty() ? QStringList() : QStringList{told});
    QVERIFY(!control.progressDialog && !control.contextWorker);
}

LUMIVANE_TEST(LocalLoopsTest)
#include "LocalLoopsTest.moc"
