#include "core/CSVPacketStream.h"

#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/TList.h"

CSVPacketStream::CSVPacketStream(QIODevice* device, const TList<QString>& header)
    : IPacketStream(device, header)
{
}

CSVPacketStream::~CSVPacketStream() = default;

QSharedPointer<Packet> CSVPacketStream::readPacket(const QString& line)
{
    // Fields are read in place where the line holds no quote.
    RecordSplitter::split(line, m_separator, m_views, m_fields);
    const int fieldCount = int(m_views.size());

    // Every event of a log gets the header's number of base columns, so
    // that a column index means the same attribute in every event; without
    // a header the line's own fields are all there is.
    const int columns = m_header.isEmpty() ? fieldCount : m_header.size();
    const int available = qMin(columns, fieldCount);

    // Missing fields stay absent.
    std::vector<TVariant>& row = m_row.items;
    row.clear();
    row.resize(size_t(qMax(columns, 1)));
    // Field 0 is replaced by the running number of the event (a number,
    // which the pool never holds).
    row[0] = TVariant(int(packetCount));
    ++packetCount;
    if (available > 1)
        TVariant::fromTexts(m_views.data() + 1, available - 1, &pool, row.data() + 1);

    QSharedPointer<Packet> packet = QSharedPointer<Packet>::create(m_row);
    // The row keeps no texts alive between lines.
    row.clear();
    return packet;
}
