// The attribute panels: a layout of 15 histograms over 800000 events with
// one, two and all pool threads; one histogram computed over 1000000
// events; the "Relevance" order of 30 attributes over 1000000 events with
// 100000 selected; and a render that finds its image locked.
//
// Two shapes of data: a generated network log read as a load reads it
// (values shared through one value table, a time column with a distinct
// value per event), and events made in memory with few distinct values per
// attribute. Each benchmark reports the time of its first run in this
// process as "first_ms" besides the mean.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "core/ValueInterner.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/ScentedWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QRandomGenerator>
#include <QThreadPool>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

namespace {

using Packets = TList<QSharedPointer<Packet>>;

// A controller whose store holds one data set and its computed root context.
struct DataSet
{
    std::unique_ptr<ControlWidget> control;
    Context* context = nullptr;   // owned by the store
    TList<QString> names;
};

GlyphStore* freshStore(ControlWidget* control, const TList<QString>& names, const TList<int>& kinds)
{
    delete control->glyphStore;
    auto* store = new GlyphStore;
    store->resetConversationAttributes();
    store->setAttributes(names, kinds);
    control->glyphStore = store;
    return store;
}

void computeRoot(DataSet& d, Packets events)
{
    GlyphStore* store = d.control->glyphStore;
    d.context = new Context(nullptr, QStringLiteral("All"), {}, store, false);
    d.context->packets = std::move(events);
    store->rootContext = d.context;
    d.context->createConversations();
}

// The generated log of `lines` events and `columns` attributes, read as a
// load reads it; traces by source address.
DataSet* generatedData(int lines, int columns)
{
    auto* d = new DataSet;
    d->control.reset(new ControlWidget(nullptr));
    QFile file(benchsupport::generatedLog(lines, columns, 20000));
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
        d->names.append(name);
    }
    GlyphStore* store = freshStore(d->control.get(), d->names, kinds);
    const int srcColumn = header.indexOf("ip.src");
    ValueInterner values;
    QHash<QString, int> traceOf;
    Packets events;
    events.items.reserve(std::size_t(lines));
    std::vector<quint32> row(std::size_t(header.size()));
    while (!file.atEnd()) {
        const QStringList fields = QString::fromUtf8(file.readLine()).trimmed().split(',');
        for (int c = 0; c < fields.size() && c < header.size(); ++c)
            row[std::size_t(c)] = values.text(c, fields.at(c), &store->textPool);
        QSharedPointer<Packet> p = values.packet(row.data(), int(row.size()));
        auto it = traceOf.find(fields.value(srcColumn));
        if (it == traceOf.end())
            it = traceOf.insert(fields.value(srcColumn), traceOf.size());
        p->conversationId = it.value();
        events.append(p);
    }
    computeRoot(*d, std::move(events));
    return d;
}

// Events made in memory: `columns` attributes, half text with 3 to 60
// values, half numbers over ranges of 10 to 5000, every tenth value absent.
DataSet* syntheticData(int lines, int columns)
{
    auto* d = new DataSet;
    d->control.reset(new ControlWidget(nullptr));
    TList<int> kinds;
    for (int c = 0; c < columns; ++c) {
        d->names.append(QStringLiteral("attr%1").arg(c, 2, 10, QLatin1Char('0')));
        kinds.append(c % 2 ? 1 : 3);
    }
    freshStore(d->control.get(), d->names, kinds);
    std::vector<std::vector<TVariant>> pools(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
        const int distinct = c % 2 ? 10 + (c * 397) % 4990 : 3 + (c * 7) % 58;
        for (int v = 0; v < distinct; ++v)
            pools[std::size_t(c)].push_back(c % 2 ? TVariant(v) : TVariant(QStringLiteral("t%1").arg(v), false));
    }
    QRandomGenerator rng(11);
    Packets events;
    events.items.reserve(std::size_t(lines));
    for (int i = 0; i < lines; ++i) {
        TList<TVariant> row;
        row.items.reserve(std::size_t(columns));
        for (int c = 0; c < columns; ++c) {
            const auto& pool = pools[std::size_t(c)];
            row.append(rng.bounded(10) == 0 ? TVariant() : pool[rng.bounded(int(pool.size()))]);
        }
        auto p = QSharedPointer<Packet>::create(row);
        p->conversationId = int(rng.bounded(20000));
        events.append(p);
    }
    computeRoot(*d, std::move(events));
    return d;
}

