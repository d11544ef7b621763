#include "DebugCapture.h"
#include "MatrixFixture.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/InspectWidget.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "events/FindEvent.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "events/ReloadEvent.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "items/EmptyItem.h"
#include "views/charts/GanttWidget.h"
#include "views/events/CompareWidget.h"
#include "views/events/GlyphPopup.h"
#include "items/ScreenPlacement.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QAction>
#include <QDialog>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

using namespace matrixfixture;

namespace {

template <typename T>
struct Restore
{
    Restore(T& variable, T value) : variable(variable), old(variable) { variable = value; }
    ~Restore() { variable = old; }
    T& variable;
    T old;
};

// What the view announced to the control.
class Outbox : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (int(e->type()) == PACKETSEVENT) {
            auto* pe = static_cast<PacketsEvent*>(e);
            packets.append(pe->packets);
            args.append(pe->args);
        } else if (int(e->type()) == GLYPHSEVENT) {
            glyphs.append(static_cast<GlyphsEvent*>(e)->sequences.size());
        } else if (int(e->type()) == ATTRIBUTEEVENT) {
            ++attributes;
        }
        return false;
    }
    QStringList lastArgs() const
    {
        QStringList out;
        for (const QVariant& v : args.isEmpty() ? QList<QVariant>() : args.last())
            out.append(v.toString());
        return out;
    }
    QList<TList<PacketPtr>> packets;
    QList<QList<QVariant>> args;
    QList<int> glyphs;
    int attributes = 0;
};

// QGuiApplication::keyboardModifiers() reports the modifiers of the last
// spontaneous input event; a key press on a widget of its own sets them.
void holdCtrl(bool on)
{
    static QWidget neutral;
    QTest::keyPress(&neutral, Qt::Key_A, on ? Qt::ControlModifier : Qt::NoModifier);
}

QPoint centre(const BinItem* item)
{
    return QPointF((item->parentLeft() + item->parentRight()) / 2, (item->parentTop() + item->parentBottom()) / 2)
        .toPoint();
}

void move(QWidget* view, const QPoint& p, Qt::MouseButtons buttons = Qt::NoButton)
{
    QMouseEvent e(QEvent::MouseMove, p, Qt::NoButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &e);
}

void release(QWidget* view, const QPoint& p)
{
    QMouseEvent e(QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &e);
}

// The first glyph of a trace's row in the first cell.
BinItem* firstGlyph(const Matrix& m, int trace)
{
    for (BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            if (!row.isEmpty() && row.first()->packets.first()->conversationId == trace)
                return row.first();
    return nullptr;
}

QList<int> selectedTraces(const EventWidget* view)
{
    QSet<int> ids;
    for (const PacketPtr& p : view->selectedPacketSet)
        ids.insert(p->conversationId);
    QList<int> sorted = ids.values();
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

QList<int> eventIndices(const Context* context, const PacketSet& events)
{
    QList<int> indices;
    for (int i = 0; i < context->packets.size(); ++i)
        if (events.contains(context->packets[i]))
            indices.append(i);
    return indices;
}

void selectEvents(Matrix& m, const QList<int>& indices)
{
    TList<PacketPtr> events;
    for (int i : indices)
        events.append(m.context->packets[i]);
    m.view->selectPackets(events);
}

// Every glyph the view keeps a pointer to belongs to its current cells.
bool pointersAreCurrent(const EventWidget* view)
{
    QSet<BinItem*> live;
    for (const BinCell* cell : view->cells)
        for (BinItem* item : cell->items())
            live.insert(item);
    for (BinItem* item : view->selectedItemSet)
        if (!live.contains(item) || !item->selected)
            return false;
    for (const TList<BinItem*>& sequence : view->selectedSequences)
        for (BinItem* item : sequence)
            if (!live.contains(item))
                return false;
    return true;
}

// Answers the next modal name dialog: records the proposal, then types the
// answer and accepts (an empty answer cancels).
void answerNameDialog(QString* proposed, const QString& answer)
{
    QTimer::singleShot(0, [proposed, answer]() {
        auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        *proposed = dialog->nameEdit->text();
        if (answer.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->nameEdit->setText(answer);
        dialog->accept();
    });
}

ParseNode* pattern(const QString& text)
{
    using namespace cellfixture;
    if (text == QLatin1String("X"))
        return sequence({nameLeaf(QStringLiteral("X"))});
    if (text == QLatin1String("X+")) {
        auto* plus = new ParseNode(ParseNode::Plus);
        plus->addChild(nameLeaf(QStringLiteral("X")));
        return sequence({plus});
    }
    if (text == QLatin1String("X * X")) {
        return sequence({nameLeaf(QStringLiteral("X")), nameLeaf(QStringLiteral("WildCard")),
                         nameLeaf(QStringLiteral("X"))});
    }
    if (text == QLatin1String("empty slot")) {
        auto* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph = EmptyItem(false, nullptr);
        return sequence({leaf});
    }
    return nullptr;
}

// The three traces most cases use: 1 "ab", 2 "x", 3 "c", one event a glyph.
const QList<Trace> THREE = {{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("x"), QString()},
                            {3, QStringLiteral("c"), QString()}};

} // namespace

class MatrixInteractionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void clicks_data();
    void clicks();
    void farSecondPress();
    void doubleClick();
    void rubberBand_data();
    void rubberBand();
    void hover_data();
    void hover();
    void hoverAndPresses_data();
    void hoverAndPresses();
    void status_data();
    void status();
    void menuCommands_data();
    void menuCommands();
    void contextMenu();
    void deleteKey_data();
    void deleteKey();
    void find_data();
    void find();
    void findAttributeNames();
    void failureWhileAsking_data();
    void failureWhileAsking();
    void picker_data();
    void picker();
    void inMainWindow();
    void rebuildsWithSelection_data();
    void rebuildsWithSelection();
    void inspectTime();
    void badInput();
    void screenshot();

private:
    std::unique_ptr<Restore<bool>> loaded;
};

void MatrixInteractionTest::init()
{
    // The matrix ignores the mouse before the first load.
    loaded = std::make_unique<Restore<bool>>(NO_DATA, false);
    holdCtrl(false);
}

void MatrixInteractionTest::cleanup()
{
    holdCtrl(false);
    loaded.reset();
}

void MatrixInteractionTest::clicks_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<bool>("ctrl");
    QTest::addColumn<int>("target");   // the trace whose first glyph is clicked; -1 empty space
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<QStringList>("args");   // of the one packets event; empty: nothing sent
    QTest::addColumn<int>("sent");
    QTest::newRow("click selects") << QList<int>() << false << 2 << QList<int>({2}) << QStringList({"select"}) << 1;
    QTest::newRow("click replaces") << QList<int>({1}) << false << 2 << QList<int>({2}) << QStringList({"select"})
                                    << 1;
    QTest::newRow("ctrl click adds") << QList<int>({1}) << true << 2 << QList<int>({1, 2})
                                     << QStringList({"select", "ctrl"}) << 3;
    QTest::newRow("ctrl click on a selected glyph deselects")
        << QList<int>({1, 2}) << true << 2 << QList<int>({1}) << QStringList({"select", "ctrl"}) << 2;
    QTest::newRow("empty space after a selection") << QList<int>({1}) << false << -1 << QList<int>()
                                                   << QStringList({"select"}) << 0;
    QTest::newRow("empty space without a selection") << QList<int>() << false << -1 << QList<int>() << QStringList()
                                                     << 0;
}

