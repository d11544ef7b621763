// One matrix cell of 10000 traces x 80 events: building its rows without
// rules, with five rules (four single glyphs and a three-glyph sequence with
// a wild card) and stacked, laying out and drawing the visible part of a
// 1480 x 800 cell, and drawing the whole cell for the overview strip.
//
// Each benchmark runs once, in a process of its own (the program starts
// itself again per benchmark unless a filter is given), so the figures are
// those of a first run. Two data shapes: "random" traces (every event one
// of ten kinds at random) and "patterns" (every trace one of ten fixed
// sequences).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <memory>
#include <string>

#include "BenchSupport.h"
#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"

namespace {

constexpr int TRACES = 10000;
constexpr int EVENTS = 80;
constexpr int KINDS = 10;
constexpr int PATTERNS = 10;

double megabytes(std::size_t bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

QString kindName(int k)
{
    return QStringLiteral("k%1").arg(k);
}

ParseNode* kindLeaf(int kind)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = QStringLiteral("WildCard");
    if (kind >= 0) {
        auto* test = new ParseNode(ParseNode::Test);
        test->name = QStringLiteral("kind");
        test->op = ParseNode::Equal;
        test->value = TVariant(kindName(kind), false);
        leaf->glyph.condition = test;
    }
    return leaf;
}

ParseNode* nameLeaf(const QString& name)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    return leaf;
}

ParseNode* sequence(std::initializer_list<ParseNode*> children)
{
    auto* root = new ParseNode(ParseNode::And);
    for (ParseNode* child : children)
        root->addChild(child);
    return root;
}

ParseNode* rewrite(const QString& name, int id, const QColor& fill)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    leaf->glyph.id = id;
    leaf->glyph.fillColor = fill;
    leaf->glyph.edgeWidth = 1;
    return sequence({leaf});
}

struct Setup
{
    explicit Setup(bool patterns, bool rules, bool stacked)
        : control(new ControlWidget(nullptr))
    {
        GlyphStore* store = control->glyphStore;
        store->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("kind"),
                                            QStringLiteral("size")},
                             TList<int>{0, 3, 0});
        if (rules) {
            const QColor fills[] = {QColor(0, 128, 255), QColor(200, 80, 255), QColor(0, 200, 0),
                                    QColor(255, 255, 100), QColor(255, 100, 100)};
            const QString names[] = {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"),
                                     QStringLiteral("D")};
            for (int k = 0; k < 4; ++k)
                store->rules.append(Rule(names[k], sequence({kindLeaf(k)}), rewrite(names[k], 20 + k, fills[k]),
                                         true, true));
            store->rules.append(Rule(QStringLiteral("S"),
                                     sequence({nameLeaf(QStringLiteral("A")), nameLeaf(QStringLiteral("WildCard")),
                                               nameLeaf(QStringLiteral("B"))}),
                                     rewrite(QStringLiteral("S"), 24, fills[4]), true, true));
        }

        // Texts shared like the import's text pool shares them.
        TVariant kinds[KINDS];
        for (int k = 0; k < KINDS; ++k)
            kinds[k] = TVariant(kindName(k), false);
        QRandomGenerator rng(7);
        int shapes[PATTERNS][EVENTS];
        for (auto& shape : shapes)
            for (int& k : shape)
                k = int(rng.bounded(KINDS));

        cell.reset(new BinCell(control.get(), nullptr, QStringLiteral("All"), nullptr));
        cell->stacked = stacked;
        double time = 1.6e9;
        for (int t = 0; t < TRACES; ++t) {
            for (int e = 0; e < EVENTS; ++e) {
                const int k = patterns ? shapes[t % PATTERNS][e] : int(rng.bounded(KINDS));
                QSharedPointer<Packet> p(new Packet(TList<TVariant>{TVariant(time), kinds[k],
                                                                    TVariant(int(rng.bounded(100)))}));
                p->conversationId = t;
                cell->addPacket(p);
                time += 0.5;
            }
        }
        cell->resizeWidget(1480, 800);
    }

    ~Setup()
    {
        cell.reset();
        control.reset();
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<BinCell> cell;
};

void reportMemory(benchmark::State& state, std::size_t before)
{
    state.counters["peak_rss_MB"] = megabytes(benchsupport::peakRssBytes());
    state.counters["items_MB"] = megabytes(benchsupport::rssBytes() - std::min(before, benchsupport::rssBytes()));
}

void buildData(benchmark::State& state, bool patterns, bool rules, bool stacked)
{
    Setup setup(patterns, rules, stacked);
    const std::size_t before = benchsupport::rssBytes();
    for (auto _ : state)
        setup.cell->buildData(true);
    reportMemory(state, before);
    state.counters["rows"] = setup.cell->rows.size();
    state.counters["items"] = setup.cell->itemCount();
}

void layoutAndRender(benchmark::State& state, bool patterns, bool stacked, bool rules)
{
    Setup setup(patterns, rules, stacked);
    setup.cell->buildData(true);
    QElapsedTimer timer;
    qint64 layoutNs = 0;
    for (auto _ : state) {
        timer.start();
        setup.cell->updateVisibleRows();
        setup.cell->layoutItems(false, false);
        layoutNs += timer.nsecsElapsed();
        benchmark::DoNotOptimize(setup.cell->render(false, false, nullptr));
    }
    state.counters["layout_ms"] = double(layoutNs) / 1e6;
    state.counters["drawn"] = setup.cell->visibleItems().size();
}

void overview(benchmark::State& state, bool patterns, bool stacked)
{
    Setup setup(patterns, false, stacked);
    setup.cell->buildData(true);
    QImage image;
    QElapsedTimer timer;
    qint64 layoutMs = 0;
    for (auto _ : state) {
        timer.start();
        setup.cell->layoutItems(true, false);
        layoutMs += timer.elapsed();
        image = setup.cell->overviewImage(300, 10);
    }
    state.counters["layout_ms"] = double(layoutMs);
    state.counters["image_h"] = image.height();
    state.counters["peak_rss_MB"] = megabytes(benchsupport::peakRssBytes());
}

} // namespace

// Targets: build 1.5 s, with rules 8 s, stacked 2 s; layout + render 20 ms; overview 5 s.
BENCHMARK_CAPTURE(buildData, plain_random, false, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(buildData, plain_patterns, true, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(buildData, rules_random, false, true, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(buildData, rules_patterns, true, true, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(buildData, stacked_patterns, true, false, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(buildData, stacked_rules_patterns, true, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layoutAndRender, random, false, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layoutAndRender, rules_random, false, false, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layoutAndRender, stacked_patterns, true, true, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layoutAndRender, stacked_rules_patterns, true, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(overview, random, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(overview, stacked_patterns, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The cell logs a line per build step; the figures are what matters here.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"buildData/plain_random", "buildData/plain_patterns",
                                       "buildData/rules_random", "buildData/rules_patterns",
                                       "buildData/stacked_patterns", "buildData/stacked_rules_patterns",
                                       "layoutAndRender/random", "layoutAndRender/rules_random",
                                       "layoutAndRender/stacked_patterns", "layoutAndRender/stacked_rules_patterns",
                                       "overview/random", "overview/stacked_patterns"});
}
