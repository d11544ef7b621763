#include "views/attributes/ContainerWidget.h"

#include "core/HandlerGuard.h"

#include <QGridLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// Grid cell (row, column) of each placed slot.
struct Slot {
    int row;
    int column;
};
constexpr Slot SLOTS[] = {{1, 1}, {1, 0}, {0, 1}, {1, 2}, {2, 1}};

} // namespace

ContainerWidget::ContainerWidget(const QList<QWidget*>& widgets, QWidget* parent)
    : QWidget(parent)
    , widgets(widgets)
{
    setMouseTracking(true);
    auto* outer = new QVBoxLayout(this);
    outer->setSpacing(0);
    outer->setContentsMargins(4, 4, 4, 4);
    auto* grid = new QGridLayout;
    grid->setSpacing(1);
    grid->setContentsMargins(0, 0, 0, 0);
    outer->addLayout(grid);

    const int placed = std::min(int(std::size(SLOTS)), this->widgets.size());
    for (int i = 0; i < placed; ++i) {
        QWidget* w = this->widgets.at(i);
        if (!w)
            continue;
        if (i == 1)
            w->setMaximumWidth(100);
        grid->addWidget(w, SLOTS[i].row, SLOTS[i].column);
    }
}

ContainerWidget::~ContainerWidget()
{
    // Deleting a child first takes it out of this widget's children.
    for (QWidget* w : widgets)
        delete w;
    widgets.clear();
}

QSize ContainerWidget::sizeHint() const
{
    return QSize(50, 100);
}

void ContainerWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [&] {
        QPainter painter(this);
        painter.setPen(Qt::NoPen);
        painter.fillRect(QRect(0, 0, width() + 1, height() + 1), QColor(253, 253, 253));
    });
}
