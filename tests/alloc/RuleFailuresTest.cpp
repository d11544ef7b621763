#include "ActionSweep.h"
#include "PatternTrees.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/RuleWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

#include <QApplication>
#include <QCheckBox>
#include <QDataStream>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <memory>

// Every allocation of an entry of the user's into the rule list (a drop
// that reorders the rules, the double click that opens a rule) and into
// the rule window (a click on a row, a typed name, "save" of a new rule or
// of an edit, "cancel", "delete", the Delete key on the table, Escape)
// fails in turn. Nothing gets out; the store's rules, the list's rows, the
// table, both pattern editors and the windows opened are as before the
// entry or as after one that never failed, never a mix; and the entry done
// again gives what it gives widgets that never failed.

namespace {

QString treeText(const ParseNode* root)
{
    return root ? Rule::treeToText(root) : QStringLiteral("-");
}

// A controller whose store holds the rules A, B, C and D (A: a then b,
// rewritten to X; ...), D not shown.
std::unique_ptr<ControlWidget> makeControl()
{
    std::unique_ptr<ControlWidget> control(new ControlWidget(nullptr));
    GlyphStore* store = control->glyphStore;
    const char* rules[][3] = {{"A", "seq(a,b)", "seq(X)"}, {"B", "seq(b,c)", "seq(Y)"}, {"C", "seq(c,a)", "seq(Z)"},
                              {"D", "seq(d)", "seq(X)"}};
    for (const auto& rule : rules)
        store->rules.append(Rule(QString::fromLatin1(rule[0]), trees::tree(QString::fromLatin1(rule[1])),
                                 trees::tree(QString::fromLatin1(rule[2])), true, rule[0][0] != 'D'));
    return control;
}

QString rulesText(const GlyphStore* store)
{
    QString out = QStringLiteral("rules ");
    for (const Rule& rule : store->rules.items)
        out += actionsweep::line(rule.name, treeText(rule.pre), treeText(rule.post), rule.match, rule.visible) + "; ";
    return out;
}

// The editor of a rule window: its name, both trees with their history,
// its buttons and, when it has one, its table.
QStringList editorText(const RuleEditorWidget* editor)
{
    QStringList out;
    out << actionsweep::line("editor", editor->nameEdit->text(), "editing", editor->editing, "buttons",
                             editor->saveButton->isEnabled(), editor->cancelButton->isEnabled(),
                             editor->deleteButton->isEnabled());
    for (const RibbonMapWidget* ribbon : {editor->preEditor, editor->postEditor}) {
        const MapWidget* map = ribbon->map;
        QString history;
        for (const ParseNode* entry : map->history)
            history += treeText(entry) + QLatin1Char(' ');
        out << actionsweep::line("pattern", treeText(map->root), "items", map->items.size(), "history",
                                 map->historyIndex, "of", history);
    }
    if (const RuleWidget* table = editor->ruleTable) {
        QString rows;
        for (int row = 0; row < table->table->rowCount(); ++row) {
            const QTableWidgetItem* item = table->table->item(row, table->nameColumn);
            rows += (item ? item->text() : QStringLiteral("?")) + QLatin1Char(' ');
        }
        QString copy;
        for (const Rule& rule : table->rules.items)
            copy += rule.name + QLatin1Char(' ');
        out << QStringLiteral("table %1| copy %2| current %3").arg(rows, copy).arg(table->currentRow());
    }
    return out;
}

// The rule windows open (made by a double click in the list).
QList<RuleEditorWidget*> ruleWindows()
{
    QList<RuleEditorWidget*> editors;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* editor = top->findChild<RuleEditorWidget*>())
            editors << editor;
    }
    return editors;
}

// A rule list whose drops come from itself (no drag runs in a test, so the
// drag manager knows no source).
class List : public RuleListWidget
{
public:
    explicit List(ControlWidget* control) : RuleListWidget(control, nullptr) {}
    QObject* dragSource(const QDropEvent*) const override { return const_cast<List*>(this); }
    // The drop as the list's viewport hands it on.
    void drop(QDropEvent* event) { dropEvent(event); }
};

// The side panel's rule list.
class ListScene : public usersweep::Scene
{
public:
    explicit ListScene(const QString& action) : control(makeControl()), list(new List(control.get())), action(action)
    {
        list->resize(420, 300);
        list->refreshRules();
        list->show();
        // The drop's payload: the second rule's row.
        QDataStream(&payload, QIODevice::WriteOnly) << qint32(1);
        data.setData(RuleListWidget::MIME_TYPE, payload);
    }
    ~ListScene() override
    {
        for (RuleEditorWidget* editor : ruleWindows())
            delete editor->window();
    }

