// The Gantt chart of 10000 conversations: laying the bars out in lanes at a
// new size (target: at most 100 ms, the render included) and one render of
// the content (target: at most 16 ms), on three shapes of conversations:
// random overlapping ones, deeply nested ones and disjoint ones in a row.
#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/charts/GanttWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int CONVERSATIONS = 10000;

enum Shape { Random = 0, Nested = 1, Disjoint = 2 };

const char* shapeName(int shape)
{
    return shape == Random ? "random" : shape == Nested ? "nested" : "disjoint";
}

// Two events (start and end) per conversation.
TList<QSharedPointer<Packet>> conversations(int shape)
{
    QRandomGenerator rng(7);
    TList<QSharedPointer<Packet>> events;
    const double t0 = 1700000000;
    for (int id = 0; id < CONVERSATIONS; ++id) {
        double from = t0;
        double to = t0;
        if (shape == Random) {
            from = t0 + rng.bounded(86400);
            to = from + rng.bounded(3600);
        } else if (shape == Nested) {
            from = t0 + id;
            to = t0 + 2.0 * CONVERSATIONS - id;
        } else {
            from = t0 + 10.0 * id;
            to = from + 5;
        }
        for (double t : {from, to}) {
            QSharedPointer<Packet> p(new Packet(TList<TVariant>({TVariant(t), TVariant(id)})));
            p->conversationId = id;
            events.append(p);
        }
    }
    return events;
}

void BM_GanttLayoutAndRender(benchmark::State& state)
{
    const int shape = int(state.range(0));
    ControlWidget control(nullptr);
    GlyphStore* store = control.glyphStore;
    store->resetConversationAttributes();
    store->setAttributes(TList<QString>({TIME_ATTRIBUTE, QStringLiteral("id")}), TList<int>({1, 0}));
    std::unique_ptr<Context> context(
        new Context(nullptr, QStringLiteral("temp"), conversations(shape), store, true));

    GanttWidget chart(&control, nullptr);
    chart.resize(1200, 800);
    chart.setData(context.get(), true, false);

    double firstLayoutMs = -1;
    double layoutMs = 0;
    double renderMs = 0;
    int width = 1200;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        width = width == 1200 ? 1199 : 1200;   // a new size every time
        chart.setSize(width, 800);
        layoutMs = clock.nsecsElapsed() / 1e6;
        if (firstLayoutMs < 0)
            firstLayoutMs = layoutMs;
        clock.restart();
        chart.render(false, false, nullptr);
        renderMs = clock.nsecsElapsed() / 1e6;
    }
    state.counters["first_layout_ms"] = firstLayoutMs;
    state.counters["layout_ms"] = layoutMs;
    state.counters["render_ms"] = renderMs;
    state.SetLabel(std::string(shapeName(shape))
                   + (firstLayoutMs <= 100 && layoutMs <= 100 ? ", layout within 100 ms"
                                                              : ", layout OVER 100 ms")
                   + (renderMs <= 16 ? ", render within 16 ms" : ", render OVER 16 ms"));
}
BENCHMARK(BM_GanttLayoutAndRender)
    ->Arg(Random)->Arg(Nested)->Arg(Disjoint)
    ->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("peak RSS: %.1f MB\n", benchsupport::peakRssBytes() / 1048576.0);
    return 0;
}
