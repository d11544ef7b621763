#pragma once

#include "core/BitMix.h"
#include "core/DeferredRelease.h"
#include "core/ThreadBudget.h"

#include <QSharedPointer>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class Packet;

// How a FlatSet identifies its elements: by address. Two shared pointers to
// the same object are the same element, as they are for QSet.
inline quintptr flatSetKey(const void* p)
{
    return reinterpret_cast<quintptr>(p);
}
template <typename T>
quintptr flatSetKey(const QSharedPointer<T>& p)
{
    return reinterpret_cast<quintptr>(p.data());
}

// A hashed set of pointers (raw or shared) for sets that reach hundreds of
// thousands of elements, such as a selection of events. The elements lie in
// one array, in insertion order until a removal moves the last element into
// the gap; an open-addressing index of (hash, position) words finds them.
// Filling it costs no allocation per element and walking it is a walk over
// an array, where a node-based set allocates, and later frees, one node per
// element and walks a chain of scattered nodes.
//
// Copies share the array until one of them changes (the reference count is
// atomic, so copies may live on other threads; a single set is not to be
// changed and read on two threads at once). Iteration yields the elements
// as const references. The last holder of a large set frees it on the
// background thread of deferredrelease: dropping the references of a
// selection of 800000 events costs a good part of a second's tenth.
template <typename T>
class FlatSet
{
public:
    using value_type = T;
    using const_iterator = typename std::vector<T>::const_iterator;
    using iterator = const_iterator;

