#pragma once

// Incomplete: a stand-in for the overview ribbon; it carries the strip and
// switches it on and off.

#include <QWidget>

class ControlWidget;
class EventOverviewWidget;
class EventWidget;

class RibbonEventOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonEventOverviewWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);

    bool isActive() const;
    void setActive(bool active, bool reload);
    // Cancels a running pass over the event view's cells and waits for its
    // end; the view calls it before it deletes or rebuilds its cells.
    void cancelAndWait();

    EventOverviewWidget* overview;
    ControlWidget* owner;
};
