#pragma once

#include "core/TVariant.h"

#include <QSharedPointer>
#include <cstdint>

template <typename T> class TList;
class PresenceBits;
class ValueTable;

// The present values of an event, in column order. They are either the
// event's own copies or positions into the value table of the log the event
// was read from, which stores each distinct value once.
class PacketValues
{
public:
    int size() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    const TVariant& at(int k) const;
    const TVariant& operator[](int k) const { return at(k); }

private:
    friend class Packet;
    const ValueTable* m_table = nullptr;   // null: the values are `m_own`
    union {
        const quint32* m_positions = nullptr;   // with a table
        TVariant* m_own;                        // without one
    };
    int m_count = 0;
};

// One event of the loaded log (or one trace record built by a context).
// Only present values are stored, in column order, behind a presence bitmap;
// attributes added after loading go to a dense second list. A Packet lives
// on the heap and is always shared as QSharedPointer<Packet>: the same event
// is the same object in every context.
class Packet
{
public:
    explicit Packet(const TList<TVariant>& row);
    // An event of a row read from a log: `positions` holds one position of
    // the table per column (0 for an absent value). The packet shares the
    // table's values and presence sets and keeps the table alive.
    Packet(ValueTable* table, const quint32* positions, int count);
    ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    // The value of column i: a present base value, the shared absent value,
    // or a value appended later (i >= baseCount). Any index outside the
    // packet's columns gives the shared absent value.
    const TVariant& get(int i) const;
    // Appends a value for an attribute added after loading (column
    // baseCount + the number of values appended before).
    void append(const TVariant& value);

    // For an event of a table whose values and positions `table` absorbed
    // (ValueTable::absorb, which gave `offset`): reads them from `table`,
    // with its presence set for the same pattern. The references are the
    // caller's to move.
    void moveToTable(ValueTable* table, quint32 offset);

    // Number of columns reachable through get(): base plus appended.
    int columnCount() const;
    // The table the values live in, or null when the packet owns them.
    const ValueTable* valueTable() const { return values.m_table; }
    // With a table: the positions of the present base values, in column
    // order. Null when the packet owns its values.
    const quint32* tablePositions() const { return values.m_table ? values.m_positions : nullptr; }
    // With a table and every base column present: the positions of the
    // base values, one per column. Null otherwise.
    const quint32* densePositions() const
    {
        return values.m_table && presentCount == baseCount ? values.m_positions : nullptr;
    }

    int32_t conversationId = -1;   // trace number; -1 = none
    int32_t presentCount = 0;      // number of values in `values`
    PacketValues values;           // present base values, column order
    int32_t baseCount = 0;         // length of the row the packet was made from
    // One bit per base column. Owned, except that events of a value table
    // share the table's sets.
    const PresenceBits* presence = nullptr;
    // Owned; values added after loading. Made by the first append(): most
    // events never get one, and a log holds hundreds of thousands of them.
    TList<TVariant>* extra = nullptr;
};
