#include "FailingNew.h"
#include "PaintSweep.h"
#include "Restore.h"
#include "RuleWindow.h"
#include "SequenceFixture.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/MessageAsker.h"
#include "events/GlyphsEvent.h"
#include "patterns/ConditionParser.h"
#include "views/events/BinCell.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QResizeEvent>
#include <QtTest>

#include <limits>
#include <memory>

// The rule overview of the main window's matrix, with each allocation
// failing in turn of what makes it count and draw its paths, entered as
// the user does: a regrouping (counted at once), the count that a large
// matrix puts off (its timer), the Stack clicked before that count, the
// settings pane resized. Nothing escapes; the overview shows what one
// that never failed shows, or it is empty with its one message, or the
// matrix went without cells with its own message and the overview counts
// none; the same again shows what a run that never failed shows. Then the
// paint of every view of the sequence pane and of the overview.

namespace {

// The overview's nodes with their counts and colours, the drawn nodes with
// their places, the root's count and whether a count waits.
QStringList overviewText(RuleOverviewWidget& overview)
{
    QStringList out;
    for (int id = 0; id < overview.nodeKeys.size(); ++id) {
        const Node node(id);
        const QString key = overview.nodeKeys.value(node);
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(key)
                   .arg(overview.counts.value(node, -1))
                   .arg(overview.colours.value(node).name())
                   .arg(overview.keys.value(key).id == id);
    }
    for (const BinItem* item : overview.items.items)
        out << QStringLiteral("%1 at %2,%3 %4").arg(item->name).arg(item->x).arg(item->y).arg(item->width());
    out << QStringLiteral("root %1 pending %2").arg(overview.counts.value(overview.root, -1)).arg(overview.countPending());
    return out;
}

// As before its first count: nothing counted, nothing drawn.
bool isEmpty(RuleOverviewWidget& overview)
{
    return overview.items.isEmpty() && overview.counts.isEmpty() && overview.keys.isEmpty()
           && overview.nodeKeys.isEmpty() && !overview.prefixAutomaton() && !overview.countPending();
}

// Every cell's rows: glyph names with the names stacked on them.
QStringList matrixText(const EventWidget& view)
{
    QStringList out;
    for (const BinCell* cell : view.cells) {
        out << cell->header.title;
        for (const TList<BinItem*>& row : cell->rows) {
            QStringList names;
            for (const BinItem* item : row) {
                QString name = item->name;
                for (const BinItem& child : item->children.items)
                    name += QLatin1Char('>') + child.name;
                names << name;
            }
            out << names.join(QLatin1Char(' '));
        }
    }
    return out;
}

// The main window with its rules applied, and the settings pane's resize.
struct Window : rulewindow::RuleWindow
{
    // The rules applied to unstacked, ungrouped rows, their count made.
    void reset()
    {
        if (view->stack)
            view->setStack(false);
        if (!view->yNone)
            view->changeYAxis2(QStringLiteral("none"));
        applyRules();
        countNow();
    }
    // The settings pane resized, the overview with it.
    void resizePane(int overviewWidth)
    {
        overview->resize(overviewWidth, overview->height());
        QResizeEvent resized(QSize(overviewWidth, 400), QSize(204, 400));
        QCoreApplication::sendEvent(window.settingsWidget, &resized);
    }
};

// What is done with the failures armed, after `prepare` without them.
struct Action
{
    QString name;

    void prepare(Window& w) const
    {
        w.resizePane(204);
        w.reset();
        if (name == QLatin1String("later") || name == QLatin1String("stack"))
            w.applyRules();
    }
    void run(Window& w) const
    {
        if (name == QLatin1String("regroup")) {
            w.view->changeYAxis2(QStringLiteral("kind"));
        } else if (name == QLatin1String("later")) {
            w.countNow();
        } else if (name == QLatin1String("stack")) {
            w.view->setStack(true);
        } else {
            w.resizePane(304);
        }
    }
};

// The text of the boxes shown.
QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return out.join(QStringLiteral(" / "));
}

} // namespace

class SequenceViewsFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void ruleOverview_data();
    void ruleOverview();
    void paint_data();
    void paint();
};

void SequenceViewsFailuresTest::ruleOverview_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("laterFrom");   // glyphs from which the count is put off
    QTest::newRow("regrouped, counted at once") << "regroup" << std::numeric_limits<int>::max();
    QTest::newRow("the count put off, made by its timer") << "later" << 1;
    QTest::newRow("stack clicked before the count") << "stack" << 1;
    QTest::newRow("settings pane resized") << "resize" << std::numeric_limits<int>::max();
}

void SequenceViewsFailuresTest::ruleOverview()
{
    QFETCH(QString, action);
    QFETCH(int, laterFrom);
    Restore<int> later(RuleOverviewWidget::laterFrom, laterFrom);
    Restore<bool> loaded(NO_DATA, false);
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    // The debug lines are dropped: the test's own output would allocate
    // within the line's end, where nothing may throw.
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    // Qt's own failures are not the program's to mend: the window's labels
    // and tables that the rules' rebuild refreshes do not survive them.
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "qt5/plugins/platforms"})
        failingnew::spareCallersIn(library);
    Window w;
    const Action act{action};
    // What a run that never failed shows, and again.
    act.prepare(w);
    act.run(w);
    QCoreApplication::processEvents();
    const QStringList overviewOnce = overviewText(*w.overview);
    const QStringList matrixOnce = matrixText(*w.view);
    act.prepare(w);
    const QStringList overviewBefore = overviewText(*w.overview);
    act.run(w);
    QCOMPARE(overviewText(*w.overview), overviewOnce);
    QCOMPARE(matrixText(*w.view), matrixOnce);
    QVERIFY(boxes.isEmpty());
    // Nodes below the root are drawn.
    QVERIFY2(w.overview->items.size() > 2, qPrintable(overviewOnce.join('|')));
    QVERIFY(overviewOnce != overviewBefore);

    long messages = 0;
    const long points = sweep::run(QString(QTest::currentDataTag()), [&](long n) {
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        act.prepare(w);
        const QStringList before = overviewText(*w.overview);
        boxes.clear();
        bool hit = false;
        {
            failingnew::FailAt fail(n);
            try {
                act.run(w);
            } catch (...) {
                fail.stop();
                QTest::qFail(qPrintable(where + QStringLiteral("an exception escaped")), __FILE__, __LINE__);
                return false;
            }
            hit = fail.stop();
        }
        // A failure that a handler's guard ended is told from the loop.
        QCoreApplication::processEvents();
        const QStringList shown = overviewText(*w.overview);
        const QStringList matrix = matrixText(*w.view);
        if (boxes.size() > 1 || (!boxes.isEmpty() && !boxes.first().text.contains(QLatin1String("memory")))) {
            QTest::qFail(qPrintable(where + said(boxes)), __FILE__, __LINE__);
            return false;
        }
        if (boxes.isEmpty()) {
            if (shown != overviewOnce || matrix != matrixOnce)
                QTest::qFail(qPrintable(where + QStringLiteral("ran through, but shows ") + shown.join('|') + " / "
                                        + matrix.join('|')),
                             __FILE__, __LINE__);
        } else {
            ++messages;
            const QString title = boxes.first().title;
            bool whole;
            if (title == QLatin1String("Failed to count rule paths"))
                whole = isEmpty(*w.overview) && matrix == matrixOnce;
            else if (title == QLatin1String("Out of memory"))
                // The nodes drawn before the pane's resize stay.
                whole = action == QLatin1String("resize") && shown == before && matrix == matrixOnce;
            else
                // The matrix went without cells: the overview counts none.
                whole = w.view->cells.isEmpty() && w.overview->counts.value(w.overview->root, -1) == 0
                        && w.overview->items.size() == 1 && !w.overview->countPending();
            if (!whole)
                QTest::qFail(qPrintable(where + said(boxes) + QStringLiteral(" shows ") + shown.join('|') + " / "
                                        + matrix.join('|')),
                             __FILE__, __LINE__);
        }
        if (QTest::currentTestFailed())
            return false;
        // Again, as a run that never failed.
        act.prepare(w);
        act.run(w);
        QCoreApplication::processEvents();
        if (overviewText(*w.overview) != overviewOnce || matrixText(*w.view) != matrixOnce || boxes.size() > 1)
            QTest::qFail(qPrintable(where + QStringLiteral("again, shows ") + overviewText(*w.overview).join('|')
                                    + QStringLiteral(" ") + said(boxes)),
                         __FILE__, __LINE__);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages << "of them told";
    QVERIFY(points > 0);
}

void SequenceViewsFailuresTest::paint_data()
{
    QTest::addColumn<QString>("view");
    QTest::newRow("sequence view") << "sequences";
    QTest::newRow("sequence view, merged runs") << "merged";
    QTest::newRow("sequence view, aligned") << "aligned";
    QTest::newRow("sequence view, aligned, with a query's ribbons") << "query";
    QTest::newRow("sequence pane") << "ribbon";
    QTest::newRow("rule overview") << "overview";
}

void SequenceViewsFailuresTest::paint()
{
    QFETCH(QString, view);
    Restore<bool> loaded(NO_DATA, false);
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    long points = 0;
    if (view == QLatin1String("overview")) {
        Window w;
        // One of the window's matrix, shown on its own.
        RuleOverviewWidget overview(w.window.controlWidget, w.view, nullptr);
        overview.resize(204, 60);
        overview.rebuild();
        QVERIFY(overview.items.size() > 2);
        overview.show();
        QVERIFY(QTest::qWaitForWindowExposed(&overview));
        points = paintsweep::check(&overview, QStringLiteral("rule overview"));
    } else {
        sequencefixture::Glyphs glyphs;
        const sequencefixture::Rows rows =
            glyphs.rows({"A B C D", "A B C E", "A C D E", "F", "A B C E", "B _", "A B C E"});
        std::unique_ptr<RibbonSequenceWidget> ribbon;
        std::unique_ptr<SequenceWidget> alone;
        SequenceWidget* sequences;
        if (view == QLatin1String("ribbon")) {
            ribbon.reset(new RibbonSequenceWidget(glyphs.control.get(), nullptr));
            ribbon->resize(500, 300);
            sequences = ribbon->sequenceView;
        } else {
            alone.reset(new SequenceWidget(glyphs.control.get(), nullptr));
            alone->resize(400, 300);
            sequences = alone.get();
        }
        // Merge mode off: a cell a state, the gaps too.
        sequences->setMergeMode(view != QLatin1String("sequences"));
        GlyphsEvent selection(nullptr, rows, {QStringLiteral("select")});
        QCoreApplication::sendEvent(sequences, &selection);
        if (view == QLatin1String("aligned") || view == QLatin1String("query"))
            sequences->setMSA(true);
        if (ribbon)
            ribbon->alignmentButton->click();
        // Shown and laid out at its size: the sweep paints what the window
        // system would paint again (a hidden widget is sent a resize at
        // every paint, which lays it out anew).
        QWidget* painted = ribbon ? static_cast<QWidget*>(ribbon.get()) : sequences;
        painted->show();
        QVERIFY(QTest::qWaitForWindowExposed(painted));
        if (view == QLatin1String("query"))
            sequences->hoverQuery(ConditionParser::parse(QStringLiteral("kind == C")));
        QVERIFY(sequences->stateCount() > 1);
        QCOMPARE(sequences->msaOn, view != QLatin1String("sequences") && view != QLatin1String("merged"));
        QCOMPARE(sequences->overlayPaths.isEmpty(), view != QLatin1String("query"));
        points = paintsweep::check(painted, QString(QTest::currentDataTag()));
    }
    qInstallMessageHandler(log);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points";
    // The overview draws its nodes with the painter alone: its paint makes
    // no allocation of the program's own, and the sweep checks only that a
    // paint draws what the last one drew.
    QVERIFY(points > 0 || view == QLatin1String("overview"));
}

LUMIVANE_TEST(SequenceViewsFailuresTest)
#include "SequenceViewsFailuresTest.moc"
