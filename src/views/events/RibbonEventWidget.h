#pragma once

// Incomplete: a stand-in for the event view ribbon; it creates the event
// view and places the overview and line ribbons of its group beside it.

#include <QWidget>

class ControlWidget;
class Context;
class EventWidget;
class OptionsWidget;
class QScrollBar;
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
    // Change the scroll bar without telling the view.
    void setMaximum(int maximum);
    void setPageStep(int step);
    QSize sizeHint() const override;

    QScrollBar* binScrollBar;
    EventWidget* view;
    OptionsWidget* options;
    ControlWidget* control;
    RibbonEventOverviewWidget* overviewRibbon = nullptr;
    RibbonLineWidget* lineRibbon = nullptr;
    int side;

public slots:
    // The scroll bar's value is the view's first visible line.
    void setVBinOffset(int value);
};
