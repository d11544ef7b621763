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
#include "events/AttributeEvent.h"
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

#include <cmath>
#include <functional>
#include <memory>

namespace {

using Packets = TList<QSharedPointer<Packet>>;

const TList<QString> NAMES = {QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                              QStringLiteral("ip.dst")};
const TList<int> KINDS = {1, 3, 3};

// n events over `traces` traces, one second apart.
Packets makeEvents(int n, int traces)
{
    Packets events;
    for (int i = 0; i < n; ++i) {
        TList<TVariant> row = {TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 7)),
                               TVariant(QStringLiteral("10.0.1.%1").arg(i % 5))};
        auto event = QSharedPointer<Packet>::create(row);
        event->conversationId = i % traces;
        events.append(event);
    }
    return events;
}

Packets slice(const Packets& events, int from, int count)
{
    Packets out;
    for (int i = from; i < from + count; ++i)
        out.append(events.at(i));
    return out;
}

// What reached the controller: one line per custom event.
class ControlLog : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (int(event->type())) {
        case CONTEXTEVENT: {
            auto* e = static_cast<ContextEvent*>(event);
            lines << QStringLiteral("context");
            contexts = e->contexts;
            senders << e->sender;
            break;
        }
        case PACKETSEVENT: {
            auto* e = static_cast<PacketsEvent*>(event);
            lines << QStringLiteral("packets");
            packets = e->packets;
            args = e->args;
            senders << e->sender;
            break;
        }
        case ATTRIBUTEEVENT:
            lines << QStringLiteral("attribute");
            senders << static_cast<AttributeEvent*>(event)->sender;
            break;
        default:
            break;
        }
        return false;
    }
    QStringList lines;
    QList<QObject*> senders;
    QList<Context*> contexts;
    Packets packets;
    QList<QVariant> args;
};

// A controller without views whose store holds a computed root "All" over
// `events`, and a tree shown on screen.
struct Tree
{
    explicit Tree(const Packets& events)
    {
        GlyphStore* store = control.glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(NAMES, KINDS);
        root = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = root;
        control.installEventFilter(&log);
        nav.resize(600, 300);
        nav.show();
        nav.refresh();
    }

    QTreeWidgetItem* rowOf(Context* context) const
    {
        for (auto it = nav.items.begin(); it != nav.items.end(); ++it) {
            if (it.value() == context)
                return it.key();
        }
        return nullptr;
    }

    // A point in a row's column, in viewport coordinates.
    QPoint cell(Context* context, int column) const
    {
        const QRect rect = nav.visualItemRect(rowOf(context));
        if (column == 0)
            return QPoint(rect.left() + 6, rect.center().y());
        const QHeaderView* h = nav.header();
        return QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2,
                      rect.center().y());
    }

    void press(Qt::MouseButton button, const QPoint& at)
    {
        log.lines.clear();
        log.senders.clear();
        QTest::mousePress(nav.viewport(), button, Qt::NoModifier, at);
        QTest::mouseRelease(nav.viewport(), button, Qt::NoModifier, at);
    }

    MessageRecorder boxes;
    ControlLog log;
    ControlWidget control{nullptr};
    NavigationWidget nav{&control, nullptr};
    Context* root = nullptr;
};

// Answers the next name dialog: notes its proposal, types `name` (a null
// text keeps the proposal), sets the attribute box and presses OK, or
// Cancel when `ok` is false.
void answerNameDialog(QString* proposal, const QString& name, bool attribute, bool ok = true)
{
    QTimer::singleShot(0, [=]() {
        TextInputWidget* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<TextInputWidget*>(w); d && d->isVisible())
                dialog = d;
        }
        QVERIFY(dialog);
        if (proposal)
            *proposal = dialog->nameEdit->text();
        if (!name.isNull())
            dialog->nameEdit->setText(name);
        dialog->attributeBox->setChecked(attribute);
        auto* box = dialog->findChild<QDialogButtonBox*>();
        box->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
}

int weight(QTreeWidgetItem* row)
{
    return row->font(0).weight();
}

} // namespace

class NavigationWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void treeShowsEveryContext();
    void emptyRootHasNoCoverage();
    void clicks_data();
    void clicks();
    void modifiedContextQuestion_data();
    void modifiedContextQuestion();
    void proposalsAndCounter();
    void attributeNameClashes();
    void uncheckedBoxAddsOnlyTheContext();
    void selectionOutOfRootOrder();
    void nothingToSave();
};

void NavigationWidgetTest::treeShowsEveryContext()
{
    Tree t(makeEvents(20, 4));
    Context* a = new Context(t.root, QStringLiteral("A"), slice(t.root->packets, 0, 10), t.root->store, true);
    Context* a1 = new Context(a, QStringLiteral("A1"), slice(t.root->packets, 0, 5), t.root->store, true);
    Context* b = new Context(t.root, QStringLiteral("B"), slice(t.root->packets, 10, 4), t.root->store, true);
    b->removePackets(slice(t.root->packets, 10, 1));   // modified
    // A context event from another view rebuilds the tree.
    ContextEvent changed(nullptr, QList<Context*>{t.root});
    QVERIFY(QCoreApplication::sendEvent(&t.nav, &changed));

    NavigationWidget& nav = t.nav;
    QTreeWidgetItem* headerRow = nav.headerItem();
    QStringList titles;
    for (int c = 0; c < headerRow->columnCount(); ++c)
        titles << headerRow->text(c);
    QCOMPARE(titles, QStringList({"Context", "#Events", "#Traces", "Coverage", "Trace"}));
    QCOMPARE(nav.header()->sectionSize(3), 80);
    QCOMPARE(nav.header()->sectionSize(4), 80);
    QVERIFY(!nav.header()->stretchLastSection());
    QCOMPARE(nav.selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(nav.focusPolicy(), Qt::NoFocus);
    QCOMPARE(nav.sizeHint(), QSize(100, 100));
    QCOMPARE(nav.palette().color(QPalette::Inactive, QPalette::Base), QColor(Qt::white));

    // Rows in depth-first order, children in creation order.
    QCOMPARE(nav.topLevelItemCount(), 1);
    QTreeWidgetItem* top = nav.topLevelItem(0);
    QCOMPARE(top->childCount(), 2);
    QCOMPARE(top->child(0)->text(0), QStringLiteral("A"));
    QCOMPARE(top->child(0)->child(0)->text(0), QStringLiteral("A1"));
    QCOMPARE(top->child(1)->text(0), QStringLiteral("B*"));
    QCOMPARE(nav.items.size(), 4);
    QCOMPARE(nav.items.value(top->child(0)->child(0)), a1);

    struct Expected { Context* context; QString events; QString traces; double eventShare; double traceShare; };
    const QList<Expected> rows = {{t.root, "20", "4", 1.0, 1.0},
                                  {a, "10", "4", 0.5, 1.0},
                                  {a1, "5", "4", 0.25, 1.0},
                                  {b, "3", "3", 0.15, 0.75}};
    for (const Expected& e : rows) {
        QTreeWidgetItem* row = t.rowOf(e.context);
        QVERIFY(row);
        QCOMPARE(row->text(1), e.events);
        QCOMPARE(row->text(2), e.traces);
        QCOMPARE(row->flags(), Qt::ItemFlags(Qt::ItemIsEnabled));
        QVERIFY(row->childCount() == 0 || row->isExpanded());
        auto* events = qobject_cast<Bar*>(nav.itemWidget(row, 3));
        auto* traces = qobject_cast<Bar*>(nav.itemWidget(row, 4));
        QVERIFY(events && traces);
        QCOMPARE(events->mode, 2);
        QCOMPARE(traces->mode, 2);
        QCOMPARE(events->value, e.eventShare);
        QCOMPARE(traces->value, e.traceShare);
        QCOMPARE(weight(row), e.context == t.root ? 75 : 50);
    }
    QCOMPARE(nav.activeItem, top);
    QCOMPARE(nav.activeContext, t.root);
}

void NavigationWidgetTest::emptyRootHasNoCoverage()
{
    Tree t(Packets{});
    new Context(t.root, QStringLiteral("empty"), Packets{}, t.root->store, true);
    t.nav.rebuildTree();
    QCOMPARE(t.nav.items.size(), 2);
    for (auto it = t.nav.items.begin(); it != t.nav.items.end(); ++it) {
        for (int column : {3, 4}) {
            auto* bar = qobject_cast<Bar*>(t.nav.itemWidget(it.key(), column));
            QVERIFY(bar);
            QVERIFY(!std::isnan(bar->value));
            QCOMPARE(bar->value, 0.0);
        }
        QCOMPARE(it.key()->text(1), QStringLiteral("0"));
    }
}

void NavigationWidgetTest::clicks_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("onChild");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<bool>("childActive");

    const int left = Qt::LeftButton;
    const int right = Qt::RightButton;
    QTest::newRow("left on a name") << left << 0 << true << QStringList{"context"} << true;
    QTest::newRow("middle on a name") << int(Qt::MiddleButton) << 0 << true << QStringList{"context"} << true;
    QTest::newRow("left on #Events") << left << 1 << true << QStringList{"context"} << false;
    QTest::newRow("left below the rows") << left << -1 << false << QStringList{"context"} << false;
    QTest::newRow("right on a name") << right << 0 << true << QStringList{"packets"} << true;
    QTest::newRow("right on #Traces") << right << 2 << true << QStringList() << true;
    QTest::newRow("right below the rows") << right << -1 << false << QStringList() << true;
}

