#include "events/ReloadEvent.h"

#include "events/EventType.h"

ReloadEvent::ReloadEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(RELOADEVENT)), sender(sender), args(args)
{
}
