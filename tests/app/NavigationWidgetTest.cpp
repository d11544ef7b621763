#include "DebugCapture.h"
#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/Bar.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "core/Packet.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

using Packets = TList<QSharedPointer<Packet>>;

const TList<QString> NAMES = {"frame.time_epoch", "ip.src", "ip.dst"};
const TList<int> KINDS = {1, 3, 3};

// n events over `traces` traces, one second apart.
Packets makeEvents(int n, int traces)
{
    Packets events;
    for (int i = 0; i < n; ++i) {
        auto event = QSharedPointer<Packet>::create(TList<TVariant>{
            TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 7)), TVariant(QStringLiteral("b"))});
        event->conversationId = i % traces;
        events.append(event);
    }
    return events;
}

Packets slice(const Packets& events, int from, int count)
{
    return Packets(QList<QSharedPointer<Packet>>(events.items.begin() + from, events.items.begin() + from + count));
}

// What reached the controller, one word per custom event, with the payloads.
struct Sent : QObject
{
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == CONTEXTEVENT) {
            words << "context";
            contexts = static_cast<ContextEvent*>(event)->contexts;
        } else if (int(event->type()) == PACKETSEVENT) {
            words << "packets";
            packets = static_cast<PacketsEvent*>(event)->eventList();
            args = static_cast<PacketsEvent*>(event)->args;
        } else if (int(event->type()) == ATTRIBUTEEVENT) {
            words << "attribute";
        }
        return false;
    }
    QStringList words;
    QList<Context*> contexts;
    Packets packets;
    QList<QVariant> args;
};

// A controller without views whose store holds a computed root "All", and
// the tree on screen.
struct Tree
{
    explicit Tree(const Packets& events)
    {
        GlyphStore* store = control.glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(NAMES, KINDS);
        root = store->rootContext = new Context(nullptr, "All", events, store, true);
        control.installEventFilter(&sent);
        nav.resize(600, 300);
        nav.show();
        nav.refresh();
    }
    Context* child(Context* parent, const QString& name, int from, int count)
    {
        return new Context(parent, name, slice(root->packets, from, count), root->store, true);
    }
    QTreeWidgetItem* rowOf(Context* context) const
    {
        for (auto it = nav.items.begin(); it != nav.items.end(); ++it) {
            if (it.value() == context)
                return it.key();
        }
        return nullptr;
    }
    // Presses and releases at a row's column (-1: below the rows).
    void click(Qt::MouseButton button, Context* context, int column)
    {
        QPoint at(10, nav.viewport()->height() - 5);
        if (column >= 0) {
            const QRect row = nav.visualItemRect(rowOf(context));
            at = QPoint(column == 0 ? row.left() + 6 : nav.header()->sectionViewportPosition(column) + 10,
                        row.center().y());
        }
        sent.words.clear();
        QTest::mouseClick(nav.viewport(), button, Qt::NoModifier, at);
    }

    MessageRecorder boxes;
    Sent sent;
    ControlWidget control{nullptr};
    NavigationWidget nav{&control, nullptr};
    Context* root = nullptr;
};

// Answers the next name dialog: notes its proposal, types `name` (a null
// text keeps the proposal), sets the attribute box, presses OK or Cancel.
void answerNameDialog(QString* proposal, const QString& name, bool attribute, bool ok = true)
{
    QTimer::singleShot(0, [=]() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<TextInputWidget*>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            if (proposal)
                *proposal = dialog->nameEdit->text();
            if (!name.isNull())
                dialog->nameEdit->setText(name);
            dialog->attributeBox->setChecked(attribute);
            dialog->findChild<QDialogButtonBox*>()
                ->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
            return;
        }
    });
}

int weight(QTreeWidgetItem* row)
{
    return row ? row->font(0).weight() : -1;
}

} // namespace

class NavigationWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void rowsFollowTheContexts();
    void emptyRootHasNoCoverage();
    void clicks_data();
    void clicks();
    void modifiedContextQuestion_data();
    void modifiedContextQuestion();
    void savedSelections();
    void selectionOutOfRootOrder();
    void matrixSelection();
};

