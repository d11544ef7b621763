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

    // Columns whose texts hardly ever repeat: their values are stored as
    // they come, each text a string of its own, without the per-column
    // cache and without the pool (TVariant::fromText(text, nullptr)).
    // Kept across reset().
    void setUniqueColumns(const std::vector<char>& columns) { m_unique = columns; }

    // The position of TVariant::fromText(text, pool) as a value of the
    // given column (texts are cached per column).
    quint32 text(int column, QStringView text, THash<QString, TVariant>* pool);
    // Hashes the texts of a record and starts loading what their lookups
    // will read, so that a texts() call on the same texts a little later
    // finds it in the cache. Text `skip` is left out.
    void prepare(const QStringView* texts, int count, int skip = -1);
    // text(i, texts[i], pool) into out[i] for every i < count but `skip`
    // (out[skip] is left alone). With `prepared`, prepare() was called on
    // these very texts, unchanged since, and its hashes are used.
    void texts(const QStringView* texts, int count, THash<QString, TVariant>* pool, quint32* out,
               int skip = -1, bool prepared = false);
    // The position of a value made elsewhere; identical values (same kind,
    // same number bits, same shared text) get one position.
    quint32 value(const TVariant& v);
    // A stored copy of the value, without looking for an earlier one.
    quint32 add(const TVariant& v);

    // The event of a row of `count` positions (position 0 = absent).
    QSharedPointer<Packet> packet(const quint32* positions, int count);

private:
    // A text's first sixteen units are kept in its slot, so that a short
    // text is compared without visiting the arena.
    struct TextSlot
    {
        quint32 hash = 0;
        quint32 position = 0;
        quint32 offset = 0;    // of the units past the first sixteen, in the arena
        quint32 length = 0;    // in UTF-16 units, plus 1; 0 = free
        quint64 head[4] = {0, 0, 0, 0};
    };
    struct IntSlot
    {
        quint32 number = 0;     // plus 1; 0 = free
        quint32 position = 0;
    };
    struct ColumnCache
    {
        std::vector<TextSlot> cells;
        // Positions of the small whole numbers written in plain digits, by
        // number (0 = not yet seen): found without hashing their texts.
        // The table reaches only as far as the records read allow; numbers
        // past it are kept in `farInts`.
        std::vector<quint32> ints;
        std::vector<IntSlot> farInts;   // open addressing, by number
        std::size_t farCount = 0;
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

    // The position of a text found in its column's cache, or 0.
    quint32 probe(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head);
    // Stores the value of a text the cache does not hold.
    quint32 miss(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head,
                 THash<QString, TVariant>* pool);
    quint32 lookup(ColumnCache& cache, QStringView text, quint32 hash, const quint64* head,
                   THash<QString, TVariant>* pool);
    struct Prepared
    {
        const QChar* data = nullptr;
        qsizetype size = -1;     // -1: nothing prepared
        int number = -1;         // smallInt() of the text
        quint32 hash = 0;
        quint32 found = 0;       // its position, when prepare() found it
        bool probed = false;     // prepare() looked and did not find it
        quint64 head[4] = {0, 0, 0, 0};
    };
    void prepareOne(Prepared& p, QStringView text);
    void insertText(ColumnCache& cache, quint32 hash, const quint64* head, QStringView text,
                    quint32 position);
    void growValues();
    // The position kept for a small number past the dense table, or 0.
    static quint32 farInt(const ColumnCache& cache, std::size_t number);
    // Whether the table of small numbers may hold `number` by now.
    bool intReaches(const ColumnCache& cache, std::size_t number) const;
    // Into the table when it may hold the number, else past it.
    void storeInt(ColumnCache& cache, std::size_t number, quint32 position);

    ValueTable* m_table = nullptr;
    std::vector<ColumnCache> m_columns;
    std::vector<ValueSlot> m_values;
    std::vector<Prepared> m_prepared;   // by column, for the record at hand
    std::vector<char> m_unique;         // by column: see setUniqueColumns()
    bool unique(int column) const
    {
        return std::size_t(column) < m_unique.size() && m_unique[std::size_t(column)];
    }
    std::size_t m_valueCount = 0;
    std::size_t m_records = 0;   // texts() calls since the last reset
};
