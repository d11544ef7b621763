#include "core/DeferredRelease.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

class Releaser
{
public:
    static Releaser& instance()
    {
        static Releaser releaser;
        return releaser;
    }

    ~Releaser()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void post(std::function<void()> release)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_stopping) {
                m_queue.push_back(std::move(release));
                if (!m_thread.joinable())
                    m_thread = std::thread([this] { run(); });
                release = nullptr;
            }
        }
        if (release)
            release();
        else
            m_wake.notify_all();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // A pause does not hold back what a waiter waits for.
        ++m_waiters;
        m_wake.notify_all();
        m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
        --m_waiters;
    }

    void pause(bool on)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_paused += on ? 1 : -1;
        }
        if (!on)
            m_wake.notify_all();
    }

private:
    Releaser() = default;

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] {
                return m_stopping || (!m_queue.empty() && (m_paused == 0 || m_waiters > 0));
            });
            if (m_queue.empty())
                return;   // stopping, and nothing left
            std::function<void()> next = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            next();
            next = nullptr;
            lock.lock();
            m_busy = false;
            if (m_queue.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    int m_paused = 0;
    int m_waiters = 0;
    std::thread m_thread;
};

} // namespace

namespace deferredrelease {

void post(std::function<void()> release)
{
    Releaser::instance().post(std::move(release));
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
