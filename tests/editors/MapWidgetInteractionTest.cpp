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
#include "items/ScreenPlacement.h"
#include "model/GlyphStore.h"
#include "patterns/Rule.h"

using namespace trees;

namespace {

QPoint centre(const BinItem* item)
{
    return QPoint(qRound(item->centerX()), qRound(item->centerY()));
}

// Runs `answer` on the modal dialog that is open next, inside its loop; a
// dialog still open afterwards ends with 7.
void answerModal(const std::function<void(QDialog*)>& answer)
{
    QTimer::singleShot(0, qApp, [answer]() {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        answer(modal);
        if (modal && modal->isVisible())
            modal->done(7);
    });
}

// Picks a name in the event completer as a click on its row does.
void pick(QDialog* popup, const QString& name)
{
    auto* completer = qobject_cast<EventCompleter*>(popup);
    QVERIFY(completer);
    const QList<QListWidgetItem*> rows = completer->list->findItems(name, Qt::MatchExactly);
    QVERIFY(!rows.isEmpty());
    completer->unload(rows.first());
}

// A shown editor over the fixture's store. Clicks go through the real mouse
// handlers; the single-click timer's end is called at once.
struct Interaction {
    explicit Interaction(const QString& text, bool rewrite = false) : map(rewrite, &f.control, nullptr)
    {
        map.resize(700, 240);
        map.setRoot(tree(text));
        map.show();
        QObject::connect(&map, &MapWidget::selectionChanged, &map,
                         [this](const TList<BinItem*>& s) { reports.append(s.size()); });
    }
    QString now() const { return shape(map.root); }

    // A single click at p; `answer` runs in the popup's loop. Returns whether
    // a popup opened.
    bool click(QPoint p, Qt::MouseButton button, const std::function<void(QDialog*)>& answer)
    {
        QTest::mousePress(&map, button, Qt::NoModifier, p);
        QTest::mouseRelease(&map, button, Qt::NoModifier, p);
        bool opened = false;
        answerModal([&](QDialog* popup) {
            opened = popup && popup == map.popup;
            if (opened)
                answer(popup);
        });
        map.singleClickTimeOut();
        QCoreApplication::processEvents();
        return opened;
    }

    void doublePress(QPoint p)
    {
        QTest::mousePress(&map, Qt::LeftButton, Qt::NoModifier, p);
        QTest::mousePress(&map, Qt::LeftButton, Qt::NoModifier, p);
    }

    GlyphFixture f;
    MapWidget map;
    QList<int> reports;   // sizes of the selections reported
};

QStringList offered(QDialog* popup)
{
    QStringList names;
    auto* completer = qobject_cast<EventCompleter*>(popup);
    for (int i = 0; completer && i < completer->list->count(); ++i)
        names << completer->list->item(i)->text();
    return names;
}

} // namespace

class MapWidgetInteractionTest : public QObject
{
    Q_OBJECT

private slots:
    void completerReplacesTheClickedNode();
    void completerListsByMode_data();
    void completerListsByMode();
    void pickedEntryIsPlaced_data();
    void pickedEntryIsPlaced();
    void addNewOpensTheGlyphEditor();
    void answersThatChangeNothing();
    void repetitionDialogGivesTheOperator_data();
    void repetitionDialogGivesTheOperator();
    void doublePressEditsTheCondition();
    void rubberBandAndPointer();
};

