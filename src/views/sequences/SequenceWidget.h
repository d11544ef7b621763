#pragma once

// Incomplete: a stand-in for the sequence view; it only shows its name.

#include "core/TList.h"
#include "views/events/GNode.h"

#include <QHash>
#include <QWidget>

class BinItem;
class ControlWidget;

class SequenceWidget : public QWidget
{
    Q_OBJECT

public:
    SequenceWidget(ControlWidget* owner, QWidget* parent);

    ControlWidget* owner;

    // Multiple sequence alignment (defined in SequenceAlignment.cpp): the
    // rows aligned along the guide tree of the event matrix's clustering,
    // in the tree's leaf order, gap glyphs "<dummy>" owned by the caller.
    static TList<TList<BinItem*>> computeAlignment(const TList<TList<BinItem*>>& sequences);
    // The aligned profile of the subtree under node; profiles holds the
    // profile of every leaf under its id.
    static TList<TList<BinItem*>> alignAlongTree(GNode<int>* node,
                                                 QHash<int, TList<TList<BinItem*>>>* profiles);

protected:
    void paintEvent(QPaintEvent* event) override;
};
