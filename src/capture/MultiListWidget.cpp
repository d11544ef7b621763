#include "capture/MultiListWidget.h"

#include "core/HandlerGuard.h"
#include "core/OnExit.h"

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
    // Each item's change is taken over by itemChanged's slot, which ends its
    // own failure; one that stops this half way leaves every item as taken.
    HandlerGuard::run([&] {
        const QList<QListWidgetItem*> items = selectedItems();
        bool anyChecked = false;
        for (const QListWidgetItem* item : items) {
            if (item->checkState() == Qt::Checked) {
                anyChecked = true;
                break;
            }
        }
        const Qt::CheckState state = anyChecked ? Qt::Unchecked : Qt::Checked;
        {
            checkingAll = true;
            OnExit done([this]() { checkingAll = false; });
            for (QListWidgetItem* item : items)
                item->setCheckState(state);
        }
        emit checkedAll();
        viewport()->update();
    });
}

void MultiListWidget::mousePressEvent(QMouseEvent* event)
{
    QListWidget::mousePressEvent(event);
    HandlerGuard::run([&] {
        if (event->button() == Qt::RightButton && !selectedItems().isEmpty())
            contextMenu->popup(mapToGlobal(event->pos()));
    });
}
