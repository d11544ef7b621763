// The event matrix over a context of 10000 traces x 80 events: taking the
// context with both axes "none", a resize with its render, a scroll, a
// reload with Y over a trace attribute of 50 values, the "Frequency" and
// "Alphabetical" row orders, and the clustering order "HC Eucledian" over
// 2000 and over 10000 distinct rows (five single-glyph rules over a
// five-valued attribute make the rows distinct).
//
// Each benchmark runs once, in a process of its own (the program starts
// itself again per benchmark unless a filter is given), so the figures are
// those of a first run. Data shapes: "random" traces (every event one of
// the kinds at random) and "patterns" (every trace one of a fixed number of
// sequences).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"

namespace {

constexpr int TRACES = 10000;
constexpr int EVENTS = 80;
constexpr int KINDS = 5;
constexpr int SOURCES = 50;

double megabytes(std::size_t bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

QString kindName(int k)
{
    return QStringLiteral("k%1").arg(k);
}

ParseNode* kindRule(int kind)
{
    auto* test = new ParseNode(ParseNode::Test);
    test->name = QStringLiteral("kind");
    test->op = ParseNode::Equal;
    test->value = TVariant(kindName(kind), false);
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = QStringLiteral("WildCard");
    leaf->glyph.condition = test;
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

ParseNode* rewrite(int kind)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = QStringLiteral("G%1").arg(kind);
    leaf->glyph.id = 20 + kind;
    leaf->glyph.fillColor = QColor::fromHsv(kind * 70, 200, 230);
    leaf->glyph.edgeWidth = 1;
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

// patterns = 0: every event random; otherwise every trace is one of that
// many random sequences.
struct Setup
{
    Setup(int patterns, bool rules)
        : control(new ControlWidget(nullptr))
    {
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                            QStringLiteral("kind"), QStringLiteral("size")},
                             TList<int>{0, 3, 3, 1});
        if (rules)
            for (int k = 0; k < KINDS; ++k)
                store->rules.append(Rule(QStringLiteral("G%1").arg(k), kindRule(k), rewrite(k), true, true));

        // Texts shared like the import's text pool shares them.
        std::vector<TVariant> kinds;
        for (int k = 0; k < KINDS; ++k)
            kinds.emplace_back(kindName(k), false);
        std::vector<TVariant> sources;
        for (int s = 0; s < SOURCES; ++s)
            sources.emplace_back(QStringLiteral("10.0.0.%1").arg(s), false);
        const TList<QSharedPointer<Packet>> events =
            benchsupport::patternedEvents(TRACES, EVENTS, kinds, sources, patterns, 11);
        context = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = context;

        options.reset(new OptionsWidget(control.get(), nullptr));
        view.reset(new EventWidget(control.get(), options.get(), 0, nullptr));
        options->view = view.get();
        view->context = context;
        view->reset();
        view->resizeWidget(1480, 800);
    }

    ~Setup()
    {
        view.reset();
        options.reset();
        control.reset();
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<EventWidget> view;
    Context* context = nullptr;
};

void counters(benchmark::State& state, const Setup& setup, std::size_t before)
{
    const std::size_t peak = benchsupport::peakRssBytes();
    state.counters["extra_MB"] = megabytes(peak > before ? peak - before : 0);
    state.counters["peak_rss_MB"] = megabytes(peak);
    int rows = 0;
    for (const BinCell* cell : setup.view->cells)
        rows += cell->rows.size();
    state.counters["cells"] = setup.view->cells.size();
    state.counters["rows"] = rows;
}

void setContext(benchmark::State& state, int patterns)
{
    Setup setup(patterns, false);
    const std::size_t before = benchsupport::rssBytes();
    for (auto _ : state)
        setup.view->setContext(setup.context);
    counters(state, setup, before);
}

void resizeAndRender(benchmark::State& state, int patterns)
{
    Setup setup(patterns, false);
    setup.view->setContext(setup.context);
    for (auto _ : state)
        setup.view->setSize(-1, -1);
}

void scroll(benchmark::State& state, int patterns)
{
    Setup setup(patterns, false);
    setup.view->setContext(setup.context);
    for (auto _ : state)
        setup.view->setBinOffset(5000);
    state.counters["first_line"] = setup.view->cells.first()->firstLine;
}

void reloadBySource(benchmark::State& state, int patterns)
{
    Setup setup(patterns, false);
    setup.view->setContext(setup.context);
    setup.view->changeYAxis(QStringLiteral("conv.src"), false);
    const std::size_t before = benchsupport::rssBytes();
    for (auto _ : state)
        setup.view->reload();
    counters(state, setup, before);
}

void order(benchmark::State& state, int patterns, bool rules, const char* mode)
{
    Setup setup(patterns, rules);
    setup.view->setContext(setup.context);
    const std::size_t before = benchsupport::rssBytes();
    for (auto _ : state)
        setup.view->setCluster(QString::fromLatin1(mode));
    counters(state, setup, before);
}

} // namespace

// Targets: setContext 2.5 s; setSize + render 150 ms; setBinOffset 50 ms;
// reload by a 50-valued trace attribute 3 s; "Frequency" and "Alphabetical"
// 0.5 s; "HC Eucledian" over 2000 distinct rows 5 s, over 10000 120 s with
// at most 1 GB extra memory.
BENCHMARK_CAPTURE(setContext, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(setContext, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resizeAndRender, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resizeAndRender, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scroll, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scroll, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reloadBySource, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reloadBySource, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, frequency_random, 0, false, "Frequency")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, frequency_patterns, 10, false, "Frequency")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, alphabetical_random, 0, false, "Alphabetical")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, alphabetical_rules, 0, true, "Alphabetical")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, clustering_2000_rows, 2000, true, "HC Eucledian")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(order, clustering_10000_rows, 0, true, "HC Eucledian")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The matrix logs a line per step; the figures are what matters here.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"setContext/random",
                                       "setContext/patterns",
                                       "resizeAndRender/random",
                                       "resizeAndRender/patterns",
                                       "scroll/random",
                                       "scroll/patterns",
                                       "reloadBySource/random",
                                       "reloadBySource/patterns",
                                       "order/frequency_random",
                                       "order/frequency_patterns",
                                       "order/alphabetical_random",
                                       "order/alphabetical_rules",
                                       "order/clustering_2000_rows",
                                       "order/clustering_10000_rows"});
}
