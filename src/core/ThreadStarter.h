#pragma once

#include <functional>
#include <thread>

// Starts the program's own helper threads. The system may refuse a thread
// (std::system_error) when it has no room for another one: the callers
// carry on without it. A test may have the next starts refused so.
class ThreadStarter
{
public:
    static std::thread start(std::function<void()> body);
    // The next `starts` starts throw std::system_error (0: none); returns
    // how many refusals were still to come.
    static int refuseNext(int starts);
};
