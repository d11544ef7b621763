// Converting a 200000-packet capture with 10 fields through the tshark
// field stream, side by side with tshark printing the same fields on its
// own into /dev/null. The stream's figure is the wall time of start (tshark
// included); its memory growth is the peak resident size during the
// conversion above the size before it.

#include "BenchSupport.h"

#include "capture/WiresharkTerminalStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

constexpr int PACKETS = 200000;

const QStringList FIELDS{"frame.number",  "frame.time_epoch", "ip.src",         "ip.dst",
                         "tcp.srcport",   "tcp.dstport",      "frame.len",      "frame.protocols",
                         "http.request.uri", "http.user_agent"};

void put16(QByteArray& b, int v)
{
    b += char((v >> 8) & 0xff);
    b += char(v & 0xff);
}

void put32le(QByteArray& b, quint32 v)
{
    for (int k = 0; k < 4; ++k)
        b += char((v >> (8 * k)) & 0xff);
}

// An Ethernet/IPv4 frame carrying TCP (with an HTTP request every tenth
// packet) or UDP.
QByteArray frame(int n, QRandomGenerator& random)
{
    const bool http = n % 10 == 0;
    const bool udp = !http && n % 7 == 0;
    QByteArray payload;
    if (http) {
        payload = "GET /item,"
                  + QByteArray::number(n)
                  + "~x?q=\"1\" HTTP/1.1\r\nHost: example.test\r\nUser-Agent: Bench (a,b~c \"d\" e) "
                  + QByteArray::number(random.bounded(1000)) + "\r\nAccept: */*\r\n\r\n";
    } else {
        payload.fill('x', int(random.bounded(0, 200)));
    }
    QByteArray l4;
    const int sport = 1024 + int(random.bounded(60000));
    const int dport = http ? 80 : udp ? 53 : 443;
    if (udp) {
        put16(l4, sport);
        put16(l4, dport);
        put16(l4, 8 + payload.size());
        put16(l4, 0);
    } else {
        put16(l4, sport);
        put16(l4, dport);
        l4 += QByteArray::fromHex("00000001000000005018ffff00000000");  // seq, ack, flags PSH|ACK
    }
    l4 += payload;

    QByteArray ip = QByteArray::fromHex("4500");
    put16(ip, 20 + l4.size());
    ip += QByteArray::fromHex("00004000");
    ip += char(64);
    ip += char(udp ? 17 : 6);
    ip += QByteArray::fromHex("0000");
    ip += char(10);
    ip += char(0);
    ip += char(n % 250);
    ip += char(1 + n % 200);
    ip += char(10);
    ip += char(1);
    ip += char(n % 7);
    ip += char(1);
    quint32 sum = 0;
    for (int k = 0; k < 20; k += 2)
        sum += (quint32(quint8(ip[k])) << 8) | quint8(ip[k + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    ip[10] = char((~sum >> 8) & 0xff);
    ip[11] = char(~sum & 0xff);

    return QByteArray::fromHex("020000000001020000000002") + QByteArray::fromHex("0800") + ip + l4;
}

QString capturePath()
{
    const QString path = QDir::tempPath() + QStringLiteral("/lumivane_bench_%1.pcap").arg(PACKETS);
    if (QFileInfo::exists(path))
        return path;
    QFile file(path + QStringLiteral(".part"));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray header = QByteArray::fromHex("d4c3b2a1020004000000000000000000");
    put32le(header, 65535);
    put32le(header, 1);
    file.write(header);
    QRandomGenerator random(7);
    quint32 seconds = 1700000000;
    quint32 micros = 0;
    for (int n = 1; n <= PACKETS; ++n) {
        micros += quint32(random.bounded(2000));
        seconds += micros / 1000000;
        micros %= 1000000;
        const QByteArray f = frame(n, random);
        QByteArray record;
        put32le(record, seconds);
        put32le(record, micros);
        put32le(record, quint32(f.size()));
        put32le(record, quint32(f.size()));
        file.write(record + f);
    }
    file.close();
    QFile::rename(path + QStringLiteral(".part"), path);
    return path;
}

QStringList tsharkArguments(const QString& capture, bool lineBuffered)
{
    QStringList args{"-r", capture, "-T", "fields", "-E", "separator=~", "-E", "quote=d"};
    for (const QString& f : FIELDS)
        args << "-e" << f;
    args << "-E" << "occurrence=f";
    if (lineBuffered)
        args << "-l";
    return args;
}

struct Figures
{
    double plainMs = -1;
    double plainLineMs = -1;
    double streamMs = -1;
    double growthMB = -1;
    int rows = 0;
    int expected = 0;
};
Figures figures;

void runPlain(benchmark::State& state, bool lineBuffered)
{
    const QString capture = capturePath();
    for (auto _ : state) {
        QProcess tshark;
        tshark.setStandardOutputFile(QProcess::nullDevice());
        tshark.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        tshark.start(QStringLiteral("tshark"), tsharkArguments(capture, lineBuffered));
        tshark.waitForFinished(-1);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000.0);
        if (tshark.exitCode() != 0) {
            state.SkipWithError("tshark failed");
            return;
        }
        (lineBuffered ? figures.plainLineMs : figures.plainMs) = ms;
    }
}

void BM_PlainTshark(benchmark::State& state) { runPlain(state, false); }
void BM_PlainTsharkLineBuffered(benchmark::State& state) { runPlain(state, true); }

void BM_Stream(benchmark::State& state)
{
    const QString capture = capturePath();
    const QString output = QDir::tempPath() + QStringLiteral("/lumivane_bench_stream.csv");
    TList<QString> fields;
    for (const QString& f : FIELDS)
        fields.append(f);
    for (auto _ : state) {
        WiresharkTerminalStream stream(output, fields);
        stream.countPackets(capture, QStringLiteral("capinfos"));
        const std::size_t before = benchsupport::rssBytes();
        QElapsedTimer clock;
        clock.start();
        const bool ok = stream.start(capture, QStringLiteral("tshark"), QString(), -1);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000.0);
        const std::size_t peak = benchsupport::peakRssBytes();
        if (!ok) {
            state.SkipWithError(qPrintable(stream.errorText));
            return;
        }
        figures.streamMs = ms;
        figures.rows = stream.rowsWritten;
        figures.expected = stream.expectedPackets;
        figures.growthMB = peak > before ? double(peak - before) / (1024.0 * 1024.0) : 0.0;
        state.counters["rows"] = stream.rowsWritten;
        state.counters["growth_MB"] = figures.growthMB;
    }
    QFile::remove(output);
}

} // namespace

BENCHMARK(BM_PlainTshark)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stream)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainTsharkLineBuffered)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (capturePath().isEmpty()) {
        std::fprintf(stderr, "cannot write the capture\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nSide by side, %d packets, %d fields:\n", PACKETS, int(FIELDS.size()));
    std::printf("  tshark alone, output to /dev/null      %9.1f ms\n", figures.plainMs);
    std::printf("  tshark alone with -l                   %9.1f ms\n", figures.plainLineMs);
    std::printf("  conversion stream (tshark included)    %9.1f ms   %d rows of %d packets\n",
                figures.streamMs, figures.rows, figures.expected);
    if (figures.plainMs > 0 && figures.streamMs > 0)
        std::printf("  stream / tshark alone                  %9.2f (target <= 1.10)\n",
                    figures.streamMs / figures.plainMs);
    std::printf("  memory growth during the conversion    %9.1f MB (target <= 20)\n", figures.growthMB);
    return 0;
}
