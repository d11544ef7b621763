#include "items/EmptyItem.h"

#include "core/Constants.h"

EmptyItem::EmptyItem(bool small, QWidget* owner)
    : BinItem(nullptr, owner)
{
    fillColor = Qt::transparent;
    edgeColor = EDGE_COLOR;
    edgeWidth = 1;
    edgeStyle = 1;
    if (small) {
        storedWidth = 20;
        storedHeight = 20;
        mode = EMPTYSMALL;
    } else {
        storedWidth = 50;
        storedHeight = 50;
        mode = EMPTY;
    }
}
