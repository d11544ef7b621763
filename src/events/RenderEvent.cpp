#include "events/RenderEvent.h"

#include "events/EventType.h"

RenderEvent::RenderEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(RENDEREVENT)), sender(sender), args(args)
{
}
