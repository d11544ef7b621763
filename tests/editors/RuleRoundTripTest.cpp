#include "TestRegistry.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "PatternTrees.h"
#include "RuleFixture.h"
#include "TempWorkDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QTimer>

#include <functional>

#include "editors/EventCompleter.h"
#include "editors/ModifierCompleter.h"
#include "editors/QueryWidget.h"
#include "editors/TextEdit.h"
#include "patterns/ConditionParser.h"

using namespace rulefix;
using namespace trees;

namespace {

// Runs `answer` on the modal dialog that opens next, inside its loop; one
// still open afterwards is closed.
void answerModal(const std::function<void(QDialog*)>& answer)
{
    QTimer::singleShot(0, qApp, [answer]() {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        answer(modal);
        if (modal && modal->isVisible())
            modal->done(QDialog::Rejected);
    });
}

QPoint centre(const BinItem* item)
{
    return QPoint(qRound(item->centerX()), qRound(item->centerY()));
}

// The glyph modes of a tree's leaves and of their stacked glyphs, in order.
QString modes(const ParseNode* n)
{
    if (!n)
        return QString();
    QString out;
    if (n->type == ParseNode::Leaf) {
        out += QString::number(n->glyph.mode);
        for (const BinItem& child : n->glyph.children)
            out += QString::number(child.mode);
        out += QLatin1Char(' ');
    }
    for (const ParseNode* child : n->children)
        out += modes(child);
    return out;
}

// The rule window over a store with the glyphs A (a condition), B, C, X
// (red, a circle) and Y, driven as a user drives it: the ribbons' buttons
// on a selection, the picker, clicks answered in the popups, the Delete key
// and the condition dialog.
struct Drive {
    Drive() : rules(&control)
    {
        GlyphStore* s = control.glyphStore;
        for (const QString name : {"A", "B", "C", "X", "Y"}) {
            BinItem glyph(nullptr, nullptr);
            glyph.name = name;
            glyph.label = name.toLower();
            if (name == "A")
                glyph.condition = condition.get();
            if (name == "X") {
                glyph.fillColor = QColor(255, 0, 0);
                glyph.shape = CIRCLE;
                glyph.edgeWidth = 2;
            }
            s->addGlyph(glyph);
        }
        rules.window->show();
    }

    RibbonMapWidget* ribbon(bool post) const { return post ? rules.editor->postEditor : rules.editor->preEditor; }

    void select(MapWidget* map, const QString& targets)
    {
        trees::select(*map, targets.split(QLatin1Char('+')));
    }

    // A single click on the item of `target`; `answer` runs in its popup.
    void click(MapWidget* map, const QString& target, Qt::MouseButton button,
               const std::function<void(QDialog*)>& answer)
    {
        BinItem* item = itemOf(*map, target);
        QVERIFY2(item, qPrintable(target));
        const QPoint p = centre(item);
        QTest::mousePress(map, button, Qt::NoModifier, p);
        QTest::mouseRelease(map, button, Qt::NoModifier, p);
        bool opened = false;
        answerModal([&](QDialog* popup) {
            opened = popup && popup == map->popup;
            if (opened)
                answer(popup);
        });
        map->singleClickTimeOut();
        QCoreApplication::processEvents();
        QVERIFY2(opened, qPrintable(target));
    }

