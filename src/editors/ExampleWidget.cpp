#include "editors/ExampleWidget.h"

#include <QPainter>

#include <algorithm>
#include <memory>

#include "core/HandlerGuard.h"
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
    // The copy is made whole before the shown item goes.
    showCopy(copyOf(*shown));
}

std::unique_ptr<BinItem> ExampleWidget::copyOf(const BinItem& shown)
{
    // A glyph shown after a rule replaces the rule rather than being
    // assigned into its glyph part, which would still draw the rule.
    if (const Rule* rule = dynamic_cast<const Rule*>(&shown))
        return std::unique_ptr<BinItem>(new Rule(*rule));
    return std::unique_ptr<BinItem>(new BinItem(shown));
}

void ExampleWidget::showCopy(std::unique_ptr<BinItem> copy)
{
    if (!copy)
        return;
    delete item;
    item = copy.release();
    update();
}

void ExampleWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] {
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
    });
}
