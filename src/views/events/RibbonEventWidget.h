#pragma once

// Incomplete: a stand-in for the event view ribbon; it creates the event
// view and places the overview and line ribbons of its group beside it.

#include <QWidget>

class ControlWidget;
class Context;
class EventWidget;
class OptionsWidget;
class RibbonEventOverviewWidget;
class RibbonLineWidget;

class RibbonEventWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonEventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent);

    // Lays out the group's views on the first load, then resets the view.
    void buildControls();
    void setContext(Context* context);
    void setActive(bool active, bool reload);
    void fillBackground(bool focused);
    QSize sizeHint() const override;

    EventWidget* view;
    OptionsWidget* options;
    ControlWidget* control;
    RibbonEventOverviewWidget* overviewRibbon = nullptr;
    RibbonLineWidget* lineRibbon = nullptr;
    int side;
};
