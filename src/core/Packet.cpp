#include "core/Packet.h"

#include "core/Constants.h"
#include "core/PresenceBits.h"
#include "core/TList.h"

Packet::Packet(const TList<TVariant>& row)
    : baseCount(row.size())
    , presence(new PresenceBits(row.size(), 31))
{
    int present = 0;
    for (const TVariant& v : row.items)
        present += v.isValid() ? 1 : 0;
    // Sized exactly: a log holds hundreds of thousands of these.
    values.reserve(present);
    // The presence bits are set as PresenceBits::append() would, column by
    // column, without a division per column.
    PresenceBits& bits = *presence;
    const int perWord = bits.bitsPerWord;
    const int words = bits.wordCount();
    int word = 0;
    int bit = 0;
    for (const TVariant& v : row.items) {
        if (v.isValid()) {
            values.append(v);
            if (word < words) {
                bits.words[word] |= uint32_t(1) << bit;
                ++bits.counts[word];
            }
        }
        if (++bit == perWord) {
            bit = 0;
            ++word;
        }
    }
    bits.next = row.size();
    presentCount = present;
}

Packet::~Packet()
{
    delete presence;
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
