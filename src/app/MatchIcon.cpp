#include "app/MatchIcon.h"

#include "core/Constants.h"
#include "core/HandlerGuard.h"

#include <QPainter>

MatchIcon::MatchIcon(bool match, QWidget* parent)
    : QWidget(parent)
    , match(match)
{
}

void MatchIcon::draw(QPainter* painter, QPen& pen)
{
    const double w = width() - 4;
    const double h = height() - 4;
    const double b = (h - 0.3 * h) * 0.5;
    const QRectF upper(2, 2, w, b);
    const QRectF lower(2, int(0.3 * h + b + 2), 0.5 * w, b);

    const QColor light = DEFAULT_FILL_COLOR;
    const QColor dark = EDGE_COLOR.darker(200);
    if (hovered) {
        pen.setStyle(Qt::SolidLine);
        pen.setWidth(1);
        pen.setColor(TEXT_COLOR);
        painter->setPen(pen);
    } else {
        painter->setPen(Qt::NoPen);
    }
    painter->setBrush(match ? light : dark);
    painter->drawRect(upper);
    painter->setBrush(match ? dark : light);
    painter->drawRect(lower);
}

void MatchIcon::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen;
        draw(&painter, pen);
    });
}
