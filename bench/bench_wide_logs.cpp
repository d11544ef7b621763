// Importing logs of many columns and few rows end to end without the
// dialogs: choosing the file (header, preview, the dialog's lists), reading
// every record, then computing the root context. Prints the time of each
// phase and how far the resident memory rose at its highest during it.
//
// BM_WideLogProcess runs each log in a fresh process of this program, the
// way the application does it: the import dialog is shown, the file is
// chosen, the dialog is laid out and painted, "Open" loads the log and the
// dialog is released. It prints the time of each step and the peak resident
// memory of that whole process.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/LoggingDefaults.h"
#include "app/MessageAsker.h"
#include "core/IPacketStream.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "import/OpenWidgetWorker.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

enum Kind { Number65535, OwnText, Mixed };

// `columns` columns named c0, c1, ... and `rows` records: 65535 in every
// field, a text of its own in every column, or a mix of small numbers,
// texts shared along a column and texts of their own.
QString wideLog(int columns, int rows, Kind kind)
{
    const QString path = QDir::tempPath()
                         + QStringLiteral("/lumivane_bench_wide_%1_%2_%3.csv").arg(columns).arg(rows).arg(int(kind));
    if (QFile::exists(path))
        return path;
    QByteArray bytes;
    for (int c = 0; c < columns; ++c)
        bytes += (c ? ",c" : "c") + QByteArray::number(c);
    bytes += '\n';
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c)
                bytes += ',';
            if (kind == Number65535)
                bytes += "65535";
            else if (kind == OwnText)
                bytes += "t" + QByteArray::number(c);
            else if (c % 3 == 0)
                bytes += QByteArray::number((c * 7 + r) % 65536);
            else if (c % 3 == 1)
                bytes += "x" + QByteArray::number(c % 97) + "_" + QByteArray::number(r % 3);
            else
                bytes += "v" + QByteArray::number(c) + "." + QByteArray::number(r);
        }
        bytes += '\n';
    }
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
    return path;
}

void BM_WideLog(benchmark::State& state)
{
    const int columns = int(state.range(0));
    const int rows = int(state.range(1));
    const QString path = wideLog(columns, rows, Kind(state.range(2)));
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });

    double chooseMs = 0;
    double chooseRiseMb = 0;
    double loadMs = 0;
    double riseMb = 0;
    int events = 0;
    for (auto _ : state) {
        benchsupport::resetPeak();
        const std::size_t start = benchsupport::rssBytes();
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<ControlWidget> owner(new ControlWidget(nullptr));
        std::unique_ptr<OpenWidget> dialog(new OpenWidget(owner.get()));
        dialog->openFile();
        dialog->openInit();
        const qint64 tChoose = clock.elapsed();
        const std::size_t chosen = benchsupport::peakRssBytes();

        benchsupport::resetPeak();
        const std::size_t base = benchsupport::rssBytes();
        clock.restart();
        // What "Open" does, less its dialogs, as bench_import does it.
        IPacketStream* stream = dialog->stream;
        const int count = stream->countLines(800000);
        stream->readLine();
        OpenWidgetWorker worker(dialog.get(), dialog->separator, count);
        worker.loadData();
        std::unique_ptr<GlyphStore> store = benchsupport::takeLoadedLog(*dialog);
        Context* root = store->rootContext;
        root->createConversations();
        const qint64 tLoad = clock.elapsed();
        const std::size_t peak = benchsupport::peakRssBytes();
        events = root->packets.size();
        chooseMs += double(tChoose);
        chooseRiseMb += double(chosen > start ? chosen - start : 0) / (1024.0 * 1024.0);
        loadMs += double(tLoad);
        riseMb += double(peak > base ? peak - base : 0) / (1024.0 * 1024.0);

        state.PauseTiming();
        store.reset();
        dialog.reset();
        owner.reset();
        state.ResumeTiming();
    }
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    if (events != rows)
        state.SkipWithError("not every record became an event");
    const double runs = double(state.iterations());
    // Choosing the file fills the dialog's lists of columns (one entry per
    // column in each list, one row with a box per column in the table).
    state.counters["choose_ms"] = chooseMs / runs;
    state.counters["choose_peak_rise_MB"] = chooseRiseMb / runs;
    // Reading, loading and the root context.
    state.counters["load_ms"] = loadMs / runs;
    state.counters["load_peak_rise_MB"] = riseMb / runs;
}

