#include "model/ContextWorker.h"

#include "model/Context.h"

#include <QDebug>

#include <new>

ContextWorker::ContextWorker(Context* context)
    : QObject(nullptr), context(context)
{
}

void ContextWorker::loadData()
{
    if (!context)
        return;
    try {
        context->createConversations();
        if (context->cancelled)
            qDebug() << "Canceled";
        else
            qDebug() << "Done";
    } catch (const std::bad_alloc&) {
        outOfMemory.store(true);
    }
}

void ContextWorker::cancel()
{
    if (context)
        context->cancelled = true;
}
