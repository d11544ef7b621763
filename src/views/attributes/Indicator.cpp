#include "views/attributes/Indicator.h"

#include <QBrush>
#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

Indicator::Indicator()
    : GraphicsItem(QPointF(0, 0), 5, 5)
{
}

void Indicator::paint(QPainter* painter, QPen& pen, QBrush& brush)
{
    QPainterPath path;
    path.moveTo(0.0, 0.0);
    path.lineTo(0.5, 1.0);
    path.lineTo(-0.5, 1.0);
    path.closeSubpath();

    const QColor grey(100, 100, 100);
    brush.setStyle(Qt::SolidPattern);
    brush.setColor(selected ? grey.darker(300) : grey);
    pen.setColor(Qt::black);
    pen.setWidth(0);
    pen.setStyle(highlighted ? Qt::SolidLine : Qt::NoPen);
    painter->setPen(pen);
    painter->setBrush(brush);
    painter->drawPath(path);
}
