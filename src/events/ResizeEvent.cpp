#include "events/ResizeEvent.h"

#include "events/EventType.h"

ResizeEvent::ResizeEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(RESIZEEVENT)), sender(sender), args(args)
{
}
