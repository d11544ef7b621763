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
//
// The exit status is 0 when the matrix showed the log, 1 when it never did,
// 2 when the run cannot be done on this log (a line on stderr says why),
// and 3 when a message box that tells of a failure of the load ended the
// run at once ("load_stall: message: TITLE: TEXT" on stderr).

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/EventWidget.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr const char* PROGRAM = "load_stall";

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
        benchsupport::StallWatch stalls(clock, "LOAD_STALL_TRACE");
        // The first paint of the matrix that shows the log loaded.
        ControlWidget* control = window.controlWidget;
        benchsupport::PaintWatch paints(view, [view, control]() {
            return control->glyphStore && view->context && view->context == control->glyphStore->rootContext
                   && !view->context->packets.isEmpty();
        });
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
        QElapsedTimer wait;
        wait.start();
        while (loadMs < 0 && wait.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        benchsupport::waitForQuiet(window);
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
