// The line chart: building its series over 800000 events (every event in
// series 0 alone, and split by a colour attribute of 12 values into 13
// series), one render of 512 bins x 13 series, and a "Rules" build over the
// event matrix of 10000 traces x 80 events with five single-glyph rules.
//
// Each benchmark runs once, in a process of its own (the program starts
// itself again per benchmark unless a filter is given), so the figures are
// those of a first run. Data shapes: "uniform" (evenly spread times, the
// colour values at random) and "bursts" (nine tenths of the events in a few
// short bursts, the rest spread thin), which give very uneven bins.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "items/AxisPer.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/charts/LineChart.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"

namespace {

constexpr int EVENTS = 800000;
constexpr int COLOURS = 12;
constexpr int TRACES = 10000;
constexpr int TRACE_EVENTS = 80;
constexpr int KINDS = 5;

QString colourName(int k)
{
    return QStringLiteral("c%1").arg(k);
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
    leaf->glyph.label = QStringLiteral("G%1").arg(kind);
    leaf->glyph.id = 20 + kind;
    leaf->glyph.fillColor = QColor::fromHsv(kind * 70, 200, 230);
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

// A chart of width x 400 over a context whose events carry a time, a
// colour of 12 values and a kind of five; traces of `traceEvents` events.
struct Setup
{
    Setup(bool bursts, int events, int traceEvents, bool rules, bool matrix, int width)
        : control(new ControlWidget(nullptr))
    {
        TIME_ATTRIBUTE = QStringLiteral("frame.time_epoch");
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{TIME_ATTRIBUTE, QStringLiteral("colour"), QStringLiteral("kind")},
                             TList<int>{1, 3, 3});
        if (rules)
            for (int k = 0; k < KINDS; ++k)
                store->rules.append(Rule(QStringLiteral("G%1").arg(k), kindRule(k), rewrite(k), true, true));

        std::vector<TVariant> colours;
        for (int k = 0; k < COLOURS; ++k)
            colours.emplace_back(colourName(k), false);
        std::vector<TVariant> kinds;
        for (int k = 0; k < KINDS; ++k)
            kinds.emplace_back(kindName(k), false);
        QRandomGenerator rng(7);
        TList<QSharedPointer<Packet>> list;
        list.items.reserve(std::size_t(events));
        const double start = 1.6e9;
        for (int i = 0; i < events; ++i) {
            double time = start + i * 0.5;
            if (bursts) {
                // Nine tenths in ten bursts of a minute, the rest over a day.
                if (i % 10 != 0)
                    time = start + (i % 10) * 8640.0 + rng.bounded(60.0);
                else
                    time = start + rng.bounded(86400.0);
            }
            QSharedPointer<Packet> p(new Packet(TList<TVariant>{
                TVariant(time), colours[std::size_t(rng.bounded(COLOURS))], kinds[std::size_t(rng.bounded(KINDS))]}));
            p->conversationId = i / traceEvents;
            list.append(p);
        }
        if (bursts && traceEvents > 1) {
            // Traces keep their events in time order.
            std::sort(list.items.begin(), list.items.end(),
                      [](const QSharedPointer<Packet>& a, const QSharedPointer<Packet>& b) {
                          return a->conversationId != b->conversationId ? a->conversationId < b->conversationId
                                                                        : a->get(0).toDouble() < b->get(0).toDouble();
                      });
        }
        context = new Context(nullptr, QStringLiteral("All"), list, store, true);
        store->rootContext = context;

        options.reset(new OptionsWidget(control.get(), nullptr));
        view.reset(new EventWidget(control.get(), options.get(), 0, nullptr));
        options->view = view.get();
        if (matrix) {
            view->context = context;
            view->reset();
            view->resizeWidget(1480, 800);
            view->setContext(context);
        }
        chart.reset(new LineChart(control.get(), view.get(), nullptr));
        chart->resize(width, 400);
        chart->reset();
        chart->setContext(context, true, true);
    }

    ~Setup()
    {
        chart.reset();
        view.reset();
        options.reset();
        control.reset();
    }

    void colourByValue()
    {
        TList<TVariant> values;
        TList<QColor> colours;
        for (int k = 0; k < COLOURS; ++k) {
            values.append(TVariant(colourName(k), false));
            colours.append(QColor::fromHsv(k * 30, 200, 230));
        }
        chart->setColorAttribute(QStringLiteral("colour"), values, colours, true);
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<EventWidget> view;
    std::unique_ptr<LineChart> chart;
    Context* context = nullptr;
};

void counters(benchmark::State& state, const LineChart* chart)
{
    state.counters["series"] = chart->series.size();
    state.counters["bins"] = chart->series.isEmpty() ? 0 : chart->series.first()->size();
    state.counters["count_max"] = chart->countMaximum;
}

// setRange over the whole span: the series build (with their layout and a
// render at the end) over every event.
void series(benchmark::State& state, bool bursts, bool colours)
{
    Setup setup(bursts, EVENTS, 1, false, false, 1200);
    if (colours)
        setup.colourByValue();
    const double from = setup.chart->from;
    const double to = setup.chart->to;
    for (auto _ : state)
        setup.chart->setRange(from, to, true);
    counters(state, setup.chart.get());
}

void render(benchmark::State& state, bool bursts)
{
    Setup setup(bursts, EVENTS, 1, false, false, 1200);
    setup.colourByValue();
    setup.chart->setStack(true);
    for (auto _ : state)
        setup.chart->render(false, false, nullptr);
    counters(state, setup.chart.get());
}

void rules(benchmark::State& state, bool bursts)
{
    Setup setup(bursts, TRACES * TRACE_EVENTS, TRACE_EVENTS, true, true, 1200);
    TList<TVariant> values;
    TList<QColor> colours;
    for (int k = 0; k < KINDS; ++k) {
        values.append(TVariant(QStringLiteral("G%1").arg(k), true));
        colours.append(QColor::fromHsv(k * 70, 200, 230));
    }
    for (auto _ : state)
        setup.chart->setColorAttribute(QStringLiteral("Rules"), values, colours, true);
    counters(state, setup.chart.get());
}

} // namespace

BENCHMARK_CAPTURE(series, uniform_all, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(series, uniform_colours, false, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(series, bursts_colours, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(render, uniform, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(render, bursts, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rules, uniform, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rules, bursts, true)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"series/uniform_all", "series/uniform_colours", "series/bursts_colours",
                                       "render/uniform",     "render/bursts",          "rules/uniform",
                                       "rules/bursts"});
}
