// The overview strip end to end over a context of 10000 traces x 80
// events: the matrix takes the context in its ribbon (laid out as on the
// first load, 1397 x 800, shown), then one overview pass runs from the
// matrix's render request to the stacked image on screen. Reported: the
// pass's wall time, the largest gap of the GUI loop during the pass
// (a 10 ms timer that records how late it fires), the stacked image's
// height and the peak memory of the process.
//
// Each benchmark runs once, in a process of its own, so the figures are
// those of a first run. Data shapes: every cell of one matrix ("All", both
// axes "none"), the traces spread over 50 cells by a trace attribute, and
// stacked rows ("patterns": every trace one of 10 sequences).
//
// Targets: a pass 10 s, the largest gap 300 ms, peak memory 2 GB.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "events/RenderEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/BinCell.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"

namespace {

constexpr int TRACES = 10000;
constexpr int EVENTS = 80;
constexpr int KINDS = 5;
constexpr int SOURCES = 50;

double megabytes(std::size_t bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

struct Setup
{
    // patterns = 0: every event random; otherwise every trace is one of
    // that many sequences.
    explicit Setup(int patterns)
        : control(new ControlWidget(nullptr))
    {
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                            QStringLiteral("kind"), QStringLiteral("size")},
                             TList<int>{0, 3, 3, 1});
        std::vector<TVariant> kinds;
        for (int k = 0; k < KINDS; ++k)
            kinds.emplace_back(QStringLiteral("k%1").arg(k), false);
        std::vector<TVariant> sources;
        for (int s = 0; s < SOURCES; ++s)
            sources.emplace_back(QStringLiteral("10.0.0.%1").arg(s), false);
        const TList<QSharedPointer<Packet>> events =
            benchsupport::patternedEvents(TRACES, EVENTS, kinds, sources, patterns, 17);
        context = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = context;

        options.reset(new OptionsWidget(control.get(), nullptr));
        ribbon.reset(new RibbonEventWidget(control.get(), options.get(), 0, nullptr));
        overviewRibbon = new RibbonEventOverviewWidget(control.get(), ribbon->view, nullptr);
        ribbon->overviewRibbon = overviewRibbon;
        options->view = ribbon->view;
        strip = overviewRibbon->overview;

        // As the first load does it.
        NO_DATA = true;
        ribbon->view->context = context;
        ribbon->buildControls();
        options->connectSignals();
        ribbon->resize(1397, 800);
        ribbon->show();
        QCoreApplication::processEvents();
        strip->resizeTimer->stop();
    }

    ~Setup()
    {
        ribbon.reset();
        delete overviewRibbon;
        options.reset();
        control.reset();
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<RibbonEventWidget> ribbon;
    RibbonEventOverviewWidget* overviewRibbon = nullptr;
    EventOverviewWidget* strip = nullptr;
    Context* context = nullptr;
};

void pass(benchmark::State& state, int patterns, const char* yAxis, bool stacked)
{
    Setup setup(patterns);
    EventWidget* view = setup.ribbon->view;
    view->setContext(setup.context);
    if (yAxis)
        view->changeYAxis(QString::fromLatin1(yAxis), true);
    if (stacked)
        view->setStack(true);
    QCoreApplication::processEvents();
    // Whatever the set-up asked of the strip is over before the pass.
    while (setup.strip->isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    setup.strip->resizeTimer->stop();

    qint64 largestGap = 0;
    qint64 passMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        QElapsedTimer sinceTick;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&]() {
            largestGap = std::max(largestGap, sinceTick.restart());
        });
        clock.start();
        sinceTick.start();
        ticker.start();
        // What the matrix sends after it has rebuilt its cells.
        RenderEvent render(view, {QStringLiteral("OverviewWidget"), 0});
        QCoreApplication::sendEvent(setup.strip, &render);
        QCoreApplication::processEvents();
        while (setup.strip->isRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        passMs = clock.elapsed();
        largestGap = std::max(largestGap, sinceTick.elapsed());
        ticker.stop();
        state.SetIterationTime(double(passMs) / 1000.0);
    }
    state.counters["pass_ms"] = double(passMs);
    state.counters["largest_gap_ms"] = double(largestGap);
    state.counters["peak_rss_MB"] = megabytes(benchsupport::peakRssBytes());
    state.counters["cells"] = view->cells.size();
    state.counters["strip_width"] = setup.strip->width();
    state.counters["stacked_height"] = setup.strip->stackedImage.height();
}

} // namespace

BENCHMARK_CAPTURE(pass, all_random, 0, nullptr, false)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pass, by_source_random, 0, "conv.src", false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pass, stacked_patterns, 10, nullptr, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The matrix logs a line per step; the figures are what matters here.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"pass/all_random", "pass/by_source_random", "pass/stacked_patterns"});
}
