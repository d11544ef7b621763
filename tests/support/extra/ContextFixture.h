#pragma once

// Small builders for tests of the data model: events from text fields, a
// glyph store with given attribute kinds, and a context computed at once.

#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QList>
#include <QSharedPointer>
#include <QStringList>

namespace fixture {

using PacketPtr = QSharedPointer<Packet>;
using Packets = TList<QSharedPointer<Packet>>;

inline TVariant val(const QString& text)
{
    return TVariant(text, true, nullptr);
}

// One event from its fields (an empty field is absent) in trace `conv`.
inline PacketPtr makeEvent(const QStringList& fields, int conv = -1)
{
    TList<TVariant> row;
    for (const QString& f : fields)
        row.append(val(f));
    PacketPtr p(new Packet(row));
    p->conversationId = conv;
    return p;
}

// A store set up as a load does it: trace attributes, then the event
// attributes with their kinds (0 numeric, 1 range, 2 extra range, 3 text,
// 4 key).
inline GlyphStore* makeStore(const QStringList& names, const QList<int>& kinds)
{
    GlyphStore* store = new GlyphStore;
    store->resetConversationAttributes();
    store->setAttributes(TList<QString>(names), TList<int>(kinds));
    return store;
}

inline Packets list(const QList<PacketPtr>& events)
{
    return Packets(events);
}

} // namespace fixture
