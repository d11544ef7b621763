#include "model/Context.h"
#include "core/BitMix.h"
#include "core/Saturate.h"

#include "core/Constants.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/PresenceBits.h"
#include "core/ValueInterner.h"
#include "core/ValueTable.h"
#include "core/DerivedTime.h"
#include "core/ThreadBudget.h"
#include "core/ThreadStarter.h"

#include <QDebug>
#include <QVarLengthArray>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace {

using PacketList = TList<QSharedPointer<Packet>>;


int saturatedInt32(qint64 v)
{
    if (v > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(v);
}

// last - first in 64 bits without overflow, then brought into the int
// range; a trace lasts at least 1.
int traceDuration(qint64 first, qint64 last)
{
    qint64 d;
    if (__builtin_sub_overflow(last, first, &d))
        d = last > first ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    const int duration = saturatedInt32(d);
    return duration < 1 ? 1 : duration;
}

// Counts of one histogram column while the rows are read. Identical values
// (same tag, same number bits, same text buffer: pooled texts share one)
// share a slot, found through a flat open-addressing table without hashing
// the text or touching the histogram. Slots keep the order in which their
// values first appeared, and folding applies one `hist[key] += count` per
// slot in that order. That is exactly the sequence of insertions counting
// each value straight into the histogram makes, so the result (the key kept
// among equivalent ones, the entry order of a hashed map) is the same.
class ValueCounter
{
public:
    // The table is made when the values stop rising (a log of many
    // columns and few rows needs none).
    ValueCounter() = default;

    // The table position of a value.
    static quint64 hashOf(const TVariant& v)
    {
        quint64 bits = 0;
        std::memcpy(&bits, &v.value, sizeof bits);
        return hashOf(bits, valueIdentity(v));
    }

    static quint64 hashOf(quint64 bits, quint64 key)
    {
        return mixBits(bits ^ (key * 0x9E3779B97F4A7C15ull));
    }

    // A hint for a value about to be added: large columns (time stamps)
    // miss the cache on nearly every lookup otherwise.
    void prefetch(quint64 h) const
    {
        if (!ascending)
            __builtin_prefetch(&cells[std::size_t(h) & (cells.size() - 1)]);
    }

    void add(const TVariant& v) { add(v, hashOf(v)); }

    // `h` is hashOf(v). The count lives in the table cell, so that a value
    // seen before costs one (prefetched) cell and nothing else.
    void add(const TVariant& v, quint64 h)
    {
        if (ascending) {
            // Time stamps rise along the log: while every number is above
            // the one before (or the very same value again), equal values
            // are neighbours and need no table at all.
            quint64 bits = 0;
            std::memcpy(&bits, &v.value, sizeof bits);
            const quint64 key = valueIdentity(v);
            if (!keys.empty() && bits == lastBits && key == lastKey) {
                ++runCounts.back();
                return;
            }
            if ((v.type == TVariant::Int || v.type == TVariant::Double) && !std::isnan(v.value)
                && (keys.empty() || v.value > keys.back().value)) {
                keys.push_back(v);
                runCounts.push_back(1);
                lastBits = bits;
                lastKey = key;
                return;
            }
            leaveAscending();
        }
        // A NaN never finds an earlier NaN in a hashed map: each one is
        // its own insertion there (and still one key in an ordered map).
        if (std::isnan(v.value)) {
            keys.push_back(v);
            nanEntries.push_back(quint32(keys.size() - 1));
            return;
        }
        quint64 bits = 0;
        std::memcpy(&bits, &v.value, sizeof bits);
        const quint64 key = valueIdentity(v);
        const std::size_t mask = cells.size() - 1;
        std::size_t pos = std::size_t(h) & mask;
        while (cells[pos].entry) {
            Cell& cell = cells[pos];
            if (cell.bits == bits && cell.key == key) {
                ++cell.count;
                return;
            }
            pos = (pos + 1) & mask;
        }
        keys.push_back(v);
        cells[pos] = {bits, key, 1, quint32(keys.size())};
        if ((keys.size() - nanEntries.size()) * 2 > cells.size())
            grow();
    }

    void foldInto(THash<TVariant, int>& hist)
    {
        if (ascending) {
            for (std::size_t i = 0; i < keys.size(); ++i)
                hist.valueAscending(keys[i]) += runCounts[i];
            keys.clear();
            runCounts.clear();
            return;
        }
        std::vector<int> counts(keys.size(), 1);
        for (const Cell& cell : cells) {
            if (cell.entry)
                counts[cell.entry - 1] = cell.count;
        }
        for (std::size_t i = 0; i < keys.size(); ++i)
            hist[keys[i]] += counts[i];
        keys.clear();
        nanEntries.clear();
        std::vector<Cell>().swap(cells);
        ascending = true;
    }

private:
    struct Cell
    {
        quint64 bits = 0;
        quint64 key = 0;
        int count = 0;
        quint32 entry = 0;   // number of the value in `keys` + 1; 0 = free
    };

    void grow()
    {
        std::vector<Cell> old(cells.size() * 2);
        old.swap(cells);
        const std::size_t mask = cells.size() - 1;
        for (const Cell& cell : old) {
            if (!cell.entry)
                continue;
            std::size_t pos = std::size_t(hashOf(cell.bits, cell.key)) & mask;
            while (cells[pos].entry)
                pos = (pos + 1) & mask;
            cells[pos] = cell;
        }
    }

    // Moves the runs (all distinct values, none NaN) into the table.
    void leaveAscending()
    {
        ascending = false;
        std::size_t size = 64;
        while (keys.size() * 2 > size)
            size *= 2;
        cells.assign(size, Cell());
        const std::size_t mask = size - 1;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            quint64 bits = 0;
            std::memcpy(&bits, &keys[i].value, sizeof bits);
            const quint64 key = valueIdentity(keys[i]);
            std::size_t pos = std::size_t(hashOf(bits, key)) & mask;
            while (cells[pos].entry)
                pos = (pos + 1) & mask;
            cells[pos] = {bits, key, runCounts[i], quint32(i + 1)};
        }
        std::vector<int>().swap(runCounts);
    }

    bool ascending = true;
    std::vector<int> runCounts;        // while ascending: count per entry of `keys`
    quint64 lastBits = 0;
    quint64 lastKey = 0;
    std::vector<TVariant> keys;        // first occurrences, in order
    std::vector<quint32> nanEntries;   // positions in `keys` of NaNs (no cell)
    std::vector<Cell> cells;
};

