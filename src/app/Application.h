#pragma once

#include <QApplication>

class QEvent;
class QObject;

// The program's application object. Every handler that Qt calls ends its
// own running out of memory (HandlerGuard), and the application tells the
// user of it. Its notify() is a last resort behind them, which should never
// catch anything: a
// std::bad_alloc that would reach an event loop ends the delivery of that
// one event instead, the user is told once that the action ran out of
// memory and was stopped, the receiver and the event are named on stderr,
// and the loop goes on. Every other exception passes as before.
//
// The boundary is the delivery that a running event loop makes (a posted
// event, a timer, what the window system sends, and what Qt sends on its
// way to a widget), on any thread. A delivery nested in another one of the
// same loop on the same thread (an event the program sends to a view with
// sendEvent, a resize or paint that Qt sends while a handler works) lets
// the exception go back to the code that sent it: that code catches it
// where it knows how to put its data back, or lets it go on to the loop's
// delivery. A dialog's own loop (exec()) is a loop of its own, with its own
// boundary. Before any loop runs (main() building the window) nothing is
// caught here.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    using Deliver = bool (*)(QObject* receiver, QEvent* event);
    // Delivers `event` to `receiver` through `deliver` (what the base
    // class's notify() does) behind the boundary above: returns what
    // `deliver` returns, or false when the delivery ran out of memory and
    // was stopped here. Then one box (MessageAsker) tells of it, over the
    // main window, once the event loop gets to it; no other box of this
    // kind is raised while one shows, and none at all when there is no
    // memory for it (a line on stderr says so).
    static bool deliverGuarded(QObject* receiver, QEvent* event, Deliver deliver);
    // How many deliveries the last resort has stopped in this process.
    static unsigned long backstops();

private:
    // Tells the user, on the application's thread, unless a box of this
    // kind shows already.
    static void outOfMemory() noexcept;
    static void tell();
};
