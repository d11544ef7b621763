// The conversion dialog's field discovery and field list.
//
// Discovery: loadFields(1500) on a 200000-packet capture, on two shapes of
// traffic (web: TCP with HTTP requests and UDP; mixed: ARP, ICMP, DNS over
// UDP, TCP handshakes and IPv6), beside the same call on a 1500-packet
// capture of the same shape: only the first 1500 packets are dissected, so
// the two should take about as long. Its memory figure is the growth of
// the peak resident size during the call above the size before it (the
// peak is reset before each call); the first benchmark runs first in a
// fresh process.
//
// Field list: fillFieldList with 3000 fields, with the few default
// selections and with 1000 of them selected.

#include "BenchSupport.h"

#include "capture/ParseWidget.h"
#include "core/TList.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

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

quint16 checksum(const QByteArray& bytes)
{
    quint32 sum = 0;
    for (int k = 0; k + 1 < bytes.size(); k += 2)
        sum += (quint32(quint8(bytes[k])) << 8) | quint8(bytes[k + 1]);
    if (bytes.size() % 2)
        sum += quint32(quint8(bytes[bytes.size() - 1])) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

const QByteArray MACS = QByteArray::fromHex("020000000001020000000002");

QByteArray ipv4(int protocol, const QByteArray& payload, int n)
{
    QByteArray ip = QByteArray::fromHex("4500");
    put16(ip, 20 + payload.size());
    ip += QByteArray::fromHex("00004000");
    ip += char(64);
    ip += char(protocol);
    ip += QByteArray::fromHex("0000");
    ip += QByteArray::fromHex("0a00");
    ip += char(n % 250);
    ip += char(1 + n % 200);
    ip += QByteArray::fromHex("0a01");
    ip += char(n % 7);
    ip += char(1);
    const quint16 sum = checksum(ip);
    ip[10] = char(sum >> 8);
    ip[11] = char(sum & 0xff);
    return MACS + QByteArray::fromHex("0800") + ip + payload;
}

QByteArray udp(int sport, int dport, const QByteArray& payload)
{
    QByteArray u;
    put16(u, sport);
    put16(u, dport);
    put16(u, 8 + payload.size());
    put16(u, 0);
    return u + payload;
}

QByteArray tcp(int sport, int dport, const char* flags, const QByteArray& payload)
{
    QByteArray t;
    put16(t, sport);
    put16(t, dport);
    t += QByteArray::fromHex("0000000100000000");
    t += QByteArray::fromHex(flags);  // offset and flags
    t += QByteArray::fromHex("ffff00000000");
    return t + payload;
}

QByteArray dnsQuery(int id, const QByteArray& name)
{
    QByteArray d;
    put16(d, id);
    d += QByteArray::fromHex("01000001000000000000");
    for (const QByteArray& label : name.split('.')) {
        d += char(label.size());
        d += label;
    }
    d += QByteArray::fromHex("0000010001");
    return d;
}

QByteArray webFrame(int n, QRandomGenerator& random)
{
    const int sport = 1024 + int(random.bounded(60000));
    if (n % 10 == 0) {
        const QByteArray request = "GET /item/" + QByteArray::number(n)
                                   + "?q=1 HTTP/1.1\r\nHost: example.test\r\nUser-Agent: Bench "
                                   + QByteArray::number(random.bounded(1000))
                                   + "\r\nAccept: */*\r\nCookie: a=1; b=2\r\n\r\n";
        return ipv4(6, tcp(sport, 80, "5018", request), n);
    }
    if (n % 7 == 0)
        return ipv4(17, udp(sport, 53, dnsQuery(n & 0xffff, "host" + QByteArray::number(n % 97) + ".example.test")), n);
    QByteArray payload;
    payload.fill('x', int(random.bounded(0, 200)));
    return ipv4(6, tcp(sport, 443, "5018", payload), n);
}

QByteArray mixedFrame(int n, QRandomGenerator& random)
{
    const int sport = 1024 + int(random.bounded(60000));
    switch (n % 5) {
    case 0: {  // ARP request
        QByteArray arp = QByteArray::fromHex("0001080006040001020000000001");
        arp += QByteArray::fromHex("0a000001000000000000");
        arp += QByteArray::fromHex("0a00");
        arp += char(n % 250);
        arp += char(1 + n % 200);
        return QByteArray::fromHex("ffffffffffff020000000001") + QByteArray::fromHex("0806") + arp;
    }
    case 1: {  // ICMP echo request
        QByteArray icmp = QByteArray::fromHex("08000000");
        put16(icmp, n & 0xffff);
        put16(icmp, 1);
        icmp += QByteArray(32, 'p');
        const quint16 sum = checksum(icmp);
        icmp[2] = char(sum >> 8);
        icmp[3] = char(sum & 0xff);
        return ipv4(1, icmp, n);
    }
    case 2:  // DNS query
        return ipv4(17, udp(sport, 53, dnsQuery(n & 0xffff, "svc" + QByteArray::number(n % 31) + ".example.test")), n);
    case 3:  // TCP handshake
        return ipv4(6, tcp(sport, 22, "5002", QByteArray()), n);
    default: {  // IPv6 UDP
        QByteArray payload = udp(sport, 5353, QByteArray(24, 'm'));
        QByteArray ip6 = QByteArray::fromHex("60000000");
        put16(ip6, payload.size());
        ip6 += char(17);
        ip6 += char(64);
        ip6 += QByteArray::fromHex("fe800000000000000000000000000001");
        ip6 += QByteArray::fromHex("fe800000000000000000000000000002");
        return MACS + QByteArray::fromHex("86dd") + ip6 + payload;
    }
    }
}

QString capturePath(const QString& shape, int packets)
{
    const QString path =
        QDir::tempPath() + QStringLiteral("/lumivane_bench_fields_%1_%2.pcap").arg(shape).arg(packets);
    if (QFileInfo::exists(path))
        return path;
    QFile file(path + QStringLiteral(".part"));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray header = QByteArray::fromHex("d4c3b2a1020004000000000000000000");
    put32le(header, 65535);
    put32le(header, 1);
    file.write(header);
    QRandomGenerator random(11);
    quint32 seconds = 1700000000;
    quint32 micros = 0;
    for (int n = 1; n <= packets; ++n) {
        micros += quint32(random.bounded(2000));
        seconds += micros / 1000000;
        micros %= 1000000;
        const QByteArray f = shape == QLatin1String("web") ? webFrame(n, random) : mixedFrame(n, random);
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

struct Discovery
{
    double ms = -1;
    double growthMB = -1;
    int fields = 0;
};
std::map<std::string, Discovery> discoveries;
std::map<std::string, double> fills;

void runDiscovery(benchmark::State& state, const QString& shape, int packets)
{
    const QString capture = capturePath(shape, packets);
    const std::string key = shape.toStdString() + " " + std::to_string(packets);
    for (auto _ : state) {
        ParseWidget dialog(nullptr);
        dialog.inputLabel->setText(capture);
        benchsupport::resetPeak();
        const std::size_t before = benchsupport::rssBytes();
        QElapsedTimer clock;
        clock.start();
        dialog.loadFields(1500);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        const std::size_t peak = benchsupport::peakRssBytes();
        state.SetIterationTime(ms / 1000.0);
        if (dialog.allFields.isEmpty()) {
            state.SkipWithError("no field discovered");
            return;
        }
        Discovery& d = discoveries[key];
        d.ms = ms;
        d.growthMB = peak > before ? double(peak - before) / (1024.0 * 1024.0) : 0.0;
        d.fields = dialog.allFields.size();
        state.counters["fields"] = d.fields;
        state.counters["growth_MB"] = d.growthMB;
    }
}

void BM_LoadFieldsWeb200k(benchmark::State& state) { runDiscovery(state, "web", 200000); }
void BM_LoadFieldsMixed200k(benchmark::State& state) { runDiscovery(state, "mixed", 200000); }
void BM_LoadFieldsWeb1500(benchmark::State& state) { runDiscovery(state, "web", 1500); }
void BM_LoadFieldsMixed1500(benchmark::State& state) { runDiscovery(state, "mixed", 1500); }

void runFill(benchmark::State& state, int selected)
{
    ParseWidget dialog(nullptr);
    TList<QString> all;
    for (int k = 0; k < 3000; ++k)
        all.append(QStringLiteral("proto%1.field_%2").arg(k % 120).arg(k));
    dialog.allFields = all;
    for (int k = 0; k < selected; ++k)
        dialog.selectedFields.append(all.at(k * 3));
    const std::string key = std::to_string(selected) + " selected";
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        dialog.fillFieldList();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000.0);
        if (fills.find(key) == fills.end())
            fills[key] = ms;  // the first fill
    }
    state.counters["items"] = dialog.allFields.size();
}

void BM_FillFieldList3000(benchmark::State& state) { runFill(state, 0); }
void BM_FillFieldList3000Selected1000(benchmark::State& state) { runFill(state, 1000); }

} // namespace

BENCHMARK(BM_LoadFieldsWeb200k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFieldsMixed200k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFieldsWeb1500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFieldsMixed1500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillFieldList3000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillFieldList3000Selected1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    for (const char* shape : {"web", "mixed"})
        for (int packets : {200000, 1500})
            if (capturePath(QString::fromLatin1(shape), packets).isEmpty()) {
                std::fprintf(stderr, "cannot write the captures\n");
                return 1;
            }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nField discovery, loadFields(1500) (target <= 10000 ms, <= 100 MB):\n");
    for (const auto& [key, d] : discoveries)
        std::printf("  %-14s packets  %9.1f ms  %6.1f MB growth  %4d fields\n", key.c_str(), d.ms,
                    d.growthMB, d.fields);
    std::printf("Field list of 3000 fields, first fill (target <= 200 ms):\n");
    for (const auto& [key, ms] : fills)
        std::printf("  %-14s  %9.1f ms\n", key.c_str(), ms);
    return 0;
}