// Counts of one histogram column over events whose values are positions in
// one value table. Counting goes by position, without reading the values;
// equal values at different positions meet when the counts are folded into
// the histogram. Keys are folded in the order they first appeared, as with
// ValueCounter, so the histogram comes out the same.
class PositionCounter
{
public:
    // Positions below `reach` (at most kDense) are counted in a table by
    // position. Each column has a table of its own: a log of few rows
    // cannot fill one, so the caller sizes the reach by the rows.
    explicit PositionCounter(std::size_t limit = kDense)
        : reach(quint32(std::min<std::size_t>(limit, kDense)))
    {
    }

    void add(quint32 position, const ValueTable& table)
    {
        if (position == last) {
            ++*lastCount;
            return;
        }
        // The values met first in a log have the lowest positions: their
        // keys are found straight by position.
        if (position < reach) {
            if (dense.empty())
                dense.assign(std::min<std::size_t>(reach, table.size()), 0);
            int& count = dense[position];
            if (count == kNanCount || (count == 0 && std::isnan(table.at(position).value))) {
                count = kNanCount;
                keys.push_back(position);
                counts.push_back(1);
                last = kNone;
                return;
            }
            if (count == 0) {
                keys.push_back(position);
                counts.push_back(0);   // the count stays in `dense`
            }
            ++count;
            last = position;
            lastCount = &count;
            return;
        }
        if (ascending) {
            // Positions grow as a log is read: a position above every one
            // seen is a new key, and no table is needed while that holds.
            if (keys.empty() || position > highest) {
                newKey(position, table);
                return;
            }
            leaveAscending(table);
        }
        const std::size_t mask = cells.size() - 1;
        std::size_t pos = slotOf(position) & mask;
        for (; cells[pos].key; pos = (pos + 1) & mask) {
            if (cells[pos].key == position + 1) {
                ++cells[pos].count;
                last = position;
                lastCount = &cells[pos].count;
                return;
            }
        }
        newKey(position, table);
    }

    void foldInto(THash<TVariant, int>& hist, const ValueTable& table)
    {
        if (!ascending) {
            for (const Cell& cell : cells) {
                if (cell.key)
                    counts[cell.entry] = cell.count;
            }
        }
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const quint32 k = keys[i];
            const bool direct = k < reach && dense[k] != kNanCount;
            hist.valueAscending(table.at(k)) += direct ? dense[k] : counts[i];
        }
        *this = PositionCounter(reach);
    }

private:
    struct Cell
    {
        quint32 key = 0;     // position + 1; 0 = free
        quint32 entry = 0;   // index in `keys`
        int count = 0;
    };

    static std::size_t slotOf(quint32 position)
    {
        return std::size_t((quint64(position) * 0x9E3779B97F4A7C15ull) >> 20);
    }

    void newKey(quint32 position, const ValueTable& table)
    {
        // A NaN is never found again: each one is its own key, as in a
        // hashed map.
        const bool nan = std::isnan(table.at(position).value);
        if (!ascending && !nan && (keys.size() + 1) * 2 > cells.size())
            rebuild(table, cells.size() * 2);
        keys.push_back(position);
        counts.push_back(1);
        highest = std::max(highest, position);
        if (nan) {
            last = kNone;
            return;
        }
        last = position;
        if (ascending)
            lastCount = &counts.back();
        else
            lastCount = &place(position, quint32(keys.size() - 1), 1).count;
    }

    Cell& place(quint32 position, quint32 entry, int count)
    {
        const std::size_t mask = cells.size() - 1;
        std::size_t pos = slotOf(position) & mask;
        while (cells[pos].key)
            pos = (pos + 1) & mask;
        cells[pos] = {position + 1, entry, count};
        return cells[pos];
    }

    void rebuild(const ValueTable& table, std::size_t size)
    {
        if (!ascending) {
            for (const Cell& cell : cells) {
                if (cell.key)
                    counts[cell.entry] = cell.count;
            }
        }
        cells.assign(size, Cell());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] >= reach && !std::isnan(table.at(keys[i]).value))
                place(keys[i], quint32(i), counts[i]);
        }
    }

    void leaveAscending(const ValueTable& table)
    {
        std::size_t size = 64;
        while ((keys.size() + 1) * 2 > size)
            size *= 2;
        rebuild(table, size);
        ascending = false;
        last = kNone;
    }

    static constexpr quint32 kNone = 0xFFFFFFFFu;
    static constexpr quint32 kDense = 1u << 16;
    static constexpr int kNanCount = -1;   // in `dense`: a NaN, its own key each time
    quint32 reach = kDense;
    bool ascending = true;
    quint32 last = kNone;
    int* lastCount = nullptr;
    quint32 highest = 0;
    std::vector<quint32> keys;   // first occurrences, in order
    std::vector<int> counts;     // per key; in the cells once not ascending
    std::vector<Cell> cells;
    std::vector<int> dense;   // count by position, below `reach`
};

