#pragma once

// This executable's operator new can be told to fail: the n-th allocation
// made on the arming thread after arming throws std::bad_alloc (the nothrow
// forms return null), once; every other allocation is served by malloc.
// Allocations of other threads are never failed nor counted. An allocation
// inside Qt's own constructor of a widget is not failed (that constructor
// cannot recover from it): the next one is.
namespace failingnew {

// Arms the failure of the n-th allocation from now on (n >= 1) on this thread.
void failAt(long n);
// Disarms; returns whether the armed allocation was reached and failed.
bool disarm();
// Allocations counted on this thread since the last failAt.
long counted();

// Arms on construction, disarms when it goes; `hit()` tells whether the
// failure happened.
class FailAt
{
public:
    explicit FailAt(long n) { failAt(n); }
    ~FailAt() { stop(); }
    FailAt(const FailAt&) = delete;
    FailAt& operator=(const FailAt&) = delete;

    bool stop()
    {
        if (armed) {
            armed = false;
            failed = disarm();
        }
        return failed;
    }
    bool hit() const { return failed; }

private:
    bool armed = true;
    bool failed = false;
};

} // namespace failingnew
