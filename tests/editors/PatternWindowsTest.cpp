#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCompleter>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "../app/MessageRecorder.h"
#include "../app/SettingsGuard.h"
#include "PatternTrees.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/QueryWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/SearchWidget.h"
#include "editors/TextEdit.h"
#include "events/EventType.h"
#include "events/FindEvent.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

using namespace trees;

namespace {

// Keeps what a find event carried while it was delivered.
struct FindLog : QObject {
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (int(e->type()) == FINDEVENT) {
            auto* find = static_cast<FindEvent*>(e);
            ++count;
            sender = find->sender;
            tree = shape(find->tree);
            traces = find->findTraces;
            shortest = find->shortestMatch;
            attribute = find->createAttribute;
            args = find->args.size();
        }
        return false;
    }
    int count = 0;
    QObject* sender = nullptr;
    QString tree;
    bool traces = false;
    bool shortest = false;
    bool attribute = false;
    int args = -1;
};

// A pattern editor in a window of its own, as the rule editor and the find
// window hold one.
struct EditorWindow {
    explicit EditorWindow(ControlWidget* control) : ribbon(new RibbonMapWidget(false, control, &window))
    {
        window.resize(500, 300);
        window.show();
    }
    QWidget window;
    RibbonMapWidget* ribbon;
};

} // namespace

// Cases that need the main window: its left event matrix picks glyphs and
// receives finds, and its context gives the values to complete.
class PatternWindowsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pickReachesOnlyTheRibbonThatStartedIt();
    void findSendsTheFlags_data();
    void findSendsTheFlags();
    void keysGoToThePatternEditor();
    void valuesOfTheFocusedContext();

private:
    EventWidget* matrix() const { return window->leftEventRibbon->view; }

    std::unique_ptr<SettingsGuard> settings;
    std::unique_ptr<MainWindow> window;
};

void PatternWindowsTest::initTestCase()
{
    settings = std::make_unique<SettingsGuard>();
    MessageRecorder boxes;
    window = std::make_unique<MainWindow>();
    // Three traces; "ip.src" takes the values 10.0.0.0 .. 10.0.0.6, and in
    // the last event a value too long to be listed whole.
    TList<QSharedPointer<Packet>> events;
    for (int i = 0; i < 31; ++i) {
        const QString source = i < 30 ? QStringLiteral("10.0.0.%1").arg(i % 7) : QString(400, 'x');
        TList<TVariant> row = {TVariant(1000 + i), TVariant(source), TVariant(i % 4)};
        auto event = QSharedPointer<Packet>::create(row);
        event->conversationId = i % 3;
        events.append(event);
    }
    window->controlWidget->loadData(events, {"frame.time_epoch", "ip.src", "len"}, {1, 3, 1});
    QVERIFY(window->controlWidget->currentContext());
}

void PatternWindowsTest::cleanupTestCase()
{
    window.reset();
    settings.reset();
}

void PatternWindowsTest::pickReachesOnlyTheRibbonThatStartedIt()
{
    EditorWindow first(window->controlWidget);
    EditorWindow second(window->controlWidget);
    auto trees = [&]() {
        return shape(first.ribbon->map->root) + " " + shape(second.ribbon->map->root);
    };
    BinItem glyph(nullptr, nullptr);
    glyph.name = QStringLiteral("P");

    first.ribbon->pickerButton->click();
    QVERIFY(first.window.windowState() & Qt::WindowMinimized);
    emit matrix()->picked(glyph);
    QCOMPARE(trees(), QStringLiteral("seq(P) seq([])"));
    QVERIFY(!(first.window.windowState() & Qt::WindowMinimized));
    emit matrix()->picked(glyph);            // the pick is over: nobody
    QCOMPARE(trees(), QStringLiteral("seq(P) seq([])"));

    // A second ribbon's pick takes over from a waiting one.
    first.ribbon->picker();
    second.ribbon->picker();
    emit matrix()->picked(glyph);
    QCOMPARE(trees(), QStringLiteral("seq(P) seq(P)"));

    // A cancelled pick (Esc) places nothing and brings the window back.
    second.ribbon->picker();
    emit matrix()->picked(BinItem(nullptr, nullptr));
    QCOMPARE(trees(), QStringLiteral("seq(P) seq(P)"));
    QVERIFY(!(second.window.windowState() & Qt::WindowMinimized));

    // A ribbon that goes while it waits leaves nothing connected.
    delete new RibbonMapWidget(false, window->controlWidget, nullptr);
    {
        EditorWindow gone(window->controlWidget);
        gone.ribbon->picker();
    }
    emit matrix()->picked(glyph);
}