void NavigationWidgetTest::clicks()
{
    QFETCH(int, button);
    QFETCH(int, column);
    QFETCH(bool, onChild);
    QFETCH(QStringList, sent);
    QFETCH(bool, childActive);

    Tree t(makeEvents(12, 3));
    Context* child = new Context(t.root, QStringLiteral("sel"), slice(t.root->packets, 2, 5), t.root->store, true);
    t.nav.rebuildTree();
    // The child starts active (a left click on its name).
    t.press(Qt::LeftButton, t.cell(child, 0));
    QCOMPARE(t.nav.activeContext, child);

    const QPoint at = column >= 0 ? t.cell(onChild ? child : t.root, column)
                                  : QPoint(10, t.nav.viewport()->height() - 5);
    t.press(Qt::MouseButton(button), at);

    QCOMPARE(t.log.lines, sent);
    for (QObject* sender : t.log.senders)
        QCOMPARE(sender, &t.nav);
    Context* active = childActive ? child : t.root;
    QCOMPARE(t.nav.activeContext, active);
    if (sent == QStringList{"context"})
        QCOMPARE(t.log.contexts, QList<Context*>{active});
    if (sent == QStringList{"packets"}) {
        QCOMPARE(t.log.args, QList<QVariant>{QStringLiteral("select")});
        QCOMPARE(t.log.packets.items, child->packets.items);
    }
    // Only the active row is bold, and only when a row was clicked.
    QTreeWidgetItem* childRow = t.rowOf(child);
    QTreeWidgetItem* rootRow = t.rowOf(t.root);
    QCOMPARE(weight(childRow), childActive ? 75 : 50);
    QCOMPARE(weight(rootRow), 50);
    QCOMPARE(t.nav.activeItem, childActive ? childRow : nullptr);
}

void NavigationWidgetTest::modifiedContextQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("events");
    QTest::addColumn<bool>("notClickedLine");
    QTest::newRow("yes keeps the changes") << int(QMessageBox::Yes) << 15 << false;
    QTest::newRow("no reverts them") << int(QMessageBox::No) << 20 << true;
    QTest::newRow("closed box reverts them") << int(QMessageBox::NoButton) << 20 << true;
}

