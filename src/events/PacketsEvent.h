#pragma once

#include <QEvent>
#include <QList>
#include <QSharedPointer>
#include <QVariant>

#include "core/TList.h"

class QObject;
class Packet;

// A set of events (a selection, or the events under the pointer); args holds
// the action: "select", optionally followed by "ctrl", or "hover".
class PacketsEvent : public QEvent
{
public:
    PacketsEvent(QObject* sender, const TList<QSharedPointer<Packet>>& packets, const QList<QVariant>& args = {});

    QObject* sender;
    TList<QSharedPointer<Packet>> packets;
    QList<QVariant> args;
};