// Helper threads that run one job at a time together with the calling
// thread: run() hands the job to every helper, does its own share as number
// 0 and returns once each helper has finished its share. The helpers are
// slots of the thread budget; a helper the system refuses to start leaves
// the crew smaller. The first exception of a share is thrown on from run()
// once every share has ended.
class Crew
{
public:
    explicit Crew(int size)
        : budget(size - 1)
    {
        helpers.reserve(std::size_t(budget.count()));
        for (int t = 1; t <= budget.count(); ++t) {
            try {
                helpers.push_back(ThreadStarter::start([this, t] { serve(t); }));
            } catch (const std::system_error&) {
                break;
            } catch (const std::bad_alloc&) {
                break;
            }
        }
        budget.giveBack(budget.count() - int(helpers.size()));
    }

    ~Crew()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
            ++generation;
        }
        wake.notify_all();
        for (std::thread& t : helpers)
            t.join();
    }

    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    int size() const { return int(helpers.size()) + 1; }

    template <typename Job>
    void run(const Job& job)
    {
        const std::function<void(int)> share = job;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = &share;
            busy = int(helpers.size());
            failure = nullptr;
            ++generation;
        }
        wake.notify_all();
        std::exception_ptr own;
        try {
            job(0);
        } catch (...) {
            own = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [this] { return busy == 0; });
        current = nullptr;
        std::exception_ptr thrown = own ? own : failure;
        failure = nullptr;
        lock.unlock();
        if (thrown)
            std::rethrow_exception(thrown);
    }

private:
    void serve(int number)
    {
        quint64 seen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return generation != seen; });
            seen = generation;
            if (quit)
                return;
            const std::function<void(int)>* job = current;
            lock.unlock();
            std::exception_ptr thrown;
            try {
                (*job)(number);
            } catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            if (thrown && !failure)
                failure = thrown;
            if (--busy == 0)
                finished.notify_one();
        }
    }

    ThreadBudget::Slots budget;
    std::vector<std::thread> helpers;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    const std::function<void(int)>* current = nullptr;
    std::exception_ptr failure;
    quint64 generation = 0;
    int busy = 0;
    bool quit = false;
};

// A set of events by identity: one flat table probed in place, since every
// event of a context is looked up in it.
class PacketSet
{
public:
    explicit PacketSet(const TList<QSharedPointer<Packet>>& events)
    {
        std::size_t size = 16;
        while (size < std::size_t(events.size()) * 2)
            size *= 2;
        table.assign(size, nullptr);
        for (const QSharedPointer<Packet>& p : events.items) {
            if (!p)
                continue;
            std::size_t pos = slotOf(p.data());
            while (table[pos] && table[pos] != p.data())
                pos = (pos + 1) & (table.size() - 1);
            table[pos] = p.data();
        }
    }

    bool contains(const Packet* p) const
    {
        if (!p)
            return false;
        for (std::size_t pos = slotOf(p); table[pos]; pos = (pos + 1) & (table.size() - 1)) {
            if (table[pos] == p)
                return true;
        }
        return false;
    }

private:
    std::size_t slotOf(const Packet* p) const
    {
        quint64 h = quint64(quintptr(p)) * 0x9E3779B97F4A7C15ull;
        return std::size_t(h ^ (h >> 29)) & (table.size() - 1);
    }

    std::vector<const Packet*> table;
};

// The values of an event's columns in column order: straight from its list
// of present values when every base column is present (the usual case),
// else through the presence lookup.
inline const TVariant& columnValue(const Packet& p, const quint32* dense, int c)
{
    return dense && c < p.baseCount ? p.valueTable()->at(dense[c]) : p.get(c);
}

// Ints of the trace records, as TVariant(int, pool) makes them: the pool
// lookup formats the number, so each distinct number is made once per run.
// The pool does not change while the records are built.
class IntValues
{
public:
    explicit IntValues(THash<QString, TVariant>* pool) : pool(pool) {}

    const TVariant& get(int i)
    {
        if (i >= 0 && i < kSmall) {
            if (small.empty())
                small.resize(kSmall);
            std::pair<bool, TVariant>& e = small[std::size_t(i)];
            if (!e.first)
                e = {true, TVariant(i, pool)};
            return e.second;
        }
        auto it = large.find(i);
        if (it == large.end())
            it = large.emplace(i, TVariant(i, pool)).first;
        return it->second;
    }

private:
    static const int kSmall = 4096;
    THash<QString, TVariant>* pool;
    std::vector<std::pair<bool, TVariant>> small;
    std::unordered_map<int, TVariant> large;
};

