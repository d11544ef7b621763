#include "ActionSweep.h"
#include "PatternTrees.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "editors/ColorBox.h"
#include "editors/EventCompleter.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/MapWidget.h"
#include "editors/ModifierCompleter.h"
#include "editors/QueryWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/TextEdit.h"
#include "items/BinItem.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QtTest>

#include <memory>

// Every allocation of an undo, a redo, the Left, Right and Delete keys and
// the ribbon's edits that move nodes about in the pattern editor fails in
// turn, each entered where the user's click or key lands. Nothing gets out of the editor; it either shows what an editor
// that never failed shows, or it is as it was before (tree, items,
// selection, history and its place, the ribbon's buttons) with one message
// that names memory; the same action then gives what it gives an editor
// that never failed, and the editor goes without a double free.
//
// So does every allocation of a pattern editor's popups, run modally and
// answered as the user does: the glyph picked from the event completer
// after typing a search text, a new glyph made in the glyph editor from its
// "Add new..." entry, a custom repetition, a condition typed into the
// condition dialog. Anything that runs out of memory while a popup is open
// fails the edit as a whole: the pattern stays as it was, and no glyph is
// stored.
//
// The paint of every view of the editors fails allocation by allocation
// too (paintsweep): the pattern editor with a tree of every kind, the
// previews of a glyph and of a rule, a colour swatch, the rule list and the
// popups.

namespace {

// A tree as trees::tree reads it, each leaf labelled with its glyph's
// name.
ParseNode* labelled(ParseNode* node)
{
    if (node->type == ParseNode::Leaf)
        node->glyph.label = node->glyph.name;
    for (ParseNode* child : node->children)
        labelled(child);
    return node;
}

ParseNode* nodeNamed(ParseNode* node, const QString& name)
{
    if (node->type == ParseNode::Leaf && node->glyph.name == name)
        return node;
    for (ParseNode* child : node->children) {
        if (ParseNode* found = nodeNamed(child, name))
            return found;
    }
    return nullptr;
}

// Whether every child points at its parent and every item at a node of the tree.
bool linked(const ParseNode* node, QSet<const ParseNode*>& seen)
{
    seen.insert(node);
    for (const ParseNode* child : node->children) {
        if (child->parentNode != node || !linked(child, seen))
            return false;
    }
    return true;
}

// The editor as text: its tree in the prefix text form, its history and
// place in it, its items (with the selection) and the ribbon's buttons.
QStringList editorText(RibbonMapWidget& ribbon)
{
    MapWidget* map = ribbon.map;
    QStringList out;
    QSet<const ParseNode*> nodes;
    out << QStringLiteral("tree %1%2").arg(Rule::treeToText(map->root),
                                           linked(map->root, nodes) ? QString() : QStringLiteral(" unlinked"));
    out << QStringLiteral("history %1 of %2").arg(map->historyIndex).arg(map->history.size());
    for (const ParseNode* entry : map->history)
        out << Rule::treeToText(entry);
    QString items;
    for (BinItem* item : map->items) {
        ParseNode* node = map->itemNode.value(item, nullptr);
        const bool registered = node && nodes.contains(node) && map->nodeItem.value(node) == item;
        items += QStringLiteral("%1@%2%3%4 ")
                     .arg(item->label.isEmpty() ? item->name : item->label)
                     .arg(item->left())
                     .arg(item->selected ? QStringLiteral("+") : QString())
                     .arg(node && !registered ? QStringLiteral("!") : QString());
    }
    out << items;
    out << QStringLiteral("hashes %1 %2").arg(map->itemNode.size()).arg(map->nodeItem.size());
    QString buttons;
    for (QPushButton* button : {ribbon.undo, ribbon.redo, ribbon.iterator, ribbon.choice, ribbon.after,
                                ribbon.before, ribbon.stack, ribbon.negation, ribbon.pickerButton})
        buttons += button->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    out << buttons;
    return out;
}

// A small tree with four history entries, one of them undone (a redo
// branch), and B selected.
std::unique_ptr<RibbonMapWidget> makeEditor()
{
    auto ribbon = std::make_unique<RibbonMapWidget>(false, nullptr);
    ribbon->resize(600, 200);
    MapWidget* map = ribbon->map;
    map->setRoot(labelled(trees::tree(QStringLiteral("seq(A,B,C)"))));
    map->insertAfter({nodeNamed(map->root, QStringLiteral("A"))});
    map->insertChoice({nodeNamed(map->root, QStringLiteral("C"))});
    map->insertIterator({nodeNamed(map->root, QStringLiteral("A"))});
    ribbon->undoAction();
    map->selectNode(nodeNamed(map->root, QStringLiteral("B")));
    return ribbon;
}

// The action where the user's click or key lands: a button of the ribbon
// or a key on the editor. What it takes is found before the failures are
// armed, and the key's event made, as Qt makes it before delivering it.
struct Action
{
    Action(const QString& name, RibbonMapWidget& ribbon)
        : press(QEvent::KeyPress,
                name == QLatin1String("left")    ? Qt::Key_Left
                : name == QLatin1String("right") ? Qt::Key_Right
                                                 : Qt::Key_Delete,
                Qt::NoModifier)
    {
        const QHash<QString, QPushButton*> buttons{{QStringLiteral("undo"), ribbon.undo},
                                                   {QStringLiteral("redo"), ribbon.redo},
                                                   {QStringLiteral("after"), ribbon.after},
                                                   {QStringLiteral("choice"), ribbon.choice},
                                                   {QStringLiteral("negation"), ribbon.negation}};
        button = buttons.value(name);
    }
    void run(RibbonMapWidget& ribbon)
    {
        if (button)
            button->click();
        else
            QCoreApplication::sendEvent(ribbon.map, &press);
    }
    QPushButton* button = nullptr;
    QKeyEvent press;
};

// A fresh editor (see makeEditor) and one action in it; done again, the
// action goes on from where it left the editor.
struct EditScene : actionsweep::Scene
{
    EditScene(const QString& action, const QString& title) : action(action), title(title) { repeats = false; }
    void prepare() override
    {
        ribbon = makeEditor();
        entry.reset(new Action(action, *ribbon));
    }
    void act() override { entry->run(*ribbon); }
    QStringList state() const override { return editorText(*ribbon); }
    // As it was, and the message over the editor.
    QString stopped(const actionsweep::Stop& stop) const override
    {
        if (stop.told.title != title || !stop.told.text.contains(QLatin1String("memory"))
            || stop.told.parent != ribbon->window())
            return QStringLiteral("not the action's message over the editor");
        return stop.shown == stop.before ? QString() : actionsweep::difference(stop.shown, stop.before);
    }

