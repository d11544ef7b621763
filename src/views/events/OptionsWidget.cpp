#include "views/events/OptionsWidget.h"

OptionsWidget::OptionsWidget(ControlWidget* control, EventWidget* view)
    : QObject(nullptr)
    , view(view)
    , control(control)
{
}

void OptionsWidget::connectSignals()
{
    setupAxisCombos();
}

void OptionsWidget::setupAxisCombos()
{
}
