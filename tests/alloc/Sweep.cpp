#include "Sweep.h"

#include "app/LoggingDefaults.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

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

long run(const QString& action, const std::function<bool(long n)>& attempt)
{
    // The program's own logging: its debug lines are off unless asked for.
    LoggingDefaults::apply();
    watchdog().start();
    // SWEEP_FROM=N starts at the N-th point (to look at one again).
    long n = qEnvironmentVariableIsSet("SWEEP_FROM") ? qMax(1, qEnvironmentVariableIntValue("SWEEP_FROM")) : 1;
    const long first = n;
    for (;; ++n) {
        watchdog().at(QStringLiteral("failure point %1 of %2").arg(n).arg(action).toLocal8Bit());
        if (!attempt(n))
            break;
    }
    watchdog().at(QByteArray());
    return n - first;
}

} // namespace sweep
