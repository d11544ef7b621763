#pragma once

// Glyph sequences as an event matrix sends them: items named by letters,
// one event each, the same glyph id for the same name, owned by the test
// (as the matrix owns its items), and a controller whose store knows the
// events' one attribute "kind".

#include "ContextFixture.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "items/BinItem.h"
#include "model/GlyphStore.h"

#include <QColor>
#include <QHash>
#include <QStringList>

#include <memory>
#include <vector>

namespace sequencefixture {

using Rows = TList<TList<BinItem*>>;
using PacketPtr = QSharedPointer<Packet>;

class Glyphs
{
public:
    Glyphs() : control(new ControlWidget(nullptr))
    {
        delete control->glyphStore;
        control->glyphStore = fixture::makeStore({QStringLiteral("kind"), QStringLiteral("ip.dst")}, {3, 3});
    }

    ~Glyphs() { clear(); }

    // One item named `name` (an empty name too) with one event whose kind is
    // the name, or `kind` when given.
    BinItem* item(const QString& name, const QString& kind = QString())
    {
        auto* item = new BinItem(nullptr, nullptr);
        item->name = name;
        item->label = name;
        if (!ids.contains(name))
            ids.insert(name, ids.size() + 1);
        item->id = ids.value(name);
        item->fillColor = QColor::fromHsv((item->id * 47) % 360, 120, 230);
        const QString value = kind.isEmpty() ? name : kind;
        PacketPtr event = fixture::makeEvent({value, QStringLiteral("10.0.0.") + QString::number(item->id)},
                                             int(events.size()));
        events.push_back(event);
        item->packets.append(event);
        item->totalCount = 1;
        owned.push_back(item);
        return item;
    }

    // "A B C" -> three items; "_" stands for an empty name.
    TList<BinItem*> sequence(const QString& names)
    {
        TList<BinItem*> seq;
        for (const QString& name : names.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            seq.append(item(name == QLatin1String("_") ? QString() : name));
        return seq;
    }

    Rows rows(const QStringList& sequences)
    {
        Rows result;
        for (const QString& s : sequences)
            result.append(sequence(s));
        return result;
    }

    // Deletes every item, as the matrix does at a rebuild.
    void clear()
    {
        for (BinItem* item : owned)
            delete item;
        owned.clear();
    }

    std::unique_ptr<ControlWidget> control;
    QHash<QString, int> ids;
    std::vector<BinItem*> owned;
    std::vector<PacketPtr> events;
};

} // namespace sequencefixture
