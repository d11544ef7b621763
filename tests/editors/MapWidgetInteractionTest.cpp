#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "../app/MessageRecorder.h"
#include "GlyphFixture.h"
#include "PatternTrees.h"
#include "editors/EventCompleter.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/MapWidget.h"
#include "editors/ModifierCompleter.h"
#include "editors/QueryWidget.h"
#include "editors/TextEdit.h"
#include "model/GlyphStore.h"
#include "patterns/Rule.h"

using namespace trees;

namespace {

// A shown editor over the fixture's store. Clicks go through the real mouse
// handlers; the single-click timer's end is called at once instead of
// waited for, and the popup it opens is answered inside its own loop.
struct Interaction {
    explicit Interaction(ParseNode* tree, bool rewrite = false) : map(rewrite, &f.control, nullptr)
    {
        map.resize(700, 240);
        map.setRoot(tree);
        map.show();
        connect();
    }
    void connect()
    {
        QObject::connect(&map, &MapWidget::selectionChanged, &map,
                         [this](const TList<BinItem*>& s) { reports.append(s.size()); });
    }

    static QPoint centre(const BinItem* item)
    {
        return QPoint(qRound(item->centerX()), qRound(item->centerY()));
    }

    // A single click at p; `answer` runs in the popup's loop (none opened:
    // it never runs). Returns whether a popup was answered.
    bool click(QPoint p, Qt::MouseButton button, const std::function<void(QDialog*)>& answer)
    {
        QTest::mousePress(&map, button, Qt::NoModifier, p);
        QTest::mouseRelease(&map, button, Qt::NoModifier, p);
        bool answered = false;
        QTimer::singleShot(0, &map, [&]() {
            if (QDialog* popup = map.popup; popup && popup->isVisible()) {
                answered = true;
                answer(popup);
                if (popup->isVisible())
                    popup->done(7);
            }
        });
        map.singleClickTimeOut();
        QCoreApplication::processEvents();
        return answered;
    }

    // Picks a name in the event completer as a click on its row does.
    static void pick(QDialog* popup, const QString& name)
    {
        auto* completer = qobject_cast<EventCompleter*>(popup);
        QVERIFY(completer);
        const QList<QListWidgetItem*> rows = completer->list->findItems(name, Qt::MatchExactly);
        QVERIFY(!rows.isEmpty());
        completer->unload(rows.first());
    }

    static QStringList offered(QDialog* popup)
    {
        QStringList names;
        auto* completer = qobject_cast<EventCompleter*>(popup);
        for (int i = 0; completer && i < completer->list->count(); ++i)
            names << completer->list->item(i)->text();
        return names;
    }

    GlyphFixture f;
    MapWidget map;
    QList<int> reports;   // sizes of the selections reported
};

// Answers the modal dialog that is open next (inside its own loop).
void answerModal(const std::function<void(QWidget*)>& answer)
{
    QTimer::singleShot(0, qApp, [answer]() {
        QWidget* modal = QApplication::activeModalWidget();
        answer(modal);
        if (modal && modal->isVisible())
            static_cast<QDialog*>(modal)->done(7);
    });
}

} // namespace

class MapWidgetInteractionTest : public QObject
{
    Q_OBJECT

private slots:
    void rightClickOnGlyphReplacesIt();
    void completerListsByMode_data();
    void completerListsByMode();
    void stackKeepsItsGlyphsUnderThePick();
    void addNewOpensTheGlyphEditor();
    void emptyOrNodelessAnswersChangeNothing();
    void repetitionDialogGivesTheOperator_data();
    void repetitionDialogGivesTheOperator();
    void popupPlacement();
    void doublePressEditsTheCondition();
    void doublePressOnLabels();
    void rubberBandSelects();
    void pointerAndLeave();
};

