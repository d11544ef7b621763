#include "BenchSupport.h"
// What the analyst does in the event matrix, over a context of 10000 traces
// x 80 events in one cell: inverting a selection of half of the traces,
// marking a selection in every cell (BinCell::setSelectedPackets), one
// mouse move that moves the hover highlight to another glyph, and a find of
// a three-glyph pattern with a wild card in the middle (five single-glyph
// rules name the events G0 .. G4).
//
// Each benchmark runs once, in a process of its own (the program starts
// itself again per benchmark unless a filter is given), so the figures are
// those of a first run. Data shapes: "random" traces (every event one of
// the kinds at random) and "patterns" (every trace one of 10 sequences).
// The comparison table's rebuild (500 events x 60 attributes) is measured
// by bench_compare.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QMouseEvent>
#include <QProcess>

#include <memory>
#include <vector>

#include "app/AppGlobals.h"
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

QString kindName(int k)
{
    return QStringLiteral("k%1").arg(k);
}

ParseNode* glyphLeaf(const QString& name)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    return leaf;
}

ParseNode* kindRule(int kind)
{
    auto* test = new ParseNode(ParseNode::Test);
    test->name = QStringLiteral("kind");
    test->op = ParseNode::Equal;
    test->value = TVariant(kindName(kind), false);
    ParseNode* leaf = glyphLeaf(QStringLiteral("WildCard"));
    leaf->glyph.condition = test;
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

ParseNode* rewrite(int kind)
{
    ParseNode* leaf = glyphLeaf(QStringLiteral("G%1").arg(kind));
    leaf->glyph.id = 20 + kind;
    leaf->glyph.fillColor = QColor::fromHsv(kind * 70, 200, 230);
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

// patterns = 0: every event random; otherwise every trace is one of that
// many random sequences.
struct Setup
{
    explicit Setup(int patterns)
        : control(new ControlWidget(nullptr))
    {
        NO_DATA = false;
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                            QStringLiteral("kind"), QStringLiteral("size")},
                             TList<int>{0, 3, 3, 1});
        for (int k = 0; k < KINDS; ++k)
            store->rules.append(Rule(QStringLiteral("G%1").arg(k), kindRule(k), rewrite(k), true, true));

        std::vector<TVariant> kinds;
        for (int k = 0; k < KINDS; ++k)
            kinds.emplace_back(kindName(k), false);
        const std::vector<TVariant> sources{TVariant(QStringLiteral("10.0.0.1"), false)};
        const TList<QSharedPointer<Packet>> events =
            benchsupport::patternedEvents(TRACES, EVENTS, kinds, sources, patterns, 17);
        context = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = context;

        options.reset(new OptionsWidget(control.get(), nullptr));
        view.reset(new EventWidget(control.get(), options.get(), 0, nullptr));
        options->view = view.get();
        view->context = context;
        view->reset();
        view->resizeWidget(1480, 800);
        view->setContext(context);
    }

    ~Setup()
    {
        view.reset();
        options.reset();
        control.reset();
    }

    // The events of every second trace.
    TList<QSharedPointer<Packet>> halfOfTheTraces() const
    {
        TList<QSharedPointer<Packet>> half;
        for (const QSharedPointer<Packet>& p : context->packets)
            if (p->conversationId % 2 == 0)
                half.append(p);
        return half;
    }

    QPoint centreOf(const BinItem* item) const
    {
        return QPointF((item->parentLeft() + item->parentRight()) / 2, (item->parentTop() + item->parentBottom()) / 2)
            .toPoint();
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<EventWidget> view;
    Context* context = nullptr;
};

void invertSelection(benchmark::State& state, int patterns)
{
    Setup setup(patterns);
    setup.view->selectPackets(setup.halfOfTheTraces());
    for (auto _ : state)
        setup.view->invertSelection();
    state.counters["selected"] = setup.view->selectedPacketSet.size();
}

void markSelection(benchmark::State& state, int patterns)
{
    Setup setup(patterns);
    const TList<QSharedPointer<Packet>> half = setup.halfOfTheTraces();
    const PacketSet selected = PacketSet::fromList(half);
    int items = 0;
    for (const BinCell* cell : setup.view->cells)
        items += cell->itemCount();
    for (auto _ : state)
        for (BinCell* cell : setup.view->cells)
            cell->setSelectedPackets(selected);
    state.counters["glyphs"] = items;
}

void hoverMove(benchmark::State& state, int patterns)
{
    Setup setup(patterns);
    // A selection is held; the pointer rests on one glyph and moves to the next.
    setup.view->selectPackets(setup.halfOfTheTraces());
    const TList<BinItem*>& row = setup.view->cells.first()->visibleRows.first();
    const QPoint from = setup.centreOf(row[0]);
    const QPoint to = setup.centreOf(row[1]);
    QMouseEvent first(QEvent::MouseMove, from, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(setup.view.get(), &first);
    for (auto _ : state) {
        QMouseEvent next(QEvent::MouseMove, to, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(setup.view.get(), &next);
    }
    state.counters["highlighted"] = row[1]->highlighted ? 1 : 0;
}

void findWithWildCard(benchmark::State& state, int patterns)
{
    Setup setup(patterns);
    std::unique_ptr<ParseNode> tree(new ParseNode(ParseNode::And));
    tree->addChild(glyphLeaf(QStringLiteral("G0")));
    tree->addChild(glyphLeaf(QStringLiteral("WildCard")));
    tree->addChild(glyphLeaf(QStringLiteral("G1")));
    for (auto _ : state)
        setup.view->find(tree.get(), false, false, false);
    state.counters["selected"] = setup.view->selectedPacketSet.size();
}

} // namespace

// Targets: invertSelection 1 s; setSelectedPackets over all cells 300 ms;
// one hover move 16 ms; a three-glyph find with a wild card 5 s.
BENCHMARK_CAPTURE(invertSelection, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(invertSelection, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(markSelection, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(markSelection, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hoverMove, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hoverMove, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findWithWildCard, random, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findWithWildCard, patterns, 10)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The matrix logs a line per step; the figures are what matters here.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"invertSelection/random", "invertSelection/patterns", "markSelection/random",
                                       "markSelection/patterns", "hoverMove/random",       "hoverMove/patterns",
                                       "findWithWildCard/random", "findWithWildCard/patterns"});
}
