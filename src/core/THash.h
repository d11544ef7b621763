#pragma once

#include "core/FlatTextMap.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QHashFunctions>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace thash_detail {

// Numbers, enums and pointers hash by their plain value; everything else
// (QString, TVariant, ...) by its qHash with seed 0, so that the iteration
// order of a hashed map is the same in every run.
template <typename K, typename Enable = void>
struct KeyHash
{
    std::size_t operator()(const K& key) const { return qHash(key, 0u); }
};

template <typename K>
struct KeyHash<K, std::enable_if_t<std::is_arithmetic<K>::value || std::is_enum<K>::value
                                   || std::is_pointer<K>::value>>
{
    std::size_t operator()(const K& key) const { return std::hash<K>()(key); }
};

// Value keys: the hashed store spreads doubles and pairs over their full bit
// pattern. Truncating them to an integer (as qHash does) would pile up the
// time stamps of one second in one bucket. Equal keys still hash alike: 0.0
// and -0.0 meet, and pairs, which are equal by their lower bound, hash by it.
template <>
struct KeyHash<TVariant, void>
{
    std::size_t operator()(const TVariant& key) const
    {
        if (key.type != TVariant::Double && key.type != TVariant::Pair)
            return qHash(key, 0u);
        const double d = key.value == 0.0 ? 0.0 : key.value;
        quint64 bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        bits *= 0x9E3779B97F4A7C15ull;
        return std::size_t(bits ^ (bits >> 32));
    }
};

template <typename V>
bool isNaN(const V& v)
{
    if constexpr (std::is_floating_point<V>::value)
        return std::isnan(v);
    else
        return false;
}

// The hashed store: a standard unordered map, except for the text-keyed
// maps asked once per field of every event (the text pool and the trace
// numbers by grouping text), which use a flat table with the same hash.
template <typename K, typename V>
struct HashedStoreOf
{
    using type = std::unordered_map<K, V, KeyHash<K>>;
};
template <>
struct HashedStoreOf<QString, TVariant>
{
    using type = FlatTextMap<TVariant>;
};
template <>
struct HashedStoreOf<QString, int>
{
    using type = FlatTextMap<int>;
};

} // namespace thash_detail

// A map that is either hashed or ordered, chosen once when it is made.
// Only the store selected by `ordered` ever holds entries.
template <typename K, typename V>
class THash
{
    using HashedStore = typename thash_detail::HashedStoreOf<K, V>::type;
    using SortedStore = std::map<K, V>;

public:
    class const_iterator;

    // Holds the mode and one position in each store; only the position in
    // the store in use means anything. *it is the value (as with Qt's maps).
    class iterator
    {
    public:
        iterator() = default;
        const K& key() const { return ordered ? s->first : h->first; }
        V& value() const { return ordered ? s->second : h->second; }
        V& operator*() const { return value(); }
        V* operator->() const { return &value(); }
        iterator& operator++()
        {
            if (ordered)
                ++s;
            else
                ++h;
            return *this;
        }
        iterator operator++(int)
        {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& o) const { return ordered ? s == o.s : h == o.h; }
        bool operator!=(const iterator& o) const { return !(*this == o); }

    private:
        friend class THash;
        friend class const_iterator;
        typename HashedStore::iterator h {};
        typename SortedStore::iterator s {};
        bool ordered = false;
    };

    class const_iterator
    {
    public:
        const_iterator() = default;
        const_iterator(const iterator& it) : h(it.h), s(it.s), ordered(it.ordered) {}
        const K& key() const { return ordered ? s->first : h->first; }
        const V& value() const { return ordered ? s->second : h->second; }
        const V& operator*() const { return value(); }
        const V* operator->() const { return &value(); }
        const_iterator& operator++()
        {
            if (ordered)
                ++s;
            else
                ++h;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& o) const { return ordered ? s == o.s : h == o.h; }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

    private:
        friend class THash;
        typename HashedStore::const_iterator h {};
        typename SortedStore::const_iterator s {};
        bool ordered = false;
    };

    THash(bool ordered = false) : ordered(ordered) {}

    bool isOrdered() const { return ordered; }

    // Room for n entries (text keys of `chars` UTF-16 units in all), so
    // that filling a hashed map does not grow it again and again.
    void reserve(int n, std::size_t chars = 0)
    {
        if (ordered || n <= 0)
            return;
        if constexpr (std::is_same<HashedStore, FlatTextMap<V>>::value)
            hashed.reserve(std::size_t(n), chars);
        else
            hashed.reserve(std::size_t(n));
    }

    // The key's value, inserted default-constructed (0, empty, none) when absent.
    V& operator[](const K& key) { return ordered ? sorted[key] : hashed[key]; }
    // Same as operator[], cheaper in ordered mode when keys arrive in
    // ascending order (the insertion is tried at the end first).
    V& valueAscending(const K& key)
    {
        if (!ordered)
            return hashed[key];
        return sorted.emplace_hint(sorted.end(), key, V())->second;
    }

