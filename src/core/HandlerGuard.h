#pragma once

#include <new>
#include <utility>

// Qt's code keeps no cleanup for an exception that passes through it: a
// paint that throws leaves its widget marked as painting for good, a loop
// that a handler's failure unwinds goes on as if the handler had run. So no
// std::bad_alloc leaves the program's own code into Qt's: every handler that
// Qt calls (an event override, a slot connected to a signal, a function
// handed to a timer or to invokeMethod) ends its own running out of memory.
//
// A handler with a rollback and a message of its own catches for itself.
// The others run their body through HandlerGuard:
//
//     void View::mousePressEvent(QMouseEvent* e)
//     {
//         HandlerGuard::run([&] { ... });
//     }
//
// The body must leave its data whole when it throws (the new built before
// the old is let go, or its operation marked failed). The user is then
// told, once while the box shows (the teller the application installs;
// stderr without one). A paint draws what it can, or nothing:
//
//     void View::paintEvent(QPaintEvent* e)
//     {
//         HandlerGuard::paint(this, [&] { QPainter p(this); ... });
//     }
//
// and tells once a widget until that widget paints whole again.
class HandlerGuard
{
public:
    // Runs f; false when it ran out of memory (then told).
    template <typename F>
    static bool run(F&& f) noexcept
    {
        try {
            std::forward<F>(f)();
            return true;
        } catch (const std::bad_alloc&) {
            failed();
            return false;
        }
    }

    // Runs the paint f of `widget`; false when it ran out of memory.
    template <typename F>
    static bool paint(const void* widget, F&& f) noexcept
    {
        try {
            std::forward<F>(f)();
            paintedWhole(widget);
            return true;
        } catch (const std::bad_alloc&) {
            paintFailed(widget);
            return false;
        }
    }

    // Counts a handler's running out of memory and tells the user. For a
    // handler that caught its failure itself and has no message of its own.
    static void failed() noexcept;
    // How many handlers have run out of memory in this process, the ones
    // that the application's last resort stopped included. An operation
    // that runs a loop of its own (QEventLoop::exec, processEvents, a
    // dialog's exec that its result depends on) fails as a whole when this
    // count grew while its loop ran.
    static unsigned long failures() noexcept;

    // Tells the user that an action ran out of memory and was stopped;
    // never throws, may be called on any thread.
    using Teller = void (*)() noexcept;
    static void setTeller(Teller teller) noexcept;

private:
    static void paintFailed(const void* widget) noexcept;
    static void paintedWhole(const void* widget) noexcept;
};