    // One step: [post] verb target [argument...].
    void step(QString text)
    {
        QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool post = words.first() == QLatin1String("post");
        if (post)
            words.removeFirst();
        RibbonMapWidget* r = ribbon(post);
        MapWidget* map = r->map;
        const QString verb = words.value(0);
        const QString target = words.value(1);
        if (verb == "pick") {
            r->handlePicked(control.glyphStore->findGlyph(target));
        } else if (verb == "after" || verb == "before" || verb == "iterator" || verb == "choice"
                   || verb == "stack" || verb == "negate") {
            select(map, target);
            QVERIFY2(!map->selectedItems().isEmpty(), qPrintable(text));
            if (verb == "after")
                r->insertAfter();
            else if (verb == "before")
                r->insertBefore();
            else if (verb == "iterator")
                r->insertIterator();
            else if (verb == "choice")
                r->insertChoice();
            else if (verb == "stack")
                r->insertStack();
            else
                r->insertNegation();
        } else if (verb == "delete") {
            select(map, target);
            QVERIFY2(!map->selectedItems().isEmpty(), qPrintable(text));
            press(*map, Qt::Key_Delete);
        } else if (verb == "op") {
            // The repetition dialog of a group's box or an operator's label.
            const QStringList bounds = words.value(2).split(QStringLiteral(".."));
            click(map, target, Qt::RightButton, [&](QDialog* popup) {
                auto* dialog = qobject_cast<ModifierCompleter*>(popup);
                QVERIFY(dialog);
                if (words.value(2) == "star") {
                    dialog->profileCombo->setCurrentIndex(0);
                } else if (words.value(2) == "plus") {
                    dialog->profileCombo->setCurrentIndex(1);
                } else {
                    dialog->profileCombo->setCurrentIndex(2);
                    QTest::keyClicks(dialog->startEdit, bounds.value(0));
                    if (bounds.value(1) == "inf")
                        QTest::mouseClick(dialog->infiniteBox, Qt::LeftButton);
                    else
                        QTest::keyClicks(dialog->endEdit, bounds.value(1));
                }
                QTest::mouseClick(dialog->okButton, Qt::LeftButton);
            });
        } else if (verb == "fill") {
            // The event completer of a slot, a placeholder or a glyph.
            click(map, target, Qt::RightButton, [&](QDialog* popup) {
                auto* completer = qobject_cast<EventCompleter*>(popup);
                QVERIFY(completer);
                const QList<QListWidgetItem*> rows = completer->list->findItems(words.value(2), Qt::MatchExactly);
                QVERIFY2(!rows.isEmpty(), qPrintable(words.value(2)));
                completer->unload(rows.first());
            });
        } else if (verb == "cond") {
            // The condition dialog of a double click: quantifier, then text.
            const int quantifier = words.value(2).toInt();
            const QString condition = words.mid(3).join(QLatin1Char(' '));
            answerModal([&](QDialog* d) {
                auto* dialog = qobject_cast<QueryWidget*>(d);
                QVERIFY(dialog);
                dialog->matchCombo->setCurrentIndex(quantifier);
                dialog->textEdit->setPlainText(condition);
                dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            });
            const QPoint p = centre(itemOf(*map, target));
            QTest::mousePress(map, Qt::LeftButton, Qt::NoModifier, p);
            QTest::mousePress(map, Qt::LeftButton, Qt::NoModifier, p);
            QCoreApplication::processEvents();
        } else {
            QFAIL(qPrintable("unknown step " + text));
        }
    }

    ControlWidget control{nullptr};
    std::unique_ptr<ParseNode> condition{ConditionParser::parse(QStringLiteral("kind == a"))};
    RuleWindow rules;
};

} // namespace

// Every shape the rule editor's pattern editors hand to a saved rule comes
// back from the editor's Export and Import as it was saved: name, flags,
// both trees with their kinds, bounds, glyphs, stacks, modes and conditions.
class RuleRoundTripTest : public QObject
{
    Q_OBJECT

private slots:
    void editorShapes_data()
    {
        QTest::addColumn<QString>("steps");      // "/"-separated
        QTest::addColumn<QString>("pre");        // as saved
        QTest::addColumn<QString>("post");
        const QString toX = " / post fill [] X";
        auto row = [](const char* name, const QString& steps, const QString& pre, const QString& post = "seq(X)") {
            QTest::newRow(name) << steps << pre << post;
        };
        row("sequence", "pick A / pick B / pick C" + toX, "seq(A,B,C)");
        row("slot left in a sequence", "pick A / after A" + toX, "seq(A)");
        row("empty precondition", "post fill [] X", "seq([])");
        row("choice", "pick A / choice A / pick B" + toX, "seq(or(A,B))");
        row("choice with an empty branch", "pick A / choice A" + toX, "seq(or(A,[]))");
        row("choice of three, one empty", "pick A / choice A / pick B / choice B" + toX, "seq(or(A,B,[]))");
        row("choice of empty slots only", "pick A / pick B / choice B / delete B" + toX, "seq(A)");
        row("choice followed by a glyph", "pick A / after A / pick C / choice A / pick B" + toX, "seq(or(A,B),C)");
        row("after two branches of a choice", "pick A / choice A / pick B / choice B / pick C / after A+B" + toX,
            "seq(or(C,seq(B,A)))");
        row("star", "pick A / iterator A / op grp(A) star" + toX, "seq(star(A))");
        row("plus of two", "pick A / pick B / iterator A+B / op grp(seq(A,B)) plus / pick C" + toX,
            "seq(plus(seq(A,B)),C)");
        row("bounded repetition", "pick A / iterator A / op grp(A) 2..5" + toX, "seq(rep2..5(A))");
        row("open bounded repetition", "pick A / iterator A / op grp(A) 3..inf / pick B" + toX,
            "seq(rep3..-1(A),B)");
        row("repetition changed", "pick A / iterator A / op grp(A) star / op star(A) 0..1" + toX,
            "seq(rep0..1(A))");
        row("nested repetitions", "pick A / pick B / pick C / iterator B+C / op grp(seq(B,C)) star"
                                  " / iterator B / op grp(B) plus" + toX,
            "seq(A,star(seq(plus(B),C)))");
        row("star over empty slots", "pick A / after A / after [] / iterator []+[] / op grp(seq([],[])) star"
                                     " / delete A" + toX, "seq([])");
        row("star whose content was deleted", "pick A / pick B / iterator A / op grp(A) star / delete A" + toX,
            "seq(B)");
        row("plus over a choice of empty slots", "pick A / pick B / choice A / delete A / iterator []"
                                                  " / op grp(or([],[])) plus" + toX, "seq(B)");
        row("bounded repetition whose content was deleted", "pick A / iterator A / op grp(A) 2..4 / delete A" + toX,
            "seq([])");
        row("group without its operator", "pick A / pick B / iterator A" + toX, "seq(B)");
        row("group over empty slots", "pick A / after A / iterator []+A / delete A" + toX, "seq([])");
        row("glyph placed into a group", "pick A / pick B / iterator A / pick C" + toX, "seq(C,B)");
        row("negation", "pick A / negate A / pick B" + toX, "seq(not(A),B)");
        row("negation of an empty slot", "pick B / after B / negate []" + toX, "seq(B,not([]))");
        row("negation of a star", "pick A / iterator A / op grp(A) star / negate star(A)" + toX,
            "seq(not(star(A)))");
        row("negation of a group", "pick A / pick B / iterator A / negate grp(A)" + toX, "seq(not([]),B)");
        row("negation's content after", "pick A / negate A / after A" + toX, "seq(not(A))");
        row("negation whose content was deleted", "pick A / negate A / delete A / pick B" + toX,
            "seq(not(not([])),B)");
        row("negation replaced by a glyph", "pick A / negate A / fill not(A) B" + toX, "seq(B)");
        row("stack waiting for its glyph", "pick A / stack A / pick B" + toX, "seq(_{A},B)");
        row("stack", "pick A / stack A / fill _{A} B" + toX, "seq(B{A})");
        row("stack of a stack", "pick A / stack A / fill _{A} B / stack B{A} / fill _{B,A} C" + toX,
            "seq(C{B,A})");
        row("stack of None", "pick A / stack A / fill _{A} None" + toX, "seq(None{A})");
        row("stack of a group's box", "pick A / pick B / iterator A / stack grp(A)" + toX, "seq(B)");
        row("quantifier any", "pick B / cond B 1 kind == b" + toX, "seq(B)");
        row("quantifier first", "pick B / cond B 2 kind == b" + toX, "seq(B)");
        row("quantifier last", "pick B / cond B 3 kind == b && len > 2" + toX, "seq(B)");
        row("quantifier all", "pick A / cond A 0 !kind == b" + toX, "seq(A)");
        row("stacked glyph keeps its condition", "pick A / stack A / fill _{A} C / cond C{A} 2 len > 1" + toX,
            "seq(C{A})");
        row("rewrite glyph", "pick A / post fill [] Y", "seq(A)", "seq(Y)");
        row("delete rewrite", "pick A / post fill [] DeleteItem", "seq(A)", "seq(_)");
        row("empty rewrite", "pick A", "seq(A)", "seq(_)");
        row("rewrite replaced", "pick A / post fill [] Y / post fill Y X", "seq(A)", "seq(X)");
    }

