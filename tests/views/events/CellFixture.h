#pragma once

// Builders for the matrix-cell tests: a control widget that holds a glyph
// store with three event attributes (time, kind, size), events of given
// traces, glyphs and rules over the kind, and a text form of a cell's rows.

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "items/BinItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"

#include <QSharedPointer>
#include <QStringList>

#include <memory>

namespace cellfixture {

using PacketPtr = QSharedPointer<Packet>;

// Columns of the events.
constexpr int TIME = 0;
constexpr int KIND = 1;
constexpr int SIZE = 2;

inline PacketPtr makeEvent(int trace, const QString& kind, double time = 100.0, double size = 1.0)
{
    PacketPtr p(new Packet(TList<TVariant>{TVariant(time), TVariant(kind, false), TVariant(size)}));
    p->conversationId = trace;
    return p;
}

// One event per letter of `kinds`, in trace `trace`, times 100, 101, ...
inline TList<PacketPtr> trace(int trace, const QString& kinds, double firstTime = 100.0)
{
    TList<PacketPtr> events;
    for (int i = 0; i < kinds.size(); ++i)
        events.append(makeEvent(trace, QString(kinds.at(i)), firstTime + i));
    return events;
}

// A glyph leaf that holds for every event of kind `kind` (a wild card with
// a condition), or for items named `name` when kind is empty.
inline ParseNode* kindLeaf(const QString& kind, const QString& name = QStringLiteral("WildCard"))
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    if (!kind.isEmpty()) {
        auto* test = new ParseNode(ParseNode::Test);
        test->name = QStringLiteral("kind");
        test->op = ParseNode::Equal;
        test->value = TVariant(kind, false);
        leaf->glyph.condition = test;   // the leaf owns it
    }
    return leaf;
}

inline ParseNode* nameLeaf(const QString& name)
{
    return kindLeaf(QString(), name);
}

inline ParseNode* sequence(std::initializer_list<ParseNode*> children)
{
    auto* root = new ParseNode(ParseNode::And);
    for (ParseNode* child : children)
        root->addChild(child);
    return root;
}

// The rewrite tree of one glyph.
inline ParseNode* rewrite(const QString& name, int id, int mode = NORMAL)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    leaf->glyph.id = id;
    leaf->glyph.mode = mode;
    return sequence({leaf});
}

inline ParseNode* deletion()
{
    return rewrite(QStringLiteral("DeleteItem"), 1, DELETE);
}

class Fixture
{
public:
    Fixture()
        : control(new ControlWidget(nullptr))
    {
        store()->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("kind"),
                                              QStringLiteral("size")},
                               TList<int>{0, 3, 0});
    }

    GlyphStore* store() const { return control->glyphStore; }

    // A cell with no Qt parent, as the matrix makes them.
    std::unique_ptr<BinCell> cell(const QString& title = QStringLiteral("All"))
    {
        return std::make_unique<BinCell>(control.get(), nullptr, title, nullptr);
    }

    void addRule(const QString& name, ParseNode* pre, ParseNode* post, bool match = true, bool visible = true)
    {
        store()->rules.append(Rule(name, pre, post, match, visible));
    }

    std::unique_ptr<ControlWidget> control;
};

inline QString itemText(const BinItem* item)
{
    if (!item)
        return QStringLiteral("null");
    return item->name + QLatin1Char('/') + item->label + QLatin1Char('/') + QString::number(item->totalCount);
}

// Rows as "name/label/count" items joined by ",", rows joined by " | ".
inline QString rowsText(const TList<TList<BinItem*>>& rows)
{
    QStringList out;
    for (const TList<BinItem*>& row : rows) {
        QStringList items;
        for (const BinItem* item : row)
            items.append(itemText(item));
        out.append(items.join(QLatin1Char(',')));
    }
    return out.join(QStringLiteral(" | "));
}

inline QString childNames(const BinItem* item)
{
    QStringList names;
    for (const BinItem& child : item->children)
        names.append(child.name);
    return names.join(QLatin1Char(','));
}

// A row of free-standing items with the given ids (children in brackets:
// "7,12[3;5]"), owned by the caller through `store`.
inline TList<BinItem*> idRow(const QString& spec, std::vector<std::unique_ptr<BinItem>>& store)
{
    TList<BinItem*> row;
    for (const QString& part : spec.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        auto item = std::make_unique<BinItem>(nullptr, nullptr);
        const int open = part.indexOf(QLatin1Char('['));
        item->id = part.left(open).toInt();
        if (open >= 0) {
            const QString inner = part.mid(open + 1, part.size() - open - 2);
            for (const QString& c : inner.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                BinItem child(nullptr, nullptr);
                child.id = c.toInt();
                item->children.append(child);
            }
        }
        row.append(item.get());
        store.push_back(std::move(item));
    }
    return row;
}

} // namespace cellfixture
