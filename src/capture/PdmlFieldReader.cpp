#include "capture/PdmlFieldReader.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDebug>
#include <QStringList>

#include <algorithm>

namespace {

const QString PACKET = QStringLiteral("packet");
const QString PROTO = QStringLiteral("proto");
const QString FIELD = QStringLiteral("field");
const QString NAME = QStringLiteral("name");

// Tokens read between two looks at the clock.
constexpr int TOKENS_PER_CHECK = 256;

} // namespace

PdmlFieldReader::PdmlFieldReader() = default;

void PdmlFieldReader::addData(const QByteArray& bytes)
{
    if (!ended && !bytes.isEmpty())
        reader.addData(bytes);
}

bool PdmlFieldReader::read(const QDeadlineTimer& deadline)
{
    int count = 0;
    while (!ended) {
        if (++count % TOKENS_PER_CHECK == 0 && deadline.hasExpired())
            return false;
        reader.readNext();
        if (reader.tokenType() == QXmlStreamReader::Invalid) {
            // Out of bytes: more may come, unless the document is over.
            if (reader.error() == QXmlStreamReader::PrematureEndOfDocumentError && !finished)
                return true;
            qDebug() << "PDML ends early:" << reader.errorString();
            ended = true;
            break;
        }
        if (reader.tokenType() == QXmlStreamReader::EndDocument) {
            ended = true;
            break;
        }
        if (!begun) {
            begun = true;
            continue;
        }
        take();
    }
    return true;
}

void PdmlFieldReader::finish()
{
    finished = true;
    // A document that stopped within itself ends at the next read.
}

void PdmlFieldReader::take()
{
    switch (state) {
    case Outside:
        if (reader.isStartElement() && reader.name() == PACKET) {
            visited.clear();
            state = InPacket;
        }
        return;
    case InPacket:
        if (reader.isEndElement() && reader.name() == PACKET) {
            ++packetCount;
            if (packetCount % 1000 == 0)
                qDebug() << "Packet" << packetCount;
            state = Outside;
        } else if (reader.isStartElement() && reader.name() == PROTO) {
            const QString protocol = reader.attributes().value(NAME).toString();
            // A protocol's later layers in the same packet are not read.
            if (!visited.contains(protocol)) {
                visited.insert(protocol);
                layer = &table[protocol];
                state = InLayer;
            }
        }
        return;
    case InLayer:
        // The token that ends the layer is passed over: a nested layer is
        // not read, nor is the rest of this one after it.
        if (!takeLayerToken(reader, *layer)) {
            layer = nullptr;
            state = InPacket;
        }
        return;
    }
}

bool PdmlFieldReader::takeLayerToken(const QXmlStreamReader& reader, QSet<QString>& fields)
{
    if ((reader.isStartElement() || reader.isEndElement()) && reader.name() == PROTO)
        return false;
    if (reader.isStartElement() && reader.name() == FIELD) {
        QString name = reader.attributes().value(NAME).toString();
        if (!name.isEmpty()) {
            if (!name.contains(QLatin1Char('.')))
                name.prepend(QStringLiteral("geninfo."));
            fields.insert(name);
        }
    }
    return true;
}

TList<QString> PdmlFieldReader::fields() const
{
    TList<QString> result;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.key().contains(QLatin1String("geninfo")))
            continue;
        QStringList names = it.value().values();
        std::sort(names.begin(), names.end());
        for (const QString& name : names)
            result.append(name);
    }
    return result;
}
