#include "core/ValueInterner.h"

#include "core/BitMix.h"
#include "core/Packet.h"
#include "core/ValueTable.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// A column with this many distinct texts stops being cached when fewer than
// half of its texts were found again (numbers that are new on every row).
const std::size_t kCacheLimit = 1u << 16;

// A column's table of small numbers reaches this many numbers per record
// read (and kMinReach at first): a number past that, such as the same
// large number in every column of a wide log, is kept in a hashed table.
const std::size_t kReachPerRecord = 4;
const std::size_t kMinReach = 16;

// Units of a text kept in its cache slot.
const std::size_t kHeadUnits = 16;

// The first sixteen UTF-16 units of a text, zero-padded, and a hash of the
// whole text taken four units at a time.
inline quint64 unitsAt(const ushort* units, std::size_t from, std::size_t size)
{
    quint64 chunk = 0;
    if (from + 4 <= size) {
        std::memcpy(&chunk, units + from, 8);
    } else {
        for (std::size_t i = from; i < size; ++i)
            chunk |= quint64(units[i]) << (16 * (i - from));
    }
    return chunk;
}

// Whether the units of `text` past its first eight equal `stored`.
inline bool sameTail(const QChar* stored, QStringView text)
{
    const ushort* a = reinterpret_cast<const ushort*>(stored);
    const ushort* b = reinterpret_cast<const ushort*>(text.data()) + kHeadUnits;
    const std::size_t size = std::size_t(text.size()) - kHeadUnits;
    for (std::size_t i = 0; i < size; i += 4) {
        if (unitsAt(a, i, size) != unitsAt(b, i, size))
            return false;
    }
    return true;
}

inline quint32 headAndHash(QStringView text, quint64* head)
{
    const ushort* units = reinterpret_cast<const ushort*>(text.data());
    const std::size_t size = std::size_t(text.size());
    head[0] = unitsAt(units, 0, size);
    head[1] = size > 4 ? unitsAt(units, 4, size) : 0;
    head[2] = size > 8 ? unitsAt(units, 8, size) : 0;
    head[3] = size > 12 ? unitsAt(units, 12, size) : 0;
    quint64 h = (head[0] * 0x9E3779B97F4A7C15ull) ^ (head[1] * 0xbf58476d1ce4e5b9ull) ^ size;
    if (size > 8)
        h = (h ^ head[2]) * 0x94d049bb133111ebull ^ (head[3] * 0x9E3779B97F4A7C15ull);
    for (std::size_t i = kHeadUnits; i < size; i += 4) {
        h = (h ^ unitsAt(units, i, size)) * 0x94d049bb133111ebull;
        h ^= h >> 29;
    }
    return quint32(mixBits(h));
}

// The number a text of one to five plain digits below 65536 reads as (an
// int, whatever leading zeros it has), or -1.
inline int smallInt(QStringView text)
{
    const int size = int(text.size());
    if (size == 0 || size > 5)
        return -1;
    int n = 0;
    for (int i = 0; i < size; ++i) {
        const ushort u = text[i].unicode();
        if (u < '0' || u > '9')
            return -1;
        n = n * 10 + (u - '0');
    }
    return n < 65536 ? n : -1;
}

} // namespace

ValueInterner::ValueInterner()
    : m_table(new ValueTable)
{
}

ValueInterner::~ValueInterner()
{
    m_table->deref();
}

void ValueInterner::reset()
{
    // The new table first: out of memory, the interner keeps the old one.
    ValueTable* fresh = new ValueTable;
    m_table->deref();
    m_table = fresh;
    m_columns.clear();
    m_values.clear();
    m_valueCount = 0;
    m_records = 0;
}

quint32 ValueInterner::text(int column, QStringView text, THash<QString, TVariant>* pool)
{
    if (text.isEmpty())
        return 0;
    if (column < 0)
        return m_table->add(TVariant::fromText(text, pool));
    if (std::size_t(column) >= m_columns.size())
        m_columns.resize(std::size_t(column) + 1);
    ColumnCache& cache = m_columns[std::size_t(column)];
    if (unique(column))
        return m_table->add(TVariant::fromText(text, nullptr));
    if (cache.off)
        return m_table->add(TVariant::fromText(text, pool));

    quint64 head[4];
    const quint32 hash = headAndHash(text, head);
    return lookup(cache, text, hash, head, pool);
}

inline void ValueInterner::prepareOne(Prepared& p, QStringView text)
{
    p.data = text.data();
    p.size = text.size();
    p.found = 0;
    p.probed = false;
    p.number = smallInt(text);
    if (p.number < 0)
        p.hash = headAndHash(text, p.head);
}

