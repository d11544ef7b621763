#pragma once

#include <cstdint>

// One bit per base column of an event: set when the column has a value.
// Bits are appended in column order; 31 bits are used per word, and each
// word keeps the count of its set bits so that the rank of a column (its
// position among the present values) costs one add per preceding word.
class PresenceBits
{
public:
    PresenceBits(int totalBits, int bitsPerWord);
    ~PresenceBits();
    PresenceBits(const PresenceBits&) = delete;
    PresenceBits& operator=(const PresenceBits&) = delete;

    // Appends the next bit; a false bit only advances the position.
    void append(bool bit);
    // Whether bit `index` is set; with `rank`, also the number of set bits
    // before it. Indexes outside the set answer false (rank: all set bits).
    bool test(int index, int* rank = nullptr) const;

    // The number of words the set was made with.
    int wordCount() const { return m_wordCount; }

    uint32_t* words = nullptr;  // bit b of word w is column w * bitsPerWord + b
    uint32_t* counts = nullptr; // per word, the number of set bits in it
    int32_t totalBits = 0;
    int32_t bitsPerWord = 31;
    int32_t next = 0;           // index of the next bit to append

private:
    int32_t m_wordCount = 0;
    // Most logs have at most 31 columns: one word and its count then live
    // here instead of in two separate allocations.
    uint32_t m_inline[2] = {0, 0};
};
