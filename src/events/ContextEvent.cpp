#include "events/ContextEvent.h"

#include "events/EventType.h"

ContextEvent::ContextEvent(QObject* sender, const QList<Context*>& contexts, const QList<QVariant>& args)
    : QEvent(toEventType(CONTEXTEVENT)), sender(sender), contexts(contexts), args(args)
{
}
