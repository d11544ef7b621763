#include "editors/ExampleWidget.h"

#include <QPainter>

#include <algorithm>
#include <typeinfo>

#include "items/BinItem.h"
#include "patterns/Rule.h"

ExampleWidget::ExampleWidget(QWidget* parent)
    : QWidget(parent), item(new BinItem(nullptr, nullptr))
{
}

ExampleWidget::~ExampleWidget()
{
    delete item;
}

QSize ExampleWidget::sizeHint() const
{
    return QSize(100, 100);
}

void ExampleWidget::setColor(const QColor& color)
{
    background = color;
    update();
}

void ExampleWidget::setItem(const BinItem* shown)
{
    if (!shown || shown == item)
        return;
    BinItem* copy = nullptr;
    if (const Rule* rule = dynamic_cast<const Rule*>(shown))
        copy = new Rule(*rule);
    else if (item && typeid(*item) == typeid(BinItem))
        *item = *shown;
    else
        // The shown item was a rule: a glyph replaces it rather than being
        // assigned into the rule's glyph part, which would still draw the rule.
        copy = new BinItem(*shown);
    if (copy) {
        delete item;
        item = copy;
    }
    update();
}

void ExampleWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(rect(), background);
    if (!item)
        return;
    const double s = std::min(width(), height()) - 2;
    item->setWidth(s);
    item->setHeight(s);
    // Whole-pixel halves of the widget, as the item's own painting rounds.
    painter.translate(width() / 2 - item->width() / 2, height() / 2 - item->height() / 2);
    item->setPos(QPointF(1, 1));
    QPen pen;
    QBrush brush;
    item->paint(&painter, pen, brush);
}
