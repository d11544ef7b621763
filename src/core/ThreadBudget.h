#pragma once

#include <cstddef>
#include <functional>

// How many threads the program's work split into parts runs on at once:
// the machine's cores up to eight, or the number given in LUMIVANE_THREADS
// (1 runs every part on the calling thread, in order).
//
// The threads beyond the caller are helpers shared by the whole process,
// count() - 1 of them at most running parts at once, however the calls
// nest: a part that splits its own work into parts runs them itself, and
// a helper that is free takes some of them.
class ThreadBudget
{
public:
    static int count();

    // Runs part(k, from, to) for the parts k = 0 .. parts - 1 of the range
    // [0, size), each about as large: the calling thread takes parts in
    // order, and the helpers that are free take some too. Parts must not
    // wait for one another: any of them may run after any other, on one
    // thread. Returns when every part taken has ended. When a part throws,
    // no further part starts and the first exception is thrown here once
    // the parts already running have ended. A helper the system refuses to
    // start leaves its parts to the threads there are.
    static void runInParts(std::size_t size, int parts,
                           const std::function<void(int, std::size_t, std::size_t)>& part);

    // For tests: the part that starts after `parts` more have started
    // throws std::bad_alloc instead of running; -1: none does.
    static void failPartAfter(int parts);

    // Parts handed to the helpers while the caller goes on with other work
    // (which may run parts of its own); finish() then takes the parts no
    // helper has taken, waits for the others and throws the first
    // exception of a part. Without finish(), the destructor does the same
    // but drops the exception.
    class Background
    {
    public:
        Background(std::size_t size, int parts, std::function<void(int, std::size_t, std::size_t)> part);
        ~Background();
        Background(const Background&) = delete;
        Background& operator=(const Background&) = delete;
        void finish();

        struct Job;

    private:
        Job* job;
    };

    // Helper slots of the budget for work that runs threads of its own:
    // takes up to `wanted` of the slots free now, and gives them back when
    // it goes (or with giveBack, for threads it could not start).
    class Slots
    {
    public:
        explicit Slots(int wanted);
        ~Slots();
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        int count() const { return taken; }
        void giveBack(int count);

    private:
        int taken;
    };
};
