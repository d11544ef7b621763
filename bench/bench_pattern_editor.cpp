// The pattern editor: a relayout of a 200-node pattern (target: 20 ms),
// 500 random edits with undo and redo on a 200-node pattern (target: 1 s
// for the 500), and the condition dialog's completion over an attribute
// with 10000 values (target: 100 ms an update). Each on two shapes; the
// first run of a process is reported on its own (first_ms): run one
// benchmark per process with --benchmark_filter to see each shape fresh.

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCompleter>
#include <QElapsedTimer>
#include <QKeyEvent>

#include <algorithm>
#include <memory>
#include <random>

#include "app/ControlWidget.h"
#include "app/LoggingDefaults.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/QueryWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/TextEdit.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"

namespace {

constexpr int NODES = 200;

enum Shape { Flat = 0, Nested = 1 };

int countNodes(const ParseNode* n)
{
    int total = 1;
    for (const ParseNode* child : n->children)
        total += countNodes(child);
    return total;
}

ParseNode* leaf(int i)
{
    auto* n = new ParseNode(ParseNode::Leaf);
    n->glyph.name = QStringLiteral("G%1").arg(i);
    n->glyph.fillColor = QColor::fromHsv((i * 37) % 360, 150, 220);
    n->glyph.shape = i % 5;
    return n;
}

// Flat: one long sequence of glyphs (too wide: every relayout shrinks ten
// times). Nested: choices, repetitions, negations and groups mixed, some of
// them inside each other.
ParseNode* pattern(Shape shape, unsigned seed = 7)
{
    auto* root = new ParseNode(ParseNode::And);
    int i = 0;
    if (shape == Flat) {
        while (countNodes(root) < NODES)
            root->addChild(leaf(i++));
        return root;
    }
    std::mt19937 random(seed);
    while (countNodes(root) < NODES) {
        ParseNode* part = nullptr;
        switch (random() % 6) {
        case 0:
            part = leaf(i++);
            break;
        case 1: {
            part = new ParseNode(ParseNode::Or);
            const int branches = 2 + int(random() % 3);
            for (int b = 0; b < branches; ++b)
                part->addChild(leaf(i++));
            break;
        }
        case 2: {
            part = new ParseNode(random() % 2 ? ParseNode::Star : ParseNode::Plus);
            auto* body = new ParseNode(ParseNode::And);
            body->addChild(leaf(i++));
            auto* inner = new ParseNode(ParseNode::Or);
            inner->addChild(leaf(i++));
            inner->addChild(leaf(i++));
            body->addChild(inner);
            part->addChild(body);
            break;
        }
        case 3:
            part = new ParseNode(ParseNode::Not);
            part->addChild(leaf(i++));
            break;
        case 4:
            part = new ParseNode(ParseNode::Repeat);
            part->value = TVariant(2.0, 5.0);
            part->addChild(leaf(i++));
            part->addChild(leaf(i++));
            break;
        default:
            part = new ParseNode(ParseNode::Group);
            break;
        }
        root->addChild(part);
    }
    return root;
}

const char* label(Shape shape)
{
    return shape == Flat ? "200 glyphs in a row" : "200 nodes: choices, repetitions, negations";
}

void relayout(benchmark::State& state)
{
    const Shape shape = Shape(state.range(0));
    MapWidget map(false, nullptr, nullptr);
    map.resize(1200, 400);
    map.setRoot(pattern(shape));

    QElapsedTimer clock;
    clock.start();
    map.relayout();
    const double firstMs = clock.nsecsElapsed() / 1e6;
    double totalMs = 0;
    double worstMs = 0;
    for (auto _ : state) {
        clock.restart();
        map.relayout();
        const double ms = clock.nsecsElapsed() / 1e6;
        totalMs += ms;
        worstMs = std::max(worstMs, ms);
    }
    state.counters["first_ms"] = firstMs;
    state.counters["relayout_ms"] = totalMs / double(state.iterations());
    state.counters["worst_ms"] = worstMs;
    state.counters["items"] = map.items.size();
    state.counters["item_size"] = map.itemSize;
    state.SetLabel(label(shape));
}

// 500 edits chosen at random, as the ribbon's buttons and the keys make
// them: a node is selected, then an insertion, a stack, a negation, a
// deletion, an undo or a redo follows.
void randomEdits(benchmark::State& state)
{
    const Shape shape = Shape(state.range(0));
    RibbonMapWidget ribbon(false, nullptr, nullptr);
    MapWidget& map = *ribbon.map;
    map.resize(1200, 400);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);