void PatternWindowsTest::findSendsTheFlags_data()
{
    QTest::addColumn<bool>("traces");
    QTest::addColumn<bool>("longest");
    QTest::addColumn<bool>("attribute");
    QTest::newRow("defaults") << false << false << false;
    QTest::newRow("traces") << true << false << false;
    QTest::newRow("longest") << false << true << false;
    QTest::newRow("all") << true << true << true;
}

void PatternWindowsTest::findSendsTheFlags()
{
    QFETCH(bool, traces);
    QFETCH(bool, longest);
    QFETCH(bool, attribute);
    FindLog log;
    matrix()->installEventFilter(&log);
    QPointer<SearchWidget> search = new SearchWidget(window->controlWidget);
    search->show();
    if (traces)
        QTest::mouseClick(search->tracesBox, Qt::LeftButton);
    if (longest)
        QTest::mouseClick(search->longestBox, Qt::LeftButton);
    if (attribute)
        QTest::mouseClick(search->attributeBox, Qt::LeftButton);
    search->editor->map->setRoot(tree("seq(A,star(B))"));
    if (attribute) {
        // The matrix asks for the attribute's name: cancelled.
        QTimer::singleShot(0, []() {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->reject();
        });
    }
    QTest::mouseClick(search->findButton, Qt::LeftButton);
    matrix()->removeEventFilter(&log);

    QCOMPARE(log.count, 1);
    QCOMPARE(log.sender, static_cast<QObject*>(search.data()));
    QCOMPARE(log.tree, QStringLiteral("seq(A,star(B))"));
    QCOMPARE(log.traces, traces);
    QCOMPARE(log.shortest, !longest);
    QCOMPARE(log.attribute, attribute);
    QCOMPARE(log.args, 0);
    QVERIFY(!search->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(search.isNull());
}

void PatternWindowsTest::keysGoToThePatternEditor()
{
    std::unique_ptr<SearchWidget> search(new SearchWidget(window->controlWidget));
    search->setAttribute(Qt::WA_DeleteOnClose, false);
    search->editor->map->setRoot(tree("seq(A,B)"));
    search->show();
    // Sent to the window itself, not to the editor.
    QTest::keyClick(search.get(), Qt::Key_Right);
    QTest::keyClick(search.get(), Qt::Key_Right);
    const TList<BinItem*> selected = search->editor->map->selectedItems();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first()->name, QStringLiteral("B"));
    QTest::keyClick(search.get(), Qt::Key_Delete);
    QCOMPARE(shape(search->editor->map->root), QStringLiteral("seq(A)"));
    // The ribbon's undo follows the deletion.
    QVERIFY(search->editor->undo->isEnabled());
}

void PatternWindowsTest::valuesOfTheFocusedContext()
{
    QueryWidget query(window->controlWidget, QString());
    query.show();
    QTest::keyClicks(query.textEdit, QStringLiteral("ip.src == "));
    QCOMPARE(query.lastKind, 3);
    QStringList offered;
    for (int row = 0; row < query.completer->completionCount(); ++row) {
        query.completer->setCurrentRow(row);
        offered << query.completer->currentCompletion();
    }
    // The long value is left out.
    QStringList values;
    for (int i = 0; i < 7; ++i)
        values << QStringLiteral("10.0.0.%1").arg(i);
    QCOMPARE(offered, values);
    // A value of the context completes the condition; another one does not.
    QTest::keyClicks(query.textEdit, QStringLiteral("10.0.0.3"));
    QCOMPARE(query.textEdit->styleSheet(), QStringLiteral("background-color: rgb(128,255,128)"));
    QCOMPARE(query.lastKind, 0);
    query.completer->popup()->hide();
    QTest::keyClicks(query.textEdit, QStringLiteral(" && ip.src == 10.9"));
    QCOMPARE(query.lastKind, 3);
    QCOMPARE(query.completer->completionCount(), 0);
    query.completer->popup()->hide();
}

LUMIVANE_TEST(PatternWindowsTest)
#include "PatternWindowsTest.moc"
