#include "app/HeaderWidget.h"

#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "model/Context.h"
#include "views/events/EventWidget.h"

#include <QPainter>

HeaderWidget::HeaderWidget(EventWidget* view, QWidget* parent)
    : QWidget(parent)
    , view(view)
{
}

void HeaderWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] { draw(); });
}

void HeaderWidget::draw()
{
    const double w = width();
    const double h = height();
    const bool focused = view && view->focused;
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    painter.fillRect(rect(), WHITE_COLOR);

    const QRectF bar(2, 2, w - 4, h - 2);
    painter.setBrush(focused ? SELECTION_COLOR : EDGE_COLOR);
    painter.drawRoundedRect(bar, 3, 3, Qt::AbsoluteSize);

    if (!view || !view->context)
        return;
    // Below 4 pixels there is no room for a letter (a pixel size of 0).
    const int pixelSize = int(0.7 * (h - 2));
    if (pixelSize < 1)
        return;
    QFont font = painter.font();
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(focused ? WHITE_COLOR : TEXT_COLOR);
    painter.drawText(bar, Qt::AlignCenter, view->context->name);
}
