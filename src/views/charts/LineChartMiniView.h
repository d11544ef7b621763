#pragma once

// Incomplete: a stand-in for the line chart's mini view.

#include "views/charts/LineChart.h"

class LineChartMiniView : public LineChart
{
    Q_OBJECT

public:
    LineChartMiniView(ControlWidget* owner, EventWidget* eventView, LineChart* chart,
                      QWidget* parent);

    QSize sizeHint() const override;

    LineChart* chart;

protected:
    QString placeholderName() const override;
};
