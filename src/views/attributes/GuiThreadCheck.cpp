#include "views/attributes/GuiThreadCheck.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

std::atomic<int> GuiThreadCheck::count{0};

bool GuiThreadCheck::onGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void GuiThreadCheck::check(const char* where)
{
    if (onGuiThread())
        return;
    count.fetch_add(1, std::memory_order_relaxed);
    qWarning().noquote() << "widget operation off the GUI thread:" << where;
}

int GuiThreadCheck::violations()
{
    return count.load(std::memory_order_relaxed);
}
