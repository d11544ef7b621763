// Rules: importing a rules file of 1000 rules, refilling the rule table and
// the side panel's rule list with 200 rules (pictures included), and the
// event matrix over 10000 traces x 80 events rebuilt with 20 rules (with
// no axes chosen, one cell holds every trace).
//
// Each benchmark runs once, in a process of its own (the program starts
// itself again per benchmark unless a filter is given), so the figures are
// those of a first run. Two data shapes each: "short" rules (one glyph with
// a condition into one glyph) and "long" ones (sequences of eight glyphs
// with choices and repetitions); "random" traces (every event one of ten
// kinds at random) and "patterns" (every trace one of ten fixed sequences).
//
// Targets: import 2 s; table and list 1 s each; matrix reload 10 s.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

#include "BenchSupport.h"
#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/RuleWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "model/Context.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"

namespace {

constexpr int TRACES = 10000;
constexpr int EVENTS = 80;
constexpr int KINDS = 10;
constexpr int PATTERNS = 10;

QString kindName(int k)
{
    return QStringLiteral("k%1").arg(k);
}

ParseNode* kindLeaf(int kind)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = QStringLiteral("WildCard");
    auto* test = new ParseNode(ParseNode::Test);
    test->name = QStringLiteral("kind");
    test->op = ParseNode::Equal;
    test->value = TVariant(kindName(kind), false);
    leaf->glyph.condition = test;
    return leaf;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children)
{
    auto* n = new ParseNode(type);
    for (ParseNode* child : children)
        n->addChild(child);
    return n;
}

ParseNode* rewrite(const QString& name, int id)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    leaf->glyph.label = name.left(1);
    leaf->glyph.id = id;
    leaf->glyph.fillColor = QColor::fromHsv((id * 37) % 360, 200, 220);
    leaf->glyph.edgeWidth = 1;
    return node(ParseNode::And, {leaf});
}

// Rule i: short, one kind into its own glyph; long, eight steps of kinds,
// choices and a bounded repetition into one of ten glyphs.
Rule makeRule(int i, bool longRules)
{
    const QString name = QStringLiteral("rule %1").arg(i);
    if (!longRules)
        return Rule(name, node(ParseNode::And, {kindLeaf(i % KINDS)}),
                    rewrite(QStringLiteral("R%1").arg(i), 100 + i), true, true);
    auto* repeat = node(ParseNode::Repeat, {kindLeaf((i + 3) % KINDS)});
    repeat->value = TVariant(1.0, 3.0);
    ParseNode* pre = node(ParseNode::And,
                          {kindLeaf(i % KINDS), node(ParseNode::Or, {kindLeaf((i + 1) % KINDS), kindLeaf((i + 2) % KINDS)}),
                           repeat, kindLeaf((i + 4) % KINDS), node(ParseNode::Star, {kindLeaf((i + 5) % KINDS)}),
                           kindLeaf((i + 6) % KINDS), kindLeaf((i + 7) % KINDS), kindLeaf((i + 8) % KINDS)});
    return Rule(name, pre, rewrite(QStringLiteral("R%1").arg(i % 10), 100 + i % 10), true, true);
}

struct Control
{
    Control() : control(new ControlWidget(nullptr))
    {
        control->glyphStore->setAttributes(
            TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("kind")}, TList<int>{0, 3});
    }
    void addRules(int n, bool longRules)
    {
        for (int i = 0; i < n; ++i)
            control->glyphStore->rules.append(makeRule(i, longRules));
    }
    std::unique_ptr<ControlWidget> control;
};

