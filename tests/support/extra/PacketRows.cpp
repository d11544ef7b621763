#include "PacketRows.h"

#include "core/CSVPacketStream.h"
#include "core/Packet.h"
#include "core/THash.h"
#include "core/TVariant.h"

#include <QBuffer>

QSharedPointer<Packet> PacketRows::make(const QStringList& fields, int conversationId,
                                        THash<QString, TVariant>* pool)
{
    TList<TVariant> row;
    for (const QString& field : fields)
        row.append(TVariant(field, true, pool));
    auto packet = QSharedPointer<Packet>::create(row);
    packet->conversationId = conversationId;
    return packet;
}

TList<QSharedPointer<Packet>> PacketRows::fromCsv(const QString& text, int conversationColumn,
                                                  QStringList* header)
{
    QByteArray bytes = text.toUtf8();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    CSVPacketStream stream(&buffer, TList<QString>());
    if (header)
        *header = stream.header();
    TList<QSharedPointer<Packet>> packets;
    while (!stream.atEnd()) {
        QSharedPointer<Packet> packet = stream.readPacket(stream.readLine());
        if (conversationColumn >= 0) {
            const TVariant& v = packet->get(conversationColumn);
            packet->conversationId = v.isValid() ? v.toInt() : -1;
        }
        packets.append(packet);
    }
    return packets;
}

QStringList PacketRows::texts(const QSharedPointer<Packet>& packet)
{
    QStringList result;
    if (!packet)
        return result;
    const int n = packet->columnCount();
    for (int i = 0; i < n; ++i)
        result.append(packet->get(i).toString());
    return result;
}
