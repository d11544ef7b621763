// Reading a generated 800000-line, 14-column event log through the CSV
// event stream into events held in memory, as the import does.
#include "BenchSupport.h"

#include "core/CSVPacketStream.h"
#include "core/Packet.h"
#include "core/TList.h"

#include <QFile>
#include <QFileInfo>
#include <benchmark/benchmark.h>

namespace {

void BM_ReadLog(benchmark::State& state)
{
    const int lines = int(state.range(0));
    const QString path = benchsupport::generatedLog(lines, 14);
    const double megabytes = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    std::size_t events = 0;
    for (auto _ : state) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            state.SkipWithError("cannot open the generated log");
            return;
        }
        CSVPacketStream stream(&file, TList<QString>());
        TList<QSharedPointer<Packet>> packets;
        packets.items.reserve(std::size_t(lines));
        while (!stream.atEnd())
            packets.items.push_back(stream.readPacket(stream.readLine()));
        events = packets.items.size();
        benchmark::DoNotOptimize(packets.items.data());
        state.PauseTiming();
        packets.clear();
        state.ResumeTiming();
    }
    const double iterations = double(state.iterations());
    state.counters["events"] = double(events);
    state.counters["events/s"] = benchmark::Counter(double(events) * iterations, benchmark::Counter::kIsRate);
    state.counters["MB/s"] = benchmark::Counter(megabytes * iterations, benchmark::Counter::kIsRate);
    state.counters["file_MB"] = megabytes;
    state.counters["peak_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

} // namespace

BENCHMARK(BM_ReadLog)->Arg(800000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
