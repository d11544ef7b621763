#include "views/sequences/RuleOverviewWidget.h"

#include <QPainter>

RuleOverviewWidget::RuleOverviewWidget(ControlWidget* owner, EventWidget* source, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
    , source(source)
{
    setMouseTracking(true);
}

void RuleOverviewWidget::rebuild()
{
    relayout();
}

void RuleOverviewWidget::relayout()
{
    update();
}

QSize RuleOverviewWidget::sizeHint() const
{
    return QSize(100, 100);
}

void RuleOverviewWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("RuleOverviewWidget"));
}
