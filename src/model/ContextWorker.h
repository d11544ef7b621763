#pragma once

#include <QObject>

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

public slots:
    void loadData();
    void cancel();
};
