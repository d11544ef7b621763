// The sequence view, the rule overview and the bar plot:
// - the rows of 1000 glyph sequences of 50 glyphs built and merged (a
//   GlyphsEvent: copies, stacking, prefix automaton and a geometry pass);
//   the iterations alternate between two inputs of one shape, so that no
//   build finds the rows of the one before;
// - one geometry pass over those rows, in merge mode and without it;
// - one mouse move over the view (counts are only divided, never recounted:
//   the counts table must stay untouched);
// - a query overlay, with the number of sequence checks it makes against
//   its bound, the sum over the rows of group size x columns;
// - a rebuild of the rule overview over 100000 glyph items;
// - refreshData of the bar plot over 100000 events.
//
// Shapes of sequences: 0 random glyphs over an alphabet of 8 (a tree that
// branches at once), 1 variations of 40 templates (stacked rows and long
// shared beginnings), 2 three beginnings of 40 glyphs with random tails of
// 10, 3 random glyphs over an alphabet of 2 (few distinct glyphs: a tree
// that stays narrow for a few columns, then as wide as the random one).
// Each benchmark reports the time of its first run in this process as
// "first_ms" besides the mean; run one benchmark per process
// (--benchmark_filter) for the first run of a fresh process.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "events/GlyphsEvent.h"
#include "items/BinItem.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/attributes/PlotWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/sequences/RuleOverviewWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <vector>

