#pragma once

#include "core/TList.h"

#include <QSharedPointer>
#include <QString>
#include <QStringList>

class Packet;
class TVariant;
template <typename K, typename V> class THash;

// Builds events for tests from text rows.
class PacketRows
{
public:
    // One event whose column k is the value parsed from fields[k] (as the
    // import does: empty = absent, numbers, true/false, else a string).
    // Field 0 is kept as given; conversationId stays -1 unless given.
    static QSharedPointer<Packet> make(const QStringList& fields, int conversationId = -1,
                                       THash<QString, TVariant>* pool = nullptr);

    // Events read from CSV text (header line first, '\n' between lines)
    // through a CSVPacketStream, so column 0 is the running number. When
    // `conversationColumn` >= 0 each event's conversationId is the int value
    // of that column (-1 when it is absent). `header`, when given, receives
    // the stream's header.
    static TList<QSharedPointer<Packet>> fromCsv(const QString& text, int conversationColumn = -1,
                                                 QStringList* header = nullptr);

    // The values of one event as texts (TVariant::toString), columns
    // 0 .. columnCount - 1.
    static QStringList texts(const QSharedPointer<Packet>& packet);
};
