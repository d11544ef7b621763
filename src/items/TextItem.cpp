#include "items/TextItem.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "core/Constants.h"

TextItem::TextItem(const QString& text, bool framed, QWidget* owner)
    : BinItem(nullptr, owner), framed(framed)
{
    label = text;
}

void TextItem::paint(QPainter* painter, QPen& pen, QBrush&)
{
    painter->save();
    painter->translate(x, y);
    const double W = storedWidth;
    const double H = storedHeight;

    QFont font(APPLICATION_FONT);
    font.setPixelSize(std::max(static_cast<int>(0.8 * height()), 5));
    painter->setFont(font);
    pen = QPen(Qt::black, 1, Qt::SolidLine);
    painter->setPen(pen);

    const bool bracket = label == QLatin1String("(") || label == QLatin1String(")");
    if (!bracket) {
        painter->drawText(QRectF(0, 0, W, H), Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere,
                          label);
    } else {
        pen.setWidth(2);
        painter->setPen(pen);
        painter->setRenderHint(QPainter::Antialiasing, true);
        QPainterPath curve;
        if (label == QLatin1String("(")) {
            curve.moveTo(W, 0);
            curve.cubicTo(0, 0.25 * H, 0, 0.75 * H, W, H);
        } else {
            curve.moveTo(0, 0);
            curve.cubicTo(W, 0.25 * H, W, 0.75 * H, 0, H);
        }
        painter->drawPath(curve);
    }

    pen.setColor(SELECTION_COLOR);
    painter->setPen(pen);
    if (framed && selected)
        painter->drawRect(QRectF(0, 0, W, H));
    painter->restore();
}
