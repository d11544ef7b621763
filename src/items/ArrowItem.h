#pragma once

#include "items/BinItem.h"

// An arrow between items (30 x 20); the glyph painter draws it in its mode.
class ArrowItem : public BinItem
{
public:
    explicit ArrowItem(QWidget* owner);
    ArrowItem(const ArrowItem& other) = default;
    ArrowItem& operator=(const ArrowItem& other) = default;
};
