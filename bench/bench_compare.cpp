// Rebuilding the comparison table of the glyph popup and the inspection
// dialog: 500 events of a log with 60 attributes, as one row per event,
// side by side (501 columns), and with half of the values absent.

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "views/events/CompareWidget.h"

#include <QApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

const int kEvents = 500;
const int kAttributes = 60;

struct Setup
{
    std::unique_ptr<ControlWidget> control;
    TList<QSharedPointer<Packet>> dense;
    TList<QSharedPointer<Packet>> sparse;
};

Setup& setup()
{
    static Setup* s = nullptr;
    if (s)
        return *s;
    s = new Setup;
    s->control.reset(new ControlWidget(nullptr));
    // Names in the reverse order of their columns: the table sorts them.
    TList<QString> names;
    TList<int> kinds;
    for (int a = 0; a < kAttributes; ++a) {
        names.append(QStringLiteral("attribute.%1").arg(kAttributes - a, 2, 10, QLatin1Char('0')));
        kinds.append(a % 3 == 0 ? 3 : 1);
    }
    s->control->glyphStore->setAttributes(names, kinds);
    for (int e = 0; e < kEvents; ++e) {
        TList<TVariant> full;
        TList<TVariant> half;
        for (int a = 0; a < kAttributes; ++a) {
            TVariant v;
            if (a % 3 == 0)
                v = TVariant(QStringLiteral("text %1 of %2").arg(e).arg(a), false, nullptr);
            else if (a % 3 == 1)
                v = TVariant(e * 7 + a, nullptr);
            else
                v = TVariant(e * 0.25 + a, nullptr);
            full.append(v);
            half.append((e + a) % 2 == 0 ? v : TVariant());
        }
        s->dense.append(QSharedPointer<Packet>(new Packet(full)));
        s->sparse.append(QSharedPointer<Packet>(new Packet(half)));
    }
    return *s;
}

// state.range(0): 0 a row per event, 1 side by side, 2 a row per event
// with half of the values absent.
void BM_UpdateTable(benchmark::State& state)
{
    Setup& s = setup();
    const int shape = int(state.range(0));
    CompareWidget table(s.control.get(), kEvents, shape != 1);
    table.resize(600, 400);
    table.packets = shape == 2 ? s.sparse : s.dense;

    // The first rebuild of the process pays for fonts and styles too.
    QElapsedTimer first;
    first.start();
    table.updateTable();
    const double firstMs = first.nsecsElapsed() / 1e6;

    for (auto _ : state)
        table.updateTable();

    const int cells = table.rowCount() * table.columnCount();
    if ((shape == 1 && table.columnCount() != kEvents + 1)
        || (shape != 1 && table.rowCount() != kEvents))
        state.SkipWithError("the table has the wrong shape");
    state.counters["first_ms"] = firstMs;
    state.counters["cells"] = cells;
}

} // namespace

BENCHMARK(BM_UpdateTable)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(10);

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