void MatrixInteractionTest::clicks()
{
    QFETCH(QList<int>, before);
    QFETCH(bool, ctrl);
    QFETCH(int, target);
    QFETCH(QList<int>, after);
    QFETCH(QStringList, args);
    QFETCH(int, sent);
    Matrix m(THREE);
    m.selectTraces(before);
    Outbox out;
    m.control->installEventFilter(&out);
    const BinItem* first = firstGlyph(m, 1);
    const QPoint point = target < 0 ? QPoint(400, centre(first).y()) : centre(firstGlyph(m, target));
    QTest::mouseClick(m.view, Qt::LeftButton, ctrl ? Qt::ControlModifier : Qt::NoModifier, point);
    // A press only starts the timer; a Ctrl press sets no pending click.
    QCOMPARE(m.view->clickPending, !ctrl);
    QVERIFY(m.view->doubleClickTimer->isActive());
    QVERIFY(out.packets.isEmpty());
    m.view->doubleClickTimeOut();
    QVERIFY(!m.view->clickPending);
    QVERIFY(!m.view->doubleClickTimer->isActive());
    QCOMPARE(selectedTraces(m.view), after);
    QCOMPARE(out.packets.size(), args.isEmpty() ? 0 : 1);
    QCOMPARE(out.glyphs.size(), out.packets.size());
    if (!args.isEmpty()) {
        QCOMPARE(out.lastArgs(), args);
        QCOMPARE(out.packets.last().size(), sent);
    }
    if (target >= 0)
        QCOMPARE(firstGlyph(m, target)->selected, after.contains(target));
    QCOMPARE(m.view->selectedItems().size(), m.view->selectedPacketSet.size());
}

void MatrixInteractionTest::farSecondPress()
{
    Matrix m(THREE);
    Outbox out;
    m.control->installEventFilter(&out);
    const QPoint first = centre(firstGlyph(m, 1));
    QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, first);
    DebugCapture capture;
    // Still on the same glyph, but more than 5 px away.
    QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, first + QPoint(6, 0));
    QCOMPARE(capture.count(QStringLiteral("not gonna happen")), 1);
    QVERIFY(!capture.contains(QStringLiteral("double click")));
    QVERIFY(m.view->clickPending);
    QVERIFY(m.view->doubleClickTimer->isActive());
    QVERIFY(out.packets.isEmpty());
    // It is a new first press: its single click selects the glyph.
    m.view->doubleClickTimeOut();
    QCOMPARE(selectedTraces(m.view), QList<int>({1}));
    QCOMPARE(m.view->selectedPacketSet.size(), 1);
}

void MatrixInteractionTest::doubleClick()
{
    // Y by kind: cells "a" (traces 1 and 2), "b" (1 and 2) and "x" (3).
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("ab"), QString()},
              {3, QStringLiteral("x"), QString()}});
    m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    QCOMPARE(m.cellTitles(), QStringList({"a", "b", "x"}));
    Outbox out;
    m.control->installEventFilter(&out);
    DebugCapture capture;
    const QPoint point = centre(m.view->cells[0]->rows[0][0]);
    QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, point);
    QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, point + QPoint(3, 3));
    QCOMPARE(capture.count(QStringLiteral("double click")), 1);
    QVERIFY(!m.view->clickPending);
    QVERIFY(!m.view->doubleClickTimer->isActive());
    // The row under the press, then every glyph of its cell.
    QCOMPARE(out.packets.size(), 1);
    QCOMPARE(out.lastArgs(), QStringList({"select"}));
    QCOMPARE(out.packets.last().size(), 2);
    for (const BinItem* item : m.view->cells[0]->items())
        QVERIFY(item->selected);
    for (const BinItem* item : m.view->cells[1]->items())
        QVERIFY(!item->selected);
    QCOMPARE(m.view->selectedSequences.size(), 2);
}

void MatrixInteractionTest::rubberBand_data()
{
    QTest::addColumn<bool>("inside");
    QTest::newRow("released inside") << true;
    QTest::newRow("released outside") << false;
}

void MatrixInteractionTest::rubberBand()
{
    QFETCH(bool, inside);
    Matrix m({{1, QStringLiteral("abc"), QString()}, {2, QStringLiteral("de"), QString()}});
    Outbox out;
    m.control->installEventFilter(&out);
    const TList<BinItem*>& row = m.view->cells[0]->rows[0];
    const QPoint from(int(row[0]->parentLeft()) - 4, int(row[0]->parentTop()) - 4);
    const QPoint to(int(row[1]->parentRight()) + 1, int(row[1]->parentBottom()) + 1);
    QTest::mousePress(m.view, Qt::LeftButton, Qt::NoModifier, from);
    m.view->doubleClickTimer->stop();
    DebugCapture capture;
    move(m.view, from + QPoint(10, 10), Qt::LeftButton);
    QVERIFY(!m.view->rubberBandActive);
    move(m.view, to, Qt::LeftButton);
    QVERIFY(capture.contains(QStringLiteral("dragging")));
    QVERIFY(m.view->rubberBandActive);
    QVERIFY(m.view->timer->isActive());
    QCOMPARE(QPointF(m.view->x1, m.view->y1), QPointF(from));
    QCOMPARE(QPointF(m.view->x2, m.view->y2), QPointF(to));
    // The band is drawn in the selection colour.
    QCOMPARE(m.view->overlay.pixelColor(from.x(), from.y() + 20).blue(), 255);

    // At rest the band's glyphs show as selected, but nothing is announced.
    m.view->dragTimeOut();
    QVERIFY(!m.view->timer->isActive());
    QVERIFY(row[0]->selected && row[1]->selected && !row[2]->selected);
    QVERIFY(out.packets.isEmpty());

    release(m.view, inside ? to : QPoint(700, to.y()));
    QVERIFY(!m.view->rubberBandActive);
    QCOMPARE(m.view->x1, -1.0);
    QCOMPARE(m.view->x2, -1.0);
    QCOMPARE(out.packets.size(), inside ? 1 : 0);
    QCOMPARE(m.view->selectedPacketSet.size(), inside ? 2 : 0);
    QCOMPARE(row[0]->selected, inside);
    QVERIFY(!row[2]->selected);
    QCOMPARE(m.view->overlay.pixelColor(from.x(), from.y() + 20).alpha(), 0);
}

