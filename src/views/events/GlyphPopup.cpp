#include "views/events/GlyphPopup.h"

#include "core/HandlerGuard.h"
#include "views/events/CompareWidget.h"

#include <QVBoxLayout>

GlyphPopup::GlyphPopup(ControlWidget* control, const TList<QSharedPointer<Packet>>& packets,
                       QWidget* parent)
    : QDialog(parent)
{
    table = new CompareWidget(control, MAX_EVENTS, packets.size() >= 2, this);
    table->setPackets(packets);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);
}

void GlyphPopup::leaveEvent(QEvent* event)
{
    HandlerGuard::run([&] {
        QDialog::leaveEvent(event);
        accept();
    });
}
