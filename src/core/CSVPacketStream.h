#pragma once

#include "core/IPacketStream.h"
#include "core/TList.h"
#include "core/ValueInterner.h"

#include <QStringView>
#include <vector>

// The comma-separated event log: one event per line, one attribute per
// column. Fields are split at the header's separator with the shared record
// splitter (quotes toggle and are dropped, a quoted separator stays in its
// field). Field 0 is replaced by the event's running number; every event of
// one stream gets exactly as many base columns as the header names.
class CSVPacketStream : public IPacketStream
{
public:
    CSVPacketStream(QIODevice* device, const TList<QString>& header);
    ~CSVPacketStream() override;

    QSharedPointer<Packet> readPacket(const QString& line) override;

    int32_t packetCount = 0;   // events made so far

private:
    // Reused between lines: the fields of a quoted line, the fields as
    // views into the line, and the value positions of the event being made.
    QList<QString> m_fields;
    std::vector<QStringView> m_views;
    std::vector<quint32> m_positions;
    // Each distinct text of a column is parsed and stored once; the events
    // keep positions into the stream's value table.
    ValueInterner m_values;
};