void importFile(benchmark::State& state, bool longRules)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rules.kolm"));
    {
        Control source;
        source.addRules(1000, longRules);
        QByteArray bytes;
        for (int i = 0; i < source.control->glyphStore->rules.size(); ++i)
            bytes += (i ? "\n" : "") + source.control->glyphStore->rules[i].toString().toLatin1();
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        state.counters["file_kB"] = double(bytes.size()) / 1024.0;
    }
    Control target;
    RuleEditorWidget editor(nullptr, target.control.get());
    for (auto _ : state)
        benchmark::DoNotOptimize(editor.readRulesFile(path));
    state.counters["rules"] = target.control->glyphStore->rules.size();
    state.counters["glyphs"] = target.control->glyphStore->glyphs.size();
}

void refillTable(benchmark::State& state, bool longRules)
{
    Control c;
    c.addRules(200, longRules);
    RuleWidget table(c.control.get(), true, nullptr);
    table.resize(900, 600);
    for (auto _ : state)
        table.setRules();
    state.counters["rows"] = table.rules.size() + 1;
}

void refillList(benchmark::State& state, bool longRules)
{
    Control c;
    c.addRules(200, longRules);
    RuleListWidget list(c.control.get(), nullptr);
    list.resize(330, 600);
    for (auto _ : state)
        list.refreshRules();
    state.counters["rows"] = list.count();
}

// The event matrix with 20 rules: every cell rebuilds its rows with the
// rules, and the matrix lays them out and draws. Timed is the matrix's
// reload, which also files the events into the cells again: the rule
// reload proper (rows rebuilt in place) comes with the matrix interaction.
void matrixReload(benchmark::State& state, bool patterns, bool longRules)
{
    Control c;
    GlyphStore* store = c.control->glyphStore;
    store->resetConversationAttributes();
    c.addRules(20, longRules);
    TVariant kinds[KINDS];
    for (int k = 0; k < KINDS; ++k)
        kinds[k] = TVariant(kindName(k), false);
    QRandomGenerator rng(11);
    int shapes[PATTERNS][EVENTS];
    for (auto& shape : shapes)
        for (int& k : shape)
            k = int(rng.bounded(KINDS));
    TList<QSharedPointer<Packet>> events;
    events.items.reserve(std::size_t(TRACES) * EVENTS);
    double time = 1.6e9;
    for (int t = 0; t < TRACES; ++t) {
        for (int e = 0; e < EVENTS; ++e) {
            const int k = patterns ? shapes[t % PATTERNS][e] : int(rng.bounded(KINDS));
            QSharedPointer<Packet> p(new Packet(TList<TVariant>{TVariant(time), kinds[k]}));
            p->conversationId = t;
            events.append(p);
            time += 0.5;
        }
    }
    auto* context = new Context(nullptr, QStringLiteral("All"), events, store, true);
    store->rootContext = context;   // the store deletes it
    OptionsWidget options(c.control.get(), nullptr);
    EventWidget view(c.control.get(), &options, 0, nullptr);
    options.view = &view;
    view.context = context;
    view.reset();
    view.resizeWidget(1480, 800);
    view.setContext(context);   // the first build, untimed
    for (auto _ : state) {
        view.reload();
        benchmark::DoNotOptimize(view.render(false, false, nullptr));
    }
    int items = 0;
    for (const BinCell* cell : view.cells)
        items += cell->itemCount();
    state.counters["items"] = items;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

} // namespace

BENCHMARK_CAPTURE(importFile, short_rules, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(importFile, long_rules, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(refillTable, short_rules, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(refillTable, long_rules, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(refillList, short_rules, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(refillList, long_rules, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrixReload, random_short_rules, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrixReload, patterns_short_rules, true, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrixReload, random_long_rules, false, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrixReload, patterns_long_rules, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The cells and readers log per step; the figures are what matters here.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    // One fresh process per benchmark.
    return runInFreshProcesses(argc, argv, {"importFile/short_rules", "importFile/long_rules",
                                       "refillTable/short_rules", "refillTable/long_rules",
                                       "refillList/short_rules", "refillList/long_rules",
                                       "matrixReload/random_short_rules", "matrixReload/patterns_short_rules",
                                       "matrixReload/random_long_rules", "matrixReload/patterns_long_rules"});
}
