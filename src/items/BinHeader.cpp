#include "items/BinHeader.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "events/ResizeEvent.h"
#include "core/Constants.h"

BinHeader::BinHeader(QWidget* widget, void* context, QObject* receiver, const QString& title)
    : GraphicsItem(QPointF(0, 0), 5, 5), title(title), receiver(receiver), context(context),
      widget(widget)
{
}

int BinHeader::buttonSize() const
{
    // A header lower than its two margins would give a negative button.
    const int b = static_cast<int>(std::min(storedHeight - 2 * margin, maxButtonSize));
    return std::max(b, 0);
}

void BinHeader::paint(QPainter* painter, QPen& pen, QBrush& brush)
{
    painter->save();
    painter->translate(x, y);
    const double W = storedWidth;
    const double H = storedHeight;

    painter->setPen(Qt::NoPen);
    brush = QBrush(EDGE_COLOR, Qt::SolidPattern);
    painter->setBrush(brush);
    painter->drawRoundedRect(QRectF(0, 0, W, H), 3.0, 3.0, Qt::AbsoluteSize);

    const int b = buttonSize();
    const int bx = static_cast<int>(W - b - margin);

    pen = QPen(TEXT_COLOR, 1, Qt::SolidLine);
    painter->setPen(pen);
    QFont font = painter->font();
    font.setPixelSize(std::max(static_cast<int>(H - 2 * margin), 1));
    painter->setFont(font);
    painter->drawText(QRectF(textIndent, 0, std::max(W - textIndent - b, 0.0), H),
                      Qt::AlignLeft | Qt::AlignVCenter, title);

    pen.setWidth(4);
    painter->setPen(pen);
    painter->drawLine(QPointF(bx, 0.5 * H), QPointF(bx + b, 0.5 * H));
    if (!toggled)
        painter->drawLine(QPointF(bx + b / 2, margin), QPointF(bx + b / 2, b + margin));
    painter->restore();
}

void BinHeader::mousePress(QMouseEvent* event)
{
    const QPointF position = event->localPos();
    const QPoint widgetPos = widget ? widget->pos() : QPoint(0, 0);
    const int px = static_cast<int>(std::round(position.x())) - widgetPos.x();
    const int py = static_cast<int>(std::round(position.y())) - widgetPos.y();

    const int b = buttonSize();
    const int left = static_cast<int>(storedWidth - b - margin);
    const bool hit = left <= px && px <= storedWidth && 0 <= py && py <= storedHeight;
    if (!hit)
        return;
    if (!receiver) {
        toggled = !toggled;
        return;
    }
    // The event is made before the header changes: without the memory for
    // it the header stays as the cell is laid out.
    ResizeEvent resize(receiver, QList<QVariant>());
    toggled = !toggled;
    QCoreApplication::sendEvent(receiver, &resize);
}
