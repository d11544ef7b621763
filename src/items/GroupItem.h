#pragma once

#include "core/TList.h"
#include "items/BinItem.h"

// A flat coloured bar that replaces a run of glyphs in a row and stands for
// all their events. Its segments are one per item in the items' colours, or
// one per glyph name with a width proportional to how often it occurs.
// The items stay with the cell: a group never deletes them and must not
// outlive them.
class GroupItem : public BinItem
{
public:
    GroupItem(const TList<BinItem*>& items, bool byName, bool centred, QWidget* owner);

    // Fills the segments; no edge, label or selection outline.
    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;

    TList<BinItem*> items;
    // Positions relative to the group, in drawing order.
    TList<BinItem> segments;
    bool byName;
};