const char* const WHOLE_PROCESS = "--whole-process=";

// The child's side of BM_WideLogProcess: imports one log through the shown
// dialog and prints what it took, "key=value" on one line.
int runWholeProcess(const char* shape)
{
    int columns = 0;
    int rows = 0;
    int kind = 0;
    if (std::sscanf(shape, "%d,%d,%d", &columns, &rows, &kind) != 3)
        return 2;
    const QString path = wideLog(columns, rows, Kind(kind));
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    int boxes = 0;
    MessageAsker::setHandler([&boxes](const MessageAsker::Request&) {
        ++boxes;
        return QMessageBox::Ok;
    });
    const double startMb = double(benchsupport::rssBytes()) / (1024.0 * 1024.0);

    double chooseMs = 0;
    double shownMs = 0;
    double loadMs = 0;
    int events = -1;
    QElapsedTimer total;
    total.start();
    std::unique_ptr<ControlWidget> owner(new ControlWidget(nullptr));
    std::unique_ptr<OpenWidget> dialog(new OpenWidget(owner.get()));
    QTimer::singleShot(0, dialog.get(), [&]() {
        QElapsedTimer clock;
        clock.start();
        dialog->fileButton->click();
        chooseMs = double(clock.nsecsElapsed()) / 1e6;
        // The layout and the painting of the filled dialog.
        clock.restart();
        QCoreApplication::processEvents();
        shownMs = double(clock.nsecsElapsed()) / 1e6;
        clock.restart();
        dialog->loadButton->click();
        loadMs = double(clock.nsecsElapsed()) / 1e6;
        if (dialog->result() != QDialog::Accepted)
            dialog->reject();
    });
    dialog->exec();
    if (owner->glyphStore && owner->glyphStore->rootContext)
        events = owner->glyphStore->rootContext->packets.size();
    QElapsedTimer clock;
    clock.start();
    dialog.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const double closeMs = double(clock.nsecsElapsed()) / 1e6;
    const double totalMs = double(total.nsecsElapsed()) / 1e6;
    std::printf("start_MB=%.1f choose_ms=%.1f shown_ms=%.1f load_ms=%.1f close_ms=%.1f "
                "total_ms=%.1f peak_MB=%.1f events=%d boxes=%d\n",
                startMb, chooseMs, shownMs, loadMs, closeMs, totalMs,
                double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0), events, boxes);
    std::fflush(stdout);
    owner.reset();
    return 0;
}

void BM_WideLogProcess(benchmark::State& state)
{
    const QString shape = QStringLiteral("%1,%2,%3").arg(state.range(0)).arg(state.range(1)).arg(state.range(2));
    // Written here, so that the child only reads it.
    wideLog(int(state.range(0)), int(state.range(1)), Kind(state.range(2)));
    QByteArray line;
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(WHOLE_PROCESS) + shape});
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            state.SkipWithError("the child process failed");
            return;
        }
        line = child.readAllStandardOutput().trimmed();
    }
    // The counters are the child's figures.
    for (const QByteArray& pair : line.split(' ')) {
        const int eq = pair.indexOf('=');
        if (eq > 0)
            state.counters[pair.left(eq).toStdString()] = pair.mid(eq + 1).toDouble();
    }
    if (state.counters["events"] != double(state.range(1)))
        state.SkipWithError("not every record became an event");
}

} // namespace

// columns, rows, kind
BENCHMARK(BM_WideLog)
    ->Args({8000, 1, Number65535})
    ->Args({100000, 1, Number65535})
    ->Args({20000, 1, OwnText})
    ->Args({100000, 10, Mixed})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

BENCHMARK(BM_WideLogProcess)
    ->Args({8000, 1, Number65535})
    ->Args({100000, 1, Number65535})
    ->Args({20000, 1, OwnText})
    ->Args({100000, 10, Mixed})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    if (argc == 2 && std::strncmp(argv[1], WHOLE_PROCESS, std::strlen(WHOLE_PROCESS)) == 0)
        return runWholeProcess(argv[1] + std::strlen(WHOLE_PROCESS));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
