#pragma once

// Incomplete: the trace attribute panel, an attribute panel of kind true.

#include "views/attributes/AttributeWidget.h"

class ConversationWidget : public AttributeWidget
{
    Q_OBJECT

public:
    ConversationWidget(ControlWidget* controlWidget, QWidget* parent);
};
