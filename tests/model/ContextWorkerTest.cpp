#include "TestRegistry.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include "model/ContextWorker.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

using namespace fixture;

namespace {

Packets traces(int events, int traceCount)
{
    Packets out;
    for (int i = 0; i < events; ++i)
        out.append(makeEvent({QString::number(i), "a", QString::number(i % 7)}, i % traceCount));
    return out;
}

// Runs the worker's loadData() on a thread of its own, as the loader does,
// and waits for the thread to end. The end is also handed over through a
// standard atomic: QThread::wait synchronises inside Qt, where a race
// detector does not see it.
void runOnThread(ContextWorker* worker, const std::function<void()>& whileRunning = {})
{
    QThread thread;
    std::atomic<bool> ended{false};
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, worker, &ContextWorker::loadData);
    QObject::connect(&thread, &QThread::started, &thread, [&thread, &ended] {
        thread.quit();
        ended.store(true, std::memory_order_release);
    }, Qt::DirectConnection);
    thread.start();
    if (whileRunning)
        whileRunning();
    QVERIFY(thread.wait(60000));
    while (!ended.load(std::memory_order_acquire))
        QThread::yieldCurrentThread();
}

} // namespace

class ContextWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void computesOnItsThread();
    void emptyContextIsDone();
    void cancelBeforeStart();
    void cancelFromGuiThread_data();
    void cancelFromGuiThread();
};

void ContextWorkerTest::computesOnItsThread()
{
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch", "ip.src", "v"}, {1, 3, 3}));
    Context ctx(nullptr, "All", traces(3000, 40), store.get(), false);
    ContextWorker worker(&ctx);
    QCOMPARE(worker.context, &ctx);

    QThread* emitter = nullptr;
    int labels = 0;   // counted on the worker thread, read after it ended
    connect(&ctx, &Context::setLabelText, this, [&](const QString&) {
        emitter = QThread::currentThread();
        ++labels;
    }, Qt::DirectConnection);

    DebugCapture cap;
    cap.setForward(false);
    runOnThread(&worker);
    QVERIFY(emitter && emitter != QThread::currentThread());
    // 1 + 3 event labels + 1 + 1 trace label
    QCOMPARE(labels, 6);
    QCOMPARE(ctx.conversationCount(), 40);
    QCOMPARE(cap.lines().last(), QString("Done"));
    QCOMPARE(cap.count("Canceled"), 0);
}

void ContextWorkerTest::emptyContextIsDone()
{
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch"}, {1}));
    Context ctx(nullptr, "All", Packets(), store.get(), false);
    ContextWorker worker(&ctx);
    DebugCapture cap;
    cap.setForward(false);
    int last = -1;
    connect(&ctx, &Context::progress, this, [&last](int value) { last = value; },
            Qt::DirectConnection);
    runOnThread(&worker);
    QCOMPARE(last, 4);
    QCOMPARE(ctx.conversationCount(), 0);
    QCOMPARE(cap.lines(), (QStringList{"build conversation data", "done", "end Freq",
                                       "create conversations", "done", "Done"}));
}

void ContextWorkerTest::cancelBeforeStart()
{
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch"}, {1}));
    Context ctx(nullptr, "All", traces(10, 2), store.get(), false);
    ContextWorker worker(&ctx);
    worker.cancel();
    QVERIFY(ctx.cancelled);
    DebugCapture cap;
    cap.setForward(false);
    runOnThread(&worker);
    QCOMPARE(cap.lines().last(), QString("Canceled"));
    QVERIFY(ctx.histograms.isEmpty());
    QCOMPARE(ctx.conversationCount(), 0);
}

void ContextWorkerTest::cancelFromGuiThread_data()
{
    QTest::addColumn<int>("pauseAt");     // progress value at which the worker waits
    QTest::addColumn<int>("histograms");
    QTest::addColumn<int>("records");
    QTest::newRow("before the event pass") << 1 << 3 << 0;
    QTest::newRow("before the trace records") << 2 << 3 << 0;
    QTest::newRow("during the trace records") << 3 << 3 << 1;
}

void ContextWorkerTest::cancelFromGuiThread()
{
    QFETCH(int, pauseAt);
    QFETCH(int, histograms);
    QFETCH(int, records);
    std::unique_ptr<GlyphStore> store(makeStore({"frame.time_epoch", "ip.src", "v"}, {1, 3, 3}));
    Context ctx(nullptr, "All", traces(500, 50), store.get(), false);
    ContextWorker worker(&ctx);

    // The worker stops at the chosen step until the GUI thread has asked
    // to cancel, so the check that follows sees the request.
    QSemaphore reached, resume;
    connect(&ctx, &Context::progress, this, [&](int value) {
        if (value == pauseAt) {
            reached.release();
            resume.acquire();
        }
    }, Qt::DirectConnection);

    DebugCapture cap;
    cap.setForward(false);
    runOnThread(&worker, [&] {
        reached.acquire();
        worker.cancel();   // on this (the GUI) thread
        resume.release();
    });
    QCOMPARE(cap.lines().last(), QString("Canceled"));
    QCOMPARE(ctx.histograms.size(), histograms);
    QCOMPARE(ctx.conversationCount(), records);
}

LUMIVANE_TEST(ContextWorkerTest)
#include "ContextWorkerTest.moc"
