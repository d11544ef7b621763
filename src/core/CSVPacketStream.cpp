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
    m_positions.assign(std::size_t(qMax(columns, 1)), 0u);
    // Field 0 is replaced by the running number of the event (a number,
    // which the pool never holds).
    m_positions[0] = m_values.add(TVariant(int(packetCount)));
    ++packetCount;
    if (available > 1) {
        m_values.prepare(m_views.data(), available, 0);
        m_values.texts(m_views.data(), available, &pool, m_positions.data(), 0, true);
    }
    return m_values.packet(m_positions.data(), int(m_positions.size()));
}
