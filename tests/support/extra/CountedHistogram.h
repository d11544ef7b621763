#pragma once

#include "core/Packet.h"
#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QSharedPointer>

// The histogram of one column counted the plain way, event by event: what a
// context's counting must come out as.
inline THash<TVariant, int> countedOneByOne(const TList<QSharedPointer<Packet>>& rows, int column,
                                            bool ordered)
{
    THash<TVariant, int> hist(ordered);
    for (const QSharedPointer<Packet>& p : rows.items) {
        const TVariant& v = p->get(column);
        if (v.isValid())
            ++hist[v];
    }
    return hist;
}
