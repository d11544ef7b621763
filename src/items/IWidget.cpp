#include "items/IWidget.h"

// Every view is given the controller that routes its events and holds the glyph store.
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
