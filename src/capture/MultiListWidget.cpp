#include "capture/MultiListWidget.h"

#include <QAction>
#include <QMenu>
#include <QMouseEvent>

MultiListWidget::MultiListWidget(QWidget* parent)
    : QListWidget(parent)
    , contextMenu(std::make_unique<QMenu>())
{
    QAction* all = contextMenu->addAction(QStringLiteral("Select/Deselect all"));
    connect(all, &QAction::triggered, this, &MultiListWidget::checkAll);
}

MultiListWidget::~MultiListWidget() = default;

void MultiListWidget::checkAll()
{
    const QList<QListWidgetItem*> items = selectedItems();
    bool anyChecked = false;
    for (const QListWidgetItem* item : items) {
        if (item->checkState() == Qt::Checked) {
            anyChecked = true;
            break;
        }
    }
    const Qt::CheckState state = anyChecked ? Qt::Unchecked : Qt::Checked;
    checkingAll = true;
    for (QListWidgetItem* item : items)
        item->setCheckState(state);
    checkingAll = false;
    emit checkedAll();
    viewport()->update();
}

void MultiListWidget::mousePressEvent(QMouseEvent* event)
{
    QListWidget::mousePressEvent(event);
    if (event->button() == Qt::RightButton && !selectedItems().isEmpty())
        contextMenu->popup(mapToGlobal(event->pos()));
}
