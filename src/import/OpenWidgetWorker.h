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
class OpenWidgetWorker : public QObject
{
    Q_OBJECT

public:
    OpenWidgetWorker(RecordParser* owner, char separator, int total);

    int32_t total = 0;                    // records to read
    std::atomic<bool> cancelled{false};
    char separator = ',';
    RecordParser* owner = nullptr;        // not owned
    // Set last by loadData(): whoever reads it true sees every write of the run.
    std::atomic<bool> finished{false};

signals:
    void progress(int value);
    void setLabelText(QString text);

public slots:
    void loadData();
};
