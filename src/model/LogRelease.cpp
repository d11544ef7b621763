#include "model/LogRelease.h"

#include "core/Packet.h"
#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QSet>
#include <QSharedPointer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// The bulk of a replaced log once its contexts have let go of it: events,
// histograms, traces, value filters and the text pool. Plain data that any
// thread may free: events and texts count their references atomically, so
// whatever the GUI still holds of them (a selection, a copied value) stays
// valid and goes with its last holder.
struct Remains
{
    // Deques: growing them never moves what they hold.
    std::deque<TList<QSharedPointer<Packet>>> eventLists;
    std::deque<TList<THash<TVariant, int>>> histograms;
    std::deque<THash<int, TList<QSharedPointer<Packet>>>> traces;
    std::deque<THash<int, QSet<TVariant>>> valueSets;
    THash<QString, TVariant> textPool;
};

// Moves the data of a context, its descendants and every snapshot into
// `remains`; the contexts keep their names and links, and nothing else.
void collect(Context* context, Remains& remains)
{
    remains.eventLists.push_back(std::move(context->packets));
    remains.eventLists.push_back(std::move(context->conversationPackets));
    remains.histograms.push_back(std::move(context->histograms));
    remains.histograms.push_back(std::move(context->conversationHistograms));
    remains.traces.push_back(std::move(context->conversations));
    remains.valueSets.push_back(std::move(context->valueSets));
    remains.valueSets.push_back(std::move(context->conversationValueSets));
    // A moved-from container is valid but unspecified: make it plainly empty.
    context->packets = TList<QSharedPointer<Packet>>();
    context->conversationPackets = TList<QSharedPointer<Packet>>();
    context->histograms = TList<THash<TVariant, int>>();
    context->conversationHistograms = TList<THash<TVariant, int>>();
    context->conversations = THash<int, TList<QSharedPointer<Packet>>>(true);
    context->valueSets = THash<int, QSet<TVariant>>(true);
    context->conversationValueSets = THash<int, QSet<TVariant>>(true);
    for (Context* child : context->children.items)
        collect(child, remains);
    for (Context* snapshot : context->history.items)
        collect(snapshot, remains);
}

// One background thread that frees what it is handed, in order. It starts
// with the first release and is joined at the end of the program, after it
// has freed everything still queued.
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

    void post(std::unique_ptr<Remains> remains)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(std::move(remains));
            if (!m_thread.joinable())
                m_thread = std::thread([this] { run(); });
        }
        m_wake.notify_all();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
    }

private:
    Releaser() = default;

    // The allocator keeps what a log freed for the next allocations: its
    // small blocks lie between those of the log that replaced it, and the
    // resident size would stay that of the largest log ever loaded. Free
    // whole pages go back to the system, in every arena (the loader's
    // threads allocated from their own). Only after the last queued log:
    // it walks every arena's free lists.
    static void giveBack()
    {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;   // stopping, and nothing left
            std::unique_ptr<Remains> next = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            const bool last = m_queue.empty();
            lock.unlock();
            next.reset();
            if (last)
                giveBack();
            lock.lock();
            m_busy = false;
            if (m_queue.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::unique_ptr<Remains>> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace

namespace logrelease {

void releaseStore(GlyphStore* store)
{
    if (!store)
        return;
    auto remains = std::make_unique<Remains>();
    if (store->rootContext)
        collect(store->rootContext, *remains);
    remains->textPool = std::move(store->textPool);
    store->textPool = THash<QString, TVariant>();
    // The store and its contexts (Qt objects of the GUI thread) go here;
    // they hold nothing large any more.
    delete store;
    Releaser::instance().post(std::move(remains));
}

void waitForReleases()
{
    Releaser::instance().wait();
}

} // namespace logrelease
