#include "app/Application.h"

#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"

#include <QThread>

#include <atomic>
#include <cstdio>
#include <new>

namespace {

// The loop level of the delivery guarded last on this thread (-1: none):
// a delivery nested in it at the same level is not a boundary.
thread_local int guardedLevel = -1;

// A box of the backstop is due or shows.
std::atomic<bool> telling{false};

// The deliveries the last resort stopped.
std::atomic<unsigned long> stopped{0};

// The main window (or the active window, when there is none or no memory
// to look for it): the box shows over it.
QWidget* boxParent() noexcept
{
    try {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->isVisible() && qobject_cast<MainWindow*>(top))
                return top;
        }
    } catch (const std::bad_alloc&) {
    }
    return QApplication::activeWindow();
}

} // namespace

Application::Application(int& argc, char** argv)
    : QApplication(argc, argv)
{
    HandlerGuard::setTeller(&Application::outOfMemory);
}

unsigned long Application::backstops()
{
    return stopped.load();
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    return deliverGuarded(receiver, event, [](QObject* r, QEvent* e) {
        return static_cast<Application*>(QCoreApplication::instance())->QApplication::notify(r, e);
    });
}

bool Application::deliverGuarded(QObject* receiver, QEvent* event, Deliver deliver)
{
    // Events are delivered on their receiver's thread.
    QThread* thread = receiver ? receiver->thread() : nullptr;
    if (!thread)
        return deliver(receiver, event);
    // Without a loop running there is none to reach: the code that sent
    // the event (the window's building, before the loop starts) gets what
    // it throws, as a nested delivery's sender does.
    const int level = thread->loopLevel();
    if (level == 0 || level == guardedLevel)
        return deliver(receiver, event);
    const int outer = guardedLevel;
    guardedLevel = level;
    OnExit restore([outer]() { guardedLevel = outer; });
    try {
        return deliver(receiver, event);
    } catch (const std::bad_alloc&) {
        // A handler let its failure out: say which, without allocating.
        stopped.fetch_add(1);
        std::fprintf(stderr, "Out of memory: the last resort stopped event %d to %s %p\n", int(event->type()),
                     receiver->metaObject()->className(), static_cast<void*>(receiver));
        // Counted as a handler's failure: an operation that runs this loop
        // learns of it (HandlerGuard::failures()).
        HandlerGuard::failed();
        return false;
    }
}

void Application::outOfMemory() noexcept
{
    // One box at a time: a failure in every paint would raise one a paint.
    if (telling.exchange(true))
        return;
    try {
        // Later, from the application's own loop: the failing event may be
        // a paint, or on another thread, where no box can be made.
        QMetaObject::invokeMethod(QCoreApplication::instance(), &Application::tell, Qt::QueuedConnection);
    } catch (const std::bad_alloc&) {
        std::fputs("Out of memory: an action was stopped\n", stderr);
        telling.store(false);
    }
}

void Application::tell()
{
    OnExit done([]() { telling.store(false); });
    try {
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Out of memory"),
                          QStringLiteral("The program ran out of memory: the action was stopped. "
                                         "The window goes on."),
                          QMessageBox::Ok, boxParent());
    } catch (const std::bad_alloc&) {
        std::fputs("Out of memory: an action was stopped\n", stderr);
    }
}
