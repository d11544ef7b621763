#include "app/InspectWidget.h"

#include "core/HandlerGuard.h"
#include "views/events/CompareWidget.h"

#include <QDebug>
#include <QResizeEvent>

InspectWidget::InspectWidget(ControlWidget* control, const TList<QSharedPointer<Packet>>& packets,
                             QWidget* parent)
    : QDialog(parent)
{
    if (packets.size() > MAX_EVENTS)
        qDebug().noquote() << "events left out of the inspection:" << packets.size() - MAX_EVENTS;
    table = new CompareWidget(control, MAX_EVENTS, packets.size() >= 3, this);
    table->setPackets(packets);
    table->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    resize(600, 400);
}

void InspectWidget::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    // Resized first, so that the columns are shared out over the new width.
    // Out of memory the table keeps the columns it had (its own).
    HandlerGuard::run([this, event] {
        table->resize(event->size());
        table->updateTable();
    });
}
