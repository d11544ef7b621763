#include "core/PresenceBits.h"

#include <QtAlgorithms>
#include <cmath>

PresenceBits::PresenceBits(int totalBits, int bitsPerWord)
    : totalBits(totalBits)
    , bitsPerWord(qBound(1, bitsPerWord, 32))
{
    const double wordsNeeded = std::ceil(double(totalBits) / double(this->bitsPerWord));
    m_wordCount = wordsNeeded > 0 ? int(wordsNeeded) : 0;
    if (m_wordCount <= 1) {
        words = &m_inline[0];
        counts = &m_inline[1];
    } else {
        // One block for both arrays: words first, then their counts.
        words = new uint32_t[size_t(m_wordCount) * 2]();
        counts = words + m_wordCount;
    }
}

PresenceBits::~PresenceBits()
{
    if (words != &m_inline[0])
        delete[] words;
}

void PresenceBits::append(bool bit)
{
    if (bit) {
        const int w = next / bitsPerWord;
        // Bits past the size the set was made for have no word to go to.
        if (w < m_wordCount) {
            words[w] |= uint32_t(1) << (next % bitsPerWord);
            ++counts[w];
        }
    }
    ++next;
}

bool PresenceBits::test(int index, int* rank) const
{
    if (index < 0) {
        if (rank)
            *rank = 0;
        return false;
    }
    const int w = index / bitsPerWord;
    const int b = index % bitsPerWord;
    if (rank) {
        int sum = 0;
        const int last = qMin(w, m_wordCount);
        for (int i = 0; i < last; ++i)
            sum += int(counts[i]);
        if (w < m_wordCount)
            sum += int(qPopulationCount(words[w] & ((uint32_t(1) << b) - 1)));
        *rank = sum;
    }
    if (w >= m_wordCount)
        return false;
    return (words[w] >> b) & 1u;
}
