#pragma once

#include "core/TVariant.h"

#include <QSharedPointer>
#include <QVector>
#include <cstdint>

template <typename T> class TList;
class PresenceBits;

// One event of the loaded log (or one trace record built by a context).
// Only present values are stored, in column order, behind a presence bitmap;
// attributes added after loading go to a dense second list. A Packet lives
// on the heap and is always shared as QSharedPointer<Packet>: the same event
// is the same object in every context.
class Packet
{
public:
    explicit Packet(const TList<TVariant>& row);
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

    // Number of columns reachable through get(): base plus appended.
    int columnCount() const;

    int32_t conversationId = -1;   // trace number; -1 = none
    int32_t presentCount = 0;      // number of values in `values`
    QVector<TVariant> values;      // present base values, column order
    int32_t baseCount = 0;         // length of the row the packet was made from
    PresenceBits* presence = nullptr;   // owned
    // Owned; values added after loading. Made by the first append(): most
    // events never get one, and a log holds hundreds of thousands of them.
    TList<TVariant>* extra = nullptr;
};
