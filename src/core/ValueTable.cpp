#include "core/ValueTable.h"

#include "core/PresenceBits.h"

#include <cstring>
#include <stdexcept>

ValueTable::ValueTable()
{
    add(TVariant());
}

ValueTable::~ValueTable() = default;

quint32 ValueTable::add(const TVariant& value)
{
    if (!value.isValid() && m_size > 0)
        return 0;
    if (m_size == 0xFFFFFFFFu)
        throw std::length_error("ValueTable: more than 2^32 - 1 values");
    if ((m_size & (ChunkSize - 1)) == 0) {
        // Owned before the list grows: a list out of memory frees it.
        std::unique_ptr<TVariant[]> chunk(new TVariant[ChunkSize]);
        m_chunks.push_back(std::move(chunk));
    }
    m_chunks.back()[m_size & (ChunkSize - 1)] = value;
    return m_size++;
}

void ValueTable::takeBlocks(ValueTable& other)
{
    // The block being filled stays the last one.
    const auto at = m_blocks.empty() ? m_blocks.end() : m_blocks.end() - 1;
    m_blocks.insert(at, std::make_move_iterator(other.m_blocks.begin()),
                    std::make_move_iterator(other.m_blocks.end()));
    other.m_blocks.clear();
    other.m_blockUsed = BlockSize;
}

quint32* ValueTable::allocatePositions(int n)
{
    if (n <= 0)
        return nullptr;
    const std::size_t count = std::size_t(n);
    if (count > BlockSize / 4) {
        // A very wide event gets a block of its own.
        std::unique_ptr<quint32[]> block(new quint32[count]);
        m_blocks.push_back(std::move(block));
        quint32* own = m_blocks.back().get();
        // Keep the current block the one being filled.
        if (m_blocks.size() > 1)
            std::swap(m_blocks[m_blocks.size() - 1], m_blocks[m_blocks.size() - 2]);
        return own;
    }
    if (m_blockUsed + count > BlockSize) {
        std::unique_ptr<quint32[]> block(new quint32[BlockSize]);
        m_blocks.push_back(std::move(block));
        m_blockUsed = 0;
    }
    quint32* p = m_blocks.back().get() + m_blockUsed;
    m_blockUsed += count;
    return p;
}

const PresenceBits* ValueTable::sharedPresence(int columns, const quint32* words, int wordCount)
{
    // Rows of up to 31 columns, and few patterns among them: the usual case.
    const bool oneWord = wordCount <= 1;
    const quint64 small = (quint64(quint32(columns)) << 32) | (wordCount == 1 ? words[0] : 0u);
    if (oneWord) {
        for (const auto& entry : m_recentPresence) {
            if (entry.first == small)
                return entry.second;
        }
    }
    m_presenceKey.assign(reinterpret_cast<const char*>(&columns), sizeof columns);
    m_presenceKey.append(reinterpret_cast<const char*>(words), std::size_t(wordCount) * sizeof(quint32));
    auto it = m_presence.find(m_presenceKey);
    if (it != m_presence.end()) {
        if (oneWord && m_recentPresence.size() < 16)
            m_recentPresence.emplace_back(small, it->second.get());
        return it->second.get();
    }
    auto bits = std::make_unique<PresenceBits>(columns, 31);
    const int n = qMin(wordCount, bits->wordCount());
    for (int w = 0; w < n; ++w) {
        bits->words[w] = words[w];
        bits->counts[w] = quint32(qPopulationCount(words[w]));
    }
    bits->next = columns;
    const PresenceBits* result = bits.get();
    m_presence.emplace(m_presenceKey, std::move(bits));
    if (oneWord && m_recentPresence.size() < 16)
        m_recentPresence.emplace_back(small, result);
    return result;
}