void MatrixInteractionTest::hover_data()
{
    QTest::addColumn<bool>("corner");   // the glyph lies near the bottom right of the view
    QTest::newRow("top left") << false;
    QTest::newRow("bottom right") << true;
}

void MatrixInteractionTest::hover()
{
    QFETCH(bool, corner);
    // Six rows of 13 glyphs; the sixth row is the last whole one in the view.
    QList<Trace> traces;
    for (int t = 0; t < 6; ++t)
        traces.append({t, QString(13, QLatin1Char('a')), QString()});
    Matrix m(traces);
    const BinCell* cell = m.view->cells[0];
    BinItem* item = corner ? cell->visibleRows[5].last() : cell->visibleRows[0].first();
    BinItem* other = cell->visibleRows[1][1];
    QVERIFY(item->parentBottom() < m.view->height());
    move(m.view, centre(other));
    QVERIFY(other->highlighted);
    move(m.view, QPoint(580, centre(item).y()));   // right of the row
    QVERIFY(!other->highlighted);
    m.view->moveTimeOut();
    QVERIFY(!m.view->popup);

    const QPoint pointer = centre(item);
    move(m.view, pointer);
    QVERIFY(item->highlighted);
    m.view->moveTimeOut();
    GlyphPopup* popup = m.view->popup;
    QVERIFY(popup && popup->isVisible() && !popup->parentWidget());
    const Qt::WindowFlags flags = popup->windowFlags();
    QVERIFY(flags.testFlag(Qt::Tool) && flags.testFlag(Qt::FramelessWindowHint)
            && flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(popup->testAttribute(Qt::WA_ShowWithoutActivating));
    QCOMPARE(popup->focusPolicy(), Qt::NoFocus);
    QCOMPARE(popup->table->horizontalHeaderItem(0)->text(), QStringLiteral("Properties:"));
    // Beside the pointer, never under it, and on the screen.
    const QPoint global = m.view->mapToGlobal(pointer);
    const QRect screen = ScreenPlacement::availableGeometryAt(global);
    QVERIFY(!popup->frameGeometry().contains(global));
    QVERIFY(screen.contains(popup->frameGeometry()));
    if (!corner) {
        QCOMPARE(popup->pos(), global + QPoint(5, 5));
    } else {
        // No room right of or below the pointer: left of and above it.
        QVERIFY(global.x() + 5 + popup->width() > screen.right() + 1);
        QCOMPARE(popup->frameGeometry().right(), global.x() - 6);
    }
    m.view->moveTimeOut();
    QCOMPARE(m.view->popup, popup);
    // Moving within the glyph keeps its popup.
    move(m.view, pointer + QPoint(1, 1));
    QCOMPARE(m.view->popup, popup);
    QVERIFY(item->highlighted);

    // Leaving the view (not into the popup) lets the glyph and the popup go.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(m.view, &leave);
    QVERIFY(!m.view->popup);
    QVERIFY(!item->highlighted);

    // The picker shows no popup.
    m.view->setPickerMode();
    move(m.view, pointer);
    m.view->moveTimeOut();
    QVERIFY(!m.view->popup);
    QTest::keyClick(m.view, Qt::Key_Escape);

    // Another view's hover marks its events (the cell draws the mark);
    // events of another context mark nothing.
    PacketsEvent hover(nullptr, other->packets, {QStringLiteral("hover")});
    QVERIFY(QCoreApplication::sendEvent(m.view, &hover));
    QVERIFY(other->highlighted);
    const QPoint inCell = centre(other) - cell->pos() + QPoint(0, int(other->height() / 2));
    QCOMPARE(cell->image.pixelColor(inCell).red(), 255);
    PacketsEvent foreign(nullptr, makeEvents({{1, QStringLiteral("a"), QString()}}), {QStringLiteral("hover")});
    QVERIFY(QCoreApplication::sendEvent(m.view, &foreign));
    QVERIFY(!m.view->clearHighlights());
}

void MatrixInteractionTest::hoverAndPresses_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("opened");   // popups that opened on the way
    // The pointer rests on a glyph until its popup shows, then the right button.
    QTest::newRow("rest, then right press") << "rest right" << 1;
    // The right button within the hover interval: the timer would fire over the menu.
    QTest::newRow("right press before the rest") << "right rest" << 0;
    QTest::newRow("rest, then left press") << "rest left" << 1;
    // "Show popups" unticked: resting opens nothing, an open popup goes.
    QTest::newRow("popups off") << "off rest" << 0;
    QTest::newRow("popups off while one is open") << "rest off rest" << 1;
    // Over a modal dialog or another menu nothing opens.
    QTest::newRow("modal dialog open") << "modal" << 0;
    QTest::newRow("other menu open") << "menu rest" << 0;
}

