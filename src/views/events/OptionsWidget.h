#pragma once

// Incomplete: a stand-in for the options of an event view; it keeps the
// view and the controller it serves.

#include <QObject>

class ControlWidget;
class EventWidget;

class OptionsWidget : public QObject
{
    Q_OBJECT

public:
    OptionsWidget(ControlWidget* control, EventWidget* view);

    void connectSignals();
    void setupAxisCombos();

    EventWidget* view;
    ControlWidget* control;
};
