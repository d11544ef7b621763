#include "core/CSVPacketStream.h"

#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/TList.h"

namespace {

// Whether a field may read as a number: only digits, signs, exponent
// letters and at most one point. Such fields are parsed before the pool
// is asked, because the pool never holds a text that reads as a number (it
// keeps strings only) and a lookup that is bound to miss costs more than
// the whole parse. Texts like addresses ("10.0.0.1") are not candidates.
bool numberCandidate(const QString& field)
{
    int points = 0;
    for (const QChar c : field) {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9')
            continue;
        if (u == '.') {
            if (++points > 1)
                return false;
            continue;
        }
        if (u != '-' && u != '+' && u != 'e' && u != 'E')
            return false;
    }
    return !field.isEmpty();
}

} // namespace

CSVPacketStream::CSVPacketStream(QIODevice* device, const TList<QString>& header)
    : IPacketStream(device, header)
{
}

CSVPacketStream::~CSVPacketStream() = default;

QSharedPointer<Packet> CSVPacketStream::readPacket(const QString& line)
{
    RecordSplitter::split(line, m_separator, m_fields);

    // Every event of a log gets the header's number of base columns, so
    // that a column index means the same attribute in every event; without
    // a header the line's own fields are all there is.
    const int columns = m_header.isEmpty() ? m_fields.size() : m_header.size();
    const int available = qMin(columns, m_fields.size());

    TList<TVariant> row;
    row.items.reserve(size_t(qMax(columns, 1)));
    // Field 0 is replaced by the running number of the event (a number,
    // which the pool never holds).
    row.items.emplace_back(int(packetCount));
    ++packetCount;
    for (int k = 1; k < available; ++k) {
        const QString& field = m_fields.at(k);
        if (field.isEmpty()) {
            // The pool maps the empty text to the absent value.
            row.items.emplace_back();
            continue;
        }
        if (numberCandidate(field)) {
            TVariant number(field, true, nullptr);
            if (number.type != TVariant::String) {
                row.items.push_back(std::move(number));
                continue;
            }
        }
        row.items.emplace_back(field, true, &pool);
    }
    for (int k = qMax(available, 1); k < columns; ++k)
        row.items.emplace_back();

    return QSharedPointer<Packet>::create(row);
}
