#pragma once

#include <functional>

// Lets go of large structures on one background thread, in the order they
// are handed over, so that the thread that drops them (mostly the GUI
// thread) does not pay for freeing them. Only plain data that any thread
// may free is handed over: memory, and references counted atomically.
namespace deferredrelease {

// Runs `release` on the background thread (started with the first call).
// While the program ends, after the thread has been stopped, it runs here.
void post(std::function<void()> release);
// Returns once everything posted so far has run.
void waitForAll();

} // namespace deferredrelease
