#pragma once

#include "core/TList.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QEventLoop;
class QProcess;
class QSaveFile;
class QTextStream;
class QWidget;

// Converts a packet capture into the comma-separated event log that the
// import reads, by running capinfos (for the packet count) and tshark (for
// the chosen fields of every packet) as child processes.
//
// tshark prints one line per packet: the fields separated by "~", every
// non-empty value in double quotes. Each record becomes one row of the
// output: values unquoted, "," inside a value written as ";", "~" and
// double quotes inside a value dropped. The header line ends with "\n",
// every row with "\r\n"; the file is UTF-8.
//
// The rows go to a temporary file beside the output, which replaces the
// output only when the conversion succeeded: a failed or stopped conversion
// leaves an older file as it was, and leaves no file where there was none.
//
// Use: construct, countPackets, set `attributes`, start (returns when tshark
// has ended, with the outcome), read `killed`, `errorText` and `reported`, set
// `stopping`, destroy. Everything runs on the GUI thread; start runs a local
// event loop while tshark works, so a progress dialog stays responsive and
// its Cancel can call abort.
//
// Running out of memory anywhere in a conversion fails it as a whole: the
// handlers that its loop runs (its own, and those of others that count their
// failures, see HandlerGuard::failures) end their failure there and stop
// tshark; start then drops the partial output and returns false with
// `ranOutOfMemory` set. The destructor allocates nothing of its own and
// throws nothing: it may run while such a failure unwinds the stack.
class WiresharkTerminalStream : public QObject
{
    Q_OBJECT

public:
    // Opens the temporary file beside outputPath. When it cannot be created
    // (or outputPath is a folder or a file that may not be written), `out`
    // and `process` stay null and `attributes` empty; start then reports it.
    WiresharkTerminalStream(QString outputPath, TList<QString> fields);
    ~WiresharkTerminalStream() override;

    // Runs capinfos on the capture and sets expectedPackets (0 when its
    // output holds no "Number of packets:" line).
    void countPackets(QString capturePath, QString capinfosPath);

    // Writes the header and converts tshark's output for the capture. A
    // field named more than once is passed and written once, where it first
    // stands. filter: a display filter, passed as one argument after "-Y"
    // (none when empty); limit: the most packets to read, -1 for all.
    // Returns false when the output could not be created, tshark could not
    // start, crashed, exited with an error, was stopped by abort, let no
    // packet pass the filter, or printed no record for an unfiltered
    // capture in which capinfos counted packets; errorText then says why.
    // Only a successful conversion replaces the output file.
    bool start(QString capturePath, QString tsharkPath, QString filter, int limit);

    // Stops a running conversion: tshark is killed and the partial output
    // dropped; start then returns false with `killed` set.
    void abort();
    // Ends the running conversion as one that ran out of memory: tshark is
    // killed and start's loop left; start then returns false with
    // `ranOutOfMemory` set. For a handler that serves the conversion (a
    // progress display) and could not do its part.
    void stopForMemory() noexcept;

    bool stopping = false;
    // The tshark fields to convert, in column order.
    TList<QString> attributes;
    QProcess* process = nullptr;
    int expectedPackets = 0;
    // The temporary file that becomes the output on success.
    QSaveFile* outputFile = nullptr;
    QTextStream* out = nullptr;
    int rowsWritten = 0;
    bool killed = false;
    // Why the last start failed, for the message shown to the user; empty
    // after a successful conversion.
    QString errorText;
    // Set when the last start showed its own message box about its failure
    // (the output could not be created, tshark could not be started), so
    // that the caller does not repeat it.
    bool reported = false;
    // Set when the last start ran out of memory; errorText then says so.
    bool ranOutOfMemory = false;
    // Where its message boxes open (none: on their own).
    QWidget* boxParent = nullptr;

    // tshark's error output as text, without the warning about running as
    // root that it prints at every run.
    static QString withoutRootWarning(const QByteArray& errorOutput);
    // The field names that tshark's error text says it does not know.
    static TList<QString> refusedFields(const QString& tsharkText);

signals:
    void progress(int value);

public slots:
    void readyReadStandardOutput();
    void readyReadStandardError();
    void processFinished(int exitCode, int exitStatus);

    // The error text of a conversion that ran out of memory.
    static const QString& outOfMemoryText();

private:
    bool convert(const QString& capturePath, const QString& tsharkPath, const QString& filter,
                 int limit, unsigned long failures);
    // After running out of memory: tshark stopped, the output dropped.
    void endForMemory() noexcept;
    void convertLines(const QByteArray& bytes, bool toEnd);
    void convertLine(const QChar* line, int size);
    void addToken(const QString& text);
    void endRecordLine();
    void stop();
    // Drops the partial output, unwritten; an older output file stays as it
    // was. Allocates nothing.
    void discardOutput() noexcept;
    bool fail(const QString& text);

    // Output bytes after the last complete line.
    QByteArray pending;
    // The record being read; it carries over from one output batch to the
    // next, since a record may span lines. The tokens read so far are kept
    // joined by "," in `record`.
    QString token;
    QString record;
    int tokens = 0;
    bool inQuote = false;
    QByteArray errorOutput;
    QEventLoop* waitLoop = nullptr;
};
