#pragma once

// The list interface. Unchecked: at(int) const and the non-const accessors;
// checked (std::out_of_range): first() const, last() const, operator[](int) const.
// Lists are never destroyed through this interface, hence the protected
// non-virtual destructor.
template <typename T>
class IList
{
public:
    virtual const T& at(int i) const = 0;
    virtual T& first() = 0;
    virtual const T& first() const = 0;
    virtual bool isEmpty() const = 0;
    virtual T& last() = 0;
    virtual void clear() = 0;
    virtual const T& last() const = 0;
    virtual int size() const = 0;
    virtual T& operator[](int i) = 0;
    virtual const T& operator[](int i) const = 0;

protected:
    IList() = default;
    IList(const IList&) = default;
    IList& operator=(const IList&) = default;
    ~IList() = default;
};
