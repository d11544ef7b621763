#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

// A hashed map from texts to values for the text pool, which is asked once
// per text field of every event of a log. The entries lie in one array (in
// insertion order, until an erase moves the last entry into the gap) and an
// open-addressing index of (hash, position) words finds them: a lookup costs
// one hash, a probe in a small array and one key comparison, and it can be
// made with a view of the text, so a field need not become a QString first.
// Texts hash with qHash and seed 0, as the standard store of the map does.
// Unlike a node-based map, an insert may move the values: callers keep no
// references across inserts.
template <typename V>
class FlatTextMap
{
public:
    using Entry = std::pair<QString, V>;

    template <typename E>
    class Iter
    {
    public:
        Iter() = default;
        explicit Iter(E* p) : p(p) {}
        template <typename O, typename = std::enable_if_t<std::is_const<E>::value && !std::is_const<O>::value>>
        Iter(const Iter<O>& other) : p(other.p)
        {
        }
        E& operator*() const { return *p; }
        E* operator->() const { return p; }
        Iter& operator++()
        {
            ++p;
            return *this;
        }
        Iter operator++(int)
        {
            Iter old = *this;
            ++p;
            return old;
        }
        bool operator==(const Iter& o) const { return p == o.p; }
        bool operator!=(const Iter& o) const { return p != o.p; }

    private:
        template <typename> friend class Iter;
        friend class FlatTextMap;
        E* p = nullptr;
    };
    using iterator = Iter<Entry>;
    using const_iterator = Iter<const Entry>;

    FlatTextMap() = default;
    FlatTextMap(const FlatTextMap&) = default;
    FlatTextMap& operator=(const FlatTextMap&) = default;
    FlatTextMap(FlatTextMap&& other) noexcept
        : m_entries(std::move(other.m_entries))
        , m_slots(std::move(other.m_slots))
        , m_arena(std::move(other.m_arena))
        , m_liveChars(other.m_liveChars)
    {
        other.clear();
    }
    FlatTextMap& operator=(FlatTextMap&& other) noexcept
    {
        if (this != &other) {
            m_entries = std::move(other.m_entries);
            m_slots = std::move(other.m_slots);
            m_arena = std::move(other.m_arena);
            m_liveChars = other.m_liveChars;
            other.clear();
        }
        return *this;
    }

    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }

    iterator begin() { return iterator(m_entries.data()); }
    iterator end() { return iterator(m_entries.data() + m_entries.size()); }
    const_iterator begin() const { return cbegin(); }
    const_iterator end() const { return cend(); }
    const_iterator cbegin() const { return const_iterator(m_entries.data()); }
    const_iterator cend() const { return const_iterator(m_entries.data() + m_entries.size()); }

    static uint hashOf(QStringView key) { return qHash(key, 0u); }

    // Room for `keys` keys whose texts hold `chars` UTF-16 units in all:
    // adding them then lays the table out no more, which hashes and copies
    // every key again each time.
    void reserve(std::size_t keys, std::size_t chars)
    {
        std::size_t capacity = m_slots.empty() ? 16 : m_slots.size();
        while (keys * 2 > capacity)
            capacity *= 2;
        m_entries.reserve(keys);
        m_arena.reserve(m_arena.size() + chars);
        if (capacity != m_slots.size())
            relayout(capacity);
    }

    // Position of the key's entry, or -1.
    std::ptrdiff_t indexOf(QStringView key, uint hash) const
    {
        if (m_slots.empty())
            return -1;
        const std::size_t mask = m_slots.size() - 1;
        const std::size_t length = std::size_t(key.size());
        for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
            const Slot& slot = m_slots[s];
            if (slot.position == 0)
                return -1;
            if (slot.hash == hash && slot.length == length
                && (length == 0
                    || std::memcmp(m_arena.data() + slot.offset, key.data(), length * sizeof(QChar)) == 0))
                return std::ptrdiff_t(slot.position - 1);
        }
    }

    // Starts loading the index slot a lookup with this hash begins at.
    void prefetch(uint hash) const
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[hash & (m_slots.size() - 1)]);
    }

    // The entry at a position indexOf() gave (positions stay put while
    // entries are only added).
    const Entry& entryAt(std::size_t position) const { return m_entries[position]; }

    const_iterator findView(QStringView key) const
    {
        const std::ptrdiff_t i = indexOf(key, hashOf(key));
        return i < 0 ? cend() : const_iterator(m_entries.data() + i);
    }
    iterator find(const QString& key)
    {
        const std::ptrdiff_t i = indexOf(key, hashOf(key));
        return i < 0 ? end() : iterator(m_entries.data() + i);
    }
    const_iterator find(const QString& key) const { return findView(key); }

    std::pair<iterator, bool> emplace(const QString& key, const V& value)
    {
        const uint hash = hashOf(key);
        const std::ptrdiff_t i = indexOf(key, hash);
        if (i >= 0)
            return {iterator(m_entries.data() + i), false};
        return {iterator(&append(key, value, hash)), true};
    }

    V& operator[](const QString& key)
    {
        const uint hash = hashOf(key);
        const std::ptrdiff_t i = indexOf(key, hash);
        if (i >= 0)
            return m_entries[std::size_t(i)].second;
        return append(key, V(), hash).second;
    }

    const V& at(const QString& key) const
    {
        const std::ptrdiff_t i = indexOf(key, hashOf(key));
        if (i < 0)
            throw std::out_of_range("FlatTextMap::at");
        return m_entries[std::size_t(i)].second;
    }
    V& at(const QString& key)
    {
        const std::ptrdiff_t i = indexOf(key, hashOf(key));
        if (i < 0)
            throw std::out_of_range("FlatTextMap::at");
        return m_entries[std::size_t(i)].second;
    }

    std::size_t erase(const QString& key)
    {
        const std::ptrdiff_t i = indexOf(key, hashOf(key));
        if (i < 0)
            return 0;
        removeAt(std::size_t(i));
        return 1;
    }

    // Removes the entry; the returned iterator is at the same position,
    // which now holds the entry that was last (not yet visited by a loop
    // from begin to end), or is the end.
    iterator erase(const_iterator it)
    {
        const std::size_t i = std::size_t(it.p - m_entries.data());
        removeAt(i);
        return iterator(m_entries.data() + i);
    }

    void clear()
    {
        m_entries.clear();
        m_slots.clear();
        m_arena.clear();
        m_liveChars = 0;
    }

