#pragma once

// Incomplete: a stand-in for the line chart ribbon; it holds the chart and
// its mini view and switches both on and off together.

#include <QWidget>

class ControlWidget;
class EventWidget;
class LineChart;
class LineChartMiniView;

class RibbonLineWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonLineWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);

    bool isActive() const;
    void setActive(bool active, bool rebuild);

    LineChart* chart;
    LineChartMiniView* miniView;
    ControlWidget* owner;
};
