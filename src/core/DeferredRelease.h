#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>

// Lets go of large structures on one background thread, in the order they
// are handed over, so that the thread that drops them (mostly the GUI
// thread) does not pay for freeing them. Only plain data that any thread
// may free is handed over: memory, and references counted atomically.
namespace deferredrelease {

// Runs `release` on the background thread (started with the first call).
// While the program ends, after the thread has been stopped, or when the
// system refuses to start the thread (or there is no memory to hand it
// over), it runs here. Throws nothing that `release` does not throw.
void post(std::function<void()> release);
// Returns once everything posted so far has run.
void waitForAll();

// Holds back the background thread while it lives (what it is freeing
// goes on): work that allocates much on several threads at once runs
// without the frees competing for the allocator. What is posted meanwhile
// runs once the last pause has ended, or for a waitForAll().
class Pause
{
public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
};

// A background thread and the releases handed to it: the functions above
// use the program's one.
class Releaser
{
public:
    Releaser();
    ~Releaser();
    Releaser(const Releaser&) = delete;
    Releaser& operator=(const Releaser&) = delete;

    static Releaser& instance();
    void post(std::function<void()> release);
    void wait();
    void pause(bool on);

private:
    struct State;
    void run();
    std::unique_ptr<State> d;
};

// Below this many references, freeing costs less than handing over.
constexpr std::size_t FEW = 4096;

// Frees `held`, which holds `count` references: on the background thread
// when they are not FEW, here otherwise (also when it cannot be handed
// over). Destructors may call it: it throws nothing.
template <typename T>
void release(std::unique_ptr<T> held, std::size_t count) noexcept
{
    if (!held || count < FEW)
        return;
    T* bulk = held.release();
    try {
        post([bulk]() { delete bulk; });
    } catch (...) {
        delete bulk;
    }
}

// Empties `value`, a container of `count` references whose swap throws
// nothing (QSet, QHash, std::vector), so that its contents are freed as
// release() frees a holder: on the background thread when they are not
// FEW, at once when they are or when no holder can be made. Dropping a
// set shared with others only drops a reference there, so that whichever
// holder lets go last, the freeing does not happen where it lets go.
template <typename T>
void releaseContents(T& value, std::size_t count) noexcept
{
    std::unique_ptr<T> held(count < FEW ? nullptr : new (std::nothrow) T);
    if (!held) {
        T gone;
        gone.swap(value);
        return;
    }
    held->swap(value);
    release(std::move(held), count);
}

} // namespace deferredrelease
