#pragma once

// Incomplete: a stand-in for the overview strip; it keeps the active flag
// the shell and the router read.

#include <QWidget>

class ControlWidget;
class EventWidget;

class EventOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    EventOverviewWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);

    bool isActive() const;
    void setActive(bool active, bool reload);
    QSize sizeHint() const override;

    ControlWidget* owner;
    bool active = true;
    EventWidget* eventView;

protected:
    void paintEvent(QPaintEvent* event) override;
};
