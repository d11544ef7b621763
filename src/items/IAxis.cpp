#include "items/IAxis.h"
#include "core/Saturate.h"

#include "core/Constants.h"

#include <QPainter>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QFont axisFont()
{
    QFont f;
    f.setPointSize(9);
    return f;
}

} // namespace

IAxis::IAxis(const QPointF& pos, double width, double height, const QString& name, bool vertical)
    : vertical(vertical), width(width), height(height), name(name), x(pos.x()), y(pos.y()),
      font(axisFont()), fontMetrics(font)
{
}

IAxis::~IAxis() = default;

int IAxis::clampToInt(double v)
{
    return saturatedInt(v);
}

void IAxis::setSize(double w, double h)
{
    width = w;
    height = h;
}

void IAxis::paint(QPainter* painter, QBrush&, QPen& pen)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setFont(font);
    painter->translate(x, y);
    if (vertical)
        painter->rotate(-90);

    pen.setColor(TEXT_COLOR);
    pen.setWidth(1);
    painter->setPen(pen);

    // Spacing of the labels; an axis without bins draws them with no room.
    const int bins = count();
    double s = edgeLabels ? width / 1.0 : (bins > 0 ? width / bins : 0.0);
    int si = 1;
    int m = 0;
    if (s > 1) {
        si = clampToInt(s);
        s = si;
        m = clampToInt(0.8 * s);
    } else {
        s = 1.0;
        si = 1;
        m = 0;
    }

    const TList<QString> texts = labels();
    const int n = texts.size();
    const int fh = fontMetrics.height();
    for (int i = 0; i < n; ++i) {
        const QString& text = texts.at(i);
        const int tw = fontMetrics.horizontalAdvance(text);
        const int d = edgeLabels ? n - 1 : n;
        // A single edge label has nothing to spread over: it sits at the start.
        const double ratio = d != 0 ? static_cast<double>(i) / d : 0.0;
        const int c = clampToInt(static_cast<double>(clampToInt(ratio * width)) + s * 0.5);
        if (!vertical) {
            QTextOption option(Qt::AlignLeft | Qt::AlignTop);
            option.setWrapMode(QTextOption::WrapAnywhere);
            const int h = std::max(fh, 1);
            const int w = std::min(tw + 5, m);
            double left = c - w * 0.5;
            // Edge labels stand at the ends themselves, the first starting
            // at the axis's start and the last ending before its end: the
            // half step that centres a label on its bin would put the first
            // mid-axis and the last past the end, cut off.
            if (edgeLabels) {
                const double end = c - s * 0.5;
                left = (i == n - 1) ? end - w - 10 : end;
            }
            painter->drawText(QRectF(left, 5, m, h), text, option);
        } else {
            painter->save();
            painter->translate(c - width * 0.5, -height);
            painter->rotate(90);
            painter->setPen(pen);
            if (fh < si) {
                if (!edgeLabels) {
                    QTextOption option(Qt::AlignLeft | Qt::AlignVCenter);
                    option.setWrapMode(QTextOption::WrapAnywhere);
                    painter->drawText(QRectF(0, -(m / 2), height - 5 - 6 - fh, m), text, option);
                } else {
                    QTextOption option(Qt::AlignRight | Qt::AlignVCenter);
                    option.setWrapMode(QTextOption::WrapAnywhere);
                    const double top = (i == 0) ? -fh : -10;
                    painter->drawText(QRectF(5, top, height - fh, fh), text, option);
                }
            }
            QPen tick(pen);
            tick.setColor(Qt::black);
            painter->setPen(tick);
            painter->drawLine(QPointF(clampToInt(height - 6), 0), QPointF(clampToInt(height), 0));
            painter->setPen(pen);
            painter->restore();
        }
    }

    painter->drawLine(QPointF(0, 0), QPointF(clampToInt(width), 0));

    QFont bold;
    bold.setWeight(75);
    painter->setFont(bold);
    QPen black(pen);
    black.setColor(Qt::black);
    painter->setPen(black);
    if (!vertical)
        painter->drawText(QRectF(0, 0, width, height), Qt::AlignHCenter | Qt::AlignBottom, name);
    else
        painter->drawText(QRectF(0, -height, width, height), Qt::AlignHCenter | Qt::AlignTop, name);

    painter->setFont(font);
    painter->restore();
}