void MatrixInteractionTest::hoverAndPresses()
{
    QFETCH(QString, steps);
    QFETCH(int, opened);
    Matrix m(THREE);
    const QPoint pointer = centre(firstGlyph(m, 2));
    int seen = 0;
    QPointer<GlyphPopup> last;
    const auto rest = [&]() {
        move(m.view, pointer);
        QVERIFY(m.view->hoverTimer->isActive());
        QTest::qWait(HOVER_INTERVAL + 100);
        if (m.view->popup && m.view->popup != last) {
            ++seen;
            last = m.view->popup;
        }
    };
    QMenu otherMenu;
    otherMenu.addAction(QStringLiteral("other"));
    for (const QString& step : steps.split(QLatin1Char(' '))) {
        if (step == QLatin1String("rest")) {
            rest();
        } else if (step == QLatin1String("right") || step == QLatin1String("left")) {
            const bool right = step == QLatin1String("right");
            move(m.view, pointer);   // the hover timer runs
            QTest::mousePress(m.view, right ? Qt::RightButton : Qt::LeftButton, Qt::NoModifier, pointer);
            QVERIFY(!m.view->popup);
            QVERIFY(!m.view->hoverTimer->isActive());
            QCOMPARE(m.view->contextMenu->isVisible(), right);
            if (!right)
                QTest::mouseRelease(m.view, Qt::LeftButton, Qt::NoModifier, pointer);
        } else if (step == QLatin1String("off")) {
            m.view->showPopups(false);
            QVERIFY(!m.view->popup);
        } else if (step == QLatin1String("modal")) {
            // The pointer rests while a modal dialog runs its loop.
            QDialog dialog;
            QTimer::singleShot(0, [&]() {
                rest();
                dialog.reject();
            });
            dialog.exec();
        } else if (step == QLatin1String("menu")) {
            otherMenu.popup(QPoint(0, 0));
            QVERIFY(otherMenu.isVisible());
        }
    }
    QCOMPARE(seen, opened);
    // A popup that opened is closed and deleted.
    QVERIFY(!m.view->popup);
    QVERIFY(!last);
    if (steps.contains(QLatin1String("right"))) {
        // The menu, not a popup, took the press: its actions are there and
        // the glyph under the press is selected, so they are enabled.
        QVERIFY(m.view->contextMenu->isVisible());
        QCOMPARE(m.view->contextMenu->actions().size(), 9);
        QVERIFY(m.view->inspectFrequenciesAction->isEnabled());
        QVERIFY(m.view->saveSelectionAction->isEnabled());
        QCOMPARE(m.view->selectedPacketSet.size(), 1);
        m.view->contextMenu->hide();
    }
    otherMenu.hide();
}

void MatrixInteractionTest::status_data()
{
    QTest::addColumn<QList<Trace>>("traces");
    QTest::addColumn<bool>("stacked");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing selected")
        << THREE << false << QList<int>()
        << "Selected traces: 0(0%) Total: 3 | Selected messages: 0(0%) Total: 4";
    QTest::newRow("one of three traces")
        << THREE << false << QList<int>({2})
        << "Selected traces: 1(33.3%) Total: 3 | Selected messages: 1(25%) Total: 4";
    QList<Trace> many;
    for (int t = 0; t < 2001; ++t)
        many.append({t, QStringLiteral("a"), QString()});
    // 1 of 2001 is 0.04998 %: too small to show, and under 0.05 %.
    QTest::newRow("share too small to show")
        << many << false << QList<int>({7})
        << "Selected traces: 1(<0.05%) Total: 2001 | Selected messages: 1(<0.05%) Total: 2001";
    // Stacked with the rules: [X] twice and [Y] make two rows of one glyph.
    QTest::newRow("stacked") << QList<Trace>({{1, QStringLiteral("x"), QString()}, {2, QStringLiteral("x"), QString()},
                                               {3, QStringLiteral("y"), QString()}})
                             << true << QList<int>({1})
                             << "Selected traces: 1(33.3%) Total: 3|Selected messages: 1(33.3%) Total: 2"
                                "|Unique patterns: 2";
}

void MatrixInteractionTest::status()
{
    QFETCH(QList<Trace>, traces);
    QFETCH(bool, stacked);
    QFETCH(QList<int>, selected);
    QFETCH(QString, text);
    Matrix m(traces, stacked);
    if (stacked)
        m.view->setStack(true);
    m.selectTraces(selected);
    m.view->updateStatistics();
    QCOMPARE(m.control->statusLabel->text(), text);
}

void MatrixInteractionTest::menuCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QList<int>>("before");   // events, by index in the context
    QTest::addColumn<QList<int>>("after");
    // Events: trace 1 "ab" (0, 1), trace 2 "x" (2), trace 3 "c" (3).
    QTest::newRow("invert") << "Invert selection.." << QList<int>({0, 1}) << QList<int>({2, 3});
    QTest::newRow("invert nothing") << "Invert selection.." << QList<int>() << QList<int>({0, 1, 2, 3});
    QTest::newRow("select conversations") << "Select conversations.." << QList<int>({0, 3})
                                          << QList<int>({0, 1, 3});
    // Trace 1's row is only partly selected.
    QTest::newRow("deselect partial") << "Deselect partial selections.." << QList<int>({0, 2})
                                      << QList<int>({2});
}

void MatrixInteractionTest::menuCommands()
{
    QFETCH(QString, command);
    QFETCH(QList<int>, before);
    QFETCH(QList<int>, after);
    Matrix m(THREE);
    selectEvents(m, before);
    Outbox out;
    m.control->installEventFilter(&out);
    QAction* action = nullptr;
    for (QAction* a : m.view->contextMenu->actions())
        if (a->text() == command)
            action = a;
    QVERIFY(action);
    action->trigger();
    QCOMPARE(eventIndices(m.context, m.view->selectedPacketSet), after);
    QCOMPARE(out.packets.size(), 1);
    QCOMPARE(out.lastArgs(), QStringList({"select"}));
    QCOMPARE(out.packets.last().size(), after.size());
    // The new selection's sequences follow for the sequence view.
    QCOMPARE(out.glyphs.size(), 1);
    QCOMPARE(out.glyphs.last(), m.view->selectedSequences.size());
    QCOMPARE(m.view->selectedItems().size(), after.size());
    QVERIFY(pointersAreCurrent(m.view));
}

void MatrixInteractionTest::contextMenu()
{
    Matrix m(THREE);
    QStringList texts;
    for (const QAction* a : m.view->contextMenu->actions())
        texts.append(a->text() + (a->isEnabled() ? "" : " (off)"));
    QCOMPARE(texts, QStringList({"Save as selection..", "Inspect selection..", "Create rule..",
                                 "Inspect frequencies.. (off)", "Export selection..", "Inspect with Wireshark..",
                                 "Select conversations..", "Invert selection..", "Deselect partial selections.."}));
    const QList<QAction*> gated = {m.view->saveSelectionAction, m.view->exportSelectionAction,
                                   m.view->inspectSelectionAction, m.view->wiresharkAction,
                                   m.view->inspectFrequenciesAction};
    Outbox out;
    m.control->installEventFilter(&out);
    // A right press on an unselected glyph selects it, then the menu opens;
    // over empty space with nothing selected the five stay off.
    BinItem* x = firstGlyph(m, 2);
    for (const QPoint& point : {centre(x), QPoint(400, centre(x).y())}) {
        m.view->clearSelection();
        QTest::mousePress(m.view, Qt::RightButton, Qt::NoModifier, point);
        QVERIFY(m.view->contextMenu->isVisible());
        m.view->contextMenu->hide();
        QTest::mouseRelease(m.view, Qt::RightButton, Qt::NoModifier, point);
        const bool onGlyph = point == centre(x);
        QCOMPARE(x->selected, onGlyph);
        for (const QAction* a : gated)
            QCOMPARE(a->isEnabled(), onGlyph);
    }
    QCOMPARE(out.packets.size(), 1);

    // "Create rule.." makes a filter rule of the selected glyphs in a rule editor window.
    selectEvents(m, {0, 1});
    m.view->createRuleAction->trigger();
    RuleEditorWidget* editor = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (!editor && top->isVisible())
            editor = top->findChild<RuleEditorWidget*>();
    QVERIFY(editor);
    QScopedPointer<QWidget> window(editor->window());
    QVERIFY(editor->nameEdit->text().startsWith(QStringLiteral("filter ")));
    QCOMPARE(editor->preEditor->map->root->children.size(), 2);
}

