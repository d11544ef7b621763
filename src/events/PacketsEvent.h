#pragma once

#include <QEvent>
#include <QList>
#include <QSharedPointer>
#include <QVariant>

#include "core/FlatSet.h"
#include "core/TList.h"

class QObject;
class Packet;

// A set of events (a selection, or the events under the pointer); args holds
// the action: "select", optionally followed by "ctrl", or "hover".
//
// The events come as the list packets; a sender that keeps them as a set
// anyway (the event matrix) also gives that set in packetSet, so that
// receivers that need a set share it instead of building one from the list
// of hundreds of thousands of events. Receivers may read the events through
// eventList() or eventSet(), which serve either form.
class PacketsEvent : public QEvent
{
public:
    PacketsEvent(QObject* sender, const TList<QSharedPointer<Packet>>& packets, const QList<QVariant>& args = {});

    // The events as a list: packets, or those of packetSet in its order.
    TList<QSharedPointer<Packet>> eventList() const;
    // The same without a copy.
    const std::vector<QSharedPointer<Packet>>& events() const;
    // The events as a set without null events: packetSet, or a set made
    // once from packets and kept for the next receiver.
    PacketSet eventSet() const;

    QObject* sender;
    TList<QSharedPointer<Packet>> packets;
    QList<QVariant> args;
    // Set by a sender that also gives the events as a set, or by the first
    // eventSet().
    mutable PacketSet packetSet;
};
