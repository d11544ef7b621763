#include "app/FocusEvent.h"

#include "app/EventType.h"

FocusEvent::FocusEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(FOCUSEVENT)), sender(sender), args(args)
{
}
