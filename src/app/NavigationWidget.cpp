#include "app/NavigationWidget.h"

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"

#include <QPainter>

NavigationWidget::NavigationWidget(ControlWidget* control, QWidget* parent)
    : QTreeWidget(parent)
    , control(control)
{
    setMouseTracking(true);
}

void NavigationWidget::refresh()
{
    activeContext = (control && control->glyphStore) ? control->glyphStore->rootContext : nullptr;
}

void NavigationWidget::paintEvent(QPaintEvent* event)
{
    QTreeWidget::paintEvent(event);
    QPainter painter(viewport());
    painter.drawText(viewport()->rect(), Qt::AlignCenter, QStringLiteral("NavigationWidget"));
}