    FlatSet() = default;
    FlatSet(const FlatSet& other) : d(other.d)
    {
        if (d)
            d->ref.fetch_add(1, std::memory_order_relaxed);
    }
    FlatSet(FlatSet&& other) noexcept : d(other.d) { other.d = nullptr; }
    FlatSet& operator=(const FlatSet& other)
    {
        FlatSet copy(other);
        swap(copy);
        return *this;
    }
    FlatSet& operator=(FlatSet&& other) noexcept
    {
        FlatSet moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~FlatSet() { release(); }

    FlatSet(std::initializer_list<T> values)
    {
        reserve(int(values.size()));
        for (const T& v : values)
            insert(v);
    }
    template <typename List>
    static FlatSet fromList(const List& list)
    {
        FlatSet set;
        set.reserve(int(list.size()));
        for (const T& v : list)
            set.insert(v);
        return set;
    }

    void swap(FlatSet& other) noexcept { std::swap(d, other.d); }

    int size() const { return d ? int(d->entries.size()) : 0; }
    int count() const { return size(); }
    bool isEmpty() const { return size() == 0; }
    bool empty() const { return isEmpty(); }

    const_iterator begin() const { return d ? d->entries.cbegin() : none().cbegin(); }
    const_iterator end() const { return d ? d->entries.cend() : none().cend(); }
    const_iterator constBegin() const { return begin(); }
    const_iterator constEnd() const { return end(); }
    // The elements in the set's order, as they are stored.
    const std::vector<T>& values() const { return d ? d->entries : none(); }

    bool contains(const T& value) const { return d && find(flatSetKey(value)) >= 0; }

    // True when the value was not in the set yet.
    bool insert(const T& value)
    {
        const quintptr key = flatSetKey(value);
        detach();
        if (!d)
            d = new Data;
        if (d->entries.size() + 1 > d->capacity() / 2)
            rehash(std::max<std::size_t>(16, d->capacity() * 2));
        const quint64 h = mixBits(quint64(key));
        const std::size_t i = slotOf(key, h);
        if (d->table[i] != 0)
            return false;
        d->table[i] = (quint64(quint32(h)) << 32) | quint64(d->entries.size() + 1);
        d->entries.push_back(value);
        return true;
    }

    // Moves the values that are not in the set yet into it, in their order;
    // the others stay behind in `values`. The way to fill a set from
    // values copied elsewhere (on other threads, say).
    void adopt(std::vector<T>& values)
    {
        if (values.empty())
            return;
        reserve(size() + int(values.size()));
        for (T& value : values) {
            const quintptr key = flatSetKey(value);
            const quint64 h = mixBits(quint64(key));
            const std::size_t i = slotOf(key, h);
            if (d->table[i] != 0)
                continue;
            d->table[i] = (quint64(quint32(h)) << 32) | quint64(d->entries.size() + 1);
            d->entries.push_back(std::move(value));
        }
    }

    // adopt() for several lists at once. With `threads` above 1 and many
    // values, that many threads (this one among them) index them: the
    // lists' values are moved in first, then each thread enters a part of
    // them with compare-and-swap on the free slots, and a value whose key
    // some slot already holds leaves the set again afterwards.
    void adoptAll(std::vector<std::vector<T>>& parts, int threads)
    {
        std::size_t total = 0;
        for (const std::vector<T>& part : parts)
            total += part.size();
        if (threads <= 1 || total < PARALLEL_ADOPT) {
            for (std::vector<T>& part : parts)
                adopt(part);
            return;
        }
        reserve(size() + int(total));
        const std::size_t first = d->entries.size();
        for (std::vector<T>& part : parts) {
            for (T& value : part)
                d->entries.push_back(std::move(value));
            part.clear();
        }
        std::vector<std::vector<std::size_t>> repeated(static_cast<std::size_t>(threads));
        auto index = [this, first, &repeated](int k, std::size_t from, std::size_t to) {
            quint64* table = d->table.data();
            const std::size_t mask = d->mask();
            for (std::size_t pos = first + from; pos < first + to; ++pos) {
                const quintptr key = flatSetKey(d->entries[pos]);
                const quint64 h = mixBits(quint64(key));
                const quint64 wanted = (quint64(quint32(h)) << 32) | quint64(pos + 1);
                for (std::size_t i = std::size_t(h) & mask;; i = (i + 1) & mask) {
                    quint64 slot = __atomic_load_n(&table[i], __ATOMIC_ACQUIRE);
                    if (slot == 0
                        && __atomic_compare_exchange_n(&table[i], &slot, wanted, false, __ATOMIC_ACQ_REL,
                                                       __ATOMIC_ACQUIRE))
                        break;
                    if (quint32(slot >> 32) == quint32(h) && flatSetKey(d->entries[position(slot)]) == key) {
                        repeated[std::size_t(k)].push_back(pos);
                        break;
                    }
                }
            }
        };
        ThreadBudget::runInParts(d->entries.size() - first, threads, index);
        // The repeated values leave, from the back: the last value moves
        // into each gap, and its slot follows it.
        std::vector<std::size_t> gaps;
        for (const std::vector<std::size_t>& part : repeated)
            gaps.insert(gaps.end(), part.begin(), part.end());
        std::sort(gaps.begin(), gaps.end(), std::greater<std::size_t>());
        for (std::size_t gap : gaps)
            fillFromBack(gap);
    }

    // True when the value was in the set.
    bool remove(const T& value)
    {
        if (!d)
            return false;
        const quintptr key = flatSetKey(value);
        if (find(key) < 0)
            return false;
        detach();
        const std::ptrdiff_t slot = find(key);
        fillFromBack(position(d->table[std::size_t(slot)]));
        erase(std::size_t(slot));
        return true;
    }

    void clear()
    {
        release();
        d = nullptr;
    }

    void reserve(int n)
    {
        if (n <= 0)
            return;
        detach();
        if (!d)
            d = new Data;
        d->entries.reserve(std::size_t(n));
        std::size_t capacity = 16;
        while (capacity / 2 < std::size_t(n))
            capacity *= 2;
        if (capacity > d->capacity())
            rehash(capacity);
    }

    bool operator==(const FlatSet& other) const
    {
        if (d == other.d)
            return true;
        if (size() != other.size())
            return false;
        for (const T& v : *this)
            if (!other.contains(v))
                return false;
        return true;
    }
    bool operator!=(const FlatSet& other) const { return !(*this == other); }
    // Whether both are copies of one unchanged set (a change of either
    // separates them), or both empty.
    bool isSharedWith(const FlatSet& other) const { return d == other.d; }

private:
    struct Data
    {
        Data() = default;
        Data(const Data& other) : entries(other.entries), table(other.table) {}
        std::atomic<int> ref{1};
        std::vector<T> entries;
        // 0: free; otherwise the hash's low 32 bits over position + 1.
        std::vector<quint64> table;
        std::size_t capacity() const { return table.size(); }
        std::size_t mask() const { return table.size() - 1; }
    };

    static const std::vector<T>& none()
    {
        static const std::vector<T> empty;
        return empty;
    }
    static std::size_t position(quint64 slot) { return std::size_t(slot & 0xffffffffu) - 1; }

    void release()
    {
        if (!d || d->ref.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return;
        if (d->entries.size() < BACKGROUND_RELEASE) {
            delete d;
            return;
        }
        Data* last = d;
        // Destructors come here: what cannot be handed over goes at once.
        try {
            deferredrelease::post([last]() { delete last; });
        } catch (...) {
            delete last;
        }
    }

    static constexpr std::size_t BACKGROUND_RELEASE = 1 << 15;
    static constexpr std::size_t PARALLEL_ADOPT = 1 << 15;

    void detach()
    {
        if (d && d->ref.load(std::memory_order_acquire) != 1) {
            Data* copy = new Data(*d);
            release();
            d = copy;
        }
    }

    // The slot that holds the key, or the free slot where it would go.
    std::size_t slotOf(quintptr key, quint64 h) const
    {
        for (std::size_t i = std::size_t(h) & d->mask();; i = (i + 1) & d->mask()) {
            const quint64 slot = d->table[i];
            if (slot == 0
                || (quint32(slot >> 32) == quint32(h) && flatSetKey(d->entries[position(slot)]) == key))
                return i;
        }
    }

    std::ptrdiff_t find(quintptr key) const
    {
        if (d->table.empty())
            return -1;
        const std::size_t i = slotOf(key, mixBits(quint64(key)));
        return d->table[i] != 0 ? std::ptrdiff_t(i) : -1;
    }

    void rehash(std::size_t capacity)
    {
        d->table.assign(capacity, 0);
        const std::size_t mask = capacity - 1;
        for (std::size_t pos = 0; pos < d->entries.size(); ++pos) {
            const quint64 h = mixBits(quint64(flatSetKey(d->entries[pos])));
            std::size_t i = std::size_t(h) & mask;
            while (d->table[i] != 0)
                i = (i + 1) & mask;
            d->table[i] = (quint64(quint32(h)) << 32) | quint64(pos + 1);
        }
    }

    // Moves the last element into position `gap`, whose element goes, and
    // points its slot there.
    void fillFromBack(std::size_t gap)
    {
        const std::size_t last = d->entries.size() - 1;
        if (gap != last) {
            const quintptr key = flatSetKey(d->entries[last]);
            const std::size_t moved = slotOf(key, mixBits(quint64(key)));
            d->table[moved] = (d->table[moved] & ~quint64(0xffffffffu)) | quint64(gap + 1);
            d->entries[gap] = std::move(d->entries[last]);
        }
        d->entries.pop_back();
    }

    // Frees a slot of the index; the table after it that would no longer
    // be found move back (deletion without tombstones).
    void erase(std::size_t hole)
    {
        const std::size_t mask = d->mask();
        d->table[hole] = 0;
        for (std::size_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
            const quint64 slot = d->table[j];
            if (slot == 0)
                return;
            const std::size_t home = std::size_t(quint32(slot >> 32)) & mask;
            // The slot stays when its home lies cyclically in (hole, j].
            if (((j - home) & mask) < ((j - hole) & mask))
                continue;
            d->table[hole] = slot;
            d->table[j] = 0;
            hole = j;
        }
    }

    Data* d = nullptr;
};

// A set of events.
using PacketSet = FlatSet<QSharedPointer<Packet>>;