    // Adds the pair when the key is absent; an existing key keeps its value.
    iterator insert(const K& key, const V& value)
    {
        if (ordered)
            return fromSorted(sorted.emplace(key, value).first);
        return fromHashed(hashed.emplace(key, value).first);
    }

    bool contains(const K& key) const
    {
        return ordered ? sorted.find(key) != sorted.end() : hashed.find(key) != hashed.end();
    }

    int remove(const K& key) { return int(ordered ? sorted.erase(key) : hashed.erase(key)); }

    iterator erase(const_iterator it)
    {
        if (ordered)
            return fromSorted(sorted.erase(it.s));
        return fromHashed(hashed.erase(it.h));
    }

    void clear()
    {
        hashed.clear();
        sorted.clear();
    }

    V value(const K& key, const V& defaultValue = V()) const
    {
        if (ordered) {
            auto it = sorted.find(key);
            return it == sorted.end() ? defaultValue : it->second;
        }
        auto it = hashed.find(key);
        return it == hashed.end() ? defaultValue : it->second;
    }

    // Bounds-tested lookup: a missing key throws std::out_of_range.
    const V& at(const K& key) const { return ordered ? sorted.at(key) : hashed.at(key); }
    V& at(const K& key) { return ordered ? sorted.at(key) : hashed.at(key); }

    iterator find(const K& key) { return ordered ? fromSorted(sorted.find(key)) : fromHashed(hashed.find(key)); }
    const_iterator find(const K& key) const { return constFind(key); }
    const_iterator constFind(const K& key) const
    {
        return ordered ? fromSorted(sorted.find(key)) : fromHashed(hashed.find(key));
    }

    // A lookup by a view of a text (text-keyed maps only), without making
    // a QString of it.
    const_iterator constFindText(QStringView key) const
    {
        return ordered ? fromSorted(sorted.find(key.toString())) : fromHashed(hashed.findView(key));
    }

    // The store of a hashed map (null for an ordered map), for readers that
    // look up many keys at once.
    const HashedStore* hashedStore() const { return ordered ? nullptr : &hashed; }

    int size() const { return int(ordered ? sorted.size() : hashed.size()); }
    int count() const { return size(); }
    bool isEmpty() const { return size() == 0; }

    iterator begin() { return ordered ? fromSorted(sorted.begin()) : fromHashed(hashed.begin()); }
    iterator end() { return ordered ? fromSorted(sorted.end()) : fromHashed(hashed.end()); }
    const_iterator begin() const { return constBegin(); }
    const_iterator end() const { return constEnd(); }
    const_iterator cbegin() const { return constBegin(); }
    const_iterator cend() const { return constEnd(); }
    const_iterator constBegin() const
    {
        return ordered ? fromSorted(sorted.cbegin()) : fromHashed(hashed.cbegin());
    }
    const_iterator constEnd() const { return ordered ? fromSorted(sorted.cend()) : fromHashed(hashed.cend()); }

    // Every key once: ascending for an ordered map, hash-table order otherwise.
    TList<K> keys() const
    {
        TList<K> result;
        result.items.reserve(std::size_t(size()));
        for (auto it = constBegin(); it != constEnd(); ++it)
            result.items.push_back(it.key());
        return result;
    }

    // Every value, in the order of keys().
    TList<V> values() const
    {
        TList<V> result;
        result.items.reserve(std::size_t(size()));
        for (auto it = constBegin(); it != constEnd(); ++it)
            result.items.push_back(it.value());
        return result;
    }

    // The keys in ascending order of their values; keys with equal values
    // keep the map's own order, keys whose value is NaN come last (also in
    // the map's order).
    TList<K> keysSortedByValue() const
    {
        std::vector<std::pair<const V*, const K*>> entries;
        entries.reserve(std::size_t(size()));
        for (auto it = constBegin(); it != constEnd(); ++it)
            entries.emplace_back(&it.value(), &it.key());
        std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            if (thash_detail::isNaN(*a.first))
                return false;
            if (thash_detail::isNaN(*b.first))
                return true;
            return *a.first < *b.first;
        });
        TList<K> result;
        result.items.reserve(entries.size());
        for (const auto& e : entries)
            result.items.push_back(*e.second);
        return result;
    }

private:
    iterator fromSorted(typename SortedStore::iterator pos)
    {
        iterator it;
        it.s = pos;
        it.h = hashed.end();
        it.ordered = true;
        return it;
    }
    iterator fromHashed(typename HashedStore::iterator pos)
    {
        iterator it;
        it.h = pos;
        it.s = sorted.end();
        it.ordered = false;
        return it;
    }
    const_iterator fromSorted(typename SortedStore::const_iterator pos) const
    {
        const_iterator it;
        it.s = pos;
        it.h = hashed.cend();
        it.ordered = true;
        return it;
    }
    const_iterator fromHashed(typename HashedStore::const_iterator pos) const
    {
        const_iterator it;
        it.h = pos;
        it.s = sorted.cend();
        it.ordered = false;
        return it;
    }

    HashedStore hashed;
    SortedStore sorted;
    bool ordered;
};
