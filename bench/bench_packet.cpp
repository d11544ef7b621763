// Column lookups on events: dense logs (every column present) and sparse
// ones (a few columns of many present), the cost of the presence rank.
#include "BenchSupport.h"

#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QRandomGenerator>
#include <benchmark/benchmark.h>

namespace {

TList<QSharedPointer<Packet>> makePackets(int count, int columns, int presentEvery)
{
    TList<QSharedPointer<Packet>> packets;
    for (int i = 0; i < count; ++i) {
        TList<TVariant> row;
        for (int c = 0; c < columns; ++c)
            row.append(c % presentEvery == 0 ? TVariant(c + i) : TVariant());
        packets.append(QSharedPointer<Packet>::create(row));
    }
    return packets;
}

void BM_PacketGet(benchmark::State& state)
{
    const int columns = int(state.range(0));
    const int presentEvery = int(state.range(1));
    const TList<QSharedPointer<Packet>> packets = makePackets(10000, columns, presentEvery);
    QRandomGenerator rng(7);
    std::vector<int> order(4096);
    for (int& c : order)
        c = int(rng.bounded(columns));
    std::size_t k = 0;
    double sum = 0;
    for (auto _ : state) {
        const Packet& p = *packets.items[k % packets.items.size()];
        sum += p.get(order[k & 4095]).value;
        ++k;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["gets/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PacketBuild(benchmark::State& state)
{
    const int columns = int(state.range(0));
    TList<TVariant> row;
    for (int c = 0; c < columns; ++c)
        row.append(c % 3 == 1 ? TVariant() : TVariant(c));
    for (auto _ : state) {
        auto p = QSharedPointer<Packet>::create(row);
        benchmark::DoNotOptimize(p.data());
    }
    state.counters["packets/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_PacketGet)->Args({14, 1})->Args({45, 1})->Args({45, 20})->Args({200, 7});
BENCHMARK(BM_PacketBuild)->Arg(14)->Arg(45);

BENCHMARK_MAIN();