namespace {

using Rows = TList<TList<BinItem*>>;

constexpr int SEQUENCES = 1000;
constexpr int LENGTH = 50;

// A controller whose store knows the attribute "kind" of the events.
ControlWidget* control()
{
    static ControlWidget* c = []() {
        auto* w = new ControlWidget(nullptr);
        delete w->glyphStore;
        w->glyphStore = new GlyphStore;
        w->glyphStore->resetConversationAttributes();
        w->glyphStore->setAttributes(TList<QString>{QStringLiteral("kind"), QStringLiteral("ip.dst")},
                                     TList<int>{3, 3});
        return w;
    }();
    return c;
}

// The glyph sequences of one shape, as a matrix would send them (each
// item with one event whose kind is its name); variant 0 and 1 are two
// draws of the same shape.
const Rows& sequences(int shape, int variant = 0)
{
    static std::map<int, Rows> made;
    const int id = shape * 2 + variant;
    auto found = made.find(id);
    if (found != made.end())
        return found->second;
    QRandomGenerator rng(quint32(42 + id));
    const QStringList alphabet = {"A", "B", "C", "D", "E", "F", "G", "H"};
    const quint32 letters = shape == 3 ? 2 : 8;
    std::vector<std::vector<int>> templates;
    for (int t = 0; t < 40; ++t) {
        std::vector<int> glyphs;
        for (int k = 0; k < LENGTH; ++k)
            glyphs.push_back(int(rng.bounded(8)));
        templates.push_back(glyphs);
    }
    Rows rows;
    for (int s = 0; s < SEQUENCES; ++s) {
        std::vector<int> glyphs;
        if (shape == 1) {
            glyphs = templates[std::size_t(rng.bounded(40))];
            // Half of them change one glyph late in the sequence.
            if (rng.bounded(2) == 0)
                glyphs[std::size_t(30 + rng.bounded(20))] = int(rng.bounded(8));
        } else if (shape == 2) {
            glyphs = templates[std::size_t(rng.bounded(3))];
            for (int k = 40; k < LENGTH; ++k)
                glyphs[std::size_t(k)] = int(rng.bounded(8));
        } else {
            for (int k = 0; k < LENGTH; ++k)
                glyphs.push_back(int(rng.bounded(letters)));
        }
        TList<BinItem*> row;
        for (int g : glyphs) {
            auto* item = new BinItem(nullptr, nullptr);
            item->name = alphabet.at(g);
            item->label = item->name;
            item->id = g + 1;
            item->fillColor = QColor::fromHsv(g * 45, 120, 230);
            item->packets.append(QSharedPointer<Packet>::create(
                TList<TVariant>{TVariant(item->name, false), TVariant(QStringLiteral("10.0.0.1"), false)}));
            row.append(item);
        }
        rows.append(row);
    }
    return made.emplace(id, rows).first->second;
}

std::unique_ptr<SequenceWidget> builtView(int shape, bool merge)
{
    std::unique_ptr<SequenceWidget> view(new SequenceWidget(control(), nullptr));
    view->resize(1600, 900);
    view->mergeMode = merge;
    GlyphsEvent event(nullptr, sequences(shape), {QStringLiteral("select")});
    QCoreApplication::sendEvent(view.get(), &event);
    return view;
}

void reportFirst(benchmark::State& state, double firstMs)
{
    state.counters["first_ms"] = firstMs;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

// Args: shape, merge mode.
void BM_BuildRowsAndMerge(benchmark::State& state)
{
    const Rows* inputs[2] = {&sequences(int(state.range(0)), 0), &sequences(int(state.range(0)), 1)};
    SequenceWidget view(control(), nullptr);
    view.resize(1600, 900);
    view.mergeMode = state.range(1) != 0;
    double firstMs = -1;
    int turn = 0;
    for (auto _ : state) {
        const Rows& input = *inputs[turn];
        turn = 1 - turn;
        QElapsedTimer timer;
        timer.start();
        GlyphsEvent event(nullptr, input, {QStringLiteral("select")});
        QCoreApplication::sendEvent(&view, &event);
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    state.counters["rows"] = view.rows.size();
    state.counters["states"] = view.stateCount();
    reportFirst(state, firstMs);
}

void BM_GeometryPass(benchmark::State& state)
{
    auto view = builtView(int(state.range(0)), state.range(1) != 0);
    double firstMs = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        view->computeGeometry();
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    state.counters["shown"] = view->shownCount();
    reportFirst(state, firstMs);
}

void BM_MouseMove(benchmark::State& state)
{
    auto view = builtView(int(state.range(0)), state.range(1) != 0);
    const int states = view->stateCount();
    int y = 60;
    double firstMs = -1;
    for (auto _ : state) {
        const QPointF at(25, y);
        y = y >= 800 ? 60 : y + 7;
        QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QElapsedTimer timer;
        timer.start();
        QCoreApplication::sendEvent(view.get(), &move);
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    if (view->stateCount() != states)
        state.SkipWithError("a mouse move changed the states");
    reportFirst(state, firstMs);
}

// Args: shape, share of the glyph names the query matches (0 none, 1 "A").
void BM_QueryOverlay(benchmark::State& state)
{
    auto view = builtView(int(state.range(0)), true);
    const QString text = state.range(1) ? QStringLiteral("kind == A") : QStringLiteral("kind == Z");
    quint64 bound = 0;
    for (const TList<BinItem*>& row : view->rows.items) {
        auto same = view->twins.constFind(row.first());
        const quint64 group = 1 + (same == view->twins.constEnd() ? 0 : quint64(same.value().size()));
        bound += group * quint64(row.size());
    }
    double firstMs = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        view->hoverQuery(ConditionParser::parse(text));
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    state.counters["checks"] = double(view->overlayChecks);
    state.counters["bound"] = double(bound);
    state.counters["paths"] = view->overlayPaths.size();
    if (view->overlayChecks > bound)
        state.SkipWithError("the overlay checked more than its bound");
    reportFirst(state, firstMs);
}

// Args: share of stacked items in percent, number of glyph names (a rule
// heads every other name).
void BM_RuleOverviewRebuild(benchmark::State& state)
{
    ControlWidget* c = control();
    GlyphStore* store = c->glyphStore;
    const int names = int(state.range(1));
    QStringList alphabet;
    for (int k = 0; k < names; ++k)
        alphabet << (names <= 26 ? QString(QChar('A' + k)) : QStringLiteral("G%1").arg(k));
    store->rules.clear();
    for (int k = 0; k < names; k += 2) {
        auto* pre = new ParseNode(ParseNode::And);
        auto* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph.name = alphabet.at(k);
        pre->addChild(leaf);
        store->rules.append(Rule(alphabet.at(k), pre, nullptr, true, true));
    }
    EventWidget view(c, nullptr, 0, nullptr);
    QRandomGenerator rng(7);
    const int stackedShare = int(state.range(0));
    for (int k = 0; k < 10; ++k) {
        auto* cell = new BinCell(c, nullptr, QStringLiteral("cell"), nullptr);
        for (int r = 0; r < 1000; ++r) {
            TList<BinItem*> row;
            for (int i = 0; i < 10; ++i) {
                auto* item = new BinItem(nullptr, nullptr);
                item->name = alphabet.at(int(rng.bounded(names)));
                if (int(rng.bounded(100)) < stackedShare) {
                    for (int s = 0, n = 1 + int(rng.bounded(3)); s < n; ++s) {
                        BinItem child(nullptr, nullptr);
                        child.name = alphabet.at(int(rng.bounded(names)));
                        item->children.append(child);
                    }
                }
                row.append(item);
            }
            cell->rows.append(row);
        }
        view.cells.append(cell);
    }
    RuleOverviewWidget overview(c, &view, nullptr);
    overview.resize(300, 200);
    double firstMs = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        overview.rebuild();
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    state.counters["items"] = overview.counts.value(overview.root);
    state.counters["nodes"] = overview.counts.size();
    state.counters["drawn"] = overview.items.size();
    reportFirst(state, firstMs);
    for (BinCell* cell : view.cells.items)
        delete cell;
    view.cells.clear();
    store->rules.clear();
}

// Args: attribute (0 text with 12 values, 1 range, 2 text with 5000 values).
void BM_PlotRefresh(benchmark::State& state)
{
    // Left to the end of the process, as control() is: a controller
    // destroyed after the application waits for a thread pool that no
    // longer runs.
    static ControlWidget* owner = nullptr;
    static Context* context = nullptr;
    if (!owner) {
        owner = new ControlWidget(nullptr);
        delete owner->glyphStore;
        auto* store = new GlyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("proto"), QStringLiteral("frame.len"),
                                            QStringLiteral("host")},
                             TList<int>{3, 1, 3});
        owner->glyphStore = store;
        QRandomGenerator rng(3);
        TList<QSharedPointer<Packet>> events;
        for (int i = 0; i < 100000; ++i) {
            auto p = QSharedPointer<Packet>::create(TList<TVariant>{
                TVariant(QStringLiteral("p%1").arg(rng.bounded(12)), false), TVariant(int(rng.bounded(1500))),
                TVariant(QStringLiteral("h%1").arg(rng.bounded(5000)), false)});
            p->conversationId = i % 500;
            events.append(p);
        }
        context = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = context;
    }
    const QString attributes[] = {QStringLiteral("proto"), QStringLiteral("frame.len"), QStringLiteral("host")};
    PlotWidget plot(attributes[state.range(0)], owner, nullptr);
    plot.resizeWidget(600, 400);
    double firstMs = -1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        plot.refreshData(context, true, true);
        if (firstMs < 0)
            firstMs = timer.nsecsElapsed() / 1e6;
    }
    state.counters["bars"] = plot.binCount();
    reportFirst(state, firstMs);
}

} // namespace

BENCHMARK(BM_BuildRowsAndMerge)->ArgsProduct({{0, 1, 2, 3}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeometryPass)->ArgsProduct({{0, 1, 2, 3}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MouseMove)->ArgsProduct({{0, 1, 2, 3}, {1, 0}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QueryOverlay)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuleOverviewRebuild)->ArgsProduct({{0, 30}, {6, 60}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlotRefresh)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The views write debug lines while stacking; keep the report readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
