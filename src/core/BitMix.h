#pragma once

#include <QtGlobal>

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
