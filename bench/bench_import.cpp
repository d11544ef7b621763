// Importing a generated 800000-line, 14-column event log end to end without
// the dialogs: header and preview, reading every record into an event with
// its derived time attributes, then computing the root context.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/LoggingDefaults.h"
#include "app/MessageAsker.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/IPacketStream.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "import/OpenWidgetWorker.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QRadioButton>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

const int kLines = 800000;
const int kColumns = 14;
const int kTraces = 20000;

void BM_ImportLog(benchmark::State& state)
{
    const QString path = benchsupport::generatedLog(kLines, kColumns, kTraces);
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });

    int events = 0;
    double countMs = 0;
    double readMs = 0;
    double contextMs = 0;
    int traces = 0;
    int attributes = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<ControlWidget> owner(new ControlWidget(nullptr));
        ControlWidget& control = *owner;
        std::unique_ptr<OpenWidget> dialog(new OpenWidget(&control));

        // Choosing the file: header, names and the 3000-record preview.
        dialog->openFile();
        dialog->groupingCombo->setCurrentText(QStringLiteral("ip.src"));
        dialog->openInit();

        // What "Open" does, less its dialogs: count, read on the worker's
        // code path, hand names, kinds and pool to a new store.
        IPacketStream* stream = dialog->stream;
        const int count = stream->countLines(kLines);
        stream->readLine();
        const qint64 tCount = clock.elapsed();
        OpenWidgetWorker worker(dialog.get(), dialog->separator, count);
        worker.loadData();
        const qint64 tRead = clock.elapsed();

        std::unique_ptr<GlyphStore> store = benchsupport::takeLoadedLog(*dialog);
        Context* root = store->rootContext;
        root->createConversations();
        const qint64 tContext = clock.elapsed();
        countMs += double(tCount);
        readMs += double(tRead - tCount);
        contextMs += double(tContext - tRead);

        events = root->packets.size();
        traces = root->size();
        attributes = store->packetAttributeNames.size();
        benchmark::DoNotOptimize(root);
        // Releasing the log is not part of loading it (a first load has
        // nothing to release).
        state.PauseTiming();
        store.reset();
        dialog.reset();
        owner.reset();
        state.ResumeTiming();
    }
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    if (events != kLines)
        state.SkipWithError("not every record became an event");
    state.counters["events"] = events;
    state.counters["traces"] = traces;
    // Mean wall time of the phases: choosing the file (header, preview) and
    // counting, reading the records, computing the root context.
    const double runs = double(state.iterations());
    state.counters["import_ms"] = (countMs + readMs + contextMs) / runs;
    state.counters["open_count_ms"] = countMs / runs;
    state.counters["read_ms"] = readMs / runs;
    state.counters["context_ms"] = contextMs / runs;
    state.counters["attributes"] = attributes;
    state.counters["peak_rss_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
}

// The reading alone (header, preview, every record with its derived
// attributes), without the root context.
void BM_ReadRecords(benchmark::State& state)
{
    const QString path = benchsupport::generatedLog(kLines, kColumns, kTraces);
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
    int events = 0;
    for (auto _ : state) {
        ControlWidget control(nullptr);
        std::unique_ptr<OpenWidget> dialog(new OpenWidget(&control));
        dialog->openFile();
        dialog->groupingCombo->setCurrentText(QStringLiteral("ip.src"));
        dialog->openInit();
        OpenWidgetWorker worker(dialog.get(), dialog->separator, kLines);
        worker.loadData();
        events = dialog->packets.size();
    }
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    state.counters["events"] = events;
}

} // namespace

BENCHMARK(BM_ReadRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImportLog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv)
{
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
