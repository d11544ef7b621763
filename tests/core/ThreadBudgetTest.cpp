#include "TestRegistry.h"
#include "ThreadsSetting.h"
#include "core/ThreadBudget.h"
#include "core/ThreadStarter.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

// Work split into parts: a part that throws is joined and its exception
// raised on the caller; helpers that cannot start leave their parts to the
// others; parts inside parts stay within the budget.
class ThreadBudgetTest : public QObject
{
    Q_OBJECT

private slots:
    void aThrowingPartIsJoinedAndRaised_data();
    void aThrowingPartIsJoinedAndRaised();
    void helpersThatCannotStart_data();
    void helpersThatCannotStart();
    void nestedPartsStayWithinTheBudget_data();
    void nestedPartsStayWithinTheBudget();
};

namespace {

// Waits until `count` reaches `wanted`, two seconds at most: the parts
// that wait so are taken by the helpers as well as by the caller.
void awaitCount(const std::atomic<int>& count, int wanted)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (count.load() < wanted && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

} // namespace

void ThreadBudgetTest::aThrowingPartIsJoinedAndRaised_data()
{
    QTest::addColumn<QString>("thrower");
    QTest::newRow("a helper's part") << "helper";
    QTest::newRow("the caller's part") << "caller";
    QTest::newRow("every part, the first raised") << "every";
}

void ThreadBudgetTest::aThrowingPartIsJoinedAndRaised()
{
    QFETCH(QString, thrower);
    const ThreadsSetting threads(4);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> begun{0};
    std::atomic<int> ended{0};
    std::atomic<int> order{0};
    std::atomic<bool> helperThrew{false};
    QString raised;
    try {
        ThreadBudget::runInParts(400, 4, [&](int, std::size_t, std::size_t) {
            begun.fetch_add(1);
            awaitCount(begun, 4);
            const bool onCaller = std::this_thread::get_id() == caller;
            bool throws = thrower == QLatin1String("every") || (thrower == QLatin1String("caller") && onCaller);
            if (thrower == QLatin1String("helper") && !onCaller)
                throws = !helperThrew.exchange(true);
            if (!throws) {
                // Still running when the other part throws.
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ended.fetch_add(1);
                return;
            }
            const int n = order.fetch_add(1);
            if (n > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ended.fetch_add(1);
            throw std::runtime_error(std::to_string(n) + (onCaller ? " caller" : " helper"));
        });
    } catch (const std::runtime_error& e) {
        raised = QString::fromLatin1(e.what());
    }
    QCOMPARE(ended.load(), begun.load());
    if (thrower == QLatin1String("every"))
        QVERIFY2(raised.startsWith(QLatin1String("0 ")), qPrintable(raised));
    else
        QCOMPARE(raised, "0 " + thrower);
    // The helpers go on taking parts.
    std::atomic<long> sum{0};
    ThreadBudget::runInParts(1000, 7, [&sum](int, std::size_t from, std::size_t to) { sum += long(to - from); });
    QCOMPARE(sum.load(), 1000L);
}

void ThreadBudgetTest::helpersThatCannotStart_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("parts") << false;
    QTest::newRow("parts in the background") << true;
}

void ThreadBudgetTest::helpersThatCannotStart()
{
    QFETCH(bool, background);
    // More helpers than any other test asks for: they must be started.
    const ThreadsSetting threads(background ? 48 : 32);
    ThreadStarter::refuseNext(1000);
    std::vector<int> hits(5000, 0);
    const auto part = [&](int, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            ++hits[i];
    };
    if (background) {
        ThreadBudget::Background parts(hits.size(), 40, part);
        parts.finish();
    } else {
        ThreadBudget::runInParts(hits.size(), 40, part);
    }
    const int left = ThreadStarter::refuseNext(0);
    QVERIFY(left < 1000);
    QCOMPARE(hits, std::vector<int>(hits.size(), 1));
}

void ThreadBudgetTest::nestedPartsStayWithinTheBudget_data()
{
    QTest::addColumn<int>("budget");
    QTest::addColumn<int>("depth");
    QTest::newRow("2 threads, parts in parts") << 2 << 2;
    QTest::newRow("4 threads, parts in parts") << 4 << 2;
    QTest::newRow("3 threads, three levels") << 3 << 3;
}

void ThreadBudgetTest::nestedPartsStayWithinTheBudget()
{
    QFETCH(int, budget);
    QFETCH(int, depth);
    const ThreadsSetting threads(budget);
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<long> covered{0};
    std::function<void(int)> level = [&](int d) {
        ThreadBudget::runInParts(64, 4, [&, d](int, std::size_t from, std::size_t to) {
            if (d + 1 < depth) {
                level(d + 1);
                return;
            }
            const int now = running.fetch_add(1) + 1;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            covered.fetch_add(long(to - from));
            running.fetch_sub(1);
        });
    };
    level(0);
    QVERIFY2(most.load() <= budget, qPrintable(QString::number(most.load())));
    long expected = 64;
    for (int d = 1; d < depth; ++d)
        expected *= 4;
    QCOMPARE(covered.load(), expected);
}

LUMIVANE_TEST(ThreadBudgetTest)
#include "ThreadBudgetTest.moc"
