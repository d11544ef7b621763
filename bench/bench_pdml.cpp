// The PDML table converter on 20000 packets (target: at least 20 MB/s of
// input, memory bounded by one batch: peak at most 200 MB). Every shape runs
// in a fresh child process: "dissection" repeats the packets of the recorded
// SMB2 session as tshark dissects them (about 25 kB of PDML a packet),
// "compact" has three small protocols a packet; each is written as CSV and
// as ARFF.
#include "BenchSupport.h"

#include "capture/PdmlConverter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QProcessEnvironment>

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int PACKETS = 20000;

enum Shape { Dissection = 0, Compact = 1 };

QString folder()
{
    return QDir::tempPath();
}

// The packet elements of the recorded session as tshark prints them.
QList<QByteArray> sessionPackets()
{
    const QString hex = QFileInfo(QStringLiteral(__FILE__)).dir().filePath(
        QStringLiteral("../tests/data/capture/smb2_session.hex"));
    const QString pcap = folder() + QStringLiteral("/lumivane_bench_session.pcap");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("text2pcap"),
            {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("%Y-%m-%d %H:%M:%S.%f"), hex, pcap});
    p.waitForFinished(60000);
    p.start(QStringLiteral("tshark"), {QStringLiteral("-r"), pcap, QStringLiteral("-T"), QStringLiteral("pdml")});
    p.waitForFinished(60000);
    const QByteArray pdml = p.readAllStandardOutput();
    QList<QByteArray> packets;
    int from = pdml.indexOf("<packet>");
    while (from >= 0) {
        const int end = pdml.indexOf("</packet>", from);
        if (end < 0)
            break;
        packets.append(pdml.mid(from, end + 9 - from) + "\n");
        from = pdml.indexOf("<packet>", end);
    }
    return packets;
}

QString input(int shape)
{
    const QString path = folder() + QStringLiteral("/lumivane_bench_pdml_%1.pdml").arg(shape);
    if (QFileInfo::exists(path))
        return path;
    QList<QByteArray> packets;
    if (shape == Dissection) {
        packets = sessionPackets();
    } else {
        for (int k = 0; k < 50; ++k) {
            QByteArray p = "<packet>\n";
            for (const char* proto : {"eth", "ip", "udp"}) {
                p += QByteArray("  <proto name=\"") + proto + "\" showname=\"" + proto + "\" size=\"20\" pos=\"0\">\n";
                for (int f = 0; f < 10; ++f)
                    p += QByteArray("    <field name=\"") + proto + ".f" + QByteArray::number(f)
                        + "\" showname=\"Field " + QByteArray::number(f) + "\" size=\"2\" pos=\"0\" show=\""
                        + QByteArray::number(k * 10 + f) + "\" value=\"00ff\"/>\n";
                p += "  </proto>\n";
            }
            packets.append(p + "</packet>\n");
        }
    }
    if (packets.isEmpty())
        return QString();
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    f.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<pdml version=\"0\">\n");
    for (int i = 0; i < PACKETS; ++i)
        f.write(packets.at(i % packets.size()));
    f.write("</pdml>\n");
    return path;
}

struct Result
{
    double seconds = -1;
    double peakMb = -1;
    bool ok = false;
};

Result convertInChild(const QString& in, bool arff)
{
    int fds[2];
    if (pipe(fds) != 0)
        return Result();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // The converter's per-packet debug lines are not what is measured.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        QElapsedTimer clock;
        clock.start();
        PdmlConverter converter;
        Result r;
        r.ok = converter.convert(QString(), folder(), in, QStringLiteral("lumivane_bench_pdml"), arff);
        r.seconds = clock.nsecsElapsed() / 1e9;
        r.peakMb = benchsupport::peakRssBytes() / 1048576.0;
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

void BM_PdmlConvert(benchmark::State& state)
{
    const int shape = int(state.range(0));
    const bool arff = state.range(1) != 0;
    const QString in = input(shape);
    if (in.isEmpty()) {
        state.SkipWithError("no input (text2pcap and tshark are needed)");
        return;
    }
    const double inputMb = QFileInfo(in).size() / 1048576.0;
    Result r;
    for (auto _ : state)
        r = convertInChild(in, arff);
    const double rate = r.seconds > 0 ? inputMb / r.seconds : 0;
    state.counters["input_MB"] = inputMb;
    state.counters["seconds"] = r.seconds;
    state.counters["MB_per_s"] = rate;
    state.counters["peak_MB"] = r.peakMb;
    state.SetLabel(std::string(shape == Dissection ? "dissection" : "compact")
                   + (arff ? " arff" : " csv") + (r.ok ? "" : ", FAILED")
                   + (rate >= 20 ? ", at least 20 MB/s" : ", UNDER 20 MB/s")
                   + (r.peakMb >= 0 && r.peakMb <= 200 ? ", within 200 MB" : ", OVER 200 MB"));
    QFile::remove(folder() + (arff ? "/lumivane_bench_pdml.arff" : "/lumivane_bench_pdml.csv"));
}
BENCHMARK(BM_PdmlConvert)
    ->Args({Dissection, 0})->Args({Dissection, 1})->Args({Compact, 0})->Args({Compact, 1})
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
