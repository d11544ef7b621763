#include "app/ReloadEvent.h"

#include "app/EventType.h"

ReloadEvent::ReloadEvent(QObject* sender, const QList<QVariant>& args)
    : QEvent(toEventType(RELOADEVENT)), sender(sender), args(args)
{
}
