#include "ThreadBudget.h"

#include "core/ThreadStarter.h"

#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::atomic<int> partsBeforeFailure{-1};

// The part that a test had fail throws here, as a part out of memory does.
void startPart()
{
    int left = partsBeforeFailure.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (partsBeforeFailure.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 0)
                throw std::bad_alloc();
            return;
        }
    }
}

} // namespace

// One piece of work in parts: the parts not yet taken, the ones running,
// and the first exception of a part.
struct ThreadBudget::Background::Job
{
    Job(std::size_t size, int parts, const std::function<void(int, std::size_t, std::size_t)>* part)
        : size(size), parts(parts), part(part)
    {
    }

    void run(int k) const
    {
        startPart();
        (*part)(k, size * std::size_t(k) / std::size_t(parts), size * std::size_t(k + 1) / std::size_t(parts));
    }

    const std::size_t size;
    const int parts;
    const std::function<void(int, std::size_t, std::size_t)>* part;
    std::function<void(int, std::size_t, std::size_t)> owned;   // a Background's own copy
    int next = 0;           // the next part to take; parts when none is left
    int running = 0;        // parts taken that have not ended
    bool opened = false;    // offered to the helpers
    bool finished = false;
    std::exception_ptr failure;
    std::condition_variable ended;
};

namespace {

using Job = ThreadBudget::Background::Job;

constexpr int MAX_THREADS = 64;
// How long a helper waits for parts before it ends: long enough for the
// next call of a piece of work, short enough that the threads the program
// starts next find its memory free (each thread that allocates holds an
// arena of the allocator while it lives).
constexpr std::chrono::milliseconds IDLE{2};

// The helper threads of the process. They are started as the budget asks
// for them and wait for parts between calls, a while; `busy` counts the slots in
// use, by helpers in a part and by the holders of Slots, and stays at most
// `limit`, count() - 1 as the last call read it.
class Helpers
{
public:
    static Helpers& instance()
    {
        static Helpers helpers;
        return helpers;
    }

    ~Helpers()
    {
        std::vector<std::thread> ending;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            ending.swap(threads);
            for (std::thread& thread : ended)
                ending.push_back(std::move(thread));
            ended.clear();
        }
        wake.notify_all();
        for (std::thread& thread : ending)
            thread.join();
    }

    // Offers the job's parts to the helpers, starting those that are not
    // there yet.
    void open(Job& job, int helperLimit)
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Threads that ended let go of the lock for good before they are
        // found here.
        for (std::thread& thread : ended)
            thread.join();
        ended.clear();
        limit = helperLimit;
        offered.push_back(&job);
        job.opened = true;
        while (int(threads.size()) < limit) {
            // Refused by the system, or no memory for it: the threads
            // there are take the parts.
            try {
                threads.push_back(ThreadStarter::start([this] { serve(); }));
            } catch (const std::system_error&) {
                break;
            } catch (const std::bad_alloc&) {
                break;
            }
        }
        wake.notify_all();
    }

    // Runs on the calling thread the parts that no helper has taken, waits
    // for the others, and returns the first exception of a part.
    std::exception_ptr finish(Job& job)
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (int k = take(job); k >= 0; k = take(job))
            runPart(job, k, lock);
        job.ended.wait(lock, [&job] { return job.running == 0; });
        job.finished = true;
        return job.failure;
    }

    int reserve(int wanted, int helperLimit)
    {
        std::lock_guard<std::mutex> lock(mutex);
        limit = helperLimit;
        const int granted = std::max(0, std::min(wanted, limit - busy));
        busy += granted;
        return granted;
    }

    void giveBack(int count)
    {
        if (count <= 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            busy -= count;
        }
        wake.notify_all();
    }