void MatrixInteractionTest::deleteKey_data()
{
    QTest::addColumn<QList<int>>("selected");   // events, by index in the context
    QTest::addColumn<int>("answer");            // QMessageBox button; 0: no question
    QTest::addColumn<QList<int>>("left");
    // With the rules trace 1 "ab" is one glyph AB of two events.
    QTest::newRow("nothing selected") << QList<int>() << 0 << QList<int>({0, 1, 2, 3});
    QTest::newRow("whole glyphs ask nothing") << QList<int>({2, 3}) << 0 << QList<int>({0, 1});
    QTest::newRow("part of a glyph, yes") << QList<int>({0}) << int(QMessageBox::Yes) << QList<int>({1, 2, 3});
    QTest::newRow("part of a glyph, no") << QList<int>({0, 2}) << int(QMessageBox::No) << QList<int>({0, 1, 2, 3});
}

void MatrixInteractionTest::deleteKey()
{
    QFETCH(QList<int>, selected);
    QFETCH(int, answer);
    QFETCH(QList<int>, left);
    Matrix m(THREE, true);
    const TList<PacketPtr> all = m.context->packets;
    selectEvents(m, selected);
    QList<MessageAsker::Request> asked;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        asked.append(r);
        return QMessageBox::StandardButton(answer);
    });
    DebugCapture capture;
    QTest::keyClick(m.view, Qt::Key_Delete);
    MessageAsker::setHandler(previous);

    QCOMPARE(asked.size(), answer ? 1 : 0);
    if (answer) {
        QCOMPARE(asked.first().title, QStringLiteral("Kolm"));
        QCOMPARE(asked.first().text, QStringLiteral("All partially selected blocks are also deleted, Continue?"));
        QCOMPARE(asked.first().buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(capture.count(answer == QMessageBox::Yes ? QStringLiteral("Yes was clicked")
                                                          : QStringLiteral("Yes was *not* clicked")),
                 1);
    }
    QList<int> kept;
    for (int i = 0; i < all.size(); ++i)
        if (m.context->packets.contains(all[i]))
            kept.append(i);
    QCOMPARE(kept, left);
    int shown = 0;
    for (const BinCell* cell : m.view->cells)
        for (const BinItem* item : cell->items())
            shown += item->packets.size();
    QCOMPARE(shown, left.size());
    if (left.size() == all.size())
        return;
    // The removal can be taken back.
    QVERIFY(m.view->selectedPacketSet.isEmpty());
    m.context->revert();
    m.view->setContext(m.context);
    QCOMPARE(m.context->packets.size(), all.size());
}

void MatrixInteractionTest::find_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("traces");
    QTest::addColumn<bool>("shortest");
    QTest::addColumn<QList<int>>("numbers");   // the new attribute over the events
    // Rows with the rules: 1 [X Y X], 2 [AB X], 3 [c], 4 [X X].
    // Events: x y x | a b x | c | x x.
    QTest::newRow("every match") << "X" << false << false << QList<int>({0, 6, 1, 6, 6, 2, 6, 3, 4});
    QTest::newRow("longest runs") << "X+" << false << false << QList<int>({0, 5, 1, 5, 5, 2, 5, 3, 3});
    QTest::newRow("shortest runs") << "X+" << false << true << QList<int>({0, 6, 1, 6, 6, 2, 6, 3, 4});
    QTest::newRow("whole rows") << "X" << true << false << QList<int>({0, 0, 0, 1, 1, 1, 4, 2, 2});
    QTest::newRow("with a wild card") << "X * X" << false << false << QList<int>({0, 0, 0, 2, 2, 2, 2, 2, 2});
}

void MatrixInteractionTest::find()
{
    QFETCH(QString, pattern);
    QFETCH(bool, traces);
    QFETCH(bool, shortest);
    QFETCH(QList<int>, numbers);
    Restore<int> counter(EventWidget::findCounter, 3);
    Matrix m({{1, QStringLiteral("xyx"), QString()}, {2, QStringLiteral("abx"), QString()},
              {3, QStringLiteral("c"), QString()}, {4, QStringLiteral("xx"), QString()}},
             true);
    std::unique_ptr<ParseNode> tree(::pattern(pattern));
    Outbox out;
    m.control->installEventFilter(&out);
    QString proposed;
    answerNameDialog(&proposed, QStringLiteral("Rule 3"));
    FindEvent e(nullptr, tree.get(), traces, shortest, true);
    QVERIFY(QCoreApplication::sendEvent(m.view, &e));
    QCOMPARE(proposed, QStringLiteral("Rule 3"));
    QCOMPARE(EventWidget::findCounter, 4);
    const int column = m.store()->attributeColumns.value(QStringLiteral("Rule 3"), -1);
    QVERIFY(column >= 0);
    QVERIFY(m.store()->rangeAttributes.contains(QStringLiteral("Rule 3")));
    QList<int> values;
    for (const PacketPtr& p : m.context->packets)
        values.append(p->get(column).toInt());
    QCOMPARE(values, numbers);
    QCOMPARE(out.attributes, 1);

    // The matched events are the selection, sent once; the glyphs were marked.
    const int unmatched = *std::max_element(numbers.begin(), numbers.end());
    const int matched = int(std::count_if(numbers.begin(), numbers.end(), [unmatched](int n) { return n != unmatched; }));
    QCOMPARE(m.view->selectedPacketSet.size(), matched);
    QCOMPARE(out.packets.size(), 1);
    QCOMPARE(out.lastArgs(), QStringList({"select"}));
    QCOMPARE(out.packets.last().size(), matched);
    int marked = 0;
    for (const BinItem* item : m.view->selectedItems())
        marked += item->selectedCount;
    QCOMPARE(marked, matched);
    QVERIFY(pointersAreCurrent(m.view));
}