    void act() override
    {
        if (action == QLatin1String("drop")) {
            // The second rule dropped on the last row.
            QDropEvent drop(centre(3), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
            list->drop(&drop);
        } else {
            // The first click of the double click, then the second.
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, centre(2));
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, centre(2));
        }
    }

    QStringList state() const override
    {
        QStringList out;
        out << rulesText(control->glyphStore);
        for (int row = 0; row < list->count(); ++row) {
            QWidget* container = list->itemWidget(list->item(row));
            const auto* box = container ? container->findChild<QCheckBox*>() : nullptr;
            const auto* label = container ? container->findChild<QLabel*>() : nullptr;
            out << actionsweep::line("row", row, label ? label->text() : QStringLiteral("?"), "box",
                                     box ? int(box->isChecked()) : -1, "map", list->rowMap.value(container, -1),
                                     "tip", list->item(row)->toolTip());
        }
        for (RuleEditorWidget* editor : ruleWindows())
            out << editorText(editor) << QStringLiteral("shown %1").arg(editor->window()->isVisible());
        return out;
    }

private:
    QPoint centre(int row) const { return list->visualItemRect(list->item(row)).center(); }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<List> list;
    QString action;
    QByteArray payload;
    QMimeData data;
};

// The rule window as its openers build it: editor above table.
class WindowScene : public usersweep::Scene
{
public:
    WindowScene(const QString& setUp, const QString& action)
        : control(makeControl()), editor(RuleEditorWidget::openWindow(control.get())), action(action)
    {
        editor->window()->resize(800, 600);
        QObject::connect(control.get(), &ControlWidget::rulesChanged, [this] { ++changes; });
        for (const QString& step : setUp.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            enter(step);
    }
    ~WindowScene() override { delete editor->window(); }

    void act() override { enter(action); }

    QStringList state() const override
    {
        QStringList out;
        out << rulesText(control->glyphStore) + QStringLiteral("changes %1").arg(changes);
        out << editorText(editor);
        // A click makes its row current (the table's own doing) before the
        // editor loads the row's rule: a failed load leaves it current, as
        // harmless as any other current row while nothing is being edited.
        if (action.startsWith(QLatin1String("row:")))
            out.last() = out.last().section(QStringLiteral("| current"), 0, 0);
        return out;
    }

private:
    // Those of actionsweep::enter, "Delete" the key on the table, "Escape"
    // the key on the editor.
    void enter(const QString& step)
    {
        if (actionsweep::enter(editor, editor->ruleTable->table, 0, step))
            return;
        if (step == QLatin1String("Delete"))
            QTest::keyClick(editor->ruleTable, Qt::Key_Delete);
        else if (step == QLatin1String("Escape"))
            QTest::keyClick(editor, Qt::Key_Escape);
        else
            QFAIL(qPrintable(QStringLiteral("unknown entry ") + step));
    }

    std::unique_ptr<ControlWidget> control;
    RuleEditorWidget* editor;
    QString action;
    int changes = 0;
};

} // namespace

class RuleFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyAllocation_data();
    void everyAllocation();
};

void RuleFailuresTest::initTestCase()
{
    // Only the program's own allocations fail: Qt's delivery of a click or
    // a key does not survive its own failing.
    sweep::spareQt();
}

void RuleFailuresTest::everyAllocation_data()
{
    QTest::addColumn<bool>("list");
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("action");
    // The rule list.
    QTest::newRow("list: drop") << true << "" << "drop";
    QTest::newRow("list: double click") << true << "" << "open";
    // The rule window.
    QTest::newRow("window: click a row") << false << "" << "row:1";
    QTest::newRow("window: type a name") << false << "row:1" << "name:x";
    QTest::newRow("window: save a new rule") << false << "row:4 name:N" << "save";
    QTest::newRow("window: save an edit") << false << "row:1 name:x" << "save";
    QTest::newRow("window: cancel") << false << "row:1" << "cancel";
    QTest::newRow("window: delete") << false << "row:1" << "delete";
    QTest::newRow("window: Delete key") << false << "row:2" << "Delete";
    QTest::newRow("window: Escape") << false << "row:1" << "Escape";
}

void RuleFailuresTest::everyAllocation()
{
    QFETCH(bool, list);
    QFETCH(QString, setUp);
    QFETCH(QString, action);
    actionsweep::userSweep([&]() -> std::unique_ptr<usersweep::Scene> {
        if (list)
            return std::unique_ptr<usersweep::Scene>(new ListScene(action));
        return std::unique_ptr<usersweep::Scene>(new WindowScene(setUp, action));
    });
}

LUMIVANE_TEST(RuleFailuresTest)
#include "RuleFailuresTest.moc"
