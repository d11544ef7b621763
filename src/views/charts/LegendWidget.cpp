#include "views/charts/LegendWidget.h"

#include "core/HandlerGuard.h"
#include "core/TVariant.h"

#include <QLinearGradient>
#include <QPainter>

#include <algorithm>

namespace {

const QColor LABEL_COLOR(112, 112, 112);

// v rounded to two decimals, as text with up to six significant digits.
QString rangeLabel(double v)
{
    return QString::number(roundTo(v, 2), 'g', 6);
}

} // namespace

LegendWidget::LegendWidget(QWidget* parent)
    : QWidget(parent)
{
}

QSize LegendWidget::sizeHint() const
{
    return QSize(1000, 10);
}

void LegendWidget::setEntries(const TList<QPair<QString, QColor>>& list, const QString& text,
                              bool info)
{
    rangeMode = false;
    title = text;
    infoShown = info;
    entries.clear();
    for (const QPair<QString, QColor>& entry : list.items)
        if (!entry.first.isEmpty())
            entries.append(entry);
    update();
}

void LegendWidget::setRange(double minimum, double maximum, const QList<QColor>& colours,
                            const QString& text, bool info)
{
    rangeMode = true;
    title = text;
    infoShown = info;
    entries.clear();
    const QColor grey(Qt::gray);
    entries.append(qMakePair(rangeLabel(minimum), colours.size() > 0 ? colours.at(0) : grey));
    entries.append(qMakePair(rangeLabel(maximum), colours.size() > 1 ? colours.at(1) : grey));
    update();
}

void LegendWidget::paintEvent(QPaintEvent*)
{
    // Drawn straight onto the widget: out of memory, what was drawn stays.
    HandlerGuard::paint(this, [this] { draw(); });
}

void LegendWidget::draw()
{
    QPainter painter(this);
    const int h = fontMetrics().height() + 3;
    const int W = width();
    const int H = height();
    const int e = fontMetrics().horizontalAdvance(QStringLiteral("="));

    painter.fillRect(rect(), Qt::white);
    QFont bold = font();
    bold.setWeight(75);
    painter.setFont(bold);
    painter.setPen(Qt::black);
    painter.drawText(QRect(10, 10, W - 20, h), Qt::AlignLeft | Qt::AlignVCenter, title);

    painter.setFont(font());
    painter.setPen(LABEL_COLOR);
    int y = h + 15;
    const int labelWidth = W - 60 - e;

    if (rangeMode && entries.size() >= 2) {
        const int ramp = std::max(0, H - 75 - h - y);
        QLinearGradient gradient(0, y, 0, y + ramp);
        gradient.setColorAt(0.0, entries.at(1).second);
        gradient.setColorAt(1.0, entries.at(0).second);
        painter.setBrush(gradient);
        painter.setPen(Qt::black);
        painter.drawRect(10, y, 30, ramp);
        painter.setPen(LABEL_COLOR);
        painter.drawText(QRect(45, y, labelWidth, h), Qt::AlignLeft | Qt::AlignVCenter,
                         entries.at(1).first);
        painter.drawText(QRect(45, y + ramp, labelWidth, h), Qt::AlignLeft | Qt::AlignVCenter,
                         entries.at(0).first);
        y += ramp + h + 5;
    } else {
        for (const QPair<QString, QColor>& entry : entries.items) {
            painter.setBrush(entry.second);
            painter.setPen(entry.second.darker(200));
            painter.drawRect(QRect(QPoint(10, y), QPoint(39, y + h - 1)));
            painter.setPen(LABEL_COLOR);
            painter.drawText(QRect(45, y, e, h), Qt::AlignLeft | Qt::AlignVCenter,
                             QStringLiteral("="));
            painter.drawText(QRect(50 + e, y, labelWidth, h), Qt::AlignLeft | Qt::AlignVCenter,
                             entry.first);
            y += h + 5;
        }
    }

    if (infoShown) {
        // Bold like the title, but in the colour of every text below it.
        painter.setFont(bold);
        painter.setPen(LABEL_COLOR);
        painter.drawText(QRect(10, y, W - 20, h), Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("info:"));
        y += h + 5;
        painter.setFont(font());
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::red, 2));
        painter.drawRect(QRect(QPoint(10, y), QPoint(39, y + h - 1)));
        painter.setPen(LABEL_COLOR);
        painter.drawText(QRect(45, y, e, h), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("="));
        painter.drawText(QRect(50 + e, y, labelWidth, h), Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("alert"));
    }
}