void NavigationWidgetTest::rowsFollowTheContexts()
{
    Tree t(makeEvents(20, 4));
    Context* a = t.child(t.root, "A", 0, 10);
    Context* a1 = t.child(a, "A1", 0, 5);
    Context* b = t.child(t.root, "B", 10, 4);
    b->removePackets(slice(t.root->packets, 10, 1));   // trace 2 loses its only event here
    // A context event from another view rebuilds the tree.
    ContextEvent changed(nullptr, QList<Context*>{t.root});
    QVERIFY(QCoreApplication::sendEvent(&t.nav, &changed));

    // Depth first, children in creation order.
    QTreeWidgetItem* top = t.nav.topLevelItem(0);
    QCOMPARE(t.nav.topLevelItemCount(), 1);
    QCOMPARE(top->childCount(), 2);
    QCOMPARE(top->child(0)->child(0), t.rowOf(a1));
    QCOMPARE(top->child(1)->text(0), QStringLiteral("B*"));

    struct Row { Context* context; QString events, traces; double eventShare, traceShare; };
    for (const Row& e : QList<Row>{{t.root, "20", "4", 1.0, 1.0}, {a, "10", "4", 0.5, 1.0},
                                   {a1, "5", "4", 0.25, 1.0}, {b, "3", "3", 0.15, 0.75}}) {
        QTreeWidgetItem* row = t.rowOf(e.context);
        QCOMPARE(row->text(1), e.events);
        QCOMPARE(row->text(2), e.traces);
        QCOMPARE(qobject_cast<Bar*>(t.nav.itemWidget(row, 3))->value, e.eventShare);
        QCOMPARE(qobject_cast<Bar*>(t.nav.itemWidget(row, 4))->value, e.traceShare);
        QCOMPARE(weight(row), e.context == t.root ? 75 : 50);
        QVERIFY(row->childCount() == 0 || row->isExpanded());
    }
    QCOMPARE(t.nav.activeItem, top);
}

void NavigationWidgetTest::emptyRootHasNoCoverage()
{
    Tree t(Packets{});
    t.child(t.root, "empty", 0, 0);
    t.nav.rebuildTree();
    QCOMPARE(t.nav.items.size(), 2);
    for (auto it = t.nav.items.begin(); it != t.nav.items.end(); ++it) {
        QCOMPARE(qobject_cast<Bar*>(t.nav.itemWidget(it.key(), 3))->value, 0.0);
        QCOMPARE(qobject_cast<Bar*>(t.nav.itemWidget(it.key(), 4))->value, 0.0);
    }
}

void NavigationWidgetTest::clicks_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<bool>("childStaysActive");
    const int left = Qt::LeftButton;
    const int right = Qt::RightButton;
    QTest::newRow("left on a name") << left << 0 << QStringList{"context"} << true;
    QTest::newRow("middle on a name") << int(Qt::MiddleButton) << 0 << QStringList{"context"} << true;
    QTest::newRow("left on #Events") << left << 1 << QStringList{"context"} << false;
    QTest::newRow("left below the rows") << left << -1 << QStringList{"context"} << false;
    QTest::newRow("right on a name") << right << 0 << QStringList{"packets"} << true;
    QTest::newRow("right on #Traces") << right << 2 << QStringList() << true;
    QTest::newRow("right below the rows") << right << -1 << QStringList() << true;
}

void NavigationWidgetTest::clicks()
{
    QFETCH(int, button);
    QFETCH(int, column);
    QFETCH(QStringList, sent);
    QFETCH(bool, childStaysActive);

    Tree t(makeEvents(12, 3));
    Context* child = t.child(t.root, "sel", 2, 5);
    t.nav.rebuildTree();
    t.click(Qt::LeftButton, child, 0);
    QCOMPARE(t.nav.activeContext, child);

    t.click(Qt::MouseButton(button), child, column);
    QCOMPARE(t.sent.words, sent);
    Context* active = childStaysActive ? child : t.root;
    QCOMPARE(t.nav.activeContext, active);
    if (sent.contains("context"))
        QCOMPARE(t.sent.contexts, QList<Context*>{active});
    if (sent.contains("packets")) {
        QCOMPARE(t.sent.args, QList<QVariant>{QStringLiteral("select")});
        QCOMPARE(t.sent.packets.items, child->packets.items);
    }
    // A click elsewhere leaves no row bold.
    QCOMPARE(weight(t.rowOf(child)), childStaysActive ? 75 : 50);
    QCOMPARE(weight(t.rowOf(t.root)), 50);
}

