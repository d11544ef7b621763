// Costs of the value type and the map on the paths that reading and
// counting an 800000-event log take: text-pool hits, parsing of numeric
// fields, and histogram updates in the hashed and the ordered mode.
#include "BenchSupport.h"

#include "core/THash.h"
#include "core/TVariant.h"

#include <benchmark/benchmark.h>

#include <QString>
#include <QStringList>

#include <vector>

namespace {

constexpr int kEvents = 800000;

// Field texts like those of a capture log: addresses, protocol names and
// a few hundred distinct words, so that most lookups are pool hits.
QStringList wordTexts(int count, int distinct)
{
    QStringList out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
        const int k = int((quint64(i) * 2654435761u) % quint64(distinct));
        out << QStringLiteral("10.0.%1.%2").arg(k / 256).arg(k % 256);
    }
    return out;
}

QStringList numberTexts(int count)
{
    QStringList out;
    out.reserve(count);
    for (int i = 0; i < count; ++i)
        out << QString::number(60 + (qint64(i) * 7919) % 1400);
    return out;
}

QStringList timeTexts(int count)
{
    QStringList out;
    out.reserve(count);
    for (int i = 0; i < count; ++i)
        out << QString::number(1600000000.0 + i * 0.000731, 'f', 6);
    return out;
}

std::vector<TVariant> values(const QStringList& texts, THash<QString, TVariant>* pool)
{
    std::vector<TVariant> out;
    out.reserve(std::size_t(texts.size()));
    for (const QString& t : texts)
        out.emplace_back(t, true, pool);
    return out;
}

void report(benchmark::State& state, std::int64_t perIteration)
{
    state.SetItemsProcessed(state.iterations() * perIteration);
    state.counters["events/s"] = benchmark::Counter(double(state.iterations() * perIteration),
                                                    benchmark::Counter::kIsRate);
    state.counters["peakRSS_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

// A text seen before costs one pool lookup and shares the pooled string.
void BM_PoolHit(benchmark::State& state)
{
    const QStringList texts = wordTexts(kEvents, 2000);
    THash<QString, TVariant> pool;
    pool[QString()] = TVariant();
    for (const QString& t : texts)
        TVariant(t, true, &pool);
    for (auto _ : state) {
        for (const QString& t : texts) {
            TVariant v(t, true, &pool);
            benchmark::DoNotOptimize(v);
        }
    }
    report(state, kEvents);
    state.counters["pool"] = pool.size();
}
BENCHMARK(BM_PoolHit)->Unit(benchmark::kMillisecond);

// Copying a row of 14 values shares their texts: no text is copied.
void BM_CopyRow(benchmark::State& state)
{
    THash<QString, TVariant> pool;
    const std::vector<TVariant> words = values(wordTexts(14, 14), &pool);
    TList<TVariant> row;
    row.items.assign(words.begin(), words.end());
    for (auto _ : state) {
        TList<TVariant> copy = row;
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["sizeof(TVariant)"] = double(sizeof(TVariant));
}
BENCHMARK(BM_CopyRow);

// Numeric fields are never pooled: a pool miss, then the parsing rule.
void BM_ParseNumbers(benchmark::State& state)
{
    const QStringList ints = numberTexts(kEvents);
    const QStringList times = timeTexts(kEvents);
    THash<QString, TVariant> pool;
    pool[QString()] = TVariant();
    for (auto _ : state) {
        for (int i = 0; i < kEvents; ++i) {
            TVariant a(ints.at(i), true, &pool);
            TVariant b(times.at(i), true, &pool);
            benchmark::DoNotOptimize(a);
            benchmark::DoNotOptimize(b);
        }
    }
    report(state, kEvents);
    state.counters["fields/event"] = 2;
}
BENCHMARK(BM_ParseNumbers)->Unit(benchmark::kMillisecond);

// One histogram update per event, as a context does per attribute.
void histogram(benchmark::State& state, const std::vector<TVariant>& column, bool ordered)
{
    int distinct = 0;
    for (auto _ : state) {
        THash<TVariant, int> h(ordered);
        for (const TVariant& v : column)
            h[v] += 1;
        distinct = h.size();
        benchmark::DoNotOptimize(h);
    }
    report(state, std::int64_t(column.size()));
    state.counters["distinct"] = distinct;
}

void BM_HistogramStrings(benchmark::State& state)
{
    THash<QString, TVariant> pool;
    const std::vector<TVariant> column = values(wordTexts(kEvents, 2000), &pool);
    histogram(state, column, state.range(0) != 0);
    state.SetLabel(state.range(0) ? "ordered" : "hashed");
}
BENCHMARK(BM_HistogramStrings)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_HistogramInts(benchmark::State& state)
{
    const std::vector<TVariant> column = values(numberTexts(kEvents), nullptr);
    histogram(state, column, state.range(0) != 0);
    state.SetLabel(state.range(0) ? "ordered" : "hashed");
}
BENCHMARK(BM_HistogramInts)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_HistogramDoubles(benchmark::State& state)
{
    const std::vector<TVariant> column = values(timeTexts(kEvents), nullptr);
    histogram(state, column, state.range(0) != 0);
    state.SetLabel(state.range(0) ? "ordered" : "hashed");
}
BENCHMARK(BM_HistogramDoubles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