void MapWidgetInteractionTest::completerReplacesTheClickedNode()
{
    Interaction t("seq(A,B{C})");
    t.map.insertStack(find(t.map.root, "B{C}"));    // a placeholder holding B and C
    QSignalSpy actions(&t.map, &MapWidget::actionPerformed);
    QPoint placed;
    QVERIFY(t.click(centre(itemOf(t.map, "A")), Qt::RightButton, [&](QDialog* popup) {
        QCOMPARE(popup->windowFlags() & (Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
                 Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        const QPoint at = centre(itemOf(t.map, "A"));
        const int dx = std::max(0, at.x() + popup->width() - t.map.width()) + 5;
        const int dy = std::max(0, at.y() + popup->height() - t.map.height()) + 5;
        // Up and left of the press as far as the map's edges ask, then onto
        // the screen (the map lies in its top left corner).
        const QRect screen = ScreenPlacement::availableGeometryAt(t.map.mapToGlobal(at));
        const QRect asked(t.map.mapToGlobal(at) - QPoint(dx, dy), popup->size());
        QVERIFY(asked.top() < screen.top());
        QCOMPARE(popup->pos(), QPoint(asked.left(), screen.top()));
        pick(popup, "Login");
    }));
    QCOMPARE(t.now(), QStringLiteral("seq(Login,_{B,C})"));
    ParseNode* login = t.map.root->children.at(0);
    // The leaf owns a copy of the store glyph's condition.
    QVERIFY(login->glyph.condition && login->glyph.condition != t.f.condition.get());
    QCOMPARE(login->glyph.quantifier, 2);
    QCOMPARE(t.map.itemNode.value(t.map.selectedItems().first()), login);
    QCOMPARE(t.reports.last(), 1);
    QCOMPARE(actions.count(), 1);

    // A left click on a stack's placeholder: the stacked glyphs stay under
    // the pick, and "None" is offered.
    QPointer<QDialog> first = t.map.popup;
    QStringList names;
    QVERIFY(t.click(centre(itemOf(t.map, "_{B,C}")), Qt::LeftButton, [&](QDialog* popup) {
        names = offered(popup);
        pick(popup, "Read");
    }));
    QVERIFY(first.isNull());       // the last popup goes when the next is made
    QCOMPARE(names.last(), QStringLiteral("None"));
    QCOMPARE(t.now(), QStringLiteral("seq(Login,Read{B,C})"));

    // A left click on a glyph opens nothing and selects it.
    QVERIFY(!t.click(centre(itemOf(t.map, "Login")), Qt::LeftButton, [](QDialog*) {}));
    QCOMPARE(shape(t.map.itemNode.value(t.map.selectedItems().first())), QStringLiteral("Login"));
}

void MapWidgetInteractionTest::completerListsByMode_data()
{
    QTest::addColumn<bool>("rewrite");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("pattern") << false << QStringList{"WildCard", "Gray", "Login", "Read", "First"};
    QTest::newRow("rewrite") << true << QStringList{"Add new...", "DeleteItem", "Login", "Read", "Blue",
                                                    "Purple", "Green", "Yellow", "Red"};
}

void MapWidgetInteractionTest::completerListsByMode()
{
    QFETCH(bool, rewrite);
    QFETCH(QStringList, names);
    Interaction t("seq([])", rewrite);
    // Rules without a first element are left out of the list.
    TList<Rule>& rules = t.f.store()->rules;
    rules.append(Rule("none", nullptr, tree("seq()"), true, true));
    rules.append(Rule("empty", tree("seq()"), tree("seq()"), true, true));
    rules.append(Rule("first", tree("seq(First,Second)"), tree("seq(X)"), true, true));
    QStringList shown;
    QVERIFY(t.click(centre(t.map.items.first()), Qt::LeftButton,
                    [&](QDialog* popup) { shown = offered(popup); }));
    QCOMPARE(shown, names);
    QCOMPARE(t.now(), QStringLiteral("seq([])"));
    QCOMPARE(t.reports.isEmpty(), rewrite);   // rewrite mode reports no click
    if (rewrite)
        return;
    // A rule's glyph the store does not list is placed as it was shown.
    QVERIFY(t.click(centre(t.map.items.first()), Qt::LeftButton,
                    [](QDialog* popup) { pick(popup, "First"); }));
    QCOMPARE(t.now(), QStringLiteral("seq(First)"));
}

// A rule's first glyph is offered beside the stored glyph of its name; the
// entry picked is the glyph placed, condition and all, whichever of the two
// it is, also for a rule whose precondition is one bare item.
void MapWidgetInteractionTest::pickedEntryIsPlaced_data()
{
    QTest::addColumn<QString>("pre");
    QTest::addColumn<int>("entry");     // of the entries named "WildCard"
    QTest::addColumn<bool>("fromRule");
    const QString wild = "[ WildCard,w,(222;226;230),(0;0;0),(0;0;0),kind == a,0,0,1 ]";
    QTest::newRow("stored glyph") << "&&" + wild << 0 << false;
    QTest::newRow("the rule's glyph") << "&&" + wild << 1 << true;
    QTest::newRow("the rule's glyph, bare item") << wild << 1 << true;
}

void MapWidgetInteractionTest::pickedEntryIsPlaced()
{
    QFETCH(QString, pre);
    QFETCH(int, entry);
    QFETCH(bool, fromRule);
    Interaction t("seq([])");
    bool readable = false;
    t.f.store()->rules.append(
        Rule::fromString("W~true~true~" + pre + " --> &&[ X,x,(255;0;0),(0;0;0),(0;0;0),true,0,0,1 ]", &readable));
    QVERIFY(readable);
    const Rule& rule = t.f.store()->rules.last();
    const BinItem& ruleGlyph = rule.pre->hasChildren() ? rule.pre->children.first()->glyph : rule.pre->glyph;
    QVERIFY(ruleGlyph.condition);

    int entries = 0;
    QVERIFY(t.click(centre(t.map.items.first()), Qt::LeftButton, [&](QDialog* popup) {
        auto* completer = qobject_cast<EventCompleter*>(popup);
        const QList<QListWidgetItem*> rows = completer->list->findItems("WildCard", Qt::MatchExactly);
        entries = rows.size();
        if (entry < rows.size())
            completer->unload(rows.at(entry));
    }));
    QCOMPARE(entries, 2);
    QCOMPARE(t.now(), QStringLiteral("seq(WildCard)"));
    const BinItem& placed = t.map.root->children.first()->glyph;
    QCOMPARE(placed.label, fromRule ? QStringLiteral("w") : t.f.store()->findGlyph("WildCard").label);
    QCOMPARE(placed.condition ? placed.condition->toString() : QStringLiteral("true"),
             fromRule ? ruleGlyph.condition->toString() : QStringLiteral("true"));
    // The leaf owns a copy of the condition, not the rule's.
    QVERIFY(!placed.condition || placed.condition != ruleGlyph.condition);
}

void MapWidgetInteractionTest::addNewOpensTheGlyphEditor()
{
    Interaction t("seq(A)", true);
    auto addNew = [&](const std::function<void(QDialog*)>& answer) {
        QVERIFY(t.click(centre(t.map.items.first()), Qt::RightButton, [&](QDialog* popup) {
            answerModal(answer);
            pick(popup, "Add new...");
        }));
    };
    addNew([](QDialog* editor) {
        QVERIFY(qobject_cast<GlyphEditorWidget*>(editor));
        editor->reject();
    });
    QCOMPARE(t.now(), QStringLiteral("seq(A)"));
    QCOMPARE(t.map.history.size(), 1);

    MessageRecorder boxes;
    addNew([](QDialog* dialog) {
        auto* editor = qobject_cast<GlyphEditorWidget*>(dialog);
        QTest::keyClicks(editor->nameEdit, QStringLiteral("Fresh"));
        QTest::mouseClick(editor->saveButton, Qt::LeftButton);
    });
    QCOMPARE(t.now(), QStringLiteral("seq(Fresh)"));
    QCOMPARE(t.f.stored(QStringLiteral("Fresh")).size(), 1);
}

void MapWidgetInteractionTest::answersThatChangeNothing()
{
    Interaction t("seq(or(A,B),star(C),rep2..4(D))");
    DebugCapture debug;
    debug.setForward(false);
    // A press outside the completer accepts it with nothing picked.
    QVERIFY(t.click(centre(itemOf(t.map, "A")), Qt::RightButton, [](QDialog* popup) {
        QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-4, -4));
    }));
    // A parenthesis stands for no node: a pick changes nothing.
    BinItem* open = t.map.items.first();
    QVERIFY(t.click(QPoint(qRound(open->centerX()), qRound(open->top() + 3)), Qt::RightButton,
                    [](QDialog* popup) { pick(popup, "Login"); }));
    // A double click on a bounded repetition's label selects nothing; on a
    // star's label it selects the star.
    t.map.clearSelection();
    t.doublePress(centre(itemOf(t.map, "rep2..4(D)")));
    QVERIFY(t.map.selectedItems().isEmpty());
    t.doublePress(centre(itemOf(t.map, "star(C)")));
    QCOMPARE(labels(t.map.selectedItems()), QStringLiteral("C *"));
    QCOMPARE(t.now(), QStringLiteral("seq(or(A,B),star(C),rep2..4(D))"));
    QCOMPARE(t.map.history.size(), 1);
}

