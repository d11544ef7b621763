// Costs of the condition language on its two hot paths: evaluating a glyph
// condition against many events (the matcher does it for every event a glyph
// test looks at) and reading a long condition typed or pasted by the analyst.
#include "BenchSupport.h"

#include "core/Packet.h"
#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"

#include <benchmark/benchmark.h>

#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace {

constexpr int kEvaluations = 1000000;
constexpr int kEvents = 4096;

// Six comparisons, one of each kind of test, so that And must look at all of
// them for most events: numbers, texts, containment and the "+" list test.
const char* const kCondition =
    "frame.len >= 60 && ip.proto == TCP && tcp.port != 22 && "
    "info ?= GET && frame.time_delta < 5.5 && tags ?\?= web";

THash<QString, int> attributeMap()
{
    THash<QString, int> map;
    const QStringList names = {"frame.len", "ip.proto", "tcp.port", "info", "frame.time_delta", "tags"};
    for (int i = 0; i < names.size(); ++i)
        map[names.at(i)] = i;
    return map;
}

std::vector<QSharedPointer<Packet>> events()
{
    std::vector<QSharedPointer<Packet>> out;
    out.reserve(kEvents);
    for (int i = 0; i < kEvents; ++i) {
        TList<TVariant> row;
        row.items.push_back(TVariant(60 + (i * 7919) % 1400, nullptr));
        row.items.push_back(TVariant(QString::fromLatin1(i % 7 ? "TCP" : "UDP"), true, nullptr));
        row.items.push_back(TVariant(i % 11 ? 443 : 22, nullptr));
        row.items.push_back(TVariant(QStringLiteral("GET /index%1.html HTTP/1.1").arg(i % 13), true, nullptr));
        row.items.push_back(TVariant((i % 100) * 0.1, nullptr));
        row.items.push_back(TVariant(QStringLiteral("lan + web + dns"), true, nullptr));
        out.push_back(QSharedPointer<Packet>(new Packet(row)));
    }
    return out;
}

void BM_EvaluateSixComparisons(benchmark::State& state)
{
    const THash<QString, int> map = attributeMap();
    const std::unique_ptr<ParseNode> condition(ConditionParser::parse(kCondition, &map));
    if (!condition) {
        state.SkipWithError("condition does not parse");
        return;
    }
    const std::vector<QSharedPointer<Packet>> packets = events();
    std::int64_t matched = 0;
    for (auto _ : state) {
        for (int i = 0; i < kEvaluations; ++i)
            matched += condition->evaluate(packets[std::size_t(i % kEvents)].data(), &map, nullptr);
        benchmark::DoNotOptimize(matched);
    }
    state.counters["evaluations"] = benchmark::Counter(double(kEvaluations) * double(state.iterations()),
                                                       benchmark::Counter::kIsRate);
    state.counters["matched_share"] = double(matched) / (double(kEvaluations) * double(state.iterations()));
    state.SetLabel("1e6 evaluations per iteration (target < 500 ms)");
}
BENCHMARK(BM_EvaluateSixComparisons)->Unit(benchmark::kMillisecond)->Iterations(5);

// About 100 KB: comparisons with quoted values, negations and parenthesised
// choices joined into one "&&" chain.
QString longCondition()
{
    QStringList terms;
    int size = 0;
    for (int i = 0; size < 100 * 1024; ++i) {
        QString term;
        switch (i % 4) {
        case 0:
            term = QStringLiteral("ip.src == 10.0.%1.%2").arg(i / 256 % 256).arg(i % 256);
            break;
        case 1:
            term = QStringLiteral("(frame.len > %1 || info ?= \"GET /a b\")").arg(i);
            break;
        case 2:
            term = QStringLiteral("!tcp.port == %1").arg(i % 65536);
            break;
        default:
            term = QStringLiteral("\"smb2.filename\" != \"file %1.txt\"").arg(i);
            break;
        }
        size += term.size() + 4;
        terms.append(term);
    }
    // The negations take the rest of their expression, so keep them last in
    // a parenthesised group of their own.
    for (QString& term : terms) {
        if (term.startsWith('!'))
            term = QStringLiteral("(") + term + QStringLiteral(")");
    }
    return terms.join(QStringLiteral(" && "));
}

void BM_ParseLongCondition(benchmark::State& state)
{
    const QString text = longCondition();
    for (auto _ : state) {
        std::unique_ptr<ParseNode> tree(ConditionParser::parse(text));
        if (!tree) {
            state.SkipWithError("long condition does not parse");
            return;
        }
        benchmark::DoNotOptimize(tree.get());
    }
    state.counters["bytes"] = double(text.size());
    state.SetBytesProcessed(std::int64_t(text.size()) * 2 * state.iterations());
    state.SetLabel("one ~100 KB condition per iteration (target < 50 ms)");
}
BENCHMARK(BM_ParseLongCondition)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
