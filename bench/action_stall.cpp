// Does one everyday action on a log loaded into the whole main window, once,
// in this fresh process, and tells how long the action took and how long
// the window did not answer meanwhile. Prints one line:
//
//   action_ms=… longest_stall_ms=… longest_stall_at_ms=… settle_stall_ms=… RESULT=… events=… traces=…
//
//   action_stall PATH GROUPING ACTION
//
// The log is loaded as load_stall loads it: through the import dialog's
// "Open" (grouped by GROUPING) into the main window, with the event matrix
// at 1600 x 900 (offscreen unless QT_QPA_PLATFORM asks for another
// platform). Once the load has settled (the overview strip drawn, the side
// panels' histograms computed), ACTION is done as the user's click does it,
// through the widget the click reaches:
//
//   group:ATTRIBUTE    Group ▸ Event attributes ▸ ATTRIBUTE: the event box
//                      of the matrix's options picks ATTRIBUTE.
//                      RESULT: cells, the matrix's tiles.
//   ungroup:ATTRIBUTE  the same box back to "none", after it picked
//                      ATTRIBUTE (and that settled). RESULT: cells.
//   glyphsize:ATTRIBUTE
//                      the options' "Glyph size" box picks ATTRIBUTE (an
//                      attribute with a range). RESULT: cells.
//   stack              the click on "Stack" that turns it on.
//                      RESULT: rows, the rows of every tile.
//   unstack            the click that turns it off, after one that turned it
//                      on. RESULT: rows.
//   find:CONDITION     the side panel's "Find" opens the find window, whose
//                      pattern then is one "WildCard" glyph with the
//                      condition CONDITION for all its events, as the
//                      pattern editor's condition dialog makes it; the
//                      action is the window's "Find".
//                      RESULT: selected, the events selected.
//   rule:RULESFILE     the side panel's "Rules" opens the rule window, whose
//                      "Import" reads RULESFILE (its file dialog answered
//                      with it; the file's first rule must be hidden); the
//                      action is the click on the box of the first row of
//                      the side panel's rule list, which makes that rule
//                      visible. RESULT: matches, the times the rule applied.
//                      The import is measured as well: import_ms and
//                      import_stall_ms come last on the line.
//   discover:CAPTURE   the Convert PCAP dialog (as File ▸ Convert PCAP opens
//                      it, shown without a loop of its own); the action is
//                      its "Open", whose file dialog is answered with
//                      CAPTURE, until tshark's fields are listed. RESULT:
//                      fields, the fields listed.
//   pane[:RULESFILE]   every event selected as select_once selects them
//                      (not measured), with the sequence pane closed (and,
//                      with RULESFILE, the rule window's "Import" of it
//                      first, its rules visible as the file says, so that
//                      the traces make distinct rows); the
//                      action is the click on the event ribbon's
//                      "SequenceView" switch that opens the pane.
//                      RESULT: rows, the pane's rows (the distinct selected
//                      sequences); pane_rss_mb comes last on the line: the
//                      resident memory the open pane added (from before the
//                      click, once freed memory was given back, to the end
//                      of the action).
//   selectpane[:RULESFILE]
//                      the pane opened (not measured) with nothing
//                      selected (RULESFILE imported first, as for pane);
//                      the action is the double click on a glyph
//                      of the first tile that selects every event there
//                      (select_once's), the pane's question about a large
//                      selection answered "Yes". RESULT: rows.
//   export:LOG         the import dialog (as File ▸ Open CSV opens it, shown
//                      without a loop of its own) with LOG chosen (LOG holds
//                      a "sip.Call-ID" column); the action is its "Export",
//                      whose folder dialog is answered with an empty scratch
//                      folder (in TMPDIR, removed afterwards), until the box
//                      that says how the export ended is asked for (the
//                      boxes are answered with OK). RESULT: files, the
//                      conversation files written, and lines, the lines they
//                      hold.
//   align:RULESFILE:CONDITION
//                      the rule window's "Import" reads RULESFILE (its rules
//                      visible as the file says), the find window's "Find"
//                      of one "WildCard" glyph with the condition CONDITION
//                      ("true" selects every event) selects events, and the
//                      "SequenceView" button turns the sequence pane on,
//                      none of it timed; the action is the click on
//                      "Multiple Sequence Alignment", until the alignment
//                      has ended or stopped (the sequence view shows the
//                      aligned rows, or the unaligned ones with the
//                      alignment off). Its line is
//                        action_ms=… longest_stall_ms=… first_answer_ms=…
//                        sequences=… aligned=… columns=… peak_rss_mb=…
//                        loaded_rss_mb=… (then settle_stall_ms, glyph_names,
//                        longest_sequence, events, traces)
//                      first_answer_ms: until the alignment's progress
//                      dialog or its message is on screen (or the aligned
//                      rows, when they come first); sequences: the distinct
//                      sequences aligned; aligned: 1 when the alignment
//                      completed, 0 when it stopped; columns: the columns of
//                      the rows shown; peak_rss_mb: the most memory resident
//                      during the action; loaded_rss_mb: resident before it
//                      (the log loaded, the pane on). With ALIGN_FASTA=FILE
//                      the distinct sequences are written to FILE as FASTA,
//                      one letter per glyph name (those of proteins first),
//                      so that another aligner can be run on the same work.
//
// Every line then ends with selected=… (the events the status bar's
// "Selected messages" counts; find's line holds it as its RESULT already)
// and pane_rows=… (the rows the open sequence pane shows; 0 when it is
// closed or empty) before events=… traces=….
//
// ACTION_STALL_BEFORE=STEP,STEP,… does these steps in order before the
// action, none of them timed, each waited for until nothing of it runs:
//   rules:FILE   the rule window's "Import" of FILE, its rules visible as
//                the file says, the window closed;
//   select       select_once's double click on the first glyph (every
//                event of the network log);
//   pane         the event ribbon's "SequenceView" switch, until the
//                pane's rows are built.
//
// action_ms runs from the action to the end of the last of these paints:
//   - the first paint of the result view (the event matrix; the dialog's
//     field list for discover) that starts after the action's handler has
//     returned, at a moment the view shows the result: for group (ungroup)
//     the matrix grouped by ATTRIBUTE (by none) with a tile of each of the
//     axis's values, for glyphsize every tile sized by ATTRIBUTE, for stack
//     (unstack) every tile stacked (none), for find
//     events selected, for rule the rule visible, applied at least once and
//     its glyph among those shown, for the import the file's rules in the
//     store, for discover the field list not empty;
//   - for each view whose background work the action started (the overview
//     strip's pass over the tiles, when "Show minimap" shows the strip; the
//     histogram jobs of the side panels' event and trace attributes; the
//     build in parts of an open sequence pane), the
//     first paint of that view that starts after the work was last seen
//     running. A view that is not on screen, or that painted its last
//     results before the work was seen ended, counts until the work was
//     seen ended.
// For export action_ms runs from the click to the moment the box that
// tells how the export ended is asked for.
// longest_stall_ms is the longest time the GUI thread did not come back to
// an event loop (the loops of dialogs and of the window's own waits
// included) from the action until the end of action_ms, and
// longest_stall_at_ms when that stall ended, counted from the action.
// settle_stall_ms is the longest stall after that, until nothing of the
// action runs any more.
//
// With ACTION_STALL_TRACE=MS in the environment every stall longer than MS
// milliseconds of the measured actions is written to stderr as it ends,
// each action after a line naming it. ACTION_STALL_PERF=CTL[,ACK] names the
// control fifo of a `perf record --delay=-1 --control fifo:CTL[,ACK]`
// (and its acknowledgement fifo): "enable" is written to it right before
// each measured action and "disable" once nothing of the action runs any
// more, so that the profile holds the actions alone.
//
// The exit status is 0 when the line holds the action's figures, 1 when
// the action's result never showed (or showed nothing), 2 when the action
// cannot be done on this log (a line on stderr says why), and 3 when a
// message box that tells of a failure of the load or of the action (a
// "Failed to ..." title, out of memory, an export or a load that failed)
// ended the run at once: "action_stall: message: TITLE: TEXT" on one line
// of stderr. An abort or a crash gives 128 and more (134, 139). The boxes
// that are part of an action stay answered: the pane's question "Yes", the
// export's "Be patient ..." and "Export successful!" OK, and the
// alignment's refusal for want of memory that can be spared (aligned=0) is
// one of its results.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MessageAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "capture/ParseWidget.h"
#include "capture/MultiListWidget.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/SearchWidget.h"
#include "core/IPacketStream.h"
#include "import/OpenWidget.h"
#include "items/IAxis.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "patterns/RulesFile.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/ConversationWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

