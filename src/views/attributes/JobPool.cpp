#include "views/attributes/JobPool.h"

#include "core/ThreadStarter.h"

#include <QRunnable>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <utility>

namespace {

// How long a thread waits for a job before it ends.
constexpr std::chrono::seconds IDLE{30};

} // namespace

JobPool::JobPool(QObject* parent)
    : QObject(parent)
{
    setMaxThreadCount(QThread::idealThreadCount());
}

JobPool::~JobPool()
{
    waitForDone(-1);
    std::vector<std::thread> ending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        ending.swap(threads);
    }
    queued.notify_all();
    for (std::thread& thread : ending)
        thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    joinFinished();
}

void JobPool::run(QRunnable* job)
{
    const bool owned = job->autoDelete();
    try {
        job->run();
    } catch (...) {
        if (owned)
            delete job;
        throw;
    }
    if (owned)
        delete job;
}

void JobPool::joinFinished()
{
    // A thread that left has let go of the lock for good.
    for (std::thread& thread : finished)
        thread.join();
    finished.clear();
}

void JobPool::start(QRunnable* job)
{
    if (!job)
        return;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        joinFinished();
        try {
            jobs.push_back(job);
            ++pending;
            taken = true;
        } catch (const std::bad_alloc&) {
        }
        if (taken && idle == 0 && int(threads.size()) < maxThreads) {
            // Refused by the system, or no memory for it: the threads
            // there are take the job, or it runs here.
            try {
                threads.push_back(ThreadStarter::start([this] { serve(); }));
            } catch (const std::system_error&) {
            } catch (const std::bad_alloc&) {
            }
        }
        if (taken && threads.empty()) {
            jobs.pop_back();
            --pending;
            taken = false;
        }
    }
    if (taken) {
        queued.notify_one();
        return;
    }
    run(job);
}

void JobPool::serve()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        if (jobs.empty()) {
            if (stopping)
                break;
            ++idle;
            const bool woken = queued.wait_for(lock, IDLE, [this] { return !jobs.empty() || stopping; });
            --idle;
            if (!woken)
                break;
            continue;
        }
        QRunnable* job = jobs.front();
        jobs.pop_front();
        lock.unlock();
        run(job);
        lock.lock();
        if (--pending == 0)
            ended.notify_all();
    }
    // Leaves the pool (unless the pool is ending, which joins it): joined
    // by the next start or by the pool's end.
    const std::thread::id self = std::this_thread::get_id();
    auto found = std::find_if(threads.begin(), threads.end(),
                              [self](const std::thread& thread) { return thread.get_id() == self; });
    if (found != threads.end()) {
        finished.push_back(std::move(*found));
        threads.erase(found);
    }
}

bool JobPool::waitForDone(int msecs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(msecs, 0));
    std::unique_lock<std::mutex> lock(mutex);
    while (pending > 0) {
        if (!jobs.empty()) {
            // Not taken by a thread yet: it runs here.
            QRunnable* job = jobs.front();
            jobs.pop_front();
            lock.unlock();
            try {
                run(job);
            } catch (...) {
                lock.lock();
                if (--pending == 0)
                    ended.notify_all();
                throw;
            }
            lock.lock();
            if (--pending == 0)
                ended.notify_all();
            continue;
        }
        if (msecs < 0)
            ended.wait(lock);
        else if (ended.wait_until(lock, deadline) == std::cv_status::timeout)
            return pending == 0;
    }
    return true;
}

int JobPool::activeThreadCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending;
}

int JobPool::maxThreadCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return maxThreads;
}

void JobPool::setMaxThreadCount(int count)
{
    std::lock_guard<std::mutex> lock(mutex);
    const int wanted = std::max(1, count);
    threads.reserve(std::size_t(wanted));
    finished.reserve(std::size_t(wanted));
    maxThreads = wanted;
}
