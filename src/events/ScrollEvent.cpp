#include "events/ScrollEvent.h"

#include "events/EventType.h"

ScrollEvent::ScrollEvent(QObject* sender, int offset, const QList<QVariant>& args)
    : QEvent(toEventType(SCROLLEVENT)), sender(sender), offset(offset), args(args)
{
}
