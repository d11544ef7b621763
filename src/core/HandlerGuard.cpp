#include "core/HandlerGuard.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<unsigned long> count{0};
std::atomic<HandlerGuard::Teller> teller{nullptr};

// The widget whose last paint ran out of memory, on this thread (paints are
// on the GUI thread): its next failures are not told again.
thread_local const void* paintFailing = nullptr;

void tell() noexcept
{
    if (HandlerGuard::Teller t = teller.load())
        t();
    else
        std::fputs("Out of memory: an action was stopped\n", stderr);
}

} // namespace

void HandlerGuard::failed() noexcept
{
    count.fetch_add(1);
    tell();
}

unsigned long HandlerGuard::failures() noexcept
{
    return count.load();
}

void HandlerGuard::setTeller(Teller t) noexcept
{
    teller.store(t);
}

void HandlerGuard::paintFailed(const void* widget) noexcept
{
    count.fetch_add(1);
    if (paintFailing == widget)
        return;
    paintFailing = widget;
    tell();
}

void HandlerGuard::paintedWhole(const void* widget) noexcept
{
    if (paintFailing == widget)
        paintFailing = nullptr;
}
