#pragma once

// Incomplete: a stand-in for the sequence ribbon; it holds the view and the
// active flag the shell and the router read.

#include <QWidget>

class ControlWidget;
class Context;
class SequenceWidget;

class RibbonSequenceWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonSequenceWidget(ControlWidget* owner, QWidget* parent);

    // The view is fed by the event bus, not by this call.
    void setContext(Context* context);

    SequenceWidget* sequenceView;
    ControlWidget* owner;
    bool active = true;

public slots:
    void setActive(bool active, bool reload);
    void setActive(bool active);
};
