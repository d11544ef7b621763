#include "views/events/SortTriangle.h"

#include "core/Constants.h"

#include <QBrush>
#include <QPainter>
#include <QPen>
#include <QPolygon>

SortTriangle::SortTriangle(ControlWidget* owner, SequenceWidget* view)
    : GraphicsItem(QPointF(0, 0), 5, 5)
    , view(view)
    , owner(owner)
{
}

void SortTriangle::mousePress(QMouseEvent*)
{
}

void SortTriangle::paint(QPainter* painter, QPen& pen, QBrush& brush)
{
    painter->save();
    painter->translate(x, y);

    pen.setStyle(Qt::SolidLine);
    pen.setColor(highlighted ? HOVER_COLOR : EDGE_COLOR);
    painter->setPen(pen);
    if (state == 2) {
        painter->setBrush(Qt::NoBrush);
    } else {
        brush.setStyle(Qt::SolidPattern);
        brush.setColor(EDGE_COLOR);
        painter->setBrush(brush);
    }

    const double w = width();
    const double third = w / 3;
    int a;
    if (third <= 1)
        a = 1;
    else if (third > 3)
        a = 3;
    else
        a = int(third);
    const int s = int(w - 2 * a);
    const int apex = a + s / 2;
    const int h = int(height());

    const QPolygon down({QPoint(a, 0), QPoint(a + s, 0), QPoint(apex, h), QPoint(a, 0)});
    const QPolygon up({QPoint(a, h), QPoint(a + s, h), QPoint(apex, 0), QPoint(a, h)});
    if (state == 0) {
        painter->drawPolygon(down);
    } else if (state == 1) {
        painter->drawPolygon(up);
    } else {
        painter->drawPolygon(down);
        painter->drawPolygon(up);
    }
    painter->restore();
}