DataSet& data(int shape, int lines, int columns)
{
    static std::map<std::tuple<int, int, int>, DataSet*> sets;
    DataSet*& d = sets[{shape, lines, columns}];
    if (!d)
        d = shape == 0 ? generatedData(lines, columns) : syntheticData(lines, columns);
    return *d;
}

void reportFirst(benchmark::State& state, double firstMs)
{
    state.counters["first_ms"] = firstMs;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

// Args: data shape (0 generated log, 1 in memory), pool threads (0 = all).
void BM_Layout15(benchmark::State& state)
{
    DataSet& d = data(int(state.range(0)), 800000, 20);
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    if (state.range(1) > 0)
        panel.pool->setMaxThreadCount(int(state.range(1)));
    const TList<QString> names = d.names.mid(0, 15);
    double first = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        panel.layoutAttributes(names);
        if (first < 0)
            first = timer.nsecsElapsed() / 1e6;
        if (panel.histograms().size() != 15) {
            state.SkipWithError("not every attribute got a histogram");
            break;
        }
    }
    reportFirst(state, first);
    state.counters["threads"] = panel.pool->maxThreadCount();
}

// Args: data shape, 0 for a range attribute or 1 for a categorical one.
void BM_ComputeOne(benchmark::State& state)
{
    const int shape = int(state.range(0));
    DataSet& d = data(shape, 1000000, 30);
    // frame.len / ip.dst in the generated log, attr01 / attr00 in memory.
    const bool range = state.range(1) == 0;
    const QString attribute = shape == 0 ? (range ? "frame.len" : "ip.dst")
                                         : (range ? "attr01" : "attr00");
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    DoubleSlider slider;
    ScentedWidget widget(d.control.get(), nullptr, attribute, &slider, false);
    widget.maxBins = panel.binCount(attribute);
    double first = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        widget.compute(d.context, false, false);
        if (first < 0)
            first = timer.nsecsElapsed() / 1e6;
    }
    int counted = 0;
    for (BinItem* bin : widget.axisOrder.items)
        counted += bin->totalCount;
    reportFirst(state, first);
    state.counters["bins"] = widget.serie ? widget.serie->size() : 0;
    state.counters["counted"] = counted;
}

// Args: data shape.
void BM_Relevance30(benchmark::State& state)
{
    DataSet& d = data(int(state.range(0)), 1000000, 30);
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    for (int i = 0; i < d.context->packets.size(); i += 10)
        panel.selected.insert(d.context->packets.at(i));
    double first = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const QList<QString> order = panel.computeAttributeOrder(QStringLiteral("Relevance"), d.names);
        if (first < 0)
            first = timer.nsecsElapsed() / 1e6;
        if (order.size() != d.names.size()) {
            state.SkipWithError("an attribute is missing from the order");
            break;
        }
    }
    reportFirst(state, first);
    state.counters["selected"] = panel.selected.size();
}

// A render while another thread holds the image mutex.
void BM_RenderBusy(benchmark::State& state)
{
    DataSet& d = data(1, 800000, 20);
    DoubleSlider slider;
    ScentedWidget widget(d.control.get(), nullptr, QStringLiteral("attr00"), &slider, false);
    widget.maxBins = 40;
    widget.resizeWidget(300, 60);
    widget.compute(d.context, false, false);
    std::atomic<bool> held{false};
    std::atomic<bool> stop{false};
    std::thread holder([&]() {
        widget.imageMutex->lock();
        held = true;
        while (!stop)
            std::this_thread::yield();
        widget.imageMutex->unlock();
    });
    while (!held)
        std::this_thread::yield();
    double worstMs = 0;
    bool rendered = false;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        rendered = rendered || widget.render(true, true, nullptr);
        worstMs = std::max(worstMs, timer.nsecsElapsed() / 1e6);
    }
    stop = true;
    holder.join();
    if (rendered)
        state.SkipWithError("a render drew while the image was locked");
    state.counters["worst_ms"] = worstMs;
}

} // namespace

BENCHMARK(BM_Layout15)->ArgsProduct({{0, 1}, {1, 2, 0}})->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Iterations(3);
BENCHMARK(BM_ComputeOne)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Iterations(5);
BENCHMARK(BM_Relevance30)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_RenderBusy)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(1000);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The views write debug lines per histogram; keep the report readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
