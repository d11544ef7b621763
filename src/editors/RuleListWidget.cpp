#include "editors/RuleListWidget.h"

#include <QPainter>

RuleListWidget::RuleListWidget(ControlWidget* owner, QWidget* parent)
    : QListWidget(parent)
    , owner(owner)
{
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
}

void RuleListWidget::refreshRules()
{
    clear();
    viewport()->update();
}

QSize RuleListWidget::sizeHint() const
{
    return QSize(100, 400);
}

void RuleListWidget::paintEvent(QPaintEvent* event)
{
    QListWidget::paintEvent(event);
    QPainter painter(viewport());
    painter.drawText(viewport()->rect(), Qt::AlignCenter, QStringLiteral("RuleListWidget"));
}
