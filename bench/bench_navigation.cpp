// The context tree and the selection actions at the scale of a full log:
// rebuilding a tree of 1000 contexts (target 200 ms), saving a selection of
// 100000 events over an 800000-event root as a context and an attribute
// (target 1 s), and exporting 800000 selected events of 14 columns (target
// 10 s, with memory that does not grow with the file). Each runs on two
// shapes of data. The first run of a process is reported on its own
// (first_ms); run one benchmark per process with --benchmark_filter to see
// each shape's first run fresh.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "core/ValueInterner.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace {

using Packets = TList<QSharedPointer<Packet>>;

constexpr int kEvents = 800000;
constexpr int kColumns = 14;
constexpr int kTraces = 20000;
constexpr int kSelected = 100000;
constexpr int kContexts = 1000;

enum LogShape { PlainValues = 0, QuotedValues = 1 };
enum TreeShape { Flat = 0, Nested = 1 };
enum SelectionShape { RootOrder = 0, Shuffled = 1 };

// What the event loop does after a rebuild: the bars of the removed rows go
// through deleteLater, and the new ones wait for layout and polish.
void drainEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

// A controller whose store holds the generated log as a computed root
// context. Quoted values: two text columns hold commas and quotes, which
// the export writes in quotes.
struct LoadedLog
{
    explicit LoadedLog(LogShape shape)
    {
        GlyphStore* store = control.glyphStore;
        QFile file(benchsupport::generatedLog(kEvents, kColumns, kTraces));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read the generated log\n");
            std::exit(1);
        }
        const QStringList header = QString::fromUtf8(file.readLine()).trimmed().split(',');
        TList<int> kinds;
        for (const QString& name : header) {
            const bool text = name == "ip.src" || name == "ip.dst" || name == "frame.protocols"
                              || name == "smb2.filename" || name == "http.method";
            kinds.append(text ? 3 : 1);
        }
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>(header), kinds);
        const int srcColumn = header.indexOf("ip.src");
        const int protocolColumn = header.indexOf("frame.protocols");
        const int fileColumn = header.indexOf("smb2.filename");

        ValueInterner values;
        QHash<QString, int> traceOf;
        Packets events;
        events.items.reserve(kEvents);
        while (!file.atEnd()) {
            QStringList fields = QString::fromUtf8(file.readLine()).trimmed().split(',');
            if (shape == QuotedValues) {
                fields[protocolColumn].replace(QLatin1Char(':'), QLatin1Char(','));
                fields[fileColumn] = QStringLiteral("\"") + fields[fileColumn] + QStringLiteral("\", v2");
            }
            std::vector<quint32> row(std::size_t(fields.size()));
            for (int c = 0; c < fields.size(); ++c)
                row[std::size_t(c)] = values.text(c, fields.at(c), &store->textPool);
            QSharedPointer<Packet> p = values.packet(row.data(), int(row.size()));
            auto it = traceOf.find(fields.value(srcColumn));
            if (it == traceOf.end())
                it = traceOf.insert(fields.value(srcColumn), traceOf.size());
            p->conversationId = it.value();
            events.append(p);
        }
        store->rootContext = new Context(nullptr, QStringLiteral("All"), events, store, true);
    }

    Context* root() const { return control.glyphStore->rootContext; }

    ControlWidget control{nullptr};
    NavigationWidget nav{&control, nullptr};
};

// Answers every message box with OK.
struct QuietBoxes
{
    QuietBoxes()
    {
        previous = MessageAsker::setHandler(
            [](const MessageAsker::Request&) { return QMessageBox::Ok; });
    }
    ~QuietBoxes() { MessageAsker::setHandler(previous); }
    MessageAsker::Handler previous;
};

