#pragma once

#include <QString>

#include <functional>

// Sweeps the failure of every allocation of an action: attempt(n) sets up
// what it needs, runs the action with its n-th allocation failing
// (failingnew::FailAt) and checks what is left; it returns whether the
// failure was reached. The sweep goes n = 1, 2, ... until an attempt runs
// through without reaching it, and returns the number of failure points
// reached. With `points` > 0 (or, when `points` is -1, SWEEP_POINTS=M in
// the environment) it visits about that many points spread evenly over
// the allocations of the action, which a first attempt that fails none
// (attempt(LONG_MAX)) counts; SWEEP_ALL=1 visits every point whatever is
// asked. Allocations are counted on every thread (failingnew).
//
// A watchdog ends the process with the action's name and the failure
// point when one attempt takes longer than SWEEP_STALL_SECONDS (default
// 300): a lock left held hangs the next attempt, and the stack dump of a
// hang is of little use without the point that caused it. SWEEP_FROM=N
// starts at the N-th allocation, SWEEP_TO=N stops after it; FAILINGNEW_TRACE=1 prints the stack of each
// failed allocation. Built with AddressSanitizer, the sweep fails the test
// when its failures leave memory unfreed (SWEEP_LEAK_CHECK=each: looked
// for after every point, which names it). A point whose failure reaches the
// application's last resort (Application::notify) fails the test: every
// handler that Qt calls ends its own failure.
namespace sweep {

long run(const QString& action, const std::function<bool(long n)>& attempt, long points = -1);

// Fails the test with `what`; returns false, for an attempt to return.
bool fail(const QString& what);

// Qt's own libraries spared (see failingnew::spareCallersIn), the core one
// unless told not to; fails the test when one is not loaded.
void spareQt(bool core = true);

} // namespace sweep