private:
    // A slot of the index names an entry and where its key's text lies in
    // the arena, so that a probe compares texts without visiting the entry.
    struct Slot
    {
        uint hash = 0;
        quint32 position = 0;   // entry position + 1; 0 = free
        quint32 offset = 0;     // of the key's text in the arena
        quint32 length = 0;     // of the key, in UTF-16 units
    };

    Entry& append(const QString& key, const V& value, uint hash)
    {
        if ((m_entries.size() + 1) * 2 > m_slots.size())
            relayout(m_slots.empty() ? 16 : m_slots.size() * 2);
        else if (m_arena.size() > 2 * m_liveChars + 4096)
            relayout(m_slots.size());   // texts of erased keys pile up otherwise
        m_entries.emplace_back(key, value);
        place(hash, m_entries.size() - 1, store(key));
        return m_entries.back();
    }

    // Copies a key's text to the arena, which keeps every key close
    // together (the keys' own strings lie wherever they were made).
    quint32 store(QStringView key)
    {
        const quint32 offset = quint32(m_arena.size());
        m_arena.insert(m_arena.end(), key.data(), key.data() + key.size());
        m_liveChars += std::size_t(key.size());
        return offset;
    }

    void place(uint hash, std::size_t index, quint32 offset)
    {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t s = hash & mask;
        while (m_slots[s].position != 0)
            s = (s + 1) & mask;
        Slot& slot = m_slots[s];
        slot.hash = hash;
        slot.position = quint32(index + 1);
        slot.offset = offset;
        slot.length = quint32(m_entries[index].first.size());
    }

    // Lays the index out anew at the given size and the arena without the
    // texts of erased keys.
    void relayout(std::size_t capacity)
    {
        m_slots.assign(capacity, Slot());
        m_arena.clear();
        m_liveChars = 0;
        for (std::size_t i = 0; i < m_entries.size(); ++i)
            place(hashOf(m_entries[i].first), i, store(m_entries[i].first));
    }

    std::size_t slotOf(std::size_t index) const
    {
        const std::size_t mask = m_slots.size() - 1;
        const uint hash = hashOf(m_entries[index].first);
        std::size_t s = hash & mask;
        while (m_slots[s].position != index + 1)
            s = (s + 1) & mask;
        return s;
    }

    void removeAt(std::size_t index)
    {
        const std::size_t mask = m_slots.size() - 1;
        // Backward-shift deletion keeps every probe chain unbroken.
        std::size_t hole = slotOf(index);
        m_liveChars -= m_slots[hole].length;
        for (std::size_t s = (hole + 1) & mask; m_slots[s].position != 0; s = (s + 1) & mask) {
            const std::size_t home = m_slots[s].hash & mask;
            // The entry at s may fill the hole when its home is not in (hole, s].
            const bool between = hole <= s ? (home > hole && home <= s) : (home > hole || home <= s);
            if (!between) {
                m_slots[hole] = m_slots[s];
                hole = s;
            }
        }
        m_slots[hole] = Slot();

        const std::size_t last = m_entries.size() - 1;
        if (index != last) {
            m_slots[slotOf(last)].position = quint32(index + 1);
            m_entries[index] = std::move(m_entries[last]);
        }
        m_entries.pop_back();
    }

    std::vector<Entry> m_entries;
    std::vector<Slot> m_slots;
    std::vector<QChar> m_arena;
    std::size_t m_liveChars = 0;   // arena units still used by a key
};