void MapWidgetInteractionTest::rightClickOnGlyphReplacesIt()
{
    Interaction t(seq({leaf("A"), leaf("B")}));
    QSignalSpy actions(&t.map, &MapWidget::actionPerformed);
    const QPoint at = Interaction::centre(itemOf(t.map, "B"));
    QVERIFY(t.click(at, Qt::RightButton, [](QDialog* popup) {
        QCOMPARE(popup->windowFlags() & (Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
                 Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        Interaction::pick(popup, "Login");
    }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(A,Login)"));
    ParseNode* login = t.map.root->children.at(1);
    // The leaf owns a copy of the store glyph's condition.
    QVERIFY(login->glyph.condition);
    QVERIFY(login->glyph.condition != t.f.condition.get());
    QCOMPARE(login->glyph.quantifier, 2);
    // Its item is selected and reported.
    QCOMPARE(t.map.selectedItems().size(), 1);
    QCOMPARE(t.map.itemNode.value(t.map.selectedItems().first()), login);
    QCOMPARE(t.reports.last(), 1);
    QCOMPARE(actions.count(), 1);
    QCOMPARE(t.map.history.size(), 2);

    // A left click on a glyph opens nothing; it selects the glyph.
    QVERIFY(!t.click(Interaction::centre(itemOf(t.map, "A")), Qt::LeftButton, [](QDialog*) {}));
    QCOMPARE(t.map.selectedItems().size(), 1);
    QCOMPARE(t.map.selectedItems().first()->name, QStringLiteral("A"));
}

void MapWidgetInteractionTest::completerListsByMode_data()
{
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("pattern") << false
                             << QStringList{"WildCard", "Gray", "Login", "Read", "First"};
    QTest::newRow("rewrite") << true
                             << QStringList{"Add new...", "DeleteItem", "Login", "Read", "Blue",
                                            "Purple", "Green", "Yellow", "Red"};
}

void MapWidgetInteractionTest::completerListsByMode()
{
    QFETCH(bool, rewrite);
    QFETCH(QStringList, names);
    Interaction t(seq({slot()}), rewrite);
    // Rules without a first element are left out of the list.
    GlyphStore* store = t.f.store();
    store->rules.append(Rule("none", nullptr, seq({}), true, true));
    store->rules.append(Rule("empty", seq({}), seq({}), true, true));
    store->rules.append(Rule("first", seq({leaf("First"), leaf("Second")}), seq({leaf("X")}), true, true));
    QStringList shown;
    QVERIFY(t.click(Interaction::centre(t.map.items.first()), Qt::LeftButton,
                    [&](QDialog* popup) { shown = Interaction::offered(popup); }));
    QCOMPARE(shown, names);
    // Answered by done(7): nothing changed.
    QCOMPARE(shape(t.map.root), QStringLiteral("seq([])"));
    QCOMPARE(t.reports.isEmpty(), rewrite);  // rewrite mode reports no click selection
}

void MapWidgetInteractionTest::stackKeepsItsGlyphsUnderThePick()
{
    Interaction t(seq({leaf("A")}));
    t.map.insertStack(t.map.root->children.first());   // _{A}
    t.map.placeNode(leaf("B"));                          // appended
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(_{A},B)"));
    QStringList shown;
    QVERIFY(t.click(Interaction::centre(t.map.items.first()), Qt::LeftButton, [&](QDialog* popup) {
        shown = Interaction::offered(popup);
        Interaction::pick(popup, "Read");
    }));
    QCOMPARE(shown.last(), QStringLiteral("None"));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(Read{A},B)"));
    // Deleting the stack's glyph brings the stacked one back.
    select(t.map, {"Read{A}"});
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    t.map.keyPressEvent(&del);
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(A,B)"));
}

void MapWidgetInteractionTest::addNewOpensTheGlyphEditor()
{
    Interaction t(seq({leaf("A")}), true);
    const QPoint at = Interaction::centre(t.map.items.first());
    // A rejected glyph editor changes nothing.
    QVERIFY(t.click(at, Qt::RightButton, [](QDialog* popup) {
        answerModal([](QWidget* editor) {
            QVERIFY(qobject_cast<GlyphEditorWidget*>(editor));
            static_cast<GlyphEditorWidget*>(editor)->reject();
        });
        Interaction::pick(popup, "Add new...");
    }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(A)"));
    QCOMPARE(t.map.history.size(), 1);

    // A saved one is stored and placed.
    MessageRecorder boxes;
    QVERIFY(t.click(at, Qt::RightButton, [](QDialog* popup) {
        answerModal([](QWidget* w) {
            auto* editor = qobject_cast<GlyphEditorWidget*>(w);
            QVERIFY(editor);
            QTest::keyClicks(editor->nameEdit, QStringLiteral("Fresh"));
            QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        });
        Interaction::pick(popup, "Add new...");
    }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(Fresh)"));
    QCOMPARE(t.f.stored(QStringLiteral("Fresh")).size(), 1);
}

void MapWidgetInteractionTest::emptyOrNodelessAnswersChangeNothing()
{
    Interaction t(seq({choice({leaf("A"), leaf("B")})}));
    DebugCapture debug;
    debug.setForward(false);
    // A press outside the completer accepts it with nothing picked.
    QVERIFY(t.click(Interaction::centre(itemOf(t.map, "A")), Qt::RightButton, [](QDialog* popup) {
        QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-4, -4));
    }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(or(A,B))"));
    QCOMPARE(t.map.history.size(), 1);
    // A parenthesis stands for no node: a pick changes nothing.
    BinItem* open = t.map.items.first();
    QCOMPARE(open->label, QStringLiteral("("));
    QVERIFY(t.click(QPoint(qRound(open->centerX()), qRound(open->top() + 3)), Qt::RightButton,
                    [](QDialog* popup) { Interaction::pick(popup, "Login"); }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(or(A,B))"));
    QCOMPARE(t.map.history.size(), 1);
}

void MapWidgetInteractionTest::repetitionDialogGivesTheOperator_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<bool>("infinite");
    QTest::addColumn<QString>("tree");
    QTest::newRow("star") << 0 << "" << "" << true << "seq(star(A,B),C)";
    QTest::newRow("plus") << 1 << "" << "" << true << "seq(plus(A,B),C)";
    QTest::newRow("custom") << 2 << "2" << "5" << false << "seq(rep2..5(A,B),C)";
    QTest::newRow("custom open") << 2 << "3" << "" << true << "seq(rep3..-1(A,B),C)";
}

void MapWidgetInteractionTest::repetitionDialogGivesTheOperator()
{
    QFETCH(int, profile);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(bool, infinite);
    QFETCH(QString, tree);
    Interaction t(seq({leaf("A"), leaf("B"), leaf("C")}));
    t.map.insertIterator({findIn(t.map, "A"), findIn(t.map, "B")});
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(grp(seq(A,B)),C)"));
    BinItem* box = itemOf(t.map, "grp(seq(A,B))");
    QCOMPARE(box->mode, qint32(EMPTYSMALL));
    auto answer = [&](QDialog* popup) {
        auto* dialog = qobject_cast<ModifierCompleter*>(popup);
        QVERIFY(dialog);
        dialog->profileCombo->setCurrentIndex(profile);
        if (profile == 2) {
            QTest::keyClicks(dialog->startEdit, start);
            if (infinite)
                QTest::mouseClick(dialog->infiniteBox, Qt::LeftButton);
            else
                QTest::keyClicks(dialog->endEdit, end);
        }
        QVERIFY(dialog->okButton->isEnabled());
        QTest::mouseClick(dialog->okButton, Qt::LeftButton);
    };
    QVERIFY(t.click(Interaction::centre(box), Qt::LeftButton, answer));
    // The group's sequence is the repetition's content.
    QString expected = tree;
    expected.replace("(A,B)", "(seq(A,B))");
    QCOMPARE(shape(t.map.root), expected);
    BinItem* label = t.map.selectedItems().first();
    QCOMPARE(t.map.itemNode.value(label), t.map.root->children.first());

    // A right click on the operator label opens the dialog again.
    QVERIFY(t.click(Interaction::centre(label), Qt::RightButton, [](QDialog* popup) {
        QVERIFY(qobject_cast<ModifierCompleter*>(popup));
        static_cast<ModifierCompleter*>(popup)->profileCombo->setCurrentIndex(1);
        static_cast<ModifierCompleter*>(popup)->okButton->click();
    }));
    QCOMPARE(shape(t.map.root), QStringLiteral("seq(plus(seq(A,B)),C)"));
}

void MapWidgetInteractionTest::popupPlacement()
{
    Interaction t(seq({leaf("A")}));
    QPoint expected;
    QPoint placed;
    const QPoint at(qRound(t.map.items.first()->centerX()), qRound(t.map.items.first()->centerY()));
    t.click(at, Qt::RightButton, [&](QDialog* popup) {
        const int dx = std::max(0, at.x() + popup->width() - t.map.width()) + 5;
        const int dy = std::max(0, at.y() + popup->height() - t.map.height()) + 5;
        expected = t.map.mapToGlobal(at) - QPoint(dx, dy);
        placed = popup->pos();
        QCOMPARE(popup->parentWidget(), &t.map);
    });
    QCOMPARE(placed, expected);
    // The next popup replaces the last one.
    QPointer<QDialog> first = t.map.popup;
    t.click(at, Qt::RightButton, [](QDialog*) {});
    QVERIFY(first.isNull());
    QVERIFY(t.map.popup);
}

void MapWidgetInteractionTest::doublePressEditsTheCondition()
{
    Interaction t(seq({leaf("A"), leaf("B")}));
    t.f.store()->setAttributes(TList<QString>{"ip.src", "len"}, TList<int>{3, 1});
    ParseNode* b = findIn(t.map, "B");
    b->glyph.quantifier = 1;
    QSignalSpy actions(&t.map, &MapWidget::actionPerformed);
    DebugCapture debug;
    debug.setForward(false);
    int startIndex = -1;
    QString startText;
    answerModal([&](QWidget* w) {
        auto* dialog = qobject_cast<QueryWidget*>(w);
        QVERIFY(dialog);
        startIndex = dialog->matchCombo->currentIndex();
        startText = dialog->textEdit->toPlainText();
        dialog->textEdit->setPlainText(QStringLiteral("  len > 3  "));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    const QPoint at = Interaction::centre(itemOf(t.map, "B"));
    QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, at);
    QVERIFY(debug.contains(QStringLiteral("double click")));
    QVERIFY(!t.map.clickPending);
    QCOMPARE(startText, QStringLiteral("true"));
    QCOMPARE(startIndex, 1);                       // the glyph's own mode
    ParseNode* edited = t.map.root->children.at(1);
    QVERIFY(edited->glyph.condition);
    QCOMPARE(edited->glyph.condition->toString(), QStringLiteral("len > 3"));
    QCOMPARE(edited->glyph.quantifier, 1);         // kept: only the text changed
    QCOMPARE(actions.count(), 1);
    QCOMPARE(t.map.history.size(), 2);
    QVERIFY(!t.reports.isEmpty());

    // Undo brings the condition back; nothing is shared between entries.
    t.map.undo();
    QVERIFY(!t.map.root->children.at(1)->glyph.condition);

    // In rewrite mode a double press opens no dialog.
    Interaction r(seq({leaf("A")}), true);
    bool opened = false;
    QTimer::singleShot(0, qApp, [&]() {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            opened = true;
            static_cast<QDialog*>(modal)->reject();
        }
    });
    const QPoint a = Interaction::centre(r.map.items.first());
    QTest::mousePress(&r.map, Qt::LeftButton, Qt::NoModifier, a);
    QTest::mousePress(&r.map, Qt::LeftButton, Qt::NoModifier, a);
    QCoreApplication::processEvents();
    QVERIFY(!opened);
    QVERIFY(r.reports.isEmpty());
}

void MapWidgetInteractionTest::doublePressOnLabels()
{
    Interaction t(seq({node(ParseNode::Star, {leaf("A")}), repeat(2, 4, {leaf("B")})}));
    auto doublePress = [&t](const QString& node) {
        BinItem* label = itemOf(t.map, node);
        const QPoint at = Interaction::centre(label);
        QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, at);
    };
    DebugCapture debug;
    debug.setForward(false);
    doublePress("star(A)");
    QCOMPARE(t.map.selectedItems().size(), 2);     // "*" and A
    t.map.clearSelection();
    doublePress("rep2..4(B)");
    QCOMPARE(t.map.selectedItems().size(), 0);
    QCOMPARE(t.map.history.size(), 1);
}

void MapWidgetInteractionTest::rubberBandSelects()
{
    Interaction t(seq({leaf("A"), leaf("B"), leaf("C")}));
    BinItem* a = itemOf(t.map, "A");
    BinItem* b = itemOf(t.map, "B");
    DebugCapture debug;
    debug.setForward(false);
    const QPoint from(1, qRound(a->top()) - 2);
    const QPoint to(qRound(b->right()) + 2, qRound(b->bottom()) + 2);
    QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, from);
    QMouseEvent move(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&t.map, &move);
    QVERIFY(t.map.dragging);
    QVERIFY(debug.contains(QStringLiteral("dragging")));
    QCOMPARE(t.map.dragStartX, double(from.x()));
    QCOMPARE(t.map.dragEndX, double(to.x()));
    QVERIFY(!t.map.singleClickTimer->isActive());
    QTest::mouseRelease(&t.map, Qt::LeftButton, Qt::NoModifier, to);
    QVERIFY(!t.map.dragging);
    QCOMPARE(t.map.dragStartX, -1.0);
    QStringList names;
    for (BinItem* item : t.map.selectedItems())
        names << item->name;
    QCOMPARE(names, (QStringList{"A", "B"}));
    // No late single click takes the rubber band's selection away.
    QVERIFY(!t.map.singleClickTimer->isActive());
    QVERIFY(!t.map.clickPending);

    // A drag that rests for the drag timer selects too, and goes on.
    t.map.clearSelection();
    QTest::mousePress(&t.map, Qt::LeftButton, Qt::NoModifier, from);
    QCoreApplication::sendEvent(&t.map, &move);
    t.map.dragTimeOut();
    QCOMPARE(t.map.selectedItems().size(), 2);
    QVERIFY(t.map.dragging);
    QVERIFY(!t.map.dragTimer->isActive());
    QTest::mouseRelease(&t.map, Qt::LeftButton, Qt::NoModifier, to);
}

void MapWidgetInteractionTest::pointerAndLeave()
{
    Interaction t(seq({leaf("A"), leaf("B")}));
    BinItem* a = itemOf(t.map, "A");
    QMouseEvent over(QEvent::MouseMove, Interaction::centre(a), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&t.map, &over);
    QVERIFY(a->highlighted);
    QCOMPARE(t.map.cursor().shape(), Qt::IBeamCursor);
    QMouseEvent away(QEvent::MouseMove, QPoint(650, 5), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&t.map, &away);
    QVERIFY(!a->highlighted);
    QCOMPARE(t.map.cursor().shape(), Qt::ArrowCursor);

    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(&t.map, &enter);
    QVERIFY(t.map.pointerInside);
    QCoreApplication::sendEvent(&t.map, &over);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&t.map, &leave);
    QVERIFY(!t.map.pointerInside);
    QVERIFY(!a->highlighted);
    QCOMPARE(t.map.mouseX, -1.0);
    // The painting of a drag's rectangle.
    t.map.dragging = true;
    t.map.dragStartX = t.map.dragStartY = 2;
    t.map.dragEndX = t.map.dragEndY = 60;
    const QImage shot = t.map.grab().toImage();
    t.map.dragging = false;
    QCOMPARE(shot.pixelColor(2, 30).blue(), 255);
    QVERIFY(shot.pixelColor(2, 30).red() < 200);
}

LUMIVANE_TEST(MapWidgetInteractionTest)
#include "MapWidgetInteractionTest.moc"
