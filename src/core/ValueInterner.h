#pragma once

#include "core/THash.h"
#include "core/TVariant.h"

#include <QSharedPointer>
#include <QStringView>

#include <vector>

class Packet;
class ValueTable;

// Turns the fields of the rows read from one log into positions of a
// ValueTable, so that each distinct text of a column is parsed and stored
// once, and makes the events of those rows. A text gives exactly the value
// TVariant::fromText() gives it with the same pool; the pool sees each
// distinct text the first time it appears, as it would without the cache.
//
// Used by one reading thread at a time.
class ValueInterner
{
public:
    ValueInterner();
    ~ValueInterner();
    ValueInterner(const ValueInterner&) = delete;
    ValueInterner& operator=(const ValueInterner&) = delete;

    // Starts a new table; events made before keep the old one. Call it
    // whenever the pool is emptied or replaced.
    void reset();
    ValueTable* table() const { return m_table; }

    // The position of TVariant::fromText(text, pool) as a value of the
    // given column (texts are cached per column).
    quint32 text(int column, QStringView text, THash<QString, TVariant>* pool);
    // text(i, texts[i], pool) into out[i] for every i < count but `skip`
    // (out[skip] is left alone). The lookups of the texts overlap instead of
    // waiting one after the other.
    void texts(const QStringView* texts, int count, THash<QString, TVariant>* pool, quint32* out,
               int skip = -1);
    // The position of a value made elsewhere; identical values (same kind,
    // same number bits, same shared text) get one position.
    quint32 value(const TVariant& v);
    // A stored copy of the value, without looking for an earlier one.
    quint32 add(const TVariant& v);

    // The event of a row of `count` positions (position 0 = absent).
    QSharedPointer<Packet> packet(const quint32* positions, int count);

private:
    // A text's first eight units are kept in its slot, so that a short
    // text is compared without visiting the arena.
    struct TextSlot
    {
        quint32 hash = 0;
        quint32 position = 0;
        quint32 offset = 0;    // of the units past the first eight, in the arena
        quint32 length = 0;    // in UTF-16 units, plus 1; 0 = free
        quint64 head[2] = {0, 0};
    };
    struct ColumnCache
    {
        std::vector<TextSlot> cells;
        // Positions of the small whole numbers written in plain digits, by
        // number (0 = not yet seen): found without hashing their texts.
        std::vector<quint32> ints;
        std::vector<QChar> arena;
        std::size_t entries = 0;
        std::size_t lookups = 0;
        std::size_t hits = 0;
        bool off = false;     // too many distinct texts to be worth it
    };
    struct ValueSlot
    {
        quint64 bits = 0;
        quint64 key = 0;
        quint32 position = 0;   // 0 = free
    };

    quint32 lookup(ColumnCache& cache, int column, QStringView text, quint32 hash,
                   const quint64* head, THash<QString, TVariant>* pool);
    void insertText(ColumnCache& cache, quint32 hash, const quint64* head, QStringView text,
                    quint32 position);
    void growValues();

    ValueTable* m_table = nullptr;
    std::vector<ColumnCache> m_columns;
    std::vector<ValueSlot> m_values;
    std::size_t m_valueCount = 0;
};
