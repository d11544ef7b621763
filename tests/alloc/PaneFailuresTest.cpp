#include "FailingNew.h"
#include "SequenceFixture.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/MessageAsker.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/SequenceWidget.h"

#include <QTimer>
#include <QtTest>

#include <memory>

// Every allocation of one part of each kind that the sequence pane builds a
// selection in (copying, stacking, merging, laying out, each run from the
// pane's timer), of the same work done at once, of a new layout and of the
// alignment switch that finishes a copy at once fails in turn. No exception
// leaves the pane; it either shows what a pane that never failed shows, or
// it is empty with one message that names memory; and the next selection
// shows its rows as a pane that never failed does.

using sequencefixture::Glyphs;
using sequencefixture::Rows;

namespace {

const QStringList FIRST{"A B C D", "A B C E", "A B", "B C D A", "A B C D", "_ A", "C C"};
const QStringList NEXT{"A C", "B", "A C"};

// The rows, the states with their counts, keys, paths and events, and the
// cells shown with their places and shares.
QStringList paneText(SequenceWidget& view)
{
    QStringList out;
    out << QStringLiteral("building %1 stored %2 aligned %3 triangles %4")
               .arg(view.building())
               .arg(view.lastSequences.size())
               .arg(view.msaOn)
               .arg(view.sortTriangles.size());
    for (const TList<BinItem*>& row : view.rows.items) {
        QStringList names;
        for (const BinItem* item : row.items)
            names << (SequenceWidget::isGap(item) ? QStringLiteral("-") : item->name);
        out << names.join(QLatin1Char(' '));
    }
    for (int id = 0; id < view.stateCount(); ++id)
        out << QStringLiteral("state %1 %2 %3 %4 %5")
                   .arg(id)
                   .arg(view.countOf(id))
                   .arg(view.keyOf(id), view.pathOf(id))
                   .arg(view.eventsOfState(id).size());
    for (BinItem* shown : view.shownList())
        out << QStringLiteral("shown %1,%2 %3 %4 %5")
                   .arg(shown->x)
                   .arg(shown->y)
                   .arg(shown->height())
                   .arg(shown->name)
                   .arg(view.shareOf(shown));
    return out;
}

bool isEmpty(SequenceWidget& view)
{
    return !view.building() && view.rows.isEmpty() && view.stateCount() == 0 && view.shownCount() == 0
           && view.lastSequences.isEmpty() && view.sortTriangles.isEmpty() && !view.msaOn;
}

QTimer* partTimer(SequenceWidget& view)
{
    for (QTimer* timer : view.findChildren<QTimer*>()) {
        if (timer->isSingleShot() && timer->interval() == 0)
            return timer;
    }
    return nullptr;
}

// One part, as the event loop's turn runs it once the timer has fired.
void runPart(SequenceWidget& view)
{
    QTimer* timer = partTimer(view);
    timer->stop();
    QMetaObject::invokeMethod(timer, "timeout");
}

// The parts left, each checked to have asked for the next.
void finish(SequenceWidget& view, const QString& where)
{
    for (int part = 0; view.building(); ++part) {
        QVERIFY2(partTimer(view)->isActive(), qPrintable(where + QStringLiteral(": no part follows")));
        QVERIFY2(part < 10000, qPrintable(where));
        runPart(view);
    }
}

std::unique_ptr<SequenceWidget> makeView(Glyphs& glyphs, bool inParts)
{
    std::unique_ptr<SequenceWidget> view(new SequenceWidget(glyphs.control.get(), nullptr));
    view->resize(400, 300);
    if (inParts) {
        // A part at a time: a row copied or merged, a cell laid out.
        view->partsFrom = 0;
        view->partMs = 0;
        view->layoutPartsFrom = 0;
    }
    return view;
}

// What is done with the n-th allocation failing: the parts before `part`
// (of the first selection) are run as they come, then `action`.
struct Action
{
    QString action;
    int part = 0;
    bool inParts = true;

    void prepare(SequenceWidget& view, const Rows& first) const
    {
        view.showSequences(first);
        if (action == QLatin1String("relayout")) {
            finish(view, action);
            return;
        }
        for (int k = 0; k < part; ++k)
            runPart(view);
    }
    void run(SequenceWidget& view) const
    {
        if (action == QLatin1String("part"))
            runPart(view);
        else if (action == QLatin1String("alignment"))
            view.setMSA(true);
        else if (action == QLatin1String("relayout"))
            view.setItemSize(24);
    }
};

// The messages shown, for a failure's description.
QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return QStringLiteral("%1 messages (%2)").arg(boxes.size()).arg(out.join(QStringLiteral(" / ")));
}

