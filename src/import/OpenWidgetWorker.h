#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>

class RecordParser;

// Reads the records of the import dialog's log into events on a thread of
// its own, so that the GUI thread can show the loading progress with its
// "Cancel" button.
//
// Move the worker to its QThread and start loadData() from the thread's
// started() signal. loadData() uses the owner's stream, parsing state,
// `packets` and `textPool` without locks (the owner is the import dialog,
// seen here only as the record parser it is): the GUI thread must not touch them
// until the thread has ended. `cancelled` is written directly by the GUI
// thread (the worker's own thread is busy in its loop and runs no queued
// slots) and polled once per record.
//
// With more than one thread (threadCount()) the records are read in
// stretches of a fixed number of lines, each by a parser of its own, and
// the stretches are joined in file order into the owner's events, pool and
// trace numbers: the events, their values, the order in which texts enter
// the pool and the trace numbers are those of a reading record by record,
// which is what one thread does. A text the stream does not cut into lines
// itself (UTF-16, a sequential device) is read record by record.
class OpenWidgetWorker : public QObject
{
    Q_OBJECT

public:
    OpenWidgetWorker(RecordParser* owner, char separator, int total);

    int32_t total = 0;                    // records to read
    // When not negative, loadData() first counts the records to read, at
    // most `limit`, into `total` and tells it with counted().
    int limit = -1;
    std::atomic<bool> cancelled{false};
    char separator = ',';
    RecordParser* owner = nullptr;        // not owned
    // Set when the run stopped because memory ran out: the owner's events,
    // pool and parsing state are then those of a part of the log only.
    std::atomic<bool> outOfMemory{false};
    // Set last by loadData(): whoever reads it true sees every write of the run.
    std::atomic<bool> finished{false};

    // The threads a load reads with: LUMIVANE_THREADS when it is a
    // positive number, else the processor count (at most 8).
    static int threadCount();

signals:
    void counted(int total);
    void progress(int value);
    void setLabelText(QString text);

public slots:
    // Reads the log; nothing is thrown from here (an exception would end
    // the program on the loader's thread): a run out of memory stops with
    // `outOfMemory` set.
    void loadData();

private:
    void read();
    // Reads the owner's stream in stretches on `threads` threads.
    // False when no helper could start, before anything is read. Throws
    // std::bad_alloc, once every helper has ended, when memory ran out on
    // any of the threads.
    bool readStretches(int threads);
    // Reads the owner's stream record by record.
    void readRecords();
    // What the loop of one record announces: every 1000th record.
    void announce(int record);
};
