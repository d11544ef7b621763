// Paints 10000 labelled 40 x 40 glyphs into an image, the way a matrix cell
// renders its rows, and reports the time per glyph.

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <vector>

#include "BenchSupport.h"
#include "items/BinItem.h"

namespace {

constexpr int GLYPHS = 10000;
constexpr int COLUMNS = 50;
constexpr int ROWS = 50;
constexpr int SIZE = 40;

std::vector<BinItem> makeGlyphs()
{
    std::vector<BinItem> glyphs;
    glyphs.reserve(GLYPHS);
    const QColor fills[] = {QColor(141, 211, 199), QColor(255, 255, 179), QColor(190, 186, 218),
                            QColor(251, 128, 114), QColor(128, 177, 211), QColor(30, 60, 90)};
    for (int i = 0; i < GLYPHS; ++i) {
        BinItem glyph(nullptr, nullptr);
        glyph.setWidth(SIZE);
        glyph.setHeight(SIZE);
        glyph.setPos(QPointF((i % COLUMNS) * SIZE, ((i / COLUMNS) % ROWS) * SIZE));
        glyph.shape = i % 5;
        glyph.fillColor = fills[i % 6];
        glyph.edgeWidth = i % 3;
        glyph.label = QString(QChar('A' + i % 26)) + QString::number(i % 4);
        glyph.selected = i % 11 == 0;
        glyph.selectedCount = glyph.selected ? 1 : 0;
        glyph.totalCount = 2;
        if (i % 7 == 0)
            glyph.detail = QStringLiteral("3");
        glyphs.push_back(glyph);
    }
    return glyphs;
}

void paintLabelledGlyphs(benchmark::State& state)
{
    std::vector<BinItem> glyphs = makeGlyphs();
    QImage image(COLUMNS * SIZE, ROWS * SIZE, QImage::Format_ARGB32_Premultiplied);
    QElapsedTimer timer;
    qint64 paintingNs = 0;
    for (auto _ : state) {
        image.fill(Qt::white);
        timer.start();
        QPainter painter(&image);
        QPen pen;
        QBrush brush;
        for (BinItem& glyph : glyphs)
            glyph.paint(&painter, pen, brush);
        painter.end();
        paintingNs += timer.nsecsElapsed();
        benchmark::DoNotOptimize(image.constBits());
    }
    // Wall time of the painting alone (the image is cleared outside it).
    state.counters["us_per_glyph"] =
        double(paintingNs) / 1000.0 / (double(state.iterations()) * GLYPHS);
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
    state.SetLabel("10000 labelled 40x40 glyphs per iteration");
}

} // namespace

BENCHMARK(paintLabelledGlyphs)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
