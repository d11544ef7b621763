#include "views/attributes/RibbonAttributeWidget.h"

#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"

#include <QVBoxLayout>

RibbonAttributeWidget::RibbonAttributeWidget(ControlWidget* controlWidget, bool kind,
                                             QWidget* parent)
    : QWidget(parent)
    , controlWidget(controlWidget)
    , kind(kind)
{
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Expanding);
    setMaximumHeight(400);
    panel = kind ? static_cast<AttributeWidget*>(new ConversationWidget(controlWidget, this))
                 : new AttributeWidget(controlWidget, false, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panel);
}

void RibbonAttributeWidget::refreshFilter()
{
}
