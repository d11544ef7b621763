// The XES export of 100001 lines of quoted SMB2 fields (target: at most 5 s,
// peak memory at most 4 x the input + 50 MB). Every shape runs in a fresh
// child process, so its time and peak memory are those of a first export:
// "exchanges" is request/response pairs of creates and closes over 50
// sessions (many small groups), "sessions" is reads of 10 sessions (a few
// large groups), "names" adds a long file name with "&" and "<" to every line.
#include "BenchSupport.h"

#include "app/MessageAsker.h"
#include "capture/Smb2XesExporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int LINES = 100001;

enum Shape { Exchanges = 0, Sessions = 1, Names = 2 };

const char* shapeName(int shape)
{
    return shape == Exchanges ? "exchanges" : shape == Sessions ? "sessions" : "names";
}

QString input(int shape)
{
    const QString path = QDir::tempPath() + QStringLiteral("/lumivane_bench_xes_%1.csv").arg(shape);
    if (QFileInfo::exists(path))
        return path;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    f.write("frame.time_epoch,frame.number,ip.src,ip.dst,smb2.cmd,smb2.filename,smb2.fid,"
            "smb2.nt_status,smb2.create.action,smb2.disposition.delete_on_close,"
            "smb2.file_info.infolevel,smb2.sesid,smb2.msg_id,smb2.tid,smb2.flags.response\n");
    QByteArray line;
    for (int i = 0; i < LINES; ++i) {
        const bool response = i % 2 == 1;
        const int exchange = i / 2;
        const QByteArray t = QByteArray::number(1700000000.0 + i * 0.001, 'f', 9);
        const QByteArray session =
            "0x00000000" + QByteArray::number(0x4000 + (shape == Sessions ? exchange % 10 : exchange % 50), 16);
        QByteArray cmd = shape == Sessions ? "8" : (exchange % 2 ? "6" : "5");
        QByteArray name;
        if (!response && shape != Sessions)
            name = shape == Names ? "\"Quarterly figures & notes <draft> " + QByteArray::number(exchange % 997)
                    + ".docx\""
                                  : "\"file" + QByteArray::number(exchange % 997) + ".txt\"";
        const QByteArray fid = response ? "\"" + QByteArray::number(0x10000000 + exchange % 5000, 16)
                + "-0000-0000-f04c-7ef600000000\""
                                        : QByteArray();
        line = "\"" + t + "\",\"" + QByteArray::number(i + 1)
            + "\",\"192.168.1.10\",\"192.168.1.20\",\"" + cmd + "\"," + name + "," + fid + ","
            + (response ? "\"0x00000000\",\"1\"" : ",") + ",,,\"" + session + "\",\""
            + QByteArray::number(exchange) + "\",\"0x6b57eeb8\",\"" + (response ? "1" : "0")
            + "\"\n";
        f.write(line);
    }
    return path;
}

struct Result
{
    double seconds = -1;
    double peakMb = -1;
    int events = 0;
};

// One export in a child process.
Result exportInChild(const QString& in, const QString& out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return Result();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
        QElapsedTimer clock;
        clock.start();
        Smb2XesExporter exporter;
        exporter.exportFile(in, out);
        Result r;
        r.seconds = clock.nsecsElapsed() / 1e9;
        r.peakMb = benchsupport::peakRssBytes() / 1048576.0;
        r.events = exporter.eventsWritten;
        const ssize_t n = write(fds[1], &r, sizeof r);
        _exit(n == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    Result r;
    if (pid > 0) {
        if (read(fds[0], &r, sizeof r) != sizeof r)
            r = Result();
        waitpid(pid, nullptr, 0);
    }
    close(fds[0]);
    return r;
}

void BM_XesExport(benchmark::State& state)
{
    const int shape = int(state.range(0));
    const QString in = input(shape);
    const QString out = QDir::tempPath() + QStringLiteral("/lumivane_bench_xes.xes");
    const double inputMb = QFileInfo(in).size() / 1048576.0;
    Result r;
    for (auto _ : state)
        r = exportInChild(in, out);
    const double limitMb = 4 * inputMb + 50;
    state.counters["seconds"] = r.seconds;
    state.counters["input_MB"] = inputMb;
    state.counters["peak_MB"] = r.peakMb;
    state.counters["limit_MB"] = limitMb;
    state.counters["events"] = r.events;
    state.SetLabel(std::string(shapeName(shape))
                   + (r.seconds >= 0 && r.seconds <= 5 ? ", within 5 s" : ", OVER 5 s")
                   + (r.peakMb >= 0 && r.peakMb <= limitMb ? ", memory within limit"
                                                           : ", memory OVER limit"));
    QFile::remove(out);
}
BENCHMARK(BM_XesExport)
    ->Arg(Exchanges)->Arg(Sessions)->Arg(Names)
    ->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