using benchsupport::firstGlyphAt;
using benchsupport::settle;

constexpr const char* PROGRAM = "action_stall";
// The longest wait for an action's result, in milliseconds.
constexpr qint64 RESULT_WAIT_MS = 120000;

// ---------------------------------------------------------------------------
// Watching an action

// Follows the views an action changes, from the action until nothing of it
// runs any more, and works out afterwards when the action ended (see the
// header). Paints are seen through an event filter on the application:
// a paint of a view or of any widget inside it is a paint of the view. A
// paint ends at the next shot of the stall watch.
class ActionWatch : public QObject
{
public:
    explicit ActionWatch(const QElapsedTimer& clock)
        : clock(clock)
    {
        qApp->installEventFilter(this);
    }

    ~ActionWatch() override { qApp->removeEventFilter(this); }

    ActionWatch(const ActionWatch&) = delete;
    ActionWatch& operator=(const ActionWatch&) = delete;

    // The view that shows the action's result; `shows` tells whether it
    // shows it now.
    void setResultView(const char* name, QWidget* widget, std::function<bool()> shows)
    {
        View view;
        view.name = name;
        view.widget = widget;
        view.shows = std::move(shows);
        view.result = true;
        views.push_back(std::move(view));
    }

    // A view whose background work (`busy` while it runs) the action may
    // start; without a widget the work only has to end.
    void addWorkView(const char* name, QWidget* widget, std::function<bool()> busy)
    {
        View view;
        view.name = name;
        view.widget = widget;
        view.busy = std::move(busy);
        views.push_back(std::move(view));
    }

    // The action's handler returned to the caller at `ms`: no paint before
    // shows its result.
    void handlerReturned(double ms)
    {
        armed = true;
        for (View& view : views)
            if (view.result)
                view.lastBusyMs = std::max(view.lastBusyMs, ms);
    }

    // At every shot of the stall watch: the paints begun end, and the
    // background work is looked at.
    void shot(double ms)
    {
        for (View& view : views) {
            if (view.open) {
                view.paints.back().second = ms;
                view.open = false;
            }
            if (view.busy) {
                if (view.busy()) {
                    view.lastBusyMs = ms;
                } else if (view.lastBusyMs >= 0 && view.idleMs < view.lastBusyMs) {
                    view.idleMs = ms;
                }
            }
        }
    }

    // Whether background work of a view runs now.
    bool busy() const
    {
        for (const View& view : views)
            if (view.busy && view.busy())
                return true;
        return false;
    }

    // Whether the result view has shown the result (a paint that ended).
    bool resultShown() const
    {
        for (const View& view : views)
            if (view.result && resultPaint(view) < 0)
                return false;
        return true;
    }

    // When the action ended (see the header), or -1 with the names of the
    // views that never showed their results.
    double endMs(QString* missing) const
    {
        double end = -1;
        bool complete = true;
        for (const View& view : views) {
            if (!view.result && view.lastBusyMs < 0)
                continue;   // no work of this view was started
            double at = resultPaint(view);
            if (at < 0 && !view.result && view.idleMs > view.lastBusyMs)
                at = view.idleMs;
            if (at < 0) {
                complete = false;
                if (missing)
                    *missing += (missing->isEmpty() ? QString() : QStringLiteral(", ")) + view.name;
                continue;
            }
            end = std::max(end, at);
        }
        return complete ? end : -1;
    }

    // The views whose work the action started, and when each showed its
    // result ("name@ms"), for the trace.
    QString describe() const
    {
        QString text;
        for (const View& view : views) {
            if (!view.result && view.lastBusyMs < 0)
                continue;
            const double paint = resultPaint(view);
            text += QStringLiteral(" %1@%2").arg(view.name).arg(paint >= 0 ? paint : view.idleMs, 0, 'f', 1);
            if (!view.result)
                text += QStringLiteral("(work to %1)").arg(view.lastBusyMs, 0, 'f', 1);
        }
        return text.trimmed();
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() != QEvent::Paint || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        const double now = double(clock.nsecsElapsed()) / 1e6;
        for (View& view : views) {
            if (view.open || !view.widget || (widget != view.widget && !view.widget->isAncestorOf(widget)))
                continue;
            if (view.result && (!armed || !view.shows())) {
                // A paint that does not show the result.
                if (armed)
                    view.lastBusyMs = now;
                continue;
            }
            if (view.busy && view.busy())
                view.lastBusyMs = now;
            view.paints.emplace_back(now, -1.0);
            view.open = true;
        }
        return false;
    }

private:
    struct View
    {
        QString name;
        QPointer<QWidget> widget;
        std::function<bool()> shows;
        std::function<bool()> busy;
        bool result = false;
        // The last moment the view's work was seen running (a result view:
        // the handler's return, or a paint without the result); -1 never.
        double lastBusyMs = -1;
        // The first shot after that which saw the work ended.
        double idleMs = -1;
        // Start and end of every paint.
        std::vector<std::pair<double, double>> paints;
        bool open = false;
    };

