#pragma once

#include "core/TVariant.h"

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

class PresenceBits;

// The values of the events read from one log, each distinct value stored
// once: an event keeps 32-bit positions into the table instead of values of
// its own, and every event with the same columns present shares one
// presence set. Position 0 is the absent value.
//
// The table grows only while its log is read, on the reading thread; after
// that it is only read, from any thread. References to its values stay valid
// for its whole life. Each event holds a reference, and so does the reader
// while it reads: the table goes when the last of them lets go.
class ValueTable
{
public:
    ValueTable();
    ~ValueTable();
    ValueTable(const ValueTable&) = delete;
    ValueTable& operator=(const ValueTable&) = delete;

    void ref() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // Drops a reference; the last one deletes the table.
    void deref()
    {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    // `n` references at once (events moving from one table to another).
    void ref(int n) { m_refs.fetch_add(n, std::memory_order_relaxed); }
    void deref(int n)
    {
        if (n > 0 && m_refs.fetch_sub(n, std::memory_order_acq_rel) == n)
            delete this;
    }

    // Stores a copy of the value and returns its position; an absent value
    // is always position 0.
    quint32 add(const TVariant& value);
    const TVariant& at(quint32 position) const
    {
        return m_chunks[position >> ChunkShift][position & (ChunkSize - 1)];
    }
    quint32 size() const { return m_size; }

    // Room for the positions of one event's n present values; it lives as
    // long as the table.
    quint32* allocatePositions(int n);

    // Takes over the values of `other` (each passed to `fix` first) and the
    // positions of its events, which then belong to this table. A position
    // p of `other` becomes p plus the returned offset here; the events still
    // have to be moved over (Packet::moveToTable). The values stay where
    // they are: this table's last chunk is closed (its free slots are never
    // used) and the other's chunks follow it. Leaves `other` without values
    // and positions.
    template <typename Fix>
    quint32 absorb(ValueTable& other, Fix fix)
    {
        if (other.m_size <= 1) {
            other.m_chunks.clear();
            other.m_size = 0;
            takeBlocks(other);
            return m_size - 1;
        }
        for (quint32 p = 1; p < other.m_size; ++p)
            fix(other.m_chunks[p >> ChunkShift][p & (ChunkSize - 1)]);
        const quint64 offset = (quint64(m_size) + ChunkSize - 1) & ~quint64(ChunkSize - 1);
        if (offset + other.m_size > 0xFFFFFFFFull)
            throw std::length_error("ValueTable: more than 2^32 - 1 values");
        m_chunks.insert(m_chunks.end(), std::make_move_iterator(other.m_chunks.begin()),
                        std::make_move_iterator(other.m_chunks.end()));
        m_size = quint32(offset + other.m_size);
        other.m_chunks.clear();
        other.m_size = 0;
        takeBlocks(other);
        return quint32(offset);
    }

    // The presence set of `columns` bits (31 to a word) whose words are
    // given: one object for every event with the same pattern, owned by the
    // table.
    const PresenceBits* sharedPresence(int columns, const quint32* words, int wordCount);

private:
    void takeBlocks(ValueTable& other);

    static constexpr int ChunkShift = 12;
    static constexpr quint32 ChunkSize = quint32(1) << ChunkShift;
    static constexpr std::size_t BlockSize = 16384;   // positions per block

    std::atomic<int> m_refs{1};
    std::vector<std::unique_ptr<TVariant[]>> m_chunks;
    quint32 m_size = 0;
    std::vector<std::unique_ptr<quint32[]>> m_blocks;
    std::size_t m_blockUsed = BlockSize;
    std::unordered_map<std::string, std::unique_ptr<PresenceBits>> m_presence;
    std::string m_presenceKey;
    // The first patterns of up to 31 columns: (columns << 32 | word) -> set.
    std::vector<std::pair<quint64, const PresenceBits*>> m_recentPresence;
};
