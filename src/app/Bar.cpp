#include "app/Bar.h"

#include "core/Constants.h"
#include "core/HandlerGuard.h"

#include <QPainter>

#include <cmath>

Bar::Bar(double value, int mode, QWidget* parent)
    : QWidget(parent)
    , value(value)
    , mode(mode)
{
    setMouseTracking(true);
}

void Bar::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] { draw(); });
}

void Bar::draw()
{
    const double w = width();
    const double h = height();
    QPainter painter(this);

    QPen outline(QColor(80, 80, 80));
    outline.setStyle(Qt::DashLine);
    outline.setWidth(1);
    painter.setPen(outline);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(QPointF(0, 3), QPointF(w - 7, h - 5)));

    QColor fill;
    if (mode == 0)
        fill = QColor(200, 255, 200);
    else if (mode == 1)
        fill = QColor(255, 100, 100);
    else
        fill = EDGE_COLOR;
    // A share outside 0 .. 1 (or none at all) must not paint past the outline.
    const double share = std::isnan(value) ? 0.0 : qBound(0.0, value, 1.0);
    painter.fillRect(QRectF(0, 3, share * (w - 6) + 1, h - 6), fill);

    QPen line(fill);
    line.setStyle(Qt::SolidLine);
    line.setWidth(1);
    painter.setPen(line);
    painter.drawLine(QPointF(0, 0), QPointF(0, h));
}