    // The end of the first paint that started after the view's work, or -1
    // (a work view then counts until its work was seen ended).
    static double resultPaint(const View& view)
    {
        for (const auto& paint : view.paints)
            if (paint.first > view.lastBusyMs && paint.second >= 0)
                return paint.second;
        return -1;
    }

    const QElapsedTimer& clock;
    std::vector<View> views;
    bool armed = false;
};

// The perf control fifo of ACTION_STALL_PERF (see the header); does
// nothing without it.
class PerfControl
{
public:
    PerfControl()
    {
        const QByteArray value = qgetenv("ACTION_STALL_PERF");
        if (value.isEmpty())
            return;
        const QList<QByteArray> fifos = value.split(',');
        control = std::fopen(fifos.at(0).constData(), "w");
        if (!control)
            std::perror(fifos.at(0).constData());
        if (fifos.size() > 1) {
            ack = std::fopen(fifos.at(1).constData(), "r");
            if (!ack)
                std::perror(fifos.at(1).constData());
        }
    }

    ~PerfControl()
    {
        if (control)
            std::fclose(control);
        if (ack)
            std::fclose(ack);
    }

    PerfControl(const PerfControl&) = delete;
    PerfControl& operator=(const PerfControl&) = delete;

    void command(const char* text)
    {
        if (!control)
            return;
        std::fprintf(control, "%s\n", text);
        std::fflush(control);
        char answer[16];
        if (ack && !std::fgets(answer, sizeof answer, ack))
            std::fprintf(stderr, "%s: no answer from perf to %s\n", PROGRAM, text);
    }

private:
    std::FILE* control = nullptr;
    std::FILE* ack = nullptr;
};

// What one measured action gave.
struct Figures
{
    double actionMs = -1;
    double longestStallMs = 0;
    double longestStallAtMs = 0;
    double settleStallMs = 0;
};

// The main window with its log loaded, and what an action needs of it.
struct Bench
{
    MainWindow* window = nullptr;
    EventWidget* view = nullptr;
    PerfControl* perf = nullptr;

    ControlWidget* control() const { return window->controlWidget; }
    GlyphStore* store() const { return window->controlWidget->glyphStore; }

    // Does `action` (the handler of a click) with the result shown by
    // `resultView` once `shows` holds, and waits until nothing of it runs
    // any more.
    Figures measure(const char* name, QWidget* resultView, const std::function<bool()>& shows,
                    const std::function<void()>& action)
    {
        QElapsedTimer clock;
        clock.start();
        benchsupport::StallWatch stalls(clock, "ACTION_STALL_TRACE");
        const bool tracing = !qEnvironmentVariableIsEmpty("ACTION_STALL_TRACE");
        ActionWatch watch(clock);
        watch.setResultView(name, resultView, shows);
        EventOverviewWidget* overview =
            window->leftOverviewRibbon ? window->leftOverviewRibbon->overview : nullptr;
        if (overview)
            watch.addWorkView("overview", overview, [overview]() { return overview->isRunning(); });
        SettingsWidget* side = window->settingsWidget;
        for (AttributeWidget* panel : {side ? static_cast<AttributeWidget*>(side->attributeWidget) : nullptr,
                                       side ? static_cast<AttributeWidget*>(side->conversationWidget) : nullptr}) {
            if (!panel)
                continue;
            watch.addWorkView(panel == side->attributeWidget ? "event-histograms" : "trace-histograms", panel,
                              [panel]() { return panel->pool->activeThreadCount() > 0; });
        }
        // The open sequence pane follows the selection, building in parts.
        RibbonSequenceWidget* ribbon = window->sequenceRibbon;
        SequenceWidget* pane = ribbon && ribbon->active ? ribbon->sequenceView : nullptr;
        if (pane && pane != resultView)
            watch.addWorkView("pane", pane, [pane]() { return pane->building(); });
        stalls.onShot = [&watch](double now) { watch.shot(now); };

        if (tracing)
            std::fprintf(stderr, "%s: %s\n", PROGRAM, name);
        if (perf)
            perf->command("enable");
        clock.restart();
        stalls.start();
        action();
        const double returned = double(clock.nsecsElapsed()) / 1e6;
        // Back in the event loop from here.
        stalls.shot();
        watch.handlerReturned(returned);
        QElapsedTimer wait;
        wait.start();
        while ((watch.busy() || !watch.resultShown()) && wait.elapsed() < RESULT_WAIT_MS)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (perf)
            perf->command("disable");
        // Work the action set off late (an overview pass after its wait).
        benchsupport::waitForQuiet(*window);
        stalls.stop();

        Figures figures;
        QString missing;
        figures.actionMs = watch.endMs(&missing);
        if (figures.actionMs < 0) {
            std::fprintf(stderr, "%s: %s: never shown: %s\n", PROGRAM, name, qPrintable(missing));
            figures.longestStallMs = stalls.longestMs;
            figures.longestStallAtMs = stalls.longestAtMs;
            return figures;
        }
        const benchsupport::StallWatch::Stall during = stalls.longestBetween(0, figures.actionMs + 0.001);
        figures.longestStallMs = during.ms;
        figures.longestStallAtMs = during.endMs;
        figures.settleStallMs = stalls.longestBetween(figures.actionMs + 0.001, 1e12).ms;
        if (tracing)
            std::fprintf(stderr, "%s: %s returned at %.1f ms, shown: %s\n", PROGRAM, name, returned,
                         qPrintable(watch.describe()));
        return figures;
    }
};

// Every row of every tile of the matrix.
qint64 rowCount(const EventWidget* view)
{
    qint64 rows = 0;
    for (BinCell* cell : view->cells) {
        QMutexLocker locker(cell->rowsMutex);
        rows += cell->rows.size();
    }
    return rows;
}

