#include "views/attributes/HistogramWidget.h"

#include "core/Packet.h"

#include <QLabel>
#include <QVBoxLayout>

HistogramWidget::HistogramWidget(const QString& attribute, ControlWidget* control,
                                 const TList<QSharedPointer<Packet>>& packets, QWidget* parent)
    : QDialog(parent)
    , attribute(attribute)
    , control(control)
    , packets(packets)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("HistogramWidget: ") + attribute, this));
    resize(400, 300);
}