void MatrixInteractionTest::failureWhileAsking_data()
{
    QTest::addColumn<bool>("find");
    QTest::newRow("the find's name dialog") << true;
    QTest::newRow("the delete key's question") << false;
}

void MatrixInteractionTest::failureWhileAsking()
{
    // While the dialog or box waits, another handler runs out of memory; the
    // user then answers as if nothing happened. The action stops whole.
    QFETCH(bool, find);
    Restore<int> counter(EventWidget::findCounter, 5);
    Matrix m(THREE, true);
    const int events = m.context->packets.size();
    const auto failOne = []() { HandlerGuard::run([]() { throw std::bad_alloc(); }); };
    QList<MessageAsker::Request> told;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        told.append(r);
        if (r.title == QLatin1String("Kolm"))
            failOne();
        return QMessageBox::Yes;
    });
    Outbox out;
    m.control->installEventFilter(&out);
    if (find) {
        std::unique_ptr<ParseNode> tree(pattern(QStringLiteral("X")));
        QTimer::singleShot(0, [failOne]() {
            failOne();
            auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->nameEdit->setText(QStringLiteral("Loop"));
            dialog->accept();
        });
        FindEvent e(nullptr, tree.get(), false, false, true);
        QCoreApplication::sendEvent(m.view, &e);
    } else {
        // Part of the glyph AB: the question is asked.
        selectEvents(m, {0});
        QTest::keyClick(m.view, Qt::Key_Delete);
    }
    QCoreApplication::processEvents();
    MessageAsker::setHandler(previous);

    // Only the failing handler said so; nothing was made or deleted.
    QCOMPARE(told.size(), find ? 1 : 2);
    QCOMPARE(told.last().title, QStringLiteral("Out of memory"));
    QCOMPARE(m.context->packets.size(), events);
    QVERIFY(!m.store()->attributeColumns.contains(QStringLiteral("Loop")));
    QCOMPARE(out.attributes, 0);
    QCOMPARE(EventWidget::findCounter, 5);
    if (find) {
        // The find's selection went, and the other views were told so.
        QVERIFY(m.view->selectedPacketSet.isEmpty());
        QVERIFY(m.view->selectedItems().isEmpty());
        QVERIFY(!out.packets.isEmpty() && out.packets.last().isEmpty());
    } else {
        QCOMPARE(m.view->selectedPacketSet.size(), 1);
    }
}

void MatrixInteractionTest::findAttributeNames()
{
    Restore<int> counter(EventWidget::findCounter, 0);
    Matrix m({{1, QStringLiteral("xy"), QString()}, {2, QStringLiteral("c"), QString()}}, true);
    std::unique_ptr<ParseNode> tree(pattern(QStringLiteral("X")));
    Outbox out;
    m.control->installEventFilter(&out);
    const auto run = [&](const QString& answer) {
        QString proposed;
        answerNameDialog(&proposed, answer);
        m.view->find(tree.get(), false, false, true);
        return proposed;
    };
    // The proposal grows only when it is taken unchanged.
    QCOMPARE(run(QStringLiteral("Rule 0")), QStringLiteral("Rule 0"));
    QCOMPARE(run(QStringLiteral("kind")), QStringLiteral("Rule 1"));
    QCOMPARE(run(QStringLiteral("kind")), QStringLiteral("Rule 1"));
    QCOMPARE(EventWidget::findCounter, 1);
    // An existing attribute keeps its column; the new ones are numbered.
    const TList<QString>& names = m.store()->packetAttributeNames;
    QStringList added;
    for (const QString& name : names.mid(4))
        added.append(name);
    QCOMPARE(added, QStringList({"Rule 0", "kind(1)", "kind(2)"}));
    QCOMPARE(m.store()->attributeColumns.value(QStringLiteral("kind")), KIND);
    QCOMPARE(out.attributes, 3);

    // A cancelled name keeps the selection and still sends it.
    DebugCapture capture;
    out.packets.clear();
    QCOMPARE(run(QString()), QStringLiteral("Rule 1"));
    QCOMPARE(capture.count(QStringLiteral(" cancel rule conversion to attribute")), 1);
    QCOMPARE(names.size(), 7);
    QCOMPARE(m.view->selectedPacketSet.size(), 1);
    QCOMPARE(out.packets.size(), 1);
    // Without the attribute no dialog opens.
    capture.clear();
    m.view->find(tree.get(), false, false, false);
    QCOMPARE(capture.count(QStringLiteral(" cancel rule conversion to attribute")), 1);
    QCOMPARE(out.attributes, 3);
}

void MatrixInteractionTest::picker_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("a glyph pressed") << false;
    QTest::newRow("escape") << true;
}

void MatrixInteractionTest::picker()
{
    QFETCH(bool, escape);
    const QColor highlight = HOVER_COLOR;
    Matrix m(THREE, true);
    Outbox out;
    m.control->installEventFilter(&out);
    QList<BinItem> picked;
    QObject::connect(m.view, &EventWidget::picked, [&picked](BinItem glyph) { picked.append(glyph); });
    m.view->setPickerMode();
    QWidget* hint = m.view->pickerPopup;
    QVERIFY(hint);
    // Asked again while on: nothing more.
    m.view->setPickerMode();
    QCOMPARE(m.view->pickerPopup, hint);
    QVERIFY(m.view->pickerMode);
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::PointingHandCursor);
    QCOMPARE(HOVER_COLOR, QColor(Qt::red));
    QVERIFY(!hint->parentWidget());
    QVERIFY(hint->isVisible());
    QVERIFY(hint->windowFlags().testFlag(Qt::Tool) && hint->windowFlags().testFlag(Qt::FramelessWindowHint)
            && hint->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(hint->testAttribute(Qt::WA_ShowWithoutActivating));
    QCOMPARE(hint->focusPolicy(), Qt::NoFocus);
    QCOMPARE(hint->findChild<QLabel*>()->text(),
             QStringLiteral("Select a binItem to copy of press <b>Esc</b> to cancel"));
    QCOMPARE(hint->pos(), m.view->mapToGlobal(QPoint((m.view->width() - hint->width()) / 2, 0)));
    // The red frame.
    QCOMPARE(m.view->image.pixelColor(1, 200), QColor(Qt::red));

    // A press on empty space picks nothing.
    QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, QPoint(400, 300));
    QCOMPARE(picked.count(), 0);
    QPointer<QWidget> hintGuard(hint);
    if (escape)
        QTest::keyClick(m.view, Qt::Key_Escape);
    else
        QTest::mouseClick(m.view, Qt::LeftButton, Qt::NoModifier, centre(firstGlyph(m, 2)));
    QCOMPARE(picked.count(), 1);
    QCOMPARE(picked.first().name, escape ? QString() : QStringLiteral("X"));
    QVERIFY(!m.view->pickerMode);
    QVERIFY(!m.view->pickerPopup);
    QVERIFY(!hintGuard);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(HOVER_COLOR, highlight);
    QCOMPARE(m.view->image.pixelColor(1, 200), QColor(Qt::white));
    // Nothing reached the other views and nothing was selected.
    QVERIFY(out.packets.isEmpty());
    QVERIFY(m.view->selectedPacketSet.isEmpty());
    QVERIFY(!m.view->clickPending);
    // Ending it again changes nothing.
    m.view->exitPickerMode(BinItem(nullptr, nullptr));
    QCOMPARE(picked.count(), 1);
    QVERIFY(!QGuiApplication::overrideCursor());
}

