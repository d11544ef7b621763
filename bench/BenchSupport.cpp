#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTextStream>
#include <fstream>
#include <string>

namespace benchsupport {

std::size_t peakRssBytes()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

QString generatedLog(int lines, int columns, int traces)
{
    const QString path = QDir::tempPath() + QStringLiteral("/lumivane_bench_%1_%2_%3.csv")
                             .arg(lines).arg(columns).arg(traces);
    if (QFileInfo::exists(path))
        return path;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    QRandomGenerator rng(42);
    QByteArray header = "frame.time_epoch,ip.src,ip.dst,frame.len,tcp.srcport,tcp.dstport,"
                        "frame.protocols,smb2.cmd,smb2.filename,http.method";
    for (int c = 10; c < columns; ++c)
        header += ",col" + QByteArray::number(c);
    f.write(header + "\n");
    static const char* protos[] = {"eth:ip:tcp", "eth:ip:udp:dns", "eth:ip:tcp:smb2", "eth:ip:tcp:http"};
    static const char* methods[] = {"GET", "POST", "", "PUT"};
    static const char* cmds[] = {"5", "6", "8", "9", ""};
    double t = 1600000000.0;
    QByteArray line;
    for (int i = 0; i < lines; ++i) {
        const int trace = int(rng.bounded(traces));
        t += rng.bounded(1000) / 1000.0;
        line.clear();
        line += QByteArray::number(t, 'f', 6);
        line += ",10.0." + QByteArray::number(trace % 250) + "." + QByteArray::number(trace / 250 % 250);
        line += ",10.1." + QByteArray::number(trace % 7) + ".1";
        line += "," + QByteArray::number(60 + rng.bounded(1400));
        line += "," + QByteArray::number(1024 + trace % 30000);
        line += "," + QByteArray::number(rng.bounded(2) ? 445 : 80);
        line += ",";
        line += protos[rng.bounded(4)];
        line += ",";
        line += cmds[rng.bounded(5)];
        line += ",file" + QByteArray::number(rng.bounded(100)) + ".txt";
        line += ",";
        line += methods[rng.bounded(4)];
        for (int c = 10; c < columns; ++c)
            line += "," + QByteArray::number(rng.bounded(50));
        line += "\n";
        f.write(line);
    }
    return path;
}

} // namespace benchsupport
