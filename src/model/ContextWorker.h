#pragma once

#include <QObject>

#include <atomic>

class Context;

// Computes a freshly built root context on a thread of its own, so that the
// GUI thread can show the loading dialog with its "Cancel" button.
//
// Move the worker to its QThread and start loadData() from the thread's
// started() signal. cancel() only sets the context's atomic cancel flag and
// is meant to run on the GUI thread: connect the dialog's canceled() to it
// with Qt::DirectConnection (a queued call would wait for loadData() to end).
class ContextWorker : public QObject
{
    Q_OBJECT

public:
    explicit ContextWorker(Context* context);

    Context* context = nullptr;   // not owned
    // Set when the computation ran out of memory: the context is then
    // incomplete and must not be shown.
    std::atomic<bool> outOfMemory{false};

public slots:
    // Computes the context; nothing is thrown from here (an exception would
    // end the program on the worker's thread).
    void loadData();
    void cancel();
};
