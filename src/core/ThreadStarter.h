#pragma once

#include <functional>
#include <thread>

class QThread;

// Starts the program's own helper threads. The system may refuse a thread
// (std::system_error) when it has no room for another one: the callers
// carry on without it. A test may have the next starts refused so.
class ThreadStarter
{
public:
    static std::thread start(std::function<void()> body);
    // Starts the QThread; false when the system refused it (or a test had
    // the start refused): the thread then never runs, and the caller does
    // its work another way.
    static bool start(QThread* thread);
    // The next `starts` starts throw std::system_error, or return false for
    // a QThread (0: none); returns how many refusals were still to come.
    static int refuseNext(int starts);
};
