// Costs of pattern matching: finding a pattern with a wildcard in many glyph
// sequences (the event matrix's find runs it over every trace), building the
// automaton of a long concatenation, and the subset construction of a
// pattern with wildcards and alternations.
#include "BenchSupport.h"

#include "items/BinItem.h"
#include "patterns/Automaton.h"
#include "patterns/ParseNode.h"
#include "patterns/RuleMatcher.h"

#include <benchmark/benchmark.h>

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace {

constexpr int kSequences = 10000;
constexpr int kSequenceLength = 100;

const QStringList kNames = {"Blue", "Red", "Green", "Yellow", "Purple", "Gray", "Orange", "Cyan"};

ParseNode* leaf(const QString& name)
{
    auto* node = new ParseNode(ParseNode::Leaf);
    node->glyph.name = name;
    return node;
}

ParseNode* group(int type, const std::vector<ParseNode*>& children)
{
    auto* node = new ParseNode(type);
    for (ParseNode* child : children)
        node->addChild(child);
    return node;
}

// One item per glyph name; sequences point at them (matching reads only).
struct Sequences
{
    Sequences()
    {
        for (const QString& name : kNames) {
            BinItem item(nullptr, nullptr);
            item.name = name;
            items.push_back(item);
        }
        QRandomGenerator random(42);
        rows.resize(kSequences);
        for (TList<BinItem*>& row : rows)
            for (int i = 0; i < kSequenceLength; ++i)
                row.append(&items[std::size_t(random.bounded(5))]);
    }
    std::vector<BinItem> items;
    std::vector<TList<BinItem*>> rows;
};

void BM_FindMatches(benchmark::State& state)
{
    static const Sequences sequences;
    // Blue, anything, Red, then Green or Yellow: five leaves, one a wildcard.
    std::unique_ptr<ParseNode> pattern(group(
        ParseNode::And, {leaf("Blue"), leaf("WildCard"), leaf("Red"),
                         group(ParseNode::Or, {leaf("Green"), leaf("Yellow")})}));
    std::unique_ptr<Automaton> dfa(Automaton::build(pattern.get()));
    RuleMatcher matcher(nullptr);
    std::int64_t matches = 0;
    for (auto _ : state) {
        for (const TList<BinItem*>& row : sequences.rows)
            matches += matcher.findMatches(dfa.get(), row, false, false).size();
    }
    const double items = double(kSequences) * kSequenceLength;
    state.counters["items_per_second"] =
        benchmark::Counter(items * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["matches_per_pass"] = double(matches) / double(state.iterations());
    state.SetItemsProcessed(std::int64_t(items) * state.iterations());
    state.SetLabel("10000 sequences x 100 items per iteration (target < 1 s)");
}
BENCHMARK(BM_FindMatches)->Unit(benchmark::kMillisecond);

void BM_BuildConcatenation500(benchmark::State& state)
{
    std::vector<ParseNode*> leaves;
    for (int i = 0; i < 500; ++i)
        leaves.push_back(leaf(kNames.at(i % kNames.size())));
    std::unique_ptr<ParseNode> pattern(group(ParseNode::And, leaves));
    std::size_t states = 0;
    for (auto _ : state) {
        std::unique_ptr<Automaton> dfa(Automaton::build(pattern.get()));
        states = std::size_t(dfa->states.size());
        benchmark::DoNotOptimize(dfa.get());
    }
    state.counters["dfa_states"] = double(states);
    state.counters["peak_rss_mb"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
    state.SetLabel("Thompson + subset construction of 500 leaves (target < 100 ms)");
}
BENCHMARK(BM_BuildConcatenation500)->Unit(benchmark::kMillisecond);

void BM_Determinize40(benchmark::State& state)
{
    // 13 two-way alternations and 14 wildcards: 40 leaves.
    std::vector<ParseNode*> parts;
    int leaves = 0;
    for (int i = 0; leaves < 40; ++i) {
        if (i % 2 == 0 && leaves + 2 <= 40) {
            parts.push_back(group(ParseNode::Or, {leaf(kNames.at(i % kNames.size())),
                                                  leaf(kNames.at((i + 3) % kNames.size()))}));
            leaves += 2;
        } else {
            parts.push_back(leaf("WildCard"));
            leaves += 1;
        }
    }
    std::unique_ptr<ParseNode> pattern(group(ParseNode::And, parts));
    std::unique_ptr<Automaton> nfa(Automaton::fromParseTree(pattern.get()));
    std::size_t states = 0;
    for (auto _ : state) {
        std::unique_ptr<Automaton> dfa(nfa->determinize());
        states = std::size_t(dfa->states.size());
        benchmark::DoNotOptimize(dfa.get());
    }
    state.counters["dfa_states"] = double(states);
    state.SetLabel("subset construction, 40 leaves with wildcards and alternations (target < 200 ms)");
}
BENCHMARK(BM_Determinize40)->Unit(benchmark::kMillisecond);

void silence(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    // The matcher and the construction log every position and edge.
    qInstallMessageHandler(silence);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
