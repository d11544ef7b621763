#include "TestRegistry.h"
#include "DebugCapture.h"
#include "PatternTrees.h"
#include "RuleFixture.h"
#include "FileAnswers.h"
#include "TempWorkDir.h"

using namespace rulefix;

namespace {

QString buttons(const RuleEditorWidget* e)
{
    return QString("%1%2%3").arg(e->saveButton->isEnabled()).arg(e->cancelButton->isEnabled())
        .arg(e->deleteButton->isEnabled());
}

QString preOf(const GlyphStore* store, int i)
{
    return trees::shape(store->rules[i].pre);
}

} // namespace

// The rule editor over its table: creating and editing, keys, and rows
// that went out of date.
class RuleEditorTest : public QObject
{
    Q_OBJECT

private slots:
    // A loaded rule saved keeps its row; the last row is current then, so
    // a second save appends, as a save after cancel does. "Default" rows
    // open nothing (and a save then still goes to the rule loaded); "add
    // New" empties the editor. save needs more than blanks, delete a name
    // some rule has.
    void saving()
    {
        Window win;
        addRules(win.store(), "ABC");
        win.store()->rules.append(Rule("Default", kinds("d"), rewrite("W"), true, true));
        RuleWindow w(win.control());
        w.editor->nameEdit->setText("  ");
        QCOMPARE(buttons(w.editor), QStringLiteral("000"));
        w.editor->nameEdit->setText(" C ");
        QCOMPARE(buttons(w.editor), QStringLiteral("101"));
        w.clickRow(1);
        QCOMPARE(w.editor->nameEdit->text() + buttons(w.editor), QStringLiteral("B111"));
        w.clickRow(3);
        QCOMPARE(w.editor->nameEdit->text(), QStringLiteral("B"));
        w.save("B", trees::tree("seq(Q,R)"), trees::tree("seq(Y)"));
        QCOMPARE(names(win.store()), QStringLiteral("A,B,C,Default"));
        QCOMPARE(preOf(win.store(), 1), QStringLiteral("seq(Q,R)"));
        QCOMPARE(trees::shape(w.editor->preEditor->map->root), QStringLiteral("seq([])"));
        w.save("D", trees::tree("seq(S)"), trees::tree("seq(Y)"));
        w.clickRow(0);
        QTest::mouseClick(w.editor->cancelButton, Qt::LeftButton);
        w.save("A", trees::tree("seq(T)"), trees::tree("seq(X)"));
        QCOMPARE(names(win.store()), QStringLiteral("A,B,C,Default,D,A"));
        QCOMPARE(preOf(win.store(), 0), QStringLiteral("seq(WildCard)"));
        w.clickRow(1);
        w.clickRow(6);
        QVERIFY(!w.editor->editing && w.editor->nameEdit->text().isEmpty());
        QCOMPARE(win.reloads, 3);
    }

    // A name holding "~" would split its rules-file line: refused with a
    // warning, nothing stored or sent, the name left to mend.
    void tildeInNameRefused()
    {
        Window win;
        addRules(win.store(), "A");
        RuleWindow w(win.control());
        MessageRecorder boxes;
        w.editor->nameEdit->setText("a~b");
        QTest::mouseClick(w.editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(win.store()), QStringLiteral("A"));
        QCOMPARE(boxes.titles(), QStringList{QStringLiteral("Failed to save rule")});
        QCOMPARE(w.editor->nameEdit->text(), QStringLiteral("a~b"));
        QCOMPARE(win.reloads, 0);
    }