// Whether the matrix shows the tiles of its Y axis: one a value, titled
// by it, in the axis's order (the "Unknown" tile may follow).
bool tilesOfAxis(const EventWidget* view)
{
    const TList<QString> labels = view->yNone || !view->yAxis ? TList<QString>{QStringLiteral("All")}
                                                               : view->yAxis->labels();
    if (view->cells.size() < labels.size())
        return false;
    for (int k = 0; k < labels.size(); ++k)
        if (view->cells[k]->header.title != labels[k])
            return false;
    return true;
}

// Whether the matrix is stacked (or not) throughout: every tile's rows
// were stacked (each has its count), or none.
bool stackedThroughout(const EventWidget* view, bool on)
{
    if (view->stack != on)
        return false;
    for (BinCell* cell : view->cells) {
        if (cell->stacked != on)
            return false;
        // Not waited for: the overview strip may be drawing the tile.
        if (!cell->rowsMutex->tryLock())
            return false;
        const bool counted = cell->rows.isEmpty() || cell->stackCounts.isEmpty() != on;
        cell->rowsMutex->unlock();
        if (!counted)
            return false;
    }
    return true;
}

// Whether a glyph named `name` is among those the matrix shows.
bool showsGlyph(const EventWidget* view, const QString& name)
{
    for (BinCell* cell : view->cells) {
        if (cell->firstLine < 0 || !cell->rowsMutex->tryLock())
            continue;
        bool found = false;
        for (const TList<BinItem*>& slice : cell->visibleRows)
            for (const BinItem* item : slice)
                found = found || (item && item->name == name);
        cell->rowsMutex->unlock();
        if (found)
            return true;
    }
    return false;
}

// The top-level window of type T that was not among `before`, or null.
template <typename T>
T* newWindow(const QWidgetList& before)
{
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (before.contains(top) || !top->isVisible())
            continue;
        if (auto* found = qobject_cast<T*>(top))
            return found;
        if (auto* found = top->findChild<T*>())
            return found;
    }
    return nullptr;
}

// Says why the action cannot be done on this log; the exit status 2.
int cannot(const QString& problem)
{
    benchsupport::refuse(PROGRAM, problem);
    return 2;
}

void answerFilesWith(const QString& path)
{
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
}

// ---------------------------------------------------------------------------
// The actions. Each prints its line and returns the exit status (2: the
// action cannot be done on this log).

int groupAction(Bench& bench, const QString& attribute, bool back)
{
    OptionsWidget* options = bench.window->leftOptions;
    QComboBox* box = options ? options->eventAxisBox : nullptr;
    const int index = box ? box->findText(attribute) : -1;
    if (index <= 0)
        return cannot(QStringLiteral("the log has no event attribute ") + attribute);
    EventWidget* view = bench.view;
    if (back) {
        box->setCurrentIndex(index);
        benchsupport::waitForQuiet(*bench.window);
    }
    const Figures f = bench.measure(
        back ? "ungroup" : "group", view,
        [view, attribute, back]() {
            const bool axis = back ? view->yNone : !view->yNone && view->yAxis && view->yAxis->name == attribute;
            return axis && tilesOfAxis(view);
        },
        [box, index, back]() { box->setCurrentIndex(back ? 0 : index); });
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f cells=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, view->cells.size());
    return f.actionMs >= 0 ? 0 : 1;
}

int glyphSizeAction(Bench& bench, const QString& attribute)
{
    OptionsWidget* options = bench.window->leftOptions;
    QComboBox* box = options ? options->glyphSizeAxisBox : nullptr;
    const int index = box ? box->findText(attribute) : -1;
    if (index <= 0)
        return cannot(QStringLiteral("the log has no range attribute ") + attribute);
    if (box->currentIndex() == index)
        return cannot(QStringLiteral("the glyph size is ") + attribute + QStringLiteral(" already"));
    EventWidget* view = bench.view;
    const Figures f = bench.measure(
        "glyphsize", view,
        [view, attribute]() {
            if (view->zNone || !view->zAxis || view->zAxis->name != attribute || !tilesOfAxis(view))
                return false;
            for (const BinCell* cell : view->cells)
                if (cell->sizeAxis != view->zAxis)
                    return false;
            return true;
        },
        [box, index]() { box->setCurrentIndex(index); });
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f cells=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, view->cells.size());
    return f.actionMs >= 0 ? 0 : 1;
}

int stackAction(Bench& bench, bool on)
{
    OptionsWidget* options = bench.window->leftOptions;
    QCheckBox* box = options ? options->stackBox : nullptr;
    if (!box || box->isChecked())
        return cannot(QStringLiteral("the matrix has no \"Stack\" box that is off"));
    EventWidget* view = bench.view;
    if (!on) {
        box->click();
        benchsupport::waitForQuiet(*bench.window);
    }
    const Figures f = bench.measure(
        on ? "stack" : "unstack", view, [view, on]() { return stackedThroughout(view, on); },
        [box]() { box->click(); });
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f rows=%lld",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, rowCount(view));
    return f.actionMs >= 0 && box->isChecked() == on ? 0 : 1;
}

int findAction(Bench& bench, const QString& condition)
{
    GlyphStore* store = bench.store();
    int error = 0;
    ParseNode* tree = ConditionParser::parse(condition, &store->attributeColumns, &error);
    if (!tree)
        return cannot(QStringLiteral("the condition does not read: ") + condition);

    // The side panel's "Find" opens the find window.
    const QWidgetList before = QApplication::topLevelWidgets();
    bench.window->settingsWidget->findButton->click();
    QPointer<SearchWidget> search = newWindow<SearchWidget>(before);
    if (!search) {
        delete tree;
        return cannot(QStringLiteral("\"Find\" opened no find window"));
    }
    // One "WildCard" glyph with the condition, for all its events: what the
    // pattern editor's glyph menu and condition dialog make.
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->setGlyph(store->findGlyph(QStringLiteral("WildCard")));
    delete leaf->glyph.condition;
    leaf->glyph.condition = tree;
    leaf->glyph.quantifier = 0;
    auto* pattern = new ParseNode(ParseNode::And);
    pattern->addChild(leaf);
    search->editor->map->setRoot(pattern);
    benchsupport::waitForQuiet(*bench.window);

    EventWidget* view = bench.view;
    const Figures f = bench.measure(
        "find", view, [view]() { return !view->selectedPacketSet.isEmpty(); },
        [search]() { search->findButton->click(); });
    const int selected = view->selectedPacketSet.size();
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f selected=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, selected);
    if (search)
        search->close();
    return f.actionMs >= 0 && selected > 0 ? 0 : 1;
}