void ValueInterner::prepare(const QStringView* texts, int count, int skip)
{
    if (std::size_t(count) > m_columns.size())
        m_columns.resize(std::size_t(count));
    if (std::size_t(count) > m_prepared.size())
        m_prepared.resize(std::size_t(count));
    for (Prepared& p : m_prepared)
        p.size = -1;
    for (int i = 0; i < count; ++i) {
        const ColumnCache& cache = m_columns[std::size_t(i)];
        if (i == skip || texts[i].isEmpty() || cache.off || unique(i))
            continue;
        Prepared& p = m_prepared[std::size_t(i)];
        prepareOne(p, texts[i]);
        // Texts found in small tables (which stay in the cache) are done
        // now; the slots of large ones start loading. Misses are left to
        // texts(), so that the pool sees new texts in column order.
        if (p.number >= 0) {
            const std::size_t n = std::size_t(p.number);
            if (n < cache.ints.size()) {
                if (cache.ints.size() > 4096)
                    __builtin_prefetch(&cache.ints[n]);
                else
                    p.found = cache.ints[n];
            }
        } else if (cache.cells.size() > 1024) {
            __builtin_prefetch(&cache.cells[p.hash & (cache.cells.size() - 1)]);
        } else {
            p.found = probe(m_columns[std::size_t(i)], texts[i], p.hash, p.head);
            p.probed = true;
        }
    }
}


void ValueInterner::texts(const QStringView* texts, int count, THash<QString, TVariant>* pool,
                          quint32* out, int skip, bool prepared)
{
    // What an earlier prepare() left for texts that were not looked up then
    // may stand for other texts by now (a buffer used again in place).
    if (!prepared) {
        for (Prepared& p : m_prepared)
            p.size = -1;
    }
    ++m_records;
    if (std::size_t(count) > m_columns.size())
        m_columns.resize(std::size_t(count));
    if (std::size_t(count) > m_prepared.size())
        m_prepared.resize(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        if (i == skip)
            continue;
        ColumnCache& cache = m_columns[std::size_t(i)];
        const QStringView text = texts[i];
        if (text.isEmpty()) {
            out[i] = 0;
            continue;
        }
        if (unique(i)) {
            out[i] = m_table->add(TVariant::fromText(text, nullptr));
            continue;
        }
        if (cache.off) {
            out[i] = m_table->add(TVariant::fromText(text, pool));
            continue;
        }
        Prepared& p = m_prepared[std::size_t(i)];
        if (p.size != text.size() || p.data != text.data())
            prepareOne(p, text);
        if (p.found) {
            out[i] = p.found;
            continue;
        }
        if (p.number >= 0) {
            const std::size_t n = std::size_t(p.number);
            if (n < cache.ints.size() && cache.ints[n]) {
                out[i] = cache.ints[n];
                continue;
            }
            if (cache.farCount) {
                if (const quint32 found = farInt(cache, n)) {
                    // Into the table once it may reach that far.
                    if (intReaches(cache, n))
                        storeInt(cache, n, found);
                    out[i] = found;
                    continue;
                }
            }
            const TVariant value = TVariant::fromText(text, pool);
            out[i] = m_table->add(value);
            if (value.type == TVariant::Int && value.value == p.number)
                storeInt(cache, n, out[i]);
        } else if (p.probed) {
            out[i] = miss(cache, text, p.hash, p.head, pool);
        } else {
            out[i] = lookup(cache, text, p.hash, p.head, pool);
        }
    }
    // What was prepared belongs to this record's texts only.
    for (Prepared& p : m_prepared)
        p.size = -1;
}

quint32 ValueInterner::farInt(const ColumnCache& cache, std::size_t number)
{
    const std::size_t mask = cache.farInts.size() - 1;
    for (std::size_t s = std::size_t(mixBits(number)) & mask;; s = (s + 1) & mask) {
        const IntSlot& slot = cache.farInts[s];
        if (slot.number == number + 1)
            return slot.position;
        if (slot.number == 0)
            return 0;
    }
}

bool ValueInterner::intReaches(const ColumnCache& cache, std::size_t number) const
{
    return number < cache.ints.size() || number < kMinReach + kReachPerRecord * m_records;
}

void ValueInterner::storeInt(ColumnCache& cache, std::size_t number, quint32 position)
{
    if (intReaches(cache, number)) {
        if (cache.ints.size() <= number)
            cache.ints.resize(number + 1, 0u);
        cache.ints[number] = position;
        return;
    }
    // Kept here until it is met again once the table may reach it.
    if ((cache.farCount + 1) * 2 > cache.farInts.size()) {
        std::vector<IntSlot> old(cache.farInts.empty() ? 8 : cache.farInts.size() * 2);
        old.swap(cache.farInts);
        const std::size_t mask = cache.farInts.size() - 1;
        for (const IntSlot& slot : old) {
            if (slot.number == 0)
                continue;
            std::size_t s = std::size_t(mixBits(slot.number - 1)) & mask;
            while (cache.farInts[s].number != 0)
                s = (s + 1) & mask;
            cache.farInts[s] = slot;
        }
    }
    const std::size_t mask = cache.farInts.size() - 1;
    std::size_t s = std::size_t(mixBits(number)) & mask;
    while (cache.farInts[s].number != 0)
        s = (s + 1) & mask;
    cache.farInts[s] = {quint32(number + 1), position};
    ++cache.farCount;
}