    const QString action;
    const QString title;
    std::unique_ptr<RibbonMapWidget> ribbon;
    std::unique_ptr<Action> entry;
};

// A tree of every kind the editor draws: a stack, a negation, a choice in
// a star, a bounded repetition, a group waiting for its operator and an
// empty slot.
ParseNode* everyKind()
{
    return labelled(trees::tree(QStringLiteral("seq(A{S},not(B),star(or(C,D)),rep2..5(E),grp(F),[])")));
}

QString leavesText(const ParseNode* node)
{
    QString out;
    if (node->type == ParseNode::Leaf)
        out += actionsweep::line(node->glyph.name, node->glyph.condition ? node->glyph.condition->toString() : "true",
                                 node->glyph.quantifier) + "; ";
    for (const ParseNode* child : node->children)
        out += leavesText(child);
    return out;
}

// A pattern editor (in rewrite mode for "add new") over A, a group of B
// waiting for its operator and an empty slot, whose popups are answered by
// a timer that watches for the modal dialog, as the user answers them.
class PopupScene : public usersweep::Scene
{
public:
    explicit PopupScene(const QString& action)
        : control(new ControlWidget(nullptr)),
          ribbon(new RibbonMapWidget(action == QLatin1String("add new"), control.get(), nullptr)),
          action(action)
    {
        GlyphStore* store = control->glyphStore;
        store->setAttributes(TList<QString>{QStringLiteral("len")}, TList<int>{1});
        MapWidget* map = ribbon->map;
        ribbon->resize(600, 220);
        ribbon->show();
        map->setRoot(labelled(trees::tree(QStringLiteral("seq(A,grp(B),[])"))));
        // The click's wait for a second press, shortened.
        map->singleClickTimer->setInterval(0);
        user.setInterval(0);
        QObject::connect(&user, &QTimer::timeout, [this] { answer(); });
        initial = state();
    }