// Day and month names of the trace records, formatted once per name.
// Appends the nine date parts (second .. year, day name, month name) of a
// time value: local time of its seconds as an unsigned 32-bit count after
// the epoch. Names come from the C locale so that a record reads the same
// everywhere. The derived-time cache keeps the local offset of the hour and
// the values of the day: converting every trace's times to local time
// anew reads the zone file each time when TZ is not set.
void appendDateParts(TList<TVariant>& row, const TVariant& time, DerivedTime& derived)
{
    const quint32 secs = quint32(saturatedInt32(saturatedInt64(time.toDouble())));
    TVariant parts[DerivedTime::Count];
    derived.fromEpoch(secs, nullptr, parts);
    // second, minute, hour, day, (date text), week, month, year, day name, month name
    for (int i : {0, 1, 2, 3, 5, 6, 7, 8, 9})
        row.append(parts[i]);
}

} // namespace

Context::Context(Context* parent, const QString& name, const PacketList& packets,
                 GlyphStore* store, bool makeConversations)
    : QObject(nullptr),
      parent(parent),
      store(store),
      packets(packets),
      name(name),
      valueSets(true),
      conversations(true),
      conversationValueSets(true)
{
    valueSets.clear();
    conversationValueSets.clear();
    if (store) {
        for (int i = 0; i < store->packetAttributeNames.size(); ++i)
            appendHistogram();
    }
    qDebug() << "start Freq";
    if (makeConversations)
        createConversations();
    // The parent lists this context only once nothing more can fail: a
    // constructor that runs out of memory frees the context, and a parent
    // that listed it would keep a freed child.
    if (parent)
        parent->children.append(this);
}

Context::Context(const Context& other)
    : QObject(nullptr),
      parent(other.parent),
      store(other.store),
      histograms(other.histograms),
      packets(other.packets),
      name(other.name),
      valueSets(other.valueSets),
      conversationPackets(other.conversationPackets),
      conversationHistograms(other.conversationHistograms),
      conversations(other.conversations),
      conversationValueSets(other.conversationValueSets),
      modified(other.modified),
      cancelled(other.cancelled.load())
{
    // Every context deletes its own snapshots, so a copy gets copies of them.
    for (const Context* snap : other.history.items)
        history.append(new Context(*snap));
}

Context::~Context()
{
    // Snapshots are never in the parent's children, so this only ever
    // removes a live context.
    if (parent)
        parent->children.removeOne(this);
    // Children outlive this context only when deleted separately; they must
    // not reach back into it.
    for (Context* child : children.items) {
        child->parent = nullptr;
        for (Context* snap : child->history.items)
            snap->parent = nullptr;
    }
    for (Context* snap : history.items)
        delete snap;
}

void Context::createConversations()
{
    initHistograms();
    qDebug() << "end Freq";
    qDebug() << "create conversations";
    qDebug() << "done";
}

