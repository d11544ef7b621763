#include "TestRegistry.h"
#include "ContextFixture.h"
#include "Timing.h"

#include "model/LogRelease.h"

#include <QPointer>
#include <QThread>
#include <QtTest>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace fixture;

namespace {

// Events whose deletion is recorded with the thread it ran on.
struct Deletions
{
    std::mutex mutex;
    std::vector<std::thread::id> threads;

    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(threads.size());
    }
    int onThread(std::thread::id id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (std::thread::id t : threads)
            n += t == id ? 1 : 0;
        return n;
    }
};

PacketPtr trackedEvent(Deletions& deletions, int i, int conv)
{
    TList<TVariant> row = {TVariant(double(1000 + i)), TVariant(QStringLiteral("host%1").arg(i % 3)),
                           TVariant(QStringLiteral("info %1").arg(i))};
    PacketPtr event(new Packet(row), [&deletions](Packet* p) {
        {
            std::lock_guard<std::mutex> lock(deletions.mutex);
            deletions.threads.push_back(std::this_thread::get_id());
        }
        delete p;
    });
    event->conversationId = conv;
    return event;
}

// A loaded log as the views leave it: a root context over `n` events, a
// derived context over its first half, with a snapshot from a removal, and a
// filled text pool.
struct Log
{
    Log(Deletions& deletions, int n)
    {
        store = makeStore({"frame.time_epoch", "ip.src", "info"}, {1, 3, 3});
        Packets events;
        for (int i = 0; i < n; ++i)
            events.append(trackedEvent(deletions, i, i % 4));
        root = new Context(nullptr, QStringLiteral("All"), events, store, true);
        store->rootContext = root;
        child = new Context(root, QStringLiteral("half"), events.mid(0, n / 2), store, true);
        child->removePackets(events.mid(0, 1));
        snapshot = child->history.last();
        for (int i = 0; i < n; ++i)
            store->textPool.insert(QStringLiteral("info %1").arg(i), TVariant(QStringLiteral("info %1").arg(i)));
    }

    GlyphStore* store = nullptr;
    Context* root = nullptr;
    Context* child = nullptr;
    Context* snapshot = nullptr;
};

// The resident size of this process, in bytes.
qint64 residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    qint64 pages = 0;
    qint64 resident = 0;
    statm >> pages >> resident;
    return resident * qint64(sysconf(_SC_PAGESIZE));
}

} // namespace

class LogReleaseTest : public QObject
{
    Q_OBJECT

private slots:
    void eventsAreFreedOffTheGuiThread();
    void contextsGoAtOnceOnTheGuiThread();
    void heldEventsOutliveTheRelease_data();
    void heldEventsOutliveTheRelease();
    void releasesQueueInOrder();
    void nothingToRelease();
    void freedMemoryGoesBackToTheSystem();
};

void LogReleaseTest::eventsAreFreedOffTheGuiThread()
{
    Deletions deletions;
    {
        Log log(deletions, 2000);
        logrelease::releaseStore(log.store);
    }
    logrelease::waitForReleases();
    QCOMPARE(deletions.count(), 2000);
    QCOMPARE(deletions.onThread(std::this_thread::get_id()), 0);
}

void LogReleaseTest::contextsGoAtOnceOnTheGuiThread()
{
    Deletions deletions;
    Log log(deletions, 400);
    QPointer<Context> root(log.root);
    QPointer<Context> child(log.child);
    QPointer<Context> snapshot(log.snapshot);
    logrelease::releaseStore(log.store);
    // The Qt objects are gone when the call returns, whatever the
    // background thread has done by then.
    QVERIFY(root.isNull());
    QVERIFY(child.isNull());
    QVERIFY(snapshot.isNull());
    logrelease::waitForReleases();
    QCOMPARE(deletions.count(), 400);
}

void LogReleaseTest::heldEventsOutliveTheRelease_data()
{
    QTest::addColumn<int>("held");
    QTest::newRow("first event, also in the derived context and its snapshot") << 0;
    QTest::newRow("an event of the root only") << 299;
}

void LogReleaseTest::heldEventsOutliveTheRelease()
{
    QFETCH(int, held);
    Deletions deletions;
    PacketPtr selected;
    TVariant pooled;
    {
        Log log(deletions, 300);
        selected = log.root->packets[held];
        pooled = log.store->textPool.value(QStringLiteral("info 7"));
        logrelease::releaseStore(log.store);
    }
    logrelease::waitForReleases();
    // What a view still holds (a selection, a value) stays readable.
    QCOMPARE(deletions.count(), 299);
    QCOMPARE(selected->get(0).toDouble(), double(1000 + held));
    QCOMPARE(selected->get(2).toString(), QStringLiteral("info %1").arg(held));
    QCOMPARE(pooled.toString(), QStringLiteral("info 7"));
    // ... and goes with its last holder.
    selected.reset();
    QCOMPARE(deletions.count(), 300);
}

void LogReleaseTest::releasesQueueInOrder()
{
    Deletions deletions;
    for (int round = 0; round < 5; ++round) {
        Log log(deletions, 500);
        logrelease::releaseStore(log.store);
    }
    logrelease::waitForReleases();
    QCOMPARE(deletions.count(), 2500);
    QCOMPARE(deletions.onThread(std::this_thread::get_id()), 0);
}

void LogReleaseTest::nothingToRelease()
{
    logrelease::releaseStore(nullptr);
    logrelease::releaseStore(new GlyphStore);   // no root context yet
    logrelease::waitForReleases();
    logrelease::waitForReleases();
}

void LogReleaseTest::freedMemoryGoesBackToTheSystem()
{
    if (testsupport::sanitizedBuild())
        QSKIP("the sanitizers' allocator keeps what is freed");
#ifndef __GLIBC__
    QSKIP("only the C library's allocator is asked to give memory back");
#else
    Deletions deletions;
    // What earlier tests freed does not count.
    malloc_trim(0);
    const qint64 before = residentBytes();
    std::unique_ptr<Log> big(new Log(deletions, 100000));
    // The log that replaces it comes after it in the heap: the big log's
    // memory is not at the heap's end, whence freeing alone returns it.
    Log small(deletions, 2000);
    const qint64 loaded = residentBytes() - before;
    QVERIFY2(loaded > (qint64(20) << 20), qPrintable(QString::number(loaded)));
    logrelease::releaseStore(big->store);
    logrelease::waitForReleases();
    const qint64 kept = residentBytes() - before;
    QVERIFY2(kept < loaded / 4, qPrintable(QStringLiteral("%1 of %2 bytes kept").arg(kept).arg(loaded)));
    QCOMPARE(deletions.count(), 100000);
    logrelease::releaseStore(small.store);
    logrelease::waitForReleases();
#endif
}

LUMIVANE_TEST(LogReleaseTest)
#include "LogReleaseTest.moc"
