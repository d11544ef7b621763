#include "app/IconWidget.h"

#include "core/HandlerGuard.h"

#include <QPainter>

IconWidget::IconWidget(double width, double height, const QIcon& icon, QWidget* parent)
    : QWidget(parent)
    , icon(icon)
{
    setFixedSize(int(width), int(height));
}

void IconWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        icon.paint(&painter, rect(), Qt::AlignCenter, QIcon::Normal, QIcon::Off);
    });
}
