#pragma once

#include "items/BinItem.h"

// A piece of text in a row: a label, or a bracket drawn as a curve when the
// text is "(" or ")".
class TextItem : public BinItem
{
public:
    TextItem(const QString& text, bool framed, QWidget* owner);
    TextItem(const TextItem& other) = default;
    TextItem& operator=(const TextItem& other) = default;

    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;

    bool framed = false;  // draw a frame in the selection colour when selected
};
