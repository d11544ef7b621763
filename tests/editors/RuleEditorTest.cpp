#include "TestRegistry.h"
#include "DebugCapture.h"
#include "PatternTrees.h"
#include "RuleFixture.h"

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QToolBar>

using namespace rulefix;

namespace {

QString buttons(const RuleEditorWidget* e)
{
    return QStringLiteral("save=%1 cancel=%2 delete=%3")
        .arg(e->saveButton->isEnabled())
        .arg(e->cancelButton->isEnabled())
        .arg(e->deleteButton->isEnabled());
}

// Rules A, B and C, each turning one kind into one glyph.
void threeRules(GlyphStore* store)
{
    store->rules.append(rule("A", "a", "X"));
    store->rules.append(rule("B", "b", "Y"));
    store->rules.append(rule("C", "c", "Z"));
}

QString preOf(const GlyphStore* store, int i)
{
    return trees::shape(store->rules[i].pre);
}

void key(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(widget, Qt::Key(key), modifiers);
}

} // namespace

// The rule editor over its table: what the buttons do in the creating and
// the editing state, the keys, and rows that went out of date.
class RuleEditorTest : public QObject
{
    Q_OBJECT

private slots:
    void layout()
    {
        ControlWidget control(nullptr);
        threeRules(control.glyphStore);
        RuleWindow w(&control);
        RuleEditorWidget* e = w.editor;
        QCOMPARE(e->saveButton->text(), QStringLiteral("save"));
        QCOMPARE(e->cancelButton->text(), QStringLiteral("cancel"));
        QCOMPARE(e->deleteButton->text(), QStringLiteral("delete"));
        for (QPushButton* b : e->findChildren<QPushButton*>())
            QVERIFY(!b->autoDefault() && !b->isDefault());
        QCOMPARE(e->toolBar->windowTitle(), QStringLiteral("Settings"));
        QCOMPARE(e->importAction->text(), QStringLiteral("&Import"));
        QCOMPARE(e->importAction->statusTip(), QStringLiteral("Import rules"));
        QCOMPARE(e->exportAction->text(), QStringLiteral("&Export"));
        QCOMPARE(e->exportAction->statusTip(), QStringLiteral("Export rules"));
        QVERIFY(!e->importAction->icon().isNull() && !e->exportAction->icon().isNull());
        QVERIFY(!e->preEditor->map->rewrite && e->postEditor->map->rewrite);
        QCOMPARE(e->arrowStrip->width(), 30);
        QStringList labels;
        for (QLabel* label : e->findChildren<QLabel*>())
            labels << label->text();
        QVERIFY(labels.contains(QStringLiteral("Name:")));

        QTableWidget* t = w.table->table;
        QCOMPARE(t->horizontalHeaderItem(0)->text(), QStringLiteral("Name:"));
        QCOMPARE(t->horizontalHeaderItem(1)->text(), QStringLiteral("Rule:"));
        QCOMPARE(w.tableNames(), QStringList({"A", "B", "C", ""}));
        QCOMPARE(t->item(3, 1)->text(), QStringLiteral("add New"));
        QCOMPARE(t->rowHeight(1), 50);
        QCOMPARE(t->iconSize(), QSize(200, 50));
        QVERIFY(!t->item(1, 1)->icon().isNull());
        QCOMPARE(buttons(e), QStringLiteral("save=0 cancel=0 delete=0"));
    }

