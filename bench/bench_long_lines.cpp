// Files of very long lines chosen and loaded through the shown import
// dialog, each in a fresh process: time, peak memory and the longest time
// the GUI thread answered nothing.
//
//   single_50mb    one line of 50 MB (no line end): refused with a message
//   cr_only_20mb   a log of 20 MB whose lines end in CR alone: refused
//   row_50mb       a header, a data line of 50 MB and 1000 rows: the preview
//                  reads the long line's start only, the load reads it
//                  whole (the row gives no event, the 1000 rows do)
//
// Counters: choose_ms (choosing the file), load_ms (the load, when the file
// was taken), stall_ms (the longest gap between two ticks of a 10 ms timer
// of the GUI thread, over both), peak_MB (of the process), events, boxes
// (message boxes shown).

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/LoggingDefaults.h"
#include "app/MessageAsker.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// Writes `count` copies of `piece` after `head` (and `tail` after them) to
// a file of the temporary folder, once.
QString writeOnce(const QString& name, const QByteArray& head, const QByteArray& piece, int count,
                  const QByteArray& tail = QByteArray())
{
    const QString path = QDir::temp().filePath(QStringLiteral("lumivane_bench_") + name);
    if (QFile::exists(path))
        return path;
    const QString part = path + QStringLiteral(".part");
    QFile f(part);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(head);
    const QByteArray block = piece.repeated(qMax(1, (1 << 20) / qMax(1, piece.size())));
    const int perBlock = block.size() / qMax(1, piece.size());
    int left = count;
    for (; left >= perBlock; left -= perBlock)
        f.write(block);
    f.write(piece.repeated(left));
    f.write(tail);
    f.close();
    QFile::rename(part, path);
    return path;
}

void run(benchmark::State& state, const QString& path, int expectedEvents)
{
    if (path.isEmpty()) {
        state.SkipWithError("the log could not be written");
        return;
    }
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    int boxes = 0;
    MessageAsker::setHandler([&boxes](const MessageAsker::Request&) {
        ++boxes;
        return QMessageBox::Ok;
    });
    benchsupport::resetPeak();

    double chooseMs = 0;
    double loadMs = 0;
    qint64 stall = 0;
    int events = 0;
    for (auto _ : state) {
        std::unique_ptr<ControlWidget> owner(new ControlWidget(nullptr));
        std::unique_ptr<OpenWidget> dialog(new OpenWidget(owner.get()));
        // The GUI thread's answers: a 10 ms tick, and the longest gap
        // between two of them.
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer ticks;
        ticks.setInterval(10);
        QObject::connect(&ticks, &QTimer::timeout, [&]() {
            stall = qMax(stall, sinceTick.restart());
        });
        QTimer::singleShot(0, dialog.get(), [&]() {
            ticks.start();
            sinceTick.restart();
            QElapsedTimer clock;
            clock.start();
            dialog->fileButton->click();
            chooseMs = double(clock.nsecsElapsed()) / 1e6;
            stall = qMax(stall, sinceTick.restart());
            QCoreApplication::processEvents();
            if (dialog->loadButton->isEnabled()) {
                clock.restart();
                dialog->loadButton->click();
                loadMs = double(clock.nsecsElapsed()) / 1e6;
            }
            if (dialog->result() != QDialog::Accepted)
                dialog->reject();
        });
        dialog->exec();
        ticks.stop();
        if (owner->glyphStore && owner->glyphStore->rootContext)
            events = owner->glyphStore->rootContext->packets.size();
    }
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    if (events != expectedEvents)
        state.SkipWithError("not the expected number of events");
    state.counters["choose_ms"] = chooseMs;
    state.counters["load_ms"] = loadMs;
    state.counters["stall_ms"] = double(stall);
    state.counters["peak_MB"] = double(benchsupport::peakRssBytes()) / (1024.0 * 1024.0);
    state.counters["events"] = events;
    state.counters["boxes"] = boxes;
}

const QByteArray ROW = "1600000000,10.0.0.1,10.0.0.2\n";

void registerAll()
{
    auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
    };
    add("long_lines/single_50mb", [](benchmark::State& state) {
        run(state, writeOnce("single_50mb.csv", QByteArray(), "1600000000,10.0.0.1,", (50 << 20) / 20), 0);
    });
    add("long_lines/cr_only_20mb", [](benchmark::State& state) {
        run(state, writeOnce("cr_only_20mb.csv", "frame.time_epoch,ip.src,ip.dst\r",
                             "1600000000,10.0.0.1,10.0.0.2\r", (20 << 20) / 29),
            0);
    });
    add("long_lines/row_50mb", [](benchmark::State& state) {
        run(state, writeOnce("row_50mb.csv", "frame.time_epoch,ip.src,ip.dst\n1600000000,",
                             "10.0.0.1,", (50 << 20) / 9, "\n" + ROW.repeated(1000)),
            1000);
    });
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    registerAll();
    return runInFreshProcesses(argc, argv,
                               {"long_lines/single_50mb", "long_lines/cr_only_20mb", "long_lines/row_50mb"});
}
