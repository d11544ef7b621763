#include "items/GraphicsItem.h"

GraphicsItem::GraphicsItem(const QPointF& pos, int width, int height)
    : x(pos.x()), y(pos.y()), selected(false), highlighted(false),
      storedWidth(width), storedHeight(height)
{
}

GraphicsItem::~GraphicsItem() = default;

double GraphicsItem::left() const { return x; }
double GraphicsItem::right() const { return x + storedWidth; }
double GraphicsItem::top() const { return y; }
double GraphicsItem::bottom() const { return y + storedHeight; }
double GraphicsItem::centerY() const { return y + 0.5 * storedHeight; }
double GraphicsItem::centerX() const { return x + 0.5 * storedWidth; }
double GraphicsItem::width() const { return storedWidth; }
double GraphicsItem::height() const { return storedHeight; }

void GraphicsItem::paint(QPainter*, QPen&, QBrush&)
{
}

bool GraphicsItem::contains(int px, int py) const
{
    return left() <= px && px <= right() && top() <= py && py <= bottom();
}