void NavigationWidgetTest::modifiedContextQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("events");
    QTest::newRow("yes keeps the changes") << int(QMessageBox::Yes) << 15;
    QTest::newRow("no reverts them") << int(QMessageBox::No) << 20;
    QTest::newRow("a closed box reverts them") << int(QMessageBox::NoButton) << 20;
}

void NavigationWidgetTest::modifiedContextQuestion()
{
    QFETCH(int, answer);
    QFETCH(int, events);

    SettingsGuard settings;
    MessageRecorder boxes{QMessageBox::StandardButton(answer)};
    MainWindow w;
    w.controlWidget->loadData(makeEvents(20, 4), NAMES, KINDS);
    Context* root = w.controlWidget->glyphStore->rootContext;
    Context* child = new Context(root, "kept", slice(root->packets, 0, 8), root->store, true);
    // The main event view shows the root, which has changes to settle.
    root->removePackets(slice(root->packets, 0, 5));
    NavigationWidget* nav = w.navigationWidget;
    nav->rebuildTree();
    QCOMPARE(nav->topLevelItem(0)->text(0), QStringLiteral("All*"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Sent sent;
    w.controlWidget->installEventFilter(&sent);
    // The question comes before the context event.
    MessageAsker::Handler recorder = MessageAsker::setHandler(nullptr);
    MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        sent.words << "question";
        return recorder(r);
    });

    DebugCapture capture;
    const QRect row = nav->visualItemRect(nav->topLevelItem(0)->child(0));
    QTest::mouseClick(nav->viewport(), Qt::LeftButton, Qt::NoModifier, row.topLeft() + QPoint(6, 4));
    MessageAsker::setHandler(recorder);

    QCOMPARE(sent.words, QStringList({"question", "context"}));
    QCOMPARE(sent.contexts, QList<Context*>{child});
    QCOMPARE(boxes.titles(), QStringList{"Kolm"});
    QCOMPARE(boxes.requests.first().text, QStringLiteral("The selected context has been modified, do "
                                                         "you want to make these changes permanent?"));
    QCOMPARE(boxes.requests.first().buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(root->packets.size(), events);
    QVERIFY(!root->modified && root->history.isEmpty());
    QCOMPARE(capture.contains("Yes was *not* clicked"), answer != QMessageBox::Yes);
    // Rebuilt: no star, new counts, the clicked context bold on its new row.
    QCOMPARE(nav->topLevelItem(0)->text(0), QStringLiteral("All"));
    QCOMPARE(nav->topLevelItem(0)->text(1), QString::number(events));
    QCOMPARE(nav->items.value(nav->activeItem), child);
    QCOMPARE(weight(nav->activeItem), 75);

    // Settled: the next click asks nothing.
    QTest::mouseClick(nav->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, nav->viewport()->height() - 3));
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(nav->activeContext, root);
}