int ruleAction(Bench& bench, const QString& rulesFile)
{
    const QString path = QFileInfo(rulesFile).absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cannot(QStringLiteral("cannot read ") + rulesFile);
    const RulesFile read = RulesFile::fromBytes(file.readAll());
    if (read.rules.isEmpty() || read.rules.first().visible)
        return cannot(rulesFile + QStringLiteral(" holds no rule, or its first is visible"));
    const Rule& first = read.rules.first();
    const QString name = first.name;
    // The glyph the rule rewrites its matches into.
    const QString glyph = first.post && !first.post->children.isEmpty() ? first.post->children.first()->glyph.name
                                                                        : QString();
    if (glyph.isEmpty())
        return cannot(rulesFile + QStringLiteral(": its first rule rewrites into no glyph"));

    // The side panel's "Rules" opens the rule window.
    const QWidgetList before = QApplication::topLevelWidgets();
    bench.window->settingsWidget->ruleButton->click();
    QPointer<RuleEditorWidget> editor = newWindow<RuleEditorWidget>(before);
    if (!editor)
        return cannot(QStringLiteral("\"Rules\" opened no rule window"));
    benchsupport::waitForQuiet(*bench.window);

    GlyphStore* store = bench.store();
    EventWidget* view = bench.view;
    answerFilesWith(path);
    const Figures import = bench.measure(
        "import", view, [store, name]() { return !store->rules.isEmpty() && store->rules.first().name == name; },
        [editor]() { editor->importAction->trigger(); });

    RuleListWidget* list = bench.window->settingsWidget->ruleList;
    QListWidgetItem* row = list->count() > 0 ? list->item(0) : nullptr;
    QWidget* container = row ? list->itemWidget(row) : nullptr;
    QCheckBox* box = container ? container->findChild<QCheckBox*>() : nullptr;
    if (!box || box->isChecked())
        return cannot(QStringLiteral("the rule list shows no hidden first rule"));
    const Figures f = bench.measure(
        "rule", view,
        [store, name, view, glyph]() {
            return !store->rules.isEmpty() && store->rules.first().visible && store->ruleCounts.value(name) > 0
                   && showsGlyph(view, glyph);
        },
        [box]() { box->click(); });
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f matches=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, store->ruleCounts.value(name));
    if (editor)
        editor->window()->close();
    // The import's figures come last.
    std::printf(" import_ms=%.1f import_stall_ms=%.1f", import.actionMs, import.longestStallMs);
    return f.actionMs >= 0 && import.actionMs >= 0 && store->ruleCounts.value(name) > 0 ? 0 : 1;
}

int discoverAction(Bench& bench, const QString& capture)
{
    const QString path = QFileInfo(capture).absoluteFilePath();
    if (!QFileInfo(path).isReadable())
        return cannot(QStringLiteral("cannot read ") + capture);
    // As File ▸ Convert PCAP makes it; shown without a loop of its own.
    auto dialog = std::make_unique<ParseWidget>(bench.control(), nullptr);
    if (dialog->tsharkLabel->text().isEmpty())
        return cannot(QStringLiteral("no tshark found (settings.txt)"));
    dialog->show();
    benchsupport::waitForQuiet(*bench.window);

    answerFilesWith(path);
    QListWidget* fields = dialog->fieldList;
    QPushButton* open = dialog->openButton;
    const Figures f = bench.measure(
        "discover", fields, [fields]() { return fields->count() > 0; }, [open]() { open->click(); });
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f fields=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, fields->count());
    const bool listed = fields->count() > 0;
    dialog->close();
    return f.actionMs >= 0 && listed ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The sequence pane

void pressAt(QWidget* widget, const QPointF& at, QEvent::Type type)
{
    QMouseEvent e(type, at, widget->mapToGlobal(at.toPoint()), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &e);
}

// A click: the first of select_once's double click starts the matrix's
// click timer, the second, before it runs out, selects.
void clickAt(EventWidget* view, const QPointF& at)
{
    pressAt(view, at, QEvent::MouseButtonPress);
    pressAt(view, at, QEvent::MouseButtonRelease);
}

// Whether the pane has laid out the rows of every sequence the matrix
// has selected.
bool paneShowsSelection(SequenceWidget* pane, const EventWidget* view)
{
    return !view->selectedSequences.isEmpty() && !pane->building() && pane->shownCount() > 0
           && pane->lastSequences.size() == view->selectedSequences.size();
}

// Question boxes (the pane's about a large selection) are answered "Yes",
// the others "OK"; a failure box ends the run, the text of any other goes
// to stderr.
void answerYes()
{
    MessageAsker::setHandler([](const MessageAsker::Request& r) {
        benchsupport::endOnFailure(r);
        std::fprintf(stderr, "%s: message: %s\n", PROGRAM, qPrintable(r.text));
        return r.buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    });
}

double residentMb()
{
    return double(benchsupport::rssBytes()) / (1024.0 * 1024.0);
}

QString importRules(Bench& bench, const QString& rulesFile);

