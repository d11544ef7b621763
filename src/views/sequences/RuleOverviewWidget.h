#pragma once

// Incomplete: a stand-in for the rule overview; it only shows its name.

#include <QWidget>

class ControlWidget;
class EventWidget;

class RuleOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    RuleOverviewWidget(ControlWidget* owner, EventWidget* source, QWidget* parent);

    void rebuild();
    void relayout();
    QSize sizeHint() const override;

    ControlWidget* owner;
    EventWidget* source;

protected:
    void paintEvent(QPaintEvent* event) override;
};
