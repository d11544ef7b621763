#pragma once

#include <QListWidget>

#include <memory>

class QMenu;
class QMouseEvent;

// A list of checkable items whose context menu checks or unchecks all
// selected items together ("Select/Deselect all").
class MultiListWidget : public QListWidget
{
    Q_OBJECT

public:
    explicit MultiListWidget(QWidget* parent = nullptr);
    ~MultiListWidget() override;

    // The context menu; it has no parent and belongs to the list.
    QMenu* menu() const { return contextMenu.get(); }
    // checkAll is changing the items.
    bool isCheckingAll() const { return checkingAll; }

signals:
    // checkAll has changed every selected item.
    void checkedAll();

public slots:
    // Among the selected items: when any is checked, all of them are
    // unchecked, otherwise all are checked. Every change is announced by
    // itemChanged as usual; checkedAll follows the last.
    void checkAll();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    std::unique_ptr<QMenu> contextMenu;
    bool checkingAll = false;
};