    void editorShapes()
    {
        QFETCH(QString, steps);
        QFETCH(QString, pre);
        QFETCH(QString, post);
        DebugCapture debug;
        debug.setForward(false);
        Drive d;
        d.control.glyphStore->setAttributes(TList<QString>{"kind", "len"}, TList<int>{3, 1});
        for (const QString& step : steps.split(QLatin1Char('/')))
            d.step(step.trimmed());
        if (QTest::currentTestFailed())
            return;
        d.rules.editor->nameEdit->setText(QStringLiteral("R"));
        QTest::mouseClick(d.rules.editor->saveButton, Qt::LeftButton);
        GlyphStore* s = d.control.glyphStore;
        QCOMPARE(s->rules.size(), 1);
        // The flags the rule list toggles go along.
        s->rules[0].match = false;
        const Rule saved = s->rules[0];

        TempWorkDir dir;
        const QString path = dir.filePath("r.kolm");
        MessageRecorder recorder;
        FileAnswers answers({path, path});
        d.rules.editor->exportAction->trigger();
        s->rules.clear();
        d.rules.editor->importAction->trigger();
        QCOMPARE(recorder.titles(), QStringList{"Save Rules"});
        QCOMPARE(s->rules.size(), 1);
        const Rule& read = s->rules[0];
        QCOMPARE(read.toString(), saved.toString());
        QCOMPARE(shape(read.pre), shape(saved.pre));
        QCOMPARE(shape(read.post), shape(saved.post));
        QCOMPARE(modes(read.pre) + "-> " + modes(read.post), modes(saved.pre) + "-> " + modes(saved.post));
        QCOMPARE(Rule::displayText(read), Rule::displayText(saved));
        QVERIFY(!read.match && read.visible);
        QCOMPARE(read.name, QStringLiteral("R"));
        // What was saved is the shape drawn, less what matches nothing.
        QCOMPARE(shape(saved.pre), pre);
        QCOMPARE(shape(saved.post), post);
    }
};

LUMIVANE_TEST(RuleRoundTripTest)
#include "RuleRoundTripTest.moc"
