#pragma once

#include <utility>

// Calls `f` when it goes, also when an exception leaves its scope, unless
// dismissed first. `f` must not throw.
template <typename F>
class OnExit
{
public:
    explicit OnExit(F f) : f(std::move(f)) {}
    ~OnExit()
    {
        if (armed)
            f();
    }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

    void dismiss() { armed = false; }

private:
    F f;
    bool armed = true;
};