void attempt(const Action& act, const QStringList& once, const QStringList& next, long n,
             QList<MessageAsker::Request>& boxes, bool& hit, long& messages)
{
    Glyphs glyphs;
    const Rows first = glyphs.rows(FIRST);
    const Rows second = glyphs.rows(NEXT);
    std::unique_ptr<SequenceWidget> view = makeView(glyphs, act.inParts);
    boxes.clear();
    if (act.action != QLatin1String("at once"))
        act.prepare(*view, first);
    {
        failingnew::FailAt fail(n);
        if (act.action == QLatin1String("at once"))
            view->showSequences(first);
        else
            act.run(*view);
        hit = fail.stop();
    }
    const QString where = QStringLiteral("failure point %1").arg(n);
    finish(*view, where);
    if (QTest::currentTestFailed())
        return;
    const QStringList text = paneText(*view);
    // A run without a failure shows a message only about an alignment the
    // budget refused.
    const int usual = act.action == QLatin1String("alignment") ? 1 : 0;
    if (boxes.size() == usual && text == once) {
        QVERIFY2(boxes.isEmpty() || boxes.first().text.contains(QLatin1String("memory")),
                 qPrintable(where + QStringLiteral(": ") + said(boxes)));
    } else {
        ++messages;
        QVERIFY2(isEmpty(*view), qPrintable(where + QStringLiteral(": shows ") + text.join('|')));
        QVERIFY2(boxes.size() == 1 && boxes.first().text.contains(QLatin1String("memory"))
                     && boxes.first().parent == view->window(),
                 qPrintable(where + QStringLiteral(": ") + said(boxes)));
    }
    // The next selection, in the same pane.
    const int shown = boxes.size();
    view->showSequences(second);
    finish(*view, where + QStringLiteral(", next selection"));
    QVERIFY2(boxes.size() == shown, qPrintable(where + QStringLiteral(": next selection, ") + said(boxes)));
    QVERIFY2(paneText(*view) == next, qPrintable(where + QStringLiteral(": next selection shows ")
                                                 + paneText(*view).join('|') + QStringLiteral(" instead of ")
                                                 + next.join('|')));
}

} // namespace

class PaneFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void everyAllocation_data();
    void everyAllocation();
};

void PaneFailuresTest::everyAllocation_data()
{
    // The action with the failures armed: "part" runs the part numbered
    // `part` of the first selection (the first or the last of a kind, as a
    // pane that never fails runs them), "at once" shows the selection
    // without parts, "relayout" lays a shown selection out again at a new
    // glyph size, "alignment" switches the alignment on (with too little
    // memory for it) after `part` parts of the copy.
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("kind");   // SequenceWidget::PartPhase of the part
    QTest::addColumn<bool>("last");
    QTest::newRow("first copying part") << "part" << int(SequenceWidget::Copying) << false;
    QTest::newRow("last copying part") << "part" << int(SequenceWidget::Copying) << true;
    QTest::newRow("stacking part") << "part" << int(SequenceWidget::Stacking) << false;
    QTest::newRow("first merging part") << "part" << int(SequenceWidget::Merging) << false;
    QTest::newRow("last merging part") << "part" << int(SequenceWidget::Merging) << true;
    QTest::newRow("first layout part") << "part" << int(SequenceWidget::LayingOut) << false;
    QTest::newRow("last layout part") << "part" << int(SequenceWidget::LayingOut) << true;
    QTest::newRow("at once") << "at once" << int(SequenceWidget::NoPart) << false;
    QTest::newRow("relayout") << "relayout" << int(SequenceWidget::NoPart) << false;
    QTest::newRow("alignment switch during the copy") << "alignment" << int(SequenceWidget::Copying) << false;
}

void PaneFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QFETCH(int, kind);
    QFETCH(bool, last);
    struct Budget
    {
        ~Budget() { AlignmentBudget::setLimitOverride(0); }
    } budget;
    // Too little memory for any alignment: it is refused at its start.
    AlignmentBudget::setLimitOverride(1);

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });

    Action act;
    act.action = action;
    act.inParts = action != QLatin1String("at once") && action != QLatin1String("relayout");
    // The parts a pane that never fails runs, by kind; what it shows after
    // the action, and after the next selection.
    QStringList once;
    QStringList next;
    {
        Glyphs glyphs;
        const Rows first = glyphs.rows(FIRST);
        const Rows second = glyphs.rows(NEXT);
        std::unique_ptr<SequenceWidget> view = makeView(glyphs, act.inParts);
        if (act.inParts) {
            view->showSequences(first);
            QList<int> kinds;
            while (view->building()) {
                kinds << int(view->buildPart());
                runPart(*view);
            }
            QVERIFY(kinds.contains(kind));
            act.part = last ? kinds.lastIndexOf(kind) : kinds.indexOf(kind);
            if (action == QLatin1String("alignment"))
                act.part = 1;
        }
        view = makeView(glyphs, act.inParts);
        if (action == QLatin1String("at once")) {
            view->showSequences(first);
        } else {
            act.prepare(*view, first);
            act.run(*view);
        }
        finish(*view, QStringLiteral("never failed"));
        once = paneText(*view);
        QCOMPARE(boxes.size(), action == QLatin1String("alignment") ? 1 : 0);
        QVERIFY(view->stateCount() > 0);
        view->showSequences(second);
        finish(*view, QStringLiteral("never failed"));
        next = paneText(*view);
        QVERIFY(next != once);
    }

    // The stacking's progress lines are dropped: the test's own output
    // would allocate within the message's end, where nothing may throw.
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    long messages = 0;
    const long points = sweep::run(QString(QTest::currentDataTag()), [&](long n) {
        bool hit = false;
        attempt(act, once, next, n, boxes, hit, messages);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages
                      << "of them emptied the pane";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(PaneFailuresTest)
#include "PaneFailuresTest.moc"
