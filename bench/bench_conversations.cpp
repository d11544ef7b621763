// Splitting a SIP log into conversation files: 120000 keys of 5 lines
// each, in three shapes (random keys with the lines of a key spread over
// the log, random keys with their lines together, sequential keys that
// share one folder), checking that every line arrives and that the split
// never holds more descriptors than its cap; and 2000 keys of 5 lines in a
// child process under "ulimit -n 256".

#include "import/ConversationSplitter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include <dirent.h>

namespace {

const int kLinesPerKey = 5;

// Open descriptors of this process, not counting the one the count uses.
int openDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n - 1;
}

// The most descriptors seen while a split runs: counted whenever the
// cache is full ("start cleanup") and at every progress line.
int g_maxDescriptors = 0;

void watchDescriptors(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    if (msg == QLatin1String("start cleanup") || msg.startsWith(QLatin1String("exported ")))
        g_maxDescriptors = qMax(g_maxDescriptors, openDescriptors());
}

quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

QByteArray keyOf(int i, bool sequential)
{
    if (sequential)
        return "call-" + QByteArray::number(i).rightJustified(7, '0') + "@pbx.example.org";
    return QByteArray::number(mix(quint64(i)), 16).rightJustified(16, '0') + "@host"
           + QByteArray::number(i % 97) + ".example.com";
}

// Writes the log; lines of a key are spread over the log (interleaved) or
// written together.
QString writeLog(const QString& path, int keys, bool interleaved, bool sequential)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    QByteArray out = "frame.number,frame.time_epoch,ip.src,ip.dst,sip.Call-ID,sip.Method,"
                     "sip.Status-Code,info\n";
    qint64 number = 0;
    auto line = [&](int key, int k) {
        ++number;
        out += QByteArray::number(number) + "," + QByteArray::number(1600000000 + number) + ",10.0."
               + QByteArray::number(key % 250) + ".1,10.1.0." + QByteArray::number(k) + ","
               + keyOf(key, sequential) + "," + (k == 0 ? "INVITE" : k == 4 ? "BYE" : "ACK") + ","
               + QByteArray::number(100 + 100 * k) + ",\"SIP/2.0, step " + QByteArray::number(k)
               + "\"\n";
        if (out.size() > (1 << 22)) {
            f.write(out);
            out.clear();
        }
    };
    if (interleaved) {
        for (int k = 0; k < kLinesPerKey; ++k)
            for (int key = 0; key < keys; ++key)
                line(key, k);
    } else {
        for (int key = 0; key < keys; ++key)
            for (int k = 0; k < kLinesPerKey; ++k)
                line(key, k);
    }
    f.write(out);
    return path;
}

struct Tally
{
    qint64 lines = 0;
    qint64 files = 0;
    qint64 bytes = 0;
};

// Lines and bytes of every conversation file below `dir`.
Tally tally(const QString& dir)
{
    Tally t;
    QDirIterator it(dir, {QStringLiteral("*.conv")}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray b = f.readAll();
        t.lines += b.count('\n') + 1;
        t.bytes += b.size();
        ++t.files;
    }
    return t;
}

qint64 headerSize(const QString& log)
{
    QFile f(log);
    f.open(QIODevice::ReadOnly);
    return f.readLine().size();
}

// state.range(0): 0 random keys interleaved, 1 random keys grouped,
// 2 sequential keys interleaved.
void BM_Split120000Keys(benchmark::State& state)
{
    const int keys = 120000;
    const int shape = int(state.range(0));
    QTemporaryDir temp;
    const QString log = writeLog(temp.filePath("sip.csv"), keys, shape != 1, shape == 2);
    const qint64 logSize = QFileInfo(log).size();
    const QString out = temp.filePath("out");

    for (auto _ : state) {
        state.PauseTiming();
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        state.ResumeTiming();

        const int baseline = openDescriptors();
        g_maxDescriptors = baseline;
        ConversationSplitter splitter(log, out);
        const QtMessageHandler previous = qInstallMessageHandler(watchDescriptors);
        const bool complete = splitter.run();
        qInstallMessageHandler(previous);

        state.PauseTiming();
        const Tally t = tally(out);
        // Every line, and every byte: the files hold the lines and one "\n"
        // fewer than lines each.
        const bool everything = t.lines == qint64(keys) * kLinesPerKey && t.files == keys
                                && t.bytes + t.files == logSize - headerSize(log);
        // The input, the cached files and nothing more.
        const bool capped = g_maxDescriptors <= baseline + 1 + splitter.fileCap;
        state.counters["lines_kept"] = double(t.lines);
        state.counters["files"] = double(t.files);
        state.counters["cap"] = splitter.fileCap;
        state.counters["max_fds"] = g_maxDescriptors;
        state.counters["baseline_fds"] = baseline;
        if (!complete || !everything || !capped) {
            state.SkipWithError(!complete ? "the split reported a failure"
                                : !everything ? "lines were lost"
                                              : "more descriptors than the cap");
            break;
        }
        state.ResumeTiming();
    }
}

// The child of BM_Split2000KeysUlimit256: splits and prints its tally.
int splitChild(const QString& log, const QString& out)
{
    const int baseline = openDescriptors();
    g_maxDescriptors = baseline;
    ConversationSplitter splitter(log, out);
    qInstallMessageHandler(watchDescriptors);
    const bool complete = splitter.run();
    std::printf("complete=%d written=%lld lost=%lld cap=%d max_fds=%d baseline=%d\n",
                int(complete), splitter.linesWritten, splitter.lostLines, splitter.fileCap,
                g_maxDescriptors, baseline);
    return complete ? 0 : 1;
}

void BM_Split2000KeysUlimit256(benchmark::State& state)
{
    const int keys = 2000;
    QTemporaryDir temp;
    const QString log = writeLog(temp.filePath("sip.csv"), keys, true, false);
    const qint64 logSize = QFileInfo(log).size();
    const QString out = temp.filePath("out");
    QString report;
    for (auto _ : state) {
        state.PauseTiming();
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        state.ResumeTiming();
        QProcess child;
        child.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("ulimit -n 256 && exec \"$0\" --split-child \"$1\" \"$2\""),
                     QCoreApplication::applicationFilePath(), log, out});
        child.waitForFinished(-1);
        state.PauseTiming();
        report = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        const Tally t = tally(out);
        state.counters["lines_kept"] = double(t.lines);
        const bool everything = t.lines == qint64(keys) * kLinesPerKey && t.files == keys
                                && t.bytes + t.files == logSize - headerSize(log);
        if (child.exitCode() != 0 || !everything) {
            state.SkipWithError(qPrintable(QStringLiteral("lines were lost: ") + report));
            break;
        }
        state.ResumeTiming();
    }
    state.SetLabel(report.toStdString());
}

} // namespace

BENCHMARK(BM_Split120000Keys)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Iterations(1);
BENCHMARK(BM_Split2000KeysUlimit256)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--split-child") == 0)
        return splitChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
