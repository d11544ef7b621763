#pragma once

#include "core/IList.h"

#include <QList>
#include <QSet>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <vector>

// The one list of the system: a contiguous array behind the list interface.
// `items` is open: callers push_back, erase, assign and iterate it directly.
// The overrides are final, so calls through a TList (not an IList) bind
// statically and cost a plain vector access.
template <typename T>
class TList : public IList<T>
{
public:
    using value_type = T;
    using iterator = typename std::vector<T>::iterator;
    using const_iterator = typename std::vector<T>::const_iterator;

    TList() = default;
    TList(const TList&) = default;
    TList(TList&&) noexcept = default;
    TList& operator=(const TList&) = default;
    TList& operator=(TList&&) noexcept = default;
    ~TList() = default;

    TList(const QList<T>& list) : items(list.begin(), list.end()) {}
    TList(const QSet<T>& set) : items(set.begin(), set.end()) {}
    TList(std::initializer_list<T> init) : items(init) {}

    const T& at(int i) const override final { return items[std::size_t(i)]; }
    T& first() override final { return items.front(); }
    const T& first() const override final { return items.at(0); }
    bool isEmpty() const override final { return items.empty(); }
    T& last() override final { return items.back(); }
    void clear() override final { items.clear(); }
    // On an empty list the index is size - 1 as an unsigned number (18446744073709551615).
    const T& last() const override final { return items.at(items.size() - 1); }
    int size() const override final { return int(items.size()); }
    T& operator[](int i) override final { return items[std::size_t(i)]; }
    // A negative index becomes a huge unsigned one and is out of range.
    const T& operator[](int i) const override final { return items.at(std::size_t(i)); }

    void append(const T& value) { items.push_back(value); }

    // Appends copies of every element of other; other may be this very list
    // (its size is read once, so self-append doubles the list).
    void append(const IList<T>& other)
    {
        const int n = other.size();
        if (n <= 0)
            return;
        // Grows as push_back does: a list that receives many appends in
        // turn is copied a logarithmic number of times, not once an append.
        const std::size_t needed = items.size() + std::size_t(n);
        if (needed > items.capacity())
            items.reserve(std::max(needed, 2 * items.capacity()));
        for (int i = 0; i < n; ++i)
            items.push_back(other[i]);
    }

    void reverse()
    {
        const int n = size();
        for (int i = 0; i < n / 2; ++i)
            std::swap(items[std::size_t(i)], items[std::size_t(n - 1 - i)]);
    }

    // Elements pos .. pos + len - 1, cut at the end; len -1 means "to the end".
    // A position outside 0 .. size or a length below -1 gives an empty list.
    TList mid(int pos, int len = -1) const
    {
        TList result;
        const long long n = static_cast<long long>(items.size());
        if (pos < 0 || pos > n || len < -1)
            return result;
        long long end = n;
        if (len != -1 && static_cast<long long>(pos) + len < n)
            end = static_cast<long long>(pos) + len;
        result.items.assign(items.begin() + pos, items.begin() + static_cast<std::ptrdiff_t>(end));
        return result;
    }

    int indexOf(const T& value, int from = 0) const
    {
        const int n = size();
        for (int i = std::max(from, 0); i < n; ++i)
            if (items[std::size_t(i)] == value)
                return i;
        return -1;
    }

    bool contains(const T& value) const { return indexOf(value) >= 0; }

    // Removes the first element equal to value; later elements move up by one.
    bool removeOne(const T& value)
    {
        const int i = indexOf(value);
        if (i < 0)
            return false;
        items.erase(items.begin() + i);
        return true;
    }

    QList<T> toQList() const
    {
        QList<T> list;
        list.reserve(size());
        for (const T& v : items)
            list.append(v);
        return list;
    }

    iterator begin() { return items.begin(); }
    iterator end() { return items.end(); }
    const_iterator begin() const { return items.begin(); }
    const_iterator end() const { return items.end(); }
    const_iterator cbegin() const { return items.cbegin(); }
    const_iterator cend() const { return items.cend(); }

    std::vector<T> items;
};
