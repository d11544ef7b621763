#pragma once

// Helpers of the conversion dialog's tests: test captures made with text2pcap from the
// hex dumps in tests/data/capture, stand-in tools on the search path, and
// the quiet answering of message boxes.

#include "TempWorkDir.h"
#include "app/MessageAsker.h"
#include "core/TList.h"

#include <QFile>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QtGlobal>

namespace capturetest {

// Writes a capture of the given format ("pcap" or "pcapng") from a hex dump
// of tests/data/capture; returns false when text2pcap fails.
inline bool makeCapture(const QString& hexName, const QString& path, const QString& format)
{
    QProcess text2pcap;
    text2pcap.start(QStringLiteral("text2pcap"),
                    {"-q", "-F", format, "-t", "%Y-%m-%d %H:%M:%S.",
                     testDataPath(QStringLiteral("capture/") + hexName), path});
    return text2pcap.waitForFinished(30000) && text2pcap.exitCode() == 0 && QFile::exists(path);
}

// Standard output of a tool run to its end.
inline QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// An executable shell script in dir.
inline QString writeScript(const TempWorkDir& dir, const QString& name, const QString& body)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return path;
}

// Puts a folder first on the search path (or, with replace, makes it the
// whole search path) while it lives.
class SearchPath
{
public:
    SearchPath(const QString& folder, bool replace = false)
        : previous(qgetenv("PATH"))
    {
        qputenv("PATH", replace ? folder.toLocal8Bit() : folder.toLocal8Bit() + ':' + previous);
    }
    ~SearchPath() { qputenv("PATH", previous); }
    SearchPath(const SearchPath&) = delete;
    SearchPath& operator=(const SearchPath&) = delete;

private:
    QByteArray previous;
};

// Answers every message box: questions with `answer`, all others with Ok;
// records them.
class Boxes
{
public:
    explicit Boxes(QMessageBox::StandardButton answer = QMessageBox::Yes)
    {
        previous = MessageAsker::setHandler([this, answer](const MessageAsker::Request& r) {
            requests << r;
            return r.icon == QMessageBox::Question ? answer : QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
    Boxes(const Boxes&) = delete;
    Boxes& operator=(const Boxes&) = delete;
    QStringList texts() const
    {
        QStringList list;
        for (const MessageAsker::Request& r : requests)
            list << r.text;
        return list;
    }
    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};

inline QStringList toStringList(const TList<QString>& list)
{
    return list.toQList();
}

inline TList<QString> toTList(const QStringList& list)
{
    TList<QString> t;
    for (const QString& s : list)
        t.append(s);
    return t;
}

} // namespace capturetest
