#pragma once

#include "core/TVariant.h"

#include <QtGlobal>

#include <cstring>

// Spreads the bits of a 64-bit key over the whole word (the finaliser of a
// well-known 64-bit hash), for open-addressing tables indexed by low bits.
inline quint64 mixBits(quint64 h)
{
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

// The tag and the shared text block of a value in one word (user space
// addresses leave the top 16 bits free). Identical number bits and identity
// mean an identical value: texts are never changed in place. The block's
// address is the text's only member; reading it does not touch the block,
// which for a column of many distinct texts would be a cache miss.
inline quint64 valueIdentity(const TVariant& v)
{
    static_assert(sizeof(v.text) == sizeof(quintptr), "a byte array is its data pointer");
    quintptr block = 0;
    std::memcpy(&block, &v.text, sizeof block);
    return quint64(block) ^ (quint64(v.type) << 48);
}
