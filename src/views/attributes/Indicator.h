#pragma once

#include "items/GraphicsItem.h"

// A handle of the range slider: a small grey triangle whose apex sits at the
// item's position and points up at the slider's bar. The slider scales the
// painter to the handle's size, so paint() draws in item units. The first
// state flag (selected) marks a grabbed handle, the second (highlighted) a
// hovered one.
class Indicator : public GraphicsItem
{
public:
    Indicator();

    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;
};
