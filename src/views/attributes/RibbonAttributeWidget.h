#pragma once

// Incomplete: a stand-in for the attribute ribbon; it owns its panel.

#include <QWidget>

class AttributeWidget;
class ControlWidget;

class RibbonAttributeWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonAttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent);

    ControlWidget* controlWidget;
    AttributeWidget* panel;
    bool kind;

public slots:
    void refreshFilter();
};
