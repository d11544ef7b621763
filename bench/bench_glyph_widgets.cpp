// The glyph table refilled with 500 glyphs (target: 500 ms a refill) and
// the event completer's filter over 500 glyphs (target: 50 ms a keystroke),
// each on two shapes of glyphs. The first run of a process is reported on
// its own (first_ms); run one benchmark per process with
// --benchmark_filter to see each shape's first run fresh.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTableWidget>

#include <algorithm>
#include <memory>

#include "BenchSupport.h"
#include "app/ControlWidget.h"
#include "editors/EventCompleter.h"
#include "editors/GlyphWidget.h"
#include "model/GlyphStore.h"

namespace {

constexpr int GLYPHS = 500;

enum Shape { Plain = 0, Varied = 1 };

const char* const WORDS[] = {"Login", "logout", "Read", "Write", "Open", "Close", "Create",
                             "Delete", "Ioctl", "Flush", "Lock", "Notify", "Query", "Set"};
constexpr int WORD_COUNT = int(sizeof(WORDS) / sizeof(WORDS[0]));

// Plain: unlabelled squares named "Glyph 000" ..; varied: names built from
// protocol words, labels, all shapes, edges and sizes from 50 to 150 %.
BinItem makeGlyph(int i, Shape shape)
{
    BinItem g(nullptr, nullptr);
    if (shape == Plain) {
        g.name = QStringLiteral("Glyph %1").arg(i, 3, 10, QLatin1Char('0'));
        g.fillColor = QColor::fromHsv((i * 7) % 360, 160, 220);
        return g;
    }
    g.name = QStringLiteral("%1 %2 %3")
                 .arg(QLatin1String(WORDS[i % WORD_COUNT]))
                 .arg(QString::fromLatin1(WORDS[(i / WORD_COUNT) % WORD_COUNT]).toLower())
                 .arg(i);
    g.label = QString(QChar('A' + i % 26)) + QString::number(i % 10);
    g.shape = i % 5;
    g.edgeWidth = 1 + i % 3;
    g.edgeColor = QColor::fromHsv((i * 13) % 360, 255, 120);
    g.fillColor = QColor::fromHsv((i * 7) % 360, 160, 220);
    g.sizeFactor = 0.5 + (i % 11) * 0.1;
    return g;
}

void fillStore(GlyphStore* store, Shape shape)
{
    for (int i = 0; i < GLYPHS; ++i) {
        BinItem g = makeGlyph(i, shape);
        store->addGlyph(g);
    }
}

// What the event loop does after a refill: the cell widgets of the removed
// rows go through deleteLater, and the new ones have layout and polish
// events waiting. Both belong to the refill (and left waiting they would
// pile up over the iterations, which no application loop lets happen).
void drainEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

void refillGlyphTable(benchmark::State& state)
{
    const Shape shape = Shape(state.range(0));
    ControlWidget control(nullptr);
    fillStore(control.glyphStore, shape);

    QElapsedTimer clock;
    clock.start();
    auto table = std::make_unique<GlyphWidget>(&control);
    table->resize(600, 800);
    table->show();
    drainEvents();
    const double firstMs = clock.nsecsElapsed() / 1e6;

    double totalMs = 0;
    double worstMs = 0;
    double paintMs = 0;
    for (auto _ : state) {
        clock.restart();
        table->insertGlyphRow();
        drainEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        totalMs += ms;
        worstMs = std::max(worstMs, ms);
        // What the analyst then sees: the visible rows painted.
        clock.restart();
        benchmark::DoNotOptimize(table->grab());
        drainEvents();
        paintMs += clock.nsecsElapsed() / 1e6;
    }
    if (table->table->rowCount() != GLYPHS + 5)
        state.SkipWithError("the table does not hold every glyph");
    const double runs = double(state.iterations());
    state.counters["first_ms"] = firstMs;
    state.counters["refill_ms"] = totalMs / runs;
    state.counters["worst_ms"] = worstMs;
    state.counters["paint_ms"] = paintMs / runs;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
    state.SetLabel(shape == Plain ? "500 plain glyphs" : "500 labelled glyphs, all shapes");
}

// Typing a search text one key at a time and deleting it again; a key
// counts until the popup is painted with the new list.
void completerFilter(benchmark::State& state)
{
    const Shape shape = Shape(state.range(0));
    TList<BinItem> glyphs;
    for (int i = 0; i < GLYPHS; ++i)
        glyphs.append(makeGlyph(i, shape));
    // Plain: every name keeps matching for six keys; varied: the list
    // narrows quickly, then one more key matches nothing.
    const QString typed = shape == Plain ? QStringLiteral("Glyph 12") : QStringLiteral("Read lock 14x");

    QElapsedTimer clock;
    clock.start();
    auto completer = std::make_unique<EventCompleter>(glyphs, nullptr, true, nullptr);
    const double constructMs = clock.nsecsElapsed() / 1e6;
    completer->resize(300, 600);
    completer->show();
    drainEvents();

    double firstMs = -1;
    double totalMs = 0;
    double worstMs = 0;
    long keys = 0;
    int shownAtEnd = -1;
    for (auto _ : state) {
        for (int step = 1; step <= 2 * typed.size(); ++step) {
            const int length = step <= typed.size() ? step : 2 * typed.size() - step;
            clock.restart();
            completer->updateFilter(typed.left(length));
            // The popup as the analyst then sees it.
            benchmark::DoNotOptimize(completer->grab());
            drainEvents();
            const double ms = clock.nsecsElapsed() / 1e6;
            if (firstMs < 0)
                firstMs = ms;
            totalMs += ms;
            worstMs = std::max(worstMs, ms);
            ++keys;
            if (step == typed.size() - 1)
                shownAtEnd = completer->list->count();
        }
    }
    if (completer->list->count() != GLYPHS + 1)
        state.SkipWithError("the cleared filter does not show every glyph");
    state.counters["construct_ms"] = constructMs;
    state.counters["first_key_ms"] = firstMs;
    state.counters["key_ms"] = totalMs / double(keys);
    state.counters["worst_key_ms"] = worstMs;
    state.counters["shown_before_last_key"] = shownAtEnd;
    state.SetLabel(shape == Plain ? "500 glyphs, all matching" : "500 glyphs, narrowing");
}

} // namespace

BENCHMARK(refillGlyphTable)->Arg(Plain)->Arg(Varied)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(completerFilter)->Arg(Plain)->Arg(Varied)->Unit(benchmark::kMillisecond)->Iterations(10);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
