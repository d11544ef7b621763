#include "views/events/RibbonEventOverviewWidget.h"

#include "core/HandlerGuard.h"
#include "views/events/EventOverviewWidget.h"

#include <QHBoxLayout>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int SIZE_INTERVAL = 300;
constexpr int SMALLEST_SIZE = 1;
constexpr int LARGEST_SIZE = 30;

} // namespace

RibbonEventOverviewWidget::RibbonEventOverviewWidget(ControlWidget* owner, EventWidget* eventView,
                                                     QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    overview = new EventOverviewWidget(owner, eventView, this);
    sizeTimer = new QTimer(this);
    sizeTimer->setInterval(SIZE_INTERVAL);
    sizeSlider = new QSlider(Qt::Horizontal, this);
    sizeSlider->setMinimum(SMALLEST_SIZE);
    sizeSlider->setMaximum(LARGEST_SIZE);
    sizeSlider->setValue(overview->itemSize);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    row->addWidget(sizeSlider);
    layout->addLayout(row);
    layout->addWidget(overview);

    connect(sizeSlider, &QSlider::valueChanged, this, &RibbonEventOverviewWidget::setSizeTimer);
    connect(sizeTimer, &QTimer::timeout, this, &RibbonEventOverviewWidget::setItemSize);
}

bool RibbonEventOverviewWidget::isActive() const
{
    return overview->isActive();
}

void RibbonEventOverviewWidget::setActive(bool active, bool reload)
{
    if (overview->isActive() == active)
        return;
    sizeSlider->setVisible(active);
    overview->setActive(active, reload);
    setVisible(active);
}

void RibbonEventOverviewWidget::cancelAndWait()
{
    overview->cancelAndWait();
}

void RibbonEventOverviewWidget::setSizeTimer(int)
{
    HandlerGuard::run([this] {
        sizeTimer->stop();
        sizeTimer->start();
    });
}

void RibbonEventOverviewWidget::setItemSize()
{
    sizeTimer->stop();
    HandlerGuard::run([this] { overview->setItemSize(sizeSlider->value()); });
}

void RibbonEventOverviewWidget::setMaximum(int)
{
}

void RibbonEventOverviewWidget::setPageStep(int)
{
}

void RibbonEventOverviewWidget::setVBinOffset(int)
{
}

void RibbonEventOverviewWidget::resizeEvent(QResizeEvent* event)
{
    HandlerGuard::run([&] { QWidget::resizeEvent(event); });
}