void rebuildTree(benchmark::State& state)
{
    const TreeShape shape = TreeShape(state.range(0));
    // A root of 20000 events over 500 traces.
    ControlWidget control(nullptr);
    GlyphStore* store = control.glyphStore;
    store->resetConversationAttributes();
    store->setAttributes({"frame.time_epoch", "ip.src", "ip.dst"}, {1, 3, 3});
    Packets events;
    for (int i = 0; i < 20000; ++i) {
        TList<TVariant> row = {TVariant(1600000000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 500)),
                               TVariant(QStringLiteral("10.0.1.%1").arg(i % 7))};
        auto p = QSharedPointer<Packet>::create(row);
        p->conversationId = i % 500;
        events.append(p);
    }
    Context* root = new Context(nullptr, QStringLiteral("All"), events, store, true);
    store->rootContext = root;

    // Flat: 1000 selections below the root. Nested: every context gets
    // three children, breadth first, down to seven levels.
    QList<Context*> contexts{root};
    for (int i = 0; i < kContexts; ++i) {
        Context* parent = shape == Flat ? root : contexts.at(i / 3);
        Packets slice;
        for (int k = 0; k < 40; ++k)
            slice.append(events.at((i * 37 + k * 11) % events.size()));
        contexts.append(new Context(parent, QStringLiteral("Selection %1").arg(i), slice, store, true));
    }

    NavigationWidget nav(&control, nullptr);
    nav.resize(400, 600);
    nav.show();
    drainEvents();

    QElapsedTimer clock;
    clock.start();
    nav.refresh();
    drainEvents();
    const double firstMs = clock.nsecsElapsed() / 1e6;

    double totalMs = 0;
    double worstMs = 0;
    for (auto _ : state) {
        clock.restart();
        nav.rebuildTree();
        drainEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        totalMs += ms;
        worstMs = std::max(worstMs, ms);
    }
    if (nav.items.size() != kContexts + 1)
        state.SkipWithError("the tree does not show every context");
    const double runs = double(state.iterations());
    state.counters["first_ms"] = firstMs;
    state.counters["rebuild_ms"] = totalMs / runs;
    state.counters["worst_ms"] = worstMs;
    state.SetLabel(shape == Flat ? "1000 contexts below the root" : "1000 contexts, 3 children each");
}

void saveSelection(benchmark::State& state)
{
    const SelectionShape shape = SelectionShape(state.range(0));
    LoadedLog log(PlainValues);
    Context* root = log.root();
    // Every eighth event, in the root's order or shuffled (clustered rows).
    Packets selection;
    for (int i = 0; i < root->packets.size() && selection.size() < kSelected; i += 8)
        selection.append(root->packets.at(i));
    if (shape == Shuffled)
        std::shuffle(selection.items.begin(), selection.items.end(), *QRandomGenerator::global());
    log.nav.refresh();
    QuietBoxes boxes;

    double firstMs = -1;
    double totalMs = 0;
    int n = 0;
    QElapsedTimer clock;
    for (auto _ : state) {
        // The name dialog is accepted with its proposal as soon as it shows.
        QTimer::singleShot(0, []() {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<TextInputWidget*>(w); d && d->isVisible())
                    d->isValid();
            }
        });
        clock.start();
        Context* saved = log.nav.saveSelection(root, selection);
        drainEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (!saved || saved->packets.size() != kSelected) {
            state.SkipWithError("the selection was not saved");
            break;
        }
        if (firstMs < 0)
            firstMs = ms;
        totalMs += ms;
        ++n;
    }
    GlyphStore* store = log.control.glyphStore;
    const int column = store->packetAttributeNames.size() - 1;
    int marked = 0;
    for (const QSharedPointer<Packet>& p : root->packets.items)
        marked += p->get(column).toInt();
    if (marked != kSelected)
        state.SkipWithError("the attribute does not mark every selected event");
    state.counters["first_ms"] = firstMs;
    state.counters["save_ms"] = totalMs / std::max(1, n);
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
    state.SetLabel(shape == RootOrder ? "100000 of 800000, root order"
                                      : "100000 of 800000, shuffled");
}

void exportSelection(benchmark::State& state)
{
    const LogShape shape = LogShape(state.range(0));
    LoadedLog log(shape);
    const Packets selection = log.root()->packets;
    const QString path = QDir::tempPath() + QStringLiteral("/lumivane_bench_selection.csv");
    QuietBoxes boxes;

    double firstMs = -1;
    double totalMs = 0;
    double growthMB = 0;
    int n = 0;
    QElapsedTimer clock;
    for (auto _ : state) {
        const std::size_t before = benchsupport::rssBytes();
        benchsupport::resetPeak();
        clock.start();
        const bool ok = log.nav.exportSelection(path, selection);
        const double ms = clock.nsecsElapsed() / 1e6;
        const std::size_t peak = benchsupport::peakRssBytes();
        if (!ok) {
            state.SkipWithError("the export failed");
            break;
        }
        growthMB = std::max(growthMB, (double(peak) - double(before)) / (1024.0 * 1024.0));
        if (firstMs < 0)
            firstMs = ms;
        totalMs += ms;
        ++n;
    }
    state.counters["first_ms"] = firstMs;
    state.counters["export_ms"] = totalMs / std::max(1, n);
    state.counters["rss_growth_MB"] = growthMB;
    state.counters["file_MB"] = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    state.SetLabel(shape == PlainValues ? "800000 events, 14 columns"
                                        : "800000 events, 14 columns, quoted texts");
    QFile::remove(path);
}

} // namespace

BENCHMARK(rebuildTree)->Arg(Flat)->Arg(Nested)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(saveSelection)->Arg(RootOrder)->Arg(Shuffled)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(exportSelection)->Arg(PlainValues)->Arg(QuotedValues)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Contexts write a few debug lines each; keep the report readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
