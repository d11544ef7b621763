#include "events/FocusEvent.h"

#include "events/EventType.h"

FocusEvent::FocusEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(FOCUSEVENT)), sender(sender), args(args)
{
}
