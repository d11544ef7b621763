#include "views/events/RibbonEventWidget.h"

#include "app/AppGlobals.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QVBoxLayout>

RibbonEventWidget::RibbonEventWidget(ControlWidget* control, OptionsWidget* options, int side,
                                     QWidget* parent)
    : QWidget(parent)
    , options(options)
    , control(control)
    , side(side)
{
    view = new EventWidget(control, options, side, this);
    binScrollBar = new QScrollBar(Qt::Vertical, this);
    connect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
    binScrollBar->setRange(0, 100);
    binScrollBar->setPageStep(100);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(1);
    row->addWidget(view, 1);
    row->addWidget(binScrollBar);
    layout->addLayout(row, 1);
}

void RibbonEventWidget::buildControls()
{
    if (NO_DATA) {
        auto* rows = static_cast<QVBoxLayout*>(layout());
        auto* row = static_cast<QHBoxLayout*>(rows->itemAt(0)->layout());
        if (overviewRibbon)
            row->insertWidget(1, overviewRibbon);
        if (lineRibbon)
            rows->addWidget(lineRibbon);
    }
    view->reset();
}

void RibbonEventWidget::setContext(Context* context)
{
    view->setContext(context);
}

void RibbonEventWidget::setActive(bool active, bool reload)
{
    if (view->isActive() != active)
        view->setActive(active, reload);
    if (!(NO_DATA && active))
        setVisible(active);
}

void RibbonEventWidget::setMaximum(int maximum)
{
    disconnect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
    const bool blocked = binScrollBar->blockSignals(true);
    binScrollBar->setMaximum(maximum);
    binScrollBar->blockSignals(blocked);
    connect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
}

void RibbonEventWidget::setPageStep(int step)
{
    disconnect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
    const bool blocked = binScrollBar->blockSignals(true);
    binScrollBar->setPageStep(step);
    binScrollBar->blockSignals(blocked);
    connect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
}

void RibbonEventWidget::setVBinOffset(int value)
{
    view->setBinOffset(value);
}

void RibbonEventWidget::fillBackground(bool)
{
    setAutoFillBackground(true);
}

QSize RibbonEventWidget::sizeHint() const
{
    return QSize(2000, 800);
}