void MatrixInteractionTest::inMainWindow()
{
    const bool settingsMade = !QFile::exists(SETTINGS_PATH);
    if (settingsMade) {
        QFile f(SETTINGS_PATH);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("/usr/bin/tshark\n/usr/bin/wireshark");
    }
    const MessageAsker::Handler previous =
        MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
    {
        MainWindow window;
        ControlWidget* control = window.controlWidget;
        control->loadData(makeEvents({{1, QStringLiteral("abx"), QString()}, {2, QStringLiteral("x"), QString()}}),
                          TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                         QStringLiteral("kind"), QStringLiteral("size")},
                          TList<int>{0, 3, 3, 1});
        EventWidget* view = window.leftEventRibbon->view;
        Context* root = view->context;
        QVERIFY(root);
        view->selectPackets(root->packets.mid(0, 2));

        // A rule change empties the match counts (one pass counts again),
        // rebuilds the cells, shows the selection on the new glyphs and
        // hands the selected sequences straight to the sequence view, then
        // asks the overview to redraw.
        Rule rule(QStringLiteral("X"), cellfixture::sequence({cellfixture::kindLeaf(QStringLiteral("x"))}),
                  cellfixture::rewrite(QStringLiteral("X"), 21), true, true);
        control->glyphStore->rules.append(rule);
        control->glyphStore->ruleCounts[QStringLiteral("X")] = 40;
        QStringList order;
        EventCounter atSequences(GLYPHSEVENT);
        atSequences.onEvent = [&](QEvent* e) {
            order << QStringLiteral("sequences %1 %2")
                         .arg(static_cast<GlyphsEvent*>(e)->sequences.size())
                         .arg(pointersAreCurrent(view) && control->glyphStore->ruleCounts.value("X") == 2);
        };
        window.sequenceRibbon->sequenceView->installEventFilter(&atSequences);
        // A closed sequence pane is left alone; an open one gets them.
        ReloadEvent closed(nullptr);
        QVERIFY(QCoreApplication::sendEvent(view, &closed));
        QVERIFY(order.isEmpty());
        window.sequenceRibbon->setActive(true, true);
        Outbox out;
        control->installEventFilter(&out);
        EventCounter renders(RENDEREVENT);
        renders.onEvent = [&](QEvent*) { order << QStringLiteral("render"); };
        control->installEventFilter(&renders);
        ReloadEvent e(nullptr);
        QVERIFY(QCoreApplication::sendEvent(view, &e));
        window.sequenceRibbon->sequenceView->removeEventFilter(&atSequences);
        control->removeEventFilter(&renders);
        control->removeEventFilter(&out);
        QCOMPARE(order.filter(QStringLiteral("sequences")), QStringList({"sequences 1 1"}));
        QCOMPARE(order.last(), QStringLiteral("render"));
        QVERIFY(out.glyphs.isEmpty() && out.packets.isEmpty());
        QCOMPARE(control->glyphStore->ruleCounts.value(QStringLiteral("X")), 2);
        QCOMPARE(view->selectedPacketSet.size(), 2);

        // "Save as selection.." reaches the context tree.
        QString proposed;
        answerNameDialog(&proposed, QStringLiteral("picked"));
        view->saveSelectionAction->trigger();
        QCOMPARE(proposed.left(10), QStringLiteral("Selection "));
        QCOMPARE(root->children.size(), 1);
        QCOMPARE(root->children.first()->name, QStringLiteral("picked"));
        QCOMPARE(root->children.first()->packets.size(), 2);

        // Delete removes the events and rebuilds the tree.
        const int rows = window.navigationWidget->topLevelItemCount();
        QTest::keyClick(view, Qt::Key_Delete);
        QCOMPARE(root->packets.size(), 2);
        QCOMPARE(window.navigationWidget->topLevelItemCount(), rows);
        QCOMPARE(window.navigationWidget->items.size(), 2);
    }
    MessageAsker::setHandler(previous);
    if (settingsMade)
        QFile::remove(SETTINGS_PATH);
}

void MatrixInteractionTest::rebuildsWithSelection_data()
{
    QTest::addColumn<QString>("rebuild");
    QTest::newRow("stack") << "stack";
    QTest::newRow("item size") << "item size";
    QTest::newRow("reload") << "reload";
    QTest::newRow("rule reload") << "rule reload";
    QTest::newRow("y axis") << "y axis";
}

void MatrixInteractionTest::rebuildsWithSelection()
{
    QFETCH(QString, rebuild);
    Restore<double> itemSize(matrixItemSize, matrixItemSize);
    Matrix m({{1, QStringLiteral("abx"), QString()}, {2, QStringLiteral("x"), QString()},
              {3, QStringLiteral("abyy"), QString()}, {4, QStringLiteral("x"), QString()}},
             true);
    selectEvents(m, {0, 3, 7});
    // A hovered glyph and a popup over it.
    move(m.view, centre(firstGlyph(m, 2)));
    m.view->moveTimeOut();
    QVERIFY(m.view->popup);
    const int selected = m.view->selectedPacketSet.size();
    for (int pass = 0; pass < 2; ++pass) {
        if (rebuild == QLatin1String("stack"))
            m.view->setStack(pass == 0);
        else if (rebuild == QLatin1String("item size"))
            m.view->setItemSize(pass == 0 ? 20 : 40);
        else if (rebuild == QLatin1String("reload"))
            m.view->reload();
        else if (rebuild == QLatin1String("rule reload"))
            m.view->reloadRules();
        else
            m.options->eventAxisBox->setCurrentText(pass == 0 ? QStringLiteral("kind") : QStringLiteral("none"));
        const bool kept = rebuild != QLatin1String("y axis");
        QCOMPARE(m.view->selectedPacketSet.size(), kept ? selected : 0);
        QVERIFY(pointersAreCurrent(m.view));
        QCOMPARE(m.view->selectedItemSet.isEmpty(), !kept);
        int sequenced = 0;
        for (const TList<BinItem*>& sequence : m.view->selectedSequences)
            sequenced += sequence.size();
        QCOMPARE(sequenced, m.view->selectedItemSet.size());
        // What the view highlights are the new glyphs (a reload marks the
        // hovered events again); moving on works on them.
        m.view->clearHighlights();
        for (const BinItem* item : m.view->cells[0]->items())
            QVERIFY(!item->highlighted);
        move(m.view, centre(m.view->cells[0]->visibleRows[0][0]));
        QVERIFY(m.view->cells[0]->visibleRows[0][0]->highlighted);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(m.view, &leave);
    }
}

