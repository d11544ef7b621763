#pragma once

#include <QString>

// Where the external tools (tshark, capinfos, the Wireshark program) are
// started from. A path from the settings file is started when it names an
// executable file; otherwise the tool's bare name is started and found on
// the search path, as the tools' installation puts them there (on Windows,
// which has no such fallback, the configured path is started as it is).
class ToolLocator
{
public:
    // A file exists at `path` and may be executed.
    static bool isExecutableFile(const QString& path);
    // The program to start for the tool `name` whose configured location is
    // `configured`: that path when it is an executable file; otherwise on
    // "linux" and "macos" the bare name, on "windows" the configured path,
    // on any other system nothing.
    static QString program(const QString& configured, const QString& name, const QString& os);
    // The program `name` in the folder of the program at `path`, when an
    // executable file is there; else empty.
    static QString beside(const QString& path, const QString& name);
    // Whether `program` can be started: a path names an executable file, a
    // bare name is found on the search path.
    static bool canStart(const QString& program);
};
