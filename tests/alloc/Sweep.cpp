#include "Sweep.h"

#include "FailingNew.h"

#include "app/Application.h"
#include "app/LoggingDefaults.h"

#include <QByteArray>
#include <QtGlobal>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define SWEEP_LEAK_CHECK 1
#endif

namespace {

struct Watchdog
{
    std::mutex mutex;
    std::condition_variable changed;
    QByteArray what;        // the action and point under way; empty: none
    unsigned long beat = 0;
    bool started = false;

    void start()
    {
        if (started)
            return;
        started = true;
        const int limit = qEnvironmentVariableIsSet("SWEEP_STALL_SECONDS")
                              ? qEnvironmentVariableIntValue("SWEEP_STALL_SECONDS")
                              : 300;
        std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                const unsigned long seen = beat;
                if (changed.wait_for(lock, std::chrono::seconds(limit), [&] { return beat != seen; }))
                    continue;
                if (what.isEmpty())
                    continue;
                std::fprintf(stderr, "no progress for %d s at %s\n", limit, what.constData());
                std::fflush(stderr);
                std::abort();
            }
        }).detach();
    }

    void at(const QByteArray& point)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            what = point;
            ++beat;
        }
        changed.notify_all();
    }
};

Watchdog& watchdog()
{
    static Watchdog* dog = new Watchdog;   // outlives the tests' statics
    return *dog;
}

} // namespace

namespace sweep {

long run(const QString& action, const std::function<bool(long n)>& attempt, long points)
{
    // The program's own logging: its debug lines are off unless asked for.
    LoggingDefaults::apply();
    watchdog().start();
    // SWEEP_FROM=N starts at the N-th point (to look at one again).
    long n = qEnvironmentVariableIsSet("SWEEP_FROM") ? qMax(1, qEnvironmentVariableIntValue("SWEEP_FROM")) : 1;
    // SWEEP_TO=N stops after the N-th point (to look at a stretch of them).
    const long last = qEnvironmentVariableIsSet("SWEEP_TO") ? qEnvironmentVariableIntValue("SWEEP_TO") : 0;
    // SWEEP_POINTS=M: about M points spread evenly over the allocations
    // that the action makes without a failure (counted by a first attempt
    // that fails none); unset or 0, every point.
    const long wanted = qEnvironmentVariableIntValue("SWEEP_ALL") > 0 ? 0
                        : points >= 0                                ? points
                                                                     : qEnvironmentVariableIntValue("SWEEP_POINTS");
    long step = 1;
    if (wanted > 0) {
        watchdog().at(QStringLiteral("counting the allocations of %1").arg(action).toLocal8Bit());
        attempt(std::numeric_limits<long>::max());
        step = qMax(1L, failingnew::counted() / wanted);
    }
    long visited = 0;
#ifdef SWEEP_LEAK_CHECK
    // What each point leaves unfreed is found at the end, or after each
    // point with SWEEP_LEAK_CHECK=each (slow, to find the point).
    const bool eachPoint = qgetenv("SWEEP_LEAK_CHECK") == "each";
#endif
    for (;; n += step) {
        watchdog().at(QStringLiteral("failure point %1 of %2").arg(n).arg(action).toLocal8Bit());
        const unsigned long backstops = Application::backstops();
        const bool more = attempt(n);
        if (more)
            ++visited;
        // Every handler ends its own failure: the application's last
        // resort never has one to stop.
        if (Application::backstops() != backstops) {
            QTest::qFail(qPrintable(QStringLiteral("%1: failure point %2 reached the application's last resort")
                                        .arg(action)
                                        .arg(n)),
                         __FILE__, __LINE__);
            break;
        }
#ifdef SWEEP_LEAK_CHECK
        if (eachPoint && __lsan_do_recoverable_leak_check() != 0) {
            QTest::qFail(qPrintable(QStringLiteral("%1: failure point %2 leaks").arg(action).arg(n)), __FILE__,
                         __LINE__);
            break;
        }
#endif
        if (!more || (last > 0 && n + step > last))
            break;
    }
    watchdog().at(QByteArray());
#ifdef SWEEP_LEAK_CHECK
    if (__lsan_do_recoverable_leak_check() != 0)
        QTest::qFail(qPrintable(action + QStringLiteral(": its failures leave memory unfreed")), __FILE__, __LINE__);
#endif
    return visited;
}

bool fail(const QString& what)
{
    QTest::qFail(qPrintable(what), __FILE__, __LINE__);
    return false;
}

void spareQt(bool core)
{
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "libQt5Test", "qt5/plugins/platforms"}) {
        if ((core || qstrcmp(library, "libQt5Core") != 0) && !failingnew::spareCallersIn(library))
            QTest::qFail(library, __FILE__, __LINE__);
    }
}

} // namespace sweep
