#include "items/ArrowItem.h"

ArrowItem::ArrowItem(QWidget* owner)
    : BinItem(nullptr, owner)
{
    mode = ARROW;
    storedWidth = 30;
    storedHeight = 20;
}
