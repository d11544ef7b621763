#include "events/PacketsEvent.h"

#include "events/EventType.h"

PacketsEvent::PacketsEvent(QObject* sender, const TList<QSharedPointer<Packet>>& packets, const QList<QVariant>& args)
    : QEvent(toEventType(PACKETSEVENT)), sender(sender), packets(packets), args(args)
{
}
