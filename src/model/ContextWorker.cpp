#include "model/ContextWorker.h"

#include "model/Context.h"

#include <QDebug>

ContextWorker::ContextWorker(Context* context)
    : QObject(nullptr), context(context)
{
}

void ContextWorker::loadData()
{
    if (!context)
        return;
    context->createConversations();
    if (context->cancelled)
        qDebug() << "Canceled";
    else
        qDebug() << "Done";
}

void ContextWorker::cancel()
{
    if (context)
        context->cancelled = true;
}
