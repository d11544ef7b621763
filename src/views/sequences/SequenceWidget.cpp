#include "views/sequences/SequenceWidget.h"

#include <QPainter>

SequenceWidget::SequenceWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
}

void SequenceWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("SequenceWidget"));
}
