// Painting cost of the axes: the calendar time axis of the charts and the
// categorical axis of the matrix and histograms, each painted 1000 times
// into an 800 x 40 image (target: under one second per 1000 paints).
#include "BenchSupport.h"

#include "core/TVariant.h"
#include "items/AxisPer.h"
#include "items/BinAxis.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

constexpr int PAINTS = 1000;

double paintMany(IAxis& axis)
{
    QImage img(800, 40, QImage::Format_ARGB32);
    QPen pen;
    QBrush brush;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < PAINTS; ++i) {
        img.fill(Qt::white);
        QPainter painter(&img);
        axis.paint(&painter, brush, pen);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// state.range(0): visible range in seconds (one hour, one day, one year).
void BM_TimeAxis1000Paints(benchmark::State& state)
{
    const double from = 1577836800;  // 2020-01-01
    const double to = from + double(state.range(0));
    AxisPer axis("frame.time_epoch", -1, from, to, from, to, 60, false, true);
    axis.setSize(800, 40);
    double seconds = 0;
    for (auto _ : state)
        seconds = paintMany(axis);
    state.counters["s_per_1000"] = seconds;
    state.counters["ticks"] = axis.ticks.size();
    state.SetLabel(seconds < 1.0 ? "under 1 s" : "OVER 1 s");
}
BENCHMARK(BM_TimeAxis1000Paints)
    ->Arg(3600)->Arg(86400)->Arg(365 * 86400)
    ->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_BinAxis1000Paints(benchmark::State& state)
{
    TList<TVariant> values;
    for (int i = 0; i < 40; ++i)
        values.append(TVariant(QStringLiteral("value%1").arg(i)));
    BinAxis axis(QPointF(0, 0), 800, 40, "ip.src", values, THash<QString, int>(), false, false,
                 false);
    double seconds = 0;
    for (auto _ : state)
        seconds = paintMany(axis);
    state.counters["s_per_1000"] = seconds;
    state.counters["bins"] = axis.count();
    state.SetLabel(seconds < 1.0 ? "under 1 s" : "OVER 1 s");
}
BENCHMARK(BM_BinAxis1000Paints)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // Fonts need a GUI application; no window system is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("peak RSS: %.1f MB\n", benchsupport::peakRssBytes() / 1048576.0);
    return 0;
}