void Context::initHistograms()
{
    histograms.clear();
    conversations = THash<int, PacketList>(true);

    emit setLabelText(QStringLiteral("Initializing histograms"));
    emit progress(0);
    if (cancelled)
        return;

    const TList<QString> names = store ? store->packetAttributeNames : TList<QString>();
    for (const QString& n : names.items)
        histograms.append(THash<TVariant, int>(store->isOrderedAttribute(n)));
    emit progress(1);
    if (cancelled)
        return;

    // Identifiers are nearly unique per event: counting them at load time
    // costs much and tells nothing.
    std::vector<int> counted;
    std::vector<std::unique_ptr<ValueCounter>> counters(std::size_t(names.size()));
    for (int c = 0; c < names.size(); ++c) {
        if (store->isKeyAttribute(names.at(c)))
            continue;
        counted.push_back(c);
        counters[std::size_t(c)].reset(new ValueCounter);
    }
    // The events of one log share a value table: they are counted by the
    // positions of their values when every counted column is a base column.
    const ValueTable* table = nullptr;
    int baseColumns = -1;
    for (const QSharedPointer<Packet>& p : packets.items) {
        const ValueTable* t = p ? p->valueTable() : nullptr;
        if (!t || (table && t != table) || (baseColumns >= 0 && p->baseCount != baseColumns)) {
            table = nullptr;
            break;
        }
        table = t;
        baseColumns = p->baseCount;
    }
    if (table && !counted.empty() && counted.back() >= baseColumns)
        table = nullptr;
    // A column's table by position reaches a few positions per event.
    std::vector<PositionCounter> byPosition(table ? std::size_t(names.size()) : 0,
                                            PositionCounter(std::size_t(packets.size()) * 4 + 1024));
    // With several threads the columns of the events are counted side by
    // side (see below).
    std::unique_ptr<Crew> crew;
    if (table && counted.size() > 1 && packets.size() > 1) {
        const int threads = std::min(ThreadBudget::count(), int(counted.size()));
        if (threads > 1)
            crew.reset(new Crew(threads));
    }
    // Each column is counted and folded by one thread throughout: the
    // memory its counter frees is then there for its histogram.
    auto ownerOf = [&](std::size_t k) { return int((k + 1) % std::size_t(crew->size())); };
    auto foldCounts = [&] {
        if (crew) {
            crew->run([&](int number) {
                for (std::size_t k = 0; k < counted.size(); ++k) {
                    if (ownerOf(k) == number)
                        byPosition[std::size_t(counted[k])].foldInto(histograms.items[std::size_t(counted[k])], *table);
                }
            });
            return;
        }
        for (int c : counted) {
            if (table)
                byPosition[std::size_t(c)].foldInto(histograms.items[std::size_t(c)], *table);
            else
                counters[std::size_t(c)]->foldInto(histograms.items[std::size_t(c)]);
        }
    };
    // The positions of the counted columns of one event, 0 where absent.
    // The position of column k goes to out[k * stride].
    auto expandPositions = [&](const Packet& p, quint32* out, std::size_t stride) {
        const quint32* positions = p.tablePositions();
        if (p.presentCount == p.baseCount) {
            for (std::size_t k = 0; k < counted.size(); ++k)
                out[k * stride] = positions[counted[k]];
            return;
        }
        // Walk the present columns, with the rank of each in `positions`.
        const PresenceBits& bits = *p.presence;
        int rank = 0;
        std::size_t k = 0;
        for (int c = 0; c < p.baseCount && k < counted.size(); ++c) {
            const bool present = (bits.words[c / 31] >> (c % 31)) & 1u;
            if (counted[k] == c)
                out[stride * k++] = present ? positions[rank] : 0u;
            rank += present ? 1 : 0;
        }
        for (; k < counted.size(); ++k)
            out[k * stride] = 0;
    };
    // Counts the events [first, end) column by column, so that one column's
    // counting table stays in the cache for the whole stretch.
    std::vector<quint32> block;
    auto countRange = [&](int first, int end) {
        const std::size_t width = counted.size();
        block.resize(std::size_t(end - first) * width);
        for (int j = first; j < end; ++j) {
            if (j + 8 < end)
                __builtin_prefetch(packets.items[std::size_t(j + 8)].data());
            if (j + 4 < end)
                __builtin_prefetch(packets.items[std::size_t(j + 4)]->tablePositions());
            expandPositions(*packets.items[std::size_t(j)], &block[std::size_t(j - first) * width], 1);
        }
        for (std::size_t k = 0; k < width; ++k) {
            PositionCounter& counter = byPosition[std::size_t(counted[k])];
            for (std::size_t r = k; r < block.size(); r += width) {
                if (block[r])
                    counter.add(block[r], *table);
            }
        }
    };

    // One pass counts the values and notes each event's trace (as a group
    // number in order of first appearance). The trace lists are filled
    // afterwards, each reserved once, for the events read so far.
    const int total = packets.size();
    const QString totalText = QString::number(total);
    std::vector<int> groupOf(static_cast<std::size_t>(total));
    std::vector<int> groups;                   // trace ids
    std::vector<int> denseGroup;               // id -> group + 1, for small ids
    std::unordered_map<int, int> sparseGroup;  // the other ids
    const std::size_t denseLimit = std::size_t(total) * 4 + 1024;
    auto groupEvents = [&](int count) {
        std::vector<PacketList*> lists(groups.size());
        std::vector<int> sizes(groups.size(), 0);
        for (int i = 0; i < count; ++i)
            ++sizes[std::size_t(groupOf[std::size_t(i)])];
        for (std::size_t g = 0; g < groups.size(); ++g) {
            lists[g] = &conversations[groups[g]];
            lists[g]->items.reserve(lists[g]->items.size() + std::size_t(sizes[g]));
        }
        // The events in trace order (each trace in event order), so that
        // each list is filled in one go. Each copy counts a reference with an
        // atomic add on the event's control block, which would wait for the
        // block to arrive: the blocks are asked for a stretch ahead.
        std::vector<int> start(groups.size() + 1, 0);
        for (std::size_t g = 0; g < groups.size(); ++g)
            start[g + 1] = start[g] + sizes[g];
        std::vector<int> order(static_cast<std::size_t>(count));
        {
            std::vector<int> at(start.begin(), start.end() - 1);
            for (int i = 0; i < count; ++i)
                order[std::size_t(at[std::size_t(groupOf[std::size_t(i)])]++)] = i;
        }
        // Traces [from, to) of the lists, whose events are order[start[from]..].
        auto fill = [&](std::size_t from, std::size_t to) {
            const std::size_t endAt = std::size_t(start[to]);
            std::size_t k = std::size_t(start[from]);
            for (std::size_t g = from; g < to; ++g) {
                std::vector<QSharedPointer<Packet>>& list = lists[g]->items;
                for (int n = 0; n < sizes[g]; ++n, ++k) {
                    // The list's slot of an event first, its block later.
                    if (k + 32 < endAt)
                        __builtin_prefetch(&packets.items[std::size_t(order[k + 32])]);
                    if (k + 16 < endAt)
                        __builtin_prefetch(packets.items[std::size_t(order[k + 16])].data(), 1);
                    list.push_back(packets.items[std::size_t(order[k])]);
                }
            }
        };
        if (!crew || groups.size() < 2) {
            fill(0, groups.size());
            return;
        }
        // Each thread takes the traces of about an equal share of the events.
        const int threads = crew->size();
        std::vector<std::size_t> bounds(std::size_t(threads) + 1, groups.size());
        bounds[0] = 0;
        std::size_t g = 0;
        for (int t = 1; t < threads; ++t) {
            const std::size_t want = std::size_t(count) * std::size_t(t) / std::size_t(threads);
            while (g < groups.size() && std::size_t(start[g]) < want)
                ++g;
            bounds[std::size_t(t)] = g;
        }
        crew->run([&](int number) {
            fill(bounds[std::size_t(number)], bounds[std::size_t(number) + 1]);
        });
    };
    // The events lie all over the heap and the large tables are visited at
    // random: each event's memory is prefetched a few events ahead, and the
    // table slots of its values (hashes kept in a ring) a few events after.
    const std::size_t columnCount = counted.size();
    const int ahead = 8;
    struct Ahead
    {
        const TVariant* value;
        quint64 hash;
    };
    std::vector<Ahead> ring(std::size_t(ahead) * std::max<std::size_t>(1, columnCount));
    auto denseValues = [](const Packet& p) -> const quint32* { return p.densePositions(); };
    auto hashAhead = [&](int j) {
        const Packet& q = *packets.items[std::size_t(j)];
        const quint32* dense = denseValues(q);
        Ahead* next = &ring[std::size_t(j % ahead) * columnCount];
        if (q.conversationId >= 0 && std::size_t(q.conversationId) < denseGroup.size())
            __builtin_prefetch(&denseGroup[std::size_t(q.conversationId)]);
        for (std::size_t k = 0; k < columnCount; ++k) {
            const int c = counted[k];
            const TVariant& v = columnValue(q, dense, c);
            next[k] = {&v, ValueCounter::hashOf(v)};
            if (v.isValid())
                counters[std::size_t(c)]->prefetch(next[k].hash);
        }
    };
    auto groupEvent = [&](int i) {
        const int id = packets.items[std::size_t(i)]->conversationId;
        int group;
        if (id >= 0 && std::size_t(id) < denseLimit) {
            if (denseGroup.size() <= std::size_t(id))
                denseGroup.resize(std::max(std::size_t(id) + 1, denseGroup.size() * 2), 0);
            int& g = denseGroup[std::size_t(id)];
            if (!g) {
                groups.push_back(id);
                g = int(groups.size());
            }
            group = g - 1;
        } else {
            auto inserted = sparseGroup.try_emplace(id, int(groups.size()));
            if (inserted.second)
                groups.push_back(id);
            group = inserted.first->second;
        }
        groupOf[std::size_t(i)] = group;
    };
    auto emitLabel = [&](int i) {
        emit setLabelText(QStringLiteral("Initializing histograms packets ") + QString::number(i)
                          + QLatin1Char('/') + totalText + QStringLiteral(" packets"));
    };

    if (crew) {
        // The stretches, labels and cancel checks of the loop below, taken
        // a batch of stretches at a time: the labels of a batch are shown
        // and the cancel flag looked at before its events are counted, so
        // a cancel stops the counting after the same events as there. The
        // threads then count the batch, taking the columns one by one; this
        // thread also notes each event's trace.
        const int batch = 8192;
        int i = 0;
        while (i < total) {
            const int first = i;
            bool stop = false;
            while (i < total && i - first < batch) {
                if (cancelled) {
                    ++i;
                    stop = true;
                    break;
                }
                const int end = std::min(total, ((i + 999) / 1000) * 1000 + 1);
                i = end;
                if (cancelled) {
                    stop = true;
                    break;
                }
                if ((end - 1) % 1000 == 0)
                    emitLabel(end - 1);
            }
            const int last = i;
            // The positions of the batch's events, column after column:
            // each thread reads a share of the events once.
            const std::size_t rows = std::size_t(last - first);
            const std::size_t width = counted.size();
            block.resize(rows * width);
            const int threads = crew->size();
            crew->run([&](int number) {
                const int from = first + int(rows * std::size_t(number) / std::size_t(threads));
                const int to = first + int(rows * std::size_t(number + 1) / std::size_t(threads));
                for (int j = from; j < to; ++j) {
                    if (j + 8 < to)
                        __builtin_prefetch(packets.items[std::size_t(j + 8)].data());
                    if (j + 4 < to)
                        __builtin_prefetch(packets.items[std::size_t(j + 4)]->tablePositions());
                    expandPositions(*packets.items[std::size_t(j)], &block[std::size_t(j - first)], rows);
                }
            });
            crew->run([&](int number) {
                if (number == 0) {
                    for (int j = first; j < last; ++j)
                        groupEvent(j);
                }
                for (std::size_t k = 0; k < width; ++k) {
                    if (ownerOf(k) != number)
                        continue;
                    // A copy of its own: the counters of neighbouring
                    // columns, counted on other threads, share cache lines.
                    PositionCounter counter = std::move(byPosition[std::size_t(counted[k])]);
                    const quint32* column = &block[k * rows];
                    for (std::size_t r = 0; r < rows; ++r) {
                        if (column[r])
                            counter.add(column[r], *table);
                    }
                    byPosition[std::size_t(counted[k])] = std::move(counter);
                }
            });
            if (stop) {
                foldCounts();
                groupEvents(last);
                return;
            }
        }
    } else if (table) {
        // Stretches of events end at each labelled event (every 1000th).
        // The cancel flag is looked at after each stretch and at the start
        // of the next: a cancel asked for while a label was shown stops
        // right after the event that follows it, as an event-by-event loop
        // would; one asked for from elsewhere stops at the stretch's end.
        int i = 0;
        while (i < total) {
            if (cancelled) {
                countRange(i, i + 1);
                groupEvent(i);
                foldCounts();
                groupEvents(i + 1);
                return;
            }
            const int end = std::min(total, ((i + 999) / 1000) * 1000 + 1);
            countRange(i, end);
            for (int j = i; j < end; ++j)
                groupEvent(j);
            i = end;
            if (cancelled) {
                foldCounts();
                groupEvents(end);
                return;
            }
            if ((end - 1) % 1000 == 0)
                emitLabel(end - 1);
        }
    } else {
        for (int j = 0; j < std::min(ahead, total); ++j)
            hashAhead(j);
        for (int i = 0; i < total; ++i) {
            if (i + 4 * ahead < total)
                __builtin_prefetch(packets.items[std::size_t(i + 4 * ahead)].data());
            if (i + 2 * ahead < total)
                __builtin_prefetch(packets.items[std::size_t(i + 2 * ahead)]->presence);
            const Ahead* current = &ring[std::size_t(i % ahead) * columnCount];
            for (std::size_t k = 0; k < columnCount; ++k) {
                const TVariant& v = *current[k].value;
                if (v.isValid())
                    counters[std::size_t(counted[k])]->add(v, current[k].hash);
            }
            if (i + ahead < total)
                hashAhead(i + ahead);
            groupEvent(i);
            if (cancelled) {
                foldCounts();
                groupEvents(i + 1);
                return;
            }
            if (i % 1000 == 0)
                emitLabel(i);
        }
    }
    groupEvents(total);
    std::vector<int>().swap(groupOf);

    // The trace records and their histograms.
    auto buildTraces = [&] {
        emit progress(2);
        qDebug() << "build conversation data";
        emit setLabelText(QStringLiteral("Building conversation data"));

        if (cancelled)
            return;
        conversationHistograms.clear();
        const TList<QString> convNames = store ? store->conversationAttributeNames : TList<QString>();
        for (const QString& n : convNames.items)
            conversationHistograms.append(THash<TVariant, int>(store->isOrderedAttribute(n)));
        emit progress(3);

        auto column = [this](const QString& n) {
            return store ? store->attributeColumns.value(n, -1) : -1;
        };
        const int timeCol = column(TIME_ATTRIBUTE);
        const int srcCountryCol = column(GEOIP_SRC_COUNTRY);
        const int dstCountryCol = column(GEOIP_DST_COUNTRY);
        const int srcCol = column(SRC_ATTRIBUTE);
        const int dstCol = column(DST_ATTRIBUTE);
        IntValues ints(store ? &store->textPool : nullptr);
        DerivedTime derivedTime;
        const TVariant none;
        const TVariant unknown(QStringLiteral("Unknown"), true, nullptr);

        const int convTotal = conversations.size();
        const QString convTotalText = QString::number(convTotal);
        const int traceColumns = std::min(27, conversationHistograms.size());
        std::vector<ValueCounter> traceCounters(static_cast<std::size_t>(traceColumns));
        auto foldTraceCounts = [&] {
            for (int c = 0; c < traceColumns; ++c)
                traceCounters[std::size_t(c)].foldInto(conversationHistograms.items[std::size_t(c)]);
        };
        conversationPackets.items.reserve(conversationPackets.items.size() + std::size_t(convTotal));
        // The trace's number and its first and last time are its own; its other
        // values mostly repeat from trace to trace and are stored once.
        ValueInterner traceValues;
        QVarLengthArray<quint32, 32> positions;
        auto trace = conversations.constBegin();
        for (int k = 0; k < convTotal; ++k, ++trace) {
            const int id = trace.key();
            const PacketList& events = trace.value();
            const Packet& first = *events.items.front();
            const Packet& last = *events.items.back();
            const TVariant& tFirst = timeCol >= 0 ? first.get(timeCol) : none;
            const TVariant& tLast = timeCol >= 0 ? last.get(timeCol) : none;

            TList<TVariant> row;
            row.items.reserve(27);
            row.append(ints.get(id));
            row.append(ints.get(events.size()));
            row.append(tFirst);
            row.append(tLast);
            row.append(ints.get(traceDuration(saturatedInt64(tFirst.toDouble()),
                                              saturatedInt64(tLast.toDouble()))));
            row.append(srcCountryCol >= 0 ? first.get(srcCountryCol) : unknown);
            row.append(dstCountryCol >= 0 ? first.get(dstCountryCol) : unknown);
            row.append(srcCol >= 0 ? first.get(srcCol) : none);
            row.append(dstCol >= 0 ? first.get(dstCol) : none);
            appendDateParts(row, tFirst, derivedTime);
            appendDateParts(row, tLast, derivedTime);

            for (int c = 0; c < traceColumns; ++c) {
                const TVariant& v = row.items[std::size_t(c)];
                if (v.isValid())
                    traceCounters[std::size_t(c)].add(v);
            }
            // The record keeps positions into the traces' value table: a log
            // of one event per trace has as many traces as events.
            positions.resize(row.size());
            for (int c = 0; c < row.size(); ++c) {
                const TVariant& v = row.items[std::size_t(c)];
                positions[c] = c == 0 || c == 2 || c == 3 ? traceValues.add(v) : traceValues.value(v);
            }
            conversationPackets.append(traceValues.packet(positions.constData(), positions.size()));
            if (k % 100 == 0)
                emit setLabelText(QStringLiteral("Initializing histograms conversations ")
                                  + QString::number(k) + QLatin1Char('/') + convTotalText
                                  + QStringLiteral(" conversations"));
            if (k != convTotal - 1 && cancelled) {
                foldTraceCounts();
                return;
            }
        }
        foldTraceCounts();

        emit progress(4);
        qDebug() << "done";
    };

    // With a crew, its other threads fold the counts into the histograms
    // while this one builds the trace records, which need none of them.
    if (crew && crew->size() > 1) {
        const std::size_t others = std::size_t(crew->size() - 1);
        crew->run([&](int number) {
            if (number == 0) {
                buildTraces();
                return;
            }
            for (std::size_t k = 0; k < counted.size(); ++k) {
                if (1 + k % others == std::size_t(number))
                    byPosition[std::size_t(counted[k])].foldInto(histograms.items[std::size_t(counted[k])], *table);
            }
        });
        crew.reset();
        return;
    }
    foldCounts();
    crew.reset();
    buildTraces();
}

