#include "views/attributes/AttributeWidget.h"

#include <QPainter>

AttributeWidget::AttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent)
    : QWidget(parent)
    , controlWidget(controlWidget)
    , kind(kind)
{
    setMouseTracking(true);
}

void AttributeWidget::setContext(Context* c)
{
    context = c;
    refresh(QString());
}

void AttributeWidget::layoutAttributes(TList<QString>)
{
    update();
}

void AttributeWidget::refresh(QString)
{
    update();
}

void AttributeWidget::refreshRules()
{
}

void AttributeWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawText(rect(), Qt::AlignCenter, QString::fromLatin1(metaObject()->className()));
}
