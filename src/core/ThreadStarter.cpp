#include "core/ThreadStarter.h"

#include <QThread>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace {

std::atomic<int> refusals{0};

// Takes one of the refusals a test asked for, if any is left.
bool refused()
{
    int left = refusals.load(std::memory_order_relaxed);
    while (left > 0) {
        if (refusals.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
            return true;
    }
    return false;
}

} // namespace

std::thread ThreadStarter::start(std::function<void()> body)
{
    if (refused())
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread not started");
    return std::thread(std::move(body));
}

bool ThreadStarter::start(QThread* thread)
{
    if (refused())
        return false;
    thread->start();
    // A refused start leaves the thread neither running nor finished; a
    // thread that started may have ended already.
    return thread->isRunning() || thread->isFinished();
}

int ThreadStarter::refuseNext(int starts)
{
    return refusals.exchange(starts > 0 ? starts : 0, std::memory_order_relaxed);
}
