#include "app/AttributeEvent.h"

#include "app/EventType.h"

AttributeEvent::AttributeEvent(QObject* sender)
    : QEvent(toEventType(ATTRIBUTEEVENT)), sender(sender)
{
}