void NavigationWidgetTest::savedSelections()
{
    Tree t(makeEvents(10, 2));
    GlyphStore* store = t.root->store;
    const Packets selection = slice(t.root->packets, 1, 3);
    selectionCounter = 0;
    struct Step { QString typed; bool box; bool ok; QString proposal; QString attribute; int counter; };
    // A null text keeps the proposal; an empty attribute means none added.
    const QList<Step> steps = {
        {QString(), true, true, "Selection 0", "Selection 0", 1},
        {"mine", true, true, "Selection 1", "mine", 1},
        {QString(), true, false, "Selection 1", "", 1},    // cancelled: nothing
        {"plain", false, true, "Selection 1", "", 1},      // box unticked: only the context
        {"ip.src", true, true, "Selection 1", "ip.src(1)", 1},
        {"ip.src", true, true, "Selection 1", "ip.src(2)", 1},
        {"conv.length", true, true, "Selection 1", "conv.length(1)", 1},
        {"mine", true, true, "Selection 1", "mine(1)", 1},
        {"  ", true, true, "Selection 1", "  ", 1},        // blank is a name
    };
    int contexts = 0;
    for (const Step& step : steps) {
        const int columns = store->packetAttributeNames.size();
        t.sent.words.clear();
        QString proposal;
        answerNameDialog(&proposal, step.typed, step.box, step.ok);
        Context* saved = t.nav.saveSelection(t.root, selection);
        QCOMPARE(proposal, step.proposal);
        QCOMPARE(selectionCounter, step.counter);
        QCOMPARE(bool(saved), step.ok);
        contexts += step.ok ? 1 : 0;
        if (saved) {
            QCOMPARE(saved->name, step.typed.isNull() ? step.proposal : step.typed);
            QCOMPARE(saved->packets.items, selection.items);
        }
        QCOMPARE(store->packetAttributeNames.size(), columns + (step.attribute.isEmpty() ? 0 : 1));
        QCOMPARE(t.sent.words, step.attribute.isEmpty() ? QStringList() : QStringList{"attribute"});
        if (!step.attribute.isEmpty())
            QCOMPARE(store->attributeColumns.value(step.attribute, -1), columns);
    }
    QCOMPARE(t.root->children.size(), contexts);
    QCOMPARE(t.nav.items.size(), contexts + 1);
    QCOMPARE(t.root->packets.first()->get(1).toString(), QStringLiteral("10.0.0.0"));
    // Nothing to save (no event matrix, no events): no context. A dialog
    // that opens after all is cancelled.
    answerNameDialog(nullptr, QString(), true, false);
    t.nav.saveNewSel();
    QVERIFY(!t.nav.saveSelection(t.root, Packets{}));
    QCoreApplication::processEvents();
    QCOMPARE(t.root->children.size(), contexts);
    selectionCounter = 0;
}

void NavigationWidgetTest::selectionOutOfRootOrder()
{
    Tree t(makeEvents(10, 3));
    // Rows 7 down to 2 (clustered rows), one of them twice.
    Packets selection;
    for (int i = 7; i >= 2; --i)
        selection.append(t.root->packets.at(i));
    selection.append(t.root->packets.at(4));
    answerNameDialog(nullptr, "reversed", true);
    QVERIFY(t.nav.saveSelection(t.root, selection));
    const int column = t.root->store->attributeColumns.value("reversed", -1);
    QVERIFY(column >= 0);
    for (int i = 0; i < 10; ++i) {
        const TVariant& v = t.root->packets.at(i)->get(column);
        QCOMPARE(v.type, TVariant::Bool);
        QCOMPARE(v.toString(), QString(i >= 2 && i <= 7 ? "1" : "0"));
    }
}

void NavigationWidgetTest::matrixSelection()
{
    // The slots take the main event matrix's selection and context.
    SettingsGuard settings;
    MessageRecorder boxes;
    MainWindow w;
    w.controlWidget->loadData(makeEvents(12, 3), NAMES, KINDS);
    Context* root = w.controlWidget->glyphStore->rootContext;
    EventWidget* view = w.leftEventRibbon->view;
    for (int i : {9, 2, 5})
        view->selectedPacketSet.insert(root->packets.at(i));
    answerNameDialog(nullptr, "picked", false);
    w.navigationWidget->saveNewSel();
    QCOMPARE(root->children.size(), 1);
    QCOMPARE(root->children.first()->name, QStringLiteral("picked"));
    QCOMPARE(root->children.first()->packets.items, view->selectedPackets().items);
    QCOMPARE(w.navigationWidget->items.size(), 2);
}

LUMIVANE_TEST(NavigationWidgetTest)
#include "NavigationWidgetTest.moc"