void NavigationWidgetTest::modifiedContextQuestion()
{
    QFETCH(int, answer);
    QFETCH(int, events);
    QFETCH(bool, notClickedLine);

    SettingsGuard settings;
    MessageRecorder boxes{QMessageBox::StandardButton(answer)};
    MainWindow w;
    w.controlWidget->loadData(makeEvents(20, 4), NAMES, KINDS);
    Context* root = w.controlWidget->glyphStore->rootContext;
    QCOMPARE(w.leftEventRibbon->view->context, root);
    Context* child = new Context(root, QStringLiteral("kept"), slice(root->packets, 0, 8), root->store, true);
    root->removePackets(slice(root->packets, 0, 5));
    NavigationWidget* nav = w.navigationWidget;
    nav->rebuildTree();
    QTreeWidgetItem* childRow = nullptr;
    for (auto it = nav->items.begin(); it != nav->items.end(); ++it) {
        if (it.value() == child)
            childRow = it.key();
    }
    QCOMPARE(nav->topLevelItem(0)->text(0), QStringLiteral("All*"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // The question comes before the context event.
    QStringList order;
    MessageAsker::Handler inner = MessageAsker::setHandler(nullptr);
    MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        order << QStringLiteral("question");
        return inner(r);
    });
    ControlLog log;
    struct Tap : QObject {
        QStringList* order;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (int(e->type()) == CONTEXTEVENT)
                *order << QStringLiteral("context");
            return false;
        }
    } tap;
    tap.order = &order;
    w.controlWidget->installEventFilter(&tap);
    w.controlWidget->installEventFilter(&log);

    DebugCapture capture;
    const QRect rect = nav->visualItemRect(childRow);
    QTest::mouseClick(nav->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(rect.left() + 6, rect.center().y()));
    MessageAsker::setHandler(inner);

    QCOMPARE(order, QStringList({"question", "context"}));
    QCOMPARE(boxes.requests.size(), 1);
    const MessageAsker::Request& asked = boxes.requests.first();
    QCOMPARE(asked.title, QStringLiteral("Kolm"));
    QCOMPARE(asked.text, QStringLiteral("The selected context has been modified, do you want to "
                                        "make these changes permanent?"));
    QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(root->packets.size(), events);
    QVERIFY(!root->modified);
    QVERIFY(root->history.isEmpty());
    QCOMPARE(capture.contains(QStringLiteral("Yes was *not* clicked")), notClickedLine);
    // The rebuilt tree: no star, the clicked context bold, the event names it.
    QCOMPARE(nav->topLevelItem(0)->text(0), QStringLiteral("All"));
    QCOMPARE(nav->topLevelItem(0)->text(1), QString::number(events));
    QCOMPARE(nav->activeContext, child);
    QVERIFY(nav->activeItem);
    QCOMPARE(nav->items.value(nav->activeItem), child);
    QCOMPARE(weight(nav->activeItem), 75);
    QCOMPARE(log.contexts, QList<Context*>{child});

    // A second click asks nothing: the context is settled.
    boxes.requests.clear();
    QTest::mouseClick(nav->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, nav->viewport()->height() - 3));
    QVERIFY(boxes.requests.isEmpty());
    QCOMPARE(nav->activeContext, root);
}

void NavigationWidgetTest::proposalsAndCounter()
{
    Tree t(makeEvents(10, 2));
    selectionCounter = 0;
    const Packets selection = slice(t.root->packets, 1, 3);
    QString proposal;

    answerNameDialog(&proposal, QString(), true);
    Context* first = t.nav.saveSelection(t.root, selection);
    QCOMPARE(proposal, QStringLiteral("Selection 0"));
    QVERIFY(first);
    QCOMPARE(first->name, QStringLiteral("Selection 0"));
    QCOMPARE(first->parent, t.root);
    QCOMPARE(first->packets.items, selection.items);
    QCOMPARE(selectionCounter, 1);

    answerNameDialog(&proposal, QStringLiteral("mine"), true);
    QVERIFY(t.nav.saveSelection(t.root, selection));
    QCOMPARE(proposal, QStringLiteral("Selection 1"));
    QCOMPARE(selectionCounter, 1);

    answerNameDialog(&proposal, QString(), true, false);
    QVERIFY(!t.nav.saveSelection(t.root, selection));
    QCOMPARE(proposal, QStringLiteral("Selection 1"));
    QCOMPARE(selectionCounter, 1);

    // A blank name is a name.
    answerNameDialog(&proposal, QStringLiteral("  "), true);
    Context* blank = t.nav.saveSelection(first, selection);
    QVERIFY(blank);
    QCOMPARE(blank->name, QStringLiteral("  "));
    QCOMPARE(blank->parent, first);
    QVERIFY(t.root->store->attributeColumns.contains(QStringLiteral("  ")));

    // Three saved contexts, each with its row; the cancelled one made none.
    QCOMPARE(t.root->children.size(), 2);
    QCOMPARE(t.nav.items.size(), 4);
    QCOMPARE(t.log.lines, QStringList({"attribute", "attribute", "attribute"}));
    selectionCounter = 0;
}

