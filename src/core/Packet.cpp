#include "core/Packet.h"

#include "core/Constants.h"
#include "core/PresenceBits.h"
#include "core/TList.h"
#include "core/ValueTable.h"

#include <QVarLengthArray>

#include <cstring>

const TVariant& PacketValues::at(int k) const
{
    return m_table ? m_table->at(m_positions[k]) : m_own[k];
}

Packet::Packet(const TList<TVariant>& row)
    : baseCount(row.size())
{
    auto* bits = new PresenceBits(row.size(), 31);
    presence = bits;
    int present = 0;
    for (const TVariant& v : row.items)
        present += v.isValid() ? 1 : 0;
    // Sized exactly: a log holds hundreds of thousands of these.
    values.m_own = present > 0 ? new TVariant[std::size_t(present)] : nullptr;
    // The presence bits are set as PresenceBits::append() would, column by
    // column, without a division per column.
    const int perWord = bits->bitsPerWord;
    const int words = bits->wordCount();
    int word = 0;
    int bit = 0;
    int k = 0;
    for (const TVariant& v : row.items) {
        if (v.isValid()) {
            values.m_own[k++] = v;
            if (word < words) {
                bits->words[word] |= uint32_t(1) << bit;
                ++bits->counts[word];
            }
        }
        if (++bit == perWord) {
            bit = 0;
            ++word;
        }
    }
    bits->next = row.size();
    values.m_count = present;
    presentCount = present;
}

Packet::Packet(ValueTable* table, const quint32* positions, int count)
    : baseCount(qMax(count, 0))
{
    // The presence words (31 columns each) and the present positions in
    // one pass; the word being filled stays in a register.
    const int wordCount = (baseCount + 30) / 31;
    QVarLengthArray<quint32, 4> words(wordCount);
    QVarLengthArray<quint32, 64> present(baseCount);
    int n = 0;
    quint32 word = 0;
    int bit = 0;
    int w = 0;
    for (int i = 0; i < baseCount; ++i) {
        // Without branches: which columns are absent follows no pattern.
        const quint32 position = positions[i];
        const quint32 there = position != 0 ? 1u : 0u;
        word |= there << bit;
        present[n] = position;
        n += int(there);
        if (++bit == 31) {
            words[w++] = word;
            word = 0;
            bit = 0;
        }
    }
    if (bit != 0)
        words[w] = word;
    presence = table->sharedPresence(baseCount, words.constData(), wordCount);
    quint32* stored = table->allocatePositions(n);
    if (n > 0)
        std::memcpy(stored, present.constData(), std::size_t(n) * sizeof(quint32));
    table->ref();
    values.m_table = table;
    values.m_positions = stored;
    values.m_count = n;
    presentCount = n;
}

void Packet::moveToTable(ValueTable* table, quint32 offset)
{
    if (!values.m_table)
        return;
    // The table's presence first: out of memory, the event stays as it was.
    const PresenceBits* shared = table->sharedPresence(baseCount, presence->words, (baseCount + 30) / 31);
    quint32* positions = const_cast<quint32*>(values.m_positions);
    for (int k = 0; k < values.m_count; ++k)
        positions[k] += offset;
    presence = shared;
    values.m_table = table;
}

Packet::~Packet()
{
    if (values.m_table) {
        const_cast<ValueTable*>(values.m_table)->deref();
    } else {
        delete presence;
        delete[] values.m_own;
    }
    // `extra` is exactly a TList (the list interface has no virtual
    // destructor by design), so deleting it through its own type is sound.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
    delete extra;
#pragma GCC diagnostic pop
}

const TVariant& Packet::get(int i) const
{
    if (i >= 0 && i < baseCount) {
        int rank = 0;
        if (presence->test(i, &rank))
            return values.at(rank);
        return *NULL_VALUE;
    }
    // Columns added after loading; anything beyond (or a negative column,
    // which callers use for "no such attribute") is absent.
    if (i >= baseCount && extra) {
        const int k = i - baseCount;
        if (k < extra->size())
            return extra->items[size_t(k)];
    }
    return *NULL_VALUE;
}

void Packet::append(const TVariant& value)
{
    if (!extra)
        extra = new TList<TVariant>();
    extra->items.push_back(value);
}

int Packet::columnCount() const
{
    return baseCount + (extra ? extra->size() : 0);
}
