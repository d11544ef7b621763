// Loads a log into the whole main window once, in this fresh process, and
// tells how long the window did not answer meanwhile. Prints one line:
//
//   load_ms=… longest_stall_ms=… longest_stall_at_ms=… events=… traces=…
//
//   load_stall PATH GROUPING
//
// The log is opened in the import dialog and loaded with "Open" (grouped by
// GROUPING, the dialog's other choices as it makes them) into the main
// window, with the event matrix at 1600 x 900 (offscreen unless
// QT_QPA_PLATFORM asks for another platform), as select_once loads it.
//
// load_ms runs from "Open" to the end of the first paint of the event matrix
// with the new log. longest_stall_ms is the longest time the GUI thread did
// not come back to an event loop (the progress dialogs' loops included),
// from "Open" until the work the load started in the background (the
// overview strip, the side panel's histograms) has ended and its results
// are on screen; longest_stall_at_ms is when that stall ended, counted from
// "Open". With LOAD_STALL_TRACE=MS in the environment every stall longer
// than MS milliseconds is written to stderr as it ends.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

namespace {

using benchsupport::settle;

constexpr const char* PROGRAM = "load_stall";

// A timer that fires every millisecond in whichever event loop of the GUI
// thread runs: the time between two of its shots is a time the thread did
// not come back to an event loop (plus the millisecond).
class StallWatch : public QObject
{
public:
    explicit StallWatch(const QElapsedTimer& clock)
        : clock(clock)
    {
        const QByteArray trace = qgetenv("LOAD_STALL_TRACE");
        traceMs = trace.isEmpty() ? -1.0 : trace.toDouble();
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, this, [this]() { shot(); });
    }

    void start()
    {
        last = clock.nsecsElapsed();
        timer.start();
    }
    void stop() { timer.stop(); }

    // A shot now, as if the timer had fired: ends the stall that runs.
    void shot()
    {
        const qint64 now = clock.nsecsElapsed();
        const double gap = double(now - last) / 1e6;
        if (gap > longestMs) {
            longestMs = gap;
            longestAtMs = double(now) / 1e6;
        }
        if (traceMs >= 0 && gap > traceMs)
            std::fprintf(stderr, "stall %.1f ms ending at %.1f ms\n", gap, double(now) / 1e6);
        last = now;
        if (onShot)
            onShot(double(now) / 1e6);
    }

    double longestMs = 0;
    double longestAtMs = 0;
    std::function<void(double)> onShot;

private:
    const QElapsedTimer& clock;
    QTimer timer;
    qint64 last = 0;
    double traceMs = -1;
};

// Notes the first paint of the event matrix that shows the log loaded;
// the next shot of the stall watch (the paint done) ends the load.
class PaintWatch : public QObject
{
public:
    PaintWatch(EventWidget* view, ControlWidget* control)
        : view(view)
        , control(control)
    {
        view->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (watched == view && e->type() == QEvent::Paint && !painting && control->glyphStore
            && view->context && view->context == control->glyphStore->rootContext
            && !view->context->packets.isEmpty())
            painting = true;
        return false;
    }

    bool painting = false;

private:
    EventWidget* view;
    ControlWidget* control;
};

// Waits until the overview strip has drawn the matrix and the side panels'
// histogram jobs have ended.
void waitForQuiet(MainWindow& window, EventOverviewWidget* overview)
{
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        while (overview && overview->isRunning() && clock.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        SettingsWidget* side = window.settingsWidget;
        for (AttributeWidget* panel :
             {side ? static_cast<AttributeWidget*>(side->attributeWidget) : nullptr,
              side ? static_cast<AttributeWidget*>(side->conversationWidget) : nullptr})
            while (panel && panel->pool->activeThreadCount() > 0 && clock.elapsed() < 120000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        settle(400);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int scratch = benchsupport::runInScratchFolder(argc, argv);
    if (scratch >= 0)
        return scratch;
    // Offscreen unless another platform is asked for (a real X server).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString path;
    QString grouping;
    if (!benchsupport::takeLogArguments(PROGRAM, &path, &grouping))
        return 2;

    int status = 1;
    {
        MainWindow window;
        EventWidget* view = benchsupport::showMatrixWindow(PROGRAM, window);
        if (!view)
            return 2;

        QElapsedTimer clock;
        clock.start();
        StallWatch stalls(clock);
        PaintWatch paints(view, window.controlWidget);
        double loadMs = -1;
        stalls.onShot = [&](double now) {
            if (loadMs < 0 && paints.painting)
                loadMs = now;
        };
        {
            auto* dialog = new OpenWidget(window.controlWidget);
            if (!benchsupport::prepareImport(PROGRAM, *dialog, grouping))
                return 2;

            // "Open", then the dialog goes as "Open CSV" lets it go.
            clock.restart();
            stalls.start();
            dialog->import();
            delete dialog;
        }
        // Back in the event loop from here.
        stalls.shot();
        EventOverviewWidget* overview =
            window.leftOverviewRibbon ? window.leftOverviewRibbon->overview : nullptr;
        QElapsedTimer wait;
        wait.start();
        while (loadMs < 0 && wait.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        waitForQuiet(window, overview);
        stalls.stop();

        const Context* root = view->context;
        const int events = root ? root->packets.size() : 0;
        const int traces = root ? root->conversations.size() : 0;
        std::printf("load_ms=%.1f longest_stall_ms=%.1f longest_stall_at_ms=%.1f events=%d traces=%d\n",
                    loadMs, stalls.longestMs, stalls.longestAtMs, events, traces);
        std::fflush(stdout);
        status = loadMs >= 0 && events > 0 ? 0 : 1;
        if (loadMs < 0)
            std::fprintf(stderr, "load_stall: the matrix never showed the log\n");
    }
    benchsupport::stopAnswering();
    return status;
}
