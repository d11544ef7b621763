// Multiple sequence alignment of glyph sequences along the clustering tree,
// side by side with clustalo (one thread) on the same sequences written as
// FASTA, the glyph names mapped to the amino-acid letters.

#include "BenchSupport.h"

#include "items/BinItem.h"
#include "views/sequences/SequenceAlignment.h"
#include "views/sequences/SequenceWidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace {

const char LETTERS[] = "ACDEFGHIKLMNPQRSTVWY";
constexpr int NAMES = 20;

struct Shape
{
    const char* name;
    int sequences;
    int length;
    int backbones;      // 0: distinct random sequences of 3 to `length` glyphs
    int insertions;     // per sequence, each paired with a deletion
    int substitutions;  // per sequence
    int names = NAMES;
};

const Shape SHAPES[] = {
    {"500x100, 5 backbones", 500, 100, 5, 8, 4},
    {"500x100, 1 backbone, noisy", 500, 100, 1, 15, 10},
    {"100x300, 3 backbones", 100, 300, 3, 20, 10},
    {"3110 random, 3-55 of 18 names", 3110, 55, 0, 0, 0, 18},
};

// Sequences of name indices: copies of a few backbones, each with glyphs
// inserted (and as many removed elsewhere, keeping the length) and a few
// substituted; or distinct random ones.
std::vector<std::vector<int>> makeSequences(const Shape& shape)
{
    QRandomGenerator random(uint(shape.sequences * 1000 + shape.length + shape.insertions));
    if (shape.backbones == 0) {
        std::set<std::vector<int>> seen;
        std::vector<std::vector<int>> sequences;
        while (int(sequences.size()) < shape.sequences) {
            std::vector<int> seq(std::size_t(random.bounded(3, shape.length + 1)));
            for (int& name : seq)
                name = random.bounded(shape.names);
            if (seen.insert(seq).second)
                sequences.push_back(seq);
        }
        return sequences;
    }
    std::vector<std::vector<int>> backbones(std::size_t(shape.backbones));
    for (auto& b : backbones)
        for (int k = 0; k < shape.length; ++k)
            b.push_back(random.bounded(NAMES));
    std::vector<std::vector<int>> sequences;
    for (int s = 0; s < shape.sequences; ++s) {
        std::vector<int> seq = backbones[std::size_t(random.bounded(shape.backbones))];
        for (int k = 0; k < shape.insertions; ++k) {
            seq.insert(seq.begin() + random.bounded(int(seq.size()) + 1), random.bounded(NAMES));
            seq.erase(seq.begin() + random.bounded(int(seq.size())));
        }
        for (int k = 0; k < shape.substitutions; ++k)
            seq[std::size_t(random.bounded(int(seq.size())))] = random.bounded(NAMES);
        sequences.push_back(seq);
    }
    return sequences;
}

struct Results
{
    double oursMs = -1;
    double clustaloMs = -1;
    int oursColumns = 0;
    int clustaloColumns = 0;
};
std::map<int, Results> results;

void BM_Ours(benchmark::State& state)
{
    const Shape& shape = SHAPES[state.range(0)];
    state.SetLabel(shape.name);
    const auto indices = makeSequences(shape);
    std::vector<std::unique_ptr<BinItem>> glyphs;
    TList<TList<BinItem*>> sequences;
    std::set<BinItem*> inputs;
    for (const auto& seq : indices) {
        TList<BinItem*> row;
        for (int name : seq) {
            glyphs.push_back(std::make_unique<BinItem>(nullptr, nullptr));
            glyphs.back()->name = QStringLiteral("glyph %1").arg(name);
            inputs.insert(glyphs.back().get());
            row.append(glyphs.back().get());
        }
        sequences.append(row);
    }
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        TList<TList<BinItem*>> aligned = SequenceWidget::computeAlignment(sequences);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000.0);
        results[int(state.range(0))].oursMs = ms;
        results[int(state.range(0))].oursColumns = aligned.first().size();
        state.counters["columns"] = aligned.first().size();
        std::set<BinItem*> gaps;
        for (auto& row : aligned)
            for (BinItem* item : row)
                if (!inputs.count(item))
                    gaps.insert(item);
        for (BinItem* gap : gaps)
            delete gap;
    }
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

void BM_Clustalo(benchmark::State& state)
{
    const Shape& shape = SHAPES[state.range(0)];
    state.SetLabel(shape.name);
    const QString clustalo = QStandardPaths::findExecutable(QStringLiteral("clustalo"));
    if (clustalo.isEmpty()) {
        state.SkipWithError("clustalo is not installed (tools/deps.sh bench)");
        return;
    }
    const QString in = QDir::tempPath() + QStringLiteral("/lumivane_bench_msa_%1.fa").arg(state.range(0));
    const QString out = in + QStringLiteral(".aln");
    {
        QFile file(in);
        if (!file.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot write the FASTA file");
            return;
        }
        int s = 0;
        for (const auto& seq : makeSequences(shape)) {
            file.write(">s" + QByteArray::number(s++) + "\n");
            QByteArray letters;
            for (int name : seq)
                letters += LETTERS[name];
            file.write(letters + "\n");
        }
    }
    for (auto _ : state) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        process.start(clustalo, {"--threads=1", "--force", "-i", in, "-o", out});
        process.waitForFinished(-1);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000.0);
        if (process.exitCode() != 0) {
            state.SkipWithError("clustalo failed");
            return;
        }
        results[int(state.range(0))].clustaloMs = ms;
    }
    QFile aligned(out);
    if (aligned.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = aligned.readAll().split('>');
        if (lines.size() > 1) {
            const QByteArray first = lines.at(1);
            const QByteArray body = first.mid(first.indexOf('\n') + 1).replace("\n", "");
            results[int(state.range(0))].clustaloColumns = body.size();
            state.counters["columns"] = body.size();
        }
    }
    QFile::remove(in);
    QFile::remove(out);
}

} // namespace

BENCHMARK(BM_Ours)->DenseRange(0, 3)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Clustalo)->DenseRange(0, 3)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The walk writes one debug line per step; the log goes nowhere here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nSide by side (wall time of one run):\n");
    for (const auto& [index, r] : results) {
        std::printf("  %-28s ours %9.1f ms (%d columns)   clustalo %9.1f ms (%d columns)",
                    SHAPES[index].name, r.oursMs, r.oursColumns, r.clustaloMs, r.clustaloColumns);
        if (r.oursMs > 0 && r.clustaloMs > 0)
            std::printf("   clustalo/ours %.2f", r.clustaloMs / r.oursMs);
        std::printf("\n");
    }
    return 0;
}
