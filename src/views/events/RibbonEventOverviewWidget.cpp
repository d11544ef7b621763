#include "views/events/RibbonEventOverviewWidget.h"

#include "views/events/EventOverviewWidget.h"

#include <QVBoxLayout>

RibbonEventOverviewWidget::RibbonEventOverviewWidget(ControlWidget* owner, EventWidget* eventView,
                                                     QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    overview = new EventOverviewWidget(owner, eventView, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(overview);
}

bool RibbonEventOverviewWidget::isActive() const
{
    return overview->isActive();
}

void RibbonEventOverviewWidget::setActive(bool active, bool reload)
{
    if (overview->isActive() == active)
        return;
    overview->setActive(active, reload);
    setVisible(active);
}

// Incomplete: no pass runs on a thread yet, so there is nothing to wait for.
void RibbonEventOverviewWidget::cancelAndWait()
{
}
