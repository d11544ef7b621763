#include "views/charts/RibbonLineWidget.h"

#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"

#include <QVBoxLayout>

RibbonLineWidget::RibbonLineWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    // Children of the ribbon until the event ribbon lays them out.
    chart = new LineChart(owner, eventView, this);
    miniView = new LineChartMiniView(owner, eventView, chart, this);
    miniView->setMinimumHeight(50);
    chart->setMinimumHeight(200);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(miniView);
    layout->addWidget(chart);
}

bool RibbonLineWidget::isActive() const
{
    return chart->isActive();
}

void RibbonLineWidget::setActive(bool active, bool rebuild)
{
    if (active == chart->isActive())
        return;
    chart->setActive(active, rebuild);
    miniView->setActive(active, rebuild);
    setVisible(active);
}