    // Return does not save; the keypad Enter does, with a name; Escape
    // leaves the editor in its window.
    void keys()
    {
        Window win;
        RuleWindow w(win.control());
        QTest::keyClicks(w.editor->nameEdit, "R");
        QTest::keyClick(w.editor->nameEdit, Qt::Key_Return);
        w.editor->nameEdit->setText("  ");
        QTest::keyClick(w.editor->nameEdit, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(win.store()->rules.isEmpty());
        w.editor->nameEdit->setText("R");
        QTest::keyClick(w.editor->nameEdit, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(names(win.store()) + QString::number(win.reloads), QStringLiteral("R1"));
        QTest::keyClick(w.editor->nameEdit, Qt::Key_Escape);
        QVERIFY(w.editor->isVisible() && w.window->isVisible());
    }

    // Escape never leaves the window without its editor, wherever in the
    // editor it is pressed: with a rule loaded it is "cancel" (the rule as
    // stored, the editor emptied), while a new rule is drawn it keeps what
    // is drawn. "add New" and "save" work on afterwards.
    void escapeKeepsTheEditor_data()
    {
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("focus");
        QTest::newRow("drawing, pattern editor") << false << "pattern";
        QTest::newRow("rule loaded, name field") << true << "name";
        QTest::newRow("rule loaded, a button") << true << "button";
    }
    void escapeKeepsTheEditor()
    {
        QFETCH(bool, loaded);
        QFETCH(QString, focus);
        Window win;
        addRules(win.store(), "AB");
        RuleWindow w(win.control());
        if (loaded)
            w.clickRow(1);
        else
            w.editor->nameEdit->setText("N");
        w.editor->preEditor->map->setRoot(trees::tree("seq(Q,R)"));
        QWidget* target = focus == "name" ? static_cast<QWidget*>(w.editor->nameEdit)
                          : focus == "pattern" ? static_cast<QWidget*>(w.editor->preEditor->map)
                                               : static_cast<QWidget*>(w.editor->saveButton);
        QTest::keyClick(target, Qt::Key_Escape);
        QVERIFY(w.editor->isVisible() && w.window->isVisible());
        QCOMPARE(w.editor->editing, false);
        QCOMPARE(w.editor->nameEdit->text(), loaded ? QString() : QStringLiteral("N"));
        QCOMPARE(trees::shape(w.editor->preEditor->map->root),
                 loaded ? QStringLiteral("seq([])") : QStringLiteral("seq(Q,R)"));
        QCOMPARE(preOf(win.store(), 1), QStringLiteral("seq(WildCard)"));
        QCOMPARE(win.reloads, 0);

        w.clickRow(2);  // "add New"
        w.save("C", trees::tree("seq(S)"), trees::tree("seq(Y)"));
        QVERIFY(w.editor->isVisible());
        QCOMPARE(names(win.store()), QStringLiteral("A,B,C"));
    }

    // Delete on "add New" or without a current row does nothing; "delete"
    // takes the current row's rule only when it has the typed name.
    void deleting()
    {
        Window win;
        addRules(win.store(), "ABC");
        RuleWindow w(win.control());
        w.table->setCurrentCell(3, 0);
        QTest::keyClick(w.table, Qt::Key_Delete);
        w.table->setCurrentCell(-1, -1);
        w.editor->nameEdit->setText("B");
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        w.clickRow(1);
        w.editor->nameEdit->setText("C");
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(names(win.store()) + QString::number(win.reloads), QStringLiteral("A,B,C0"));
        w.editor->nameEdit->setText("B");
        QTest::mouseClick(w.editor->deleteButton, Qt::LeftButton);
        w.clickRow(0);
        QTest::keyClick(w.table, Qt::Key_Delete);
        QCOMPARE(names(win.store()) + QString::number(win.reloads), QStringLiteral("C2"));
    }

    // A row made stale by another window or a data load never makes the
    // table touch another rule: a save appends, a delete does nothing.
    // "save" in editing state overwrites the rule loaded while its row is
    // current: a refill of the table (a resize refills it) keeps that row
    // current, or "add New" after a save, and follows the rule when a delete
    // in another window moves it up; when the current row shows another rule
    // (the arrow key moved on), the save appends.
    void saveTarget_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("afterSave");
        QTest::addColumn<int>("savedAt");
        QTest::newRow("resize") << "resize" << "A,B,C" << 1;
        QTest::newRow("resize after A deleted in another window") << "delete A" << "B,C" << 0;
        QTest::newRow("resize after a save") << "save" << "A,B,C,B" << 3;
        QTest::newRow("arrow key to another rule") << "down" << "A,B,C,B" << 3;
    }
    void saveTarget()
    {
        QFETCH(QString, step);
        QFETCH(QString, afterSave);
        QFETCH(int, savedAt);
        Window win;
        addRules(win.store(), "ABC");
        RuleWindow w(win.control());
        w.clickRow(1);
        DebugCapture debug;
        debug.setForward(false);
        if (step == "save")
            w.save("B", trees::tree("seq(P)"), trees::tree("seq(Y)"));
        if (step == "delete A") {
            RuleWindow other(win.control());
            other.clickRow(0);
            QTest::mouseClick(other.editor->deleteButton, Qt::LeftButton);
        }
        if (step == "down") {
            QTest::keyClick(w.table, Qt::Key_Down);
            QCOMPARE(w.table->currentRow(), 2);
        } else {
            const int width = w.editor->ruleTable->width();
            w.window->resize(w.window->width() + 100, w.window->height() + 50);
            QTRY_VERIFY(w.editor->ruleTable->width() != width);
            QCoreApplication::processEvents();
        }
        w.save("B", trees::tree("seq(Q)"), trees::tree("seq(Y)"));
        QCOMPARE(names(win.store()), afterSave);
        QCOMPARE(preOf(win.store(), savedAt), QStringLiteral("seq(Q)"));
        QCOMPARE(debug.lines().filter("not the rule loaded").size(), step == "down" ? 1 : 0);
    }

    // Two rule windows, one as the side panel's "Rules" opens it and one
    // from "Create rule..": a save, a delete and an import in either refill
    // the other's table.
    void windowsFollowEachOther()
    {
        Window win;
        addRules(win.store(), "AB");
        RuleWindow rules(win.control());
        QWidget cell;
        BinItem glyph(nullptr, &cell);
        glyph.name = "Login";
        RuleEditorWidget* created = win.main->leftEventRibbon->view->createRule(TList<BinItem*>{&glyph});
        QScopedPointer<QWidget> createdWindow(created->window());
        const QString name = created->nameEdit->text();
        QTableWidget* other = created->ruleTable->table;
        const auto column = [](QTableWidget* t) {
            QStringList out;
            for (int r = 0; r < t->rowCount(); ++r)
                out << t->item(r, 0)->text();
            return out.join(',');
        };
        QTest::mouseClick(created->saveButton, Qt::LeftButton);
        QCOMPARE(column(rules.table), "A,B," + name + ",");
        rules.clickRow(0);
        QTest::mouseClick(rules.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(column(other), "B," + name + ",");
        MessageRecorder boxes;
        FileAnswers answers({testDataPath("editors/rules/rewrite-glyphs.kolm")});
        created->importAction->trigger();
        QCOMPARE(column(rules.table), QStringLiteral("A,B,C,D,E,"));
        QCOMPARE(column(other), QStringLiteral("A,B,C,D,E,"));
    }

    // A delete in another window refills this table, whose current row
    // follows the loaded rule to its new row, so "save" overwrites it; after
    // a data load the table is stale and the save appends.
    void staleRows_data()
    {
        QTest::addColumn<bool>("load");
        QTest::addColumn<QString>("afterSave");
        QTest::addColumn<int>("savedAt");
        QTest::addColumn<int>("staleLines");
        QTest::newRow("deleted in another window") << false << "B,C" << 0 << 1;
        QTest::newRow("data load") << true << "B" << 0 << 2;
    }
    void staleRows()
    {
        QFETCH(bool, load);
        QFETCH(QString, afterSave);
        QFETCH(int, savedAt);
        QFETCH(int, staleLines);
        Window win;
        addRules(win.store(), "ABC");
        RuleWindow first(win.control());
        first.clickRow(1);
        if (load) {
            win.control()->loadData({}, {}, {});
        } else {
            RuleWindow other(win.control());
            other.clickRow(0);
            QTest::mouseClick(other.editor->deleteButton, Qt::LeftButton);
        }
        DebugCapture debug;
        debug.setForward(false);
        first.save("B", trees::tree("seq(Q)"), trees::tree("seq(Y)"));
        QCOMPARE(names(win.store()), afterSave);
        QCOMPARE(preOf(win.store(), savedAt), QStringLiteral("seq(Q)"));
        // A change behind the tables' backs: the row is not trusted.
        first.clickRow(win.store()->rules.size() - 1);
        win.store()->rules.items.erase(win.store()->rules.items.begin());
        const QString left = names(win.store());
        QTest::mouseClick(first.editor->deleteButton, Qt::LeftButton);
        QCOMPARE(names(win.store()), left);
        QCOMPARE(debug.lines().filter("no longer at row").size(), staleLines);
    }
};

LUMIVANE_TEST(RuleEditorTest)
#include "RuleEditorTest.moc"
