#pragma once

// This executable's operator new can be told to fail: the n-th allocation
// after arming, counted over every thread, throws std::bad_alloc (the
// nothrow forms return null), once, on whichever thread makes it; every
// other allocation is served by malloc. With work on several threads the
// n-th allocation is not always the same one from run to run. An allocation
// inside Qt's own constructor of a widget is not failed (that constructor
// cannot recover from it): the next one is.
namespace failingnew {

// Arms the failure of the n-th allocation from now on (n >= 1), on any thread.
void failAt(long n);
// Disarms; returns whether the armed allocation was reached and failed.
bool disarm();
// Allocations counted on every thread since the last failAt.
long counted();

// From now on the allocations that code of a loaded shared library whose
// file name contains `name` makes itself are neither counted nor failed.
// Qt's own code, for one, does not recover from an allocation that fails
// (a widget whose constructor throws stays in the lists of widgets): a
// sweep of the program's code spares it. Call it before arming, once per
// library; returns whether such a library is loaded.
bool spareCallersIn(const char* name);

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
