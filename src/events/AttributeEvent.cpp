#include "events/AttributeEvent.h"

#include "events/EventType.h"

AttributeEvent::AttributeEvent(QObject* sender)
    : QEvent(toEventType(ATTRIBUTEEVENT)), sender(sender)
{
}
