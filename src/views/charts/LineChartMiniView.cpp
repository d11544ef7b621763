#include "views/charts/LineChartMiniView.h"

LineChartMiniView::LineChartMiniView(ControlWidget* owner, EventWidget* eventView, LineChart* chart,
                                     QWidget* parent)
    : LineChart(owner, eventView, parent)
    , chart(chart)
{
}

QSize LineChartMiniView::sizeHint() const
{
    return QSize(1000, 50);
}

QString LineChartMiniView::placeholderName() const
{
    return QStringLiteral("LineChartMiniView");
}