    void act() override
    {
        MapWidget* map = ribbon->map;
        answered.clear();
        user.start();
        // A double click on A for its condition, a click on the group's
        // slot for its repetition, or on the empty slot for a glyph.
        BinItem* target = nullptr;
        for (BinItem* item : map->items) {
            const bool aimed = action == QLatin1String("condition")    ? item->name == QLatin1String("A")
                               : action == QLatin1String("repetition") ? item->mode == EMPTYSMALL
                                                                        : item->mode == EMPTY;
            if (aimed && !target)
                target = item;
        }
        if (target) {
            const QPoint at = QRectF(target->left(), target->top(), target->width(), target->height())
                                  .center()
                                  .toPoint();
            QTest::mousePress(map, Qt::LeftButton, Qt::NoModifier, at);
            QTest::mouseRelease(map, Qt::LeftButton, Qt::NoModifier, at);
            // A second press before the wait is over: a double click.
            if (action == QLatin1String("condition"))
                QTest::mousePress(map, Qt::LeftButton, Qt::NoModifier, at);
        }
        // The wait ends; the popup runs and is answered in its own loop.
        for (int i = 0; i < 10 && (map->clickPending || map->singleClickTimer->isActive()); ++i)
            QCoreApplication::processEvents();
        user.stop();
    }

    QStringList state() const override
    {
        const MapWidget* map = ribbon->map;
        QString history;
        for (const ParseNode* entry : map->history)
            history += Rule::treeToText(entry) + QLatin1Char(' ');
        // Not the selection: the click selects what it lands on before the
        // popup opens, which a popup that failed leaves as a cancelled one
        // does.
        QString glyphs;
        for (const BinItem& g : control->glyphStore->glyphs.items)
            glyphs += g.name + QLatin1Char(' ');
        return {QStringLiteral("tree ") + Rule::treeToText(map->root), QStringLiteral("leaves ") + leavesText(map->root),
                QStringLiteral("history %1 of %2").arg(map->historyIndex).arg(history),
                QStringLiteral("items %1").arg(map->items.size()),
                QStringLiteral("glyphs ") + glyphs};
    }

    // A failure inside the popup (told by the handler it happened in, not
    // as the editor's own) fails the edit, however the popup ended.
    QString afterMessage(const QString& title, const QString&) const override
    {
        if (title != QLatin1String("Out of memory") || state() == initial)
            return QString();
        return QStringLiteral("the edit was made after a failure inside its popup");
    }

private:
    // The open modal dialog, answered once.
    void answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || answered.contains(modal))
            return;
        answered.insert(modal);
        if (auto* completer = qobject_cast<EventCompleter*>(modal)) {
            // "Add new..." is the first entry; a search text narrows the
            // glyphs to "Gray".
            if (action != QLatin1String("add new"))
                QTest::keyClicks(completer->searchEdit, QStringLiteral("Gr"));
            QListWidget* list = completer->list;
            if (list->count() > 0)
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                                  list->visualItemRect(list->item(0)).center());
            else
                completer->reject();
        } else if (auto* editor = qobject_cast<GlyphEditorWidget*>(modal)) {
            QTest::keyClicks(editor->nameEdit, QStringLiteral("New"));
            QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        } else if (auto* repetition = qobject_cast<ModifierCompleter*>(modal)) {
            QTest::keyClick(repetition->profileCombo, Qt::Key_Down);
            QTest::keyClick(repetition->profileCombo, Qt::Key_Down);
            QTest::keyClicks(repetition->startEdit, QStringLiteral("2"));
            QTest::keyClicks(repetition->endEdit, QStringLiteral("5"));
            QTest::mouseClick(repetition->okButton, Qt::LeftButton);
        } else if (auto* query = qobject_cast<QueryWidget*>(modal)) {
            query->textEdit->selectAll();
            QTest::keyClicks(query->textEdit, QStringLiteral("len == 1"));
            query->completer->popup()->hide();
            QTest::mouseClick(query->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
        }
        // Whatever did not close (a failure kept it open) is cancelled.
        if (QApplication::activeModalWidget() == modal)
            static_cast<QDialog*>(modal)->reject();
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<RibbonMapWidget> ribbon;
    QString action;
    QTimer user;
    QSet<QWidget*> answered;
    QStringList initial;
};

// A view of the editors with what it shows, and what it needs (the
// controller with its store) kept alive with it.
struct View
{
    std::unique_ptr<ControlWidget> control{new ControlWidget(nullptr)};
    std::unique_ptr<QWidget> widget;
};

