#include "app/ScrollEvent.h"

#include "app/EventType.h"

ScrollEvent::ScrollEvent(QObject* sender, int offset, const QList<QVariant>& args)
    : QEvent(toEventType(SCROLLEVENT)), sender(sender), offset(offset), args(args)
{
}
