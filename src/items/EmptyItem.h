#pragma once

#include "items/BinItem.h"

// A dashed placeholder box: 50 x 50, or 20 x 20 when small. Its mode draws
// the glyph without a brush.
class EmptyItem : public BinItem
{
public:
    EmptyItem(bool small, QWidget* owner);
    EmptyItem(const EmptyItem& other) = default;
    EmptyItem& operator=(const EmptyItem& other) = default;
};