    double firstMs = -1;
    double totalMs = 0;
    double worstMs = 0;
    int nodesAtEnd = 0;
    unsigned seed = 1;
    for (auto _ : state) {
        map.setRoot(pattern(shape));
        std::mt19937 random(seed++);
        QElapsedTimer clock;
        clock.start();
        for (int edit = 0; edit < 500; ++edit) {
            // The nodes of the items in item order (what a click can reach).
            QList<ParseNode*> nodes;
            for (BinItem* item : map.items) {
                if (ParseNode* node = map.itemNode.value(item, nullptr))
                    nodes.append(node);
            }
            if (!nodes.isEmpty())
                map.selectNode(nodes.at(int(random() % unsigned(nodes.size()))));
            switch (random() % 10) {
            case 0: ribbon.insertAfter(); break;
            case 1: ribbon.insertBefore(); break;
            case 2: ribbon.insertIterator(); break;
            case 3: ribbon.insertChoice(); break;
            case 4: ribbon.insertNegation(); break;
            case 5: ribbon.insertStack(); break;
            case 6:
            case 7: map.keyPressEvent(&del); break;
            case 8: ribbon.undoAction(); break;
            default: ribbon.redoAction(); break;
            }
        }
        const double ms = clock.nsecsElapsed() / 1e6;
        if (firstMs < 0)
            firstMs = ms;
        totalMs += ms;
        worstMs = std::max(worstMs, ms);
        nodesAtEnd = countNodes(map.root);
    }
    state.counters["first_500_ms"] = firstMs;
    state.counters["edits_500_ms"] = totalMs / double(state.iterations());
    state.counters["worst_500_ms"] = worstMs;
    state.counters["nodes_at_end"] = nodesAtEnd;
    state.counters["history"] = map.history.size();
    state.SetLabel(label(shape));
}

// The condition dialog over a log whose attribute has 10000 values; every
// update is timed from the text to the completer's list, as a keystroke at
// "attribute == " does.
enum Values { Addresses = 0, Numbers = 1 };

void completerValues(benchmark::State& state)
{
    const Values values = Values(state.range(0));
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
    MainWindow window;
    TList<QSharedPointer<Packet>> events;
    for (int i = 0; i < 10000; ++i) {
        const TVariant value = values == Addresses
                                   ? TVariant(QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg((i / 256) % 256).arg(i % 256))
                                   : TVariant(100000 + i * 7);
        TList<TVariant> row = {TVariant(1000 + i), value};
        auto event = QSharedPointer<Packet>::create(row);
        event->conversationId = i % 100;
        events.append(event);
    }
    window.controlWidget->loadData(events, {"frame.time_epoch", "value"},
                                   {1, values == Addresses ? 3 : 1});

    QueryWidget query(window.controlWidget, QString());
    query.textEdit->setPlainText(QStringLiteral("value == "));
    QElapsedTimer clock;
    clock.start();
    query.updateCompleter();
    const double firstMs = clock.nsecsElapsed() / 1e6;
    double totalMs = 0;
    double worstMs = 0;
    for (auto _ : state) {
        clock.restart();
        query.updateCompleter();
        const double ms = clock.nsecsElapsed() / 1e6;
        totalMs += ms;
        worstMs = std::max(worstMs, ms);
    }
    if (query.completer->completionCount() != 10000)
        state.SkipWithError("the completer does not offer every value");
    state.counters["first_ms"] = firstMs;
    state.counters["update_ms"] = totalMs / double(state.iterations());
    state.counters["worst_ms"] = worstMs;
    state.SetLabel(values == Addresses ? "10000 text values" : "10000 numbers");
    MessageAsker::setHandler({});
}

} // namespace

BENCHMARK(relayout)->Arg(Flat)->Arg(Nested)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(randomEdits)->Arg(Flat)->Arg(Nested)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(completerValues)->Arg(Addresses)->Arg(Numbers)->Unit(benchmark::kMillisecond)->Iterations(10);

int main(int argc, char** argv)
{
    // The main window reads and writes its settings file in the folder it
    // starts in.
    const int scratch = benchsupport::runInScratchFolder(argc, argv);
    if (scratch >= 0)
        return scratch;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