void NavigationWidgetTest::attributeNameClashes()
{
    Tree t(makeEvents(6, 2));
    GlyphStore* store = t.root->store;
    const Packets selection = slice(t.root->packets, 0, 2);
    struct Step { QString name; QString attribute; };
    // An event attribute, a trace attribute and a name saved twice.
    const QList<Step> steps = {{"ip.src", "ip.src(1)"},
                               {"ip.src", "ip.src(2)"},
                               {"conv.length", "conv.length(1)"},
                               {"X", "X"},
                               {"X", "X(1)"},
                               {"X", "X(2)"}};
    for (const Step& step : steps) {
        answerNameDialog(nullptr, step.name, true);
        Context* saved = t.nav.saveSelection(t.root, selection);
        QVERIFY(saved);
        QCOMPARE(saved->name, step.name);
        QCOMPARE(store->packetAttributeNames.last(), step.attribute);
        QCOMPARE(store->attributeColumns.value(step.attribute, -1), store->packetAttributeNames.size() - 1);
    }
    // The original columns keep their values.
    QCOMPARE(store->attributeColumns.value(QStringLiteral("ip.src")), 1);
    QCOMPARE(t.root->packets.first()->get(1).toString(), QStringLiteral("10.0.0.0"));
}

void NavigationWidgetTest::uncheckedBoxAddsOnlyTheContext()
{
    Tree t(makeEvents(6, 2));
    GlyphStore* store = t.root->store;
    const int columns = store->packetAttributeNames.size();
    answerNameDialog(nullptr, QStringLiteral("plain"), false);
    Context* saved = t.nav.saveSelection(t.root, slice(t.root->packets, 0, 3));
    QVERIFY(saved);
    QCOMPARE(saved->name, QStringLiteral("plain"));
    QCOMPARE(saved->packets.size(), 3);
    QCOMPARE(store->packetAttributeNames.size(), columns);
    QVERIFY(!store->attributeColumns.contains(QStringLiteral("plain")));
    QVERIFY(t.log.lines.isEmpty());
    QVERIFY(t.root->packets.first()->extra == nullptr);
    QCOMPARE(t.rowOf(saved)->text(0), QStringLiteral("plain"));
}

void NavigationWidgetTest::selectionOutOfRootOrder()
{
    Tree t(makeEvents(10, 3));
    // Rows 2..7 in reverse order (clustered rows), one of them twice.
    Packets selection;
    for (int i = 7; i >= 2; --i)
        selection.append(t.root->packets.at(i));
    selection.append(t.root->packets.at(4));
    answerNameDialog(nullptr, QStringLiteral("reversed"), true);
    QVERIFY(t.nav.saveSelection(t.root, selection));
    GlyphStore* store = t.root->store;
    const int column = store->attributeColumns.value(QStringLiteral("reversed"), -1);
    QCOMPARE(column, 3);
    for (int i = 0; i < 10; ++i) {
        const TVariant& v = t.root->packets.at(i)->get(column);
        QCOMPARE(v.type, TVariant::Bool);
        QCOMPARE(v.toString(), QString((i >= 2 && i <= 7) ? "1" : "0"));
    }
    QCOMPARE(t.log.lines, QStringList{"attribute"});
    QCOMPARE(t.log.senders, QList<QObject*>{&t.nav});
}

void NavigationWidgetTest::nothingToSave()
{
    Tree t(makeEvents(4, 1));
    // No dialog may open: one that does is cancelled and noted.
    bool opened = false;
    QTimer guard;
    connect(&guard, &QTimer::timeout, [&opened]() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<TextInputWidget*>(w); d && d->isVisible()) {
                opened = true;
                d->reject();
            }
        }
    });
    guard.start(0);
    t.nav.saveNewSel();   // no event matrix
    QVERIFY(!t.nav.saveSelection(t.root, Packets{}));
    QVERIFY(!t.nav.saveSelection(nullptr, slice(t.root->packets, 0, 1)));
    guard.stop();
    QVERIFY(!opened);
    QVERIFY(t.root->children.isEmpty());
}

LUMIVANE_TEST(NavigationWidgetTest)
#include "NavigationWidgetTest.moc"