void Context::appendHistogram()
{
    histograms.append(THash<TVariant, int>());
}

void Context::updateHistograms(const TList<int>& columns, bool conversationSide)
{
    TList<THash<TVariant, int>>& hists = conversationSide ? conversationHistograms : histograms;
    const PacketList& rows = conversationSide ? conversationPackets : packets;
    const TList<QString> names = store ? store->attributeNames(conversationSide) : TList<QString>();
    for (int c : columns.items) {
        if (c < 0 || c >= hists.size())
            continue;
        // A derived range attribute gets an ordered histogram like a loaded one.
        const bool ordered = c < names.size() && store->isOrderedAttribute(names.at(c));
        THash<TVariant, int> hist(ordered);
        for (const QSharedPointer<Packet>& p : rows.items) {
            const TVariant& v = p->get(c);
            if (v.isValid())
                ++hist[v];
        }
        hists.items[std::size_t(c)] = std::move(hist);
    }
}

int Context::conversationCount() const
{
    return conversationPackets.size();
}

THash<int, QSet<TVariant>> Context::attributeMap(bool conversationSide) const
{
    return conversationSide ? conversationValueSets : valueSets;
}

void Context::removePackets(const PacketList& removed)
{
    if (removed.isEmpty())
        return;
    if (!modified) {
        // The snapshot keeps no snapshots of its own.
        Context* snapshot = new Context(*this);
        for (Context* snap : snapshot->history.items)
            delete snap;
        snapshot->history.clear();
        history.append(snapshot);
        modified = true;
    }

    // Events are matched by identity, in whatever order they are listed.
    const PacketSet doomed(removed);

    // Which traces lose events; their lists are compacted once each below.
    std::unordered_set<int> touched;
    PacketList kept;
    kept.items.reserve(packets.items.size());
    for (const QSharedPointer<Packet>& p : packets.items) {
        if (doomed.contains(p.data()))
            touched.insert(p->conversationId);
        else
            kept.items.push_back(p);
    }
    if (kept.size() == packets.size())
        return;
    packets.items.swap(kept.items);

    const int c = store ? store->conversationAttributeColumns.value(CONV_LENGTH, -1) : -1;
    THash<TVariant, int>* lengths =
        c >= 0 && c < conversationHistograms.size() ? &conversationHistograms.items[std::size_t(c)] : nullptr;
    THash<QString, TVariant>* pool = store ? &store->textPool : nullptr;

    for (int id : touched) {
        auto it = conversations.find(id);
        if (it == conversations.end())
            continue;
        PacketList& events = it.value();
        const int before = events.size();
        events.items.erase(std::remove_if(events.items.begin(), events.items.end(),
                                          [&](const QSharedPointer<Packet>& p) {
                                              return doomed.contains(p.data());
                                          }),
                           events.items.end());
        const int after = events.size();
        if (lengths && after != before) {
            // The histogram counts traces per length: the trace moves from
            // its old length to its new one (or leaves when it is empty).
            const TVariant oldKey(before, pool);
            auto entry = lengths->find(oldKey);
            if (entry != lengths->end()) {
                if (--entry.value() <= 0)
                    lengths->erase(entry);
            }
            if (after > 0)
                ++(*lengths)[TVariant(after, pool)];
        }
        if (events.isEmpty())
            conversations.remove(id);
    }
}

void Context::restore(const Context& snapshot)
{
    parent = snapshot.parent;
    histograms = snapshot.histograms;
    packets = snapshot.packets;
    conversationHistograms = snapshot.conversationHistograms;
    conversationPackets = snapshot.conversationPackets;
    conversations = snapshot.conversations;
    modified = snapshot.modified;
}

void Context::revert()
{
    if (history.isEmpty()) {
        qDebug() << "cannot revert, there is no history";
        return;
    }
    std::unique_ptr<Context> snapshot(history.last());
    history.items.pop_back();
    // What restore() copies, taken over instead: the snapshot goes now, and
    // copying the tables of a large log costs as much as building them.
    parent = snapshot->parent;
    histograms.items.swap(snapshot->histograms.items);
    packets.items.swap(snapshot->packets.items);
    conversationHistograms.items.swap(snapshot->conversationHistograms.items);
    conversationPackets.items.swap(snapshot->conversationPackets.items);
    std::swap(conversations, snapshot->conversations);
    modified = snapshot->modified;
}

void Context::clearHistory()
{
    for (Context* snap : history.items)
        delete snap;
    history.clear();
    modified = false;
}
