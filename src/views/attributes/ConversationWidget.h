#pragma once

#include "views/attributes/AttributeWidget.h"

// The trace attribute panel: an attribute panel of kind true, over the
// trace records of the context.
class ConversationWidget : public AttributeWidget
{
    Q_OBJECT

public:
    ConversationWidget(ControlWidget* controlWidget, QWidget* parent);
};
