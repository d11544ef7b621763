#pragma once

#include <QtGlobal>

#include <atomic>

// Debug builds count every call of a widget operation of the attribute
// views that happens off the GUI thread (the histogram jobs run on a pool
// and must leave the widgets alone). Release builds compile the check away.
class GuiThreadCheck
{
public:
    // Whether the calling thread is the application's GUI thread (true
    // when no application object exists yet).
    static bool onGuiThread();
    // Counts and logs a call of `where` made off the GUI thread.
    static void check(const char* where);
    // Calls counted by check() since the start of the process.
    static int violations();

private:
    static std::atomic<int> count;
};

#ifndef QT_NO_DEBUG
#define LUMIVANE_GUI_THREAD_ONLY() GuiThreadCheck::check(Q_FUNC_INFO)
#else
#define LUMIVANE_GUI_THREAD_ONLY() ((void)0)
#endif
