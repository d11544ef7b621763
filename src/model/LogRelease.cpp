#include "model/LogRelease.h"

#include "core/DeferredRelease.h"
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

#include <deque>
#include <memory>
#include <new>
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

// The allocator keeps what a log freed for the next allocations: its small
// blocks lie between those of the log that replaced it, and the resident
// size would stay that of the largest log ever loaded. Free whole pages go
// back to the system, in every arena (the loader's threads allocated from
// their own).
void giveBack()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace

namespace logrelease {

void releaseStore(GlyphStore* store)
{
    if (!store)
        return;
    Remains* bulk = nullptr;
    try {
        auto remains = std::make_unique<Remains>();
        if (store->rootContext)
            collect(store->rootContext, *remains);
        remains->textPool = std::move(store->textPool);
        store->textPool = THash<QString, TVariant>();
        bulk = remains.release();
    } catch (const std::bad_alloc&) {
        // No room to set the data aside: what was moved went with
        // `remains`, the rest goes with the store, here.
    }
    // The store and its contexts (Qt objects of the GUI thread) go here;
    // they hold nothing large any more.
    delete store;
    if (!bulk)
        return;
    // Freed in order with the other large structures the GUI lets go of.
    deferredrelease::post([bulk]() {
        delete bulk;
        giveBack();
    });
}

void waitForReleases()
{
    deferredrelease::waitForAll();
}

} // namespace logrelease
