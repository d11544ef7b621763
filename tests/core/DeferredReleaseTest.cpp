#include "TestRegistry.h"
#include "core/DeferredRelease.h"
#include "core/ThreadStarter.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

// The background frees of large structures, held back by pauses.
class DeferredReleaseTest : public QObject
{
    Q_OBJECT

private slots:
    void pausesHoldBackUntilTheLastEnds_data();
    void pausesHoldBackUntilTheLastEnds();
    void waitingRunsWhatAPauseHolds();
    void aThreadThatCannotStart();
    void contentsGoWhereTheyShould_data();
    void contentsGoWhereTheyShould();
};

namespace {

// Long enough for the background thread to have run what it was free to run.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
}

} // namespace

void DeferredReleaseTest::pausesHoldBackUntilTheLastEnds_data()
{
    QTest::addColumn<int>("pauses");
    QTest::newRow("one pause") << 1;
    QTest::newRow("nested pauses") << 3;
}

void DeferredReleaseTest::pausesHoldBackUntilTheLastEnds()
{
    QFETCH(int, pauses);
    deferredrelease::waitForAll();
    std::atomic<int> ran{0};
    {
        std::vector<std::unique_ptr<deferredrelease::Pause>> held;
        for (int k = 0; k < pauses; ++k)
            held.push_back(std::make_unique<deferredrelease::Pause>());
        deferredrelease::post([&ran] { ran.fetch_add(1); });
        deferredrelease::post([&ran] { ran.fetch_add(1); });
        while (held.size() > 1) {
            held.pop_back();
            settle();
            QCOMPARE(ran.load(), 0);
        }
        settle();
        QCOMPARE(ran.load(), 0);
    }
    deferredrelease::waitForAll();
    QCOMPARE(ran.load(), 2);
}

void DeferredReleaseTest::waitingRunsWhatAPauseHolds()
{
    std::atomic<int> ran{0};
    const deferredrelease::Pause pause;
    deferredrelease::post([&ran] { ran.fetch_add(1); });
    // Would never return if the pause held back what it waits for.
    deferredrelease::waitForAll();
    QCOMPARE(ran.load(), 1);
    // Later posts are held back again.
    deferredrelease::post([&ran] { ran.fetch_add(1); });
    settle();
    QCOMPARE(ran.load(), 1);
    deferredrelease::waitForAll();
    QCOMPARE(ran.load(), 2);
}

void DeferredReleaseTest::aThreadThatCannotStart()
{
    deferredrelease::Releaser releaser;
    std::thread::id ranOn;
    ThreadStarter::refuseNext(1);
    releaser.post([&ranOn] { ranOn = std::this_thread::get_id(); });
    // Done here, and nothing left for a wait to wait for.
    QCOMPARE(ranOn, std::this_thread::get_id());
    releaser.wait();
    // The next release starts the thread after all.
    releaser.post([&ranOn] { ranOn = std::this_thread::get_id(); });
    releaser.wait();
    QVERIFY(ranOn != std::this_thread::get_id());
    QCOMPARE(ThreadStarter::refuseNext(0), 0);
}

void DeferredReleaseTest::contentsGoWhereTheyShould_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("later");
    QTest::newRow("few: at once") << int(deferredrelease::FEW) - 1 << false;
    QTest::newRow("many: in the background") << int(deferredrelease::FEW) << true;
}

// A container emptied by releaseContents is empty at once; its elements
// go at once or once the background thread runs.
void DeferredReleaseTest::contentsGoWhereTheyShould()
{
    QFETCH(int, size);
    QFETCH(bool, later);
    deferredrelease::waitForAll();
    const auto probe = std::make_shared<int>(7);
    std::vector<std::shared_ptr<int>> held(std::size_t(size), probe);
    {
        const deferredrelease::Pause pause;
        deferredrelease::releaseContents(held, held.size());
        QVERIFY(held.empty());
        settle();
        QCOMPARE(probe.use_count(), later ? long(size) + 1 : 1L);
    }
    deferredrelease::waitForAll();
    QCOMPARE(probe.use_count(), 1L);
}

LUMIVANE_TEST(DeferredReleaseTest)
#include "DeferredReleaseTest.moc"
