#pragma once

#include "TempWorkDir.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

// The recorded SMB2 session (a text2pcap hex dump in tests/data/capture)
// rebuilt into a capture and converted by tshark, as the tests of the
// capture exporters use it.
namespace capturetools {

// The fields the XES exporter reads, in the order tshark prints them.
inline QStringList smb2Fields()
{
    return {"frame.time_epoch", "frame.number", "ip.src", "ip.dst", "smb2.cmd", "smb2.filename",
            "smb2.fid", "smb2.nt_status", "smb2.create.action", "smb2.disposition.delete_on_close",
            "smb2.file_info.infolevel", "smb2.sesid", "smb2.msg_id", "smb2.tid",
            "smb2.flags.response"};
}

// Runs a tool to its end (at most 60 s); stdout goes to `output` when given.
// Returns the exit code, -1 when it did not run or end.
inline int runTool(const QString& program, const QStringList& args, const QString& output = QString(),
                   QString* errors = nullptr)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The dump's times are UTC.
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    process.setProcessEnvironment(env);
    if (!output.isEmpty())
        process.setStandardOutputFile(output);
    process.start(program, args);
    if (!process.waitForStarted(10000) || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(1000);
        return -1;
    }
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

inline bool haveTool(const QString& name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

// The recorded session as a capture file in `dir`; empty on failure.
inline QString rebuildCapture(const TempWorkDir& dir)
{
    const QString pcap = dir.filePath(QStringLiteral("smb2_session.pcap"));
    const int rc = runTool(QStringLiteral("text2pcap"),
                           {QStringLiteral("-q"), QStringLiteral("-t"),
                            QStringLiteral("%Y-%m-%d %H:%M:%S.%f"),
                            testDataPath(QStringLiteral("capture/smb2_session.hex")), pcap});
    return rc == 0 && QFile::exists(pcap) ? pcap : QString();
}

// The SMB2 fields of the capture as quoted comma-separated text.
inline QString smb2Csv(const TempWorkDir& dir, const QString& pcap)
{
    const QString csv = dir.filePath(QStringLiteral("smb2.csv"));
    QStringList args{QStringLiteral("-r"), pcap, QStringLiteral("-T"), QStringLiteral("fields"),
                     QStringLiteral("-E"), QStringLiteral("header=y"), QStringLiteral("-E"),
                     QStringLiteral("separator=,"), QStringLiteral("-E"), QStringLiteral("quote=d"),
                     QStringLiteral("-E"), QStringLiteral("occurrence=f")};
    for (const QString& f : smb2Fields())
        args << QStringLiteral("-e") << f;
    return runTool(QStringLiteral("tshark"), args, csv) == 0 ? csv : QString();
}

} // namespace capturetools
