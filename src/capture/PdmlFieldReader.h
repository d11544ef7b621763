#pragma once

#include "core/TList.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QXmlStreamReader>

class QByteArray;
class QDeadlineTimer;

// Reads the field names of a PDML document (tshark's -T pdml) as its bytes
// arrive, in pieces of any size, so that a dissection can be read while
// tshark still writes it and the reading can pause between pieces.
//
// Per packet the first layer ("proto") of each protocol is read: the names
// of its "field" elements, nested to any depth, up to the next "proto"
// element, which is passed over (so a nested layer and the rest of the
// layer after it are not read). A name without "." is read as
// "geninfo." + name. A document that breaks off or turns malformed gives
// what was read up to there.
class PdmlFieldReader
{
public:
    PdmlFieldReader();

    // Appends the next bytes of the document.
    void addData(const QByteArray& bytes);
    // Reads the bytes added so far. Returns false when `deadline` passed
    // first (call again to read on), true when they are all read or the
    // document has ended.
    bool read(const QDeadlineTimer& deadline);
    // No more bytes come: a document that is not complete ends here.
    void finish();
    // The document ended: complete, broken off after finish(), or malformed.
    bool atEnd() const { return ended; }

    // Packets begun so far.
    int packets() const { return packetCount; }
    // The field names read, protocol after protocol (in the table's own
    // order), each protocol's names sorted; the "geninfo" layers are left
    // out. A name read under two protocols is listed under both.
    TList<QString> fields() const;

    // One token of a protocol layer being read: adds the name of a "field"
    // start to `fields`. Returns false on a "proto" start or end, which ends
    // the layer.
    static bool takeLayerToken(const QXmlStreamReader& reader, QSet<QString>& fields);

private:
    enum State { Outside, InPacket, InLayer };

    void take();

    QXmlStreamReader reader;
    State state = Outside;
    // The document's first token (its start) is passed over unread.
    bool begun = false;
    bool ended = false;
    bool finished = false;
    int packetCount = 0;
    QHash<QString, QSet<QString>> table;
    // The protocols of the current packet whose first layer was read.
    QSet<QString> visited;
    // The names of the layer being read.
    QSet<QString>* layer = nullptr;
};