private:
    // Room for every thread there may be: adding one never allocates.
    Helpers()
    {
        threads.reserve(MAX_THREADS);
        ended.reserve(MAX_THREADS);
    }

    // With the lock held: the next part of the job, or -1.
    int take(Job& job)
    {
        if (job.next >= job.parts)
            return -1;
        const int k = job.next++;
        if (job.next >= job.parts)
            close(job);
        return k;
    }

    void close(Job& job)
    {
        job.next = job.parts;
        const auto found = std::find(offered.begin(), offered.end(), &job);
        if (found != offered.end())
            offered.erase(found);
    }

    // Runs part k with the lock released; a part that throws ends the job:
    // no other part of it starts.
    void runPart(Job& job, int k, std::unique_lock<std::mutex>& lock)
    {
        ++job.running;
        lock.unlock();
        std::exception_ptr thrown;
        try {
            job.run(k);
        } catch (...) {
            thrown = std::current_exception();
        }
        lock.lock();
        if (thrown) {
            if (!job.failure)
                job.failure = thrown;
            close(job);
        }
        if (--job.running == 0 && job.next >= job.parts)
            job.ended.notify_all();
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (!wake.wait_for(lock, IDLE, [this] { return stopping || (!offered.empty() && busy < limit); })) {
                // Idle: the thread ends, and its memory goes back to the
                // threads the program starts meanwhile; the next call that
                // wants it starts another.
                const std::thread::id self = std::this_thread::get_id();
                const auto found = std::find_if(threads.begin(), threads.end(),
                                                [self](const std::thread& t) { return t.get_id() == self; });
                if (found != threads.end()) {
                    ended.push_back(std::move(*found));
                    threads.erase(found);
                }
                return;
            }
            if (stopping)
                return;
            Job& job = *offered.front();
            const int k = take(job);
            ++busy;
            runPart(job, k, lock);
            --busy;
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job*> offered;   // jobs with parts not taken yet, oldest first
    std::vector<std::thread> threads;
    std::vector<std::thread> ended;   // idle threads that ended, to be joined
    int limit = 0;
    int busy = 0;
    bool stopping = false;
};

int helperLimit()
{
    return ThreadBudget::count() - 1;
}

} // namespace

int ThreadBudget::count()
{
    bool ok = false;
    const int forced = qEnvironmentVariableIntValue("LUMIVANE_THREADS", &ok);
    if (ok && forced > 0)
        return std::min(forced, MAX_THREADS);
    return std::max(1, std::min(QThread::idealThreadCount(), 8));
}

void ThreadBudget::runInParts(std::size_t size, int parts,
                              const std::function<void(int, std::size_t, std::size_t)>& part)
{
    parts = std::max(1, parts);
    const int limit = parts > 1 ? helperLimit() : 0;
    if (limit <= 0) {
        for (int k = 0; k < parts; ++k) {
            startPart();
            part(k, size * std::size_t(k) / std::size_t(parts), size * std::size_t(k + 1) / std::size_t(parts));
        }
        return;
    }
    Job job(size, parts, &part);
    Helpers& helpers = Helpers::instance();
    helpers.open(job, limit);
    if (std::exception_ptr failure = helpers.finish(job))
        std::rethrow_exception(failure);
}

void ThreadBudget::failPartAfter(int parts)
{
    partsBeforeFailure.store(parts < 0 ? -1 : parts, std::memory_order_relaxed);
}

ThreadBudget::Background::Background(std::size_t size, int parts,
                                     std::function<void(int, std::size_t, std::size_t)> part)
    : job(new Job(size, std::max(1, parts), nullptr))
{
    job->owned = std::move(part);
    job->part = &job->owned;
    const int limit = helperLimit();
    if (limit > 0) {
        try {
            Helpers::instance().open(*job, limit);
        } catch (...) {
            // Not offered to any helper.
            delete job;
            throw;
        }
    }
}

ThreadBudget::Background::~Background()
{
    if (!job->finished) {
        try {
            finish();
        } catch (...) {
            // Dropped: the caller left before it asked for the result.
        }
    }
    delete job;
}

void ThreadBudget::Background::finish()
{
    if (job->finished)
        return;
    std::exception_ptr failure;
    if (job->opened) {
        failure = Helpers::instance().finish(*job);
    } else {
        job->finished = true;
        for (int k = 0; k < job->parts; ++k)
            job->run(k);
    }
    if (failure)
        std::rethrow_exception(failure);
}

ThreadBudget::Slots::Slots(int wanted)
    : taken(wanted > 0 ? Helpers::instance().reserve(wanted, helperLimit()) : 0)
{
}

ThreadBudget::Slots::~Slots()
{
    Helpers::instance().giveBack(taken);
}

void ThreadBudget::Slots::giveBack(int count)
{
    count = std::max(0, std::min(count, taken));
    taken -= count;
    Helpers::instance().giveBack(count);
}
