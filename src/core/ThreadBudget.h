#pragma once

// How many threads a load may use for its reading and counting: at most
// four, or the number given in LUMIVANE_THREADS (1 reads and counts on
// one thread, record by record).
class ThreadBudget
{
public:
    static int count();
};
