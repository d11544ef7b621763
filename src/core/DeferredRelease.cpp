#include "core/DeferredRelease.h"

#include "core/ThreadStarter.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace deferredrelease {

struct Releaser::State
{
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stopping = false;
    int paused = 0;
    int waiters = 0;
    std::thread thread;
};

Releaser::Releaser()
    : d(new State)
{
}

Releaser::~Releaser()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    if (d->thread.joinable())
        d->thread.join();
}

Releaser& Releaser::instance()
{
    static Releaser releaser;
    return releaser;
}

void Releaser::post(std::function<void()> release)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        bool running = d->thread.joinable();
        // The thread is started before anything is queued: a release that
        // cannot be handed over is done here, and nobody waits for it.
        try {
            if (!d->stopping && !running) {
                d->thread = ThreadStarter::start([this] { run(); });
                running = true;
            }
            if (!d->stopping && running) {
                d->queue.push_back(std::move(release));
                release = nullptr;
            }
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    if (release)
        release();
    else
        d->wake.notify_all();
}

void Releaser::wait()
{
    std::unique_lock<std::mutex> lock(d->mutex);
    // A pause does not hold back what a waiter waits for.
    ++d->waiters;
    d->wake.notify_all();
    d->idle.wait(lock, [this] { return d->queue.empty() && !d->busy; });
    --d->waiters;
}

void Releaser::pause(bool on)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->paused += on ? 1 : -1;
    }
    if (!on)
        d->wake.notify_all();
}

void Releaser::run()
{
    std::unique_lock<std::mutex> lock(d->mutex);
    for (;;) {
        d->wake.wait(lock, [this] {
            return d->stopping || (!d->queue.empty() && (d->paused == 0 || d->waiters > 0));
        });
        if (d->queue.empty())
            return;   // stopping, and nothing left
        std::function<void()> next = std::move(d->queue.front());
        d->queue.pop_front();
        d->busy = true;
        lock.unlock();
        next();
        next = nullptr;
        lock.lock();
        d->busy = false;
        if (d->queue.empty())
            d->idle.notify_all();
    }
}

void post(std::function<void()> release)
{
    // Without memory for the releaser itself, the release runs here.
    Releaser* releaser = nullptr;
    try {
        releaser = &Releaser::instance();
    } catch (const std::bad_alloc&) {
    }
    if (releaser)
        releaser->post(std::move(release));
    else
        release();
}

void waitForAll()
{
    Releaser::instance().wait();
}

Pause::Pause()
{
    Releaser::instance().pause(true);
}

Pause::~Pause()
{
    Releaser::instance().pause(false);
}

} // namespace deferredrelease
