#include "app/IconToggleWidget.h"

#include "app/MatchIcon.h"
#include "core/HandlerGuard.h"

#include <QDebug>
#include <QPainter>

IconToggleWidget::IconToggleWidget(double width, double height, MatchIcon* icon, QWidget* parent)
    : QWidget(parent)
    , icon(icon)
{
    setFixedSize(int(width), int(height));
    setMouseTracking(true);
}

void IconToggleWidget::mousePressEvent(QMouseEvent* event)
{
    QWidget::mousePressEvent(event);
    // The debug line is all that allocates here; the receivers of clicked()
    // end their own running out of memory.
    HandlerGuard::run([] { qDebug() << "clicked"; });
    if (icon)
        icon->match = !icon->match;
    update();
    emit clicked();
}

void IconToggleWidget::enterEvent(QEvent* event)
{
    QWidget::enterEvent(event);
    if (icon)
        icon->hovered = true;
    update();
}

void IconToggleWidget::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    if (icon)
        icon->hovered = false;
    update();
}

void IconToggleWidget::paintEvent(QPaintEvent*)
{
    if (!icon)
        return;
    HandlerGuard::paint(this, [this] {
        icon->resize(size());
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen;
        icon->draw(&painter, pen);
    });
}
