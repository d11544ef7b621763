#include "items/IWidget.h"

#include "app/ControlWidget.h"

#include <QMutex>

IWidget::IWidget(ControlWidget* owner)
    : owner(owner), glyphStore(owner ? owner->glyphStore : nullptr), mutex(new QMutex)
{
}

IWidget::~IWidget()
{
    delete mutex;
}

void IWidget::reset()
{
    glyphStore = owner ? owner->glyphStore : nullptr;
}
