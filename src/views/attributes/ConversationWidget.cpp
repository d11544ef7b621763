#include "views/attributes/ConversationWidget.h"

ConversationWidget::ConversationWidget(ControlWidget* controlWidget, QWidget* parent)
    : AttributeWidget(controlWidget, true, parent)
{
}
