#include "views/sequences/RibbonSequenceWidget.h"

#include "views/sequences/SequenceWidget.h"

#include <QVBoxLayout>

RibbonSequenceWidget::RibbonSequenceWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    sequenceView = new SequenceWidget(owner, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(sequenceView);
}

void RibbonSequenceWidget::setContext(Context*)
{
}

void RibbonSequenceWidget::setActive(bool on, bool show)
{
    active = on;
    if (show)
        setVisible(on);
}

void RibbonSequenceWidget::setActive(bool on)
{
    setActive(on, true);
}
