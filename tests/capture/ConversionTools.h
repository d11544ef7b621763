#pragma once

// Helpers of the conversion dialog's tests: captures made with text2pcap
// from the hex dumps in tests/data/capture, stand-in tools first on the
// search path, and message boxes answered and recorded.

#include "TempWorkDir.h"
#include "app/MessageAsker.h"

#include <QFile>
#include <QProcess>

namespace conversiontest {

inline bool makeCapture(const QString& hexName, const QString& path, const QString& format,
                        const QString& timeFormat = "%Y-%m-%d %H:%M:%S.")
{
    QProcess p;
    p.start("text2pcap",
            {"-q", "-F", format, "-t", timeFormat, testDataPath("capture/" + hexName), path});
    return p.waitForFinished(30000) && p.exitCode() == 0 && QFile::exists(path);
}

inline QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline void writeScript(const TempWorkDir& dir, const QString& name, const QString& body)
{
    QFile f(dir.write(name, "#!/bin/sh\n" + body.toUtf8() + "\n"));
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

// `folder` first on the search path (or the whole of it) while it lives.
struct SearchPath
{
    SearchPath(const QString& folder, bool replace = false)
    {
        qputenv("PATH", replace ? folder.toLocal8Bit() : folder.toLocal8Bit() + ':' + previous);
    }
    ~SearchPath() { qputenv("PATH", previous); }
    const QByteArray previous = qgetenv("PATH");
};

// Questions get `answer`, other boxes Ok.
struct Boxes
{
    explicit Boxes(QMessageBox::StandardButton answer = QMessageBox::Yes)
    {
        previous = MessageAsker::setHandler([this, answer](const MessageAsker::Request& r) {
            requests << r;
            texts << r.text;
            return r.icon == QMessageBox::Question ? answer : QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
    QList<MessageAsker::Request> requests;
    QStringList texts;
    MessageAsker::Handler previous;
};

} // namespace conversiontest