void MapWidgetInteractionTest::repetitionDialogGivesTheOperator_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");   // "inf": check "Infinite:"
    QTest::addColumn<QString>("tree");
    QTest::newRow("star") << 0 << "" << "" << "seq(star(seq(A,B)),C)";
    QTest::newRow("plus") << 1 << "" << "" << "seq(plus(seq(A,B)),C)";
    QTest::newRow("custom") << 2 << "2" << "5" << "seq(rep2..5(seq(A,B)),C)";
    QTest::newRow("custom open") << 2 << "3" << "inf" << "seq(rep3..-1(seq(A,B)),C)";
}

void MapWidgetInteractionTest::repetitionDialogGivesTheOperator()
{
    QFETCH(int, profile);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, tree);
    Interaction t("seq(grp(seq(A,B)),C)");
    BinItem* box = itemOf(t.map, "grp(seq(A,B))");
    QCOMPARE(box->mode, qint32(EMPTYSMALL));
    QVERIFY(t.click(centre(box), Qt::LeftButton, [&](QDialog* popup) {
        auto* dialog = qobject_cast<ModifierCompleter*>(popup);
        QVERIFY(dialog);
        dialog->profileCombo->setCurrentIndex(profile);
        QTest::keyClicks(dialog->startEdit, start);
        if (end == "inf")
            QTest::mouseClick(dialog->infiniteBox, Qt::LeftButton);
        else
            QTest::keyClicks(dialog->endEdit, end);
        QTest::mouseClick(dialog->okButton, Qt::LeftButton);
    }));
    QCOMPARE(t.now(), tree);
    BinItem* label = t.map.selectedItems().first();
    QCOMPARE(t.map.itemNode.value(label), t.map.root->children.first());
    // A right click on the operator label opens the dialog again.
    QVERIFY(t.click(centre(label), Qt::RightButton, [](QDialog* popup) {
        static_cast<ModifierCompleter*>(popup)->profileCombo->setCurrentIndex(1);
        static_cast<ModifierCompleter*>(popup)->okButton->click();
    }));
    QCOMPARE(t.now(), QStringLiteral("seq(plus(seq(A,B)),C)"));
}