int paneAction(Bench& bench, bool selectFirst, const QString& rulesFile)
{
    EventWidget* view = bench.view;
    RibbonSequenceWidget* ribbon = bench.window->sequenceRibbon;
    RibbonEventWidget* events = bench.window->leftEventRibbon;
    QPushButton* button = events ? events->sequenceViewButton : nullptr;
    if (!ribbon || !button)
        return cannot(QStringLiteral("the window has no sequence pane"));
    if (ribbon->active || button->isChecked())
        return cannot(QStringLiteral("the sequence pane is open after the load"));
    if (!rulesFile.isEmpty()) {
        const QString problem = importRules(bench, rulesFile);
        if (!problem.isEmpty())
            return cannot(problem);
    }
    QPointF glyph;
    if (!firstGlyphAt(view, &glyph))
        return cannot(QStringLiteral("the matrix shows no glyph"));
    answerYes();
    SequenceWidget* pane = ribbon->sequenceView;

    Figures f;
    double paneMb = 0;
    if (selectFirst) {
        clickAt(view, glyph);
        clickAt(view, glyph);
        benchsupport::waitForQuiet(*bench.window);
        if (view->selectedPacketSet.isEmpty())
            return cannot(QStringLiteral("the double click selected nothing"));
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        const double before = residentMb();
        f = bench.measure(
            "pane", pane, [pane, view]() { return paneShowsSelection(pane, view); }, [button]() { button->click(); });
        paneMb = residentMb() - before;
    } else {
        button->click();
        benchsupport::waitForQuiet(*bench.window);
        if (!ribbon->active)
            return cannot(QStringLiteral("the \"SequenceView\" switch did not open the pane"));
        clickAt(view, glyph);
        f = bench.measure(
            "selectpane", pane, [pane, view]() { return paneShowsSelection(pane, view); },
            [view, glyph]() { clickAt(view, glyph); });
    }
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f rows=%d",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, pane->rows.size());
    if (selectFirst)
        std::printf(" pane_rss_mb=%.1f", paneMb);
    return f.actionMs >= 0 && pane->rows.size() > 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Conversation export

// The conversation files below `folder` and the lines they hold.
std::pair<int, qint64> conversationFiles(const QString& folder)
{
    int files = 0;
    qint64 lines = 0;
    QDirIterator walk(folder, QStringList{QStringLiteral("*.conv")}, QDir::Files | QDir::Hidden,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        QFile file(walk.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = file.readAll();
        ++files;
        lines += bytes.isEmpty() ? 0 : bytes.count('\n') + 1;
    }
    return {files, lines};
}

int exportAction(Bench& bench, const QString& log)
{
    const QString path = QFileInfo(log).absoluteFilePath();
    if (!QFileInfo(path).isReadable())
        return cannot(QStringLiteral("cannot read ") + log);
    QTemporaryDir target;
    if (!target.isValid())
        return cannot(QStringLiteral("no scratch folder in ") + QDir::tempPath());
    // As File ▸ Open CSV makes it; shown without a loop of its own.
    auto dialog = std::make_unique<OpenWidget>(bench.control());
    dialog->show();
    answerFilesWith(path);
    dialog->fileButton->click();
    if (!dialog->stream || !dialog->stream->header().contains(QStringLiteral("sip.Call-ID")))
        return cannot(log + QStringLiteral(" has no column sip.Call-ID"));
    benchsupport::waitForQuiet(*bench.window);

    answerFilesWith(target.path());
    // A run that a failure box ends leaves no scratch folder behind either.
    const QString targetPath = target.path();
    benchsupport::setCleanupOnEnd([targetPath]() { QDir(targetPath).removeRecursively(); });
    QElapsedTimer clock;
    clock.start();
    benchsupport::StallWatch stalls(clock, "ACTION_STALL_TRACE");
    double endMs = -1;
    // A box runs an event loop of its own: the stall that runs ends there.
    // "Export failed: ..." ends the run as a failure box.
    MessageAsker::setHandler([&clock, &stalls, &endMs](const MessageAsker::Request& request) {
        stalls.shot();
        benchsupport::endOnFailure(request);
        if (request.text == QLatin1String("Export successful!") && endMs < 0)
            endMs = double(clock.nsecsElapsed()) / 1e6;
        return QMessageBox::Ok;
    });
    if (!qEnvironmentVariableIsEmpty("ACTION_STALL_TRACE"))
        std::fprintf(stderr, "%s: export\n", PROGRAM);
    if (bench.perf)
        bench.perf->command("enable");
    clock.restart();
    stalls.start();
    dialog->exportButton->click();
    stalls.shot();
    QElapsedTimer wait;
    wait.start();
    while (endMs < 0 && wait.elapsed() < RESULT_WAIT_MS)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (bench.perf)
        bench.perf->command("disable");
    benchsupport::settle(400);
    stalls.stop();
    benchsupport::answerWithOk();

    Figures f;
    if (endMs >= 0) {
        f.actionMs = endMs;
        const benchsupport::StallWatch::Stall during = stalls.longestBetween(0, endMs + 0.001);
        f.longestStallMs = during.ms;
        f.longestStallAtMs = during.endMs;
        f.settleStallMs = stalls.longestBetween(endMs + 0.001, 1e12).ms;
    } else {
        std::fprintf(stderr, "%s: export: never ended\n", PROGRAM);
        f.longestStallMs = stalls.longestMs;
        f.longestStallAtMs = stalls.longestAtMs;
    }
    const std::pair<int, qint64> written = conversationFiles(target.path());
    std::printf("action_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f settle_stall_ms=%.1f files=%d "
                "lines=%lld",
                f.actionMs, f.longestStallMs, f.longestStallAtMs, f.settleStallMs, written.first,
                written.second);
    dialog.reset();
    benchsupport::setCleanupOnEnd({});
    return endMs >= 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// align:RULESFILE:CONDITION

// Notes when a progress dialog is first painted, or a message first asked
// for, on a clock of the action's own (-1: never).
class AnswerWatch : public QObject
{
public:
    explicit AnswerWatch(const QElapsedTimer& clock)
        : clock(clock)
    {
        qApp->installEventFilter(this);
    }
    ~AnswerWatch() override { qApp->removeEventFilter(this); }

    void note()
    {
        if (firstMs < 0 && clock.isValid())
            firstMs = double(clock.nsecsElapsed()) / 1e6;
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && watched->isWidgetType()
            && qobject_cast<QProgressDialog*>(static_cast<QWidget*>(watched)->window()))
            note();
        return false;
    }

    double firstMs = -1;

private:
    const QElapsedTimer& clock;
};

// The rule window's "Import" of rulesFile; the rules stay visible or hidden
// as the file says. Empty, or why it could not be done.
QString importRules(Bench& bench, const QString& rulesFile)
{
    const QString path = QFileInfo(rulesFile).absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read ") + rulesFile;
    const RulesFile read = RulesFile::fromBytes(file.readAll());
    if (read.rules.isEmpty())
        return rulesFile + QStringLiteral(" holds no rule");
    const QWidgetList before = QApplication::topLevelWidgets();
    bench.window->settingsWidget->ruleButton->click();
    QPointer<RuleEditorWidget> editor = newWindow<RuleEditorWidget>(before);
    if (!editor)
        return QStringLiteral("\"Rules\" opened no rule window");
    benchsupport::waitForQuiet(*bench.window);
    answerFilesWith(path);
    editor->importAction->trigger();
    benchsupport::waitForQuiet(*bench.window);
    GlyphStore* store = bench.store();
    const bool imported = !store->rules.isEmpty() && store->rules.first().name == read.rules.first().name;
    if (editor)
        editor->window()->close();
    benchsupport::waitForQuiet(*bench.window);
    return imported ? QString() : QStringLiteral("the rule window imported nothing from ") + rulesFile;
}

// The find window's "Find" of one "WildCard" glyph with the condition; the
// number of events selected, or -1 with the reason in problem.
int selectFound(Bench& bench, const QString& condition, QString* problem)
{
    GlyphStore* store = bench.store();
    int error = 0;
    ParseNode* tree = ConditionParser::parse(condition, &store->attributeColumns, &error);
    if (!tree) {
        *problem = QStringLiteral("the condition does not read: ") + condition;
        return -1;
    }
    const QWidgetList before = QApplication::topLevelWidgets();
    bench.window->settingsWidget->findButton->click();
    QPointer<SearchWidget> search = newWindow<SearchWidget>(before);
    if (!search) {
        delete tree;
        *problem = QStringLiteral("\"Find\" opened no find window");
        return -1;
    }
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->setGlyph(store->findGlyph(QStringLiteral("WildCard")));
    delete leaf->glyph.condition;
    leaf->glyph.condition = tree;
    leaf->glyph.quantifier = 0;
    auto* pattern = new ParseNode(ParseNode::And);
    pattern->addChild(leaf);
    search->editor->map->setRoot(pattern);
    benchsupport::waitForQuiet(*bench.window);
    search->findButton->click();
    benchsupport::waitForQuiet(*bench.window);
    if (search)
        search->close();
    benchsupport::waitForQuiet(*bench.window);
    return bench.view->selectedPacketSet.size();
}

// Writes the rows' glyphs (gaps left out, empty rows too) as FASTA, one
// letter per glyph name in the order the names first come; false when the
// file cannot be written or there are more names than letters.
bool writeFasta(const QString& path, const TList<TList<BinItem*>>& rows, int* names)
{
    static const char LETTERS[] = "ACDEFGHIKLMNPQRSTVWYBZXJUO";
    QHash<QString, char> letterOf;
    QByteArray text;
    int written = 0;
    for (const TList<BinItem*>& row : rows) {
        QByteArray letters;
        for (const BinItem* item : row) {
            if (SequenceWidget::isGap(item))
                continue;
            const QString name = item ? item->name : QString();
            auto found = letterOf.constFind(name);
            if (found == letterOf.constEnd()) {
                if (letterOf.size() >= int(sizeof LETTERS) - 1) {
                    *names = letterOf.size() + 1;
                    return false;
                }
                found = letterOf.insert(name, LETTERS[letterOf.size()]);
            }
            letters += found.value();
        }
        if (letters.isEmpty())
            continue;
        text += ">s" + QByteArray::number(written++) + '\n' + letters + '\n';
    }
    *names = letterOf.size();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

int alignAction(Bench& bench, const QString& argument)
{
    const int colon = argument.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return cannot(QStringLiteral("align takes RULESFILE:CONDITION"));
    const QString rulesFile = argument.left(colon);
    const QString condition = argument.mid(colon + 1);
    RibbonSequenceWidget* ribbon = bench.window->sequenceRibbon;
    RibbonEventWidget* left = bench.window->leftEventRibbon;
    if (!ribbon || !left || !left->sequenceViewButton)
        return cannot(QStringLiteral("the window has no sequence pane"));
    SequenceWidget* view = ribbon->sequenceView;

    QString problem = importRules(bench, rulesFile);
    if (!problem.isEmpty())
        return cannot(problem);
    if (selectFound(bench, condition, &problem) <= 0)
        return cannot(problem.isEmpty() ? QStringLiteral("the find selected nothing") : problem);
    if (!left->sequenceViewButton->isChecked())
        left->sequenceViewButton->click();
    // The pane builds a large selection in parts, between turns of the
    // event loop.
    QElapsedTimer built;
    built.start();
    while (view->building() && built.elapsed() < RESULT_WAIT_MS)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    benchsupport::waitForQuiet(*bench.window);
    if (!ribbon->active || view->rows.isEmpty() || view->building())
        return cannot(QStringLiteral("the sequence pane shows no sequence"));
    if (ribbon->alignmentButton->isChecked())
        return cannot(QStringLiteral("the alignment is on already"));

    const int distinct = view->rows.size();
    int longest = 0;
    for (const TList<BinItem*>& row : view->rows) {
        int glyphs = 0;
        for (const BinItem* item : row)
            glyphs += !SequenceWidget::isGap(item);
        longest = std::max(longest, glyphs);
    }
    const double mib = 1024.0 * 1024.0;
    benchsupport::resetPeak();
    const double loadedMb = double(benchsupport::rssBytes()) / mib;
    QElapsedTimer answerClock;
    AnswerWatch answer(answerClock);
    // The alignment's refusal for want of memory that can be spared is one
    // of its results; a failure box ends the run.
    MessageAsker::setHandler([&answer](const MessageAsker::Request& request) {
        answer.note();
        benchsupport::endOnFailure(request);
        std::fprintf(stderr, "%s: message: %s\n", PROGRAM, qPrintable(request.text));
        return QMessageBox::Ok;
    });
    QPushButton* button = ribbon->alignmentButton;
    const Figures f = bench.measure(
        "align", view, [view]() { return !view->isAligning(); },
        [&answerClock, button]() {
            answerClock.start();
            button->click();
        });
    benchsupport::answerWithOk();
    const double peakMb = double(benchsupport::peakRssBytes()) / mib;
    double first = f.actionMs;
    if (answer.firstMs >= 0 && (first < 0 || answer.firstMs < first))
        first = answer.firstMs;
    const bool aligned = view->msaOn && button->isChecked();

    int names = 0;
    const QString fasta = qEnvironmentVariable("ALIGN_FASTA");
    bool written = true;
    if (!fasta.isEmpty())
        written = writeFasta(fasta, view->rows, &names);
    QSet<QString> nameSet;
    for (const TList<BinItem*>& row : view->rows)
        for (const BinItem* item : row)
            if (!SequenceWidget::isGap(item))
                nameSet.insert(item ? item->name : QString());
    std::printf("action_ms=%.1f longest_stall_ms=%.1f first_answer_ms=%.1f sequences=%d aligned=%d columns=%d "
                "peak_rss_mb=%.0f loaded_rss_mb=%.0f settle_stall_ms=%.1f glyph_names=%d longest_sequence=%d",
                f.actionMs, f.longestStallMs, first, distinct, aligned ? 1 : 0, view->columnCount(), peakMb,
                loadedMb, f.settleStallMs, int(nameSet.size()), longest);
    if (!written)
        std::fprintf(stderr, "%s: %s not written (%d glyph names)\n", PROGRAM, qPrintable(fasta), names);
    return f.actionMs >= 0 && written ? 0 : 1;
}

// ---------------------------------------------------------------------------
// ACTION_STALL_BEFORE and what every action leaves

// Waits until the open pane has built its rows, then for the window's
// quiet.
void waitForPane(Bench& bench)
{
    RibbonSequenceWidget* ribbon = bench.window->sequenceRibbon;
    SequenceWidget* pane = ribbon ? ribbon->sequenceView : nullptr;
    QElapsedTimer wait;
    wait.start();
    while (pane && pane->building() && wait.elapsed() < RESULT_WAIT_MS)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    benchsupport::waitForQuiet(*bench.window);
}

// The steps of ACTION_STALL_BEFORE, in order, each waited for until
// nothing of it runs; empty, or why a step could not be done.
QString runBefore(Bench& bench, const QString& steps)
{
    answerYes();
    for (const QString& step : steps.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (step.startsWith(QLatin1String("rules:"))) {
            const QString problem = importRules(bench, step.mid(6));
            if (!problem.isEmpty())
                return problem;
        } else if (step == QLatin1String("select")) {
            EventWidget* view = bench.view;
            QPointF glyph;
            if (!firstGlyphAt(view, &glyph))
                return QStringLiteral("the matrix shows no glyph");
            clickAt(view, glyph);
            clickAt(view, glyph);
            waitForPane(bench);
            if (view->selectedPacketSet.isEmpty())
                return QStringLiteral("the double click selected nothing");
            continue;
        } else if (step == QLatin1String("pane")) {
            RibbonEventWidget* events = bench.window->leftEventRibbon;
            QPushButton* button = events ? events->sequenceViewButton : nullptr;
            if (!bench.window->sequenceRibbon || !button)
                return QStringLiteral("the window has no sequence pane");
            if (!button->isChecked())
                button->click();
            if (!bench.window->sequenceRibbon->active)
                return QStringLiteral("the \"SequenceView\" switch did not open the pane");
        } else {
            return QStringLiteral("ACTION_STALL_BEFORE takes rules:FILE, select and pane, not ") + step;
        }
        waitForPane(bench);
    }
    benchsupport::answerWithOk();
    return QString();
}

// The events the status bar says are selected ("Selected messages: N"),
// -1 when it says nothing of them.
qint64 statusSelected(Bench& bench)
{
    const QLabel* label = bench.control()->statusLabel;
    const QString text = label ? label->text() : QString();
    const QString key = QStringLiteral("Selected messages: ");
    const int at = text.indexOf(key);
    if (at < 0)
        return -1;
    int end = at + key.size();
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    return text.mid(at + key.size(), end - at - key.size()).toLongLong();
}

// The rows the open pane shows (0 when it is closed or empty).
int paneRows(Bench& bench)
{
    RibbonSequenceWidget* ribbon = bench.window->sequenceRibbon;
    return ribbon && ribbon->active && ribbon->sequenceView ? ribbon->sequenceView->rows.size() : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int scratch = benchsupport::runInScratchFolder(argc, argv);
    if (scratch >= 0)
        return scratch;
    benchsupport::preferOffscreen();
    Application app(argc, argv);
    QString path;
    QString grouping;
    QString action;
    if (!benchsupport::takeLogArguments(PROGRAM, &path, &grouping, &action))
        return 2;
    const int colon = action.indexOf(QLatin1Char(':'));
    const QString kind = colon < 0 ? action : action.left(colon);
    const QString argument = colon < 0 ? QString() : action.mid(colon + 1);
    const bool needsArgument = kind != QLatin1String("stack") && kind != QLatin1String("unstack")
                               && kind != QLatin1String("pane") && kind != QLatin1String("selectpane");
    const bool optionalArgument = kind == QLatin1String("pane") || kind == QLatin1String("selectpane");
    static const QStringList kinds{QStringLiteral("group"), QStringLiteral("ungroup"), QStringLiteral("stack"),
                                   QStringLiteral("unstack"), QStringLiteral("find"), QStringLiteral("rule"),
                                   QStringLiteral("discover"), QStringLiteral("pane"), QStringLiteral("selectpane"),
                                   QStringLiteral("export"), QStringLiteral("align"), QStringLiteral("glyphsize")};
    if (!kinds.contains(kind) || (!optionalArgument && needsArgument == argument.isEmpty()))
        return cannot(QStringLiteral("ACTION is one of group:ATTRIBUTE, ungroup:ATTRIBUTE, stack, unstack, "
                                     "find:CONDITION, rule:RULESFILE, discover:CAPTURE, pane[:RULESFILE], "
                                     "selectpane[:RULESFILE], "
                                     "export:LOG, align:RULESFILE:CONDITION, glyphsize:ATTRIBUTE"));

    int status = 1;
    {
        MainWindow window;
        EventWidget* view = benchsupport::showLogWindow(PROGRAM, window, grouping);
        if (!view)
            return 2;
        const Context* root = view->context;
        const int events = root ? root->packets.size() : 0;
        const int traces = root ? root->conversations.size() : 0;

        PerfControl perf;
        Bench bench;
        bench.window = &window;
        bench.view = view;
        bench.perf = &perf;
        const QString before = qEnvironmentVariable("ACTION_STALL_BEFORE");
        const QString problem = before.isEmpty() ? QString() : runBefore(bench, before);
        if (!problem.isEmpty())
            status = cannot(problem);
        else if (kind == QLatin1String("group") || kind == QLatin1String("ungroup"))
            status = groupAction(bench, argument, kind == QLatin1String("ungroup"));
        else if (kind == QLatin1String("stack") || kind == QLatin1String("unstack"))
            status = stackAction(bench, kind == QLatin1String("stack"));
        else if (kind == QLatin1String("find"))
            status = findAction(bench, argument);
        else if (kind == QLatin1String("rule"))
            status = ruleAction(bench, argument);
        else if (kind == QLatin1String("pane") || kind == QLatin1String("selectpane"))
            status = paneAction(bench, kind == QLatin1String("pane"), argument);
        else if (kind == QLatin1String("export"))
            status = exportAction(bench, argument);
        else if (kind == QLatin1String("align"))
            status = alignAction(bench, argument);
        else if (kind == QLatin1String("glyphsize"))
            status = glyphSizeAction(bench, argument);
        else
            status = discoverAction(bench, argument);
        if (status != 2) {
            // find's line holds the events it selected already.
            if (kind != QLatin1String("find"))
                std::printf(" selected=%lld", statusSelected(bench));
            std::printf(" pane_rows=%d events=%d traces=%d\n", paneRows(bench), events, traces);
            std::fflush(stdout);
        }
        settle(100);
    }
    benchsupport::stopAnswering();
    return status;
}
