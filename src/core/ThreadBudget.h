#pragma once

#include <cstddef>
#include <functional>

// How many threads a load may use for its reading and counting: at most
// four, or the number given in LUMIVANE_THREADS (1 reads and counts on
// one thread, record by record).
class ThreadBudget
{
public:
    static int count();
    // Runs part(k, from, to) for the parts k = 0 .. parts - 1 of the range
    // [0, size), each about as large, part 0 on the calling thread and
    // every other on a thread of its own; returns when all have ended.
    static void runInParts(std::size_t size, int parts,
                           const std::function<void(int, std::size_t, std::size_t)>& part);
};
