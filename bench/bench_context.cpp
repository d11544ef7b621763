// Building the root context of a large generated log on the context worker,
// and removing a share of its events then reverting.

#include "BenchSupport.h"

#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/ValueInterner.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "model/ContextWorker.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

const int kEvents = 800000;
const int kColumns = 14;
const int kTraces = 20000;
const int kRemoved = 100000;

using Packets = TList<QSharedPointer<Packet>>;

// The parsed log: events grouped into traces by source address (the
// generator draws one source per trace), and the store set up for it as a
// load does.
struct Log
{
    std::unique_ptr<GlyphStore> store;
    Packets events;
    int traces = 0;
};

Log& theLog()
{
    static Log* loaded = nullptr;
    if (loaded)
        return *loaded;
    loaded = new Log;
    loaded->store.reset(new GlyphStore);
    GlyphStore* store = loaded->store.get();

    QFile file(benchsupport::generatedLog(kEvents, kColumns, kTraces));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read the generated log\n");
        std::exit(1);
    }
    const QStringList header = QString::fromUtf8(file.readLine()).trimmed().split(',');
    TList<int> kinds;
    for (const QString& name : header) {
        const bool text = name == "ip.src" || name == "ip.dst" || name == "frame.protocols"
                          || name == "smb2.filename" || name == "http.method";
        kinds.append(text ? 3 : 1);
    }
    store->resetConversationAttributes();
    store->setAttributes(TList<QString>(header), kinds);

    const int srcColumn = header.indexOf("ip.src");
    ValueInterner values;
    QHash<QString, int> traceOf;
    loaded->events.items.reserve(kEvents);
    while (!file.atEnd()) {
        const QStringList fields = QString::fromUtf8(file.readLine()).trimmed().split(',');
        // Events share one value table, as a load makes them.
        std::vector<quint32> row(std::size_t(fields.size()));
        for (int c = 0; c < fields.size(); ++c)
            row[std::size_t(c)] = values.text(c, fields.at(c), &store->textPool);
        QSharedPointer<Packet> p = values.packet(row.data(), int(row.size()));
        auto it = traceOf.find(fields.value(srcColumn));
        if (it == traceOf.end())
            it = traceOf.insert(fields.value(srcColumn), traceOf.size());
        p->conversationId = it.value();
        loaded->events.append(p);
    }
    loaded->traces = traceOf.size();
    return *loaded;
}

// Runs the worker on its own thread, as the loader does, and counts the
// label texts and progress steps it reports.
struct Run
{
    std::atomic<int> eventLabels{0};
    std::atomic<int> traceLabels{0};
    std::atomic<int> fixedLabels{0};
    std::atomic<int> otherLabels{0};
    std::atomic<int> lastProgress{-1};
    // CPU time of the worker thread from progress 0 to 4: on a busy
    // machine wall time says more about the neighbours than about the work.
    std::atomic<double> cpuStart{0};
    std::atomic<double> cpuMs{0};
};

double threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void compute(Context* ctx, Run& run)
{
    QObject::connect(ctx, &Context::setLabelText, ctx, [&run](const QString& text) {
        if (text.startsWith("Initializing histograms packets "))
            ++run.eventLabels;
        else if (text.startsWith("Initializing histograms conversations "))
            ++run.traceLabels;
        else if (text == "Initializing histograms" || text == "Building conversation data")
            ++run.fixedLabels;
        else
            ++run.otherLabels;
    }, Qt::DirectConnection);
    QObject::connect(ctx, &Context::progress, ctx, [&run](int v) {
        run.lastProgress = v;
        if (v == 0)
            run.cpuStart = threadCpuMs();
        else if (v == 4)
            run.cpuMs = threadCpuMs() - run.cpuStart;
    }, Qt::DirectConnection);

    QThread thread;
    ContextWorker worker(ctx);
    worker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &worker, &ContextWorker::loadData);
    QObject::connect(&thread, &QThread::started, &thread, [&thread] { thread.quit(); },
                     Qt::DirectConnection);
    thread.start();
    thread.wait();
}

void BM_RootContextOnWorker(benchmark::State& state)
{
    Log& l = theLog();
    const int expectedEventLabels = (l.events.size() + 999) / 1000;
    const int expectedTraceLabels = (l.traces + 99) / 100;
    double cpuMs = 0;
    for (auto _ : state) {
        std::unique_ptr<Context> ctx(new Context(nullptr, "All", l.events, l.store.get(), false));
        Run run;
        compute(ctx.get(), run);
        if (run.eventLabels != expectedEventLabels || run.traceLabels != expectedTraceLabels
            || run.fixedLabels != 2 || run.otherLabels != 0 || run.lastProgress != 4
            || ctx->conversationCount() != l.traces) {
            state.SkipWithError("label emissions or result not as specified");
            break;
        }
        cpuMs += run.cpuMs;
        state.PauseTiming();
        ctx.reset();
        state.ResumeTiming();
    }
    state.counters["worker_cpu_ms"] = cpuMs / std::max<double>(1, state.iterations());
    state.counters["events"] = l.events.size();
    state.counters["traces"] = l.traces;
    state.counters["labels"] = expectedEventLabels + expectedTraceLabels + 2;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

void BM_RemoveAndRevert(benchmark::State& state)
{
    Log& l = theLog();
    std::unique_ptr<Context> ctx(new Context(nullptr, "All", l.events, l.store.get(), false));
    Run run;
    compute(ctx.get(), run);

    // Every eighth event, listed in a shuffled order.
    Packets removed;
    for (int i = 0; i < l.events.size() && removed.size() < kRemoved; i += 8)
        removed.append(l.events.at(i));
    std::shuffle(removed.items.begin(), removed.items.end(), *QRandomGenerator::global());

    for (auto _ : state) {
        l.store->filterContext(ctx.get(), removed);
        if (ctx->packets.size() != l.events.size() - removed.size()) {
            state.SkipWithError("removal left the wrong number of events");
            break;
        }
        ctx->revert();
        if (ctx->packets.size() != l.events.size() || ctx->modified) {
            state.SkipWithError("revert did not restore the context");
            break;
        }
    }
    state.counters["removed"] = removed.size();
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

} // namespace

BENCHMARK(BM_RootContextOnWorker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RemoveAndRevert)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The context writes a few debug lines per run; keep the report readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
