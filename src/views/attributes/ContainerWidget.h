#pragma once

#include <QList>
#include <QWidget>

// One cell of the attribute panel's grid: a light frame that places up to
// five widgets around its centre (slot 0 in the middle, 1 to its left, 2
// above, 3 to its right, 4 below). It owns the widgets of its slots; empty
// slots are null, and slots beyond 4 are kept but not placed.
class ContainerWidget : public QWidget
{
    Q_OBJECT

public:
    // `widgets` must hold at least five entries.
    ContainerWidget(const QList<QWidget*>& widgets, QWidget* parent);
    ~ContainerWidget() override;

    QSize sizeHint() const override;

    QList<QWidget*> widgets;

protected:
    void paintEvent(QPaintEvent* event) override;
};
