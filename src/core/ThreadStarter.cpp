#include "core/ThreadStarter.h"

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace {

std::atomic<int> refusals{0};

} // namespace

std::thread ThreadStarter::start(std::function<void()> body)
{
    int left = refusals.load(std::memory_order_relaxed);
    while (left > 0) {
        if (refusals.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "thread not started");
    }
    return std::thread(std::move(body));
}

int ThreadStarter::refuseNext(int starts)
{
    return refusals.exchange(starts > 0 ? starts : 0, std::memory_order_relaxed);
}