View makeView(const QString& name)
{
    View view;
    ControlWidget* control = view.control.get();
    GlyphStore* store = control->glyphStore;
    BinItem login(nullptr, nullptr);
    login.name = QStringLiteral("Login");
    login.label = QStringLiteral("L");
    login.shape = CIRCLE;
    store->addGlyph(login);
    store->rules.append(Rule(QStringLiteral("Twice"), everyKind(), nullptr, true, true));
    store->rules.append(
        Rule(QStringLiteral("Logins"), everyKind(), labelled(trees::tree(QStringLiteral("seq(Login)"))), true, false));

    if (name == QLatin1String("pattern editor")) {
        auto* map = new MapWidget(false, control, nullptr);
        map->resize(600, 200);
        map->setRoot(everyKind());
        map->selectNode(map->root->children.at(2));
        view.widget.reset(map);
    } else if (name == QLatin1String("glyph preview")) {
        auto* example = new ExampleWidget(nullptr);
        example->resize(80, 80);
        example->setItem(&store->glyphs.last());
        view.widget.reset(example);
    } else if (name == QLatin1String("rule preview")) {
        auto* example = new ExampleWidget(nullptr);
        example->resize(300, 60);
        example->setItem(&store->rules.last());
        view.widget.reset(example);
    } else if (name == QLatin1String("colour box")) {
        auto* box = new ColorBox(QColor(200, 40, 40), nullptr);
        box->resize(25, 25);
        view.widget.reset(box);
    } else if (name == QLatin1String("rule list")) {
        auto* list = new RuleListWidget(control, nullptr);
        list->resize(400, 200);
        list->refreshRules();
        view.widget.reset(list);
    } else if (name == QLatin1String("event completer")) {
        auto* completer = new EventCompleter(store->glyphs, nullptr, true, nullptr);
        completer->resize(200, 300);
        view.widget.reset(completer);
    } else if (name == QLatin1String("repetition dialog")) {
        view.widget.reset(new ModifierCompleter(control, nullptr));
    }
    return view;
}

} // namespace

class EditorFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyAllocation_data();
    void everyAllocation();
    void popup_data();
    void popup();
    void paint_data();
    void paint();
};

void EditorFailuresTest::initTestCase()
{
    // Only the program's own allocations fail (see LoadFailuresTest): Qt's
    // delivery of a key or a click does not survive its own failing.
    sweep::spareQt();
}

void EditorFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::newRow("undo") << "undo" << "Failed to undo";
    QTest::newRow("redo") << "redo" << "Failed to redo";
    QTest::newRow("left") << "left" << "Failed to move the selection";
    QTest::newRow("right") << "right" << "Failed to move the selection";
    QTest::newRow("delete") << "delete" << "Failed to delete";
    // Edits of the ribbon that move nodes about.
    QTest::newRow("after") << "after" << "Failed to insert after";
    QTest::newRow("choice") << "choice" << "Failed to insert a choice";
    QTest::newRow("negation") << "negation" << "Failed to insert a negation";
}

void EditorFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    EditScene scene(action, title);
    QVERIFY(actionsweep::run(action, scene).told.isEmpty());
}

void EditorFailuresTest::popup_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("event completer") << "completer";
    QTest::newRow("add new glyph") << "add new";
    QTest::newRow("repetition dialog") << "repetition";
    QTest::newRow("condition dialog") << "condition";
}

void EditorFailuresTest::popup()
{
    QFETCH(QString, action);
    QVERIFY(actionsweep::userSweep([&] { return std::unique_ptr<usersweep::Scene>(new PopupScene(action)); }) > 0);
}

void EditorFailuresTest::paint_data()
{
    // Whether a paint of the view allocates in the program's own code every
    // time: a rule draws itself through a pattern editor's layout. The
    // others allocate on their first paint at most (the texts' sizes are
    // kept), or are drawn by Qt alone and from pictures made before; their
    // paint is swept all the same.
    QTest::addColumn<bool>("own");
    QTest::newRow("pattern editor") << false;
    QTest::newRow("glyph preview") << false;
    QTest::newRow("rule preview") << true;
    QTest::newRow("colour box") << false;
    QTest::newRow("rule list") << false;
    QTest::newRow("event completer") << false;
    QTest::newRow("repetition dialog") << false;
}

void EditorFailuresTest::paint()
{
    QFETCH(bool, own);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    View view = makeView(name);
    QVERIFY(view.widget);
    const long points = actionsweep::paintShown(view.widget.get(), name);
    QVERIFY(!own || points > 0);
}

LUMIVANE_TEST(EditorFailuresTest)
#include "EditorFailuresTest.moc"