    // save needs a name of more than blanks; delete a name some rule has.
    void buttonStates_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("states");
        QTest::newRow("nothing") << "" << "save=0 cancel=0 delete=0";
        QTest::newRow("blanks") << "   " << "save=0 cancel=0 delete=0";
        QTest::newRow("new name") << "New" << "save=1 cancel=0 delete=0";
        QTest::newRow("a rule's name, blanks around") << " B " << "save=1 cancel=0 delete=1";
    }
    void buttonStates()
    {
        QFETCH(QString, typed);
        QFETCH(QString, states);
        ControlWidget control(nullptr);
        threeRules(control.glyphStore);
        RuleWindow w(&control);
        QTest::keyClicks(w.editor->nameEdit, typed);
        QCOMPARE(buttons(w.editor), states);
    }

    // A rule loaded by a click and saved keeps its row; the table's last
    // row is then current, so a second save appends.
    void savedRuleKeepsRow()
    {
        Window win;
        threeRules(win.store());
        RuleWindow w(win.control());
        w.clickRow(1);
        QVERIFY(w.editor->editing);
        QCOMPARE(w.editor->nameEdit->text(), QStringLiteral("B"));
        QCOMPARE(trees::shape(w.editor->preEditor->map->root), preOf(win.store(), 1));
        QCOMPARE(buttons(w.editor), QStringLiteral("save=1 cancel=1 delete=1"));

        w.draw(trees::tree("seq(Q,R)"), trees::tree("seq(Y)"));
        QTest::mouseClick(w.editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C"}));
        QCOMPARE(preOf(win.store(), 1), QStringLiteral("seq(Q,R)"));
        QVERIFY(win.store()->rules[1].match && win.store()->rules[1].visible);
        QCOMPARE(w.table->currentRow(), 3);
        QCOMPARE(w.editor->nameEdit->text(), QString());
        QCOMPARE(trees::shape(w.editor->preEditor->map->root), QStringLiteral("seq([])"));
        QCOMPARE(win.reloads->count(), 1);

        // Still editing, but "add New" is current: this one is added.
        QTest::keyClicks(w.editor->nameEdit, QStringLiteral("D"));
        QTest::mouseClick(w.editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C", "D"}));
        QCOMPARE(w.tableNames(), QStringList({"A", "B", "C", "D", ""}));
        QCOMPARE(win.reloads->count(), 2);
    }

    // Cancel leaves the editing state: the next save adds at the end.
    void cancelThenSaveAppends()
    {
        Window win;
        threeRules(win.store());
        RuleWindow w(win.control());
        w.clickRow(0);
        QTest::mouseClick(w.editor->cancelButton, Qt::LeftButton);
        QVERIFY(!w.editor->editing);
        QCOMPARE(w.editor->nameEdit->text(), QString());
        QCOMPARE(w.table->currentRow(), 3);
        QCOMPARE(win.reloads->count(), 0);
        w.draw(trees::tree("seq(Q)"), trees::tree("seq(X)"));
        QTest::keyClicks(w.editor->nameEdit, QStringLiteral("A"));
        QTest::mouseClick(w.editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C", "A"}));
        QCOMPARE(preOf(win.store(), 0), QStringLiteral("seq(WildCard)"));
    }

    // "Default" rows cannot be opened; "add New" empties the editor.
    void clickedRows()
    {
        ControlWidget control(nullptr);
        threeRules(control.glyphStore);
        control.glyphStore->rules.append(rule("Default", "d", "W"));
        RuleWindow w(&control);
        w.clickRow(2);
        w.clickRow(3);
        QVERIFY(w.editor->editing);
        QCOMPARE(w.editor->nameEdit->text(), QStringLiteral("C"));
        w.clickRow(4);
        QVERIFY(!w.editor->editing);
        QCOMPARE(w.editor->nameEdit->text(), QString());
        QCOMPARE(trees::shape(w.editor->preEditor->map->root), QStringLiteral("seq([])"));
        QCOMPARE(buttons(w.editor), QStringLiteral("save=0 cancel=0 delete=0"));
    }

    // Return does not save (no button is default); the keypad Enter does,
    // when there is a name.
    void enterKeys()
    {
        Window win;
        RuleWindow w(win.control());
        w.editor->nameEdit->setFocus();
        QTest::keyClicks(w.editor->nameEdit, QStringLiteral("R"));
        key(w.editor->nameEdit, Qt::Key_Return);
        QVERIFY(win.store()->rules.isEmpty());
        QVERIFY(w.editor->isVisible());
        w.editor->nameEdit->setText(QStringLiteral("  "));
        key(w.editor->nameEdit, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(win.store()->rules.isEmpty());
        w.editor->nameEdit->setText(QStringLiteral("R"));
        key(w.editor->nameEdit, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(names(win.store()->rules), QStringList{"R"});
        QCOMPARE(win.reloads->count(), 1);
    }

    // Escape hides the editor half; the table stays.
    void escapeRejects()
    {
        ControlWidget control(nullptr);
        RuleWindow w(&control);
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        key(w.editor->nameEdit, Qt::Key_Escape);
        QCOMPARE(w.editor->result(), int(QDialog::Rejected));
        QVERIFY(!w.editor->isVisible());
        QVERIFY(w.window->isVisible() && w.table->isVisible());
    }

    // Delete on "add New", and "delete" without a current row, do nothing;
    // "delete" deletes the current row's rule only when it has the typed name.
    void deleting()
    {
        Window win;
        threeRules(win.store());
        RuleWindow w(win.control());
        w.table->table->setCurrentCell(3, 0);
        key(w.table->table, Qt::Key_Delete);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C"}));
        w.table->table->setCurrentCell(-1, -1);
        QTest::keyClicks(w.editor->nameEdit, QStringLiteral("B"));
        QVERIFY(w.editor->deleteButton->isEnabled());
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C"}));

        w.clickRow(1);
        w.editor->nameEdit->setText(QStringLiteral("C"));
        DebugCapture debug;
        debug.setForward(false);
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "B", "C"}));
        QCOMPARE(debug.lines().filter(QStringLiteral("nothing deleted")).size(), 1);
        QCOMPARE(win.reloads->count(), 0);

        w.editor->nameEdit->setText(QStringLiteral("B"));
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), QStringList({"A", "C"}));
        QCOMPARE(w.tableNames(), QStringList({"A", "C", ""}));
        QVERIFY(!w.editor->editing);
        QCOMPARE(w.editor->nameEdit->text(), QString());
        QCOMPARE(win.reloads->count(), 1);

        // The table's Delete key deletes its current row's rule.
        w.clickRow(0);
        key(w.table->table, Qt::Key_Delete);
        QCOMPARE(names(win.store()->rules), QStringList({"C"}));
        QCOMPARE(win.reloads->count(), 2);
    }

    // A row made stale by another window or by a data load never makes the
    // table touch another rule: a save adds, a delete does nothing.
    void staleRows_data()
    {
        QTest::addColumn<bool>("load");
        QTest::addColumn<QStringList>("afterSave");
        QTest::newRow("deleted in another window") << false << QStringList{"B", "C", "B"};
        QTest::newRow("data load") << true << QStringList{"B"};
    }
    void staleRows()
    {
        QFETCH(bool, load);
        QFETCH(QStringList, afterSave);
        Window win;
        threeRules(win.store());
        RuleWindow first(win.control());
        first.clickRow(1);
        if (load) {
            win.control()->loadData({}, {}, {});
        } else {
            RuleWindow other(win.control());
            other.clickRow(0);
            QTest::mouseClick(other.editor->deleteButton, Qt::LeftButton);
            QCOMPARE(names(win.store()->rules), QStringList({"B", "C"}));
        }
        DebugCapture debug;
        debug.setForward(false);
        first.draw(trees::tree("seq(Q)"), trees::tree("seq(Y)"));
        QTest::mouseClick(first.editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(win.store()->rules), afterSave);
        QCOMPARE(trees::shape(win.store()->rules.last().pre), QStringLiteral("seq(Q)"));
        QCOMPARE(debug.lines().filter(QStringLiteral("no longer at row 1")).size(), 1);

        // The first window's table is fresh again; make it stale once more.
        first.clickRow(afterSave.size() - 1);
        win.store()->rules.items.erase(win.store()->rules.items.begin());
        const int count = win.store()->rules.size();
        first.editor->nameEdit->setText(afterSave.last());
        QTest::mouseClick(first.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(win.store()->rules.size(), count);
        QCOMPARE(debug.lines().filter(QStringLiteral("nothing deleted")).size(), 1);
    }

    // Without a table the editor appends and closes.
    void withoutTable()
    {
        ControlWidget control(nullptr);
        RuleEditorWidget e(nullptr, &control);
        QVERIFY(e.noTable);
        QCOMPARE(buttons(&e), QStringLiteral("save=0 cancel=1 delete=0"));
        e.show();
        e.preEditor->map->setRoot(trees::tree("seq(A)"));
        e.nameEdit->setText(QStringLiteral("R"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);
        QCOMPARE(names(control.glyphStore->rules), QStringList{"R"});
        QCOMPARE(e.result(), int(QDialog::Accepted));
        QVERIFY(!e.isVisible());
        e.removeRule();
        QCOMPARE(control.glyphStore->rules.size(), 1);
    }
};

LUMIVANE_TEST(RuleEditorTest)
#include "RuleEditorTest.moc"
