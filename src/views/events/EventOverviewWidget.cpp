#include "views/events/EventOverviewWidget.h"

#include <QPainter>

EventOverviewWidget::EventOverviewWidget(ControlWidget* owner, EventWidget* eventView,
                                         QWidget* parent)
    : QWidget(parent)
    , owner(owner)
    , eventView(eventView)
{
}

bool EventOverviewWidget::isActive() const
{
    return active;
}

void EventOverviewWidget::setActive(bool on, bool)
{
    active = on;
    setVisible(on);
}

QSize EventOverviewWidget::sizeHint() const
{
    return QSize(300, 100);
}

void EventOverviewWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("EventOverviewWidget"));
}
