#pragma once

#include "core/TList.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class PdmlFieldReader;
class QProcess;
class QTimer;

// One run of tshark's PDML dissection of a capture, read for its field
// names while tshark writes it. Nothing blocks: tshark runs as a child
// process whose output is read as it comes, in slices short enough for the
// window to answer in between; `finished` is emitted once, when tshark has
// ended and its output is read, when it could not be started, or when the
// run was cancelled. Everything happens on the thread the object lives on.
//
// Its handlers end their own running out of memory: the run then stops
// tshark and ends at once, as one that ran out of memory, whose fields are
// not to be taken (a part of them would be missing).
class FieldDiscovery : public QObject
{
    Q_OBJECT

public:
    explicit FieldDiscovery(QObject* parent = nullptr);
    ~FieldDiscovery() override;

    // Starts `program` with `arguments`; after `timeout` milliseconds a
    // tshark still running is stopped and what it printed is kept.
    void start(const QString& program, const QStringList& arguments, int timeout);
    // Stops tshark and ends the run at once; its fields are not read.
    // Throws nothing.
    void cancel();
    // Ends the run as one that ran out of memory: tshark is stopped, the
    // run ends at once, and its fields are not to be read.
    void failForMemory() noexcept;

    bool isDone() const { return done; }
    bool isCancelled() const { return cancelled; }
    bool timedOut() const { return stoppedByTimeout; }
    // tshark ended by a signal of its own (not stopped for its time).
    bool crashed() const { return crashedAlone; }
    bool ranOutOfMemory() const { return ranOut; }
    // The packets read so far.
    int packets() const;
    // The field names read (see PdmlFieldReader::fields).
    TList<QString> fields() const;
    // tshark's error output (its first few kilobytes) and, when it could not
    // be started, the reason.
    QByteArray errorOutput;

signals:
    void finished();

private:
    // Lets tshark go: no more of its signals, the program killed and waited
    // for a moment.
    void stopProcess() noexcept;
    void readOutput();
    void readErrors();
    void processEnded();
    // Reads what has arrived for a while; goes on later when more is left.
    void readSlice();
    void end() noexcept;

    QProcess* process = nullptr;
    std::unique_ptr<PdmlFieldReader> reader;
    QTimer* timeoutTimer = nullptr;
    // Queues the next slice when a slice ran out of time.
    QTimer* sliceTimer = nullptr;
    bool processDone = false;
    bool done = false;
    bool cancelled = false;
    bool stoppedByTimeout = false;
    bool crashedAlone = false;
    bool ranOut = false;
};