quint32 ValueInterner::probe(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head)
{
    ++cache.lookups;
    if (cache.cells.empty())
        return 0;
    const std::size_t mask = cache.cells.size() - 1;
    const quint32 length = quint32(text.size()) + 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
        const TextSlot& slot = cache.cells[s];
        if (slot.length == 0)
            return 0;
        if (slot.hash == hash && slot.length == length && slot.head[0] == head[0]
            && slot.head[1] == head[1] && slot.head[2] == head[2] && slot.head[3] == head[3]
            && (length <= kHeadUnits + 1 || sameTail(cache.arena.data() + slot.offset, text))) {
            ++cache.hits;
            return slot.position;
        }
    }
}

quint32 ValueInterner::miss(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head,
                            THash<QString, TVariant>* pool)
{
    const quint32 position = m_table->add(TVariant::fromText(text, pool));
    if (cache.entries >= kCacheLimit && cache.hits * 2 < cache.lookups) {
        cache = ColumnCache();
        cache.off = true;
        return position;
    }
    insertText(cache, hash, head, text, position);
    return position;
}

quint32 ValueInterner::lookup(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head,
                              THash<QString, TVariant>* pool)
{
    const quint32 found = probe(cache, text, hash, head);
    return found ? found : miss(cache, text, hash, head, pool);
}

void ValueInterner::insertText(ColumnCache& cache, quint32 hash, const quint64* head, QStringView text,
                               quint32 position)
{
    if ((cache.entries + 1) * 4 > cache.cells.size() * 3) {
        // Small at first: a log may have many columns of a few texts each.
        std::vector<TextSlot> old(cache.cells.empty() ? 8 : cache.cells.size() * 2);
        old.swap(cache.cells);
        const std::size_t mask = cache.cells.size() - 1;
        for (const TextSlot& slot : old) {
            if (slot.length == 0)
                continue;
            std::size_t s = slot.hash & mask;
            while (cache.cells[s].length != 0)
                s = (s + 1) & mask;
            cache.cells[s] = slot;
        }
    }
    const std::size_t mask = cache.cells.size() - 1;
    std::size_t s = hash & mask;
    while (cache.cells[s].length != 0)
        s = (s + 1) & mask;
    TextSlot& slot = cache.cells[s];
    slot.hash = hash;
    slot.position = position;
    slot.offset = quint32(cache.arena.size());
    slot.length = quint32(text.size()) + 1;
    std::copy(head, head + 4, slot.head);
    if (std::size_t(text.size()) > kHeadUnits)
        cache.arena.insert(cache.arena.end(), text.data() + kHeadUnits, text.data() + text.size());
    ++cache.entries;
}

quint32 ValueInterner::value(const TVariant& v)
{
    if (!v.isValid())
        return 0;
    // A NaN is a value of its own every time.
    if (std::isnan(v.value))
        return m_table->add(v);
    quint64 bits = 0;
    std::memcpy(&bits, &v.value, sizeof bits);
    const quint64 key = valueIdentity(v);
    if (m_values.empty())
        m_values.resize(64);
    std::size_t mask = m_values.size() - 1;
    std::size_t s = std::size_t(mixBits(bits ^ (key * 0x9E3779B97F4A7C15ull))) & mask;
    for (;; s = (s + 1) & mask) {
        const ValueSlot& slot = m_values[s];
        if (slot.position == 0)
            break;
        if (slot.bits == bits && slot.key == key)
            return slot.position;
    }
    const quint32 position = m_table->add(v);
    m_values[s] = {bits, key, position};
    if (++m_valueCount * 2 > m_values.size())
        growValues();
    return position;
}

void ValueInterner::growValues()
{
    std::vector<ValueSlot> old(m_values.size() * 2);
    old.swap(m_values);
    const std::size_t mask = m_values.size() - 1;
    for (const ValueSlot& slot : old) {
        if (slot.position == 0)
            continue;
        std::size_t s = std::size_t(mixBits(slot.bits ^ (slot.key * 0x9E3779B97F4A7C15ull))) & mask;
        while (m_values[s].position != 0)
            s = (s + 1) & mask;
        m_values[s] = slot;
    }
}

quint32 ValueInterner::add(const TVariant& v)
{
    return m_table->add(v);
}

QSharedPointer<Packet> ValueInterner::packet(const quint32* positions, int count)
{
    // Not QSharedPointer::create(): when the memory for its block runs out,
    // it lets go of whatever its result held before it was set (another
    // event's count, as it happens). The event first, then its count.
    std::unique_ptr<Packet> event(new Packet(m_table, positions, count));
    QSharedPointer<Packet> shared(event.get());
    event.release();
    return shared;
}
