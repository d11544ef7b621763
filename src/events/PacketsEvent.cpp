#include "events/PacketsEvent.h"

#include "events/EventType.h"

PacketsEvent::PacketsEvent(QObject* sender, const TList<QSharedPointer<Packet>>& packets, const QList<QVariant>& args)
    : QEvent(toEventType(PACKETSEVENT)), sender(sender), packets(packets), args(args)
{
}

TList<QSharedPointer<Packet>> PacketsEvent::eventList() const
{
    TList<QSharedPointer<Packet>> list;
    list.items = events();
    return list;
}

const std::vector<QSharedPointer<Packet>>& PacketsEvent::events() const
{
    return !packets.isEmpty() || packetSet.isEmpty() ? packets.items : packetSet.values();
}

PacketSet PacketsEvent::eventSet() const
{
    if (packetSet.isEmpty() && !packets.isEmpty()) {
        packetSet.reserve(packets.size());
        for (const QSharedPointer<Packet>& p : packets.items)
            if (p)
                packetSet.insert(p);
    }
    return packetSet;
}
