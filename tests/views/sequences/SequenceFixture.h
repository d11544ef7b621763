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
#include "items/EmptyItem.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"

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

// A matrix cell over one trace with one event per kind in `kinds`, built
// under a rule that rewrites the events of kind `rewritten` into the empty
// glyph that the matrix's "Create rule.." leaves on the rewrite side when
// the analyst saves it unchanged. The store needs the event attribute
// "kind".
inline std::unique_ptr<BinCell> cellAfterEmptyRewrite(ControlWidget* control, const QStringList& kinds,
                                                      const QString& rewritten)
{
    auto* test = new ParseNode(ParseNode::Test);
    test->name = QStringLiteral("kind");
    test->op = ParseNode::Equal;
    test->value = TVariant(rewritten, false);
    auto* pre = new ParseNode(ParseNode::And);
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = QStringLiteral("WildCard");
    leaf->glyph.condition = test;  // the leaf owns it
    pre->addChild(leaf);
    auto* post = new ParseNode(ParseNode::And);
    auto* empty = new ParseNode(ParseNode::Leaf);
    empty->setGlyph(EmptyItem(false, nullptr));
    post->addChild(empty);
    control->glyphStore->rules.append(Rule(QStringLiteral("filter 0"), pre, post, true, true));

    auto cell = std::make_unique<BinCell>(control, nullptr, QStringLiteral("All"), nullptr);
    for (const QString& kind : kinds)
        cell->addPacket(fixture::makeEvent({kind, QStringLiteral("10.0.0.1")}, 0));
    cell->buildData(false);
    return cell;
}

} // namespace sequencefixture