void MapWidgetInteractionTest::doublePressEditsTheCondition()
{
    Interaction t("seq(A,B)");
    t.f.store()->setAttributes(TList<QString>{"ip.src", "len"}, TList<int>{3, 1});
    t.map.root->children.at(1)->glyph.quantifier = 1;
    QSignalSpy actions(&t.map, &MapWidget::actionPerformed);
    DebugCapture debug;
    debug.setForward(false);
    QString startText;
    int startMode = -1;
    answerModal([&](QDialog* d) {
        auto* dialog = qobject_cast<QueryWidget*>(d);
        QVERIFY(dialog);
        startText = dialog->textEdit->toPlainText();
        startMode = dialog->matchCombo->currentIndex();
        dialog->textEdit->setPlainText(QStringLiteral("  len > 3  "));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    t.doublePress(centre(itemOf(t.map, "B")));
    QVERIFY(debug.contains(QStringLiteral("double click")));
    QVERIFY(!t.map.clickPending);
    QCOMPARE(startText, QStringLiteral("true"));
    QCOMPARE(startMode, 1);                        // the glyph's own mode
    const BinItem& edited = t.map.root->children.at(1)->glyph;
    QCOMPARE(edited.condition ? edited.condition->toString() : QString(), QStringLiteral("len > 3"));
    QCOMPARE(edited.quantifier, 1);                // kept: only the text changed
    QCOMPARE(actions.count(), 1);
    QCOMPARE(t.map.history.size(), 2);
    t.map.undo();
    QVERIFY(!t.map.root->children.at(1)->glyph.condition);

    // In rewrite mode a double press opens no dialog.
    Interaction r("seq(A)", true);
    bool opened = false;
    answerModal([&](QDialog* d) { opened = d != nullptr; });
    r.doublePress(centre(r.map.items.first()));
    QCoreApplication::processEvents();
    QVERIFY(!opened);
    QVERIFY(r.reports.isEmpty());
}

void MapWidgetInteractionTest::rubberBandAndPointer()
{
    Interaction t("seq(A,B,C)");
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
    // A drag is no click: no late single click takes its selection away.
    QVERIFY(!t.map.singleClickTimer->isActive() && !t.map.clickPending);
    const QImage shot = t.map.grab().toImage();
    QCOMPARE(shot.pixelColor(from.x() + 1, from.y() + 20).blue(), 255);   // the band
    QTest::mouseRelease(&t.map, Qt::LeftButton, Qt::NoModifier, to);
    QVERIFY(!t.map.dragging);
    QCOMPARE(t.map.dragStartX, -1.0);
    QCOMPARE(labels(t.map.selectedItems()), QStringLiteral("A B"));

    // Highlight and pointer shape follow the mouse; leaving clears them.
    QMouseEvent over(QEvent::MouseMove, centre(a), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
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
    QVERIFY(!t.map.pointerInside && !a->highlighted);
    QCOMPARE(t.map.mouseX, -1.0);
}

LUMIVANE_TEST(MapWidgetInteractionTest)
#include "MapWidgetInteractionTest.moc"