void MatrixInteractionTest::inspectTime()
{
    Matrix m(THREE);
    m.selectTraces({1});
    QPointer<QDialog> shown;
    QString chartContext;
    int chartEvents = -1;
    QTimer::singleShot(0, [&]() {
        shown = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(shown);
        QCOMPARE(shown->parentWidget(), m.view);
        auto* chart = shown->findChild<GanttWidget*>();
        QVERIFY(chart);
        chartContext = chart->context ? chart->context->name : QString();
        chartEvents = chart->context ? chart->context->packets.size() : -1;
        QCOMPARE(shown->size(), QSize(400, 300));
        shown->reject();
    });
    m.view->inspectTime();
    QCOMPARE(chartContext, QStringLiteral("temp"));
    QCOMPARE(chartEvents, 2);
    QVERIFY(!shown);
    QVERIFY(m.view->findChildren<QDialog*>().isEmpty());
}

void MatrixInteractionTest::badInput()
{
    Matrix m(THREE, true);
    Outbox out;
    m.control->installEventFilter(&out);
    DebugCapture capture;

    // A selected event whose trace the context does not have.
    PacketPtr stray(new Packet(TList<TVariant>{TVariant(1.0)}));
    stray->conversationId = 99;
    m.view->selectPackets(TList<PacketPtr>{stray, m.context->packets[2]});
    m.view->selectConversations();
    QCOMPARE(capture.lines().filter(QStringLiteral("trace 99 of a selected event")).size(), 1);
    QCOMPARE(eventIndices(m.context, m.view->selectedPacketSet), QList<int>({2}));
    QCOMPARE(m.view->selectedPacketSet.size(), 1);

    // Events to an inactive view change nothing.
    m.view->setActive(false, false);
    PacketsEvent select(nullptr, m.context->packets, {QStringLiteral("select")});
    QCoreApplication::sendEvent(m.view, &select);
    FindEvent inactiveFind(nullptr, nullptr, false, false, false);
    QCoreApplication::sendEvent(m.view, &inactiveFind);
    QCOMPARE(m.view->selectedPacketSet.size(), 1);
    m.view->setActive(true, false);

    // A pattern that is null or one empty slot finds nothing and says so.
    for (const QString& name : {QStringLiteral("null"), QStringLiteral("empty slot")}) {
        std::unique_ptr<ParseNode> tree(pattern(name));
        out.packets.clear();
        FindEvent e(nullptr, tree.get(), false, false, false);
        QVERIFY(QCoreApplication::sendEvent(m.view, &e));
        QCOMPARE(out.packets.size(), 1);
        QVERIFY(out.packets.last().isEmpty());
        QVERIFY(m.view->selectedPacketSet.isEmpty());
    }

    // Without a context the commands have nothing to work on.
    m.view->setContext(nullptr);
    m.view->invertSelection();
    m.view->selectConversations();
    m.view->excludeSelection();
    QVERIFY(m.view->selectedPacketSet.isEmpty());
    QCOMPARE(m.control->statusLabel->text(),
             QStringLiteral("Selected traces: 0(0%) Total: 0 | Selected messages: 0(0%) Total: 0"));
    m.view->setContext(m.context);

    // A huge inspection keeps to its cap.
    TList<PacketPtr> many;
    many.items.assign(800000, m.context->packets[0]);
    InspectWidget inspect(m.control.get(), many);
    QCOMPARE(inspect.table->rowCount(), InspectWidget::MAX_EVENTS);
}

void MatrixInteractionTest::screenshot()
{
    // 2000 traces of three to five events; every third trace selected.
    QList<Trace> traces;
    for (int t = 0; t < 2000; ++t)
        traces.append({t, QString(3 + t % 3, QLatin1Char('a' + t % 4)), QString()});
    Matrix m(traces);
    QList<int> selected;
    for (int t = 0; t < 2000; t += 3)
        selected.append(t);
    m.selectTraces(selected);
    m.ribbon->resize(900, 600);
    m.ribbon->show();
    QVERIFY(QTest::qWaitForWindowExposed(m.ribbon.get()));
    for (BinCell* cell : m.view->cells)
        cell->render(true, true, nullptr);
    m.view->render(true, true, nullptr);
    m.view->updateStatistics();
    QCoreApplication::processEvents();
    const QImage shot = m.view->grab().toImage();
    const QString path = qEnvironmentVariable("LUMIVANE_SCREENSHOT");
    if (!path.isEmpty()) {
        // Under a real X server (xvfb-run), the screen as the user sees it.
        QScreen* screen = QGuiApplication::primaryScreen();
        screen->grabWindow(0).save(path);
        shot.save(path + QStringLiteral(".view.png"));
    }
    // The first row (trace 0) is selected, the second (trace 1) is not.
    const BinItem* chosen = m.view->cells[0]->rows[0][0];
    const BinItem* other = m.view->cells[0]->rows[1][0];
    QVERIFY(chosen->selected && !other->selected);
    const auto pixel = [&](const BinItem* item, double dx, double dy) {
        return shot.pixelColor(QPointF(item->parentLeft() + dx, item->parentTop() + dy).toPoint());
    };
    // The default fill inside an unselected glyph (glyphs are filled a
    // shade darker); the selection colour on the edge of a selected one.
    QCOMPARE(pixel(other, other->width() / 2, other->height() / 2).rgba(), DEFAULT_FILL_COLOR.darker(110).rgba());
    const QColor edge = pixel(chosen, 0, chosen->height() / 2);
    QVERIFY2(edge.blue() > 200 && edge.red() < 120 && edge.green() < 120, qPrintable(edge.name()));
    QVERIFY(m.control->statusLabel->text().startsWith(QStringLiteral("Selected traces: 667(33.4%) Total: 2000")));
}

LUMIVANE_TEST(MatrixInteractionTest)
#include "MatrixInteractionTest.moc"
