#pragma once

// Sets a process-wide value for the length of a test.
template <typename T>
struct Restore
{
    Restore(T& variable, T value) : variable(variable), old(variable) { variable = value; }
    ~Restore() { variable = old; }
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;
    T& variable;
    T old;
};
